// Predicate evaluation: committed rows read from column accumulators, and the
// pending row's three-valued and final evaluation on buffered values.

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/predicate/evaluate.h"
#include "core/predicate/pending_row.h"
#include "core/predicate/predicate.h"
#include "allocation_counter.h"

using vorpel::testing::start_counting_allocations;
using vorpel::testing::stop_counting_allocations;

namespace vorpel {
namespace {

using P = Predicate;

const FieldType kString = FieldType::simple(FieldTag::String);
const FieldType kInt64 = FieldType::simple(FieldTag::Int64);
const FieldType kFloat64 = FieldType::simple(FieldTag::Float64);
const FieldType kBoolean = FieldType::simple(FieldTag::Boolean);
const FieldType kDate32 = FieldType::simple(FieldTag::Date32);
const FieldType kDictionary = FieldType::simple(FieldTag::Dictionary);
const FieldType kTsMs = FieldType::timestamp(TimeUnit::Millisecond);
const FieldType kTsS = FieldType::timestamp(TimeUnit::Second);
const FieldType kTsUs = FieldType::timestamp(TimeUnit::Microsecond);
const FieldType kTsNs = FieldType::timestamp(TimeUnit::Nanosecond);
FieldType dec(std::uint8_t scale) { return FieldType::decimal128(scale); }

const std::vector<FieldType> kEveryColumnType = {kString, kInt64, kFloat64, kBoolean,
                                                 kDate32, kTsMs,  dec(2),   kDictionary};

// prefix followed by the decimal number.
std::string numbered(const char* prefix, std::uint64_t n) {
  std::string text(prefix);
  text.append(std::to_string(n));
  return text;
}

P regex(std::string column, std::string pattern) { return *P::matches(std::move(column), std::move(pattern)); }

// Columns of a builder, as the evaluation sees them. Optionally logs which
// columns are read, in order.
class Columns final : public ColumnSource {
 public:
  std::uint32_t add(std::string name, const FieldType& type) {
    columns_.push_back(ColumnAccumulator::create(type, 8));
    names_.push_back(std::move(name));
    return static_cast<std::uint32_t>(columns_.size() - 1);
  }
  ColumnAccumulator& operator[](std::string_view name) { return columns_[*find_column(name)]; }
  std::uint32_t index(std::string_view name) const { return *find_column(name); }

  std::uint64_t column_count() const override { return columns_.size(); }
  std::optional<std::uint32_t> find_column(std::string_view name) const override {
    for (std::uint32_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == name) return i;
    }
    return std::nullopt;
  }
  const ColumnAccumulator& column(std::uint32_t index) const override {
    if (log_reads) reads.push_back(index);
    return columns_[index];
  }

  bool log_reads = false;
  mutable std::vector<std::uint32_t> reads;

 private:
  std::vector<ColumnAccumulator> columns_;
  std::vector<std::string> names_;
};

bool evaluate(const Predicate& tree, const Columns& columns, std::uint64_t row, const RenameMap& renames = {}) {
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(tree), renames);
  return evaluator.evaluate_row(columns, row);
}

std::string type_label(const FieldType& t) {
  std::string s = t.debug_name();
  std::string out;
  for (char c : s) {
    if (std::isalnum(static_cast<unsigned char>(c))) out.push_back(c);
  }
  return out;
}

// ---------------------------------------------------------------- null rules

struct NullRuleCase {
  const char* label;
  Predicate tree;  // on column "c"
  bool on_null;    // committed result for a null cell and for a missing column
  Verdict pending_missing;
};

class NullRule : public ::testing::TestWithParam<NullRuleCase> {};

TEST_P(NullRule, NullCellOfEveryColumnKind) {
  const NullRuleCase& c = GetParam();
  for (const FieldType& type : kEveryColumnType) {
    Columns columns;
    columns.add("c", type);
    columns.add("c2", type);
    columns["c"].append_null();
    columns["c2"].append_null();
    EXPECT_EQ(evaluate(c.tree, columns, 0), c.on_null) << type_label(type);
  }
}

TEST_P(NullRule, MissingColumnCountsAsNull) {
  Columns columns;
  columns.add("other", kString);
  columns["other"].append_text("x");
  EXPECT_EQ(evaluate(GetParam().tree, columns, 0), GetParam().on_null);
}

TEST_P(NullRule, PendingRowWithoutTheValue) {
  const NullRuleCase& c = GetParam();
  for (const FieldType& type : kEveryColumnType) {
    Columns columns;
    columns.add("c", type);
    columns.add("c2", type);
    PendingRow row(std::make_shared<const Predicate>(c.tree), {}, {});
    row.store(columns.add("unrelated", kString), ScalarValue::of_str("x"));
    EXPECT_EQ(row.evaluate_pending(columns), c.pending_missing) << type_label(type);
    // At the end of the row a missing value decides as a null cell would.
    EXPECT_EQ(row.evaluate_pending_final(columns), c.on_null) << type_label(type);
  }
}

const Verdict U = Verdict::Undecided;
const Verdict T = Verdict::True;
const Verdict F = Verdict::False;

