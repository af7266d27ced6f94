#include "core/table_builder/table_builder.h"

#include <gtest/gtest.h>

#include <arrow/api.h>
#include <arrow/json/from_string.h>

#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/predicate/predicate.h"

namespace vorpel {

// Reaches the builder's internals the predicate paths build on.
class TableBuilderTestAccess {
 public:
  static const std::vector<std::string>& column_names(const TableBuilder& b) { return b.column_names_; }
  static const std::optional<CoreError>& pending_error(const TableBuilder& b) { return b.pending_error_; }
  static void check_strict(TableBuilder& b, std::size_t column, const ScalarValue& v) { b.check_strict(column, v); }
  static std::optional<std::string> select(const TableBuilder& b, std::string_view name) {
    std::optional<std::string_view> out = b.select(name);
    return out ? std::optional<std::string>(std::string(*out)) : std::nullopt;
  }
};

namespace {

using Access = TableBuilderTestAccess;
using Batch = std::shared_ptr<arrow::RecordBatch>;

std::shared_ptr<const BuilderOptions> share(BuilderOptions o) {
  return std::make_shared<const BuilderOptions>(std::move(o));
}

// The cast's configuration: declared column "value" of `type`, strict types.
std::shared_ptr<const BuilderOptions> cast_options(const FieldType& type, bool strict = true) {
  BuilderOptions o;
  o.declared_columns = {"value"};
  o.column_types.emplace("value", type);
  o.strict_types = strict;
  return share(std::move(o));
}

using Values = std::vector<std::optional<std::string>>;

// Feeds one row per value through push_scalar; a missing value is a row
// without any field.
void feed_values(TableBuilder& b, const Values& values) {
  for (const auto& v : values) {
    b.begin_row();
    if (v) b.push_scalar(ScalarValue::of_str(*v));
    b.end_row();
  }
}

struct Cell {
  std::string name;
  std::string text;
};
using Row = std::vector<Cell>;

void feed_rows(TableBuilder& b, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    b.begin_row();
    for (const Cell& c : row) b.set_field(c.name, ScalarValue::of_str(c.text));
    b.end_row();
  }
}

Batch finish_ok(TableBuilder& b) {
  Result<Batch> r = b.finish();
  if (!r) {
    ADD_FAILURE() << "finish failed: " << r.error().text();
    return nullptr;
  }
  return *r;
}

CoreError finish_error(TableBuilder& b) {
  Result<Batch> r = b.finish();
  if (r) {
    ADD_FAILURE() << "finish succeeded unexpectedly";
    return CoreError::lifetime("no error");
  }
  return r.error();
}

std::shared_ptr<arrow::Array> from_json(const std::shared_ptr<arrow::DataType>& type, const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

std::shared_ptr<arrow::DataType> dict_type() { return arrow::dictionary(arrow::int32(), arrow::utf8()); }

void expect_array(const std::shared_ptr<arrow::Array>& actual, const std::shared_ptr<arrow::Array>& expected) {
  ASSERT_NE(actual, nullptr);
  EXPECT_TRUE(actual->Equals(*expected)) << "actual:\n" << actual->ToString() << "\nexpected:\n"
                                         << expected->ToString();
}

std::vector<std::string> field_names(const Batch& batch) {
  std::vector<std::string> names;
  for (const auto& f : batch->schema()->fields()) names.push_back(f->name());
  return names;
}

// ---------------------------------------------------------------- output layout

// name, Arrow type, expected values as JSON (dictionary columns by value).
using ExpectedColumn = std::tuple<std::string, std::shared_ptr<arrow::DataType>, std::string>;

struct LayoutCase {
  std::string label;
  std::function<void(BuilderOptions&)> configure;
  Values pushed;           // one row per entry through push_scalar, or
  std::vector<Row> rows;   // rows of named fields through set_field
  std::vector<ExpectedColumn> columns;
  std::int64_t rows_out;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, ColumnsOrderTypesAndValues) {
  const LayoutCase& c = GetParam();
  BuilderOptions o;
  c.configure(o);
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, c.pushed.size());
  feed_values(b, c.pushed);
  feed_rows(b, c.rows);
  EXPECT_EQ(b.row_index(), static_cast<std::uint64_t>(c.rows_out));
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->num_rows(), c.rows_out);
  ASSERT_EQ(batch->num_columns(), static_cast<int>(c.columns.size())) << batch->schema()->ToString();
  for (int i = 0; i < batch->num_columns(); ++i) {
    const auto& [name, type, json] = c.columns[static_cast<std::size_t>(i)];
    SCOPED_TRACE(name);
    EXPECT_EQ(batch->schema()->field(i)->name(), name);
    EXPECT_TRUE(batch->schema()->field(i)->nullable());
    expect_array(batch->column(i), from_json(type, json));
  }
}

void no_options(BuilderOptions&) {}
std::function<void(BuilderOptions&)> typed(FieldType type) {
  return [type](BuilderOptions& o) {
    o.declared_columns = {"value"};
    o.column_types.emplace("value", type);
    o.strict_types = true;
  };
}
const auto utf8 = arrow::utf8();

