#pragma once
// Building blocks shared by the scalar parsers and renderings: trimming of
// White_Space (recognised in core/white_space.h), calendar arithmetic and the
// timestamp field matchers. Not part of the public interface; tests include
// it to compare the ISO fast path with the general pattern interpreter.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/columnar/scalar_parse/calendar.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/white_space.h"

namespace vorpel::scalar_detail {

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