INSTANTIATE_TEST_SUITE_P(
    EveryKind, NullRule,
    ::testing::Values(
        NullRuleCase{"NotEquals", P::not_equals("c", "x"), true, U},
        NullRuleCase{"Equals", P::equals("c", "x"), false, U},
        NullRuleCase{"CompareColumns", P::compare_columns("c", "c2", CompareOp::Ne), false, U},
        NullRuleCase{"Compare", P::compare("c", "1", CompareOp::Ne), false, U},
        NullRuleCase{"StartsWith", P::starts_with("c", ""), false, U},
        NullRuleCase{"EndsWith", P::ends_with("c", ""), false, U},
        NullRuleCase{"In", P::in("c", {"x", ""}), false, F},
        NullRuleCase{"InEmpty", P::in("c", {}), false, F},
        NullRuleCase{"NotIn", P::not_in("c", {"x"}), true, T},
        NullRuleCase{"NotInEmpty", P::not_in("c", {}), true, T},
        NullRuleCase{"ConstantTrue", P::constant(true), true, T},
        NullRuleCase{"ConstantFalse", P::constant(false), false, F},
        NullRuleCase{"IsNullOrEmpty", P::is_null_or_empty("c"), true, T},
        NullRuleCase{"ArithmeticCompare", P::arithmetic_compare("c", "0", 1, ArithOp::Add, CompareOp::Ne), false, U},
        NullRuleCase{"TrimCompare", P::trim_compare("c", "", TrimMode::Both, CompareOp::Ge), false, U},
        NullRuleCase{"LowercaseCompare", P::lowercase_compare("c", "", CompareOp::Ge), false, U},
        NullRuleCase{"UppercaseCompare", P::uppercase_compare("c", "", CompareOp::Ge), false, U},
        NullRuleCase{"ReplaceCompare", P::replace_compare("c", "a", "b", "", CompareOp::Ge), false, U},
        NullRuleCase{"LengthCompare", P::length_compare("c", "0", CompareOp::Ge), false, U},
        NullRuleCase{"ContainsEmpty", P::contains("c", ""), false, U},
        NullRuleCase{"IsNull", P::is_null("c"), true, T},
        NullRuleCase{"CastableToString", P::castable_to("c", kString), false, F},
        NullRuleCase{"Matches", regex("c", ""), false, U},
        NullRuleCase{"And", P::and_(P::is_null("c"), P::not_in("c", {})), true, T},
        NullRuleCase{"AndUndecided", P::and_(P::is_null("c"), P::equals("c", "x")), false, U},
        NullRuleCase{"Or", P::or_(P::equals("c", "x"), P::is_null("c")), true, T},
        NullRuleCase{"Not", P::not_(P::is_null("c")), false, F},
        NullRuleCase{"NotOfEquals", P::not_(P::equals("c", "x")), true, U},
        NullRuleCase{"NotOfCompare", P::not_(P::compare("c", "1", CompareOp::Eq)), true, U}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- present cells

struct LeafCase {
  const char* label;
  FieldType type;
  const char* cell;  // appended as text, parsed by the column
  Predicate tree;    // on column "c"
  bool expected;
};

class PresentCell : public ::testing::TestWithParam<LeafCase> {};

TEST_P(PresentCell, CommittedRow) {
  const LeafCase& c = GetParam();
  Columns columns;
  columns.add("c", c.type);
  columns["c"].append_text("filler");  // the evaluated row is row 1
  columns["c"].append_text(c.cell);
  ASSERT_FALSE(columns["c"].cell_at(1).is_absent()) << "the cell must parse";
  EXPECT_EQ(evaluate(c.tree, columns, 1), c.expected);
}

// A text value buffered for the column converts exactly as the column would
// store it, so the pending row reaches the committed verdict.
class PendingRowAgrees : public ::testing::TestWithParam<LeafCase> {};

TEST_P(PendingRowAgrees, WithTheCommittedVerdict) {
  const LeafCase& c = GetParam();
  Columns columns;
  const std::uint32_t column = columns.add("c", c.type);
  PendingRow row(std::make_shared<const Predicate>(c.tree), {}, {});
  row.store(column, ScalarValue::of_str(c.cell));
  const Verdict expected = c.expected ? Verdict::True : Verdict::False;
  EXPECT_EQ(row.evaluate_pending(columns), expected);
  EXPECT_EQ(row.evaluate_pending_final(columns), c.expected);
}

using CO = CompareOp;

std::vector<LeafCase> string_column_cases() {
  return {
        LeafCase{"NotEqualsSame", kString, "Hello World", P::not_equals("c", "Hello World"), false},
        LeafCase{"NotEqualsLonger", kString, "Hello World", P::not_equals("c", "Hello World!"), true},
        LeafCase{"Equals", kString, "Hello World", P::equals("c", "Hello World"), true},
        LeafCase{"EqualsPrefix", kString, "Hello World", P::equals("c", "Hello"), false},
        LeafCase{"CompareLongerIsGreater", kString, "Hello World", P::compare("c", "Hello", CO::Gt), true},
        LeafCase{"CompareBytesUnsigned", kString, "\xC3\xA9", P::compare("c", "z", CO::Gt), true},
        LeafCase{"CompareEqualNe", kString, "abc", P::compare("c", "abc", CO::Ne), false},
        LeafCase{"StartsWith", kString, "Hello World", P::starts_with("c", "Hello"), true},
        LeafCase{"StartsWithNot", kString, "Hello World", P::starts_with("c", "World"), false},
        LeafCase{"EndsWith", kString, "Hello World", P::ends_with("c", "World"), true},
        LeafCase{"InMember", kString, "Hello", P::in("c", {"z", "Hello", "a"}), true},
        LeafCase{"InNotMember", kString, "Hello", P::in("c", {"Hell", "Hello!"}), false},
        LeafCase{"InEmpty", kString, "Hello", P::in("c", {}), false},
        LeafCase{"InLongList", kString, "k", P::in("c", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "k", "l"}), true},
        LeafCase{"InLongListAbsent", kString, "j", P::in("c", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "k"}),
                 false},
        LeafCase{"NotInMember", kString, "Hello", P::not_in("c", {"Hello"}), false},
        LeafCase{"NotInEmpty", kString, "Hello", P::not_in("c", {}), true},
        LeafCase{"IsNullOrEmptyEmpty", kString, "", P::is_null_or_empty("c"), true},
        LeafCase{"ArithmeticOnText", kString, "12.5", P::arithmetic_compare("c", "13", 0.5, ArithOp::Add, CO::Eq),
                 true},
        LeafCase{"ArithmeticOnBadText", kString, "abc",
                 P::arithmetic_compare("c", "0", 1, ArithOp::Add, CO::Ne), false},
        LeafCase{"ArithmeticBadLiteral", kString, "1",
                 P::arithmetic_compare("c", "x", 1, ArithOp::Add, CO::Ne), false},
        LeafCase{"TrimBoth", kString, "  pad  ", P::trim_compare("c", "pad", TrimMode::Both, CO::Eq), true},
        LeafCase{"TrimStartKeepsTrailing", kString, "  pad ", P::trim_compare("c", "pad", TrimMode::Start, CO::Gt),
                 true},
        LeafCase{"TrimEnd", kString, "  pad \t", P::trim_compare("c", "  pad", TrimMode::End, CO::Eq), true},
        LeafCase{"TrimOutOfRangeCodeIsEnd", kString, "  pad \t",
                 P::trim_compare("c", "  pad", static_cast<TrimMode>(9), CO::Eq), true},
        LeafCase{"TrimUnicodeSpace", kString, "\u3000pad\u00a0\u2029",
                 P::trim_compare("c", "pad", TrimMode::Both, CO::Eq), true},
        LeafCase{"LowerLatin", kString, "\u00c0\u00c9\u00ce", P::lowercase_compare("c", "\u00e0\u00e9\u00ee", CO::Eq),
                 true},
        LeafCase{"LowerFinalSigma", kString, "\u038c\u03a3\u039f\u03a3",
                 P::lowercase_compare("c", "\u03cc\u03c3\u03bf\u03c2", CO::Eq), true},
        LeafCase{"LowerDottedI", kString, "\u0130", P::lowercase_compare("c", "i\u0307", CO::Eq), true},
        LeafCase{"UpperSharpS", kString, "stra\u00dfe", P::uppercase_compare("c", "STRASSE", CO::Eq), true},
        LeafCase{"UpperLigature", kString, "\ufb01x", P::uppercase_compare("c", "FIX", CO::Eq), true},
        LeafCase{"LowerAscii", kString, "MiXeD 1", P::lowercase_compare("c", "mixed 1", CO::Eq), true},
        LeafCase{"ReplaceEvery", kString, "a-b-c", P::replace_compare("c", "-", "+", "a+b+c", CO::Eq), true},
        LeafCase{"ReplaceNonOverlapping", kString, "aaa", P::replace_compare("c", "aa", "b", "ba", CO::Eq), true},
        LeafCase{"ReplaceWithNothing", kString, "abcb", P::replace_compare("c", "b", "", "ac", CO::Eq), true},
        LeafCase{"ReplaceEmptySearch", kString, "\u65e5a", P::replace_compare("c", "", "|", "|\u65e5|a|", CO::Eq),
                 true},
        LeafCase{"LengthCountsCharacters", kString, "\u65e5\u672c\u8a9e", P::length_compare("c", "3", CO::Eq),
                 true},
        LeafCase{"LengthNotBytes", kString, "\u65e5\u672c\u8a9e", P::length_compare("c", "9", CO::Eq), false},
        LeafCase{"LengthFloatLiteral", kString, "abc", P::length_compare("c", "2.5", CO::Gt), true},
        LeafCase{"LengthBadLiteral", kString, "abc", P::length_compare("c", "three", CO::Ne), false},
        LeafCase{"LengthNanLiteral", kString, "abc", P::length_compare("c", "nan", CO::Ne), false},
        LeafCase{"Contains", kString, "Hello World", P::contains("c", "lo W"), true},
        LeafCase{"ContainsEmpty", kString, "", P::contains("c", ""), true},
        LeafCase{"IsNull", kString, "x", P::is_null("c"), false},
        LeafCase{"CastInt", kString, "42", P::castable_to("c", kInt64), true},
        LeafCase{"CastIntFraction", kString, "4.2", P::castable_to("c", kInt64), false},
        LeafCase{"CastBoolYes", kString, "Yes", P::castable_to("c", kBoolean), true},
        LeafCase{"CastBoolOn", kString, "on", P::castable_to("c", kBoolean), false},
        LeafCase{"CastDictionary", kString, "any", P::castable_to("c", kDictionary), true},
        LeafCase{"CastDate", kString, "2024-01-05", P::castable_to("c", kDate32), true},
        LeafCase{"CastDecimalExponent", kString, "1e5", P::castable_to("c", dec(2)), true},
        LeafCase{"CastDecimalWord", kString, "abc", P::castable_to("c", dec(2)), false},
        LeafCase{"MatchesAnywhere", kString, "Hello World", regex("c", "W.r"), true},
        LeafCase{"MatchesAnchored", kString, "Hello World", regex("c", "^World"), false},
        LeafCase{"MatchesEmptyPattern", kString, "x", regex("c", ""), true},
        LeafCase{"MatchesUtf8", kString, "a\u65e5b", regex("c", "^a.b$"), true}};
}

std::vector<LeafCase> typed_column_cases() {
  return {
        LeafCase{"IntEqualsText", kInt64, "42", P::equals("c", "42"), true},
        LeafCase{"IntCompareFractionGt", kInt64, "42", P::compare("c", "1.5", CO::Gt), false},
        LeafCase{"IntCompareFractionNe", kInt64, "42", P::compare("c", "1.5", CO::Ne), false},
        LeafCase{"IntCompare", kInt64, "42", P::compare("c", "41", CO::Gt), true},
        LeafCase{"IntCompareSign", kInt64, "42", P::compare("c", "+42", CO::Eq), true},
        LeafCase{"IntStartsWith", kInt64, "-42", P::starts_with("c", "-4"), true},
        LeafCase{"IntDivide", kInt64, "42", P::arithmetic_compare("c", "21", 2, ArithOp::Div, CO::Eq), true},
        LeafCase{"IntDivideByZero", kInt64, "42", P::arithmetic_compare("c", "1", 0, ArithOp::Div, CO::Ne), false},
        LeafCase{"IntArithCodeAboveThreeDivides", kInt64, "42",
                 P::arithmetic_compare("c", "21", 2, static_cast<ArithOp>(7), CO::Eq), true},
        LeafCase{"IntMultiply", kInt64, "42", P::arithmetic_compare("c", "84", 2, ArithOp::Mul, CO::Eq), true},
        LeafCase{"IntLength", kInt64, "-42", P::length_compare("c", "3", CO::Eq), true},
        LeafCase{"IntIn", kInt64, "42", P::in("c", {"41", "42"}), true},
        LeafCase{"IntMatches", kInt64, "42", regex("c", "^4\\d$"), true},
        LeafCase{"IntCastBool", kInt64, "42", P::castable_to("c", kBoolean), false},
        LeafCase{"IntOneCastBool", kInt64, "1", P::castable_to("c", kBoolean), true},
        LeafCase{"IntCastDate", kInt64, "42", P::castable_to("c", kDate32), false},
        LeafCase{"IntCastDictionary", kInt64, "42", P::castable_to("c", kDictionary), false},
        LeafCase{"FloatEquals", kFloat64, "1.5", P::equals("c", "1.5"), true},
        LeafCase{"FloatCompareInt", kFloat64, "1.5", P::compare("c", "2", CO::Lt), true},
        LeafCase{"FloatNanGt", kFloat64, "NaN", P::compare("c", "1", CO::Gt), false},
        LeafCase{"FloatNanNe", kFloat64, "NaN", P::compare("c", "1", CO::Ne), false},
        LeafCase{"FloatNanNeNan", kFloat64, "nan", P::compare("c", "nan", CO::Ne), false},
        LeafCase{"FloatNanText", kFloat64, "nan", P::equals("c", "NaN"), true},
        LeafCase{"FloatNanArithmetic", kFloat64, "nan", P::arithmetic_compare("c", "0", 1, ArithOp::Add, CO::Ne),
                 false},
        LeafCase{"FloatPositional", kFloat64, "1e20", P::equals("c", "100000000000000000000"), true},
        LeafCase{"FloatSmall", kFloat64, "1e-7", P::equals("c", "0.0000001"), true},
        LeafCase{"FloatNegativeZero", kFloat64, "-0", P::compare("c", "0", CO::Eq), true},
        LeafCase{"FloatIntegralCastInt", kFloat64, "3", P::castable_to("c", kInt64), true},
        LeafCase{"FloatFractionCastInt", kFloat64, "1.5", P::castable_to("c", kInt64), false},
        LeafCase{"FloatTwoPow63CastInt", kFloat64, "9223372036854775808", P::castable_to("c", kInt64), false},
        LeafCase{"FloatMinusTwoPow63CastInt", kFloat64, "-9223372036854775808", P::castable_to("c", kInt64), true},
        LeafCase{"FloatInfCastInt", kFloat64, "inf", P::castable_to("c", kInt64), false},
        LeafCase{"FloatOneCastBool", kFloat64, "1", P::castable_to("c", kBoolean), true},
        LeafCase{"FloatHalfCastBool", kFloat64, "0.5", P::castable_to("c", kBoolean), false},
        LeafCase{"FloatCastDecimal", kFloat64, "0.5", P::castable_to("c", dec(1)), false},
        LeafCase{"BoolEquals", kBoolean, "true", P::equals("c", "true"), true},
        LeafCase{"BoolCompareUpper", kBoolean, "true", P::compare("c", "TRUE", CO::Eq), true},
        LeafCase{"BoolCompareMixed", kBoolean, "true", P::compare("c", "tRUE", CO::Ne), false},
        LeafCase{"BoolFalseLessThanTrue", kBoolean, "true", P::compare("c", "false", CO::Gt), true},
        LeafCase{"BoolCompareDigit", kBoolean, "false", P::compare("c", "0", CO::Eq), false},
        LeafCase{"BoolArithmetic", kBoolean, "true", P::arithmetic_compare("c", "1", 0, ArithOp::Add, CO::Eq),
                 false},
        LeafCase{"BoolCastInt", kBoolean, "false", P::castable_to("c", kInt64), true},
        LeafCase{"BoolCastDate", kBoolean, "false", P::castable_to("c", kDate32), false},
        LeafCase{"DateText", kDate32, "2024-01-05", P::equals("c", "2024-01-05"), true},
        LeafCase{"DateBeforeEpochText", kDate32, "1969-12-31", P::equals("c", "1969-12-31"), true},
        LeafCase{"DateCompareDayCount", kDate32, "2024-01-05", P::compare("c", "19727", CO::Eq), true},
        LeafCase{"DateCompareCalendarLiteral", kDate32, "2024-01-05", P::compare("c", "2024-01-05", CO::Ne),
                 false},
        LeafCase{"DateStartsWith", kDate32, "2024-01-05", P::starts_with("c", "2024-"), true},
        LeafCase{"DateCastDate", kDate32, "2024-01-05", P::castable_to("c", kDate32), true},
        LeafCase{"DateCastTimestamp", kDate32, "2024-01-05", P::castable_to("c", kTsMs), false},
        LeafCase{"DateCastInt", kDate32, "2024-01-05", P::castable_to("c", kInt64), true},
        LeafCase{"DateArithmetic", kDate32, "2024-01-05",
                 P::arithmetic_compare("c", "0", 1, ArithOp::Add, CO::Gt), false},
        LeafCase{"TimestampText", kTsMs, "2024-01-05 12:00:00.5", P::equals("c", "2024-01-05 12:00:00.500"), true},
        LeafCase{"TimestampMicrosText", kTsUs, "1969-12-31 23:59:59.000001",
                 P::equals("c", "1969-12-31 23:59:59.000001"), true},
        LeafCase{"TimestampNanosText", kTsNs, "2024-01-05 00:00:00.000000001",
                 P::ends_with("c", ":00.000000001"), true},
        LeafCase{"TimestampCompareCount", kTsMs, "2024-01-05 12:00:00.5", P::compare("c", "1704456000500", CO::Eq),
                 true},
        LeafCase{"TimestampCompareSecondsCount", kTsMs, "2024-01-05 12:00:00",
                 P::compare("c", "1704456000", CO::Eq), false},
        LeafCase{"TimestampCastSameUnit", kTsMs, "2024-01-05", P::castable_to("c", kTsMs), true},
        LeafCase{"TimestampCastOtherUnit", kTsMs, "2024-01-05", P::castable_to("c", kTsS), false},
        LeafCase{"TimestampCastDate", kTsMs, "2024-01-05", P::castable_to("c", kDate32), false},
        LeafCase{"DecimalText", dec(2), "12.345", P::equals("c", "12.34"), true},
        LeafCase{"DecimalNegativeText", dec(3), "-0.005", P::equals("c", "-0.005"), true},
        LeafCase{"DecimalCompare", dec(2), "12.345", P::compare("c", "12.34", CO::Eq), true},
        LeafCase{"DecimalCompareTruncatedLiteral", dec(2), "12.345", P::compare("c", "12.349", CO::Eq), true},
        LeafCase{"DecimalCompareBadLiteral", dec(2), "1", P::compare("c", "abc", CO::Ne), false},
        LeafCase{"DecimalArithmeticGt", dec(2), "12.345", P::arithmetic_compare("c", "12.3", 0, ArithOp::Add, CO::Gt),
                 true},
        LeafCase{"DecimalArithmeticLt", dec(2), "12.345",
                 P::arithmetic_compare("c", "12.35", 0, ArithOp::Add, CO::Lt), true},
        LeafCase{"DecimalCastFloat", dec(2), "1", P::castable_to("c", kFloat64), true},
        LeafCase{"DecimalCastInt", dec(2), "1.5", P::castable_to("c", kInt64), true},
        LeafCase{"DecimalCastOtherScale", dec(2), "1", P::castable_to("c", dec(5)), true},
        LeafCase{"DecimalCastBool", dec(2), "1", P::castable_to("c", kBoolean), false},
        LeafCase{"DictionaryEquals", kDictionary, "red", P::equals("c", "red"), true},
        LeafCase{"DictionaryCompare", kDictionary, "red", P::compare("c", "reda", CO::Lt), true},
        LeafCase{"DictionaryUpper", kDictionary, "red", P::uppercase_compare("c", "RED", CO::Eq), true},
        LeafCase{"DictionaryCastInt", kDictionary, "42", P::castable_to("c", kInt64), false},
        LeafCase{"DictionaryCastString", kDictionary, "42", P::castable_to("c", kString), true},
};
}

const auto kLeafName = [](const auto& info) { return std::string(info.param.label); };

INSTANTIATE_TEST_SUITE_P(StringColumn, PresentCell, ::testing::ValuesIn(string_column_cases()), kLeafName);
INSTANTIATE_TEST_SUITE_P(TypedColumns, PresentCell, ::testing::ValuesIn(typed_column_cases()), kLeafName);
INSTANTIATE_TEST_SUITE_P(StringColumn, PendingRowAgrees, ::testing::ValuesIn(string_column_cases()), kLeafName);
INSTANTIATE_TEST_SUITE_P(TypedColumns, PendingRowAgrees, ::testing::ValuesIn(typed_column_cases()), kLeafName);

// CastableTo on a buffered text gives the verdict the committed row gets, for
// every column type and every target, on texts that the column parses and
// texts that it stores as null.
class CastableAgrees : public ::testing::TestWithParam<std::tuple<FieldType, FieldType>> {};

TEST_P(CastableAgrees, PendingAndCommittedRows) {
  const auto& [type, target] = GetParam();
  const Predicate tree = P::castable_to("c", target);
  for (const char* text : {"42", "1", "0", "-3.75", "1e5", "99999999999999999999", "nan", "true", "Yes",
                           "2024-01-05", "05/01/2024", "2024-01-05 12:00:00.5", "abc", ""}) {
    SCOPED_TRACE(text);
    Columns committed;
    committed.add("c", type);
    committed["c"].append_text("filler");
    committed["c"].append_text(text);
    const bool expected = evaluate(tree, committed, 1);

    Columns empty;
    const std::uint32_t column = empty.add("c", type);
    PendingRow row(std::make_shared<const Predicate>(clone(tree)), {}, {});
    row.store(column, ScalarValue::of_str(text));
    EXPECT_EQ(row.evaluate_pending(empty), expected ? Verdict::True : Verdict::False);
    EXPECT_EQ(row.evaluate_pending_final(empty), expected);
  }
}

const FieldType kTsPattern = FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y"));

INSTANTIATE_TEST_SUITE_P(
    EveryTarget, CastableAgrees,
    ::testing::Combine(::testing::Values(kString, kInt64, kFloat64, kBoolean, kDate32, kTsMs, kTsPattern, dec(2),
                                         kDictionary),
                       ::testing::Values(kString, kInt64, kFloat64, kBoolean, kDate32, kTsMs, kTsS, kTsPattern,
                                         dec(0), dec(2), kDictionary)),
    [](const auto& info) {
      return type_label(std::get<0>(info.param)) + "_to_" + type_label(std::get<1>(info.param)) + "_" +
             std::to_string(info.index);
    });

// ---------------------------------------------------------------- two columns

struct PairCase {
  const char* label;
  FieldType left_type;
  const char* left;  // null: a null cell
  FieldType right_type;
  const char* right;
  CompareOp op;
  bool expected;
};

class CompareColumnsPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(CompareColumnsPairs, TypedComparisonByTheLeftKind) {
  const PairCase& c = GetParam();
  Columns columns;
  columns.add("a", c.left_type);
  columns.add("b", c.right_type);
  columns["a"].append_text(c.left ? std::optional<std::string_view>(c.left) : std::nullopt);
  columns["b"].append_text(c.right ? std::optional<std::string_view>(c.right) : std::nullopt);
  EXPECT_EQ(evaluate(P::compare_columns("a", "b", c.op), columns, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CompareColumnsPairs,
    ::testing::Values(PairCase{"IntFloatEqual", kInt64, "3", kFloat64, "3.0", CO::Eq, true},
                      PairCase{"IntFloatGreater", kInt64, "3", kFloat64, "2.5", CO::Gt, true},
                      PairCase{"FloatIntLess", kFloat64, "2.5", kInt64, "3", CO::Lt, true},
                      PairCase{"FloatNanInt", kFloat64, "nan", kInt64, "1", CO::Ne, false},
                      PairCase{"IntFloatNan", kInt64, "1", kFloat64, "nan", CO::Ne, false},
                      PairCase{"NanNan", kFloat64, "nan", kFloat64, "nan", CO::Eq, false},
                      PairCase{"IntAsFloatRounds", kInt64, "9223372036854775807", kFloat64, "9223372036854775807",
                               CO::Eq, true},
                      PairCase{"StrInt", kString, "5", kInt64, "5", CO::Ne, false},
                      PairCase{"IntStr", kInt64, "5", kString, "5", CO::Eq, false},
                      PairCase{"StrDictionary", kString, "abc", kDictionary, "abd", CO::Lt, true},
                      PairCase{"TimestampUnitsDifferEq", kTsMs, "1970-01-01 00:00:01", kTsS, "1970-01-01 00:00:01",
                               CO::Eq, false},
                      PairCase{"TimestampUnitsDifferNe", kTsMs, "1970-01-01 00:00:01", kTsS, "1970-01-01 00:00:02",
                               CO::Ne, false},
                      PairCase{"TimestampSameUnit", kTsMs, "2024-01-05", kTsMs, "2024-01-04", CO::Gt, true},
                      PairCase{"DecimalScales", dec(2), "1.50", dec(4), "1.5", CO::Eq, true},
                      PairCase{"DecimalScalesOrder", dec(4), "1.5001", dec(2), "1.50", CO::Gt, true},
                      // Precision 38 at scale 38 holds magnitudes below 1.
                      PairCase{"DecimalWidestScales", dec(0), "1", dec(38), "0.99999999999999999999999999999999999999",
                               CO::Gt, true},
                      PairCase{"DecimalNegativeWide", dec(38), "-0.5", dec(0), "0", CO::Lt, true},
                      PairCase{"BoolOrder", kBoolean, "false", kBoolean, "true", CO::Lt, true},
                      PairCase{"DateOrder", kDate32, "2024-01-05", kDate32, "2024-01-06", CO::Ge, false},
                      PairCase{"DateInt", kDate32, "1970-01-02", kInt64, "1", CO::Eq, false},
                      PairCase{"DecimalInt", dec(0), "1", kInt64, "1", CO::Eq, false},
                      PairCase{"LeftNull", kString, nullptr, kString, "a", CO::Ne, false},
                      PairCase{"RightNull", kInt64, "1", kInt64, nullptr, CO::Ne, false}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- decimals

struct DecimalCase {
  int128 a;
  std::uint8_t scale_a;
  int128 b;
  std::uint8_t scale_b;
  int expected;
};

const int128 kMax128 = static_cast<int128>((static_cast<unsigned __int128>(1) << 127) - 1);
const int128 kMin128 = -kMax128 - 1;
int128 pow10(int n) {
  int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

class DecimalOrder : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalOrder, ByValueAcrossScalesWithoutOverflow) {
  const DecimalCase& c = GetParam();
  EXPECT_EQ(compare_decimal128(c.a, c.scale_a, c.b, c.scale_b), c.expected);
  EXPECT_EQ(compare_decimal128(c.b, c.scale_b, c.a, c.scale_a), -c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecimalOrder,
    ::testing::Values(DecimalCase{5, 0, 49, 1, 1}, DecimalCase{5, 0, 50, 1, 0}, DecimalCase{5, 0, 51, 1, -1},
                      DecimalCase{-5, 0, -49, 1, -1}, DecimalCase{-5, 0, -50, 1, 0},
                      DecimalCase{kMax128, 0, kMax128, 38, 1}, DecimalCase{kMin128, 0, kMin128, 38, -1},
                      DecimalCase{kMax128, 1, kMax128, 0, -1}, DecimalCase{kMin128, 38, kMin128, 37, 1},
                      // a * 10 would overflow: a = floor(MAX / 10) against MAX at scale 1.
                      DecimalCase{kMax128 / 10, 0, kMax128, 1, -1},
                      DecimalCase{kMin128 / 10, 0, kMin128, 1, 1},
                      DecimalCase{1, 0, pow10(38), 38, 0}, DecimalCase{-1, 0, -pow10(38), 38, 0},
                      DecimalCase{1, 0, pow10(38) + 1, 38, -1}, DecimalCase{0, 0, -1, 38, 1},
                      DecimalCase{0, 3, 0, 30, 0}, DecimalCase{kMax128, 38, kMax128, 38, 0}),
    [](const auto& info) { return numbered("case", info.index); });

// ---------------------------------------------------------------- renderings

struct RenderCase {
  const char* label;
  TypedCell cell;
  std::string expected;
};

class CellText : public ::testing::TestWithParam<RenderCase> {};

TEST_P(CellText, InPlaceTextMatchesTheCanonicalRendering) {
  RenderBuffer buffer;
  EXPECT_EQ(cell_text(GetParam().cell, buffer), GetParam().expected);
}

std::vector<RenderCase> render_cases() {
  std::vector<RenderCase> cases;
  auto add = [&](const char* label, TypedCell cell, std::string expected) {
    cases.push_back(RenderCase{label, cell, std::move(expected)});
  };
  for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{42}, INT64_MAX, INT64_MIN}) {
    add("Int", TypedCell::of_int64(v), render_int64(v));
  }
  for (double v : {0.0, -0.0, 1.0, 0.1, 1e20, 1e-7, 123.456, -2.5, DBL_MAX, 5e-324, -5e-324, DBL_MIN,
                   std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    add("Float", TypedCell::of_float64(v), render_float64(v));
  }
  add("Bool", TypedCell::of_bool(true), "true");
  add("Bool", TypedCell::of_bool(false), "false");
  for (std::int32_t d : {0, -1, 19727, 11016, -719528, 2932896, 2932897, -719529, INT32_MIN, INT32_MAX}) {
    add("Date", TypedCell::of_date32(d), render_date32(d));
  }
  for (TimeUnit unit : {TimeUnit::Second, TimeUnit::Millisecond, TimeUnit::Microsecond, TimeUnit::Nanosecond}) {
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{1500}, std::int64_t{1704456000123456},
                           std::int64_t{1704456000123456789}, std::int64_t{-1704456000123}, INT64_MAX, INT64_MIN,
                           std::int64_t{253402300800}, std::int64_t{-62167219201}}) {
      add("Timestamp", TypedCell::of_timestamp(v, unit), render_timestamp(v, unit));
    }
  }
  for (int scale : {0, 1, 2, 3, 18, 37, 38}) {
    for (int128 v : {int128(0), int128(5), int128(-5), int128(12345), int128(-12345), kMax128, kMin128}) {
      add("Decimal", TypedCell::of_decimal128(v, static_cast<std::uint8_t>(scale)),
          render_decimal128(v, static_cast<std::uint8_t>(scale)));
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cells, CellText, ::testing::ValuesIn(render_cases()),
                         [](const auto& info) { return info.param.label + std::to_string(info.index); });

// ---------------------------------------------------------------- order of And / Or

struct OrderCase {
  const char* label;
  Predicate tree;
  std::vector<std::uint32_t> reads;
  bool expected;
};

class ChildOrder : public ::testing::TestWithParam<OrderCase> {};

// Columns c0..c5 hold "v0".."v5" in row 0.
TEST_P(ChildOrder, EarlierColumnsFirstAndShortCircuit) {
  Columns columns;
  for (int i = 0; i < 6; ++i) {
    const std::string name = numbered("c", i);
    columns.add(name, kString);
    columns[name].append_text(numbered("v", i));
  }
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(GetParam().tree), {});
  evaluator.bind(columns);
  columns.log_reads = true;
  EXPECT_EQ(evaluator.evaluate_row(columns, 0), GetParam().expected);
  EXPECT_EQ(columns.reads, GetParam().reads);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ChildOrder,
    ::testing::Values(
        OrderCase{"AndRightHasEarlierColumn", P::and_(P::equals("c5", "v5"), P::equals("c2", "no")), {2}, false},
        OrderCase{"AndBothRead", P::and_(P::equals("c5", "v5"), P::equals("c2", "v2")), {2, 5}, true},
        OrderCase{"OrStopsAtFirstTrue", P::or_(P::equals("c5", "v5"), P::equals("c2", "v2")), {2}, true},
        OrderCase{"OrBothRead", P::or_(P::equals("c5", "no"), P::equals("c2", "no")), {2, 5}, false},
        OrderCase{"AndLeftEarlier", P::and_(P::equals("c1", "no"), P::equals("c4", "v4")), {1}, false},
        // Equal keys keep the left child first.
        OrderCase{"TieKeepsLeft", P::and_(P::compare_columns("c3", "c4", CompareOp::Eq), P::equals("c3", "v3")),
                  {3, 4}, false},
        OrderCase{"MissingColumnGoesLast", P::and_(P::is_null("absent"), P::equals("c4", "no")), {4}, false},
        OrderCase{"NestedMinimum",
                  P::and_(P::equals("c3", "no"), P::or_(P::equals("c5", "v5"), P::equals("c0", "v0"))), {0, 3},
                  false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ChildOrder, WithoutColumnsTheLeftChildIsFirst) {
  Columns columns;
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(P::and_(P::is_null("x"), P::is_null("y"))), {});
  EXPECT_TRUE(evaluator.evaluate_row(columns, 0));
  EXPECT_FALSE(evaluator.nodes()[0].right_first);
}

// ---------------------------------------------------------------- binding

TEST(Binding, NamesGoThroughRenamesAndLateColumnsAreFound) {
  const Predicate tree = P::and_(P::equals("input", "v"), P::not_(P::is_null("late")));
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(tree), RenameMap{{"input", "output"}});
  Columns columns;
  columns.add("input", kString);  // the input name itself is not the column
  columns.add("output", kString);
  columns["input"].append_text("x");
  columns["output"].append_text("v");
  EXPECT_FALSE(evaluator.evaluate_row(columns, 0));  // "late" does not exist yet

  columns.add("late", kInt64);
  columns["late"].append_text("1");
  EXPECT_TRUE(evaluator.evaluate_row(columns, 0));
  columns["output"].append_text("w");
  columns["late"].append_text("2");
  EXPECT_FALSE(evaluator.evaluate_row(columns, 1));
}

TEST(Binding, CompareLiteralFollowsTheColumnKind) {
  // The same tree bound to an Int64 column and to a String column.
  const auto tree = std::make_shared<const Predicate>(P::compare("c", "9", CompareOp::Lt));
  Columns ints;
  ints.add("c", kInt64);
  ints["c"].append_text("10");
  Columns texts;
  texts.add("c", kString);
  texts["c"].append_text("10");
  PredicateEvaluator on_ints(tree, {});
  PredicateEvaluator on_texts(tree, {});
  EXPECT_FALSE(on_ints.evaluate_row(ints, 0));  // 10 < 9 is false
  EXPECT_TRUE(on_texts.evaluate_row(texts, 0));  // "10" < "9" in byte order
}

// ---------------------------------------------------------------- pending row

struct PendingCase {
  const char* label;
  Predicate tree;
  std::vector<std::pair<std::string, FieldType>> columns;
  std::vector<std::pair<std::string, ScalarValue>> values;
  Verdict provisional;
  bool final;
};

class PendingEvaluation : public ::testing::TestWithParam<PendingCase> {};

TEST_P(PendingEvaluation, ProvisionalAndFinal) {
  const PendingCase& c = GetParam();
  Columns columns;
  for (const auto& [name, type] : c.columns) columns.add(name, type);
  PendingRow row(std::make_shared<const Predicate>(c.tree), {}, {});
  for (const auto& [name, value] : c.values) row.store(columns.index(name), value);
  EXPECT_EQ(row.evaluate_pending(columns), c.provisional);
  EXPECT_EQ(row.evaluate_pending_final(columns), c.final);
}

using SV = ScalarValue;
const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Logic, PendingEvaluation,
    ::testing::Values(
        PendingCase{"AndHalfKnown", P::and_(P::equals("a", "1"), P::equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("1")}}, U, false},
        PendingCase{"AndFalseDecides", P::and_(P::equals("a", "1"), P::equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("0")}}, F, false},
        PendingCase{"OrTrueDecides", P::or_(P::equals("a", "1"), P::equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("1")}}, T, true},
        PendingCase{"OrHalfFalse", P::or_(P::equals("a", "1"), P::equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("0")}}, U, false},
        PendingCase{"OrMissingNotEqualsIsTrueAtTheEnd", P::or_(P::equals("a", "1"), P::not_equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("0")}}, U, true},
        PendingCase{"AndBothKnown", P::and_(P::equals("a", "1"), P::equals("b", "2")),
                    {{"a", kString}, {"b", kString}}, {{"a", SV::of_str("1")}, {"b", SV::of_str("2")}}, T, true},
        PendingCase{"NotOfUndecided", P::not_(P::starts_with("a", "x")), {{"a", kString}}, {}, U, true},
        PendingCase{"ConstantFalse", P::constant(false), {}, {}, F, false},
        PendingCase{"AbsentColumn", P::equals("zz", "x"), {{"a", kString}}, {{"a", SV::of_str("x")}}, U, false},
        PendingCase{"CompareColumnsHalf", P::compare_columns("a", "b", CompareOp::Eq),
                    {{"a", kInt64}, {"b", kFloat64}}, {{"a", SV::of_int64(3)}}, U, false},
        PendingCase{"CompareColumnsBoth", P::compare_columns("a", "b", CompareOp::Eq),
                    {{"a", kInt64}, {"b", kFloat64}}, {{"a", SV::of_int64(3)}, {"b", SV::of_str("3.0")}}, T, true},
        PendingCase{"LaterValueReplaces", P::equals("a", "2"), {{"a", kString}},
                    {{"a", SV::of_str("1")}, {"a", SV::of_str("2")}}, T, true}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Conversions, PendingEvaluation,
    ::testing::Values(
        PendingCase{"IntFromText", P::compare("a", "11", CompareOp::Gt), {{"a", kInt64}}, {{"a", SV::of_str("12")}},
                    T, true},
        PendingCase{"IntFromUntrimmedText", P::equals("a", "12"), {{"a", kInt64}}, {{"a", SV::of_str(" 12")}}, U,
                    false},
        PendingCase{"IntFromUntrimmedTextNotEquals", P::not_equals("a", "12"), {{"a", kInt64}},
                    {{"a", SV::of_str(" 12")}}, U, true},
        PendingCase{"IntFromFloatTruncates", P::equals("a", "-12"), {{"a", kInt64}}, {{"a", SV::of_float64(-12.7)}},
                    T, true},
        PendingCase{"IntFromNan", P::equals("a", "0"), {{"a", kInt64}}, {{"a", SV::of_float64(kNan)}}, T, true},
        PendingCase{"IntFromHugeFloat", P::equals("a", "9223372036854775807"), {{"a", kInt64}},
                    {{"a", SV::of_float64(1e300)}}, T, true},
        PendingCase{"IntFromDate", P::equals("a", "19727"), {{"a", kInt64}}, {{"a", SV::of_date32(19727)}}, T,
                    true},
        PendingCase{"IntFromBoolIsNull", P::is_null("a"), {{"a", kInt64}}, {{"a", SV::of_bool(true)}}, T, true},
        PendingCase{"IntFromNull", P::equals("a", "Null"), {{"a", kInt64}}, {{"a", SV::null()}}, U, false},
        PendingCase{"StringFromDate", P::equals("a", "2024-01-05"), {{"a", kString}},
                    {{"a", SV::of_date32(19727)}}, T, true},
        PendingCase{"StringFromTimestampIsTheRawCount", P::equals("a", "-5"), {{"a", kString}},
                    {{"a", SV::of_timestamp(-5)}}, T, true},
        PendingCase{"StringFromNullIsNoText", P::equals("a", "Null"), {{"a", kString}}, {{"a", SV::null()}}, U,
                    false},
        PendingCase{"StringFromNullIsNull", P::is_null("a"), {{"a", kString}}, {{"a", SV::null()}}, T, true},
        PendingCase{"DictionaryFromNullIsNull", P::is_null("a"), {{"a", kDictionary}}, {{"a", SV::null()}}, T,
                    true},
        PendingCase{"StringFromInvalidUtf8IsNull", P::is_null("a"), {{"a", kString}}, {{"a", SV::of_str("a\xff")}},
                    T, true},
        PendingCase{"DictionaryFromDate", P::equals("a", "1970-01-02"), {{"a", kDictionary}},
                    {{"a", SV::of_date32(1)}}, T, true},
        PendingCase{"StringFromInt", P::equals("a", "-7"), {{"a", kString}}, {{"a", SV::of_int64(-7)}}, T, true},
        PendingCase{"StringFromFloat", P::equals("a", "1.5"), {{"a", kString}}, {{"a", SV::of_float64(1.5)}}, T,
                    true},
        PendingCase{"StringFromBool", P::equals("a", "false"), {{"a", kString}}, {{"a", SV::of_bool(false)}}, T,
                    true},
        PendingCase{"FloatFromInt", P::compare("a", "3", CompareOp::Eq), {{"a", kFloat64}},
                    {{"a", SV::of_int64(3)}}, T, true},
        PendingCase{"FloatFromTimestamp", P::equals("a", "5"), {{"a", kFloat64}}, {{"a", SV::of_timestamp(5)}}, T,
                    true},
        PendingCase{"BoolFromText", P::equals("a", "true"), {{"a", kBoolean}}, {{"a", SV::of_str("true")}}, T,
                    true},
        PendingCase{"BoolFromUpperText", P::equals("a", "true"), {{"a", kBoolean}}, {{"a", SV::of_str("TRUE")}}, U,
                    false},
        PendingCase{"DateFromPaddedText", P::compare("a", "19727", CompareOp::Eq), {{"a", kDate32}},
                    {{"a", SV::of_str(" 2024-01-05 ")}}, T, true},
        PendingCase{"DateFromInt", P::equals("a", "5"), {{"a", kDate32}}, {{"a", SV::of_int64(5)}}, U, false},
        PendingCase{"TimestampFromText", P::compare("a", "1704456000000", CompareOp::Eq), {{"a", kTsMs}},
                    {{"a", SV::of_str("2024-01-05 12:00:00")}}, T, true},
        PendingCase{"TimestampRawCount", P::equals("a", "1970-01-01 00:00:00.005"), {{"a", kTsMs}},
                    {{"a", SV::of_timestamp(5)}}, T, true},
        PendingCase{"TimestampCustomPattern", P::compare("a", "1704412800", CompareOp::Eq),
                    {{"a", FieldType::timestamp(TimeUnit::Second, "%d/%m/%Y")}}, {{"a", SV::of_str("05/01/2024")}},
                    T, true},
        PendingCase{"DecimalFromText", P::equals("a", "1.23"), {{"a", dec(2)}}, {{"a", SV::of_str("1.239")}}, T,
                    true},
        PendingCase{"DecimalFromInt", P::equals("a", "1"), {{"a", dec(2)}}, {{"a", SV::of_int64(1)}}, U, false}),
    [](const auto& info) { return std::string(info.param.label); });

