// The inline fast paths of the column parsers must accept exactly what the
// general parsers accept and give bit-identical values, whether or not bytes
// past the text may be loaded.

#include "core/columnar/scalar_parse/fast_parse.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/columnar/scalar_parse/internal.h"

namespace vorpel {
namespace {

// The text twice: alone, in an allocation of exactly its size (nothing is
// readable past it, and the sanitizers report a read there), and inside a
// buffer whose bytes after it are digits, so a fast path that reads past the
// text and keeps what it read would be caught.
struct Placed {
  std::unique_ptr<char[]> alone;
  std::string buffer;
  const char* text() const { return buffer.data() + 1; }
  const char* padded_end() const { return buffer.data() + buffer.size(); }
};

Placed place(const std::string& text) {
  Placed placed{std::make_unique<char[]>(text.size()), "7" + text + std::string(48, '9')};
  std::memcpy(placed.alone.get(), text.data(), text.size());
  return placed;
}

std::string random_text(std::mt19937_64& rng, const std::string& alphabet, std::size_t max_len) {
  std::string s(rng() % (max_len + 1), ' ');
  for (char& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

// ---------------------------------------------------------------- int64

void expect_int64_agrees(const std::string& text) {
  const Placed placed = place(text);
  const std::optional<std::int64_t> want = parse_int64(text);
  for (const bool padded : {false, true}) {
    const char* p = padded ? placed.text() : placed.alone.get();
    const char* end = padded ? placed.padded_end() : p + text.size();
    std::int64_t got = -1;
    const bool ok = fast::parse_int64_into(p, text.size(), end, got);
    ASSERT_EQ(ok, want.has_value()) << '"' << text << '"';
    EXPECT_EQ(got, want.value_or(0)) << '"' << text << '"';
  }
}

class Int64Table : public ::testing::TestWithParam<const char*> {};

TEST_P(Int64Table, MatchesGeneralParser) { expect_int64_agrees(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Texts, Int64Table,
                         ::testing::Values("0", "-0", "+5", "7", "12345678", "123456789", "-1234567890123456",
                                           "1234567890123456", "12345678901234567", "9223372036854775807",
                                           "-9223372036854775808", "9223372036854775808", "0000000000000000001",
                                           "", "+", "-", "--1", "+-1", " 5", "5 ", "1_000", "12:3", "1/2", "1.0",
                                           "1e5", "12345678a", "a2345678", "1234567\xfa", "\xff" "1234"));

TEST(Int64Random, MatchesGeneralParser) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 200000; ++i) expect_int64_agrees(random_text(rng, "0123456789+-0123456789 /:", 20));
}

// ---------------------------------------------------------------- float64

// Bytes after a float text that a fast path must not take as part of it:
// digits, and every byte the float grammar knows.
constexpr const char* kFloatTails[] = {"99999999999999999999", "e+5.0e-1E2.3e+4", "-.-.+e", "\x80\xff 0."};

void expect_float64_agrees(const std::string& text) {
  const std::optional<double> want = parse_float64(text);
  const std::uint64_t want_bits = std::bit_cast<std::uint64_t>(want.value_or(0.0));
  const auto check = [&](const char* p, const char* readable_end, const char* where) {
    double got = -1;
    const bool ok = fast::parse_float64_into(p, text.size(), readable_end, got);
    ASSERT_EQ(ok, want.has_value()) << '"' << text << "\" " << where;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got), want_bits) << '"' << text << "\" " << where;
  };
  // Alone: nothing is readable past the text (the sanitizers catch a read).
  const auto alone = std::make_unique<char[]>(text.size());
  std::memcpy(alone.get(), text.data(), text.size());
  check(alone.get(), alone.get() + text.size(), "alone");
  for (const char* tail : kFloatTails) {
    const std::string buffer = "7" + text + tail;
    check(buffer.data() + 1, buffer.data() + buffer.size(), tail);
  }
  // Exactly sixteen bytes readable, the text at their start.
  if (text.size() <= 16) {
    const std::string sixteen = text + std::string(16 - text.size(), '5');
    const auto exact = std::make_unique<char[]>(16);
    std::memcpy(exact.get(), sixteen.data(), 16);
    check(exact.get(), exact.get() + 16, "sixteen readable");
  }
}

class Float64Table : public ::testing::TestWithParam<const char*> {};

TEST_P(Float64Table, MatchesGeneralParser) { expect_float64_agrees(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Texts, Float64Table,
                         ::testing::Values("0", "-0", "-0.0", "5.", ".5", "-.5", ".", "-", "+", "", "1e", "1e+",
                                           "1e-", "1e5", "1E5", "-2.5e-3", "123.45", "-0.001", "1e10", "1e22",
                                           "1e23", "9007199254740993", "9007199254740992", "0.1", "0.3",
                                           "-0.37700000000000006", "12345678901234567890", "1e-400", "1e400",
                                           "1e999999999999", "0.000000000000000000000000001", "nan", "-NaN",
                                           "inf", "-Infinity", "infinit", "1.5x", "1..5", "1.5e3.2", " 1", "1 ",
                                           "0x10", "1_0", "00000000000000000000000001.5", "4.9e-324",
                                           "1.7976931348623157e308", "2.2250738585072014e-308", "+.e1", "1.e5",
                                           "-.e5", "e5", ".e", "1e5e5", "1e+-5", "1e--5", "1-5", "+-1", "-+1",
                                           "--1", "1.5-", "1e5.", "000000000000000001.5", "0000000000000001.5",
                                           "-9007199254740992", "+9007199254740993", "900719925474099.2",
                                           "9007199254740.993e3", "9.007199254740993", "1e-22", "1e-23", "12e21",
                                           "12e-24", "0.0000000000000000000001", "1.2e0000022", "1.2e00000022",
                                           "1e000000001", "-0e-5", "-.0e+99999", "123456789012345.6", "1.5e",
                                           "1.5E+", "-1.5e-9", "12.3e-15", "42", "-0.123", "4.5\xff", "\xff",
                                           "-nan", "+inf", "nan1", "1nan", "1.5 ", "\t1.5"));

// Every combination of a sign, integer digits, a fraction and an exponent,
// valid or not, many of them near the 16-byte and the 2^53 limits.
TEST(Float64Shapes, EveryCombinationMatchesGeneralParser) {
  const char* const signs[] = {"", "+", "-"};
  const char* const ints[] = {"", "0", "7", "42", "00", "12345678", "123456789", "9007199254740993",
                              "000000000000001", "1234567890123456"};
  const char* const fracs[] = {"", ".", ".5", ".05", ".123", ".0000000001", ".99999999", ".1234567890123456",
                               ".e", "..5"};
  const char* const exps[] = {"",     "e",    "E",     "e+",   "e-",  "e5",   "E5",        "e-5",
                              "e+05", "e22",  "e-22",  "e23",  "e-23", "e308", "e-324",     "e-400",
                              "e999", "E00000001", "e000000001", "e5e", "e5.5", "e-+5", "e 5"};
  for (const char* s : signs) {
    for (const char* i : ints) {
      for (const char* f : fracs) {
        for (const char* e : exps) {
          expect_float64_agrees(std::string(s) + i + f + e);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

// One to 17 digits with the '.' at every place, with and without a sign
// and an exponent: every length around the 16 bytes of the fast path.
TEST(Float64Lengths, EveryLengthAndDotPlaceMatchesGeneralParser) {
  const std::string digits = "98765432109876543";
  for (std::size_t len = 1; len <= 17; ++len) {
    for (const char* sign : {"", "-", "+"}) {
      for (const char* exp : {"", "e7", "e-3", "E+12", "e-22"}) {
        const std::string body = std::string(sign) + digits.substr(0, len);
        for (std::size_t dot = std::string(sign).size(); dot <= body.size(); ++dot) {
          for (const std::string& text : {body + exp, body.substr(0, dot) + "." + body.substr(dot) + exp}) {
            expect_float64_agrees(text);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST(Float64Random, MatchesGeneralParser) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 200000; ++i) {
    expect_float64_agrees(random_text(rng, "0123456789012345678901234.eE+-", 24));
    if (HasFatalFailure()) return;
  }
}

// The alphabet of the grammar alone, short texts: many are valid.
TEST(Float64Random, GrammarAlphabetMatchesGeneralParser) {
  std::mt19937_64 rng(15);
  for (int i = 0; i < 300000; ++i) {
    expect_float64_agrees(random_text(rng, "0123456789+-.eE", 20));
    if (HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------- boolean

class BooleanTable : public ::testing::TestWithParam<const char*> {};

TEST_P(BooleanTable, MatchesGeneralParser) {
  const std::string text = GetParam();
  const Placed placed = place(text);
  const std::optional<bool> want = parse_boolean(text);
  for (const bool padded : {false, true}) {
    const char* p = padded ? placed.text() : placed.alone.get();
    const char* end = padded ? placed.padded_end() : p + text.size();
    std::uint8_t got = 7;
    ASSERT_EQ(fast::parse_boolean_into(p, text.size(), end, got), want.has_value()) << text;
    EXPECT_EQ(got, want.value_or(false) ? 1 : 0) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, BooleanTable,
                         ::testing::Values("true", "false", "True", "FALSE", "tru", "truee", "fals", "falsee", "",
                                           "1", "0", "yes", " true", "true "));

// ---------------------------------------------------------------- date32

// The text after a column's next value: what a column loop may load past it.
const std::string kNextValue = "2024-01-05T12:34:56.123456";

// The text read three ways: alone, with '9's readable after it (see Placed),
// and followed by another value; each as its start and the end of what may
// be read.
struct ThreeWays {
  struct Place {
    const char* p;
    const char* end;
  };
  explicit ThreeWays(const std::string& text) : size(text.size()), placed(place(text)), followed(text + kNextValue) {}
  std::array<Place, 3> places() const {
    return {Place{placed.alone.get(), placed.alone.get() + size}, Place{placed.text(), placed.padded_end()},
            Place{followed.data(), followed.data() + followed.size()}};
  }
  std::size_t size;
  Placed placed;
  std::string followed;
};

// `parse_date32_into` without and with bytes readable past the text (none,
// '9's, a following value); all must agree, and a failure leaves 0.
std::optional<std::int32_t> fast_date(const std::string& text) {
  std::int32_t v = -1;
  const bool ok = fast::parse_date32_into(text.data(), text.size(), v);
  EXPECT_EQ(v, ok ? v : 0) << text;
  const ThreeWays three(text);
  const auto places = three.places();
  for (const auto& at : places) {
    std::int32_t w = -1;
    EXPECT_EQ(fast::parse_date32_into(at.p, text.size(), at.end, w), ok) << '"' << text << '"';
    EXPECT_EQ(w, v) << '"' << text << '"';
  }
  if (!ok) return std::nullopt;
  return v;
}

TEST(Date32Exhaustive, EveryDayOfFourDigitYears) {
  // Day 0 of year 0 to the last day of 9999, each written as YYYY-MM-DD.
  const auto first = static_cast<std::int64_t>(scalar_detail::days_from_civil(0, 1, 1));
  const auto last = static_cast<std::int64_t>(scalar_detail::days_from_civil(9999, 12, 31));
  char text[32] = {};
  for (std::int64_t day = first; day <= last; ++day) {
    const scalar_detail::CivilDate d = scalar_detail::civil_from_days(day);
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(d.year), d.month, d.day);
    const std::optional<std::int32_t> got = fast_date(text);
    ASSERT_TRUE(got.has_value()) << text;
    ASSERT_EQ(*got, day) << text;
#ifdef VORPEL_FAST_SSE2
    // With bytes readable past it, the 16-byte check settles it itself.
    std::int64_t wide = -1;
    ASSERT_TRUE(fast::iso_date_days_wide(text, wide)) << text;
    ASSERT_EQ(wide, day) << text;
#endif
  }
}

class Date32Table : public ::testing::TestWithParam<const char*> {};

TEST_P(Date32Table, MatchesGeneralParser) {
  EXPECT_EQ(fast_date(GetParam()), parse_date32(GetParam())) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Texts, Date32Table,
                         ::testing::Values("2023-02-29", "2024-02-29", "1900-02-29", "2000-02-29", "2024-13-01",
                                           "2024-00-10", "2024-01-00", "2024-01-32", "2024-04-31", "2024/01/05",
                                           "2024-01-5", "2024-1-05", " 2024-01-05", "2024-01-05 ", "+2024-01-05",
                                           "-0044-03-15", "20240105", "2024-01-05T00:00", "0000-01-01",
                                           "9999-12-31", "2a24-01-05", "2024-0b-05", "2024-01-0\xff"));

// Every byte of a valid date replaced by bytes around the digits and
// separators, and by others: the shape check must reject exactly what the
// general parser rejects.
TEST(Date32Bytes, EveryPositionAndByteMatchesGeneralParser) {
  for (const std::string base : {"2024-02-29", "1999-12-31", "0000-01-01", "9999-12-31"}) {
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (int c = 0; c < 256; ++c) {
        std::string text = base;
        text[at] = static_cast<char>(c);
        ASSERT_EQ(fast_date(text), parse_date32(text)) << '"' << text << '"';
      }
    }
  }
}

// Around the month ends and leap days of years with every leap rule.
TEST(Date32Edges, MonthAndLeapYearEdgesMatchGeneralParser) {
  char text[32];
  for (int year : {0, 1, 4, 99, 100, 400, 1582, 1600, 1700, 1900, 1969, 1970, 2000, 2023, 2024, 2100, 9996, 9999}) {
    for (int month = 0; month <= 19; ++month) {
      for (int day : {0, 1, 9, 10, 19, 28, 29, 30, 31, 32, 39, 40, 99}) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        ASSERT_EQ(fast_date(text), parse_date32(text)) << text;
      }
    }
  }
}

// ---------------------------------------------------------------- decimal128

class DecimalTable : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(DecimalTable, MatchesGeneralParser) {
  const auto& [text, scale] = GetParam();
  int128 got = -1;
  const std::optional<int128> want = parse_decimal128(text, static_cast<std::uint8_t>(scale));
  ASSERT_EQ(fast::parse_decimal128_into(text, std::strlen(text), static_cast<std::uint8_t>(scale), got),
            want.has_value())
      << text << " scale " << scale;
  EXPECT_TRUE(got == want.value_or(0)) << text << " scale " << scale;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalTable,
    ::testing::Combine(::testing::Values("1.239", "-1.239", "1.5", "  42 ", ".07", "0.005", "-0.005", "1e3", "12.99",
                                         "", ".", "-", "+-1", "- 5", "1,5", "1.2.3", "5.", "-.5", "007.10",
                                         "999999999999999999", "-9999999999999999.99", "123456789012345678901234",
                                         "00000000000000000000001", "1.", "+0", "12a"),
                       ::testing::Values(0, 2, 9, 18, 19, 38, 39)));

TEST(DecimalRandom, MatchesGeneralParser) {
  std::mt19937_64 rng(13);
  for (int i = 0; i < 100000; ++i) {
    const std::string text = random_text(rng, "0123456789012345.+- ", 22);
    const auto scale = static_cast<std::uint8_t>(rng() % 21);
    int128 got = -1;
    const std::optional<int128> want = parse_decimal128(text, scale);
    ASSERT_EQ(fast::parse_decimal128_into(text.data(), text.size(), scale, got), want.has_value()) << text;
    ASSERT_TRUE(got == want.value_or(0)) << text;
  }
}

// ---------------------------------------------------------------- timestamps

// The general path alone: the custom pattern through the interpreter, then
// the built-in patterns through the general matcher.
std::optional<std::int64_t> reference_timestamp(const std::string& text, TimeUnit unit,
                                                const std::optional<std::string>& pattern) {
  const std::string_view t = trim_whitespace(text);
  if (pattern) {
    if (auto instant = scalar_detail::match_pattern(*pattern, t)) return scalar_detail::instant_to_unit(*instant, unit);
  }
  if (auto instant = scalar_detail::match_builtin(t)) return scalar_detail::instant_to_unit(*instant, unit);
  return std::nullopt;
}

struct TimestampCase {
  const char* pattern;  // nullptr: none
  std::vector<const char*> texts;
};

class TimestampTable : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(TimestampTable, MatchesGeneralPathInEveryUnit) {
  const TimestampCase& c = GetParam();
  const std::optional<std::string> pattern = c.pattern ? std::optional<std::string>(c.pattern) : std::nullopt;
  for (TimeUnit unit : {TimeUnit::Second, TimeUnit::Millisecond, TimeUnit::Microsecond, TimeUnit::Nanosecond}) {
    const TimestampParser parser(unit, pattern);
    for (const char* text : c.texts) {
      std::int64_t got = -1;
      const std::optional<std::int64_t> want = reference_timestamp(text, unit, pattern);
      ASSERT_EQ(parser.parse_into(text, got), want.has_value()) << text << " unit " << static_cast<int>(unit);
      EXPECT_EQ(got, want.value_or(0)) << text << " unit " << static_cast<int>(unit);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TimestampTable,
    ::testing::Values(
        TimestampCase{nullptr,
                      {"2024-01-05T12:34:56.123456", "2024-01-05 12:34:56.123456789123", "2024-01-05 12:34:56",
                       "2024-01-05 12:34:56.1234567891x2",
                       "2024-01-05", "2024-01-05 23:59:60", "2024-01-05T24:00:00", "2024-01-05T12:60:00",
                       "2024-01-05T12:34:56.", "2024-01-05T12:34:56.1x", "2024-01-05T12:34:56Z",
                       "2024-01-05X12:34:56", "2024-01-05  12:34:56", "2024-01-05T12:34", "1969-12-31T23:59:59.5",
                       "2300-01-01", "1600-01-01T00:00:00.000000001", "2262-04-11T23:47:16.854775807",
                       "2262-04-11T23:47:16.854775808", "2024-02-30T00:00:00", " 2024-01-05T01:02:03 "}},
        TimestampCase{"%d/%m/%Y %H:%M:%S",
                      {"05/01/2024 12:34:56", "5/01/2024 12:34:56", "05/01/2024  12:34:56", "05/01/2024 12:34:60",
                       "31/04/2024 00:00:00", "29/02/2023 00:00:00", "05/13/2024 00:00:00", "05/01/2024 24:00:00",
                       "05/01/2024\t12:34:56", "05/01/2024 12:34:5", "2024-01-05", "05/01/2300 00:00:00",
                       "05-01-2024 12:34:56"}},
        TimestampCase{"%Y%m%d", {"20240105", "2024015", "20241305", "2024010", "2024-01-05"}},
        // A blank step followed by a literal that starts with whitespace:
        // the blank swallows the tab, so the literal tab can never match.
        TimestampCase{"%d/%m/%Y \t%H", {"05/01/2024 \t12", "05/01/2024\t\t12", "05/01/2024 12"}},
        TimestampCase{"%Y-%m-%d %H:%M", {"2024-01-05 12:34", "2024-01-05 12:3", "2024-01-05T12:34"}},
        TimestampCase{"%m/%d/%Y %I:%M %p", {"01/05/2024 01:34 PM", "01/05/2024 12:34 AM"}},
        TimestampCase{"%d.%m.%Y %H:%M:%S%.f", {"05.01.2024 12:34:56.5", "05.01.2024 12:34:56"}}));

// What a column loop does with a text: the fast path, allowed to load up to
// the end of the value buffer, then the parser for whatever it leaves. Run
// with nothing, '9's and a following value after the text, in every unit:
// an accepted text must have the general path's value, and the parser must
// settle the rest as the general path does. With `settled_fast`, a valid
// text must be settled by the fast path itself when bytes past it are
// readable (in the units whose count it does not overflow).
void expect_column_timestamp_agrees(const std::string& text, bool settled_fast = false) {
  const ThreeWays three(text);
  const auto places = three.places();
  for (TimeUnit unit : {TimeUnit::Second, TimeUnit::Millisecond, TimeUnit::Microsecond, TimeUnit::Nanosecond}) {
    const TimestampParser parser(unit, std::nullopt);
    const std::optional<std::int64_t> want = reference_timestamp(text, unit, std::nullopt);
    const bool nanos_fit = text.compare(0, 4, "1678") >= 0 && text.compare(0, 4, "2262") < 0;
    const bool must_settle = settled_fast && want.has_value() && (unit != TimeUnit::Nanosecond || nanos_fit);
    for (const auto& at : places) {
      std::int64_t got = -1;
      const bool readable = at.end - at.p >= 32;
      const bool fast_ok = fast::iso_timestamp_into(at.p, text.size(), at.end, unit, got);
      if (must_settle && readable) {
        ASSERT_TRUE(fast_ok) << '"' << text << "\" unit " << static_cast<int>(unit);
      }
      if (fast_ok) {
        ASSERT_TRUE(want.has_value()) << '"' << text << "\" unit " << static_cast<int>(unit);
        ASSERT_EQ(got, *want) << '"' << text << "\" unit " << static_cast<int>(unit);
      } else {
        got = -1;
        ASSERT_EQ(parser.parse_into(std::string_view(at.p, text.size()), got), want.has_value())
            << '"' << text << "\" unit " << static_cast<int>(unit);
        ASSERT_EQ(got, want.value_or(0)) << '"' << text << "\" unit " << static_cast<int>(unit);
      }
    }
  }
}

// Every prefix of long texts: no fraction, fractions of 1 to 12 digits, and
// the cut-off shapes in between.
TEST(TimestampColumn, EveryLengthMatchesGeneralPath) {
  for (const std::string base : {"2024-01-05T12:34:56.123456789123", "1969-12-31 23:59:59.999999999999",
                                 "2262-04-11T23:47:16.854775807999", "0000-01-01 00:00:00.000000000001"}) {
    for (std::size_t n = 0; n <= base.size(); ++n) expect_column_timestamp_agrees(base.substr(0, n));
  }
}

// Every byte of valid texts of each fast shape replaced by any byte value.
TEST(TimestampColumn, EveryPositionAndByteMatchesGeneralPath) {
  for (const std::string base : {"2024-02-29T12:34:56.123456789", "1999-12-31 23:59:59.999999", "2000-01-01T00:00:00",
                                 "2024-01-05 12:34:56.5", "2024-01-05T12:34:56.1234567"}) {
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (int c = 0; c < 256; ++c) {
        std::string text = base;
        text[at] = static_cast<char>(c);
        expect_column_timestamp_agrees(text);
      }
    }
  }
}

// Month ends and leap days under every leap rule, field values just inside
// and outside their ranges (the leap second included), several fractions.
TEST(TimestampColumn, CalendarAndFieldEdgesMatchGeneralPath) {
  char text[64];
  for (int year : {0, 4, 100, 400, 1600, 1677, 1900, 1969, 1970, 2000, 2023, 2024, 2100, 2262, 9999}) {
    for (int month = 0; month <= 13; ++month) {
      for (int day : {0, 1, 28, 29, 30, 31, 32}) {
        for (const char* time : {"00:00:00", "23:59:59", "23:59:60", "24:00:00", "09:60:00", "19:00:61"}) {
          for (const char* fraction : {"", ".5", ".999", ".000001", ".123456789"}) {
            std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%s%s", year, month, day, day % 2 ? 'T' : ' ', time,
                          fraction);
            // Valid texts without a leap second: the fast path's own.
            expect_column_timestamp_agrees(text, std::strstr(time, ":60") == nullptr);
          }
        }
      }
    }
  }
}

// The last day of every four-digit year, and its first moment.
TEST(TimestampColumn, EveryFourDigitYearMatchesGeneralPath) {
  char text[64];
  for (int year = 0; year <= 9999; ++year) {
    std::snprintf(text, sizeof text, "%04d-12-31T23:59:59.999999999", year);
    expect_column_timestamp_agrees(text, true);
    std::snprintf(text, sizeof text, "%04d-01-01 00:00:00", year);
    expect_column_timestamp_agrees(text, true);
    std::snprintf(text, sizeof text, "%04d-02-28T12:30:45.25", year);
    expect_column_timestamp_agrees(text, true);
    std::snprintf(text, sizeof text, "%04d-06-30", year);
    expect_column_timestamp_agrees(text, true);
  }
}

// Nanosecond counts at both ends of the 64-bit range (the general path
// saturates past them), and coarser units on the same texts.
TEST(TimestampColumn, NanosecondRangeEndsMatchGeneralPath) {
  for (const char* text :
       {"1677-09-21T00:12:43.145224192", "1677-09-21T00:12:43.145224191", "1677-09-21 00:12:43.145224193",
        "1677-09-21T00:12:43.145224", "1677-09-21T00:12:43.1452241", "1677-09-21T00:12:44", "1677-09-21T00:12:43",
        "1677-09-21", "1677-09-22", "1677-09-20T23:59:59.999", "2262-04-11T23:47:16.854775807",
        "2262-04-11T23:47:16.854775808", "2262-04-11 23:47:16.8547758", "2262-04-11T23:47:16.854775",
        "2262-04-11T23:47:16", "2262-04-11T23:47:17", "2262-04-11", "2262-04-12", "2262-04-12T00:00:00.000000001"}) {
    expect_column_timestamp_agrees(text);
  }
}

// Custom fixed-width patterns read their dates through the same calendar
// table: leap days, month ends and invalid months in every four-digit year.
TEST(TimestampFixedPattern, CalendarEdgesMatchInterpreter) {
  const std::optional<std::string> pattern("%d/%m/%Y %H:%M:%S");
  const TimestampParser parser(TimeUnit::Second, pattern);
  char text[64];
  for (int year = 0; year <= 9999; ++year) {
    for (const auto& [day, month] : {std::pair{29, 2}, std::pair{28, 2}, std::pair{1, 3}, std::pair{31, 12},
                                     std::pair{31, 4}, std::pair{1, 13}, std::pair{0, 1}}) {
      std::snprintf(text, sizeof text, "%02d/%02d/%04d 23:59:59", day, month, year);
      std::int64_t got = -1;
      const std::optional<std::int64_t> want = reference_timestamp(text, TimeUnit::Second, pattern);
      ASSERT_EQ(parser.parse_into(text, got), want.has_value()) << text;
      ASSERT_EQ(got, want.value_or(0)) << text;
    }
  }
}

// Random ISO-like texts with random bytes replaced, at random lengths.
TEST(TimestampColumn, RandomShapesMatchGeneralPath) {
  std::mt19937_64 rng(15);
  const std::string alphabet = "0123456789-:T. t/\t";
  for (int i = 0; i < 20000; ++i) {
    char base[48];
    std::snprintf(base, sizeof base, "%04d-%02d-%02d%c%02d:%02d:%02d.%09d", static_cast<int>(rng() % 10000),
                  static_cast<int>(rng() % 14), static_cast<int>(rng() % 33), rng() % 2 ? 'T' : ' ',
                  static_cast<int>(rng() % 25), static_cast<int>(rng() % 61), static_cast<int>(rng() % 62),
                  static_cast<int>(rng() % 1000000000));
    std::string text = base;
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
    text.resize(rng() % 4 == 0 ? rng() % (text.size() + 1) : 19 + rng() % 11);
    expect_column_timestamp_agrees(text);
  }
}

TEST(TimestampRandom, IsoShapesMatchGeneralPath) {
  std::mt19937_64 rng(14);
  const TimestampParser parser(TimeUnit::Microsecond, std::nullopt);
  const std::string base = "2024-01-05T12:34:56.123456";
  for (int i = 0; i < 100000; ++i) {
    std::string text = base;
    // Replace a few bytes of a valid text with digits, separators or blanks.
    for (int k = static_cast<int>(rng() % 3); k >= 0; --k) text[rng() % text.size()] = "0123456789-:T. "[rng() % 15];
    text.resize(10 + rng() % (text.size() - 9));
    std::int64_t got = -1;
    const std::optional<std::int64_t> want = reference_timestamp(text, TimeUnit::Microsecond, std::nullopt);
    ASSERT_EQ(parser.parse_into(text, got), want.has_value()) << text;
    ASSERT_EQ(got, want.value_or(0)) << text;
  }
}

}  // namespace
}  // namespace vorpel
