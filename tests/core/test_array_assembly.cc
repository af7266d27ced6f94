// Turning accumulators into Arrow fields and arrays: types, values, null
// buffers, zero-copy hand-over, Boolean bit packing, dictionaries, decimals,
// empty columns and the failures (capacity, UTF-8).

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "core/columnar/accumulator.h"
#include "core/columnar/accumulator_impl.h"
#include "core/columnar/array_assembly.h"

namespace vorpel {
namespace {

using Input = std::optional<std::string>;

// Table rows print as their name in test output.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

ColumnAccumulator filled(const FieldType& type, const std::vector<Input>& inputs) {
  auto acc = ColumnAccumulator::create(type, 64);
  for (const auto& in : inputs) {
    if (in) {
      acc.append_text(std::string_view(*in));
    } else {
      acc.append_null();
    }
  }
  return acc;
}

std::shared_ptr<arrow::Array> from_json(const std::shared_ptr<arrow::DataType>& type, const std::string& json) {
  auto r = arrow::json::ArrayFromJSONString(type, json);
  EXPECT_TRUE(r.ok()) << r.status().ToString();
  return r.ValueOrDie();
}

// ---------------------------------------------------------------- types and fields

struct TypeCase {
  const char* name;
  FieldType type;
  const char* arrow_type;
};

class ArrowTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ArrowTypeTest, TypeAndField) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 1);
  EXPECT_EQ(arrow_type_for(acc)->ToString(), c.arrow_type);
  auto field = field_for(acc, "value");
  EXPECT_EQ(field->name(), "value");
  EXPECT_TRUE(field->nullable());
  EXPECT_EQ(field->metadata(), nullptr);
  EXPECT_EQ(field->type()->ToString(), c.arrow_type);
}