INSTANTIATE_TEST_SUITE_P(
    Cases, LayoutTest,
    ::testing::Values(
        // The cast's configuration.
        LayoutCase{"CastInt64", typed(FieldType::simple(FieldTag::Int64)), {"1", "-2", std::nullopt}, {},
                   {{"value", arrow::int64(), "[1, -2, null]"}}, 3},
        LayoutCase{"CastNoRows", typed(FieldType::simple(FieldTag::Boolean)), {}, {},
                   {{"value", arrow::boolean(), "[]"}}, 0},
        // Discovered columns.
        LayoutCase{"OrderOfFirstAppearance", no_options, {}, {{{"b", "1"}}, {{"a", "2"}, {"b", "3"}}},
                   {{"b", utf8, R"(["1", "3"])"}, {"a", utf8, R"([null, "2"])"}}, 2},
        LayoutCase{"FirstSeenInRowFive", no_options, {},
                   {{{"a", "0"}}, {}, {}, {}, {{"a", "4"}}, {{"late", "x"}}, {{"a", "6"}}},
                   {{"a", utf8, R"(["0", null, null, null, "4", null, "6"])"},
                    {"late", utf8, R"([null, null, null, null, null, "x", null])"}},
                   7},
        LayoutCase{"LastValueWins", no_options, {}, {{{"a", "1"}, {"b", "2"}, {"a", "3"}}, {{"a", "4"}, {"a", "5"}}},
                   {{"a", utf8, R"(["3", "5"])"}, {"b", utf8, R"(["2", null])"}}, 2},
        LayoutCase{"EmptyRowIsNullEverywhere", no_options, {}, {{{"a", "1"}, {"b", "2"}}, {}, {{"b", "3"}}},
                   {{"a", utf8, R"(["1", null, null])"}, {"b", utf8, R"(["2", null, "3"])"}}, 3},
        LayoutCase{"RowsWithoutColumnsStillCount", no_options, {}, {{}, {}, {}}, {}, 3},
        // Selection of the pushed field "value".
        LayoutCase{"PushDiscovers", no_options, {"1", std::nullopt}, {}, {{"value", utf8, R"(["1", null])"}}, 2},
        LayoutCase{"RenameTypedByOutputName",
                   [](BuilderOptions& o) {
                     o.renames.emplace("value", "price");
                     o.column_types.emplace("price", FieldType::simple(FieldTag::Int64));
                     o.column_types.emplace("value", FieldType::simple(FieldTag::Boolean));
                   },
                   {"1", "2"}, {}, {{"price", arrow::int64(), "[1, 2]"}}, 2},
        LayoutCase{"Excluded", [](BuilderOptions& o) { o.excluded_columns.insert("value"); }, {"1", "2"}, {}, {}, 2},
        LayoutCase{"ExcludedAfterRename",
                   [](BuilderOptions& o) {
                     o.renames.emplace("value", "p");
                     o.excluded_columns.insert("p");
                   },
                   {"1"}, {}, {}, 1},
        LayoutCase{"NotDeclaredIsDropped", [](BuilderOptions& o) { o.declared_columns = {"a"}; }, {"1", "2"}, {},
                   {{"a", utf8, "[null, null]"}}, 2},
        LayoutCase{"DeclaredNeverSeenHasItsType",
                   [](BuilderOptions& o) {
                     o.declared_columns = {"value", "b"};
                     o.column_types.emplace("b", FieldType::simple(FieldTag::Date32));
                   },
                   {"x", "y"}, {}, {{"value", utf8, R"(["x", "y"])"}, {"b", arrow::date32(), "[null, null]"}}, 2},
        LayoutCase{"DeclaredOrderNotArrivalOrder",
                   [](BuilderOptions& o) {
                     o.declared_columns = {"b", "value"};
                     o.dictionary_columns.insert("b");
                   },
                   {"x"}, {}, {{"b", dict_type(), "[null]"}, {"value", utf8, R"(["x"])"}}, 1},
        LayoutCase{"DeclaredRepeatsAndExclusions",
                   [](BuilderOptions& o) {
                     o.declared_columns = {"value", "b", "value", "c"};
                     o.excluded_columns.insert("b");
                   },
                   {"x"}, {}, {{"value", utf8, R"(["x"])"}, {"c", utf8, "[null]"}}, 1},
        LayoutCase{"DictionaryColumn", [](BuilderOptions& o) { o.dictionary_columns.insert("value"); },
                   {"q", std::nullopt, "r", "q"}, {}, {{"value", dict_type(), R"(["q", null, "r", "q"])"}}, 4}),
    [](const auto& info) { return info.param.label; });

// Columns past the first 64 live in later words of the present bitset.
TEST(WideTableTest, BackfillAcrossPresentWords) {
  constexpr int kColumns = 130;
  TableBuilder b(share({}), std::nullopt, std::nullopt, 0);
  auto name = [](int i) { return std::string("c").append(std::to_string(i)); };
  // Row 0 creates the even columns (65 of them, two words); row 1 first sees
  // the odd ones (a third word), backfilled for row 0; row 2 fills only the
  // last column.
  b.begin_row();
  for (int i = kColumns - 2; i >= 0; i -= 2) b.set_field(name(i), ScalarValue::of_str("r0"));
  b.end_row();
  b.begin_row();
  for (int i = 1; i < kColumns; i += 2) b.set_field(name(i), ScalarValue::of_str("r1"));
  b.end_row();
  b.begin_row();
  b.set_field(name(kColumns - 1), ScalarValue::of_str("r2"));
  b.end_row();
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  ASSERT_EQ(batch->num_columns(), kColumns);
  for (int i = 0; i < kColumns; ++i) {
    SCOPED_TRACE(name(i));
    const char* expected = i % 2 == 0            ? R"(["r0", null, null])"
                           : i == kColumns - 1 ? R"([null, "r1", "r2"])"
                                               : R"([null, "r1", null])";
    expect_array(batch->GetColumnByName(name(i)), from_json(utf8, expected));
  }
}

// ---------------------------------------------------------------- auto-dictionary

struct DictCase {
  std::string label;
  std::uint64_t rows;
  std::uint64_t distinct;
  std::optional<double> ratio;
  std::optional<std::uint64_t> max_distinct;
  bool auto_dictionary;
  bool expect_dictionary;
};

