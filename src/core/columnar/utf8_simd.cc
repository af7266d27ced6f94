// Whole-buffer UTF-8 validation with AVX2, chosen at run time, and the check
// of a string column built on it.
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

#if defined(__x86_64__)

#define VORPEL_AVX2 __attribute__((target("avx2")))

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

// Lower than the largest byte that may end a block (at position 31 - k, k < 3)
// without opening a sequence the block does not finish: subs_epu8 with this is
// nonzero exactly where a sequence is left open.
alignas(32) constexpr std::uint8_t kOpenAtEnd[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1,
};

struct Tables {
  __m256i prev_high, prev_low, high, nibble, third, fourth, top, open_at_end;
};

// A 16-entry table in both 128-bit lanes (shuffles look up within a lane).
VORPEL_AVX2 inline __m256i both_lanes(const std::uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

VORPEL_AVX2 inline Tables tables() {
  return Tables{both_lanes(kPrevHigh),
                both_lanes(kPrevLow),
                both_lanes(kHigh),
                _mm256_set1_epi8(0x0F),
                _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)),
                _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)),
                _mm256_set1_epi8(static_cast<char>(0x80)),
                _mm256_load_si256(reinterpret_cast<const __m256i*>(kOpenAtEnd))};
}

// The bytes of `in` moved up by N, the first N taken from the end of `before`.
template <int N>
VORPEL_AVX2 inline __m256i shifted_in(__m256i in, __m256i before) {
  const __m256i mid = _mm256_permute2x128_si256(before, in, 0x21);  // before's high lane, in's low lane
  return _mm256_alignr_epi8(in, mid, 16 - N);
}

// Nonzero bytes where `in`, after `before`, is not valid UTF-8 (a sequence
// left open at the end of `in` is not counted here).
VORPEL_AVX2 inline __m256i faults(__m256i in, __m256i before, const Tables& t) {
  const __m256i prev1 = shifted_in<1>(in, before);
  const __m256i by_prev_high =
      _mm256_shuffle_epi8(t.prev_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), t.nibble));
  const __m256i by_prev_low = _mm256_shuffle_epi8(t.prev_low, _mm256_and_si256(prev1, t.nibble));
  const __m256i by_high = _mm256_shuffle_epi8(t.high, _mm256_and_si256(_mm256_srli_epi16(in, 4), t.nibble));
  const __m256i pair = _mm256_and_si256(_mm256_and_si256(by_prev_high, by_prev_low), by_high);
  // 0x80 where this byte must continue a 3- or 4-byte sequence.
  const __m256i third = _mm256_subs_epu8(shifted_in<2>(in, before), t.third);
  const __m256i fourth = _mm256_subs_epu8(shifted_in<3>(in, before), t.fourth);
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), t.top);
  return _mm256_xor_si256(must_continue, pair);
}

// Bytes tested for ASCII at once.
constexpr std::size_t kSpan = 256;

// What the blocks so far leave: their faults, the last 32 bytes (the bytes
// before the next block), where a sequence is left open, and whether all the
// spans since `ascii` was last set were ASCII.
struct State {
  __m256i fault, before, open;
  bool ascii;
};

// One 64-byte block, looked up whatever it holds.
VORPEL_AVX2 inline void check_block(const std::uint8_t* p, State& s, const Tables& t) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  s.fault = _mm256_or_si256(s.fault, _mm256_or_si256(faults(a, s.before, t), faults(b, a, t)));
  s.open = _mm256_subs_epu8(b, t.open_at_end);
  s.before = b;
}

// `bytes` bytes (a multiple of 64): when all ASCII they only have to close
// nothing that is open, else every 64-byte block in them is looked up.
VORPEL_AVX2 inline void check_span(const std::uint8_t* p, std::size_t bytes, State& s, const Tables& t) {
  __m256i any = _mm256_setzero_si256();
  for (std::size_t k = 0; k < bytes; k += 32) {
    any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k)));
  }
  if (_mm256_movemask_epi8(any) == 0) {
    s.fault = _mm256_or_si256(s.fault, s.open);  // an open sequence meets ASCII
    s.open = _mm256_setzero_si256();
    s.before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + bytes - 32));
    return;
  }
  s.ascii = false;
  for (std::size_t k = 0; k < bytes; k += 64) check_block(p + k, s, t);
}

// Blocks p[done .. upto) (upto - done a multiple of 64), in spans of kSpan
// bytes while they last.
VORPEL_AVX2 inline void check_range(const std::uint8_t* p, std::size_t done, std::size_t upto, State& s,
                                    const Tables& t) {
  for (; done + kSpan <= upto; done += kSpan) check_span(p + done, kSpan, s, t);
  for (; done < upto; done += 64) check_span(p + done, 64, s, t);
}

