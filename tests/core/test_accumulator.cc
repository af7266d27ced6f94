// Typed column accumulators: validity bits, parsing appends, the typed-value
// conversion matrix, removals, dictionary keys and re-encoding, reads, memory
// reservations and the 32-bit offset limit.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <sys/mman.h>

#include <arrow/api.h>
#include <gtest/gtest.h>

#include "core/columnar/accumulator.h"
#include "core/columnar/array_assembly.h"
#include "same_column.h"

namespace vorpel {
namespace {

using Input = std::optional<std::string>;

// Table rows print as their name in test output.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}
using testing::expect_same_column;

FieldType ft_string() { return FieldType::simple(FieldTag::String); }
FieldType ft_int() { return FieldType::simple(FieldTag::Int64); }
FieldType ft_float() { return FieldType::simple(FieldTag::Float64); }
FieldType ft_bool() { return FieldType::simple(FieldTag::Boolean); }
FieldType ft_date() { return FieldType::simple(FieldTag::Date32); }
FieldType ft_ts(TimeUnit u = TimeUnit::Millisecond) { return FieldType::timestamp(u); }
FieldType ft_dec(std::uint8_t s = 2) { return FieldType::decimal128(s); }
FieldType ft_dict() { return FieldType::simple(FieldTag::Dictionary); }

std::string i128_text(int128 v) {
  if (v == 0) return "0";
  const bool neg = v < 0;
  std::string s;
  while (v != 0) {
    int d = static_cast<int>(v % 10);
    s.insert(s.begin(), static_cast<char>('0' + (d < 0 ? -d : d)));
    v /= 10;
  }
  return neg ? "-" + s : s;
}

// A compact, renderer-independent description of a cell.
std::string repr(const TypedCell& c) {
  if (c.is_absent()) return "null";
  switch (c.kind) {
    case FieldTag::String:
    case FieldTag::Dictionary: return "s:" + std::string(c.str);
    case FieldTag::Int64: return "i:" + std::to_string(c.i64);
    case FieldTag::Float64: {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, c.f64);
      return "f:" + std::string(buf, r.ptr);
    }
    case FieldTag::Boolean: return c.b ? "b:true" : "b:false";
    case FieldTag::Date32: return "d:" + std::to_string(c.date);
    case FieldTag::Timestamp: return "t:" + std::to_string(c.i64) + "@" + std::to_string(static_cast<int>(c.unit));
    case FieldTag::Decimal128: return "dec:" + i128_text(c.dec) + "/" + std::to_string(c.scale);
  }
  return "?";
}

ColumnAccumulator filled(const FieldType& type, const std::vector<Input>& inputs, std::uint64_t capacity = 64) {
  auto acc = ColumnAccumulator::create(type, capacity);
  for (const auto& in : inputs) {
    if (in) {
      acc.append_text(std::string_view(*in));
    } else {
      acc.append_text(std::nullopt);
    }
  }
  return acc;
}

// The array a column finishes into; null (and a test failure) when it does not.
std::shared_ptr<arrow::Array> finished(ColumnAccumulator&& acc) {
  auto result = array_for(std::move(acc));
  if (!result.has_value()) {
    ADD_FAILURE() << result.error().text();
    return nullptr;
  }
  return *result;
}

// A finished String column's offsets and value bytes as stored (null rows included).
std::vector<std::int32_t> offsets_of(const arrow::Array& array) {
  const auto& s = static_cast<const arrow::StringArray&>(array);
  return std::vector<std::int32_t>(s.raw_value_offsets(), s.raw_value_offsets() + s.length() + 1);
}
std::string bytes_of(const arrow::Array& array) {
  const auto& data = static_cast<const arrow::StringArray&>(array).value_data();
  return data->size() == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data->data()), data->size());
}

// A finished Dictionary column's keys as stored (null rows included), and its texts in key order.
std::vector<std::int32_t> keys_of(const arrow::Array& array) {
  const arrow::ArrayData& indices = *static_cast<const arrow::DictionaryArray&>(array).indices()->data();
  const std::int32_t* keys = indices.GetValues<std::int32_t>(1);
  return keys == nullptr ? std::vector<std::int32_t>() : std::vector<std::int32_t>(keys, keys + indices.length);
}
std::vector<std::string> dictionary_texts_of(const arrow::Array& array) {
  const auto& texts = static_cast<const arrow::StringArray&>(*static_cast<const arrow::DictionaryArray&>(array).dictionary());
  std::vector<std::string> out;
  for (std::int64_t k = 0; k < texts.length(); ++k) out.emplace_back(texts.GetView(k));
  return out;
}

// ---------------------------------------------------------------- validity bitmap

struct BitmapCase {
  const char* name;
  std::vector<bool> pushes;
  int pops;
  std::vector<std::uint8_t> bytes;
  std::uint64_t len;
  std::uint64_t nulls;
};

class BitmapTest : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(BitmapTest, BytesLengthAndNullCount) {
  const auto& c = GetParam();
  ValidityBitmap bm;
  for (bool v : c.pushes) bm.push(v);
  for (int i = 0; i < c.pops; ++i) bm.pop();
  EXPECT_EQ(bm.bytes(), c.bytes);
  EXPECT_EQ(bm.len(), c.len);
  EXPECT_EQ(bm.null_count(), c.nulls);
  for (std::uint64_t i = 0; i < bm.len(); ++i) EXPECT_EQ(bm.is_valid(i), c.pushes[i]) << "bit " << i;
}

const std::vector<bool> k8ValidThenNull = {true, true, true, true, true, true, true, true, false};

