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
// The validator and the column check are written once, in utf8_validate.inc,
// over a vector type `simd8`. This file includes it once per instruction set
// (AVX2: 32-byte vectors, two to a block; AVX-512: one 64-byte vector per
// block), each time in a namespace that defines that set's simd8 and under a
// pragma that compiles every function there for the set. The scalar
// implementation is the byte decoder of utf8_check.h. Which one runs is
// decided in `validator`, from what `best_impl` finds the CPU has.

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

// Bytes a block holds, and bytes tested for ASCII at once.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kSpan = 256;

// Lower than the largest byte that may end a block (at position 63 - k, k < 3)
// without opening a sequence the block does not finish: a saturating subtract
// of this (its last vector's worth) from the block's last vector is nonzero
// exactly where a sequence is left open.
alignas(64) constexpr std::uint8_t kOpenAtEnd[kBlock] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1,
};

// ---------------------------------------------------------------- AVX2
//
// Every function from here to the matching pop is compiled for AVX2 (GCC
// compiles an intrinsic only inside a function that has its target, and clang
// inlines one only there).

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace avx2 {

// 32 bytes; a block is two of them.
struct simd8 {
  static constexpr std::size_t kBytes = 32;
  __m256i v;

  static simd8 load(const std::uint8_t* p) { return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))}; }
  static simd8 zero() { return {_mm256_setzero_si256()}; }
  static simd8 splat(std::uint8_t b) { return {_mm256_set1_epi8(static_cast<char>(b))}; }
  // A 16-entry table in both 128-bit lanes (byte shuffles look up within a lane).
  static simd8 repeat16(const std::uint8_t* table) {
    return {_mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)))};
  }
  // table[index] per byte, for indices 0..15.
  static simd8 lookup16(simd8 table, simd8 index) { return {_mm256_shuffle_epi8(table.v, index.v)}; }
  simd8 high_nibble() const { return {_mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F))}; }
  simd8 low_nibble() const { return {_mm256_and_si256(v, _mm256_set1_epi8(0x0F))}; }
  // The bytes moved up by N, the first N taken from the end of `before`.
  template <int N>
  simd8 prev(simd8 before) const {
    const __m256i mid = _mm256_permute2x128_si256(before.v, v, 0x21);  // before's high lane, this low lane
    return {_mm256_alignr_epi8(v, mid, 16 - N)};
  }
  simd8 sat_sub(simd8 b) const { return {_mm256_subs_epu8(v, b.v)}; }
  // Members, not friends: GCC 12 leaves a friend defined in the class without
  // the pragma's target.
  simd8 operator&(simd8 b) const { return {_mm256_and_si256(v, b.v)}; }
  simd8 operator|(simd8 b) const { return {_mm256_or_si256(v, b.v)}; }
  simd8 operator^(simd8 b) const { return {_mm256_xor_si256(v, b.v)}; }
  bool any() const { return !_mm256_testz_si256(v, v); }
  bool any_high_bit() const { return _mm256_movemask_epi8(v) != 0; }
};

// never_decrease, 8 offsets per compare. Every 64 bytes read ask for those a
// piece ahead: left to the hardware prefetcher, the first touch of each
// piece's offsets stalls (they are the first thing a piece reads).
inline bool offsets_never_decrease(const std::int32_t* o, std::size_t n) {
  __m256i down = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm_prefetch(piece_ahead(o + i), _MM_HINT_T0);
    const __m256i a = _mm256_cmpgt_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + i)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + i + 1)));
    const __m256i b = _mm256_cmpgt_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + i + 8)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + i + 9)));
    down = _mm256_or_si256(down, _mm256_or_si256(a, b));
  }
  return _mm256_testz_si256(down, down) && never_decrease(o + i, n - i);
}

// The row starts one at a time (see starts_whole).
inline bool row_starts_whole(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  return starts_whole(data, offsets, rows);
}

#include "core/columnar/utf8_validate.inc"

}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// ---------------------------------------------------------------- AVX-512
//
// The same on 64-byte vectors (AVX-512 F and BW): a vector is one block. The
// bytes before it come across its 128-bit lanes by one two-source dword
// permute (the previous lane of each lane, the first lane taking the last of
// `before`), after which each shift is a per-lane alignr as with AVX2.

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw")
// GCC 12's AVX-512 header passes _mm512_undefined_epi32() as the unused
// source of several intrinsics (broadcast, shifts, permutes, rotates) and then
// warns that it is uninitialized; the warning says nothing about this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace avx512 {

struct simd8 {
  static constexpr std::size_t kBytes = 64;
  __m512i v;

