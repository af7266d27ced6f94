// Date and timestamp parsing: the built-in patterns, custom patterns and their
// directives, unit conversion with saturation, and the agreement of the ISO
// fast path with the general pattern interpreter.

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

// Readable parameter values in test names and failure messages.
template <class Case>
  requires requires(const Case& c) { std::string_view(c.text); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << quote_text(c.text);
}

constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

// ---------------------------------------------------------------- date32

struct DateCase {
  std::string text;
  std::optional<std::int32_t> expected;
};

class ParseDate32 : public ::testing::TestWithParam<DateCase> {};

TEST_P(ParseDate32, Table) { EXPECT_EQ(parse_date32(GetParam().text), GetParam().expected) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Table, ParseDate32,
    ::testing::Values(
        DateCase{"1970-01-01", 0}, DateCase{"1969-12-31", -1}, DateCase{"2024-01-05", 19727},
        DateCase{" 2024-01-05\t", 19727}, DateCase{"\xC2\xA0" "2024-01-05\xE3\x80\x80", 19727},
        DateCase{"2024-1-5", 19727}, DateCase{"2024-01- 5", 19727}, DateCase{"+2024-01-05", 19727},
        DateCase{"2024-02-29", 19782}, DateCase{"2000-02-29", 11016}, DateCase{"0000-01-01", -719528},
        DateCase{"99-01-01", -683368}, DateCase{"+10000-01-01", 2932897}, DateCase{"-0001-12-31", -719529},
        DateCase{"-2024-01-05", -1458775}, DateCase{"+5881580-07-11", 2147483647},
        DateCase{"-5877641-06-23", std::numeric_limits<std::int32_t>::min()},
        DateCase{"+5881580-07-12", std::nullopt}, DateCase{"-5877641-06-22", std::nullopt},
        DateCase{"2023-02-29", std::nullopt}, DateCase{"1900-02-29", std::nullopt},
        DateCase{"2024-13-01", std::nullopt}, DateCase{"2024-00-10", std::nullopt},
        DateCase{"2024-01-00", std::nullopt}, DateCase{"2024-01-32", std::nullopt},
        DateCase{"2024-04-31", std::nullopt}, DateCase{"2024-01-05T00:00", std::nullopt},
        DateCase{"20240105", std::nullopt}, DateCase{"12024-01-01", std::nullopt},
        DateCase{"2024 -01-05", std::nullopt}, DateCase{"2024-001-05", std::nullopt},
        DateCase{"2024/01/05", std::nullopt}, DateCase{"+-2024-01-05", std::nullopt},
        DateCase{"+99999999999999999999-01-01", std::nullopt}, DateCase{"", std::nullopt},
        DateCase{" ", std::nullopt}, DateCase{"2024-01-05x", std::nullopt}));

// ---------------------------------------------------------------- timestamps

constexpr auto kS = TimeUnit::Second;
constexpr auto kMs = TimeUnit::Millisecond;
constexpr auto kUs = TimeUnit::Microsecond;
constexpr auto kNs = TimeUnit::Nanosecond;

struct TsCase {
  TimeUnit unit;
  std::optional<std::string> pattern;
  std::string text;
  std::optional<std::int64_t> expected;
};

class ParseTimestamp : public ::testing::TestWithParam<TsCase> {};

TEST_P(ParseTimestamp, Table) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_timestamp(c.text, c.unit, c.pattern), c.expected)
      << c.text << " with " << c.pattern.value_or("<none>");
  // The compiled parser gives the same answer when reused.
  const TimestampParser parser(c.unit, c.pattern);
  EXPECT_EQ(parser.parse(c.text), c.expected);
  EXPECT_EQ(parser.parse(c.text), c.expected);
}

const std::nullopt_t kNone = std::nullopt;
constexpr std::int64_t kNoon = 1704456000;      // 2024-01-05 12:00:00 in seconds
constexpr std::int64_t kMidnight = 1704412800;  // 2024-01-05 00:00:00

