// Inputs found by the fuzz targets (tests/fuzz), kept as plain tests so that
// every build checks them: empty texts without a data pointer, timestamps at
// the very ends of the 64-bit range, and decimals wider than precision 38.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/columnar/accumulator.h"
#include "core/columnar/array_assembly.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// ---------------------------------------------------------------- empty views

// An empty Arrow slot may reach the parsers as a view with no data pointer;
// no parser may hand that pointer to a C library function (UBSan reports it).
struct EmptyViewCase {
  const char* name;
  std::function<bool(std::string_view)> accepts;
  bool expected;
};

class EmptyView : public ::testing::TestWithParam<EmptyViewCase> {};

TEST_P(EmptyView, NullDataPointer) {
  const std::string_view empty;
  ASSERT_EQ(empty.data(), nullptr);
  EXPECT_EQ(GetParam().accepts(empty), GetParam().expected);
  EXPECT_EQ(GetParam().accepts(std::string_view("", 0)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Parsers, EmptyView,
    ::testing::Values(
        EmptyViewCase{"int64", [](std::string_view t) { return parse_int64(t).has_value(); }, false},
        EmptyViewCase{"float64", [](std::string_view t) { return parse_float64(t).has_value(); }, false},
        EmptyViewCase{"boolean", [](std::string_view t) { return parse_boolean(t).has_value(); }, false},
        EmptyViewCase{"date32", [](std::string_view t) { return parse_date32(t).has_value(); }, false},
        EmptyViewCase{"decimal128_0", [](std::string_view t) { return parse_decimal128(t, 0).has_value(); }, false},
        EmptyViewCase{"decimal128_38", [](std::string_view t) { return parse_decimal128(t, 38).has_value(); }, false},
        EmptyViewCase{"timestamp",
                      [](std::string_view t) { return parse_timestamp(t, TimeUnit::Nanosecond, std::nullopt).has_value(); },
                      false},
        EmptyViewCase{"timestamp_pattern",
                      [](std::string_view t) {
                        return TimestampParser(TimeUnit::Second, std::string("%Y%m%d")).parse(t).has_value();
                      },
                      false},
        EmptyViewCase{"castable_decimal", [](std::string_view t) { return castable_to(FieldTag::Decimal128, t); }, false},
        EmptyViewCase{"castable_boolean", [](std::string_view t) { return castable_to(FieldTag::Boolean, t); }, false},
        EmptyViewCase{"castable_string", [](std::string_view t) { return castable_to(FieldTag::String, t); }, true},
        EmptyViewCase{"literal_decimal",
                      [](std::string_view t) {
                        return parse_literal_as(FieldTag::Decimal128, TimeUnit::Second, 2, t).has_value();
                      },
                      false},
        EmptyViewCase{"literal_str",
                      [](std::string_view t) { return parse_literal_as(FieldTag::String, TimeUnit::Second, 0, t).has_value(); },
                      true}));

// ---------------------------------------------------------------- range ends

// Near the lower end, S x unit overflows on its own although the sum with the
// (non-negative) fraction is in range; such values must still parse.
struct RangeEndCase {
  const char* name;
  const char* text;
  TimeUnit unit;
  std::optional<std::int64_t> expected;
};

class TimestampRangeEnd : public ::testing::TestWithParam<RangeEndCase> {};

TEST_P(TimestampRangeEnd, Parses) {
  EXPECT_EQ(parse_timestamp(GetParam().text, GetParam().unit, std::nullopt), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimestampRangeEnd,
    ::testing::Values(
        RangeEndCase{"us_found", "-290308-12-21 19:59:05.250097", TimeUnit::Microsecond, -9223372036854749903},
        RangeEndCase{"us_min", "-290308-12-21 19:59:05.224192", TimeUnit::Microsecond, kMin},
        RangeEndCase{"us_below_min", "-290308-12-21 19:59:05.224191", TimeUnit::Microsecond, std::nullopt},
        RangeEndCase{"us_max", "+294247-01-10 04:00:54.775807", TimeUnit::Microsecond, kMax},
        RangeEndCase{"us_above_max", "+294247-01-10 04:00:54.775808", TimeUnit::Microsecond, std::nullopt},
        RangeEndCase{"ms_min", "-292275055-05-16 16:47:04.192", TimeUnit::Millisecond, kMin},
        RangeEndCase{"ms_below_min", "-292275055-05-16 16:47:04.191", TimeUnit::Millisecond, std::nullopt},
        // Nanoseconds saturate instead of failing.
        RangeEndCase{"ns_min", "1677-09-21 00:12:43.145224192", TimeUnit::Nanosecond, kMin},
        RangeEndCase{"ns_below_min", "1677-09-21 00:12:43.145224191", TimeUnit::Nanosecond, kMin}));

struct RoundTripCase {
  const char* name;
  TimeUnit unit;
  std::int64_t value;
};

class TimestampRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(TimestampRoundTrip, RenderThenParse) {
  const std::string text = render_timestamp(GetParam().value, GetParam().unit);
  EXPECT_EQ(parse_timestamp(text, GetParam().unit, std::nullopt), GetParam().value) << text;
}

INSTANTIATE_TEST_SUITE_P(Table, TimestampRoundTrip,
                         ::testing::Values(RoundTripCase{"s_min", TimeUnit::Second, kMin},
                                           RoundTripCase{"s_max", TimeUnit::Second, kMax},
                                           RoundTripCase{"ms_min", TimeUnit::Millisecond, kMin},
                                           RoundTripCase{"ms_min_plus", TimeUnit::Millisecond, kMin + 999},
                                           RoundTripCase{"ms_max", TimeUnit::Millisecond, kMax},
                                           RoundTripCase{"us_min", TimeUnit::Microsecond, kMin},
                                           RoundTripCase{"us_found", TimeUnit::Microsecond, -9223372036854749903},
                                           RoundTripCase{"us_max", TimeUnit::Microsecond, kMax},
                                           RoundTripCase{"ns_min", TimeUnit::Nanosecond, kMin},
                                           RoundTripCase{"ns_max", TimeUnit::Nanosecond, kMax}));

// ---------------------------------------------------------------- decimal width

// Decimal columns become decimal128(38, scale): values of 39 digits, even
// those that fit 128 bits, do not parse as the column's type (a null is
// stored and the append reports the failure), so the array always builds.
struct DecimalWidthCase {
  const char* name;
  const char* text;
  std::uint8_t scale;
  bool fits;
};

class DecimalWidth : public ::testing::TestWithParam<DecimalWidthCase> {};

TEST_P(DecimalWidth, ArrayFor) {
  const DecimalWidthCase& c = GetParam();
  auto acc = ColumnAccumulator::create(FieldType::decimal128(c.scale), 4);
  EXPECT_EQ(acc.append_text(c.text), c.fits);
  acc.append_null();
  auto array = array_for(std::move(acc));
  ASSERT_TRUE(array.has_value()) << array.error().message();
  EXPECT_TRUE((*array)->ValidateFull().ok());
  EXPECT_EQ((*array)->length(), 2);
  EXPECT_EQ((*array)->IsValid(0), c.fits);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecimalWidth,
    ::testing::Values(DecimalWidthCase{"max_38_digits", "99999999999999999999999999999999999999", 0, true},
                      DecimalWidthCase{"min_38_digits", "-99999999999999999999999999999999999999", 0, true},
                      DecimalWidthCase{"max_at_scale", "999999999999999999.99999999999999999999", 20, true},
                      DecimalWidthCase{"39_digits", "100000000000000000000000000000000000000", 0, false},
                      DecimalWidthCase{"39_digits_negative", "-170141183460469231731687303715884105727", 0, false},
                      DecimalWidthCase{"39_digits_at_scale", "1000000000000000000", 20, false},
                      DecimalWidthCase{"39_digits_from_the_fraction", "999999999999999999.999999999999999999999", 21,
                                       false}));

}  // namespace
}  // namespace vorpel