  static simd8 load(const std::uint8_t* p) { return {_mm512_loadu_si512(p)}; }
  static simd8 zero() { return {_mm512_setzero_si512()}; }
  static simd8 splat(std::uint8_t b) { return {_mm512_set1_epi8(static_cast<char>(b))}; }
  // A 16-entry table in all four 128-bit lanes.
  static simd8 repeat16(const std::uint8_t* table) {
    return {_mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(table)))};
  }
  static simd8 lookup16(simd8 table, simd8 index) { return {_mm512_shuffle_epi8(table.v, index.v)}; }
  simd8 high_nibble() const { return {_mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F))}; }
  simd8 low_nibble() const { return {_mm512_and_si512(v, _mm512_set1_epi8(0x0F))}; }
  template <int N>
  simd8 prev(simd8 before) const {
    // Dwords 12..15 of `before` (indices 16 + 12..15 of the two-source
    // permute), then dwords 0..11 of this vector: each lane's previous lane.
    const __m512i lanes_back = _mm512_setr_epi32(28, 29, 30, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
    const __m512i mid = _mm512_permutex2var_epi32(v, lanes_back, before.v);
    return {_mm512_alignr_epi8(v, mid, 16 - N)};
  }
  simd8 sat_sub(simd8 b) const { return {_mm512_subs_epu8(v, b.v)}; }
  // Chains of these become three-input vpternlog operations.
  simd8 operator&(simd8 b) const { return {_mm512_and_si512(v, b.v)}; }
  simd8 operator|(simd8 b) const { return {_mm512_or_si512(v, b.v)}; }
  simd8 operator^(simd8 b) const { return {_mm512_xor_si512(v, b.v)}; }
  bool any() const { return _mm512_test_epi64_mask(v, v) != 0; }
  bool any_high_bit() const { return _mm512_movepi8_mask(v) != 0; }
};

// never_decrease, 16 offsets per compare (see the AVX2 one), the last ones
// under a mask.
inline bool offsets_never_decrease(const std::int32_t* o, std::size_t n) {
  __mmask16 down = 0;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm_prefetch(piece_ahead(o + i), _MM_HINT_T0);
    down |= _mm512_cmpgt_epi32_mask(_mm512_loadu_si512(o + i), _mm512_loadu_si512(o + i + 1));
  }
  if (i < n) {
    const auto rest = static_cast<__mmask16>((1u << (n - i)) - 1);
    down |= _mm512_mask_cmpgt_epi32_mask(rest, _mm512_maskz_loadu_epi32(rest, o + i),
                                         _mm512_maskz_loadu_epi32(rest, o + i + 1));
  }
  return down == 0;
}

// Rows whose starts row_starts_whole tests against one window of the bitmap,
// and the bytes a bitmap covers at most (longer pieces go to starts_whole:
// their rows are long, so the per-row cost matters less there).
constexpr std::size_t kWindowRows = 32;
constexpr std::size_t kBitmapBytes = 16384;

// starts_whole on a bitmap of the continuation bytes. The bitmap of the
// bytes the row starts fall in (one compare per 64 bytes, in cache after
// the byte pass) is built first; then for each kWindowRows rows, 16 at a
// time, a dword permute picks from a 512-bit window of it the dword holding
// each row start's bit, and a rotated 1 picks the bit. That is a handful of
// vector instructions per 16 rows where starts_whole spends a few loads per
// row. Rows whose starts spread over more than the window are checked by
// starts_whole.
bool row_starts_whole(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  if (rows < kWindowRows) return starts_whole(data, offsets, rows);
  const auto base = static_cast<std::size_t>(offsets[0]);
  const std::size_t span = static_cast<std::size_t>(offsets[rows - 1]) + 1 - base;  // bytes holding the starts
  if (span > kBitmapBytes) return starts_whole(data, offsets, rows);
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
      if (!starts_whole(data, offsets + i, kWindowRows)) return false;
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
  return _mm512_test_epi64_mask(cut, cut) == 0 && starts_whole(data, offsets + i, rows - i);
}

#include "core/columnar/utf8_validate.inc"

}  // namespace avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

#endif  // __x86_64__

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

// The functions of one implementation.
struct Validator {
  bool (*valid)(const std::uint8_t* p, std::size_t n);
  TextColumnCheck (*check)(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                           std::size_t rows);
};

// By Impl.
constexpr Validator kValidators[] = {
    {scalar_valid_buffer, scalar_check},
#if defined(__x86_64__)
    {avx2::valid, avx2::check_column},
    {avx512::valid, avx512::check_column},
#endif
};

// The widest implementation this CPU has.
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

}  // namespace

// Asked of the CPU once, on first use.
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

bool is_valid_buffer(const std::uint8_t* p, std::size_t n) { return is_valid_buffer(p, n, best_impl()); }

TextColumnCheck check_text_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                                  std::size_t rows) {
  return check_text_column(data, data_size, offsets, rows, best_impl());
}

}  // namespace vorpel::utf8
