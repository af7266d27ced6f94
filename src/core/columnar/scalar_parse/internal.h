#pragma once
// Building blocks shared by the scalar parsers and renderings: White_Space
// recognition, calendar arithmetic and the timestamp field matchers. Not part
// of the public interface; tests include it to compare the ISO fast path with
// the general pattern interpreter.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/columnar/scalar_parse/calendar.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel::scalar_detail {

// ---------------------------------------------------------------- whitespace

// Byte length of the Unicode White_Space character starting at `p` (0 if the
// bytes there are not one). White_Space: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
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

// Trims both ends; texts that start and end with a visible ASCII byte (the
// common case) are returned without a call.
inline std::string_view trim_fast(std::string_view text) {
  if (!text.empty()) {
    const auto first = static_cast<unsigned char>(text.front());
    const auto last = static_cast<unsigned char>(text.back());
    if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return text;
  }
  return trim_whitespace(text);
}

// ---------------------------------------------------------------- timestamps

// A matched date and time of day. `nanos` may reach 1999999999 after a leap
// second (second 60 is second 59 plus one extra second of fraction).
struct Instant {
  __int128 days = 0;
  std::int32_t seconds = 0;  // seconds of the day, 0..86399
  std::int64_t nanos = 0;

  friend bool operator==(const Instant&, const Instant&) = default;
};

// Converts an instant to a count of `unit`. Units coarser than nanoseconds
// drop (floor) the sub-unit part and give absent when the count leaves the
// 64-bit range; nanoseconds saturate instead.
std::optional<std::int64_t> instant_to_unit(const Instant& t, TimeUnit unit);

// The built-in patterns "%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%d %H:%M:%S%.f" and
// "%Y-%m-%d" (in that order; the last gives midnight), matched by hand-written
// code. `text` is already trimmed.
std::optional<Instant> match_builtin(std::string_view text);

// "%Y-%m-%d" alone, by the same hand-written code.
std::optional<Instant> match_iso_date(std::string_view text);

// Compiles `pattern` and matches `text` with the general interpreter (no
// fallback to the built-in patterns). For tests and one-off use.
std::optional<Instant> match_pattern(std::string_view pattern, std::string_view text);

}  // namespace vorpel::scalar_detail