INSTANTIATE_TEST_SUITE_P(
    BuiltIn, ParseTimestamp,
    ::testing::Values(
        TsCase{kUs, kNone, "2024-01-05 12:00:00.123456789", 1704456000123456},
        TsCase{kUs, kNone, "2024-01-05T12:00:00", kNoon * 1000000},
        TsCase{kUs, kNone, "2024-01-05", kMidnight * 1000000},
        TsCase{kNs, kNone, "2024-01-05 12:00:00.123456789", kNoon * 1000000000 + 123456789},
        TsCase{kNs, kNone, "2024-01-05 12:00:00.1234567891234", kNoon * 1000000000 + 123456789},
        TsCase{kMs, kNone, "2024-01-05T12:00:00.5", kNoon * 1000 + 500},
        TsCase{kMs, kNone, "2024-01-05T12:00:00.000123", kNoon * 1000},
        TsCase{kS, kNone, "  2024-01-05 12:00:00\t", kNoon}, TsCase{kS, kNone, "2024-01-05 7:5:9", kMidnight + 25509},
        TsCase{kS, kNone, "2024-01-0512:00:00", kNoon}, TsCase{kS, kNone, "2024-01-05\t \xC2\xA0" "12:00:00", kNoon},
        TsCase{kS, kNone, "2024-01-05T 12:00:00", kNoon}, TsCase{kS, kNone, "2024-01-05 12: 00: 00", kNoon},
        TsCase{kS, kNone, "2024-01-05T12:00:00Z", kNone}, TsCase{kS, kNone, "2024-01-05 12:00:00+01:00", kNone},
        TsCase{kS, kNone, "2024-01-05 12:00", kNone}, TsCase{kS, kNone, "2024-01-05 12:00:00.", kNone},
        TsCase{kS, kNone, "2024-01-05 12:00:00.x", kNone}, TsCase{kS, kNone, "2024-01-05 24:00:00", kNone},
        TsCase{kS, kNone, "2024-01-05 12:60:00", kNone}, TsCase{kS, kNone, "2024-01-05 12:00:61", kNone},
        TsCase{kS, kNone, "2024-01-05TT12:00:00", kNone}, TsCase{kS, kNone, "2024-01-05t12:00:00", kNone},
        TsCase{kS, kNone, "2024-02-30 12:00:00", kNone}, TsCase{kS, kNone, "T12:00:00", kNone},
        TsCase{kS, kNone, "", kNone},
        // Leap second: second 59 plus one second of fraction.
        TsCase{kS, kNone, "2024-01-05 23:59:60", kMidnight + 86399},
        TsCase{kMs, kNone, "2024-01-05 23:59:60", (kMidnight + 86400) * 1000},
        TsCase{kUs, kNone, "2024-01-05 23:59:60", (kMidnight + 86400) * 1000000},
        TsCase{kNs, kNone, "2024-01-05 23:59:60", (kMidnight + 86400) * 1000000000},
        TsCase{kMs, kNone, "2024-01-05 12:30:60.25", (kNoon + 1860) * 1000 + 250},
        // Sub-unit parts before the epoch are floored.
        TsCase{kMs, kNone, "1969-12-31T23:59:59.5", -500}, TsCase{kS, kNone, "1969-12-31T23:59:59.5", -1},
        TsCase{kUs, kNone, "1969-12-31 23:59:59.9999999", -1},
        // Nanoseconds saturate; coarser units are exact or absent.
        TsCase{kNs, kNone, "2300-01-01", kI64Max}, TsCase{kNs, kNone, "1600-01-01", kI64Min},
        TsCase{kUs, kNone, "2300-01-01", 10413792000000000}, TsCase{kUs, kNone, "1600-01-01", -11676096000000000},
        TsCase{kNs, kNone, "2262-04-11 23:47:16.854775807", kI64Max},
        TsCase{kNs, kNone, "2262-04-11 23:47:16.854775808", 9223372036854775000},
        TsCase{kNs, kNone, "1677-09-21 00:12:43.145224192", kI64Min},
        TsCase{kNs, kNone, "+99999999-01-01", kI64Max}, TsCase{kNs, kNone, "-99999999-01-01", kI64Min},
        TsCase{kS, kNone, "+292277026596-12-04 15:30:07", kI64Max},
        TsCase{kS, kNone, "+292277026596-12-04 15:30:08", kNone},
        TsCase{kMs, kNone, "+300000000-01-01", kNone}, TsCase{kS, kNone, "+300000000-01-01", 9467023432780800}));

