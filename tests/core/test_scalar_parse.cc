// Numeric, boolean and decimal parsers, whitespace trimming, comparison
// literals and the castability recogniser.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <string_view>

#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

// Readable parameter values in test names and failure messages.
template <class Case>
  requires requires(const Case& c) { std::string_view(c.text); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << quote_text(c.text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
const int128 kI128Max = static_cast<int128>((static_cast<unsigned __int128>(1) << 127) - 1);

std::string str128(int128 v) { return render_decimal128(v, 0); }

int128 pow10_128(int n) {
  int128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}

// ---------------------------------------------------------------- int64

struct Int64Case {
  std::string text;
  std::optional<std::int64_t> expected;
};

class ParseInt64 : public ::testing::TestWithParam<Int64Case> {};

TEST_P(ParseInt64, Table) { EXPECT_EQ(parse_int64(GetParam().text), GetParam().expected) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Table, ParseInt64,
    ::testing::Values(Int64Case{"0", 0}, Int64Case{"-0", 0}, Int64Case{"+5", 5}, Int64Case{"007", 7},
                      Int64Case{"-42", -42}, Int64Case{"9223372036854775807", kI64Max},
                      Int64Case{"-9223372036854775808", kI64Min},
                      Int64Case{"00000000000000000000009223372036854775807", kI64Max},
                      Int64Case{"9223372036854775808", std::nullopt},
                      Int64Case{"-9223372036854775809", std::nullopt},
                      Int64Case{"18446744073709551616", std::nullopt},
                      Int64Case{"99999999999999999999999", std::nullopt}, Int64Case{"", std::nullopt},
                      Int64Case{"-", std::nullopt}, Int64Case{"+", std::nullopt}, Int64Case{"+-1", std::nullopt},
                      Int64Case{" 5", std::nullopt}, Int64Case{"5 ", std::nullopt}, Int64Case{"1_000", std::nullopt},
                      Int64Case{"1,000", std::nullopt}, Int64Case{"1.0", std::nullopt},
                      Int64Case{"1e3", std::nullopt}, Int64Case{"0x10", std::nullopt},
                      Int64Case{"\xD9\xA1", std::nullopt} /* ARABIC-INDIC DIGIT ONE */));

TEST(ParseInt64, NeverReadsPastTheGivenLength) {
  const char buf[] = "12345";
  EXPECT_EQ(parse_int64(std::string_view(buf, 2)), 12);
  EXPECT_EQ(parse_int64(std::string_view(buf, 0)), std::nullopt);
}

// ---------------------------------------------------------------- float64

struct Float64Case {
  std::string text;
  std::optional<double> expected;  // compared bit for bit; NaN by sign only
};

class ParseFloat64 : public ::testing::TestWithParam<Float64Case> {};

TEST_P(ParseFloat64, Table) {
  const auto& c = GetParam();
  const auto got = parse_float64(c.text);
  EXPECT_EQ(float64_grammar_accepts(c.text), c.expected.has_value()) << c.text;
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text;
  if (!got) return;
  if (std::isnan(*c.expected)) {
    EXPECT_TRUE(std::isnan(*got)) << c.text;
    EXPECT_EQ(std::signbit(*got), std::signbit(*c.expected)) << c.text;
  } else {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(*c.expected)) << c.text;
  }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFloat64,
    ::testing::Values(
        Float64Case{"0", 0.0}, Float64Case{"-0", -0.0}, Float64Case{"-0.0e5", -0.0}, Float64Case{"1.5", 1.5},
        Float64Case{"+1.5", 1.5}, Float64Case{"-2.25", -2.25}, Float64Case{"1.", 1.0}, Float64Case{".5", 0.5},
        Float64Case{"-.5", -0.5}, Float64Case{"1e3", 1000.0}, Float64Case{"1E+3", 1000.0},
        Float64Case{"25e-1", 2.5}, Float64Case{"0.1", 0.1}, Float64Case{"007.5", 7.5},
        Float64Case{"1.7976931348623157e308", 1.7976931348623157e308},
        Float64Case{"1.7976931348623159e308", kInf},  // rounds above DBL_MAX
        Float64Case{"4.9406564584124654e-324", 4.9406564584124654e-324},
        Float64Case{"2.4703282292062327e-324", 0.0},  // just below half the smallest subnormal
        Float64Case{"2.4703282292062328e-324", 4.9406564584124654e-324},
        Float64Case{"9007199254740993", 9007199254740992.0},  // tie to even
        Float64Case{"9007199254740995", 9007199254740996.0},
        Float64Case{"1e400", kInf}, Float64Case{"-1e400", -kInf}, Float64Case{"1e-400", 0.0},
        Float64Case{"-1e-400", -0.0}, Float64Case{"1e999999999999", kInf},
        Float64Case{"1e-99999999999", 0.0}, Float64Case{"-1e99999999999999999999999999", -kInf},
        Float64Case{"0e999999999999", 0.0}, Float64Case{"-0.000e999999999999", -0.0},
        Float64Case{"0.001e-999999999999", 0.0},
        Float64Case{"NaN", kNaN}, Float64Case{"nan", kNaN}, Float64Case{"-nan", -kNaN}, Float64Case{"+NAN", kNaN},
        Float64Case{"inf", kInf}, Float64Case{"INF", kInf}, Float64Case{"+inf", kInf},
        Float64Case{"-Infinity", -kInf}, Float64Case{"infinity", kInf},
        Float64Case{"", std::nullopt}, Float64Case{".", std::nullopt}, Float64Case{"-", std::nullopt},
        Float64Case{"+", std::nullopt}, Float64Case{"-.", std::nullopt}, Float64Case{"1e", std::nullopt},
        Float64Case{"1e+", std::nullopt}, Float64Case{"1e-", std::nullopt}, Float64Case{"e5", std::nullopt},
        Float64Case{".e5", std::nullopt}, Float64Case{"1.5.", std::nullopt}, Float64Case{"1..5", std::nullopt},
        Float64Case{"--1", std::nullopt}, Float64Case{"+-1", std::nullopt}, Float64Case{"0x1p3", std::nullopt},
        Float64Case{" 1.5", std::nullopt}, Float64Case{"1.5 ", std::nullopt}, Float64Case{"1_0", std::nullopt},
        Float64Case{"1,5", std::nullopt}, Float64Case{"infinit", std::nullopt}, Float64Case{"info", std::nullopt},
        Float64Case{"in", std::nullopt}, Float64Case{"nan(1)", std::nullopt}, Float64Case{"nana", std::nullopt},
        Float64Case{"1e5e5", std::nullopt}, Float64Case{"1d5", std::nullopt}, Float64Case{"- 1", std::nullopt}));

// Exact decimal exponent of the leading significant digit of a digit string
// "I.F" with exponent E, for classifying range errors of the oracle.
std::int64_t leading_exponent(const std::string& int_part, const std::string& frac, std::int64_t exp) {
  const auto i = int_part.find_first_not_of('0');
  if (i != std::string::npos) return static_cast<std::int64_t>(int_part.size() - i) - 1 + exp;
  const auto f = frac.find_first_not_of('0');
  return -static_cast<std::int64_t>(f) - 1 + exp;
}

// Random digit strings of up to 800 digits compared bit for bit with two
// independent correct-rounding implementations: the standard library's
// std::from_chars and the C library's strtod.
TEST(ParseFloat64, MatchesIndependentConvertersOnRandomDigitStrings) {
  std::mt19937_64 rng(20240105);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> len(0, 800);
  std::uniform_int_distribution<int> exp(-420, 420);
  std::uniform_int_distribution<int> coin(0, 3);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string int_part, frac;
    const int n = coin(rng) == 0 ? len(rng) : len(rng) % 25;
    const int split = n == 0 ? 0 : static_cast<int>(rng() % (n + 1));
    for (int i = 0; i < n; ++i) {
      // Long runs of zeros or nines stress the rounding boundaries.
      const int mode = iter % 3;
      const char d = static_cast<char>('0' + (mode == 0 ? digit(rng) : (i < 3 || rng() % 50 == 0) ? digit(rng)
                                                                       : (mode == 1 ? 0 : 9)));
      (i < split ? int_part : frac).push_back(d);
    }
    if (int_part.empty() && frac.empty()) int_part = "1";
    const std::int64_t e = exp(rng) - static_cast<int>(int_part.size());
    const bool negative = rng() % 2;
    std::string unsigned_text = int_part + (frac.empty() && rng() % 2 ? "" : "." + frac);
    if (e != 0 || rng() % 2) unsigned_text += "e" + std::to_string(e);
    const std::string text = (negative ? "-" : "") + unsigned_text;

    const auto got = parse_float64(text);
    ASSERT_TRUE(got.has_value()) << text;

    double oracle = 0.0;
    const auto r = std::from_chars(unsigned_text.data(), unsigned_text.data() + unsigned_text.size(), oracle);
    ASSERT_EQ(r.ptr, unsigned_text.data() + unsigned_text.size()) << text;
    if (r.ec == std::errc::result_out_of_range) {
      // The value is not set on a range error: overflow or underflow is
      // decided by where the leading digit sits.
      oracle = leading_exponent(int_part, frac, e) >= 0 ? kInf : 0.0;
    } else {
      ASSERT_EQ(r.ec, std::errc()) << text;
    }
    if (negative) oracle = -oracle;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(oracle)) << text;

    const double c_oracle = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(c_oracle)) << text;
  }
}

TEST(ParseFloat64, AnyNumberOfDigits) {
  const std::string zeros(100000, '0');
  EXPECT_EQ(parse_float64("1" + zeros + "e-100000"), 1.0);
  EXPECT_EQ(parse_float64("0." + zeros + "15e100001"), 1.5);
  EXPECT_EQ(parse_float64("1" + zeros), kInf);
  EXPECT_EQ(parse_float64("0." + zeros + "1"), 0.0);
  // Digits past the 768th still decide a tie: 2^53 + 1 followed by a 1 far away.
  EXPECT_EQ(parse_float64("9007199254740993." + zeros + "1"), 9007199254740994.0);
  EXPECT_EQ(parse_float64("9007199254740993." + zeros), 9007199254740992.0);
}

// ---------------------------------------------------------------- boolean

struct BoolCase {
  std::string text;
  std::optional<bool> column;   // parse_boolean
  std::optional<bool> literal;  // parse_literal_as Bool
  bool castable;                // castable_to Boolean
};

class BooleanTexts : public ::testing::TestWithParam<BoolCase> {};

TEST_P(BooleanTexts, ParserLiteralAndRecogniser) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_boolean(c.text), c.column) << c.text;
  const auto lit = parse_literal_as(FieldTag::Boolean, TimeUnit::Second, 0, c.text);
  ASSERT_EQ(lit.has_value(), c.literal.has_value()) << c.text;
  if (lit) {
    EXPECT_EQ(lit->kind, FieldTag::Boolean);
    EXPECT_EQ(lit->b, *c.literal);
  }
  EXPECT_EQ(castable_to(FieldTag::Boolean, c.text), c.castable) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BooleanTexts,
    ::testing::Values(BoolCase{"true", true, true, true}, BoolCase{"false", false, false, true},
                      BoolCase{"True", std::nullopt, true, true}, BoolCase{"TRUE", std::nullopt, true, true},
                      BoolCase{"False", std::nullopt, false, true}, BoolCase{"FALSE", std::nullopt, false, true},
                      BoolCase{"tRUE", std::nullopt, std::nullopt, true},
                      BoolCase{"yes", std::nullopt, std::nullopt, true},
                      BoolCase{"Yes", std::nullopt, std::nullopt, true},
                      BoolCase{"NO", std::nullopt, std::nullopt, true},
                      BoolCase{"1", std::nullopt, std::nullopt, true},
                      BoolCase{"0", std::nullopt, std::nullopt, true},
                      BoolCase{" true", std::nullopt, std::nullopt, false},
                      BoolCase{"true ", std::nullopt, std::nullopt, false},
                      BoolCase{"", std::nullopt, std::nullopt, false},
                      BoolCase{"y", std::nullopt, std::nullopt, false},
                      BoolCase{"on", std::nullopt, std::nullopt, false},
                      BoolCase{"t", std::nullopt, std::nullopt, false},
                      BoolCase{"2", std::nullopt, std::nullopt, false},
                      BoolCase{"falsey", std::nullopt, std::nullopt, false}));