// Whether p[0 .. n) is valid, given that its blocks before `done` (a multiple
// of 64, n - done < 64) are in `s`.
VORPEL_AVX2 inline bool finish(const std::uint8_t* p, std::size_t done, std::size_t n, State& s, const Tables& t) {
  if (done < n) {
    // The rest padded with zeros: ASCII, so a sequence cut by the end shows
    // as one that is too short.
    alignas(32) std::uint8_t last[64] = {};
    std::memcpy(last, p + done, n - done);
    check_span(last, 64, s, t);
  }
  s.fault = _mm256_or_si256(s.fault, s.open);
  return _mm256_testz_si256(s.fault, s.fault) != 0;
}

VORPEL_AVX2 bool avx2_valid(const std::uint8_t* p, std::size_t n) {
  const Tables t = tables();
  State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), true};
  const std::size_t whole = n & ~std::size_t{63};
  check_range(p, 0, whole, s, t);
  return finish(p, whole, n, s, t);
}

// all_texts_valid in one stream of blocks over the bytes: the pieces of
// kPieceRows rows are cut at the last block edge before their end (the state
// carries over), and each piece's row starts are checked right after its
// blocks, while they are in cache.
VORPEL_AVX2 bool avx2_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  if (rows == 0) return true;
  const auto begin = static_cast<std::size_t>(offsets[0]);
  const std::int32_t end = offsets[rows];
  const std::uint8_t* p = data + begin;
  const std::size_t n = static_cast<std::size_t>(end) - begin;
  // Rows [0, inside) start before the end; the rest are empty texts at it.
  const auto inside = static_cast<std::size_t>(std::lower_bound(offsets, offsets + rows, end) - offsets);
  const Tables t = tables();
  State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), true};
  std::size_t done = 0;
  for (std::size_t r = 0; r < inside; r += kPieceRows) {
    const std::size_t next = std::min(r + kPieceRows, inside);
    const std::size_t to = static_cast<std::size_t>(offsets[next]) - begin;
    const std::size_t upto = to & ~std::size_t{63};
    // The blocks checked here run from at or before the piece's first row
    // start to its last block edge; the rest of the piece (under 64 bytes)
    // is tested for ASCII on its own.
    s.ascii = true;
    check_range(p, done, upto, s, t);
    done = upto;
    if (!(s.ascii && is_ascii(p + upto, to - upto)) && !starts_whole(data, offsets + r, next - r)) return false;
    if (!_mm256_testz_si256(s.fault, s.fault)) return false;
  }
  return finish(p, done, n, s, t);
}

#endif  // __x86_64__

Impl detect() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Impl::Avx2;
#endif
  return Impl::Scalar;
}

// The column in pieces of kPieceRows rows, each validated on its own (a piece
// holds whole texts, so the column is valid exactly when every piece is and
// no row start cuts a character) and its row starts checked next, unless the
// piece is all ASCII.
bool scalar_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  if (rows == 0) return true;
  const std::int32_t end = offsets[rows];
  // Rows [0, inside) start before the end; the rest are empty texts at it.
  const auto inside = static_cast<std::size_t>(std::lower_bound(offsets, offsets + rows, end) - offsets);
  for (std::size_t r = 0; r < inside; r += kPieceRows) {
    const std::size_t next = std::min(r + kPieceRows, inside);
    const auto from = static_cast<std::size_t>(offsets[r]);
    const auto to = static_cast<std::size_t>(offsets[next]);
    bool ascii = true;
    if (!scalar_valid(data + from, to - from, &ascii)) return false;
    if (!ascii && !starts_whole(data, offsets + r, next - r)) return false;
  }
  return true;
}

}  // namespace

Impl best_impl() {
  static const Impl impl = detect();
  return impl;
}

bool impl_available(Impl impl) { return impl == Impl::Scalar || best_impl() == Impl::Avx2; }

bool is_valid_buffer(const std::uint8_t* p, std::size_t n, Impl impl) {
#if defined(__x86_64__)
  if (impl == Impl::Avx2 && impl_available(impl)) return avx2_valid(p, n);
#endif
  (void)impl;
  bool ascii = true;
  return scalar_valid(p, n, &ascii);
}

bool all_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows, Impl impl) {
#if defined(__x86_64__)
  if (impl == Impl::Avx2 && impl_available(impl)) return avx2_texts_valid(data, offsets, rows);
#endif
  (void)impl;
  return scalar_texts_valid(data, offsets, rows);
}

bool is_valid_buffer(const std::uint8_t* p, std::size_t n) { return is_valid_buffer(p, n, best_impl()); }

bool all_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  return all_texts_valid(data, offsets, rows, best_impl());
}

}  // namespace vorpel::utf8
