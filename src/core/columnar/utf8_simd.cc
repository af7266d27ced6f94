// Whole-buffer UTF-8 validation with AVX-512 or AVX2, chosen at run time, and
// the check of a string column built on it.
//
// The vector validator looks at every byte together with the three before it.
// Most faults show in a pair (previous byte, byte): three 16-entry tables,
// indexed by the previous byte's high nibble, its low nibble and the byte's
// high nibble, give bit sets whose AND is the set of faults the pair shows
// (one bit per kind of fault, so that each kind is a product of three nibble
// ranges). The one pair that is fine or not depending on what came before is
// a continuation after a continuation: it must be the third or fourth byte of
// a sequence, i.e. two bytes back is a lead of a 3/4-byte sequence (>= E0) or
// three bytes back a lead of a 4-byte one (>= F0). That bit (0x80) is XORed
// with "must be a continuation here", so a missing or an extra continuation
// is a fault. A lead among the last three bytes of a block that its length
// runs past is carried to the next block, which must continue it; at the end
// of the input nothing may be open.
//
// Bytes that are all ASCII skip the lookups (they only have to close nothing
// that is open), tested 256 bytes at a time: on text with a non-ASCII
// character every few dozen bytes, a test per 64-byte block is a branch the
// CPU mispredicts so often that it cost more than the lookups it saved.
//
// The validator and the column driver are written once, as templates over a
// wrapper of one instruction set's vector operations (Avx2: 32-byte vectors,
// two to a 64-byte block; Avx512: one 64-byte vector per block). Each
// instruction set's entry points carry its target and flatten everything they
// call into themselves, so that the templates are compiled for that target.
// The implementation a CPU gets is picked once, in `validator`.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/columnar/utf8_check.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorpel::utf8 {

namespace {

// Rows per piece of a column: the bytes of a piece are validated and then,
// while still in cache, the row starts inside it are checked. (Of 64 to
// 65536 rows of 6-byte texts, 1024 measured best: fewer add a cost per piece
// that shows on ASCII columns, more let the bytes fall out of the L1 cache.)
constexpr std::size_t kPieceRows = 1024;

bool scalar_valid(const std::uint8_t* p, std::size_t n, bool* ascii) {
  *ascii = is_ascii(p, n);
  return *ascii || is_valid(std::string_view(reinterpret_cast<const char*>(p), n));
}

// 1 for the continuation bytes 80..BF. A table load is cheaper per row than
// testing the byte's top bits (fewer instructions in a loop bound by them).
alignas(64) constexpr std::uint8_t kContinuation[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 20
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 60
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 80
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // A0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // C0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // E0
};

// Whether none of data[offsets[i]] for i < rows is a continuation byte. The
// offsets are read two per load, and the tests run in two independent chains.
// (An AVX2 gather of eight bytes measured slower than this on AMD Zen.)
bool starts_whole(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  unsigned cut0 = 0, cut1 = 0;
  std::size_t i = 0;
  for (; i + 4 <= rows; i += 4) {
    std::uint64_t pair0, pair1;
    std::memcpy(&pair0, offsets + i, 8);
    std::memcpy(&pair1, offsets + i + 2, 8);
    cut0 |= kContinuation[data[static_cast<std::uint32_t>(pair0)]] | kContinuation[data[pair0 >> 32]];
    cut1 |= kContinuation[data[static_cast<std::uint32_t>(pair1)]] | kContinuation[data[pair1 >> 32]];
  }
  for (; i < rows; ++i) cut0 |= kContinuation[data[offsets[i]]];
  return (cut0 | cut1) == 0;
}

// Whether o[0] <= o[1] <= ... <= o[n]. Accumulated in an int, the loop
// vectorises.
inline bool never_decrease(const std::int32_t* o, std::size_t n) {
  int down = 0;
  for (std::size_t i = 0; i < n; ++i) down |= static_cast<int>(o[i] > o[i + 1]);
  return down == 0;
}

// The address a piece of offsets past `o`, for a prefetch (which may point
// past the end of the offsets: a prefetch never faults).
inline const char* piece_ahead(const std::int32_t* o) {
  return reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(o) + kPieceRows * sizeof(std::int32_t));
}

