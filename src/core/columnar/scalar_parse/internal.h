#pragma once
// Building blocks shared by the scalar parsers and renderings: trimming of
// White_Space (recognised in core/white_space.h), calendar arithmetic and the
// timestamp field matchers. Not part of the public interface; tests include
// it to compare the ISO fast path with the general pattern interpreter.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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

// ---------------------------------------------------------------- calendar

inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

inline bool is_leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline unsigned days_in_month(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && is_leap_year(y)) ? 29 : kDays[m - 1];
}

inline constexpr std::int64_t kDaysPer400Years = 146097;
// Years that std::chrono::year represents directly.
inline constexpr std::int64_t kChronoYearMax = 32767;

// Days from 1970-01-01 to a valid proleptic Gregorian date. Years outside
// std::chrono's range are moved by whole 400-year cycles (146097 days each),
// after which the calendar repeats exactly.
inline __int128 days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  using namespace std::chrono;
  if (y >= -kChronoYearMax && y <= kChronoYearMax) {
    return sys_days{year_month_day{year{static_cast<int>(y)}, month{m}, day{d}}}.time_since_epoch().count();
  }
  const std::int64_t cycles = floor_div(y, 400);
  const auto rest = static_cast<int>(y - cycles * 400);  // 0..399
  const auto base = sys_days{year_month_day{year{rest}, month{m}, day{d}}}.time_since_epoch().count();
  return static_cast<__int128>(cycles) * kDaysPer400Years + base;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The date `z` days after 1970-01-01, for any 64-bit day count whose year
// fits (every count a 64-bit timestamp can name does).
inline CivilDate civil_from_days(std::int64_t z) {
  using namespace std::chrono;
  // Inside this window the chrono year stays far from its limits.
  constexpr std::int64_t kDirect = 10'000'000;
  std::int64_t cycles = 0;
  if (z < -kDirect || z > kDirect) {
    cycles = floor_div(z, kDaysPer400Years);
    z -= cycles * kDaysPer400Years;  // 0..146096: years 1970..2369
  }
  const year_month_day ymd{sys_days{days{z}}};
  return CivilDate{static_cast<int>(ymd.year()) + cycles * 400, static_cast<unsigned>(ymd.month()),
                   static_cast<unsigned>(ymd.day())};
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
