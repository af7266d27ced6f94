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
  std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII are the common case: test eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    std::size_t bad = 0;
    const std::size_t len = sequence_length(p + i, n - i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
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