INSTANTIATE_TEST_SUITE_P(
    CustomPattern, ParseTimestamp,
    ::testing::Values(
        TsCase{kS, "%d/%m/%Y %H:%M:%S", "05/01/2024 12:00:00", kNoon},
        TsCase{kS, "%d/%m/%Y %H:%M:%S", " 05/01/2024 12:00:00 ", kNoon},
        TsCase{kS, "%d/%m/%Y %H:%M:%S", "2024-01-05", kMidnight},  // built-in patterns still apply
        TsCase{kS, "%d/%m/%Y %H:%M:%S", "05/01/2024", kNone},
        TsCase{kS, "%d/%m/%Y", "05/01/2024", kMidnight}, TsCase{kS, "%d/%m/%Y", "5/1/2024", kMidnight},
        TsCase{kS, "%d/%m/%Y", "05/01/2024 12:00", kNone},
        TsCase{kS, "%Y-%m-%d %H", "2024-01-05 13", kMidnight + 13 * 3600},
        TsCase{kS, "%d %m %Y", "05\t\t01\xC2\xA0" "2024", kMidnight}, TsCase{kS, "%d %m %Y", "05012024", kMidnight},
        TsCase{kS, "%Y%m%d", "20240105", kMidnight}, TsCase{kS, "%y%m%d", "240105", kMidnight},
        TsCase{kS, "%y-%m-%d", "69-01-05", -361LL * 86400}, TsCase{kS, "%y-%m-%d", "68-01-05", 35798LL * 86400},
        TsCase{kS, "%y-%m-%d", "4-01-05", 1073260800},
        TsCase{kS, "%b %d %Y", "Jan 05 2024", kMidnight}, TsCase{kS, "%b %d %Y", "jAN 5 2024", kMidnight},
        TsCase{kS, "%b %d %Y", "January 05 2024", kMidnight}, TsCase{kS, "%B %d %Y", "jan 05 2024", kMidnight},
        TsCase{kS, "%h-%d-%Y", "Dec-31-2024", 20088LL * 86400}, TsCase{kS, "%b %d %Y", "Janu 05 2024", kNone},
        TsCase{kS, "%b %d %Y", "Sept 05 2024", kNone}, TsCase{kS, "%B %e, %Y", "January  5, 2024", kMidnight},
        TsCase{kS, "%Y-%j", "2024-5", kMidnight}, TsCase{kS, "%Y-%j", "2024-366", 20088LL * 86400},
        TsCase{kS, "%Y-%j", "2024-060", 19782LL * 86400}, TsCase{kS, "%Y-%j", "2023-366", kNone},
        TsCase{kS, "%Y-%j", "2024-0", kNone}, TsCase{kS, "%Y-%j %m-%d", "2024-005 01-05", kMidnight},
        TsCase{kS, "%Y-%j %m-%d", "2024-006 01-05", kNone},
        TsCase{kS, "%I:%M %p %F", "12:30 AM 2024-01-05", kMidnight + 1800},
        TsCase{kS, "%I:%M %p %F", "12:30 pm 2024-01-05", kNoon + 1800},
        TsCase{kS, "%I:%M %p %F", "01:30 Pm 2024-01-05", kNoon + 5400},
        TsCase{kS, "%I:%M %p %F", "13:30 PM 2024-01-05", kNone},
        TsCase{kS, "%I:%M %p %F", "00:30 AM 2024-01-05", kNone},
        TsCase{kS, "%I:%M %p %F", "01:30 XM 2024-01-05", kNone},
        TsCase{kS, "%D %T", "01/05/24 12:00:00", kNoon}, TsCase{kS, "%F %R", "2024-01-05 12:30", kNoon + 1800},
        TsCase{kS, "%Y%%%m%%%d", "2024%01%05", kMidnight},
        TsCase{kMs, "%Y-%m-%dT%H:%M:%S%.fZ", "2024-01-05T12:00:00.25Z", kNoon * 1000 + 250},
        TsCase{kMs, "%Y-%m-%dT%H:%M:%S%.fZ", "2024-01-05T12:00:00Z", kNoon * 1000},
        TsCase{kS, "%Y %Y-%m-%d", "2024 2024-01-05", kMidnight}, TsCase{kS, "%Y %Y-%m-%d", "2023 2024-01-05", kNone},
        TsCase{kS, "%d.%m.%Y", "31.02.2024", kNone}, TsCase{kS, "%d/%m/%Y", "05/01/2024x", kNone},
        // Patterns that can never match leave only the built-in patterns.
        TsCase{kS, "%Q", "2024-01-05", kMidnight}, TsCase{kS, "%Q", "x", kNone},
        TsCase{kS, "%d/%m/%Y %", "05/01/2024 %", kNone}, TsCase{kS, "%d/%m/%Y%.", "05/01/2024.", kNone},
        TsCase{kS, "%Y-%m", "2024-01", kNone}, TsCase{kS, "%H:%M", "12:00", kNone},
        TsCase{kS, "%I:%M %F", "12:30 2024-01-05", kNone}, TsCase{kS, "%p %F", "AM 2024-01-05", kNone},
        TsCase{kS, "", "", kNone}, TsCase{kS, "", "2024-01-05", kMidnight}));

TEST(TimestampParser, CopiesOwnTheirCompiledPattern) {
  std::optional<TimestampParser> original(std::in_place, kS, std::optional<std::string>("on %d/%m/%Y at %H"));
  const TimestampParser copy = *original;
  original.reset();
  EXPECT_EQ(copy.parse("on 05/01/2024 at 12"), kNoon);
  EXPECT_EQ(copy.unit(), kS);
}

// ---------------------------------------------------------------- fast path vs interpreter

using scalar_detail::Instant;

std::optional<Instant> general_builtin(std::string_view text) {
  for (const char* p : {"%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%d %H:%M:%S%.f", "%Y-%m-%d"}) {
    if (auto i = scalar_detail::match_pattern(p, text)) return i;
  }
  return std::nullopt;
}

std::string random_iso(std::mt19937_64& rng) {
  auto num = [&](int lo, int hi, bool pad) {
    const int v = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
    std::string s = std::to_string(v);
    if (pad && s.size() < 2) s = "0" + s;
    return s;
  };
  const bool pad = rng() % 4 != 0;
  std::string year = num(0, 9999, false);
  switch (rng() % 6) {
    case 0: year = "+" + num(0, 999999, false); break;
    case 1: year = "-" + num(0, 99999, false); break;
    default: while (year.size() < 4 && pad) year = "0" + year;
  }
  std::string s = year + "-" + num(0, 13, pad) + "-" + num(0, 32, pad);
  const int form = static_cast<int>(rng() % 3);
  if (form == 0) return s;
  s += form == 1 ? "T" : (rng() % 2 ? " " : "");
  s += num(0, 24, pad) + ":" + num(0, 60, pad) + ":" + num(0, 61, pad);
  if (rng() % 2) {
    s += ".";
    for (int n = static_cast<int>(rng() % 13); n >= 0; --n) s += static_cast<char>('0' + rng() % 10);
  }
  return s;
}

void mutate(std::string& s, std::mt19937_64& rng) {
  static const std::vector<std::string> kPieces = {"0", "1", "5", "9", "-", "+", ":", ".", "T", "t", " ", "\t",
                                                   "\xC2\xA0", "\xE3\x80\x80", "\xC2", "Z", "x", "%", std::string(1, '\0')};
  const std::string& piece = kPieces[rng() % kPieces.size()];
  const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
  switch (rng() % 4) {
    case 0: s.insert(at, piece); break;
    case 1:
      if (at < s.size()) s.erase(at, 1 + rng() % 2);
      break;
    case 2:
      if (at < s.size()) s.replace(at, 1, piece);
      break;
    default: s.resize(at); break;
  }
}