// ---------------------------------------------------------------- decimal128

struct DecimalCase {
  std::string text;
  int scale;
  std::optional<int128> expected;
};

class ParseDecimal128 : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(ParseDecimal128, Table) {
  const auto& c = GetParam();
  const auto got = parse_decimal128(c.text, static_cast<std::uint8_t>(c.scale));
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text << " @" << c.scale;
  if (got) {
    EXPECT_EQ(str128(*got), str128(*c.expected)) << c.text << " @" << c.scale;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseDecimal128,
    ::testing::Values(
        DecimalCase{"1.239", 2, 123}, DecimalCase{"-1.239", 2, -123}, DecimalCase{"1.5", 2, 150},
        DecimalCase{"  42 ", 2, 4200}, DecimalCase{".07", 2, 7}, DecimalCase{"0.005", 2, 0},
        DecimalCase{"-0.005", 2, 0}, DecimalCase{"12.99", 0, 12}, DecimalCase{"5.", 2, 500},
        DecimalCase{".5", 2, 50}, DecimalCase{"-.5", 2, -50}, DecimalCase{"007.10", 2, 710},
        DecimalCase{"+3", 3, 3000}, DecimalCase{"\t\xE3\x80\x80" "1.25\xC2\xA0", 2, 125},
        DecimalCase{"1.2", 38, 12 * pow10_128(37)},
        DecimalCase{"170141183460469231731687303715884105727", 0, kI128Max},
        DecimalCase{"-170141183460469231731687303715884105727", 0, -kI128Max},
        DecimalCase{"0000000000000000000000000000000000000000000001", 0, 1},
        DecimalCase{"1.000000000000000000000000000000000000000000009", 1, 10},
        DecimalCase{"170141183460469231731687303715884105728", 0, std::nullopt},
        DecimalCase{"-170141183460469231731687303715884105728", 0, std::nullopt},
        DecimalCase{"17014118346046923173168730371588410573", 1, std::nullopt},
        DecimalCase{"1.8", 38, std::nullopt}, DecimalCase{"1", 39, std::nullopt},
        DecimalCase{"0", 39, std::nullopt}, DecimalCase{"", 2, std::nullopt}, DecimalCase{".", 2, std::nullopt},
        DecimalCase{"-", 2, std::nullopt}, DecimalCase{"+-1", 2, std::nullopt}, DecimalCase{"- 5", 2, std::nullopt},
        DecimalCase{"1e5", 2, std::nullopt}, DecimalCase{"1,5", 2, std::nullopt},
        DecimalCase{"1.2.3", 2, std::nullopt}, DecimalCase{"1.2x", 0, std::nullopt},
        DecimalCase{"1.23x", 1, std::nullopt}, DecimalCase{"   ", 2, std::nullopt}));

// ---------------------------------------------------------------- whitespace

struct TrimCase {
  std::string text;
  std::string both, start, end;
};

class TrimWhitespace : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimWhitespace, TrimsUnicodeWhiteSpaceAsViews) {
  const auto& c = GetParam();
  const std::string_view in(c.text);
  for (auto [got, want] : {std::pair{trim_whitespace(in), c.both}, std::pair{trim_whitespace_start(in), c.start},
                           std::pair{trim_whitespace_end(in), c.end}}) {
    EXPECT_EQ(std::string(got), want);
    EXPECT_TRUE(got.empty() || (got.data() >= in.data() && got.data() + got.size() <= in.data() + in.size()));
  }
}