// The verdicts a committed row gets for the same values.
INSTANTIATE_TEST_SUITE_P(
    Castability, PendingEvaluation,
    ::testing::Values(
        PendingCase{"DeclaredTypeMatches", P::castable_to("a", kInt64), {{"a", kInt64}}, {{"a", SV::of_int64(5)}},
                    T, true},
        PendingCase{"UnconvertedValue", P::castable_to("a", kInt64), {{"a", kInt64}}, {{"a", SV::of_str("abc")}}, F,
                    false},
        PendingCase{"TextToFloat", P::castable_to("a", kFloat64), {{"a", kString}}, {{"a", SV::of_str("1.5")}}, T,
                    true},
        PendingCase{"NonTextToFloat", P::castable_to("a", kFloat64), {{"a", kString}}, {{"a", SV::of_int64(1)}}, T,
                    true},
        PendingCase{"TextToBoolean", P::castable_to("a", kBoolean), {{"a", kString}}, {{"a", SV::of_str("yes")}}, T,
                    true},
        PendingCase{"TextToDate", P::castable_to("a", kDate32), {{"a", kString}},
                    {{"a", SV::of_str("2024-01-05")}}, T, true},
        PendingCase{"AnyToDictionary", P::castable_to("a", kDictionary), {{"a", kInt64}}, {{"a", SV::of_int64(1)}},
                    F, false},
        PendingCase{"TimestampSamePattern", P::castable_to("a", FieldType::timestamp(TimeUnit::Millisecond, "%d/%m/%Y")),
                    {{"a", FieldType::timestamp(TimeUnit::Millisecond, "%d/%m/%Y")}},
                    {{"a", SV::of_str("05/01/2024")}}, T, true},
        PendingCase{"TimestampOtherPattern", P::castable_to("a", kTsMs),
                    {{"a", FieldType::timestamp(TimeUnit::Millisecond, "%d/%m/%Y")}},
                    {{"a", SV::of_str("05/01/2024")}}, T, true},
        PendingCase{"DecimalSameScale", P::castable_to("a", dec(2)), {{"a", dec(2)}}, {{"a", SV::of_str("1.5")}}, T,
                    true},
        PendingCase{"DecimalOtherScale", P::castable_to("a", dec(3)), {{"a", dec(2)}}, {{"a", SV::of_str("1.5")}}, T,
                    true}),
    [](const auto& info) { return std::string(info.param.label); });