INSTANTIATE_TEST_SUITE_P(
    Assembly, ArrowTypeTest,
    ::testing::Values(
        TypeCase{"string", FieldType::simple(FieldTag::String), "string"},
        TypeCase{"int", FieldType::simple(FieldTag::Int64), "int64"},
        TypeCase{"float", FieldType::simple(FieldTag::Float64), "double"},
        TypeCase{"bool", FieldType::simple(FieldTag::Boolean), "bool"},
        TypeCase{"date", FieldType::simple(FieldTag::Date32), "date32[day]"},
        TypeCase{"ts_s", FieldType::timestamp(TimeUnit::Second), "timestamp[s]"},
        TypeCase{"ts_ms", FieldType::timestamp(TimeUnit::Millisecond, std::string("%d/%m/%Y")), "timestamp[ms]"},
        TypeCase{"ts_us", FieldType::timestamp(TimeUnit::Microsecond), "timestamp[us]"},
        TypeCase{"ts_ns", FieldType::timestamp(TimeUnit::Nanosecond), "timestamp[ns]"},
        TypeCase{"decimal_2", FieldType::decimal128(2), "decimal128(38, 2)"},
        TypeCase{"decimal_18", FieldType::decimal128(18), "decimal128(38, 18)"},
        TypeCase{"decimal_38", FieldType::decimal128(38), "decimal128(38, 38)"},
        TypeCase{"dict", FieldType::simple(FieldTag::Dictionary),
                 "dictionary<values=string, indices=int32, ordered=0>"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- values

struct ArrayCase {
  const char* name;
  FieldType type;
  std::vector<Input> inputs;
  const char* json;  // the expected array, as Arrow JSON of the column type
};

class ArrayValuesTest : public ::testing::TestWithParam<ArrayCase> {};

TEST_P(ArrayValuesTest, ValuesNullsAndNullBuffer) {
  const auto& c = GetParam();
  auto acc = filled(c.type, c.inputs);
  const auto type = arrow_type_for(acc);
  const std::uint64_t nulls = acc.null_count();
  auto result = array_for(std::move(acc));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  const auto& array = *result;
  ASSERT_TRUE(array->type()->Equals(*type));
  EXPECT_EQ(array->length(), static_cast<std::int64_t>(c.inputs.size()));
  EXPECT_EQ(array->null_count(), static_cast<std::int64_t>(nulls));
  // All-valid columns carry no null buffer at all.
  EXPECT_EQ(array->data()->buffers[0] == nullptr, nulls == 0);
  EXPECT_TRUE(array->ValidateFull().ok());
  std::shared_ptr<arrow::Array> want;
  if (type->id() == arrow::Type::DICTIONARY) {
    // Compare the decoded values: dictionary arrays have no JSON form here.
    auto decoded = std::static_pointer_cast<arrow::DictionaryArray>(array);
    std::vector<Input> got;
    auto dict = std::static_pointer_cast<arrow::StringArray>(decoded->dictionary());
    for (std::int64_t i = 0; i < decoded->length(); ++i) {
      got.push_back(decoded->IsNull(i) ? Input() : Input(dict->GetString(decoded->GetValueIndex(i))));
    }
    EXPECT_EQ(got, c.inputs);
    return;
  }
  want = from_json(type, c.json);
  EXPECT_TRUE(array->Equals(*want)) << array->ToString() << "\nwant\n" << want->ToString();
}

INSTANTIATE_TEST_SUITE_P(
    Assembly, ArrayValuesTest,
    ::testing::Values(
        ArrayCase{"string", FieldType::simple(FieldTag::String), {"a", std::nullopt, "", "héllo"},
                  R"(["a", null, "", "héllo"])"},
        ArrayCase{"string_no_nulls", FieldType::simple(FieldTag::String), {"x", "yz"}, R"(["x", "yz"])"},
        ArrayCase{"int", FieldType::simple(FieldTag::Int64), {"1", "x", "-9223372036854775808"},
                  "[1, null, -9223372036854775808]"},
        ArrayCase{"int_no_nulls", FieldType::simple(FieldTag::Int64), {"1", "2"}, "[1, 2]"},
        ArrayCase{"float", FieldType::simple(FieldTag::Float64), {"1.5", std::nullopt, "-0.25"},
                  "[1.5, null, -0.25]"},
        ArrayCase{"bool", FieldType::simple(FieldTag::Boolean), {"true", "false", "yes", "true"},
                  "[true, false, null, true]"},
        ArrayCase{"date", FieldType::simple(FieldTag::Date32), {"2024-01-05", std::nullopt, "1969-12-31"},
                  "[19727, null, -1]"},
        ArrayCase{"timestamp_ms", FieldType::timestamp(TimeUnit::Millisecond),
                  {"1970-01-01 00:00:01.5", std::nullopt}, "[1500, null]"},
        ArrayCase{"decimal", FieldType::decimal128(2), {"1.239", "-1.239", std::nullopt, "  42 "},
                  R"(["1.23", "-1.23", null, "42.00"])"},
        ArrayCase{"only_nulls", FieldType::simple(FieldTag::Int64), {std::nullopt, std::nullopt},
                  "[null, null]"},
        ArrayCase{"dict", FieldType::simple(FieldTag::Dictionary), {"b", "a", "b", std::nullopt}, ""},
        ArrayCase{"dict_only_nulls", FieldType::simple(FieldTag::Dictionary), {std::nullopt, std::nullopt}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Assembly, DictionaryKeysAndValues) {
  auto acc = filled(FieldType::simple(FieldTag::Dictionary), {"b", "a", "b", std::nullopt});
  auto result = array_for(std::move(acc));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  auto dict = std::static_pointer_cast<arrow::DictionaryArray>(*result);
  EXPECT_TRUE(dict->indices()->Equals(*from_json(arrow::int32(), "[0, 1, 0, null]")));
  EXPECT_TRUE(dict->dictionary()->Equals(*from_json(arrow::utf8(), R"(["b", "a"])")));
  EXPECT_EQ(dict->dictionary()->null_count(), 0);
  EXPECT_EQ(dict->dictionary()->data()->buffers[0], nullptr);
}

TEST(Assembly, EncodedStringColumn) {
  auto acc = filled(FieldType::simple(FieldTag::String), {"x", std::nullopt, "y", "x"});
  acc.encode_as_dictionary();
  auto result = array_for(std::move(acc));
  ASSERT_TRUE(result.has_value());
  auto dict = std::static_pointer_cast<arrow::DictionaryArray>(*result);
  EXPECT_TRUE(dict->indices()->Equals(*from_json(arrow::int32(), "[0, null, 1, 0]")));
  EXPECT_TRUE(dict->dictionary()->Equals(*from_json(arrow::utf8(), R"(["x", "y"])")));
}

TEST(Assembly, DecimalPrecisionAndScale) {
  auto result = array_for(filled(FieldType::decimal128(18), {"1"}));
  ASSERT_TRUE(result.has_value());
  const auto& t = static_cast<const arrow::Decimal128Type&>(*(*result)->type());
  EXPECT_EQ(t.precision(), 38);
  EXPECT_EQ(t.scale(), 18);
}

// ---------------------------------------------------------------- boolean packing

class BooleanPackingTest : public ::testing::TestWithParam<int> {};

// Every length around the 8- and 64-value steps of the packer, with a pattern
// that is not periodic in 8 and includes nulls.
TEST_P(BooleanPackingTest, BitsMatchBytes) {
  const int n = GetParam();
  std::vector<Input> inputs;
  for (int i = 0; i < n; ++i) {
    if (i % 11 == 5) {
      inputs.push_back(std::nullopt);
    } else {
      inputs.push_back((i * 7 + i / 3) % 3 == 0 ? "true" : "false");
    }
  }
  auto result = array_for(filled(FieldType::simple(FieldTag::Boolean), inputs));
  ASSERT_TRUE(result.has_value());
  auto array = std::static_pointer_cast<arrow::BooleanArray>(*result);
  ASSERT_EQ(array->length(), n);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(array->IsNull(i), !inputs[i].has_value()) << i;
    if (inputs[i]) {
      EXPECT_EQ(array->Value(i), *inputs[i] == "true") << i;
    }
  }
  // Bits past the end of the values are zero.
  const auto& bits = array->data()->buffers[1];
  ASSERT_EQ(bits->size(), (n + 7) / 8);
  if (n % 8 != 0) {
    EXPECT_EQ(bits->data()[n / 8] >> (n % 8), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Assembly, BooleanPackingTest,
                         ::testing::Values(0, 1, 7, 8, 9, 63, 64, 65, 127, 128, 130, 1000));

// ---------------------------------------------------------------- zero copy

struct ZeroCopyCase {
  const char* name;
  FieldType type;
  std::vector<Input> inputs;  // repeated for kZeroCopyRows rows
  int buffer;  // index of the buffer that must be the accumulator's own memory
};

// Rows enough that every buffer handed over is many times larger than the
// few small objects that finishing a column allocates.
constexpr std::size_t kZeroCopyRows = std::size_t{1} << 17;

class ZeroCopyTest : public ::testing::TestWithParam<ZeroCopyCase> {};

// The buffers move into the array: finishing allocates (on the heap or from
// Arrow's pool) less than the size of the values buffer or of the validity
// bitmap, which a copy of either would take.
TEST_P(ZeroCopyTest, BuffersAreMovedNotCopied) {
  const auto& c = GetParam();
  std::vector<Input> inputs;
  for (std::size_t i = 0; i < kZeroCopyRows; ++i) inputs.push_back(c.inputs[i % c.inputs.size()]);
  auto acc = filled(c.type, inputs);
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  const std::int64_t pool_before = pool->total_bytes_allocated();
  testing::start_counting_allocations();
  auto result = array_for(std::move(acc));
  testing::stop_counting_allocations();
  const auto allocated =
      static_cast<std::int64_t>(testing::counted_allocation_bytes()) + (pool->total_bytes_allocated() - pool_before);
  ASSERT_TRUE(result.has_value());
  auto data = (*result)->data();
  const auto& values = data->type->id() == arrow::Type::DICTIONARY ? data->buffers[1] : data->buffers[c.buffer];
  const auto& validity = data->buffers[0];
  ASSERT_NE(values, nullptr);
  ASSERT_NE(validity, nullptr);
  EXPECT_LT(allocated, std::min(values->size(), validity->size()))
      << "values " << values->size() << " bytes, validity " << validity->size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Assembly, ZeroCopyTest,
    ::testing::Values(
        ZeroCopyCase{"int", FieldType::simple(FieldTag::Int64), {"1", std::nullopt}, 1},
        ZeroCopyCase{"float", FieldType::simple(FieldTag::Float64), {"1", std::nullopt}, 1},
        ZeroCopyCase{"date", FieldType::simple(FieldTag::Date32), {"2024-01-01", std::nullopt}, 1},
        ZeroCopyCase{"timestamp", FieldType::timestamp(TimeUnit::Second), {"2024-01-01", std::nullopt}, 1},
        ZeroCopyCase{"decimal", FieldType::decimal128(3), {"1", std::nullopt}, 1},
        ZeroCopyCase{"string_offsets", FieldType::simple(FieldTag::String), {"ab", std::nullopt}, 1},
        ZeroCopyCase{"string_bytes", FieldType::simple(FieldTag::String), {"ab", std::nullopt}, 2},
        ZeroCopyCase{"dict_keys", FieldType::simple(FieldTag::Dictionary), {"ab", std::nullopt}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Assembly, ArrayOutlivesAccumulator) {
  std::shared_ptr<arrow::Array> array;
  {
    auto acc = filled(FieldType::simple(FieldTag::String), {"kept", std::nullopt, "alive"});
    auto result = array_for(std::move(acc));
    ASSERT_TRUE(result.has_value());
    array = *result;
  }
  EXPECT_TRUE(array->Equals(*from_json(arrow::utf8(), R"(["kept", null, "alive"])")));
}

// ---------------------------------------------------------------- zero rows

class ZeroRowTest : public ::testing::TestWithParam<FieldType> {};

TEST_P(ZeroRowTest, EmptyArrayOfTheType) {
  auto acc = ColumnAccumulator::create(GetParam(), 0);
  const auto type = arrow_type_for(acc);
  auto result = array_for(std::move(acc));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ((*result)->length(), 0);
  EXPECT_TRUE((*result)->type()->Equals(*type));
  EXPECT_TRUE((*result)->ValidateFull().ok());
}

INSTANTIATE_TEST_SUITE_P(Assembly, ZeroRowTest,
                         ::testing::Values(FieldType::simple(FieldTag::String), FieldType::simple(FieldTag::Int64),
                                           FieldType::simple(FieldTag::Float64),
                                           FieldType::simple(FieldTag::Boolean),
                                           FieldType::simple(FieldTag::Date32),
                                           FieldType::timestamp(TimeUnit::Nanosecond), FieldType::decimal128(4),
                                           FieldType::simple(FieldTag::Dictionary)));

// ---------------------------------------------------------------- failures

struct CapacityCase {
  const char* name;
  FieldType type;
  std::vector<std::string> inputs;
  std::uint64_t limit;
  const char* text;
};

class CapacityErrorTest : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(CapacityErrorTest, OverflowFailsWithArrowCapacityError) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 4);
  acc.set_offset_limit_for_testing(c.limit);
  for (const auto& s : c.inputs) acc.append_text(std::string_view(s));
  auto result = array_for(std::move(acc));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Arrow);
  EXPECT_EQ(result.error().text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Assembly, CapacityErrorTest,
    ::testing::Values(
        CapacityCase{"string", FieldType::simple(FieldTag::String), {"abc", "defg"}, 6,
                     "Arrow error: Capacity error: string column exceeds 6 bytes"},
        CapacityCase{"dict_bytes", FieldType::simple(FieldTag::Dictionary), {"abc", "defg"}, 6,
                     "Arrow error: Capacity error: dictionary column exceeds 6 bytes"},
        CapacityCase{"dict_count", FieldType::simple(FieldTag::Dictionary), {"a", "b", "c"}, 2,
                     "Arrow error: Capacity error: dictionary column exceeds 2 distinct values"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Assembly, InvalidUtf8IsAnArrowError) {
  auto result = array_for(filled(FieldType::simple(FieldTag::String), {"ok", "bad\xff"}));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Arrow);
  EXPECT_EQ(result.error().message().rfind("Invalid: ", 0), 0u) << result.error().message();
}

struct BrokenCase {
  const char* name;
  std::vector<std::int32_t> offsets;
};

class BrokenOffsetsTest : public ::testing::TestWithParam<BrokenCase> {};

// A broken offsets list is the accumulator's own fault, not an Arrow error.
// No public call produces one, so the offsets are planted inside the column.
TEST_P(BrokenOffsetsTest, IsAnInternalFault) {
  auto acc = filled(FieldType::simple(FieldTag::String), {"ab", "cd"});
  std::get<StringColumn>(acc.impl().column).offsets = GetParam().offsets;
  EXPECT_THROW((void)array_for(std::move(acc)), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Assembly, BrokenOffsetsTest,
                         ::testing::Values(BrokenCase{"empty", {}}, BrokenCase{"negative", {0, -1, 4}},
                                           BrokenCase{"decreasing", {0, 3, 2}},
                                           BrokenCase{"not_starting_at_zero", {1, 2, 4}},
                                           BrokenCase{"past_the_bytes", {0, 2, 5}},
                                           BrokenCase{"wrong_count", {0, 4}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorpel
