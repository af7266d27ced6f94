#pragma once
// Decoding and encoding of single UTF-8 characters: the one definition of a
// well-formed sequence that the validators, the lossy copy and the rendering
// of texts in messages share.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorpel::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

inline bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// One character read from the start of some bytes.
struct Decoded {
  char32_t cp;     // the code point, or kReplacement when the bytes are ill-formed
  unsigned size;   // bytes read: the sequence (1 to 4), or its maximal invalid prefix (1 to 3)
  bool valid;      // whether the bytes start with a well-formed sequence
};

// Decodes the character at p[0] (n >= 1 bytes readable). An ill-formed
// sequence reads as kReplacement over its maximal invalid prefix: a lead byte
// and the continuation bytes still valid for it (so E2 82 is one prefix,
// E0 80 two, a stray continuation one), as the Unicode standard's
// replacement practice and Python's decoder count them.
inline Decoded decode(const std::uint8_t* p, std::size_t n) {
  const std::uint8_t b0 = p[0];
  if (b0 < 0x80) return {b0, 1, true};
  unsigned need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  for (unsigned k = 1; k <= need; ++k) {
    const std::uint8_t lower = k == 1 ? lo : 0x80;
    const std::uint8_t upper = k == 1 ? hi : 0xBF;
    if (k >= n || p[k] < lower || p[k] > upper) return {kReplacement, k, false};
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  return {cp, need + 1, true};
}

// Appends the UTF-8 encoding of `cp` (at most U+10FFFF).
inline void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace vorpel::utf8