// The pending view of a buffered value is the cell the column reads back once
// the value is appended: same kind, same text.
class ConvertBuffered : public ::testing::TestWithParam<FieldType> {};

TEST_P(ConvertBuffered, EqualsTheStoredCell) {
  const FieldType& type = GetParam();
  const std::vector<ScalarValue> values = {
      SV::of_str("12"),          SV::of_str(" 12"),       SV::of_str("2024-01-05"),  SV::of_str("true"),
      SV::of_str("1.5"),         SV::of_str("abc"),       SV::of_str("a\xff"),       SV::of_str(""),
      SV::of_str("2024-01-05 12:00:00"),                  SV::of_int64(-7),          SV::of_float64(-2.7),
      SV::of_float64(kNan),      SV::of_bool(true),       SV::of_date32(19727),      SV::of_date32(-3),
      SV::of_timestamp(5),       SV::of_timestamp(INT64_MIN),                        SV::null()};
  PredicateEvaluator::BoundColumn column;
  for (const ScalarValue& v : values) {
    ColumnAccumulator stored = ColumnAccumulator::create(type, 1);
    stored.append_value(v);
    column.kind = stored.kind();
    column.type = type;
    const TypedCell expected = stored.cell_at(0);
    RenderBuffer buffer;
    RenderBuffer expected_buffer;
    const TypedCell cell = convert_buffered(v, column, buffer);
    ASSERT_EQ(cell.kind, expected.kind) << v.debug_text();
    EXPECT_EQ(cell_text(cell, buffer), cell_text(expected, expected_buffer)) << v.debug_text();
  }
}

INSTANTIATE_TEST_SUITE_P(EveryColumnType, ConvertBuffered,
                         ::testing::Values(kString, kInt64, kFloat64, kBoolean, kDate32, kTsMs, dec(2), kDictionary,
                                           FieldType::timestamp(TimeUnit::Second, "%Y-%m-%d")),
                         [](const auto& info) { return type_label(info.param); });

// ---------------------------------------------------------------- pending protocol

TEST(PendingProtocol, PredicateColumnsTriggerEvaluation) {
  Columns columns;
  const std::uint32_t a = columns.add("a", kString);
  const std::uint32_t b = columns.add("b", kString);
  const std::vector<std::string> predicate_columns = {"a", "c"};
  PendingRow row(std::make_shared<const Predicate>(P::and_(P::equals("a", "1"), P::is_null("c"))), {},
                 predicate_columns);
  row.reset_pending(0, 2);

  row.buffer_value(b, "b", SV::of_str("x"), columns);
  EXPECT_FALSE(row.is_predicate_column(b));
  EXPECT_TRUE(row.is_predicate_column(a));  // marked when the list was taken over
  EXPECT_EQ(row.verdict(), Verdict::Undecided);
  EXPECT_FALSE(row.first_predicate_column().has_value());

  row.buffer_value(a, "a", SV::of_str("1"), columns);
  EXPECT_EQ(row.verdict(), Verdict::True);
  EXPECT_EQ(row.first_predicate_column(), a);

  // A predicate column created later is recognised by its name.
  const std::uint32_t c = columns.add("c", kString);
  row.buffer_value(c, "c", SV::of_str("z"), columns);
  EXPECT_TRUE(row.is_predicate_column(c));
  EXPECT_EQ(row.verdict(), Verdict::False);
  EXPECT_EQ(row.first_predicate_column(), a);

  // A second value of a column replaces the first in place.
  row.buffer_value(a, "a", SV::of_str("2"), columns);
  ASSERT_EQ(row.entry_count(), 3u);
  EXPECT_EQ(row.entry_column(0), b);
  EXPECT_EQ(row.entry_column(1), a);
  EXPECT_EQ(row.entry_value(1).str, "2");
  EXPECT_EQ(row.entry_column(2), c);
  EXPECT_FALSE(row.decide(columns));

  row.clear_row();
  EXPECT_EQ(row.entry_count(), 0u);
  EXPECT_EQ(row.verdict(), Verdict::Undecided);
  // Nothing buffered: the final evaluation settles the row.
  EXPECT_FALSE(row.decide(columns));
}

TEST(PendingProtocol, DecideKeepsADecidedVerdict) {
  Columns columns;
  const std::uint32_t a = columns.add("a", kString);
  const std::vector<std::string> predicate_columns = {"a"};
  PendingRow row(std::make_shared<const Predicate>(P::or_(P::equals("a", "1"), P::equals("b", "1"))), {},
                 predicate_columns);
  row.buffer_value(a, "a", SV::of_str("1"), columns);
  EXPECT_EQ(row.verdict(), Verdict::True);
  EXPECT_TRUE(row.decide(columns));
}

struct SwitchCase {
  std::optional<std::uint32_t> first_predicate_column;
  std::uint64_t width;
  std::uint64_t row_index;
  bool buffering_after;
};

class BufferingSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(BufferingSwitch, OffWhenTheFirstPredicateColumnIsInTheLastFifth) {
  const SwitchCase& c = GetParam();
  Columns columns;
  std::vector<std::uint32_t> indices;
  for (int i = 0; i < 12; ++i) indices.push_back(columns.add(numbered("c", i), kString));
  const std::vector<std::string> predicate_columns = {numbered("c", c.first_predicate_column.value_or(0))};
  PendingRow row(std::make_shared<const Predicate>(P::is_null(predicate_columns[0])), {}, predicate_columns);
  if (c.first_predicate_column) {
    const std::uint32_t column = *c.first_predicate_column;
    row.buffer_value(column, predicate_columns[0], SV::of_str("x"), columns);
  }
  row.reset_pending(c.row_index, c.width);
  EXPECT_EQ(row.buffering(), c.buffering_after);
  EXPECT_EQ(row.entry_count(), 0u);
  // Never back on.
  row.reset_pending(c.row_index + 1, 1000);
  EXPECT_EQ(row.buffering(), c.buffering_after);
}

INSTANTIATE_TEST_SUITE_P(Cases, BufferingSwitch,
                         ::testing::Values(SwitchCase{8, 10, 1, false}, SwitchCase{7, 10, 1, true},
                                           SwitchCase{8, 10, 0, true}, SwitchCase{std::nullopt, 10, 5, true},
                                           SwitchCase{0, 0, 1, false}, SwitchCase{2, 4, 2, true},
                                           SwitchCase{3, 3, 2, false}, SwitchCase{8, 12, 1, true}, SwitchCase{9, 12, 1, false}),
                         [](const auto& info) { return numbered("case", info.index); });

TEST(PendingStorage, ValuesAreOwnedCopiesAndSpillPastTheInlineEntries) {
  PendingRow row(std::make_shared<const Predicate>(P::constant(true)), {}, {});
  std::string source = "first text";
  row.store(0, SV::of_str(source));
  source.assign("overwritten!");
  EXPECT_EQ(row.value_of(0)->str, "first text");

  for (std::uint32_t column = 1; column < 40; ++column) {
    row.store(column, SV::of_str(numbered("v", column)));
  }
  EXPECT_TRUE(row.spilled());
  EXPECT_EQ(row.entry_count(), 40u);
  EXPECT_EQ(row.value_of(0)->str, "first text");
  EXPECT_EQ(row.value_of(39)->str, "v39");
  row.store(35, SV::of_float64(2.5));
  EXPECT_EQ(row.entry_count(), 40u);
  EXPECT_EQ(row.entry_value(35).kind, FieldTag::Float64);
  EXPECT_EQ(row.entry_value(35).f64, 2.5);

  row.clear_row();
  EXPECT_FALSE(row.value_of(0).has_value());
}

TEST(PendingStorage, PredicateColumnsBeyondTheInlineWord) {
  ColumnBitset bits;
  for (std::uint32_t c : {0u, 63u, 64u, 200u}) bits.set(c);
  for (std::uint32_t c : {0u, 63u, 64u, 200u}) EXPECT_TRUE(bits.test(c)) << c;
  for (std::uint32_t c : {1u, 62u, 65u, 128u, 199u, 5000u}) EXPECT_FALSE(bits.test(c)) << c;
}

// ---------------------------------------------------------------- allocations

TEST(Allocations, CommittedRowsAllocateNothing) {
  Columns columns;
  columns.add("name", kString);
  columns.add("n", kInt64);
  columns.add("d", kDate32);
  columns.add("f", kFloat64);
  columns.add("m", dec(2));
  columns.add("t", kTsMs);
  for (int i = 0; i < 100; ++i) {
    columns["name"].append_text(i % 3 ? numbered("alpha", i) : " beta ");
    columns["n"].append_text(std::to_string(i));
    columns["d"].append_text("2024-01-" + std::string(i % 2 ? "05" : "06"));
    columns["f"].append_text(std::to_string(i * 0.25));
    columns["m"].append_text(std::to_string(i) + ".5");
    columns["t"].append_text(numbered("2024-01-05 12:00:0", i % 10));
  }
  std::vector<std::string> list;
  for (int i = 0; i < 30; ++i) list.push_back(numbered("alpha", i));
  const Predicate tree = P::or_(
      P::and_(P::or_(P::starts_with("name", "al"), P::in("name", list)),
              P::and_(P::compare("n", "50", CompareOp::Gt), P::or_(P::equals("d", "2024-01-05"),
                                                                   P::not_(P::compare("f", "0.5", CompareOp::Lt))))),
      P::and_(P::and_(P::trim_compare("name", "beta", TrimMode::Both, CompareOp::Eq),
                      P::length_compare("name", "6", CompareOp::Eq)),
              P::and_(P::compare("m", "10.5", CompareOp::Ge),
                      P::or_(P::ends_with("t", ":05"), P::contains("f", ".")))));
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(tree), {});
  int kept = 0;
  kept += evaluator.evaluate_row(columns, 0);  // binds
  start_counting_allocations();
  for (std::uint64_t row = 1; row < 100; ++row) kept += evaluator.evaluate_row(columns, row);
  EXPECT_EQ(stop_counting_allocations(), 0u);
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 100);
}

// The zero-allocation tests below mean something only if the counter sees
// allocations at all.
TEST(Allocations, CounterSeesHeapAllocations) {
  start_counting_allocations();
  auto* p = new std::string(100, 'x');
  EXPECT_GE(stop_counting_allocations(), 1u);
  delete p;
}

TEST(Allocations, PendingRowsAllocateNothingOnceWarm) {
  Columns columns;
  const std::uint32_t a = columns.add("a", kString);
  const std::uint32_t b = columns.add("b", kInt64);
  const std::uint32_t c = columns.add("c", kFloat64);
  const std::vector<std::string> predicate_columns = {"a", "b"};
  PendingRow row(
      std::make_shared<const Predicate>(P::and_(P::starts_with("a", "k"), P::compare("b", "10", CompareOp::Lt))), {},
      predicate_columns);
  const char* texts[] = {"keep-me", "drop-me"};
  const char* numbers[] = {"5", "50"};
  int kept = 0;
  for (int r = 0; r < 200; ++r) {
    if (r == 1) start_counting_allocations();
    row.reset_pending(static_cast<std::uint64_t>(kept), 3);
    row.buffer_value(c, "c", SV::of_float64(r), columns);
    row.buffer_value(a, "a", SV::of_str(texts[r % 2]), columns);
    row.buffer_value(b, "b", SV::of_str(numbers[r % 4 / 2]), columns);
    kept += row.decide(columns);
    row.clear_row();
  }
  EXPECT_EQ(stop_counting_allocations(), 0u);
  EXPECT_EQ(kept, 50);
}

// ---------------------------------------------------------------- threads

TEST(Threads, OneTreeEvaluatedFromSeveralThreadsAtOnce) {
  const auto tree = std::make_shared<const Predicate>(
      P::or_(P::and_(regex("text", "[0-9]{2}7$"), P::lowercase_compare("text", "row-", CompareOp::Gt)),
             P::and_(P::in("text", {"ROW-5", "ROW-50", "ROW-500"}), P::not_(P::is_null("text")))));
  auto make_columns = [] {
    auto columns = std::make_unique<Columns>();
    columns->add("text", kString);
    for (int i = 0; i < 2000; ++i) (*columns)["text"].append_text(numbered("ROW-", i));
    return columns;
  };
  auto count_matches = [&](PredicateEvaluator& evaluator, const Columns& columns) {
    int count = 0;
    for (std::uint64_t row = 0; row < 2000; ++row) count += evaluator.evaluate_row(columns, row);
    return count;
  };
  const auto reference_columns = make_columns();
  PredicateEvaluator reference(tree, {});
  const int expected = count_matches(reference, *reference_columns);
  ASSERT_EQ(expected, 190 + 3);  // 107, 117, ..., 1997, and the three listed rows

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      const auto columns = make_columns();
      PredicateEvaluator evaluator(tree, {});
      for (int round = 0; round < 5; ++round) {
        if (count_matches(evaluator, *columns) != expected) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace vorpel