class AutoDictionaryTest : public ::testing::TestWithParam<DictCase> {};

std::string to_json(const Values& values) {
  std::string out = "[";
  for (const auto& v : values) {
    if (out.size() > 1) out += ',';
    if (v) {
      out.append(1, '"').append(*v).append(1, '"');
    } else {
      out += "null";
    }
  }
  return out + "]";
}

TEST_P(AutoDictionaryTest, ConvertsOnlyWithinTheLimit) {
  const DictCase& c = GetParam();
  BuilderOptions o;
  o.auto_dictionary = c.auto_dictionary;
  o.dictionary_max_ratio = c.ratio;
  o.dictionary_max_distinct = c.max_distinct;
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, c.rows);
  // Every fourth row is null (nulls count as values but not as distinct
  // texts); the valid rows cycle through exactly `distinct` texts.
  Values input;
  std::uint64_t valid = 0;
  for (std::uint64_t i = 0; i < c.rows; ++i) {
    if (i % 4 == 3) {
      input.push_back(std::nullopt);
    } else {
      input.push_back("t" + std::to_string(valid++ % c.distinct));
    }
  }
  feed_values(b, input);
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  const std::shared_ptr<arrow::Array>& column = batch->column(0);
  EXPECT_EQ(column->type()->Equals(dict_type()), c.expect_dictionary) << column->type()->ToString();
  // Same values and nulls in the same rows either way.
  expect_array(column, from_json(column->type(), to_json(input)));
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, AutoDictionaryTest,
    ::testing::Values(
        DictCase{"Rows511NeverConvert", 511, 1, std::nullopt, std::nullopt, true, false},
        DictCase{"Rows512Distinct25Converts", 512, 25, std::nullopt, std::nullopt, true, true},
        DictCase{"Rows512Distinct26Stays", 512, 26, std::nullopt, std::nullopt, true, false},
        DictCase{"Rows200NeverConvert", 200, 1, std::nullopt, std::nullopt, true, false},
        DictCase{"Rows1000Distinct50Converts", 1000, 50, std::nullopt, std::nullopt, true, true},
        DictCase{"Rows1000Distinct51Stays", 1000, 51, std::nullopt, std::nullopt, true, false},
        DictCase{"Rows10000Distinct256Converts", 10000, 256, std::nullopt, std::nullopt, true, true},
        DictCase{"Rows10000Distinct257Stays", 10000, 257, std::nullopt, std::nullopt, true, false},
        DictCase{"ThresholdFloor16Converts", 1000, 16, 0.01, std::nullopt, true, true},
        DictCase{"ThresholdFloor16Exceeded", 1000, 17, 0.01, std::nullopt, true, false},
        DictCase{"RatioTruncatesTowardZero", 999, 99, 0.1, 1000, true, true},
        DictCase{"RatioTruncatedLimitExceeded", 999, 100, 0.1, 1000, true, false},
        DictCase{"MaxDistinctCaps", 512, 3, std::nullopt, 3, true, true},
        DictCase{"MaxDistinctCapsExceeded", 512, 4, std::nullopt, 3, true, false},
        DictCase{"NegativeRatioUsesFloor", 512, 16, -1.0, std::nullopt, true, true},
        DictCase{"NaNRatioUsesFloor", 512, 17, std::numeric_limits<double>::quiet_NaN(), std::nullopt, true,
                 false},
        DictCase{"OffByDefault", 512, 1, std::nullopt, std::nullopt, false, false}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- strict types

struct StrictCase {
  std::string label;
  FieldType type;
  std::string text;
  std::string type_name;  // empty: the text passes
};

class StrictCheckTest : public ::testing::TestWithParam<StrictCase> {};

std::string strict_message(const std::string& quoted_value, const std::string& quoted_column, std::uint64_t row,
                           const std::string& type_name) {
  return "strict_types: value " + quoted_value + " in column " + quoted_column + " at row " + std::to_string(row) +
         " does not parse as declared type " + type_name;
}

TEST_P(StrictCheckTest, RejectsExactlyWhatTheColumnCannotParse) {
  const StrictCase& c = GetParam();
  TableBuilder b(cast_options(c.type), std::nullopt, std::nullopt, 1);
  feed_values(b, {c.text});
  if (c.type_name.empty()) {
    EXPECT_NE(finish_ok(b), nullptr);
    return;
  }
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::Plan);
  EXPECT_EQ(e.message(), strict_message("\"" + c.text + "\"", "\"value\"", 0, c.type_name));
}

// The check used for values that have not reached a column (buffered rows)
// must agree with the accumulator's own verdict.
TEST_P(StrictCheckTest, StandaloneCheckAgreesWithTheColumn) {
  const StrictCase& c = GetParam();
  TableBuilder b(cast_options(c.type), std::nullopt, std::nullopt, 1);
  Access::check_strict(b, 0, ScalarValue::of_str(c.text));
  const std::optional<CoreError>& e = Access::pending_error(b);
  ASSERT_EQ(e.has_value(), !c.type_name.empty());
  if (e) {
    EXPECT_EQ(e->message(), strict_message("\"" + c.text + "\"", "\"value\"", 0, c.type_name));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, StrictCheckTest,
    ::testing::Values(
        StrictCase{"BoolTrueCapital", FieldType::simple(FieldTag::Boolean), "True", "Boolean"},
        StrictCase{"BoolOne", FieldType::simple(FieldTag::Boolean), "1", "Boolean"},
        StrictCase{"BoolYes", FieldType::simple(FieldTag::Boolean), "yes", "Boolean"},
        StrictCase{"BoolTrue", FieldType::simple(FieldTag::Boolean), "true", ""},
        StrictCase{"BoolFalse", FieldType::simple(FieldTag::Boolean), "false", ""},
        StrictCase{"IntLeadingBlank", FieldType::simple(FieldTag::Int64), " 5", "Int64"},
        StrictCase{"IntTrailingLetter", FieldType::simple(FieldTag::Int64), "12a", "Int64"},
        StrictCase{"IntOutOfRange", FieldType::simple(FieldTag::Int64), "9223372036854775808", "Int64"},
        StrictCase{"IntPlain", FieldType::simple(FieldTag::Int64), "-42", ""},
        StrictCase{"FloatWord", FieldType::simple(FieldTag::Float64), "abc", "Float64"},
        StrictCase{"FloatPlain", FieldType::simple(FieldTag::Float64), "1.5", ""},
        StrictCase{"DateTrimmed", FieldType::simple(FieldTag::Date32), " 2024-01-31 ", ""},
        StrictCase{"DateImpossible", FieldType::simple(FieldTag::Date32), "2024-02-30", "Date32"},
        StrictCase{"TimestampIso", FieldType::timestamp(TimeUnit::Millisecond), "2024-01-05T12:00:00", ""},
        StrictCase{"TimestampZone", FieldType::timestamp(TimeUnit::Millisecond), "2024-01-05T12:00:00Z",
                   "Timestamp(Millisecond, None)"},
        StrictCase{"TimestampPattern", FieldType::timestamp(TimeUnit::Second, "%d/%m/%Y"), "05/01/2024", ""},
        StrictCase{"TimestampPatternFails", FieldType::timestamp(TimeUnit::Second, "%d/%m/%Y"), "5 Jan",
                   "Timestamp(Second, Some(\"%d/%m/%Y\"))"},
        StrictCase{"DecimalPlain", FieldType::decimal128(2), "12.345", ""},
        StrictCase{"DecimalWord", FieldType::decimal128(2), "abc", "Decimal128(2)"},
        StrictCase{"StringAnything", FieldType::simple(FieldTag::String), "anything", ""},
        StrictCase{"DictionaryAnything", FieldType::simple(FieldTag::Dictionary), "anything", ""}),
    [](const auto& info) { return info.param.label; });

struct StrictMessageCase {
  std::string label;
  std::function<void(BuilderOptions&)> configure;
  Values input;
  std::string expected;  // empty: no error
};

class StrictMessageTest : public ::testing::TestWithParam<StrictMessageCase> {};

TEST_P(StrictMessageTest, FirstFailureWithItsRowAndQuotedTexts) {
  const StrictMessageCase& c = GetParam();
  BuilderOptions o;
  o.declared_columns = {"value"};
  o.column_types.emplace("value", FieldType::simple(FieldTag::Int64));
  o.strict_types = true;
  c.configure(o);
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, 0);
  feed_values(b, c.input);
  // A strict failure does not stop rows.
  EXPECT_EQ(b.row_index(), c.input.size());
  if (c.expected.empty()) {
    EXPECT_NE(finish_ok(b), nullptr);
    return;
  }
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::Plan);
  EXPECT_EQ(e.message(), c.expected);
  EXPECT_EQ(e.text(), "plan error: " + c.expected);
}

const std::string kLong100 = std::string(100, 'x');
std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StrictMessageTest,
    ::testing::Values(
        StrictMessageCase{"RowNumber", [](BuilderOptions&) {}, {"1", "2", std::nullopt, "12a"},
                          strict_message("\"12a\"", "\"value\"", 3, "Int64")},
        StrictMessageCase{"FirstErrorWins", [](BuilderOptions&) {},
                          {"bad0", "1", "2", "3", "4", "5", "6", "bad7"},
                          strict_message("\"bad0\"", "\"value\"", 0, "Int64")},
        StrictMessageCase{"CutAt64CodePoints", [](BuilderOptions&) {}, {kLong100},
                          strict_message("\"" + std::string(64, 'x') + "\"", "\"value\"", 0, "Int64")},
        StrictMessageCase{"CutCountsCodePointsNotBytes", [](BuilderOptions&) {}, {repeat("\xC3\xA9", 70)},
                          strict_message("\"" + repeat("\xC3\xA9", 64) + "\"", "\"value\"", 0, "Int64")},
        StrictMessageCase{"ValueEscaped", [](BuilderOptions&) {}, {"a\"b\\c\n"},
                          strict_message(R"("a\"b\\c\n")", "\"value\"", 0, "Int64")},
        StrictMessageCase{"ColumnNameEscaped",
                          [](BuilderOptions& o) {
                            o.declared_columns = {"we\"ird"};
                            o.renames.emplace("value", "we\"ird");
                            o.column_types.clear();
                            o.column_types.emplace("we\"ird", FieldType::simple(FieldTag::Boolean));
                          },
                          {"true", "TRUE"}, strict_message("\"TRUE\"", R"("we\"ird")", 1, "Boolean")},
        StrictMessageCase{"NullRowsAreNotTested", [](BuilderOptions&) {}, {std::nullopt, std::nullopt}, ""},
        StrictMessageCase{"StrictOff", [](BuilderOptions& o) { o.strict_types = false; }, {"bad"}, ""},
        StrictMessageCase{"UntypedColumnNotTested", [](BuilderOptions& o) { o.column_types.clear(); }, {"bad"},
                          ""}),
    [](const auto& info) { return info.param.label; });