TEST(IsoFastPath, AgreesWithGeneralInterpreterOnRandomAndMutatedInputs) {
  std::mt19937_64 rng(7);
  int matched = 0, rejected = 0;
  for (int iter = 0; iter < 200000; ++iter) {
    std::string s = random_iso(rng);
    for (int m = static_cast<int>(rng() % 4); m > 0; --m) mutate(s, rng);
    const auto fast = scalar_detail::match_builtin(s);
    const auto general = general_builtin(s);
    ASSERT_EQ(fast.has_value(), general.has_value()) << '"' << s << '"';
    if (fast) {
      ASSERT_TRUE(*fast == *general) << '"' << s << '"';
      ++matched;
    } else {
      ++rejected;
    }
    const auto fast_date = scalar_detail::match_iso_date(s);
    const auto general_date = scalar_detail::match_pattern("%Y-%m-%d", s);
    ASSERT_EQ(fast_date.has_value(), general_date.has_value()) << '"' << s << '"';
    if (fast_date) {
      ASSERT_TRUE(*fast_date == *general_date) << '"' << s << '"';
    }
  }
  // Both outcomes must be well represented for the comparison to mean anything.
  EXPECT_GT(matched, 40000);
  EXPECT_GT(rejected, 40000);
}

// ---------------------------------------------------------------- calendar

TEST(Calendar, AgreesWithStdChronoAroundTheEpoch) {
  using namespace std::chrono;
  // Years -2000 to 6000, both directions.
  for (std::int64_t day = -1450000; day <= 1470000; ++day) {
    const year_month_day ymd{sys_days{days{day}}};
    const scalar_detail::CivilDate c = scalar_detail::civil_from_days(day);
    ASSERT_EQ(c.year, static_cast<int>(ymd.year())) << day;
    ASSERT_EQ(c.month, static_cast<unsigned>(ymd.month())) << day;
    ASSERT_EQ(c.day, static_cast<unsigned>(ymd.day())) << day;
    ASSERT_TRUE(scalar_detail::days_from_civil(c.year, c.month, c.day) == day) << day;
  }
}

struct FarDateCase {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

class FarDates : public ::testing::TestWithParam<FarDateCase> {};

// Far from the epoch the calendar is the epoch's, shifted by whole 400-year
// cycles of 146097 days.
TEST_P(FarDates, RepeatEvery400Years) {
  const FarDateCase& c = GetParam();
  const std::int64_t cycles = c.year / 400 - (c.year % 400 < 0 ? 1 : 0);
  const std::int64_t near_year = c.year % 400 + (c.year % 400 < 0 ? 400 : 0);
  const __int128 near = scalar_detail::days_from_civil(near_year, c.month, c.day);
  const __int128 far = scalar_detail::days_from_civil(c.year, c.month, c.day);
  EXPECT_TRUE(far == near + static_cast<__int128>(cycles) * 146097) << c.year;
  if (far >= std::numeric_limits<std::int64_t>::min() && far <= std::numeric_limits<std::int64_t>::max()) {
    const scalar_detail::CivilDate back = scalar_detail::civil_from_days(static_cast<std::int64_t>(far));
    EXPECT_EQ(back.year, c.year);
    EXPECT_EQ(back.month, c.month);
    EXPECT_EQ(back.day, c.day);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FarDates,
    ::testing::Values(FarDateCase{32768, 2, 29}, FarDateCase{-32768, 3, 1}, FarDateCase{-32769, 12, 31},
                      FarDateCase{292277026596, 12, 4}, FarDateCase{-292277022657, 1, 27},
                      FarDateCase{1000000000000, 2, 29}, FarDateCase{-1000000000000, 2, 29},
                      FarDateCase{std::numeric_limits<std::int64_t>::max(), 12, 31},
                      FarDateCase{std::numeric_limits<std::int64_t>::min(), 1, 1}));

TEST(Calendar, DayCountsAtTheEndsOfTheRange) {
  for (const std::int64_t day : {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    const scalar_detail::CivilDate c = scalar_detail::civil_from_days(day);
    EXPECT_TRUE(scalar_detail::days_from_civil(c.year, c.month, c.day) == day) << day;
  }
}

}  // namespace
}  // namespace vorpel