// Every White_Space character, and neighbours that are not.
INSTANTIATE_TEST_SUITE_P(
    Table, TrimWhitespace,
    ::testing::Values(
        TrimCase{"", "", "", ""}, TrimCase{"a", "a", "a", "a"}, TrimCase{" \t\n\v\f\ra b\r", "a b", "a b\r", " \t\n\v\f\ra b"},
        TrimCase{"\xC2\x85x\xC2\xA0", "x", "x\xC2\xA0", "\xC2\x85x"},
        TrimCase{"\xE1\x9A\x80x\xE2\x80\x80", "x", "x\xE2\x80\x80", "\xE1\x9A\x80x"},
        TrimCase{"\xE2\x80\x8Ax\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", "x",
                 "x\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", "\xE2\x80\x8Ax"},
        // Not White_Space: U+200B, U+180E, U+FEFF, U+0084, U+00A1, U+1681, U+3001, 0x1F, 0x7F.
        TrimCase{"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B",
                 "\xE2\x80\x8Bx\xE2\x80\x8B"},
        TrimCase{"\xE1\xA0\x8E\xEF\xBB\xBF", "\xE1\xA0\x8E\xEF\xBB\xBF", "\xE1\xA0\x8E\xEF\xBB\xBF",
                 "\xE1\xA0\x8E\xEF\xBB\xBF"},
        TrimCase{"\xC2\x84\xC2\xA1", "\xC2\x84\xC2\xA1", "\xC2\x84\xC2\xA1", "\xC2\x84\xC2\xA1"},
        TrimCase{"\xE1\x9A\x81\xE3\x80\x81", "\xE1\x9A\x81\xE3\x80\x81", "\xE1\x9A\x81\xE3\x80\x81",
                 "\xE1\x9A\x81\xE3\x80\x81"},
        TrimCase{"\x1F\x7F", "\x1F\x7F", "\x1F\x7F", "\x1F\x7F"},
        // Truncated or stray bytes are never taken for whitespace.
        TrimCase{"\xC2", "\xC2", "\xC2", "\xC2"}, TrimCase{"\xA0 x", "\xA0 x", "\xA0 x", "\xA0 x"},
        TrimCase{"x\xE2\x80", "x\xE2\x80", "x\xE2\x80", "x\xE2\x80"},
        TrimCase{"\xE3\x80" "a", "\xE3\x80" "a", "\xE3\x80" "a", "\xE3\x80" "a"},
        TrimCase{"a\xE3\x80", "a\xE3\x80", "a\xE3\x80", "a\xE3\x80"},
        TrimCase{"\x80 a", "\x80 a", "\x80 a", "\x80 a"},
        // Nor are overlong forms of white space (C0 A0, E0 80 A0, F0 80 80 A0 would decode to U+0020).
        TrimCase{"\xC0\xA0" "a\xE0\x80\xA0", "\xC0\xA0" "a\xE0\x80\xA0", "\xC0\xA0" "a\xE0\x80\xA0",
                 "\xC0\xA0" "a\xE0\x80\xA0"},
        TrimCase{"\xF0\x80\x80\xA0", "\xF0\x80\x80\xA0", "\xF0\x80\x80\xA0", "\xF0\x80\x80\xA0"},
        TrimCase{" \t\n\v\f\r x \r", "x", "x \r", " \t\n\v\f\r x"},
        TrimCase{"\xC2\x85\xC2\xA0x y\xE2\x80\xAF\xE2\x81\x9F", "x y", "x y\xE2\x80\xAF\xE2\x81\x9F",
                 "\xC2\x85\xC2\xA0x y"},
        TrimCase{"\xE2\x80\x80\xE2\x80\x8A" "a\xE2\x80\xA9", "a", "a\xE2\x80\xA9", "\xE2\x80\x80\xE2\x80\x8A" "a"},
        // Separators U+001C-U+001F are not White_Space.
        TrimCase{"\x1Fz\x1C", "\x1Fz\x1C", "\x1Fz\x1C", "\x1Fz\x1C"},
        TrimCase{" \xE3\x80\x80 ", "", "", ""}));