INSTANTIATE_TEST_SUITE_P(
    Validity, BitmapTest,
    ::testing::Values(
        BitmapCase{"empty", {}, 0, {}, 0, 0},
        BitmapCase{"pop_on_empty", {}, 3, {}, 0, 0},
        BitmapCase{"eight_valid_one_null", k8ValidThenNull, 0, {0xFF, 0x00}, 9, 1},
        BitmapCase{"remove_the_null_again", k8ValidThenNull, 1, {0xFF}, 8, 0},
        BitmapCase{"remove_into_previous_byte", k8ValidThenNull, 2, {0x7F}, 7, 0},
        BitmapCase{"lsb_first", {false, true, false, true}, 0, {0x0A}, 4, 2},
        // Removed bits are cleared, so the bytes never carry stale bits.
        BitmapCase{"cleared_after_pop", {true, true, true}, 2, {0x01}, 1, 0},
        BitmapCase{"remove_null_counts_down", {true, false, false}, 1, {0x01}, 2, 1},
        BitmapCase{"all_removed", {false, true, false}, 5, {}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Validity, PushAfterPopDoesNotKeepOldBit) {
  ValidityBitmap bm;
  bm.push(true);
  bm.push(true);
  bm.pop();
  bm.push(false);
  EXPECT_EQ(bm.bytes(), std::vector<std::uint8_t>{0x01});
  EXPECT_EQ(bm.null_count(), 1u);
}

// ---------------------------------------------------------------- append_text

struct TextCase {
  const char* name;
  FieldType type;
  Input text;
  bool parsed;
  const char* cell;
};

class AppendTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(AppendTextTest, StoresParsedValueOrNull) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 4);
  const bool ok = c.text ? acc.append_text(std::string_view(*c.text)) : acc.append_text(std::nullopt);
  EXPECT_EQ(ok, c.parsed);
  ASSERT_EQ(acc.len(), 1u);
  EXPECT_EQ(repr(acc.cell_at(0)), c.cell);
  EXPECT_EQ(acc.null_count(), std::string(c.cell) == "null" ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, AppendTextTest,
    ::testing::Values(
        TextCase{"string_kept_untrimmed", ft_string(), " 12 ", true, "s: 12 "},
        TextCase{"string_empty_is_valid", ft_string(), "", true, "s:"},
        TextCase{"string_absent", ft_string(), std::nullopt, true, "null"},
        TextCase{"int_plain", ft_int(), "12", true, "i:12"},
        TextCase{"int_leading_space", ft_int(), " 12", false, "null"},
        TextCase{"int_absent", ft_int(), std::nullopt, true, "null"},
        TextCase{"float_plain", ft_float(), "1.5", true, "f:1.5"},
        TextCase{"bool_true", ft_bool(), "true", true, "b:true"},
        TextCase{"bool_false", ft_bool(), "false", true, "b:false"},
        TextCase{"bool_upper", ft_bool(), "TRUE", false, "null"},
        TextCase{"bool_yes", ft_bool(), "yes", false, "null"},
        TextCase{"date_trimmed", ft_date(), " 2024-01-05\t", true, "d:19727"},
        TextCase{"timestamp_us_fraction", ft_ts(TimeUnit::Microsecond), "2024-01-05 12:00:00.123456789", true,
                 "t:1704456000123456@2"},
        TextCase{"timestamp_custom_pattern",
                 FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y %H:%M:%S")), "05/01/2024 12:00:00",
                 true, "t:1704456000@0"},
        TextCase{"decimal_trimmed_truncated", ft_dec(2), " 12.345 ", true, "dec:1234/2"},
        TextCase{"decimal_bad", ft_dec(2), "1e3", false, "null"},
        TextCase{"dictionary_text", ft_dict(), "x", true, "s:x"},
        TextCase{"dictionary_absent", ft_dict(), std::nullopt, true, "null"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- null slots

struct NullSlotCase {
  const char* name;
  FieldType type;
  const char* bad_text;  // a text this column cannot parse
};

class NullSlotTest : public ::testing::TestWithParam<NullSlotCase> {};

// A null, whether absent or unparsable, occupies a slot holding zero (for
// String: no bytes and a repeated offset): the finished array's values
// buffer holds zero bits under both rows.
TEST_P(NullSlotTest, NullSlotsHoldZero) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 1);
  acc.append_null();
  acc.append_text(std::string_view(c.bad_text));
  ASSERT_EQ(acc.len(), 2u);
  EXPECT_EQ(acc.null_count(), 2u);
  // Strings store any text, so only the absent row would be a null there.
  ASSERT_NE(acc.kind(), FieldTag::String) << "not a typed kind";
  ASSERT_NE(acc.kind(), FieldTag::Dictionary) << "not a typed kind";
  const auto array = finished(std::move(acc));
  ASSERT_NE(array, nullptr);
  const arrow::Buffer& values = *array->data()->buffers[1];
  const int bits = static_cast<const arrow::FixedWidthType&>(*array->type()).bit_width();
  if (bits == 1) {  // Boolean: one bit per row
    ASSERT_EQ(values.size(), 1);
    EXPECT_EQ(values.data()[0] & 0x3, 0);
  } else {
    ASSERT_EQ(values.size(), 2 * bits / 8);
    EXPECT_TRUE(std::all_of(values.data(), values.data() + values.size(), [](std::uint8_t b) { return b == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Accumulator, NullSlotTest,
                         ::testing::Values(NullSlotCase{"int", ft_int(), "x"},
                                           NullSlotCase{"float", ft_float(), "x"},
                                           NullSlotCase{"bool", ft_bool(), "x"},
                                           NullSlotCase{"date", ft_date(), "x"},
                                           NullSlotCase{"timestamp", ft_ts(), "x"},
                                           NullSlotCase{"decimal", ft_dec(), "x"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Accumulator, StringAndDictionaryNullSlots) {
  const auto s = finished(filled(ft_string(), {"ab", std::nullopt, "c"}));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(offsets_of(*s), (std::vector<std::int32_t>{0, 2, 2, 3}));
  EXPECT_EQ(bytes_of(*s), "abc");
  auto acc = filled(ft_dict(), {"b", "a", "b", std::nullopt});
  EXPECT_EQ(acc.null_count(), 1u);
  const auto d = finished(std::move(acc));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(keys_of(*d), (std::vector<std::int32_t>{0, 1, 0, 0}));
  EXPECT_FALSE(d->IsValid(3));
  EXPECT_EQ(dictionary_texts_of(*d), (std::vector<std::string>{"b", "a"}));
}

// ---------------------------------------------------------------- conversion matrix

struct MatrixCase {
  const char* name;
  ScalarValue value;
  FieldType column;
  bool returned;
  const char* cell;
};

class ConversionMatrixTest : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(ConversionMatrixTest, AppendValueConverts) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.column, 2);
  EXPECT_EQ(acc.append_value(c.value), c.returned);
  ASSERT_EQ(acc.len(), 1u);
  EXPECT_EQ(repr(acc.cell_at(0)), c.cell);
}

using SV = ScalarValue;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Accumulator, ConversionMatrixTest,
    ::testing::Values(
        // Str parses exactly as append_text does.
        MatrixCase{"str_string", SV::of_str("12"), ft_string(), true, "s:12"},
        MatrixCase{"str_int", SV::of_str("12"), ft_int(), true, "i:12"},
        MatrixCase{"str_float", SV::of_str("12"), ft_float(), true, "f:12"},
        MatrixCase{"str_bool", SV::of_str("12"), ft_bool(), false, "null"},
        MatrixCase{"str_date", SV::of_str("12"), ft_date(), false, "null"},
        MatrixCase{"str_timestamp", SV::of_str("12"), ft_ts(), false, "null"},
        MatrixCase{"str_decimal", SV::of_str("12"), ft_dec(), true, "dec:1200/2"},
        MatrixCase{"str_dict", SV::of_str("12"), ft_dict(), true, "s:12"},
        // Int64
        MatrixCase{"int_string", SV::of_int64(-5), ft_string(), true, "s:-5"},
        MatrixCase{"int_int", SV::of_int64(-5), ft_int(), true, "i:-5"},
        MatrixCase{"int_float", SV::of_int64(-5), ft_float(), true, "f:-5"},
        MatrixCase{"int_float_nearest", SV::of_int64(9007199254740993), ft_float(), true, "f:9007199254740992"},
        MatrixCase{"int_bool", SV::of_int64(1), ft_bool(), true, "null"},
        MatrixCase{"int_date", SV::of_int64(5), ft_date(), true, "null"},
        MatrixCase{"int_timestamp", SV::of_int64(5), ft_ts(), true, "null"},
        MatrixCase{"int_decimal", SV::of_int64(5), ft_dec(), true, "null"},
        MatrixCase{"int_dict", SV::of_int64(-5), ft_dict(), true, "s:-5"},
        // Float64
        MatrixCase{"float_string", SV::of_float64(-2.5), ft_string(), true, "s:-2.5"},
        MatrixCase{"float_int_truncates", SV::of_float64(-2.7), ft_int(), true, "i:-2"},
        MatrixCase{"float_int_truncates_up", SV::of_float64(2.7), ft_int(), true, "i:2"},
        MatrixCase{"float_int_nan", SV::of_float64(kNaN), ft_int(), true, "i:0"},
        MatrixCase{"float_int_saturates_high", SV::of_float64(1e300), ft_int(), true, "i:9223372036854775807"},
        MatrixCase{"float_int_saturates_at_2p63", SV::of_float64(9223372036854775808.0), ft_int(), true,
                   "i:9223372036854775807"},
        MatrixCase{"float_int_saturates_low", SV::of_float64(-1e300), ft_int(), true, "i:-9223372036854775808"},
        MatrixCase{"float_int_infinity", SV::of_float64(-INFINITY), ft_int(), true, "i:-9223372036854775808"},
        MatrixCase{"float_float", SV::of_float64(-2.7), ft_float(), true, "f:-2.7"},
        MatrixCase{"float_bool", SV::of_float64(1.0), ft_bool(), true, "null"},
        MatrixCase{"float_date", SV::of_float64(1.0), ft_date(), true, "null"},
        MatrixCase{"float_timestamp", SV::of_float64(1.0), ft_ts(), true, "null"},
        MatrixCase{"float_decimal", SV::of_float64(1.0), ft_dec(), true, "null"},
        MatrixCase{"float_dict", SV::of_float64(0.1), ft_dict(), true, "s:0.1"},
        // Bool
        MatrixCase{"bool_string", SV::of_bool(true), ft_string(), true, "s:true"},
        MatrixCase{"bool_string_false", SV::of_bool(false), ft_string(), true, "s:false"},
        MatrixCase{"bool_int", SV::of_bool(true), ft_int(), true, "null"},
        MatrixCase{"bool_float", SV::of_bool(true), ft_float(), true, "null"},
        MatrixCase{"bool_bool", SV::of_bool(false), ft_bool(), true, "b:false"},
        MatrixCase{"bool_date", SV::of_bool(true), ft_date(), true, "null"},
        MatrixCase{"bool_timestamp", SV::of_bool(true), ft_ts(), true, "null"},
        MatrixCase{"bool_decimal", SV::of_bool(true), ft_dec(), true, "null"},
        MatrixCase{"bool_dict", SV::of_bool(true), ft_dict(), true, "s:true"},
        // Date32
        MatrixCase{"date_string", SV::of_date32(19727), ft_string(), true, "s:2024-01-05"},
        MatrixCase{"date_int", SV::of_date32(19727), ft_int(), true, "i:19727"},
        MatrixCase{"date_float", SV::of_date32(19727), ft_float(), true, "f:19727"},
        MatrixCase{"date_bool", SV::of_date32(19727), ft_bool(), true, "null"},
        MatrixCase{"date_date", SV::of_date32(-1), ft_date(), true, "d:-1"},
        MatrixCase{"date_timestamp", SV::of_date32(19727), ft_ts(), true, "null"},
        MatrixCase{"date_decimal", SV::of_date32(19727), ft_dec(), true, "null"},
        MatrixCase{"date_dict", SV::of_date32(19727), ft_dict(), true, "s:2024-01-05"},
        // Timestamp: the raw count, never rescaled, rendered as a plain integer.
        MatrixCase{"ts_string", SV::of_timestamp(5), ft_string(), true, "s:5"},
        MatrixCase{"ts_int", SV::of_timestamp(5), ft_int(), true, "i:5"},
        MatrixCase{"ts_float", SV::of_timestamp(5), ft_float(), true, "f:5"},
        MatrixCase{"ts_bool", SV::of_timestamp(5), ft_bool(), true, "null"},
        MatrixCase{"ts_date", SV::of_timestamp(5), ft_date(), true, "null"},
        MatrixCase{"ts_timestamp_s", SV::of_timestamp(5), ft_ts(TimeUnit::Second), true, "t:5@0"},
        MatrixCase{"ts_timestamp_ns", SV::of_timestamp(5), ft_ts(TimeUnit::Nanosecond), true, "t:5@3"},
        MatrixCase{"ts_decimal", SV::of_timestamp(5), ft_dec(), true, "null"},
        MatrixCase{"ts_dict", SV::of_timestamp(5), ft_dict(), true, "s:5"},
        // Null
        MatrixCase{"null_string", SV::null(), ft_string(), true, "null"},
        MatrixCase{"null_int", SV::null(), ft_int(), true, "null"},
        MatrixCase{"null_float", SV::null(), ft_float(), true, "null"},
        MatrixCase{"null_bool", SV::null(), ft_bool(), true, "null"},
        MatrixCase{"null_date", SV::null(), ft_date(), true, "null"},
        MatrixCase{"null_timestamp", SV::null(), ft_ts(), true, "null"},
        MatrixCase{"null_decimal", SV::null(), ft_dec(), true, "null"},
        MatrixCase{"null_dict", SV::null(), ft_dict(), true, "null"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Accumulator, BoolValueInsertsDictionaryText) {
  auto acc = ColumnAccumulator::create(ft_dict(), 4);
  acc.append_value(SV::of_bool(true));
  acc.append_value(SV::of_str("true"));
  const auto d = finished(std::move(acc));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(keys_of(*d), (std::vector<std::int32_t>{0, 0}));
  EXPECT_EQ(dictionary_texts_of(*d), (std::vector<std::string>{"true"}));
}

// ---------------------------------------------------------------- remove_last

struct RemoveCase {
  const char* name;
  FieldType type;
  std::vector<Input> inputs;
};

class RemoveLastTest : public ::testing::TestWithParam<RemoveCase> {};

// Removing values from the end gives exactly the state of never having
// appended them, for every prefix, across byte boundaries of the validity:
// the same rows, and finished arrays identical buffer by buffer (values
// under null rows included), except that a dictionary keeps the texts of
// removed rows after the others.
TEST_P(RemoveLastTest, UndoesAppendsExactly) {
  const auto& c = GetParam();
  const auto full = c.inputs;
  auto removed_down_to = [&](std::size_t keep) {
    auto acc = filled(c.type, full);
    for (std::size_t i = keep; i < full.size(); ++i) acc.remove_last();
    return acc;
  };
  auto prefix = [&](std::size_t n) {
    return filled(c.type, std::vector<Input>(full.begin(), full.begin() + static_cast<long>(n)));
  };
  for (std::size_t keep = 0; keep <= full.size(); ++keep) {
    expect_same_column(removed_down_to(keep), prefix(keep), "keep " + std::to_string(keep),
                       testing::DictionaryTexts::GotMayKeepMore);
    // Appending again after removals behaves like a fresh append.
    if (keep < full.size()) {
      auto acc = removed_down_to(keep);
      const auto& next = full[keep];
      next ? acc.append_text(std::string_view(*next)) : acc.append_text(std::nullopt);
      expect_same_column(std::move(acc), prefix(keep + 1), "re-append at " + std::to_string(keep),
                         testing::DictionaryTexts::GotMayKeepMore);
    }
  }
  auto empty = ColumnAccumulator::create(c.type, 1);
  empty.remove_last();
  expect_same_column(std::move(empty), ColumnAccumulator::create(c.type, 1), "empty");
}

std::vector<Input> cycle(std::vector<Input> pattern, std::size_t n) {
  std::vector<Input> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(pattern[i % pattern.size()]);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, RemoveLastTest,
    ::testing::Values(
        RemoveCase{"string", ft_string(), cycle({"ab", std::nullopt, "", "cde"}, 11)},
        RemoveCase{"int", ft_int(), cycle({"1", std::nullopt, "x", "-7"}, 11)},
        RemoveCase{"float", ft_float(), cycle({"1.5", std::nullopt, "x"}, 11)},
        RemoveCase{"bool", ft_bool(), cycle({"true", "false", std::nullopt, "x"}, 11)},
        RemoveCase{"date", ft_date(), cycle({"2024-01-05", std::nullopt, "x"}, 11)},
        RemoveCase{"timestamp", ft_ts(), cycle({"2024-01-05", std::nullopt, "x"}, 11)},
        RemoveCase{"decimal", ft_dec(), cycle({"1.25", std::nullopt, "x"}, 11)},
        RemoveCase{"dictionary", ft_dict(), cycle({"a", std::nullopt, "b", "a"}, 11)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Accumulator, RemoveLastOfString) {
  auto acc = filled(ft_string(), {"ab", "c"});
  acc.remove_last();
  const auto array = finished(std::move(acc));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(bytes_of(*array), "ab");
  EXPECT_EQ(offsets_of(*array), (std::vector<std::int32_t>{0, 2}));
}

TEST(Accumulator, RemovedDictionaryTextStaysAndIsReused) {
  auto removed = [] {
    auto acc = filled(ft_dict(), {"a", "new"});
    acc.remove_last();
    return acc;
  };
  // Finished right after the removal: the removed row's text is still there.
  auto at_removal = removed();
  EXPECT_EQ(at_removal.len(), 1u);
  const auto first = finished(std::move(at_removal));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(dictionary_texts_of(*first), (std::vector<std::string>{"a", "new"}));
  // The same column, carried on: the text keeps its key.
  auto acc = removed();
  acc.append_text(std::string_view("new"));
  EXPECT_EQ(acc.dictionary_key("new"), 1u);
  EXPECT_EQ(acc.dictionary_key("third"), 2u);
  const auto last = finished(std::move(acc));
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(keys_of(*last), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(dictionary_texts_of(*last), (std::vector<std::string>{"a", "new", "third"}));
}

// ---------------------------------------------------------------- dictionary encoding

struct EncodeCase {
  const char* name;
  std::vector<Input> inputs;
  std::vector<std::int32_t> keys;
  std::vector<bool> valid;
  std::vector<std::string> texts;
  std::uint64_t distinct;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, ReencodesStringAsDictionary) {
  const auto& c = GetParam();
  auto acc = filled(ft_string(), c.inputs);
  EXPECT_EQ(acc.distinct_count(), c.distinct);
  acc.encode_as_dictionary();
  ASSERT_EQ(acc.kind(), FieldTag::Dictionary);
  EXPECT_EQ(acc.field_type(), ft_dict());
  const auto array = finished(std::move(acc));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(keys_of(*array), c.keys);
  ASSERT_EQ(array->length(), static_cast<std::int64_t>(c.valid.size()));
  for (std::size_t i = 0; i < c.valid.size(); ++i) EXPECT_EQ(array->IsValid(static_cast<std::int64_t>(i)), c.valid[i]) << i;
  EXPECT_EQ(dictionary_texts_of(*array), c.texts);
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, EncodeTest,
    ::testing::Values(
        EncodeCase{"first_appearance", {"x", std::nullopt, "y", "x"}, {0, 0, 1, 0}, {true, false, true, true},
                   {"x", "y"}, 2},
        EncodeCase{"empty", {}, {}, {}, {}, 0},
        EncodeCase{"all_null", {std::nullopt, std::nullopt}, {0, 0}, {false, false}, {}, 0},
        EncodeCase{"empty_text_is_a_value", {"", "a", ""}, {0, 1, 0}, {true, true, true}, {"", "a"}, 2},
        // Bytes that are not UTF-8 are neither counted nor kept.
        EncodeCase{"invalid_utf8_becomes_null", {"a", "\xff", "a"}, {0, 0, 0}, {true, false, true}, {"a"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The re-encoded column lets go of the String column's bytes: a thousand
// copies of one 1000-byte text leave one copy behind in what it reserves.
TEST(Accumulator, EncodingReleasesTheStringBytes) {
  const std::string text(1000, 't');
  auto acc = ColumnAccumulator::create(ft_string(), 1000);
  for (int i = 0; i < 1000; ++i) acc.append_text(std::string_view(text));
  ASSERT_GE(acc.reserved_bytes(), 1000u * text.size());
  acc.encode_as_dictionary();
  ASSERT_EQ(acc.kind(), FieldTag::Dictionary);
  EXPECT_LT(acc.reserved_bytes(), 100u * text.size());
}

// ---------------------------------------------------------------- dictionary hash table

// 24-byte printable texts built against an unseeded multiply-fold hash
// (fold(a, b) = low ^ high half of a * b): the last 8 bytes equal
// fold(first 8 ^ k1, middle 8 ^ k0 ^ 24) ^ k2, which makes its inner multiply
// zero and its hash 0 for every one of them.
std::vector<std::string> texts_zeroing_a_fixed_hash(std::size_t n) {
  constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL;
  constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
  constexpr std::uint64_t k2 = 0x8ebc6af09c88c6e3ULL;
  auto fold = [](std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
  };
  std::mt19937_64 rng(20240105);
  std::vector<std::string> out;
  std::set<std::string> seen;
  char text[24];
  while (out.size() < n) {
    for (int half = 0; half < 2; ++half) {
      const std::uint64_t r = rng();
      for (int i = 0; i < 8; ++i) text[8 * half + i] = static_cast<char>(0x20 + ((r >> (8 * i)) & 0xff) % 95);
    }
    std::uint64_t w0, w1;
    std::memcpy(&w0, text, 8);
    std::memcpy(&w1, text + 8, 8);
    const std::uint64_t tail = fold(w0 ^ k1, w1 ^ (k0 ^ 24)) ^ k2;
    std::memcpy(text + 16, &tail, 8);
    if (!std::all_of(text + 16, text + 24, [](char c) { return c >= 0x20 && c < 0x7f; })) continue;
    std::string t(text, 24);
    if (seen.insert(t).second) out.push_back(std::move(t));
  }
  return out;
}

// 300-byte texts sharing (at least) their first 290 bytes.
std::vector<std::string> texts_with_a_long_shared_prefix(std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string number = std::to_string(i);
    out.push_back(std::string(300 - number.size(), 'p') + number);
  }
  return out;
}

// Texts of 300 bytes, each one byte away from the same base text.
std::vector<std::string> texts_one_byte_apart(std::size_t n) {
  const std::string base(300, 'b');
  std::vector<std::string> out;
  for (std::size_t i = 0; out.size() < n; ++i) {
    std::string t = base;
    t[i % base.size()] = static_cast<char>('c' + i / base.size());
    out.push_back(std::move(t));
  }
  return out;
}

struct HashTextsCase {
  const char* name;
  std::vector<std::string> (*make)(std::size_t);
};

class DictionaryHashTexts : public ::testing::TestWithParam<HashTextsCase> {};

// Distinct texts shaped against the hash table each get their own key in
// order, are found again, and sit a bounded distance from their home slots
// (texts piling onto one slot would make every append walk the pile).
TEST_P(DictionaryHashTexts, OwnKeysFoundAgainAndShortProbes) {
  const std::vector<std::string> texts = GetParam().make(6000);
  auto acc = ColumnAccumulator::create(ft_dict(), texts.size());
  for (const std::string& t : texts) ASSERT_TRUE(acc.append_text(std::string_view(t)));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(acc.dictionary_key(texts[i]), i) << i;
    ASSERT_EQ(acc.cell_text_at(i), texts[i]) << i;
  }
  EXPECT_EQ(acc.len(), texts.size());
  EXPECT_LE(acc.longest_probe_for_testing(), 64u);
}

INSTANTIATE_TEST_SUITE_P(Accumulator, DictionaryHashTexts,
                         ::testing::Values(HashTextsCase{"zeroing_a_fixed_hash", texts_zeroing_a_fixed_hash},
                                           HashTextsCase{"long_shared_prefix", texts_with_a_long_shared_prefix},
                                           HashTextsCase{"one_byte_apart", texts_one_byte_apart}),
                         [](const auto& info) { return std::string(info.param.name); });

// With the probe limit at 0, nearly every insert that misses its home slot
// moves the table to a new hash key, until the keys run out and the probes go
// unbounded: through all of it each text keeps its key and is found again,
// whether the texts come one at a time or as a whole column.
TEST(DictionaryRehash, KeysSurviveEveryNewHashKey) {
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) texts.push_back("t" + std::to_string(i * 7919 % 3001));
  std::string bytes;
  std::vector<std::int32_t> offsets = {0};
  for (const std::string& t : texts) {
    bytes += t;
    offsets.push_back(static_cast<std::int32_t>(bytes.size()));
  }
  TextColumnView column;
  column.offsets = offsets.data();
  column.data = bytes.data();
  column.data_size = bytes.size();
  column.length = texts.size();
  for (const bool whole_column : {false, true}) {
    SCOPED_TRACE(whole_column ? "whole column" : "one at a time");
    auto acc = ColumnAccumulator::create(ft_dict(), 0);
    acc.set_probe_limit_for_testing(0);
    for (int pass = 0; pass < 2; ++pass) {  // the second pass finds every text
      if (whole_column) {
        ASSERT_FALSE(acc.append_texts(column).has_value());
      } else {
        for (const std::string& t : texts) ASSERT_TRUE(acc.append_text(std::string_view(t)));
      }
    }
    EXPECT_EQ(acc.hash_generation_for_testing(), 15u);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(acc.dictionary_key(texts[i]), i) << i;
      ASSERT_EQ(acc.cell_text_at(i), texts[i]) << i;
      ASSERT_EQ(acc.cell_text_at(texts.size() + i), texts[i]) << i;
    }
  }
}

// ---------------------------------------------------------------- reads

struct ReadCase {
  const char* name;
  FieldType type;
  Input text;
  std::uint64_t row;  // row read back (1 is past the end)
  Input text_at;
  const char* cell;
  Input cell_text;
};

class ReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTest, TextCellAndCellText) {
  const auto& c = GetParam();
  auto acc = filled(c.type, {c.text});
  auto t = acc.text_at(c.row);
  EXPECT_EQ(t ? Input(std::string(*t)) : Input(), c.text_at);
  EXPECT_EQ(repr(acc.cell_at(c.row)), c.cell);
  EXPECT_EQ(acc.cell_text_at(c.row), c.cell_text);
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, ReadTest,
    ::testing::Values(
        ReadCase{"string", ft_string(), "héllo", 0, "héllo", "s:héllo", "héllo"},
        ReadCase{"string_null", ft_string(), std::nullopt, 0, std::nullopt, "null", std::nullopt},
        ReadCase{"string_past_end", ft_string(), "a", 1, std::nullopt, "null", std::nullopt},
        ReadCase{"string_invalid_utf8", ft_string(), "a\xff", 0, std::nullopt, "null", std::nullopt},
        ReadCase{"string_surrogate", ft_string(), "\xed\xa0\x80", 0, std::nullopt, "null", std::nullopt},
        ReadCase{"string_truncated_sequence", ft_string(), "abcdefgh\xe2\x82", 0, std::nullopt, "null",
                 std::nullopt},
        ReadCase{"string_four_byte", ft_string(), "\xf0\x9f\x98\x80", 0, "\xf0\x9f\x98\x80", "s:\xf0\x9f\x98\x80",
                 "\xf0\x9f\x98\x80"},
        ReadCase{"dict", ft_dict(), "abc", 0, std::nullopt, "s:abc", "abc"},
        // A Dictionary gives invalid bytes with each maximal bad run replaced.
        ReadCase{"dict_invalid_utf8", ft_dict(), "a\xffz", 0, std::nullopt, "null", "a\xef\xbf\xbdz"},
        ReadCase{"dict_truncated_sequence", ft_dict(), "\xe2\x82z", 0, std::nullopt, "null", "\xef\xbf\xbdz"},
        ReadCase{"dict_bad_second_byte", ft_dict(), "\xf0\x80", 0, std::nullopt, "null",
                 "\xef\xbf\xbd\xef\xbf\xbd"},
        ReadCase{"dict_null", ft_dict(), std::nullopt, 0, std::nullopt, "null", std::nullopt},
        ReadCase{"int", ft_int(), "-12", 0, std::nullopt, "i:-12", "-12"},
        ReadCase{"int_past_end", ft_int(), "-12", 1, std::nullopt, "null", std::nullopt},
        ReadCase{"float", ft_float(), "0.1", 0, std::nullopt, "f:0.1", "0.1"},
        ReadCase{"bool", ft_bool(), "true", 0, std::nullopt, "b:true", "true"},
        ReadCase{"date", ft_date(), "2024-01-05", 0, std::nullopt, "d:19727", "2024-01-05"},
        ReadCase{"timestamp_ms", ft_ts(TimeUnit::Millisecond), "1970-01-01 00:00:01.5", 0, std::nullopt, "t:1500@1",
                 "1970-01-01 00:00:01.500"},
        ReadCase{"decimal", ft_dec(3), "-0.005", 0, std::nullopt, "dec:-5/3", "-0.005"},
        ReadCase{"decimal_null", ft_dec(3), "x", 0, std::nullopt, "null", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- kinds and types

struct KindCase {
  const char* name;
  FieldType type;
  FieldTag kind;
};

class KindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindTest, CreateSelectsVariantAndKeepsType) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 0);
  EXPECT_EQ(acc.kind(), c.kind);
  EXPECT_EQ(acc.field_type(), c.type);
  EXPECT_EQ(acc.len(), 0u);
  EXPECT_FALSE(acc.overflow().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, KindTest,
    ::testing::Values(KindCase{"string", ft_string(), FieldTag::String}, KindCase{"int", ft_int(), FieldTag::Int64},
                      KindCase{"float", ft_float(), FieldTag::Float64}, KindCase{"bool", ft_bool(), FieldTag::Boolean},
                      KindCase{"date", ft_date(), FieldTag::Date32},
                      KindCase{"timestamp_ns", ft_ts(TimeUnit::Nanosecond), FieldTag::Timestamp},
                      KindCase{"timestamp_pattern", FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y")),
                               FieldTag::Timestamp},
                      KindCase{"decimal", ft_dec(7), FieldTag::Decimal128},
                      KindCase{"dict", ft_dict(), FieldTag::Dictionary}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- reservations

struct ReserveCase {
  const char* name;
  FieldType type;
  std::uint64_t capacity;
  std::uint64_t min_bytes;
  std::uint64_t max_bytes;
};

class ReserveTest : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(ReserveTest, CreateReservesForCapacity) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, c.capacity);
  EXPECT_GE(acc.reserved_bytes(), c.min_bytes);
  EXPECT_LE(acc.reserved_bytes(), c.max_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, ReserveTest,
    ::testing::Values(
        // 16 bytes per row, offsets (n + 1) x 4, ceil(n / 8) validity bytes.
        ReserveCase{"string_100", ft_string(), 100, 1600 + 404 + 13, 1600 + 404 + 13},
        // The string reservation stops at one million rows.
        ReserveCase{"string_capped", ft_string(), 5000000, 16000000 + 4000004 + 125000,
                    16000000 + 4000004 + 125000},
        ReserveCase{"int_100", ft_int(), 100, 800 + 13, 800 + 13},
        ReserveCase{"float_64", ft_float(), 64, 512 + 8, 512 + 8},
        ReserveCase{"bool_100", ft_bool(), 100, 100 + 13, 100 + 13},
        ReserveCase{"date_100", ft_date(), 100, 400 + 13, 400 + 13},
        ReserveCase{"timestamp_100", ft_ts(), 100, 800 + 13, 800 + 13},
        ReserveCase{"decimal_100", ft_dec(), 100, 1600 + 13, 1600 + 13},
        ReserveCase{"big_int_not_capped", ft_int(), 2000000, 16000000 + 250000, 16000000 + 250000},
        // Keys, validity and the single starting dictionary offset, plus an
        // empty index's bucket array.
        ReserveCase{"dict_100", ft_dict(), 100, 400 + 13 + 4, 400 + 13 + 4 + 64}),
    [](const auto& info) { return std::string(info.param.name); });

struct GrowthCase {
  const char* name;
  FieldType type;
  std::string text;      // appended 1000 times (with a counter for the dictionary)
  std::uint64_t min_per_row;
};

class GrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(GrowthTest, ReservedBytesGrowWithData) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(c.type, 1);
  const std::uint64_t before = acc.reserved_bytes();
  for (int i = 0; i < 1000; ++i) {
    std::string t = c.text;
    if (acc.kind() == FieldTag::Dictionary || acc.kind() == FieldTag::String) t += std::to_string(i);
    acc.append_text(std::string_view(t));
  }
  EXPECT_GT(acc.reserved_bytes(), before);
  EXPECT_GE(acc.reserved_bytes(), 1000 * c.min_per_row + 125);
}

INSTANTIATE_TEST_SUITE_P(
    Accumulator, GrowthTest,
    ::testing::Values(GrowthCase{"string", ft_string(), "some text ", 4 + 10},
                      GrowthCase{"int", ft_int(), "1", 8}, GrowthCase{"float", ft_float(), "1", 8},
                      GrowthCase{"bool", ft_bool(), "true", 1}, GrowthCase{"date", ft_date(), "2024-01-05", 4},
                      GrowthCase{"timestamp", ft_ts(), "2024-01-05", 8}, GrowthCase{"decimal", ft_dec(), "1", 16},
                      // Keys, distinct bytes and offsets, and one index entry per text.
                      GrowthCase{"dict", ft_dict(), "distinct text ", 4 + 13 + 4 + 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Accumulator, ReservedBytesCountPatternAndLongIndexTexts) {
  const std::string pattern(40, 'x');
  auto with = ColumnAccumulator::create(FieldType::timestamp(TimeUnit::Second, pattern), 8);
  auto without = ColumnAccumulator::create(FieldType::timestamp(TimeUnit::Second), 8);
  EXPECT_GE(with.reserved_bytes(), without.reserved_bytes() + pattern.size());

  auto dict = ColumnAccumulator::create(ft_dict(), 8);
  dict.append_text(std::string_view("short"));
  const std::uint64_t before = dict.reserved_bytes();
  const std::string long_text(1000, 'y');
  dict.append_text(std::string_view(long_text));
  // The distinct bytes and the index's own copy are both counted.
  EXPECT_GE(dict.reserved_bytes(), before + 2 * long_text.size());
}

// ---------------------------------------------------------------- offset limit

TEST(OffsetLimit, StringStopsGrowingAndRecordsOverflow) {
  auto acc = ColumnAccumulator::create(ft_string(), 4);
  acc.set_offset_limit_for_testing(10);
  acc.append_text(std::string_view("abcdef"));
  acc.append_text(std::string_view("ghij"));  // exactly 10 bytes: still fits
  EXPECT_FALSE(acc.overflow().has_value());
  acc.append_text(std::string_view("k"));
  ASSERT_TRUE(acc.overflow().has_value());
  EXPECT_EQ(*acc.overflow(), "string column exceeds 10 bytes");
  acc.append_text(std::string_view(""));  // later rows are nulls as well
  EXPECT_EQ(acc.len(), 4u);
  EXPECT_EQ(acc.null_count(), 2u);
  // The rows that fit read back whole; the two after them hold nothing.
  EXPECT_EQ(acc.text_at(0), "abcdef");
  EXPECT_EQ(acc.text_at(1), "ghij");
  EXPECT_EQ(acc.text_at(2), std::nullopt);
  EXPECT_EQ(acc.text_at(3), std::nullopt);

  // Removing the rows from the first one that did not fit makes it whole.
  acc.remove_last();
  EXPECT_TRUE(acc.overflow().has_value());
  acc.remove_last();
  EXPECT_FALSE(acc.overflow().has_value());
  acc.append_text(std::string_view(""));
  EXPECT_FALSE(acc.overflow().has_value());
  EXPECT_EQ(acc.null_count(), 0u);
  // The 10 bytes of the rows that fit, and nothing of the text that did not.
  const auto array = finished(std::move(acc));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(bytes_of(*array), "abcdefghij");
  EXPECT_EQ(offsets_of(*array), (std::vector<std::int32_t>{0, 6, 10, 10}));
}

// A text that does not fit is not stored: appending one of a megabyte past
// the limit grows nothing the column reserves by anywhere near its size.
TEST(OffsetLimit, TextPastTheLimitIsNotCopied) {
  auto acc = ColumnAccumulator::create(ft_string(), 4);
  acc.set_offset_limit_for_testing(10);
  acc.append_text(std::string_view("abcdef"));
  const std::uint64_t before = acc.reserved_bytes();
  const std::string big(std::size_t{1} << 20, 'z');
  acc.append_text(std::string_view(big));
  ASSERT_TRUE(acc.overflow().has_value());
  EXPECT_LT(acc.reserved_bytes(), before + big.size() / 2);
}

// The hook lowers the limit but never raises it: with a limit asked for far
// past the maximum, a text one byte longer than the maximum still overflows
// at the maximum. The text lies in mapped pages that are never touched (a
// text that does not fit is not read), so it costs no memory.
TEST(OffsetLimit, LimitNeverRaisedAboveMaximum) {
  EXPECT_EQ(ColumnAccumulator::kMaxOffset, 2147483647u);
  const std::size_t size = static_cast<std::size_t>(ColumnAccumulator::kMaxOffset) + 1;
  void* pages = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  auto acc = ColumnAccumulator::create(ft_string(), 1);
  acc.set_offset_limit_for_testing(std::uint64_t{1} << 40);
  acc.append_text(std::string_view(static_cast<const char*>(pages), size));
  ::munmap(pages, size);
  ASSERT_TRUE(acc.overflow().has_value());
  EXPECT_EQ(*acc.overflow(), "string column exceeds 2147483647 bytes");
  EXPECT_EQ(acc.null_count(), 1u);
}

struct DictLimitCase {
  const char* name;
  std::uint64_t limit;
  std::vector<Input> inputs;
  std::vector<std::int32_t> keys;
  std::uint64_t nulls;
  const char* overflow;
};

class DictionaryLimitTest : public ::testing::TestWithParam<DictLimitCase> {};

TEST_P(DictionaryLimitTest, NewTextsStopAtTheLimit) {
  const auto& c = GetParam();
  auto acc = ColumnAccumulator::create(ft_dict(), 4);
  acc.set_offset_limit_for_testing(c.limit);
  for (const auto& in : c.inputs) acc.append_text(std::string_view(*in));
  EXPECT_EQ(acc.null_count(), c.nulls);
  ASSERT_TRUE(acc.overflow().has_value());
  EXPECT_EQ(*acc.overflow(), c.overflow);
  // Each row that got a key reads back its text, and the dictionary gives
  // that text the expected key; a text whose row became null was not
  // stored, and still finds no room.
  ASSERT_EQ(acc.len(), c.keys.size());
  for (std::size_t i = 0; i < c.keys.size(); ++i) {
    const auto text = acc.cell_text_at(i);
    if (text) {
      EXPECT_EQ(*text, *c.inputs[i]) << i;
      EXPECT_EQ(acc.dictionary_key(*text), static_cast<std::uint32_t>(c.keys[i])) << i;
    } else {
      EXPECT_EQ(acc.dictionary_key(*c.inputs[i]), ColumnAccumulator::kNoKey) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    OffsetLimit, DictionaryLimitTest,
    ::testing::Values(
        // Known texts still find their keys after the overflow.
        DictLimitCase{"bytes", 5, {"abc", "de", "f", "abc"}, {0, 1, 0, 0}, 1, "dictionary column exceeds 5 bytes"},
        DictLimitCase{"count", 2, {"a", "b", "c", "b"}, {0, 1, 0, 1}, 1,
                      "dictionary column exceeds 2 distinct values"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OffsetLimit, DictionaryKeyReportsFullDictionary) {
  auto acc = ColumnAccumulator::create(ft_dict(), 4);
  acc.set_offset_limit_for_testing(1);
  EXPECT_EQ(acc.dictionary_key("a"), 0u);
  EXPECT_EQ(acc.dictionary_key("b"), ColumnAccumulator::kNoKey);
  EXPECT_EQ(acc.dictionary_key("a"), 0u);
}

TEST(OffsetLimit, EncodingKeepsOverflow) {
  auto acc = ColumnAccumulator::create(ft_string(), 4);
  acc.set_offset_limit_for_testing(3);
  acc.append_text(std::string_view("ab"));
  acc.append_text(std::string_view("cd"));
  acc.encode_as_dictionary();
  ASSERT_TRUE(acc.overflow().has_value());
  EXPECT_EQ(*acc.overflow(), "string column exceeds 3 bytes");
}

TEST(Accumulator, DictionaryKeyOnOtherKindIsAnInternalFault) {
  auto acc = ColumnAccumulator::create(ft_string(), 1);
  EXPECT_THROW(acc.dictionary_key("a"), std::logic_error);
}

// ---------------------------------------------------------------- debug text

struct DebugCase {
  const char* name;
  ScalarValue value;
  const char* text;
};

class DebugTextTest : public ::testing::TestWithParam<DebugCase> {};

TEST_P(DebugTextTest, Renders) { EXPECT_EQ(GetParam().value.debug_text(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Accumulator, DebugTextTest,
                         ::testing::Values(DebugCase{"date", SV::of_date32(19727), "Date32(19727)"},
                                           DebugCase{"date_negative", SV::of_date32(-3), "Date32(-3)"},
                                           DebugCase{"timestamp", SV::of_timestamp(5), "Timestamp(5)"},
                                           DebugCase{"null", SV::null(), "Null"},
                                           DebugCase{"int", SV::of_int64(-5), "Int64(-5)"},
                                           DebugCase{"float", SV::of_float64(1.5), "Float64(1.5)"},
                                           DebugCase{"float_whole", SV::of_float64(2.0), "Float64(2.0)"},
                                           DebugCase{"bool", SV::of_bool(true), "Bool(true)"},
                                           DebugCase{"str", SV::of_str("x"), "Str(\"x\")"},
                                           DebugCase{"str_escaped", SV::of_str("a\"b"), "Str(\"a\\\"b\")"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorpel
