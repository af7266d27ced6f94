#pragma once
// UTF-8 checks for stored column texts: validation, and a lossy copy in which
// each maximal invalid subsequence becomes one U+FFFD.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vorpel::utf8 {

// Length of the well-formed sequence starting at p[0] (1 to 4), or 0 when it
// is ill-formed; then *bad is the length of its maximal invalid prefix (>= 1).
inline std::size_t sequence_length(const std::uint8_t* p, std::size_t n, std::size_t* bad) {
  const std::uint8_t b0 = p[0];
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    const std::uint8_t lower = k == 1 ? lo : 0x80;
    const std::uint8_t upper = k == 1 ? hi : 0xBF;
    if (k >= n || p[k] < lower || p[k] > upper) {
      *bad = k;
      return 0;
    }
  }
  return need + 1;
}

inline bool is_valid(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = 0;
  // Runs of ASCII are the common case: 32 bytes per test; a block with a
  // non-ASCII byte is entered at that byte, whose sequence is checked whole.
  while (i + 32 <= n) {
    std::uint64_t w[4];
    std::memcpy(w, p + i, 32);
    const std::uint64_t h0 = w[0] & kHigh, h1 = w[1] & kHigh, h2 = w[2] & kHigh, h3 = w[3] & kHigh;
    if ((h0 | h1 | h2 | h3) == 0) {
      i += 32;
      continue;
    }
    const std::size_t skip = h0 ? 0 : h1 ? 8 : h2 ? 16 : 24;
    const std::uint64_t high = h0 ? h0 : h1 ? h1 : h2 ? h2 : h3;
    i += skip + (static_cast<std::size_t>(__builtin_ctzll(high)) >> 3);
    std::size_t bad = 0;
    const std::size_t len = sequence_length(p + i, n - i, &bad);
    if (len == 0) return false;
    i += len;
  }
  while (i < n) {
    std::size_t bad = 0;
    const std::size_t len = sequence_length(p + i, n - i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Whether the bytes are all ASCII (a loop the compiler turns into wide ORs).
inline bool is_ascii(const std::uint8_t* p, std::size_t n) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    seen |= word;
  }
  for (; i < n; ++i) seen |= p[i];
  return (seen & 0x8080808080808080ULL) == 0;
}

inline bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether p[0 .. n) is valid UTF-8, by the fastest validator this CPU has
// (utf8_simd.cc): the AVX-512 or AVX2 one on x86-64 CPUs that have it, else
// is_valid.
bool is_valid_buffer(const std::uint8_t* p, std::size_t n);

// What check_text_column finds in a string column.
enum class TextColumnCheck {
  Valid,           // sound offsets, and every text valid UTF-8
  InvalidUtf8,     // a text is not valid UTF-8
  UnsoundOffsets,  // an offset below 0, decreasing, or past the bytes there are
};

// Checks a column of `rows` texts data[offsets[i] .. offsets[i + 1]) in one
// pass (`offsets` holds rows + 1 readable entries, one when rows is 0): its offsets (offsets[0] >= 0, none decreasing, offsets[rows] <=
// data_size) and, reading nothing outside what they span, its texts (the
// whole range offsets[0] .. offsets[rows] valid and no row start before
// offsets[rows] pointing at a continuation byte: a valid range cut only at
// character starts leaves valid pieces). offsets[0] need not be 0 (the
// column may be a slice of a larger buffer). The pass stops at the first
// fault it meets: a column with both kinds may be reported with either.
TextColumnCheck check_text_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                                  std::size_t rows);

// Whether every text of a column whose offsets are known to be sound is
// valid UTF-8.
inline bool all_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows) {
  return check_text_column(data, SIZE_MAX, offsets, rows) == TextColumnCheck::Valid;
}

// The implementations behind the functions above, to test or measure one
// in particular. Each needs what the one before it needs and more (Avx512:
// AVX2, AVX-512 F and BW); a CPU that lacks what is asked for gets the scalar
// one.
enum class Impl { Scalar, Avx2, Avx512 };
Impl best_impl();  // what is_valid_buffer and check_text_column use
bool impl_available(Impl impl);
bool is_valid_buffer(const std::uint8_t* p, std::size_t n, Impl impl);
TextColumnCheck check_text_column(const std::uint8_t* data, std::size_t data_size, const std::int32_t* offsets,
                                  std::size_t rows, Impl impl);
inline bool all_texts_valid(const std::uint8_t* data, const std::int32_t* offsets, std::size_t rows, Impl impl) {
  return check_text_column(data, SIZE_MAX, offsets, rows, impl) == TextColumnCheck::Valid;
}

inline std::string lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t bad = 0;
    const std::size_t len = sequence_length(p + i, n - i, &bad);
    if (len == 0) {
      out.append("\xEF\xBF\xBD");
      i += bad;
    } else {
      out.append(text.data() + i, len);
      i += len;
    }
  }
  return out;
}

}  // namespace vorpel::utf8