// ---------------------------------------------------------------- literals

struct LiteralCase {
  FieldTag kind;
  TimeUnit unit;
  int scale;
  std::string text;
  bool ok;
  int128 value;  // compared as the kind's field
};

class ParseLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(ParseLiteral, Table) {
  const auto& c = GetParam();
  const auto got = parse_literal_as(c.kind, c.unit, static_cast<std::uint8_t>(c.scale), c.text);
  ASSERT_EQ(got.has_value(), c.ok) << c.text;
  if (!got) return;
  // A Dictionary column's literal is text.
  EXPECT_EQ(got->kind, c.kind == FieldTag::Dictionary ? FieldTag::String : c.kind);
  switch (c.kind) {
    case FieldTag::String:
    case FieldTag::Dictionary:
      EXPECT_EQ(got->str.data(), c.text.data());
      EXPECT_EQ(got->str.size(), c.text.size());
      break;
    case FieldTag::Int64: EXPECT_EQ(got->i64, static_cast<std::int64_t>(c.value)); break;
    case FieldTag::Float64: EXPECT_EQ(got->f64, static_cast<double>(c.value)); break;
    case FieldTag::Date32: EXPECT_EQ(got->date, static_cast<std::int32_t>(c.value)); break;
    case FieldTag::Timestamp:
      EXPECT_EQ(got->i64, static_cast<std::int64_t>(c.value));
      EXPECT_EQ(got->unit, c.unit);
      break;
    case FieldTag::Decimal128:
      EXPECT_EQ(str128(got->dec), str128(c.value));
      EXPECT_EQ(got->scale, c.scale);
      break;
    default: break;
  }
}