// The offsets' own faults, found before any byte is read through them: the
// first below 0, the last past the bytes there are, or the first past the
// last (which a decrease somewhere would show anyway, but only later).
inline bool ends_sound(const std::int32_t* offsets, std::size_t rows, std::size_t data_size) {
  return offsets[0] >= 0 && offsets[0] <= offsets[rows] && static_cast<std::size_t>(offsets[rows]) <= data_size;
}

// The rows of a piece [r, next) whose offsets are known never to decrease
// and to stay within [.., end]: the end of those that start before `end`
// (the rest are empty texts at it, where no byte may be readable).
inline std::size_t starts_before(const std::int32_t* offsets, std::size_t r, std::size_t next, std::int32_t end) {
  if (offsets[next] < end) return next;
  return static_cast<std::size_t>(std::lower_bound(offsets + r, offsets + next, end) - offsets);
}

#if defined(__x86_64__)

// Fault bits of a (previous byte, byte) pair.
constexpr std::uint8_t kTooShort = 1 << 0;     // a lead not followed by a continuation
constexpr std::uint8_t kTooLong = 1 << 1;      // a continuation after ASCII
constexpr std::uint8_t kOverlong3 = 1 << 2;    // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;     // F4..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;    // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;    // C0, C1 then a continuation
constexpr std::uint8_t kOverlong4 = 1 << 6;    // F0 80..8F, and F5..FF 80..8F (too large)
constexpr std::uint8_t kTwoConts = 1 << 7;     // continuation after continuation
constexpr std::uint8_t kAnyLow = kTooShort | kTooLong | kTwoConts;  // faults blind to the low nibble

// By the previous byte's high nibble.
alignas(16) constexpr std::uint8_t kPrevHigh[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // 0..7: ASCII
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // 8..B: continuation
    kTooShort | kOverlong2,                                                          // C
    kTooShort,                                                                       // D
    kTooShort | kOverlong3 | kSurrogate,                                             // E
    kTooShort | kTooLarge | kOverlong4,                                              // F
};

// By the previous byte's low nibble.
alignas(16) constexpr std::uint8_t kPrevLow[16] = {
    kAnyLow | kOverlong3 | kOverlong2 | kOverlong4,  // 0: C0, E0, F0
    kAnyLow | kOverlong2,                            // 1: C1
    kAnyLow,
    kAnyLow,
    kAnyLow | kTooLarge,                            // 4: F4
    kAnyLow | kTooLarge | kOverlong4,               // 5..F: F5..FF
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4 | kSurrogate,  // D: ED
    kAnyLow | kTooLarge | kOverlong4,
    kAnyLow | kTooLarge | kOverlong4,
};

// By the byte's own high nibble.
alignas(16) constexpr std::uint8_t kHigh[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,  // 0..7
    kTooLong | kTwoConts | kOverlong2 | kOverlong3 | kOverlong4,                            // 8
    kTooLong | kTwoConts | kOverlong2 | kOverlong3 | kTooLarge,                             // 9
    kTooLong | kTwoConts | kOverlong2 | kSurrogate | kTooLarge,                             // A
    kTooLong | kTwoConts | kOverlong2 | kSurrogate | kTooLarge,                             // B
    kTooShort, kTooShort, kTooShort, kTooShort,                                              // C..F
};

// Lower than the largest byte that may end a block (at position 63 - k, k < 3)
// without opening a sequence the block does not finish: subs_epu8 of the
// block's last vector and the last bytes of this is nonzero exactly where a
// sequence is left open.
alignas(64) constexpr std::uint8_t kOpenAtEnd[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1,
};

// Bytes tested for ASCII at once.
constexpr std::size_t kSpan = 256;

// ---------------------------------------------------------------- instruction sets

// What the validator needs of one instruction set: a vector V of kBytes
// bytes and the operations below, each compiled for the set's target (GCC
// compiles an intrinsic only inside a function that has it). Byte shuffles
// and alignr work within 128-bit lanes on both sets, so the tables sit in
// every lane, and the bytes before a vector come from `lanes_before`, which
// puts before each lane the lane that precedes it (before the first lane, the
// last lane of the vector before); shift_in<N> then moves the vector up by N
// bytes, taking the first N from there.
#define VORPEL_AVX2 gnu::target("avx2")
#define VORPEL_AVX512 gnu::target("avx2,avx512f,avx512bw")

struct Avx2 {
  using V = __m256i;
  using Down = __m256i;  // see down16
  static constexpr std::size_t kBytes = 32;