TEST(StrictTypedValueTest, NonTextValuesAreNeverTested) {
  TableBuilder b(cast_options(FieldType::simple(FieldTag::Boolean)), std::nullopt, std::nullopt, 0);
  for (const ScalarValue& v : {ScalarValue::of_int64(5), ScalarValue::of_float64(1.5), ScalarValue::null(),
                               ScalarValue::of_date32(3)}) {
    b.begin_row();
    b.push_scalar(v);
    b.end_row();
  }
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  expect_array(batch->column(0), from_json(arrow::boolean(), "[null, null, null, null]"));
}

// The last value of a row wins, but each value is checked when it arrives.
TEST(StrictTypedValueTest, ReplacedInvalidValueIsStillReported) {
  TableBuilder b(cast_options(FieldType::simple(FieldTag::Int64)), std::nullopt, std::nullopt, 0);
  b.begin_row();
  b.push_scalar(ScalarValue::of_str("x"));
  b.push_scalar(ScalarValue::of_str("5"));
  b.end_row();
  CoreError e = finish_error(b);
  EXPECT_EQ(e.message(), strict_message("\"x\"", "\"value\"", 0, "Int64"));
}

// ---------------------------------------------------------------- memory budget

struct EstimateCase {
  std::string label;
  ScalarValue value;
  std::uint64_t expected;
};

class ValueEstimateTest : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(ValueEstimateTest, TextByLengthOtherKindsFixed) {
  EXPECT_EQ(TableBuilder::value_estimate(GetParam().value), GetParam().expected);
}

// A view whose length is never read through: only its size matters here.
const char kNoBytes[1] = {0};

INSTANTIATE_TEST_SUITE_P(
    Kinds, ValueEstimateTest,
    ::testing::Values(EstimateCase{"EmptyText", ScalarValue::of_str(""), 10},
                      EstimateCase{"Text", ScalarValue::of_str("abc"), 16},
                      EstimateCase{"MultibyteCountsBytes", ScalarValue::of_str("\xC3\xA9"), 14},
                      EstimateCase{"Int64", ScalarValue::of_int64(1), 74},
                      EstimateCase{"Float64", ScalarValue::of_float64(1), 74},
                      EstimateCase{"Bool", ScalarValue::of_bool(true), 74},
                      EstimateCase{"Date32", ScalarValue::of_date32(1), 74},
                      EstimateCase{"Timestamp", ScalarValue::of_timestamp(1), 74},
                      EstimateCase{"Null", ScalarValue::null(), 74},
                      EstimateCase{"Saturates",
                                   ScalarValue::of_str(std::string_view(kNoBytes, std::size_t{1} << 63)),
                                   UINT64_MAX}),
    [](const auto& info) { return info.param.label; });

// A builder's estimate before any row: the same for two builders of the same
// configuration, so a budget can be set relative to it.
std::uint64_t initial_estimate(const std::shared_ptr<const BuilderOptions>& o, std::uint64_t hint) {
  TableBuilder twin(o, std::nullopt, std::nullopt, hint);
  return twin.estimated_bytes();
}

struct BudgetPushCase {
  std::string label;
  ScalarValue value;
  std::int64_t slack;  // budget = initial estimate + value estimate + slack
  bool accepted;
};

class BudgetPushTest : public ::testing::TestWithParam<BudgetPushCase> {};

TEST_P(BudgetPushTest, PushScalarCountsTheIncomingValue) {
  const BudgetPushCase& c = GetParam();
  auto o = cast_options(FieldType::simple(FieldTag::String), false);
  const std::uint64_t e0 = initial_estimate(o, 0);
  const std::uint64_t used = e0 + TableBuilder::value_estimate(c.value);
  const std::uint64_t limit = static_cast<std::uint64_t>(static_cast<std::int64_t>(used) + c.slack);
  TableBuilder b(o, limit, std::nullopt, 0);
  ASSERT_EQ(b.estimated_bytes(), e0);
  b.begin_row();
  b.push_scalar(c.value);
  b.end_row();
  const std::optional<CoreError>& e = Access::pending_error(b);
  ASSERT_EQ(!e.has_value(), c.accepted);
  EXPECT_EQ(b.row_index(), c.accepted ? 1u : 0u);
  if (!c.accepted) {
    EXPECT_EQ(e->kind(), ErrorKind::MemoryBudgetExceeded);
    EXPECT_EQ(e->used(), used);
    EXPECT_EQ(e->limit(), limit);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, BudgetPushTest,
    ::testing::Values(BudgetPushCase{"TextAtLimit", ScalarValue::of_str("abc"), 0, true},
                      BudgetPushCase{"TextOverLimit", ScalarValue::of_str("abc"), -1, false},
                      BudgetPushCase{"TypedAtLimit", ScalarValue::of_int64(1), 0, true},
                      BudgetPushCase{"TypedOverLimit", ScalarValue::of_int64(1), -1, false}),
    [](const auto& info) { return info.param.label; });

struct ZeroBudgetCase {
  std::string label;
  bool feeder_checks_first;
  ScalarValue value;
};

class ZeroBudgetTest : public ::testing::TestWithParam<ZeroBudgetCase> {};

TEST_P(ZeroBudgetTest, NothingIsAcceptedAndTheMessageShowsTheEstimate) {
  const ZeroBudgetCase& c = GetParam();
  auto o = cast_options(FieldType::simple(FieldTag::String), false);
  TableBuilder b(o, 0, std::nullopt, 0);
  const std::uint64_t e0 = b.estimated_bytes();
  const std::uint64_t used = c.feeder_checks_first ? e0 : e0 + TableBuilder::value_estimate(c.value);
  for (int row = 0; row < 3; ++row) {
    if (c.feeder_checks_first) {
      EXPECT_TRUE(b.budget_exhausted());
    }
    b.begin_row();
    b.push_scalar(c.value);
    b.set_field("other", c.value);  // stopped as well
    b.end_row();
  }
  EXPECT_TRUE(b.budget_exhausted());
  EXPECT_EQ(b.row_index(), 0u);
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::MemoryBudgetExceeded);
  EXPECT_EQ(e.text(), "memory budget exceeded: " + std::to_string(used) + " bytes used, limit 0 bytes");
}