constexpr auto kUs = TimeUnit::Microsecond;
constexpr auto kMs = TimeUnit::Millisecond;

INSTANTIATE_TEST_SUITE_P(
    Table, ParseLiteral,
    ::testing::Values(
        LiteralCase{FieldTag::String, kUs, 0, " any text ", true, 0}, LiteralCase{FieldTag::String, kUs, 0, "", true, 0},
        LiteralCase{FieldTag::Int64, kUs, 0, "-12", true, -12}, LiteralCase{FieldTag::Int64, kUs, 0, "1.5", false, 0},
        LiteralCase{FieldTag::Int64, kUs, 0, " 12", false, 0},
        LiteralCase{FieldTag::Float64, kUs, 0, "1e3", true, 1000},
        LiteralCase{FieldTag::Float64, kUs, 0, " 1", false, 0},
        LiteralCase{FieldTag::Date32, kUs, 0, "19727", true, 19727},
        LiteralCase{FieldTag::Date32, kUs, 0, "-2147483648", true, -2147483648LL},
        LiteralCase{FieldTag::Date32, kUs, 0, "2147483648", false, 0},
        LiteralCase{FieldTag::Date32, kUs, 0, "2024-01-05", false, 0},
        LiteralCase{FieldTag::Timestamp, kMs, 0, "1500", true, 1500},
        LiteralCase{FieldTag::Timestamp, kMs, 0, "2024-01-05", false, 0},
        LiteralCase{FieldTag::Decimal128, kUs, 2, " 1.239 ", true, 123},
        LiteralCase{FieldTag::Decimal128, kUs, 2, "1e3", false, 0},
        LiteralCase{FieldTag::Dictionary, kUs, 0, "1", true, 0}));

// ---------------------------------------------------------------- castability

struct CastCase {
  FieldTag tag;
  std::string text;
  bool castable;
};

class CastableTo : public ::testing::TestWithParam<CastCase> {};