  [[VORPEL_AVX2]] static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  [[VORPEL_AVX2]] static V zero() { return _mm256_setzero_si256(); }
  [[VORPEL_AVX2]] static V splat(std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  // A 16-entry table in both lanes.
  [[VORPEL_AVX2]] static V table(const std::uint8_t* t) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
  }
  [[VORPEL_AVX2]] static V lookup(V table, V index) { return _mm256_shuffle_epi8(table, index); }
  [[VORPEL_AVX2]] static V high_nibble(V v, V nibble) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble); }
  [[VORPEL_AVX2]] static V bit_and(V a, V b) { return _mm256_and_si256(a, b); }
  [[VORPEL_AVX2]] static V bit_or(V a, V b) { return _mm256_or_si256(a, b); }
  [[VORPEL_AVX2]] static V bit_xor(V a, V b) { return _mm256_xor_si256(a, b); }
  [[VORPEL_AVX2]] static V and3(V a, V b, V c) { return _mm256_and_si256(_mm256_and_si256(a, b), c); }
  [[VORPEL_AVX2]] static V or_and(V a, V b, V c) { return _mm256_and_si256(_mm256_or_si256(a, b), c); }
  [[VORPEL_AVX2]] static V subs(V a, V b) { return _mm256_subs_epu8(a, b); }
  [[VORPEL_AVX2]] static V lanes_before(V in, V before) {
    return _mm256_permute2x128_si256(before, in, 0x21);  // before's high lane, in's low lane
  }
  template <int N>
  [[VORPEL_AVX2]] static V shift_in(V in, V lanes) {
    return _mm256_alignr_epi8(in, lanes, 16 - N);
  }
  [[VORPEL_AVX2]] static bool any_high(V v) { return _mm256_movemask_epi8(v) != 0; }
  [[VORPEL_AVX2]] static bool any(V v) { return !_mm256_testz_si256(v, v); }

  // p[0 .. n) (n < 64) into the 64 bytes at `out`, zeros after it.
  [[VORPEL_AVX2]] static void load_tail(std::uint8_t* out, const std::uint8_t* p, std::size_t n) {
    std::memset(out, 0, 64);
    std::memcpy(out, p, n);
  }

  // Lanes set where o[k] > o[k + 1] for a k < 16, or set in `down`.
  [[VORPEL_AVX2]] static Down down16(Down down, const std::int32_t* o) {
    const __m256i a = _mm256_cmpgt_epi32(load(o), load(o + 1));
    const __m256i b = _mm256_cmpgt_epi32(load(o + 8), load(o + 9));
    return _mm256_or_si256(down, _mm256_or_si256(a, b));
  }
  [[VORPEL_AVX2]] static Down no_down() { return zero(); }
  [[VORPEL_AVX2]] static bool any_down(Down down) { return any(down); }

  // An AVX2 gather of eight bytes measured slower than this on AMD Zen.
  static bool starts_whole(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
    return utf8::starts_whole(data, offsets, rows);
  }
};

// GCC 12's AVX-512 header passes _mm512_undefined_epi32() as the unused
// source of several intrinsics (broadcast, shifts, permutes, rotates) and then
// warns that it is uninitialized; the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Rows whose starts Avx512::starts_whole tests against one window of the
// bitmap, and the bytes a bitmap covers at most (longer pieces go to
// utf8::starts_whole: their rows are long, so the per-row cost matters less
// there).
constexpr std::size_t kWindowRows = 32;
constexpr std::size_t kBitmapBytes = 16384;

struct Avx512 {
  using V = __m512i;
  using Down = __mmask16;  // see down16
  static constexpr std::size_t kBytes = 64;

  [[VORPEL_AVX512]] static V load(const void* p) { return _mm512_loadu_si512(p); }
  [[VORPEL_AVX512]] static V zero() { return _mm512_setzero_si512(); }
  [[VORPEL_AVX512]] static V splat(std::uint8_t b) { return _mm512_set1_epi8(static_cast<char>(b)); }
  // A 16-entry table in all four lanes.
  [[VORPEL_AVX512]] static V table(const std::uint8_t* t) {
    return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
  }
  [[VORPEL_AVX512]] static V lookup(V table, V index) { return _mm512_shuffle_epi8(table, index); }
  [[VORPEL_AVX512]] static V high_nibble(V v, V nibble) { return _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble); }
  [[VORPEL_AVX512]] static V bit_and(V a, V b) { return _mm512_and_si512(a, b); }
  [[VORPEL_AVX512]] static V bit_or(V a, V b) { return _mm512_or_si512(a, b); }
  [[VORPEL_AVX512]] static V bit_xor(V a, V b) { return _mm512_xor_si512(a, b); }
  [[VORPEL_AVX512]] static V and3(V a, V b, V c) { return _mm512_ternarylogic_epi32(a, b, c, 0x80); }
  [[VORPEL_AVX512]] static V or_and(V a, V b, V c) { return _mm512_ternarylogic_epi32(a, b, c, 0xA8); }
  [[VORPEL_AVX512]] static V subs(V a, V b) { return _mm512_subs_epu8(a, b); }
  // One two-source dword permute: dwords 12..15 of `before` (indices 16 +
  // 12..15), then dwords 0..11 of `in`.
  [[VORPEL_AVX512]] static V lanes_before(V in, V before) {
    return _mm512_permutex2var_epi32(in, _mm512_setr_epi32(28, 29, 30, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11),
                                     before);
  }
  template <int N>
  [[VORPEL_AVX512]] static V shift_in(V in, V lanes) {
    return _mm512_alignr_epi8(in, lanes, 16 - N);
  }
  [[VORPEL_AVX512]] static bool any_high(V v) { return _mm512_movepi8_mask(v) != 0; }
  [[VORPEL_AVX512]] static bool any(V v) { return _mm512_test_epi64_mask(v, v) != 0; }

  // p[0 .. n) (n < 64) into the 64 bytes at `out` (64-byte aligned), zeros
  // after it, by one load under a mask.
  [[VORPEL_AVX512]] static void load_tail(std::uint8_t* out, const std::uint8_t* p, std::size_t n) {
    const __mmask64 rest = (std::uint64_t{1} << n) - 1;
    _mm512_store_si512(out, _mm512_maskz_loadu_epi8(rest, p));
  }

  // Bits set where o[k] > o[k + 1] for a k < 16, or set in `down`.
  [[VORPEL_AVX512]] static Down down16(Down down, const std::int32_t* o) {
    return down | _mm512_cmpgt_epi32_mask(load(o), load(o + 1));
  }
  [[VORPEL_AVX512]] static Down no_down() { return 0; }
  [[VORPEL_AVX512]] static bool any_down(Down down) { return down != 0; }

  // utf8::starts_whole on a bitmap of the continuation bytes. The bitmap of
  // the bytes the row starts fall in (one compare per 64 bytes, in cache
  // after the byte pass) is built first; then for each kWindowRows rows, 16
  // at a time, a dword permute picks from a 512-bit window of it the dword
  // holding each row start's bit, and a rotated 1 picks the bit. That is a
  // handful of vector instructions per 16 rows where utf8::starts_whole
  // spends a few loads per row. Rows whose starts spread over more than the
  // window are checked by utf8::starts_whole.
  [[VORPEL_AVX512]] static bool starts_whole(const std::uint8_t* data, const std::int32_t* offsets,
                                             std::size_t rows) {
    if (rows < kWindowRows) return utf8::starts_whole(data, offsets, rows);
    const auto base = static_cast<std::size_t>(offsets[0]);
    const std::size_t span = static_cast<std::size_t>(offsets[rows - 1]) + 1 - base;  // bytes holding the starts
    if (span > kBitmapBytes) return utf8::starts_whole(data, offsets, rows);
    // Bit k of the bitmap: data[base + k] is a continuation byte (80..BF are
    // the signed bytes below C0). Past the span the words are zero, for the
    // windows that run over its end.
    alignas(64) std::uint64_t bitmap[kBitmapBytes / 64 + 8];
    const __m512i below = _mm512_set1_epi8(static_cast<char>(0xC0));
    const std::size_t words = (span + 63) / 64;
    for (std::size_t w = 0; w + 1 < words; ++w) {
      bitmap[w] = _mm512_cmplt_epi8_mask(_mm512_loadu_si512(data + base + 64 * w), below);
    }
    const std::size_t last = 64 * (words - 1);
    const __mmask64 in_span = ~std::uint64_t{0} >> (64 - (span - last));
    bitmap[words - 1] = _mm512_cmplt_epi8_mask(_mm512_maskz_loadu_epi8(in_span, data + base + last), below);
    _mm512_storeu_si512(bitmap + words, _mm512_setzero_si512());  // words .. words + 7 (words <= 256)
    const auto* bitmap_bytes = reinterpret_cast<const std::uint8_t*>(bitmap);
    const __m512i one = _mm512_set1_epi32(1);
    __m512i cut = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + kWindowRows <= rows; i += kWindowRows) {
      // The window starts at the dword holding the first row start's bit.
      const auto first = static_cast<std::uint32_t>(static_cast<std::size_t>(offsets[i]) - base);
      const auto final = static_cast<std::uint32_t>(static_cast<std::size_t>(offsets[i + kWindowRows - 1]) - base);
      const std::uint32_t from = first & ~31u;
      const std::uint32_t reach = final - from;
      if (reach >= 512) {
        if (!utf8::starts_whole(data, offsets + i, kWindowRows)) return false;
        continue;
      }
      const __m512i window = _mm512_loadu_si512(bitmap_bytes + from / 8);
      const __m512i origin = _mm512_set1_epi32(static_cast<int>(base + from));
      for (std::size_t k = 0; k < kWindowRows; k += 16) {
        const __m512i at = _mm512_sub_epi32(_mm512_loadu_si512(offsets + i + k), origin);  // 0 .. 511
        const __m512i dword = _mm512_permutexvar_epi32(_mm512_srli_epi32(at, 5), window);
        cut = _mm512_ternarylogic_epi32(cut, dword, _mm512_rolv_epi32(one, at), 0xF8);  // cut | (dword & bit)
      }
    }
    return !any(cut) && utf8::starts_whole(data, offsets + i, rows - i);
  }
};

// ---------------------------------------------------------------- the validator

// The templates below carry no target of their own: each is flattened into
// an entry point that has its instruction set's, where the wrappers' functions
// are inlined. GCC still warns that a vector passed to or returned from a
// function with the target, by a function without it, would take another
// calling convention; no such call remains.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

template <class W>
struct Tables {
  using V = typename W::V;
  V prev_high, prev_low, high, nibble, third, fourth, top, open_at_end;

  static Tables make() {
    return Tables{W::table(kPrevHigh),   W::table(kPrevLow),    W::table(kHigh),
                  W::splat(0x0F),        W::splat(0xE0 - 0x80), W::splat(0xF0 - 0x80),
                  W::splat(0x80),        W::load(kOpenAtEnd + 64 - W::kBytes)};
  }
};

// ORs into `fault` nonzero bytes where `in`, after `before`, is not valid
// UTF-8 (a sequence left open at the end of `in` is not counted here).
template <class W>
void add_faults(typename W::V& fault, const typename W::V& in, const typename W::V& before, const Tables<W>& t) {
  using V = typename W::V;
  const V lanes = W::lanes_before(in, before);
  const V prev1 = W::template shift_in<1>(in, lanes);
  const V by_prev_high = W::lookup(t.prev_high, W::high_nibble(prev1, t.nibble));
  const V by_prev_low = W::lookup(t.prev_low, W::bit_and(prev1, t.nibble));
  const V by_high = W::lookup(t.high, W::high_nibble(in, t.nibble));
  const V pair = W::and3(by_prev_high, by_prev_low, by_high);
  // 0x80 where this byte must continue a 3- or 4-byte sequence.
  const V third = W::subs(W::template shift_in<2>(in, lanes), t.third);
  const V fourth = W::subs(W::template shift_in<3>(in, lanes), t.fourth);
  const V must_continue = W::or_and(third, fourth, t.top);
  fault = W::bit_or(fault, W::bit_xor(must_continue, pair));
}

// What the blocks so far leave: their faults, the last vector (the bytes
// before the next block), where a sequence is left open, and whether all the
// spans since `ascii` was last set were ASCII.
template <class W>
struct State {
  typename W::V fault = W::zero(), before = W::zero(), open = W::zero();
  bool ascii = true;
};

// One 64-byte block, looked up whatever it holds.
template <class W>
void check_block(const std::uint8_t* p, State<W>& s, const Tables<W>& t) {
  using V = typename W::V;
  V fault = W::zero();
  V before = s.before;
  for (std::size_t k = 0; k < 64; k += W::kBytes) {
    const V in = W::load(p + k);
    add_faults<W>(fault, in, before, t);
    before = in;
  }
  s.fault = W::bit_or(s.fault, fault);
  s.open = W::subs(before, t.open_at_end);
  s.before = before;
}

