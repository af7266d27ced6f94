#pragma once
// Unicode White_Space: recognition of its characters in UTF-8 bytes, and
// trimming. Trimming returns views into the caller's text; nothing is copied.

#include <cstddef>
#include <string_view>

namespace vorpel {

// Byte length of the Unicode White_Space character starting at `p` (0 if the
// bytes there are not one). White_Space: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Only their well-formed encodings count: a truncated, overlong or stray
// sequence is never white space.
inline std::size_t ws_len_at(const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(*p);
  if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
  const std::ptrdiff_t avail = end - p;
  if (c == 0xC2) {
    if (avail < 2) return 0;
    const auto c1 = static_cast<unsigned char>(p[1]);
    return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
  }
  if (c < 0xE1 || c > 0xE3 || avail < 3) return 0;
  const auto c1 = static_cast<unsigned char>(p[1]);
  const auto c2 = static_cast<unsigned char>(p[2]);
  if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
  if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
  // 0xE2: U+2000..U+200A, U+2028, U+2029, U+202F (E2 80 xx) and U+205F (E2 81 9F).
  if (c1 == 0x80) return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
  if (c1 == 0x81) return c2 == 0x9F ? 3 : 0;
  return 0;
}

// Byte length of the White_Space character that ends just before `end`
// (0 if none). Every multi-byte White_Space sequence begins with a lead byte,
// so matching its exact bytes backwards cannot split another character.
inline std::size_t ws_len_before(const char* begin, const char* end) {
  const auto c = static_cast<unsigned char>(end[-1]);
  if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
  const std::ptrdiff_t avail = end - begin;
  if (avail >= 2 && (c == 0x85 || c == 0xA0) && static_cast<unsigned char>(end[-2]) == 0xC2) return 2;
  if (avail < 3) return 0;
  const char* p = end - 3;
  return ws_len_at(p, end) == 3 ? 3 : 0;
}

inline const char* skip_ws(const char* p, const char* end) {
  while (p < end) {
    const std::size_t n = ws_len_at(p, end);
    if (n == 0) break;
    p += n;
  }
  return p;
}

// White_Space trimmed from both ends, from the start only, from the end only.
std::string_view trim_whitespace(std::string_view text);
std::string_view trim_whitespace_start(std::string_view text);
std::string_view trim_whitespace_end(std::string_view text);

}  // namespace vorpel
