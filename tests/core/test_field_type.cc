// Field type texts, debug names, equality and quoted text rendering.

#include <gtest/gtest.h>

#include <random>
#include <ostream>
#include <string>
#include <string_view>

#include <unicode/utf8.h>

#include "core/field_type.h"

namespace vorpel {
namespace {

// Readable parameter values in test names and failure messages.
template <class Case>
  requires requires(const Case& c) { std::string_view(c.text); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << quote_text(c.text);
}

struct AcceptCase {
  std::string text;
  FieldType expected;
  std::string debug;
};

class FieldTypeAccept : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(FieldTypeAccept, ParsesToTypeAndDebugName) {
  const auto& c = GetParam();
  const auto r = parse_field_type(c.text);
  ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error().message();
  EXPECT_EQ(*r, c.expected) << c.text;
  EXPECT_EQ(r->tag, c.expected.tag);
  EXPECT_EQ(r->pattern, c.expected.pattern);
  EXPECT_EQ(r->debug_name(), c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldTypeAccept,
    ::testing::Values(
        AcceptCase{"string", FieldType::simple(FieldTag::String), "String"},
        AcceptCase{"int64", FieldType::simple(FieldTag::Int64), "Int64"},
        AcceptCase{"float64", FieldType::simple(FieldTag::Float64), "Float64"},
        AcceptCase{"boolean", FieldType::simple(FieldTag::Boolean), "Boolean"},
        AcceptCase{"bool", FieldType::simple(FieldTag::Boolean), "Boolean"},
        AcceptCase{"dictionary", FieldType::simple(FieldTag::Dictionary), "Dictionary"},
        AcceptCase{"date32", FieldType::simple(FieldTag::Date32), "Date32"},
        AcceptCase{"timestamp", FieldType::timestamp(TimeUnit::Microsecond), "Timestamp(Microsecond, None)"},
        AcceptCase{"timestamp[]", FieldType::timestamp(TimeUnit::Microsecond), "Timestamp(Microsecond, None)"},
        AcceptCase{"timestamp[us]", FieldType::timestamp(TimeUnit::Microsecond), "Timestamp(Microsecond, None)"},
        AcceptCase{"timestamp[\xC2\xB5s]", FieldType::timestamp(TimeUnit::Microsecond),
                   "Timestamp(Microsecond, None)"},
        AcceptCase{"timestamp[s]", FieldType::timestamp(TimeUnit::Second), "Timestamp(Second, None)"},
        AcceptCase{"timestamp[ms]", FieldType::timestamp(TimeUnit::Millisecond), "Timestamp(Millisecond, None)"},
        AcceptCase{"timestamp[ns]", FieldType::timestamp(TimeUnit::Nanosecond), "Timestamp(Nanosecond, None)"},
        AcceptCase{"timestamp[,format=%d/%m/%Y]", FieldType::timestamp(TimeUnit::Microsecond, "%d/%m/%Y"),
                   "Timestamp(Microsecond, Some(\"%d/%m/%Y\"))"},
        AcceptCase{"timestamp[format=%Y-%m-%d %H:%M]",
                   FieldType::timestamp(TimeUnit::Microsecond, "%Y-%m-%d %H:%M"),
                   "Timestamp(Microsecond, Some(\"%Y-%m-%d %H:%M\"))"},
        AcceptCase{"timestamp[ms,format=a,b]", FieldType::timestamp(TimeUnit::Millisecond, "a,b"),
                   "Timestamp(Millisecond, Some(\"a,b\"))"},
        AcceptCase{"timestamp[ns,format=x]y]", FieldType::timestamp(TimeUnit::Nanosecond, "x]y"),
                   "Timestamp(Nanosecond, Some(\"x]y\"))"},
        AcceptCase{"timestamp[s,format= \"q\\\t]", FieldType::timestamp(TimeUnit::Second, " \"q\\\t"),
                   "Timestamp(Second, Some(\" \\\"q\\\\\\t\"))"},
        AcceptCase{"decimal128", FieldType::decimal128(18), "Decimal128(18)"},
        AcceptCase{"decimal128(0)", FieldType::decimal128(0), "Decimal128(0)"},
        AcceptCase{"decimal128(+7)", FieldType::decimal128(7), "Decimal128(7)"},
        AcceptCase{"decimal128(038)", FieldType::decimal128(38), "Decimal128(38)"},
        AcceptCase{"decimal128(0000000000002)", FieldType::decimal128(2), "Decimal128(2)"}));

struct RejectCase {
  std::string text;
  std::string message;
};

class FieldTypeReject : public ::testing::TestWithParam<RejectCase> {};

TEST_P(FieldTypeReject, PlanErrorWithExactMessage) {
  const auto& c = GetParam();
  const auto r = parse_field_type(c.text);
  ASSERT_FALSE(r.has_value()) << c.text;
  EXPECT_EQ(r.error().kind(), ErrorKind::Plan);
  EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldTypeReject,
    ::testing::Values(
        RejectCase{"", "unknown field type: "},
        RejectCase{"Boolean", "unknown field type: Boolean"},
        RejectCase{"BOOL", "unknown field type: BOOL"},
        RejectCase{"int", "unknown field type: int"},
        RejectCase{"float", "unknown field type: float"},
        RejectCase{"utf8", "unknown field type: utf8"},
        RejectCase{"large_string", "unknown field type: large_string"},
        RejectCase{" int64", "unknown field type:  int64"},
        RejectCase{"int64 ", "unknown field type: int64 "},
        RejectCase{"decimal1280", "unknown field type: decimal1280"},
        RejectCase{"decimal128[2]", "unknown field type: decimal128[2]"},
        RejectCase{"Timestamp", "unknown field type: Timestamp"},
        RejectCase{"timestampz", "invalid timestamp spec: timestampz"},
        RejectCase{"timestamp_ms", "invalid timestamp spec: timestamp_ms"},
        RejectCase{"timestamp[ms", "invalid timestamp spec: timestamp[ms"},
        RejectCase{"timestamp ms", "invalid timestamp spec: timestamp ms"},
        RejectCase{"timestamp[", "invalid timestamp spec: timestamp["},
        RejectCase{"timestamp[s,fmt=x]", "invalid timestamp spec: timestamp[s,fmt=x]"},
        RejectCase{"timestamp[format=]", "invalid timestamp spec: timestamp[format=]"},
        RejectCase{"timestamp[ns,format=]", "invalid timestamp spec: timestamp[ns,format=]"},
        RejectCase{"timestamp[sec]", "invalid timestamp spec: timestamp[sec]"},
        RejectCase{"timestamp[US]", "invalid timestamp spec: timestamp[US]"},
        RejectCase{"timestamp[ us]", "invalid timestamp spec: timestamp[ us]"},
        RejectCase{"timestamp[\xB5s]", "invalid timestamp spec: timestamp[\xB5s]"},
        RejectCase{"timestamp[format=a,b]", "invalid timestamp spec: timestamp[format=a,b]"},
        RejectCase{"timestamp[ms,]", "invalid timestamp spec: timestamp[ms,]"},
        RejectCase{"decimal128(", "invalid decimal128 spec: decimal128("},
        RejectCase{"decimal128(10", "invalid decimal128 spec: decimal128(10"},
        RejectCase{"decimal128(2))x", "invalid decimal128 spec: decimal128(2))x"},
        RejectCase{"decimal128()", "invalid decimal128 scale: cannot parse integer from empty string"},
        RejectCase{"decimal128(-1)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128( 2)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(+)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(-)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(++2)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(2.0)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(10,2)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(25a)", "invalid decimal128 scale: invalid digit found in string"},
        RejectCase{"decimal128(256)", "invalid decimal128 scale: number too large to fit in target type"},
        RejectCase{"decimal128(2560a)", "invalid decimal128 scale: number too large to fit in target type"},
        RejectCase{"decimal128(99999999999999999999)",
                   "invalid decimal128 scale: number too large to fit in target type"},
        RejectCase{"decimal128(39)", "decimal128 scale exceeds 38: 39"},
        RejectCase{"decimal128(+255)", "decimal128 scale exceeds 38: 255"}));

struct EqualityCase {
  FieldType a;
  FieldType b;
  bool equal;
};

class FieldTypeEquality : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(FieldTypeEquality, ComparesTagAndItsPayloadOnly) {
  const auto& c = GetParam();
  EXPECT_EQ(c.a == c.b, c.equal);
  EXPECT_EQ(c.b == c.a, c.equal);
}

FieldType with_noise(FieldTag tag) {
  FieldType t = FieldType::simple(tag);
  t.unit = TimeUnit::Second;  // payload fields the tag does not carry
  t.scale = 9;
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldTypeEquality,
    ::testing::Values(
        EqualityCase{FieldType::simple(FieldTag::Int64), FieldType::simple(FieldTag::Int64), true},
        EqualityCase{FieldType::simple(FieldTag::Int64), FieldType::simple(FieldTag::Float64), false},
        EqualityCase{FieldType::simple(FieldTag::Int64), with_noise(FieldTag::Int64), true},
        EqualityCase{FieldType::decimal128(2), FieldType::decimal128(2), true},
        EqualityCase{FieldType::decimal128(2), FieldType::decimal128(3), false},
        EqualityCase{FieldType::timestamp(TimeUnit::Second), FieldType::timestamp(TimeUnit::Second), true},
        EqualityCase{FieldType::timestamp(TimeUnit::Second), FieldType::timestamp(TimeUnit::Millisecond), false},
        EqualityCase{FieldType::timestamp(TimeUnit::Second, "%Y"), FieldType::timestamp(TimeUnit::Second), false},
        EqualityCase{FieldType::timestamp(TimeUnit::Second, "%Y"), FieldType::timestamp(TimeUnit::Second, "%y"),
                     false},
        EqualityCase{FieldType::timestamp(TimeUnit::Second, ""), FieldType::timestamp(TimeUnit::Second), false}));

struct QuoteCase {
  std::string input;
  std::size_t max_chars;
  std::string expected;
};

class QuoteText : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteText, RendersEscapedAndTruncated) {
  const auto& c = GetParam();
  EXPECT_EQ(quote_text(c.input, c.max_chars), c.expected);
}

constexpr std::size_t kAll = SIZE_MAX;

INSTANTIATE_TEST_SUITE_P(
    Table, QuoteText,
    ::testing::Values(
        QuoteCase{"", kAll, "\"\""},
        QuoteCase{"abc", kAll, "\"abc\""},
        QuoteCase{"a\"b\\c'", kAll, "\"a\\\"b\\\\c'\""},
        QuoteCase{"\n\r\t", kAll, "\"\\n\\r\\t\""},
        QuoteCase{std::string("x\0y", 3), kAll, "\"x\\0y\""},
        QuoteCase{"\x1b[0m\x01\x7f", kAll, "\"\\u{1b}[0m\\u{1}\\u{7f}\""},
        QuoteCase{"\xC2\x80\xC2\x9F\xC2\xA0", kAll, "\"\\u{80}\\u{9f}\xC2\xA0\""},
        QuoteCase{"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", kAll, "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
        QuoteCase{"a\xFF" "b", kAll, "\"a\xEF\xBF\xBD" "b\""},
        QuoteCase{"\xE2\x82", kAll, "\"\xEF\xBF\xBD\""},
        QuoteCase{"\xE2\x82x", kAll, "\"\xEF\xBF\xBDx\""},
        QuoteCase{"\xE0\x80\x80", kAll, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"\xED\xA0\x80", kAll, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"\xF0\x9F\x98", kAll, "\"\xEF\xBF\xBD\""},
        QuoteCase{"\xF4\x90\x80\x80", kAll, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"\xC0\xAF", kAll, "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"\x80\x80", kAll, "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        // Truncation counts code points (a replacement counts as one) and adds nothing.
        QuoteCase{"abcdef", 3, "\"abc\""},
        QuoteCase{"abc", 3, "\"abc\""},
        QuoteCase{"\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\"\xC3\xA9\xC3\xA9\""},
        QuoteCase{"\n\n\n", 2, "\"\\n\\n\""},
        QuoteCase{"\xE2\x82\xE2\x82z", 2, "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"abc", 0, "\"\""}));

TEST(QuoteText, SixtyFourCharacterLimitOnLongText) {
  const std::string long_text(100, 'x');
  EXPECT_EQ(quote_text(long_text, 64), "\"" + std::string(64, 'x') + "\"");
}

// Random byte strings rich in lead and continuation bytes: the replacement
// characters must fall where ICU's maximal-subpart decoder puts them.
TEST(QuoteText, ReplacementsMatchIcuOnRandomBytes) {
  static constexpr unsigned char kBytes[] = {'a',  'z',  0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                             0xC3, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::mt19937 rng(5);
  for (int iter = 0; iter < 50000; ++iter) {
    std::string in;
    for (int n = static_cast<int>(rng() % 10); n > 0; --n) in.push_back(static_cast<char>(kBytes[rng() % sizeof kBytes]));
    std::string expected = "\"";
    const auto* s = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto length = static_cast<std::int32_t>(in.size());
    for (std::int32_t i = 0; i < length;) {
      UChar32 c;
      U8_NEXT_OR_FFFD(s, i, length, c);
      if (c >= 0x80 && c <= 0x9F) {
        static constexpr char kHex[] = "0123456789abcdef";
        expected += std::string("\\u{") + kHex[c >> 4] + kHex[c & 0xF] + "}";
      } else {
        char buf[4];
        std::int32_t k = 0;
        U8_APPEND_UNSAFE(buf, k, c);
        expected.append(buf, static_cast<std::size_t>(k));
      }
    }
    expected += "\"";
    ASSERT_EQ(quote_text(in), expected);
  }
}

}  // namespace
}  // namespace vorpel