// `bytes` bytes (a multiple of 64): when all ASCII they only have to close
// nothing that is open, else every 64-byte block in them is looked up.
template <class W>
void check_span(const std::uint8_t* p, std::size_t bytes, State<W>& s, const Tables<W>& t) {
  typename W::V any = W::load(p);
  for (std::size_t k = W::kBytes; k < bytes; k += W::kBytes) any = W::bit_or(any, W::load(p + k));
  if (!W::any_high(any)) {
    s.fault = W::bit_or(s.fault, s.open);  // an open sequence meets ASCII
    s.open = W::zero();
    s.before = W::load(p + bytes - W::kBytes);
    return;
  }
  s.ascii = false;
  for (std::size_t k = 0; k < bytes; k += 64) check_block<W>(p + k, s, t);
}

// Blocks p[done .. upto) (upto - done a multiple of 64), in spans of kSpan
// bytes while they last.
template <class W>
void check_range(const std::uint8_t* p, std::size_t done, std::size_t upto, State<W>& s, const Tables<W>& t) {
  for (; done + kSpan <= upto; done += kSpan) check_span<W>(p + done, kSpan, s, t);
  for (; done < upto; done += 64) check_span<W>(p + done, 64, s, t);
}

// Whether p[0 .. n) is valid, given that its blocks before `done` (a multiple
// of 64, n - done < 64) are in `s`.
template <class W>
bool finish(const std::uint8_t* p, std::size_t done, std::size_t n, State<W>& s, const Tables<W>& t) {
  if (done < n) {
    // The rest padded with zeros: ASCII, so a sequence cut by the end shows
    // as one that is too short.
    alignas(64) std::uint8_t last[64];
    W::load_tail(last, p + done, n - done);
    check_span<W>(last, 64, s, t);
  }
  s.fault = W::bit_or(s.fault, s.open);
  return !W::any(s.fault);
}

template <class W>
bool valid(const std::uint8_t* p, std::size_t n) {
  const Tables<W> t = Tables<W>::make();
  State<W> s;
  const std::size_t whole = n & ~std::size_t{63};
  check_range<W>(p, 0, whole, s, t);
  return finish<W>(p, whole, n, s, t);
}

// never_decrease, 16 offsets per step. Every 64 bytes read ask for those a
// piece ahead: left to the hardware prefetcher, the first touch of each
// piece's offsets stalls (they are the first thing a piece reads).
template <class W>
bool offsets_never_decrease(const std::int32_t* o, std::size_t n) {
  typename W::Down down = W::no_down();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm_prefetch(piece_ahead(o + i), _MM_HINT_T0);
    down = W::down16(down, o + i);
  }
  return !W::any_down(down) && never_decrease(o + i, n - i);
}

// check_text_column in one stream of blocks over the bytes: the pieces of
// kPieceRows rows are cut at the last block edge before their end (the state
// carries over). Each piece's offsets are checked first, then its bytes, then
// its row starts, while the bytes are in cache.
template <class W>
TextColumnCheck check_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                             std::size_t rows) {
  if (!ends_sound(offsets, rows, data_size)) return TextColumnCheck::UnsoundOffsets;
  const auto begin = static_cast<std::size_t>(offsets[0]);
  const std::int32_t end = offsets[rows];
  const std::uint8_t* p = data + begin;
  const std::size_t n = static_cast<std::size_t>(end) - begin;
  const Tables<W> t = Tables<W>::make();
  State<W> s;
  std::size_t done = 0;
  for (std::size_t r = 0; r < rows; r += kPieceRows) {
    const std::size_t next = std::min(r + kPieceRows, rows);
    if (!offsets_never_decrease<W>(offsets + r, next - r) || offsets[next] > end) {
      return TextColumnCheck::UnsoundOffsets;
    }
    if (offsets[r] == end) continue;
    const std::size_t to = static_cast<std::size_t>(offsets[next]) - begin;
    const std::size_t upto = to & ~std::size_t{63};
    // The blocks checked here run from at or before the piece's first row
    // start to its last block edge; the rest of the piece (under 64 bytes)
    // is tested for ASCII on its own.
    s.ascii = true;
    check_range<W>(p, done, upto, s, t);
    done = upto;
    if (!(s.ascii && is_ascii(p + upto, to - upto)) &&
        !W::starts_whole(data, offsets + r, starts_before(offsets, r, next, end) - r)) {
      return TextColumnCheck::InvalidUtf8;
    }
    if (W::any(s.fault)) return TextColumnCheck::InvalidUtf8;
  }
  return finish<W>(p, done, n, s, t) ? TextColumnCheck::Valid : TextColumnCheck::InvalidUtf8;
}

