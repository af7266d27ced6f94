#pragma once
// UTF-8 checks for stored column texts: validation, and a lossy copy in which
// each maximal invalid subsequence becomes one U+FFFD.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/utf8.h"

namespace vorpel::utf8 {

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
    const Decoded d = decode(p + i, n - i);
    if (!d.valid) return false;
    i += d.size;
  }
  while (i < n) {
    const Decoded d = decode(p + i, n - i);
    if (!d.valid) return false;
    i += d.size;
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
    const Decoded d = decode(p + i, n - i);
    if (d.valid) {
      out.append(text.data() + i, d.size);
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD
    }
    i += d.size;
  }
  return out;
}

}  // namespace vorpel::utf8