INSTANTIATE_TEST_SUITE_P(Paths, ZeroBudgetTest,
                         ::testing::Values(ZeroBudgetCase{"PushScalarText", false, ScalarValue::of_str("abc")},
                                           ZeroBudgetCase{"PushScalarTyped", false, ScalarValue::of_bool(true)},
                                           ZeroBudgetCase{"FeederFirst", true, ScalarValue::of_str("abc")}),
                         [](const auto& info) { return info.param.label; });

// A feeder following the budget protocol stops advancing rows once the
// estimate passes the limit (here when the column first regrows).
TEST(BudgetFeederTest, RowCountStopsAtTheBudgetError) {
  auto o = cast_options(FieldType::simple(FieldTag::String), false);
  const std::uint64_t limit = initial_estimate(o, 0) + 100;
  TableBuilder b(o, limit, std::nullopt, 0);
  std::optional<std::uint64_t> stopped_at;
  for (int row = 0; row < 1000; ++row) {
    if (!b.budget_exhausted()) b.begin_row();
    b.push_scalar(ScalarValue::of_str("xx"));
    if (!b.budget_exhausted()) {
      b.end_row();
    } else if (!stopped_at) {
      stopped_at = b.row_index();
    }
    if (stopped_at) {
      EXPECT_EQ(b.row_index(), *stopped_at);
    }
  }
  ASSERT_TRUE(stopped_at.has_value());
  EXPECT_GT(*stopped_at, 0u);
  EXPECT_LT(*stopped_at, 1000u);
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::MemoryBudgetExceeded);
  EXPECT_EQ(e.limit(), limit);
  EXPECT_GT(e.used(), limit);
}

TEST(BudgetExhaustedTest, ReportsWithoutReplacingAnotherError) {
  auto o = cast_options(FieldType::simple(FieldTag::Int64));
  TableBuilder b(o, 1, std::nullopt, 0);
  b.begin_row();
  b.set_field("value", ScalarValue::of_str("bad"));  // strict error, no budget check
  EXPECT_TRUE(b.budget_exhausted());
  EXPECT_TRUE(b.budget_exhausted());
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::Plan);
}

// The estimate counts each accumulator's reserved capacity, not its length:
// two builders that differ only in the capacity hint differ by exactly the
// difference of their accumulators' reservations.
struct ReserveCase {
  std::string label;
  FieldType type;
};

class EstimateReserveTest : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(EstimateReserveTest, CapacityHintShowsInTheEstimate) {
  const FieldType& type = GetParam().type;
  auto o = cast_options(type);
  TableBuilder small(o, std::nullopt, std::nullopt, 10);  // reserves 64 rows
  TableBuilder large(o, std::nullopt, std::nullopt, 5000);
  const std::uint64_t acc_small = ColumnAccumulator::create(type, 64).reserved_bytes();
  const std::uint64_t acc_large = ColumnAccumulator::create(type, 5000).reserved_bytes();
  ASSERT_GT(acc_large, acc_small);
  EXPECT_EQ(large.estimated_bytes() - small.estimated_bytes(), acc_large - acc_small);
  EXPECT_GE(small.estimated_bytes(), sizeof(TableBuilder) + acc_small);
}

