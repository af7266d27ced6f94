// Renderings of typed values, and render-then-parse round trips.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();

int128 i128_max() { return static_cast<int128>((static_cast<unsigned __int128>(1) << 127) - 1); }
int128 i128_min() { return -i128_max() - 1; }

struct Int64Case {
  std::int64_t v;
  std::string text;
};
class RenderInt64 : public ::testing::TestWithParam<Int64Case> {};
TEST_P(RenderInt64, Table) { EXPECT_EQ(render_int64(GetParam().v), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Table, RenderInt64,
                         ::testing::Values(Int64Case{0, "0"}, Int64Case{7, "7"}, Int64Case{-42, "-42"},
                                           Int64Case{kI64Max, "9223372036854775807"},
                                           Int64Case{kI64Min, "-9223372036854775808"}));

struct FloatCase {
  double v;
  std::string text;
};
class RenderFloat64 : public ::testing::TestWithParam<FloatCase> {};
TEST_P(RenderFloat64, Table) { EXPECT_EQ(render_float64(GetParam().v), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Table, RenderFloat64,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{0.1, "0.1"}, FloatCase{-2.5, "-2.5"}, FloatCase{0.0, "0"},
                      FloatCase{-0.0, "-0"}, FloatCase{1e20, "100000000000000000000"},
                      FloatCase{1e21, "1000000000000000000000"}, FloatCase{1e-7, "0.0000001"},
                      FloatCase{123456.789, "123456.789"}, FloatCase{1.0 / 3, "0.3333333333333333"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      FloatCase{5e-324, "0." + std::string(323, '0') + "5"},
                      // Large values: the shortest positional text, which for these is the
                      // exact integer value (no longer than zero-padded significant digits).
                      FloatCase{1e23, "99999999999999991611392"},
                      FloatCase{9007199254740993.0, "9007199254740992"},
                      FloatCase{1.7976931348623157e308,
                                "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955"
                                "86327668781715404589535143824642343213268894641827684675467035375169860499105765512820762"
                                "45490090389328944075868508455133942304583236903222948165808559332123348274797826204144723"
                                "168738177180919299881250404026184124858368"}));

TEST(RenderBoolean, Words) {
  EXPECT_EQ(render_boolean(true), "true");
  EXPECT_EQ(render_boolean(false), "false");
}

struct DateCase {
  std::int32_t days;
  std::string text;
};
class RenderDate32 : public ::testing::TestWithParam<DateCase> {};
TEST_P(RenderDate32, Table) { EXPECT_EQ(render_date32(GetParam().days), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Table, RenderDate32,
                         ::testing::Values(DateCase{0, "1970-01-01"}, DateCase{-1, "1969-12-31"},
                                           DateCase{19727, "2024-01-05"}, DateCase{19782, "2024-02-29"},
                                           DateCase{-719528, "0000-01-01"}, DateCase{-719529, "-0001-12-31"},
                                           DateCase{-683368, "0099-01-01"}, DateCase{2932896, "9999-12-31"},
                                           DateCase{2932897, "+10000-01-01"},
                                           DateCase{kI32Max, "+5881580-07-11"},
                                           DateCase{kI32Min, "-5877641-06-23"}));

struct TsCase {
  std::int64_t v;
  TimeUnit unit;
  std::string text;
};
class RenderTimestamp : public ::testing::TestWithParam<TsCase> {};
TEST_P(RenderTimestamp, Table) { EXPECT_EQ(render_timestamp(GetParam().v, GetParam().unit), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Table, RenderTimestamp,
    ::testing::Values(TsCase{1500, TimeUnit::Millisecond, "1970-01-01 00:00:01.500"},
                      TsCase{-1, TimeUnit::Second, "1969-12-31 23:59:59"},
                      TsCase{-1, TimeUnit::Millisecond, "1969-12-31 23:59:59.999"},
                      TsCase{-1, TimeUnit::Nanosecond, "1969-12-31 23:59:59.999999999"},
                      TsCase{1704456000123456, TimeUnit::Microsecond, "2024-01-05 12:00:00.123456"},
                      TsCase{1704456000123000, TimeUnit::Microsecond, "2024-01-05 12:00:00.123"},
                      TsCase{1704456000000000, TimeUnit::Microsecond, "2024-01-05 12:00:00"},
                      TsCase{1704456000000001000, TimeUnit::Nanosecond, "2024-01-05 12:00:00.000001"},
                      TsCase{1704456000100000000, TimeUnit::Nanosecond, "2024-01-05 12:00:00.100"},
                      TsCase{kI64Max, TimeUnit::Nanosecond, "2262-04-11 23:47:16.854775807"},
                      TsCase{kI64Min, TimeUnit::Nanosecond, "1677-09-21 00:12:43.145224192"},
                      TsCase{kI64Max, TimeUnit::Second, "+292277026596-12-04 15:30:07"},
                      TsCase{kI64Min, TimeUnit::Millisecond, "-292275055-05-16 16:47:04.192"}));

struct DecimalCase {
  int128 v;
  int scale;
  std::string text;
};
class RenderDecimal128 : public ::testing::TestWithParam<DecimalCase> {};
TEST_P(RenderDecimal128, Table) {
  EXPECT_EQ(render_decimal128(GetParam().v, static_cast<std::uint8_t>(GetParam().scale)), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Table, RenderDecimal128,
    ::testing::Values(DecimalCase{12345, 2, "123.45"}, DecimalCase{5, 3, "0.005"}, DecimalCase{-5, 3, "-0.005"},
                      DecimalCase{0, 2, "0.00"}, DecimalCase{0, 0, "0"}, DecimalCase{-1, 1, "-0.1"},
                      DecimalCase{-12, 0, "-12"}, DecimalCase{100, 2, "1.00"},
                      DecimalCase{i128_max(), 0, "170141183460469231731687303715884105727"},
                      DecimalCase{i128_min(), 0, "-170141183460469231731687303715884105728"},
                      DecimalCase{i128_max(), 38, "1.70141183460469231731687303715884105727"},
                      DecimalCase{1, 38, "0.00000000000000000000000000000000000001"},
                      DecimalCase{static_cast<int128>(10000000000000000000ULL) * 100000, 5,
                                  "10000000000000000000.00000"}));

// ---------------------------------------------------------------- round trips

TEST(RoundTrip, RandomValuesOfEveryType) {
  std::mt19937_64 rng(99);
  auto bits = [&] { return rng(); };
  for (int i = 0; i < 50000; ++i) {
    // int64: across all magnitudes.
    const auto iv = static_cast<std::int64_t>(bits()) >> (rng() % 64);
    ASSERT_EQ(parse_int64(render_int64(iv)), iv);

    // float64: every bit pattern, including subnormals, infinities and NaNs.
    const double fv = std::bit_cast<double>(bits());
    const auto fback = parse_float64(render_float64(fv));
    ASSERT_TRUE(fback.has_value()) << render_float64(fv);
    if (std::isnan(fv)) {
      ASSERT_TRUE(std::isnan(*fback));
    } else {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(*fback), std::bit_cast<std::uint64_t>(fv)) << render_float64(fv);
    }

    // date32: every day count has a date text that reads back.
    const auto dv = static_cast<std::int32_t>(bits() >> (32 + rng() % 32));
    ASSERT_EQ(parse_date32(render_date32(dv)), dv) << render_date32(dv);

    // timestamp: every unit, any 64-bit count.
    const auto unit = static_cast<TimeUnit>(rng() % 4);
    const auto tv = static_cast<std::int64_t>(bits()) >> (rng() % 64);
    ASSERT_EQ(parse_timestamp(render_timestamp(tv, unit), unit, std::nullopt), tv) << render_timestamp(tv, unit);

    // decimal128: any scale 0..38, any value but the one without a positive twin.
    const auto scale = static_cast<std::uint8_t>(rng() % 39);
    auto dec = static_cast<int128>((static_cast<unsigned __int128>(bits()) << 64) | bits());
    dec >>= rng() % 128;
    if (dec == i128_min()) dec = 0;
    const auto dback = parse_decimal128(render_decimal128(dec, scale), scale);
    ASSERT_TRUE(dback.has_value()) << render_decimal128(dec, scale);
    ASSERT_TRUE(*dback == dec) << render_decimal128(dec, scale);
  }
  ASSERT_EQ(parse_boolean(render_boolean(true)), true);
  ASSERT_EQ(parse_boolean(render_boolean(false)), false);
}

}  // namespace
}  // namespace vorpel