TEST_P(CastableTo, Table) {
  EXPECT_EQ(castable_to(GetParam().tag, GetParam().text), GetParam().castable) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CastableTo,
    ::testing::Values(
        CastCase{FieldTag::String, "", true}, CastCase{FieldTag::Dictionary, "\xFF", true},
        CastCase{FieldTag::Int64, "12", true}, CastCase{FieldTag::Int64, " 12", false},
        CastCase{FieldTag::Int64, "9223372036854775808", false}, CastCase{FieldTag::Float64, "-Infinity", true},
        CastCase{FieldTag::Float64, "1e", false}, CastCase{FieldTag::Float64, " 1.5", false},
        CastCase{FieldTag::Date32, " 2024-01-05\t", true}, CastCase{FieldTag::Date32, "2024-02-30", false},
        CastCase{FieldTag::Timestamp, "-17", true}, CastCase{FieldTag::Timestamp, "2024-01-05", true},
        CastCase{FieldTag::Timestamp, "2024-01-05 12:00:00", false}, CastCase{FieldTag::Timestamp, "x", false},
        CastCase{FieldTag::Decimal128, "  12 ", true}, CastCase{FieldTag::Decimal128, "  1.5", false},
        CastCase{FieldTag::Decimal128, "1.5", true}, CastCase{FieldTag::Decimal128, "1e5", true},
        CastCase{FieldTag::Decimal128, "nan", true}, CastCase{FieldTag::Decimal128, "+", false},
        CastCase{FieldTag::Decimal128, "-170141183460469231731687303715884105728", true},
        CastCase{FieldTag::Decimal128, " -170141183460469231731687303715884105729", false},
        CastCase{FieldTag::Decimal128, " 170141183460469231731687303715884105728", false},
        CastCase{FieldTag::Decimal128, "170141183460469231731687303715884105728", true}));

// ---------------------------------------------------------------- bounds

// Every parser sees only the bytes it is given: the same text followed in
// memory by digits or blanks, or alone in an exact-size heap block (which a
// sanitizer build checks for over-reads), gives the same answer.
TEST(Bounds, ParsersReadOnlyTheGivenBytes) {
  const std::vector<std::string> texts = {"", "1", "-", "12", "1.", "1e", "1e5", ".5", "inf", "nan", "tru", "true",
                                          "2024-01-0", "2024-01-05", "2024-01-05 12:00:0", "2024-01-05T12:00:00.",
                                          "2024-01-05 12:00:00.12", "05/01/2024", " 7", "1.2", "+", "\xC2",
                                          "\xE3\x80", "Jan 5 202"};
  const TimestampParser custom(TimeUnit::Second, std::string("%d/%m/%Y"));
  const TimestampParser month_name(TimeUnit::Second, std::string("%b %d %Y"));
  auto signature = [&](std::string_view t) {
    std::string sig;
    auto add = [&](bool ok, const std::string& v) { sig += (ok ? v : std::string("-")) + "|"; };
    const auto i = parse_int64(t);
    add(i.has_value(), i ? render_int64(*i) : "");
    const auto f = parse_float64(t);
    add(f.has_value(), f ? render_float64(*f) : "");
    const auto b = parse_boolean(t);
    add(b.has_value(), b ? render_boolean(*b) : "");
    const auto d = parse_date32(t);
    add(d.has_value(), d ? render_int64(*d) : "");
    for (const auto* p : {&custom, &month_name}) {
      const auto ts = p->parse(t);
      add(ts.has_value(), ts ? render_int64(*ts) : "");
    }
    const auto dec = parse_decimal128(t, 3);
    add(dec.has_value(), dec ? str128(*dec) : "");
    for (int tag = 0; tag <= 7; ++tag) sig += castable_to(static_cast<FieldTag>(tag), t) ? "y" : "n";
    sig += "|" + std::string(trim_whitespace(t)) + "|" + std::to_string(trim_whitespace_end(t).size());
    return sig;
  };
  for (const auto& text : texts) {
    const std::string expected = signature(text);
    for (const char* tail : {"9", "0:00", ".5", "e5", "e", " ", "\x80\x80", "4"}) {
      const std::string buffer = text + tail;
      EXPECT_EQ(signature(std::string_view(buffer.data(), text.size())), expected) << text << " + " << tail;
    }
    const auto exact = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), exact.get());
    EXPECT_EQ(signature(std::string_view(exact.get(), text.size())), expected) << text;
  }
}

}  // namespace
}  // namespace vorpel