INSTANTIATE_TEST_SUITE_P(Types, EstimateReserveTest,
                         ::testing::Values(ReserveCase{"String", FieldType::simple(FieldTag::String)},
                                           ReserveCase{"Int64", FieldType::simple(FieldTag::Int64)},
                                           ReserveCase{"Decimal", FieldType::decimal128(3)},
                                           ReserveCase{"Dictionary", FieldType::simple(FieldTag::Dictionary)}),
                         [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- observer

class RecordingObserver : public ChunkObserver {
 public:
  std::vector<std::string> calls;
  std::function<void()> on_complete;

  void on_row_start(std::uint64_t row) override { calls.push_back("start " + std::to_string(row)); }
  void on_value(std::uint64_t row, std::string_view column, std::uint64_t index, const ScalarValue& v) override {
    calls.push_back("value " + std::to_string(row) + " " + std::string(column) + " " + std::to_string(index) + " " +
                    v.debug_text());
  }
  void on_row_kept(std::uint64_t row) override { calls.push_back("kept " + std::to_string(row)); }
  void on_row_dropped(std::uint64_t row) override { calls.push_back("dropped " + std::to_string(row)); }
  void on_chunk_complete(std::uint64_t seen, std::uint64_t kept, std::uint64_t dropped) override {
    calls.push_back("complete " + std::to_string(seen) + " " + std::to_string(kept) + " " + std::to_string(dropped));
    if (on_complete) on_complete();
  }
};

TEST(ObserverTest, CallsArriveInOrder) {
  auto observer = std::make_shared<RecordingObserver>();
  BuilderOptions o;
  o.observer = observer;
  o.renames.emplace("value", "v");
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, 0);
  b.begin_row();
  b.set_field("a", ScalarValue::of_str("x"));
  b.push_scalar(ScalarValue::of_int64(5));
  b.end_row();
  b.begin_row();
  b.push_scalar(ScalarValue::null());
  b.push_scalar(ScalarValue::of_str("y"));
  b.end_row();
  b.begin_row();  // unfinished: no kept call, trimmed at finish
  b.set_field("a", ScalarValue::of_str("z"));
  ASSERT_NE(finish_ok(b), nullptr);
  const std::vector<std::string> expected = {
      "start 0", "value 0 a 0 Str(\"x\")", "value 0 v 1 Int64(5)", "kept 0",
      "start 1", "value 1 v 1 Null",       "value 1 v 1 Str(\"y\")", "kept 1",
      "start 2", "value 2 a 0 Str(\"z\")", "complete 2 2 0"};
  EXPECT_EQ(observer->calls, expected);
}

struct ObserverThrowCase {
  std::string label;
  std::function<void()> thrower;
  std::string message;
};

class ObserverThrowTest : public ::testing::TestWithParam<ObserverThrowCase> {};

TEST_P(ObserverThrowTest, FailureAtChunkCompletionIsAParserError) {
  auto observer = std::make_shared<RecordingObserver>();
  observer->on_complete = GetParam().thrower;
  BuilderOptions o;
  o.observer = observer;
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, 0);
  feed_values(b, {"a"});
  CoreError e = finish_error(b);
  EXPECT_EQ(e.kind(), ErrorKind::Parser);
  EXPECT_EQ(e.message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, ObserverThrowTest,
    ::testing::Values(
        ObserverThrowCase{"StdException", [] { throw std::runtime_error("disk gone"); },
                          "observer panicked at chunk completion: disk gone"},
        ObserverThrowCase{"StringPayload", [] { throw std::string("as string"); },
                          "observer panicked at chunk completion: as string"},
        ObserverThrowCase{"LiteralPayload", [] { throw "as literal"; },
                          "observer panicked at chunk completion: as literal"},
        ObserverThrowCase{"NoText", [] { throw 42; }, "observer panicked at chunk completion: unknown panic"}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- finish priority

struct PriorityCase {
  std::string label;
  bool unknown_field;
  bool strict_error;
  bool over_budget;
  bool observer_throws;
  ErrorKind expected;  // Lifetime here means: finish succeeds
};

class FinishPriorityTest : public ::testing::TestWithParam<PriorityCase> {};

TEST_P(FinishPriorityTest, FirstApplicableFailureIsReported) {
  const PriorityCase& c = GetParam();
  auto observer = std::make_shared<RecordingObserver>();
  if (c.observer_throws) observer->on_complete = [] { throw std::runtime_error("boom"); };
  BuilderOptions o;
  o.declared_columns = {"value"};
  o.column_types.emplace("value", FieldType::simple(FieldTag::Int64));
  o.strict_types = true;
  o.observer = observer;
  const std::optional<std::uint64_t> budget = c.over_budget ? std::optional<std::uint64_t>(1) : std::nullopt;
  TableBuilder b(share(std::move(o)), budget, FrozenSchema{{"value"}, true}, 0);
  // set_field runs no budget check, so only the final check at finish can
  // find the budget exceeded.
  b.begin_row();
  b.set_field("value", ScalarValue::of_str(c.strict_error ? "bad" : "5"));
  if (c.unknown_field) b.set_field("other", ScalarValue::of_str("1"));
  b.end_row();
  const std::uint64_t estimate = b.estimated_bytes();
  Result<Batch> r = b.finish();
  const bool completed = !observer->calls.empty() && observer->calls.back().starts_with("complete");
  if (c.expected == ErrorKind::Lifetime) {
    ASSERT_TRUE(r.has_value()) << r.error().text();
    EXPECT_TRUE(completed);
    return;
  }
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), c.expected);
  // The observer hears of completion only when nothing failed before it.
  EXPECT_EQ(completed, c.expected == ErrorKind::Parser);
  switch (c.expected) {
    case ErrorKind::Merge:
      EXPECT_EQ(r.error().text(),
                "merge error: unknown field \"other\" not in frozen schema (1 columns, exact=true); pass "
                "schema=[...] with full column list or use full-scan discovery");
      break;
    case ErrorKind::Plan:
      EXPECT_EQ(r.error().message(), strict_message("\"bad\"", "\"value\"", 0, "Int64"));
      break;
    case ErrorKind::MemoryBudgetExceeded:
      EXPECT_EQ(r.error().used(), estimate);
      EXPECT_EQ(r.error().limit(), 1u);
      break;
    case ErrorKind::Parser:
      EXPECT_EQ(r.error().message(), "observer panicked at chunk completion: boom");
      break;
    default:
      FAIL();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, FinishPriorityTest,
    ::testing::Values(PriorityCase{"AllFour", true, true, true, true, ErrorKind::Merge},
                      PriorityCase{"UnknownOverObserver", true, false, false, true, ErrorKind::Merge},
                      PriorityCase{"StrictOverBudget", false, true, true, true, ErrorKind::Plan},
                      PriorityCase{"BudgetOverObserver", false, false, true, true, ErrorKind::MemoryBudgetExceeded},
                      PriorityCase{"ObserverAlone", false, false, false, true, ErrorKind::Parser},
                      PriorityCase{"NoFailure", false, false, false, false, ErrorKind::Lifetime}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- frozen schema

struct FrozenCase {
  std::string label;
  FrozenSchema schema;
  std::vector<std::string> fields;  // fed in one row each through set_field
  std::string error;                // expected merge message, or empty
  std::vector<std::string> columns; // expected output columns when no error
};

class FrozenSchemaTest : public ::testing::TestWithParam<FrozenCase> {};

TEST_P(FrozenSchemaTest, UnknownFieldsUnderAnExactSchema) {
  const FrozenCase& c = GetParam();
  TableBuilder b(share({}), std::nullopt, c.schema, 0);
  for (const std::string& f : c.fields) {
    b.begin_row();
    b.set_field(f, ScalarValue::of_str("v"));
    b.end_row();
  }
  EXPECT_EQ(b.row_index(), c.fields.size());
  if (!c.error.empty()) {
    CoreError e = finish_error(b);
    EXPECT_EQ(e.kind(), ErrorKind::Merge);
    EXPECT_EQ(e.message(), c.error);
    return;
  }
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(field_names(batch), c.columns);
}

std::string unknown_field(const std::string& quoted, std::size_t count) {
  return "unknown field " + quoted + " not in frozen schema (" + std::to_string(count) +
         " columns, exact=true); pass schema=[...] with full column list or use full-scan discovery";
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, FrozenSchemaTest,
    ::testing::Values(
        FrozenCase{"ExactKnownFields", {{"a", "z"}, true}, {"z", "a"}, "", {"a", "z"}},
        FrozenCase{"ExactFirstUnknownKept", {{"a", "z"}, true}, {"a", "b", "c"}, unknown_field("\"b\"", 2), {}},
        FrozenCase{"ExactNameQuoted", {{"a"}, true}, {"b\"\n"}, unknown_field(R"("b\"\n")", 1), {}},
        FrozenCase{"NotExactAdmitsNewFields", {{"a", "z"}, false}, {"b", "a"}, "", {"a", "z", "b"}}),
    [](const auto& info) { return info.param.label; });

TEST(FrozenSchemaPushTest, ValueFieldOutsideExactSchema) {
  TableBuilder b(share({}), std::nullopt, FrozenSchema{{"a"}, true}, 0);
  feed_values(b, {"1", "2"});
  CoreError e = finish_error(b);
  EXPECT_EQ(e.message(), unknown_field("\"value\"", 1));
}

// ---------------------------------------------------------------- overflow

struct OverflowCase {
  std::string label;
  FieldType type;
  Values input;
  std::uint64_t limit;
  bool overflows;
};

class OverflowTest : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(OverflowTest, AccumulatorOverflowFailsFinish) {
  const OverflowCase& c = GetParam();
  TableBuilder b(cast_options(c.type, false), std::nullopt, std::nullopt, 0);
  ASSERT_TRUE(b.set_offset_limit_for_testing("value", c.limit));
  feed_values(b, c.input);
  Result<Batch> r = b.finish();
  ASSERT_EQ(r.has_value(), !c.overflows);
  if (c.overflows) {
    EXPECT_EQ(r.error().kind(), ErrorKind::Arrow);
    EXPECT_FALSE(r.error().message().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, OverflowTest,
    ::testing::Values(
        OverflowCase{"StringOver", FieldType::simple(FieldTag::String), {"abcdef", "ghijkl"}, 8, true},
        OverflowCase{"StringUnder", FieldType::simple(FieldTag::String), {"abcdef", "ghijkl"}, 100, false},
        OverflowCase{"DictionaryOver", FieldType::simple(FieldTag::Dictionary), {"abcdef", "ghijkl"}, 8, true},
        OverflowCase{"DictionaryRepeatsFit", FieldType::simple(FieldTag::Dictionary),
                     {"abcdef", "abcdef", "abcdef"}, 8, false}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- lifecycle

TEST(LifecycleTest, UnfinishedLastRowIsDropped) {
  TableBuilder b(cast_options(FieldType::simple(FieldTag::Int64)), std::nullopt, std::nullopt, 0);
  feed_values(b, {"1", "2"});
  b.begin_row();
  b.push_scalar(ScalarValue::of_str("3"));
  b.set_field("extra", ScalarValue::of_str("x"));
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->num_rows(), 2);
  expect_array(batch->column(0), from_json(arrow::int64(), "[1, 2]"));
}

TEST(LifecycleTest, SecondFinishIsAnInternalFault) {
  TableBuilder b(cast_options(FieldType::simple(FieldTag::Int64)), std::nullopt, std::nullopt, 0);
  feed_values(b, {"1"});
  ASSERT_NE(finish_ok(b), nullptr);
  // Feeding after finish is ignored rather than touching released columns.
  b.begin_row();
  b.push_scalar(ScalarValue::of_str("2"));
  b.set_field("other", ScalarValue::of_str("3"));
  b.end_row();
  EXPECT_THROW((void)b.finish(), std::logic_error);
}

TEST(LifecycleTest, NullOptionsAreDefaults) {
  TableBuilder b(nullptr, std::nullopt, std::nullopt, 0);
  feed_values(b, {"x"});
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  expect_array(batch->column(0), from_json(arrow::utf8(), R"(["x"])"));
}

// ---------------------------------------------------------------- predicate columns

TEST(PredicateColumnsTest, CreatedAtConstructionAndSelected) {
  BuilderOptions o;
  o.declared_columns = {"value"};
  o.renames.emplace("city", "town");
  o.predicate = std::make_shared<const Predicate>(
      Predicate::and_(Predicate::equals("city", "Oslo"), Predicate::is_null("value")));
  TableBuilder b(share(std::move(o)), std::nullopt, std::nullopt, 0);
  // Predicate columns come after the declared ones, renamed, once each.
  EXPECT_EQ(Access::column_names(b), (std::vector<std::string>{"value", "town"}));
  // A field that is not declared is kept when the predicate refers to it.
  EXPECT_EQ(Access::select(b, "city"), std::optional<std::string>("town"));
  EXPECT_EQ(Access::select(b, "elsewhere"), std::nullopt);
  // No row names the city, so the predicate drops every row.
  feed_values(b, {"1"});
  EXPECT_EQ(b.rows_dropped(), 1u);
  Batch batch = finish_ok(b);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(field_names(batch), (std::vector<std::string>{"value"}));
  EXPECT_EQ(batch->num_rows(), 0);
}

}  // namespace
}  // namespace vorpel
