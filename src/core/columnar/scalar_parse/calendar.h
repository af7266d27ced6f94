#pragma once
// Proleptic Gregorian calendar arithmetic for the parsers, the renderings and
// the predicate evaluator. Day counts are days since 1970-01-01.

#include <cstdint>

namespace vorpel::scalar_detail {

inline constexpr std::int64_t kDaysPer400Years = 146097;

constexpr bool is_leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr unsigned days_in_month(std::int64_t y, unsigned m) {
  constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && is_leap_year(y)) ? 29 : kDays[m - 1];
}

// The day count of a valid date, for any 64-bit year. The calendar repeats
// every 400 years (146097 days): the year is split into whole cycles and a
// year 0..399, whose date is counted with Howard Hinnant's days_from_civil
// (March-based years, so the leap day ends the year).
constexpr __int128 days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  const std::int64_t rest = y % 400 + (y % 400 < 0 ? 400 : 0);  // 0..399
  const std::int64_t cycles = y / 400 - (y % 400 < 0 ? 1 : 0);   // floor(y / 400), without overflow
  const std::int64_t year = rest - (m <= 2 ? 1 : 0);            // -1..399
  const std::int64_t era = year < 0 ? -1 : 0;
  const auto yoe = static_cast<unsigned>(year - era * 400);     // 0..399
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<__int128>(cycles) * kDaysPer400Years + era * kDaysPer400Years + static_cast<std::int64_t>(doe) -
         719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The date of any 64-bit day count (Howard Hinnant's civil_from_days). Counts
// far from the epoch are first split into whole 400-year cycles, so nothing
// overflows.
constexpr CivilDate civil_from_days(std::int64_t z) {
  constexpr std::int64_t kDirect = 10'000'000;  // inside this window nothing can overflow
  std::int64_t cycles = 0;
  if (z < -kDirect || z > kDirect) {
    const std::int64_t rest = z % kDaysPer400Years + (z % kDaysPer400Years < 0 ? kDaysPer400Years : 0);
    cycles = z / kDaysPer400Years - (z % kDaysPer400Years < 0 ? 1 : 0);
    z = rest;  // 0..146096: years 1970..2369
  }
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return CivilDate{yoe + era * 400 + (month <= 2 ? 1 : 0) + cycles * 400, month, day};
}

}  // namespace vorpel::scalar_detail