// The entry points: each instantiation compiled for its instruction set.
[[VORPEL_AVX2, gnu::flatten]] bool avx2_valid(const std::uint8_t* p, std::size_t n) { return valid<Avx2>(p, n); }
[[VORPEL_AVX2, gnu::flatten]] TextColumnCheck avx2_check(const std::uint8_t* data, std::size_t data_size,
                                                        const std::int32_t* offsets, std::size_t rows) {
  return check_column<Avx2>(data, data_size, offsets, rows);
}
[[VORPEL_AVX512, gnu::flatten]] bool avx512_valid(const std::uint8_t* p, std::size_t n) {
  return valid<Avx512>(p, n);
}
[[VORPEL_AVX512, gnu::flatten]] TextColumnCheck avx512_check(const std::uint8_t* data, std::size_t data_size,
                                                            const std::int32_t* offsets, std::size_t rows) {
  return check_column<Avx512>(data, data_size, offsets, rows);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // __x86_64__

Impl detect() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    return Impl::Avx512;
  }
  if (__builtin_cpu_supports("avx2")) return Impl::Avx2;
#endif
  return Impl::Scalar;
}

// The column in pieces of kPieceRows rows: each piece's offsets are checked,
// then its texts validated on their own (a piece holds whole texts, so the
// column is valid exactly when every piece is and no row start cuts a
// character) and its row starts checked next, unless the piece is all ASCII.
TextColumnCheck scalar_check(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                             std::size_t rows) {
  if (!ends_sound(offsets, rows, data_size)) return TextColumnCheck::UnsoundOffsets;
  const std::int32_t end = offsets[rows];
  for (std::size_t r = 0; r < rows; r += kPieceRows) {
    const std::size_t next = std::min(r + kPieceRows, rows);
    if (!never_decrease(offsets + r, next - r) || offsets[next] > end) return TextColumnCheck::UnsoundOffsets;
    if (offsets[r] == end) continue;
    const auto from = static_cast<std::size_t>(offsets[r]);
    const auto to = static_cast<std::size_t>(offsets[next]);
    bool ascii = true;
    if (!scalar_valid(data + from, to - from, &ascii) ||
        (!ascii && !starts_whole(data, offsets + r, starts_before(offsets, r, next, end) - r))) {
      return TextColumnCheck::InvalidUtf8;
    }
  }
  return TextColumnCheck::Valid;
}

bool scalar_valid_buffer(const std::uint8_t* p, std::size_t n) {
  bool ascii = true;
  return scalar_valid(p, n, &ascii);
}

// The functions of each implementation, by Impl.
struct Validator {
  bool (*valid)(const std::uint8_t* p, std::size_t n);
  TextColumnCheck (*check)(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                           std::size_t rows);
};

constexpr Validator kValidators[] = {
    {scalar_valid_buffer, scalar_check},
#if defined(__x86_64__)
    {avx2_valid, avx2_check},
    {avx512_valid, avx512_check},
#endif
};

}  // namespace

Impl best_impl() {
  static const Impl impl = detect();
  return impl;
}

// The implementations form a ladder: a CPU that has one has those below it.
bool impl_available(Impl impl) { return static_cast<int>(impl) <= static_cast<int>(best_impl()); }

namespace {

// The one place an implementation is picked: `impl` where this CPU has it,
// else the scalar one.
const Validator& validator(Impl impl) { return kValidators[impl_available(impl) ? static_cast<int>(impl) : 0]; }

}  // namespace

bool is_valid_buffer(const std::uint8_t* p, std::size_t n, Impl impl) { return validator(impl).valid(p, n); }

TextColumnCheck check_text_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                                  std::size_t rows, Impl impl) {
  return validator(impl).check(data, data_size, offsets, rows);
}

bool is_valid_buffer(const std::uint8_t* p, std::size_t n) { return validator(best_impl()).valid(p, n); }

TextColumnCheck check_text_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                                  std::size_t rows) {
  return validator(best_impl()).check(data, data_size, offsets, rows);
}

}  // namespace vorpel::utf8
