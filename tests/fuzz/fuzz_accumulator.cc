// Column accumulators driven by random sequences of appends, removals,
// dictionary operations, reads and re-encodings. After every step the
// accumulator's buffers must satisfy their invariants and agree with a shadow
// model of the rows; an append followed by remove_last must restore the
// previous state; at the end the Arrow array must validate in full and hold
// exactly the shadow's rows.

#include <fuzzer/FuzzedDataProvider.h>

#include <arrow/api.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/accumulator_impl.h"
#include "core/columnar/array_assembly.h"
#include "core/columnar/utf8_check.h"
#include "fuzz_util.h"

namespace {

using namespace vorpel;
using fuzz::show;
using Kind = ColumnAccumulator::Kind;
using Impl = ColumnAccumulator::Impl;
using VK = ScalarValue::Kind;

constexpr std::size_t kMaxOps = 300;

const char* const kPatterns[] = {"%d/%m/%Y %H:%M:%S", "%Y%m%d", "%Y-%j", "%d %b %Y %I:%M %p", "%F %T%.f", "%s"};

// One row as the accumulator should hold it.
struct Row {
  bool valid = false;
  std::string bytes;                     // String and Dictionary: the stored text
  std::optional<std::string> cell_text;  // cell_text_at when the row was appended
};

struct Model {
  FieldType type;
  std::vector<Row> rows;
};

std::string_view row_bytes(const std::vector<std::uint8_t>& bytes, std::int32_t b, std::int32_t e) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()) + b, static_cast<std::size_t>(e - b));
}

std::uint64_t dictionary_size(const Impl& a) { return a.dict_offsets.size() - 1; }

std::string_view dictionary_text(const Impl& a, std::uint64_t key) {
  return row_bytes(a.dict_bytes, a.dict_offsets[key], a.dict_offsets[key + 1]);
}

// ---------------------------------------------------------------- invariants

void check_offsets(const std::vector<std::int32_t>& offsets, std::size_t byte_total, const char* what) {
  FUZZ_CHECK(!offsets.empty() && offsets.front() == 0, what);
  for (std::size_t i = 1; i < offsets.size(); ++i) FUZZ_CHECK(offsets[i - 1] <= offsets[i], what);
  FUZZ_CHECK(static_cast<std::size_t>(offsets.back()) == byte_total, what);
}

void check_invariants(const ColumnAccumulator& acc, const Model& m) {
  const Impl& a = acc.impl();
  const std::uint64_t len = a.validity.len();
  const auto& vbytes = a.validity.bytes();
  FUZZ_CHECK(acc.len() == len && len == m.rows.size(), std::to_string(len) + " vs " + std::to_string(m.rows.size()));
  FUZZ_CHECK(vbytes.size() == (len + 7) / 8, "validity byte count");
  std::uint64_t zeros = 0;
  for (std::uint64_t i = 0; i < len; ++i) {
    const bool bit = (vbytes[i / 8] >> (i % 8)) & 1;
    zeros += bit ? 0 : 1;
    FUZZ_CHECK(bit == m.rows[i].valid, "validity of row " + std::to_string(i));
  }
  if (len % 8 != 0) FUZZ_CHECK((vbytes.back() >> (len % 8)) == 0, "bits past the length are set");
  FUZZ_CHECK(zeros == a.validity.null_count() && acc.null_count() == zeros, "null count");

  // Exactly one slot per row in the buffers of the column's kind; the
  // buffers of the other kinds stay empty.
  const bool is_i64 = a.kind == Kind::Int64 || a.kind == Kind::Timestamp;
  FUZZ_CHECK(a.i64_values.size() == (is_i64 ? len : 0), "i64 slots");
  FUZZ_CHECK(a.f64_values.size() == (a.kind == Kind::Float64 ? len : 0), "f64 slots");
  FUZZ_CHECK(a.bool_values.size() == (a.kind == Kind::Boolean ? len : 0), "bool slots");
  FUZZ_CHECK(a.date_values.size() == (a.kind == Kind::Date32 ? len : 0), "date slots");
  FUZZ_CHECK(a.dec_values.size() == (a.kind == Kind::Decimal128 ? len : 0), "decimal slots");
  FUZZ_CHECK(a.keys.size() == (a.kind == Kind::Dictionary ? len : 0), "key slots");
  if (a.kind != Kind::String) FUZZ_CHECK(a.str_bytes.empty() && a.str_offsets.empty(), "string buffers in use");
  if (a.kind != Kind::Dictionary) FUZZ_CHECK(a.dict_bytes.empty() && a.dict_offsets.empty() && a.dict_slots.empty(), "dict");
  if (a.overflow) FUZZ_CHECK(a.kind == Kind::String || a.kind == Kind::Dictionary, "overflow on a typed column");

  for (std::uint64_t i = 0; i < len; ++i) {
    const bool valid = m.rows[i].valid;
    switch (a.kind) {
      case Kind::Int64:
      case Kind::Timestamp: FUZZ_CHECK(valid || a.i64_values[i] == 0, "null slot not zero"); break;
      case Kind::Float64:
        FUZZ_CHECK(valid || std::bit_cast<std::uint64_t>(a.f64_values[i]) == 0, "null slot not zero");
        break;
      case Kind::Boolean:
        FUZZ_CHECK(a.bool_values[i] <= 1 && (valid || a.bool_values[i] == 0), "boolean slot");
        break;
      case Kind::Date32: FUZZ_CHECK(valid || a.date_values[i] == 0, "null slot not zero"); break;
      case Kind::Decimal128: FUZZ_CHECK(valid || a.dec_values[i] == 0, "null slot not zero"); break;
      case Kind::String: break;
      case Kind::Dictionary: {
        const std::int32_t key = a.keys[i];
        if (valid) {
          FUZZ_CHECK(key >= 0 && static_cast<std::uint64_t>(key) < dictionary_size(a), "key out of range");
          FUZZ_CHECK(dictionary_text(a, static_cast<std::uint64_t>(key)) == m.rows[i].bytes,
                     "row " + std::to_string(i) + " text " + show(m.rows[i].bytes));
        } else {
          FUZZ_CHECK(key == 0, "null key not zero");
        }
        break;
      }
    }
  }

  if (a.kind == Kind::String) {
    FUZZ_CHECK(a.str_offsets.size() == len + 1, "offsets length");
    check_offsets(a.str_offsets, a.str_bytes.size(), "string offsets");
    for (std::uint64_t i = 0; i < len; ++i) {
      const std::string_view stored = row_bytes(a.str_bytes, a.str_offsets[i], a.str_offsets[i + 1]);
      FUZZ_CHECK(stored == (m.rows[i].valid ? std::string_view(m.rows[i].bytes) : std::string_view()),
                 "row " + std::to_string(i) + " holds " + show(stored));
    }
    FUZZ_CHECK(a.str_bytes.size() <= a.offset_limit, "string bytes past the offset limit");
  }
  if (a.kind == Kind::Dictionary) {
    check_offsets(a.dict_offsets, a.dict_bytes.size(), "dictionary offsets");
    std::uint64_t held = 0;
    std::vector<bool> seen(dictionary_size(a), false);
    for (const std::uint64_t slot : a.dict_slots) {
      if (slot == 0) continue;
      ++held;
      const std::uint64_t key = static_cast<std::uint32_t>(slot) - 1;
      FUZZ_CHECK(key < dictionary_size(a) && !seen[key], "hash table slot " + std::to_string(slot));
      if (key < seen.size()) seen[key] = true;
    }
    FUZZ_CHECK(held == dictionary_size(a), "hash table key count");
    FUZZ_CHECK(a.dict_bytes.size() <= a.offset_limit && dictionary_size(a) <= a.offset_limit, "dictionary limit");
  }
}

// ---------------------------------------------------------------- snapshots

struct Snapshot {
  std::vector<std::uint8_t> validity;
  std::uint64_t len = 0, nulls = 0;
  std::vector<std::int64_t> i64;
  std::vector<std::uint64_t> f64_bits;
  std::vector<std::uint8_t> bools;
  std::vector<std::int32_t> dates;
  std::vector<int128> decs;
  std::vector<std::uint8_t> str_bytes, dict_bytes;
  std::vector<std::int32_t> str_offsets, dict_offsets, keys;
  bool overflow = false;
};

Snapshot snapshot(const ColumnAccumulator& acc) {
  const Impl& a = acc.impl();
  Snapshot s;
  s.validity = a.validity.bytes();
  s.len = a.validity.len();
  s.nulls = a.validity.null_count();
  s.i64 = a.i64_values;
  for (const double d : a.f64_values) s.f64_bits.push_back(std::bit_cast<std::uint64_t>(d));
  s.bools = a.bool_values;
  s.dates = a.date_values;
  s.decs = a.dec_values;
  s.str_bytes = a.str_bytes;
  s.str_offsets = a.str_offsets;
  s.dict_bytes = a.dict_bytes;
  s.dict_offsets = a.dict_offsets;
  s.keys = a.keys;
  s.overflow = a.overflow.has_value();
  return s;
}

template <class T>
bool is_prefix(const std::vector<T>& prefix, const std::vector<T>& whole) {
  return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

// `after` is `before` again; a dictionary may keep texts added meanwhile, and
// a dictionary that ran full stays marked as full.
void check_restored(const Snapshot& before, const Snapshot& after, Kind kind) {
  FUZZ_CHECK(before.validity == after.validity && before.len == after.len && before.nulls == after.nulls,
             "validity not restored");
  FUZZ_CHECK(before.i64 == after.i64 && before.f64_bits == after.f64_bits && before.bools == after.bools &&
                 before.dates == after.dates && before.decs == after.decs,
             "values not restored");
  FUZZ_CHECK(before.str_bytes == after.str_bytes && before.str_offsets == after.str_offsets, "string not restored");
  FUZZ_CHECK(before.keys == after.keys, "keys not restored");
  if (kind == Kind::Dictionary) {
    FUZZ_CHECK(is_prefix(before.dict_bytes, after.dict_bytes) && is_prefix(before.dict_offsets, after.dict_offsets),
               "dictionary lost texts");
    FUZZ_CHECK(!before.overflow || after.overflow, "overflow flag lost");
  } else {
    FUZZ_CHECK(before.overflow == after.overflow, "overflow flag not restored");
  }
}

// ---------------------------------------------------------------- inputs

FieldType pick_type(FuzzedDataProvider& in) {
  const auto unit = static_cast<TimeUnit>(in.ConsumeIntegralInRange<int>(0, 3));
  switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0: return FieldType::simple(FieldTag::String);
    case 1: return FieldType::simple(FieldTag::Int64);
    case 2: return FieldType::simple(FieldTag::Float64);
    case 3: return FieldType::simple(FieldTag::Boolean);
    case 4: return FieldType::simple(FieldTag::Dictionary);
    case 5: return FieldType::simple(FieldTag::Date32);
    case 6: return FieldType::timestamp(unit);
    case 7: return FieldType::timestamp(unit, std::string(in.PickValueInArray(kPatterns)));
    default: return FieldType::decimal128(in.ConsumeIntegralInRange<std::uint8_t>(0, 38));
  }
}

double pick_double(FuzzedDataProvider& in) {
  static const double kSpecial[] = {std::numeric_limits<double>::quiet_NaN(),
                                    -std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    -0.0,
                                    -2.7,
                                    1e300,
                                    -1e300,
                                    9223372036854775807.0,
                                    -9223372036854775808.0,
                                    9223372036854774784.0,
                                    5e-324};
  if (in.ConsumeBool()) return in.PickValueInArray(kSpecial);
  return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
}

// A text that often parses for the column: a rendering of a random value of
// its type, sometimes padded, or raw bytes.
std::string pick_text(FuzzedDataProvider& in, const FieldType& type) {
  const int how = in.ConsumeIntegralInRange<int>(0, 3);
  if (how == 0) return in.ConsumeRandomLengthString(24);
  std::string text;
  switch (type.tag) {
    case FieldTag::Int64: text = render_int64(in.ConsumeIntegral<std::int64_t>()); break;
    case FieldTag::Float64: text = render_float64(pick_double(in)); break;
    case FieldTag::Boolean: text = in.ConsumeBool() ? "true" : "false"; break;
    case FieldTag::Date32: text = render_date32(in.ConsumeIntegral<std::int32_t>()); break;
    case FieldTag::Timestamp: text = render_timestamp(in.ConsumeIntegral<std::int64_t>(), type.unit); break;
    case FieldTag::Decimal128:
      text = render_decimal128(in.ConsumeIntegral<std::int64_t>(), in.ConsumeIntegralInRange<std::uint8_t>(0, 38));
      break;
    case FieldTag::String:
    case FieldTag::Dictionary:
      // Few distinct texts, so dictionary keys repeat.
      text = std::string(1, static_cast<char>('a' + in.ConsumeIntegralInRange<int>(0, 5)));
      break;
  }
  if (how == 3) text = " " + text + "\t";
  return text;
}

ScalarValue pick_value(FuzzedDataProvider& in, std::string_view text) {
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: return ScalarValue::of_str(text);
    case 1: return ScalarValue::of_int64(in.ConsumeIntegral<std::int64_t>());
    case 2: return ScalarValue::of_float64(pick_double(in));
    case 3: return ScalarValue::of_bool(in.ConsumeBool());
    case 4: return ScalarValue::of_date32(in.ConsumeIntegral<std::int32_t>());
    case 5: return ScalarValue::of_timestamp(in.ConsumeIntegral<std::int64_t>());
    default: return ScalarValue::null();
  }
}

// ---------------------------------------------------------------- expectations

// Float64 into Int64: toward zero, saturated, NaN as 0.
std::int64_t truncate_saturating(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
  if (x < -0x1p63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::trunc(x));
}

// What a present text parses to in a typed column, through the one-off
// parser entry points (not the accumulator's compiled ones).
std::optional<std::string> parsed_text(const FieldType& type, std::string_view t) {
  switch (type.tag) {
    case FieldTag::Int64:
      if (auto v = parse_int64(t)) return render_int64(*v);
      return std::nullopt;
    case FieldTag::Float64:
      if (auto v = parse_float64(t)) return render_float64(*v);
      return std::nullopt;
    case FieldTag::Boolean:
      if (auto v = parse_boolean(t)) return render_boolean(*v);
      return std::nullopt;
    case FieldTag::Date32:
      if (auto v = parse_date32(t)) return render_date32(*v);
      return std::nullopt;
    case FieldTag::Timestamp:
      if (auto v = parse_timestamp(t, type.unit, type.pattern)) return render_timestamp(*v, type.unit);
      return std::nullopt;
    case FieldTag::Decimal128: {
      // A decimal column holds 38 digits: a wider value does not parse as its type.
      static const int128 kLimit = [] {
        int128 p = 1;
        for (int i = 0; i < 38; ++i) p *= 10;
        return p;
      }();
      const auto v = parse_decimal128(t, type.scale);
      if (v && *v < kLimit && *v > -kLimit) return render_decimal128(*v, type.scale);
      return std::nullopt;
    }
    case FieldTag::String:
    case FieldTag::Dictionary: return std::string(t);
  }
  return std::nullopt;
}

// The cell text a typed value should leave in a column of `type`, or absent
// for a null (the conversion matrix, written out row by row).
std::optional<std::string> converted_text(const FieldType& type, const ScalarValue& v) {
  const bool textual = type.tag == FieldTag::String || type.tag == FieldTag::Dictionary;
  switch (v.kind) {
    case VK::Str: return parsed_text(type, v.str);
    case VK::Null: return std::nullopt;
    case VK::Int64:
      if (textual) return render_int64(v.i64);
      if (type.tag == FieldTag::Int64) return render_int64(v.i64);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.i64));
      return std::nullopt;
    case VK::Float64:
      if (textual) return render_float64(v.f64);
      if (type.tag == FieldTag::Int64) return render_int64(truncate_saturating(v.f64));
      if (type.tag == FieldTag::Float64) return render_float64(v.f64);
      return std::nullopt;
    case VK::Bool:
      if (textual || type.tag == FieldTag::Boolean) return std::string(v.b ? "true" : "false");
      return std::nullopt;
    case VK::Date32:
      if (textual) return render_date32(v.date);
      if (type.tag == FieldTag::Int64) return render_int64(v.date);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.date));
      if (type.tag == FieldTag::Date32) return render_date32(v.date);
      return std::nullopt;
    case VK::Timestamp:
      if (textual) return render_int64(v.i64);
      if (type.tag == FieldTag::Int64) return render_int64(v.i64);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.i64));
      if (type.tag == FieldTag::Timestamp) return render_timestamp(v.i64, type.unit);
      return std::nullopt;
  }
  return std::nullopt;
}

// Whether the dictionary holds `text` (a scan of its distinct texts).
bool dictionary_holds(const Impl& a, std::string_view text) {
  for (std::uint64_t key = 0; key < dictionary_size(a); ++key) {
    if (dictionary_text(a, key) == text) return true;
  }
  return false;
}

// Whether a new text still fits a String or Dictionary column.
bool text_fits(const Impl& a, std::string_view text) {
  if (a.kind == Kind::String) return !a.overflow && a.str_bytes.size() + text.size() <= a.offset_limit;
  if (dictionary_holds(a, text)) return true;
  return dictionary_size(a) + 1 <= a.offset_limit && a.dict_bytes.size() + text.size() <= a.offset_limit;
}

// Appends `value` (or the text, or a null) and records the expected row.
void append(ColumnAccumulator& acc, Model& m, const ScalarValue& value, bool via_text) {
  const Impl& a = acc.impl();
  const bool textual = a.kind == Kind::String || a.kind == Kind::Dictionary;
  std::optional<std::string> expected = converted_text(m.type, value);
  Row row;
  if (textual && expected && !text_fits(a, *expected)) expected.reset();
  row.valid = expected.has_value();
  if (textual && expected) row.bytes = *expected;

  bool returned;
  if (via_text) {
    returned = acc.append_text(value.kind == VK::Null ? std::nullopt : std::optional<std::string_view>(value.str));
  } else {
    returned = acc.append_value(value);
  }
  // The return value says whether a present text parsed (so a strict caller
  // needs no second parse); typed values and nulls always report true.
  if (value.kind == VK::Str && !textual) FUZZ_CHECK(returned == row.valid, "append result for " + show(value.str));
  if (value.kind != VK::Str) FUZZ_CHECK(returned, "append result for a typed value");

  const std::uint64_t last = acc.len() - 1;
  const auto cell_text = acc.cell_text_at(last);
  if (a.kind == Kind::String) {
    // String cells hide texts that are not UTF-8; Dictionary ones show them lossily.
    FUZZ_CHECK(cell_text == (row.valid && utf8::is_valid(row.bytes) ? expected : std::nullopt), "string cell");
  } else if (a.kind == Kind::Dictionary) {
    FUZZ_CHECK(cell_text == (row.valid ? std::optional<std::string>(utf8::lossy(row.bytes)) : std::nullopt),
               "dictionary cell " + show(cell_text.value_or("<none>")));
  } else {
    FUZZ_CHECK(cell_text == expected, "cell " + show(cell_text.value_or("<none>")) + " expected " +
                                          show(expected.value_or("<none>")));
  }
  row.cell_text = cell_text;
  m.rows.push_back(std::move(row));
}

void check_reads(const ColumnAccumulator& acc, const Model& m, std::uint64_t row) {
  const Impl& a = acc.impl();
  const bool inside = row < m.rows.size();
  const bool valid = inside && m.rows[row].valid;
  const auto text = acc.text_at(row);
  const auto cell = acc.cell_at(row);
  const auto cell_text = acc.cell_text_at(row);
  if (!valid) {
    FUZZ_CHECK(!text && cell.is_absent() && !cell_text, "read of a null or missing row " + std::to_string(row));
    return;
  }
  const Row& r = m.rows[row];
  FUZZ_CHECK(cell_text == r.cell_text, "cell text of row " + std::to_string(row) + " changed");
  const bool utf8_ok = utf8::is_valid(r.bytes);
  switch (a.kind) {
    case Kind::String:
      FUZZ_CHECK(text == (utf8_ok ? std::optional<std::string_view>(r.bytes) : std::nullopt), "text_at");
      FUZZ_CHECK(utf8_ok ? (cell.kind == CellKind::Str && cell.str == r.bytes) : cell.is_absent(), "cell_at");
      return;
    case Kind::Dictionary:
      FUZZ_CHECK(!text, "text_at on a dictionary");
      FUZZ_CHECK(utf8_ok ? (cell.kind == CellKind::Str && cell.str == r.bytes) : cell.is_absent(), "cell_at");
      return;
    default: break;
  }
  FUZZ_CHECK(!text, "text_at on a typed column");
  switch (a.kind) {
    case Kind::Int64: FUZZ_CHECK(cell.kind == CellKind::Int64 && cell.i64 == a.i64_values[row], "cell"); break;
    case Kind::Float64: FUZZ_CHECK(cell.kind == CellKind::Float64, "cell"); break;
    case Kind::Boolean: FUZZ_CHECK(cell.kind == CellKind::Bool, "cell"); break;
    case Kind::Date32: FUZZ_CHECK(cell.kind == CellKind::Date32 && cell.date == a.date_values[row], "cell"); break;
    case Kind::Timestamp:
      FUZZ_CHECK(cell.kind == CellKind::Timestamp && cell.i64 == a.i64_values[row] && cell.unit == m.type.unit, "cell");
      break;
    case Kind::Decimal128:
      FUZZ_CHECK(cell.kind == CellKind::Decimal128 && cell.dec == a.dec_values[row] && cell.scale == m.type.scale,
                 "cell");
      break;
    default: break;
  }
}

// ---------------------------------------------------------------- the array

std::optional<std::string> array_text(const arrow::Array& array, const FieldType& type, std::int64_t i) {
  if (array.IsNull(i)) return std::nullopt;
  switch (type.tag) {
    case FieldTag::String: return std::string(static_cast<const arrow::StringArray&>(array).GetView(i));
    case FieldTag::Dictionary: {
      const auto& dict = static_cast<const arrow::DictionaryArray&>(array);
      const auto& values = static_cast<const arrow::StringArray&>(*dict.dictionary());
      return std::string(values.GetView(dict.GetValueIndex(i)));
    }
    case FieldTag::Int64: return render_int64(static_cast<const arrow::Int64Array&>(array).Value(i));
    case FieldTag::Float64: return render_float64(static_cast<const arrow::DoubleArray&>(array).Value(i));
    case FieldTag::Boolean: return render_boolean(static_cast<const arrow::BooleanArray&>(array).Value(i));
    case FieldTag::Date32: return render_date32(static_cast<const arrow::Date32Array&>(array).Value(i));
    case FieldTag::Timestamp:
      return render_timestamp(static_cast<const arrow::TimestampArray&>(array).Value(i), type.unit);
    case FieldTag::Decimal128: {
      int128 v;
      std::memcpy(&v, static_cast<const arrow::Decimal128Array&>(array).GetValue(i), sizeof v);
      return render_decimal128(v, type.scale);
    }
  }
  return std::nullopt;
}

bool expected_arrow_type(const arrow::DataType& t, const FieldType& type) {
  switch (type.tag) {
    case FieldTag::String: return t.Equals(*arrow::utf8());
    case FieldTag::Dictionary: return t.Equals(*arrow::dictionary(arrow::int32(), arrow::utf8()));
    case FieldTag::Int64: return t.Equals(*arrow::int64());
    case FieldTag::Float64: return t.Equals(*arrow::float64());
    case FieldTag::Boolean: return t.Equals(*arrow::boolean());
    case FieldTag::Date32: return t.Equals(*arrow::date32());
    case FieldTag::Timestamp: {
      static const arrow::TimeUnit::type kArrowUnits[] = {arrow::TimeUnit::SECOND, arrow::TimeUnit::MILLI,
                                                          arrow::TimeUnit::MICRO, arrow::TimeUnit::NANO};
      return t.Equals(*arrow::timestamp(kArrowUnits[static_cast<int>(type.unit)]));
    }
    case FieldTag::Decimal128: return t.Equals(*arrow::decimal128(38, type.scale));
  }
  return false;
}

void check_array(ColumnAccumulator&& acc, const Model& m) {
  const Impl& a = acc.impl();
  const bool overflow = a.overflow.has_value();
  // Arrow requires UTF-8 in every string slot, and in every dictionary text
  // (texts of removed rows stay in the dictionary).
  bool utf8_ok = true;
  if (a.kind == Kind::String) {
    for (const Row& r : m.rows) utf8_ok = utf8_ok && (!r.valid || utf8::is_valid(r.bytes));
  }
  if (a.kind == Kind::Dictionary) {
    for (std::uint64_t k = 0; k < dictionary_size(a); ++k) utf8_ok = utf8_ok && utf8::is_valid(dictionary_text(a, k));
  }
  // Decimal arrays have precision 38: a value of 39 digits cannot be held.
  bool precision_ok = true;
  if (a.kind == Kind::Decimal128) {
    int128 limit = 1;
    for (int i = 0; i < 38; ++i) limit *= 10;
    for (const int128 v : a.dec_values) precision_ok = precision_ok && v < limit && v > -limit;
  }
  const std::uint64_t nulls = a.validity.null_count();

  auto result = array_for(std::move(acc));
  if (!result) {
    const CoreError& e = result.error();
    FUZZ_CHECK(e.kind() == ErrorKind::Arrow && (overflow || !utf8_ok || !precision_ok),
               "array_for failed: " + e.message());
    FUZZ_CHECK(e.message().starts_with(overflow ? "Capacity error: " : "Invalid: "), e.message());
    return;
  }
  FUZZ_CHECK(!overflow && utf8_ok && precision_ok, "array_for accepted an overflowed, non-UTF-8 or too wide column");
  const arrow::Array& array = **result;
  const arrow::Status st = array.ValidateFull();
  FUZZ_CHECK(st.ok(), st.ToString());
  FUZZ_CHECK(expected_arrow_type(*array.type(), m.type), array.type()->ToString());
  FUZZ_CHECK(array.length() == static_cast<std::int64_t>(m.rows.size()), "array length");
  FUZZ_CHECK(array.null_count() == static_cast<std::int64_t>(nulls), "array null count");
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const Row& r = m.rows[i];
    const auto got = array_text(array, m.type, static_cast<std::int64_t>(i));
    const bool textual = m.type.tag == FieldTag::String || m.type.tag == FieldTag::Dictionary;
    const auto want = !r.valid ? std::nullopt : textual ? std::optional<std::string>(r.bytes) : r.cell_text;
    FUZZ_CHECK(got == want, "row " + std::to_string(i) + " is " + show(got.value_or("<null>")) + ", expected " +
                                show(want.value_or("<null>")));
  }
}

// ---------------------------------------------------------------- twin and columns

void check_same(const ColumnAccumulator& acc, const ColumnAccumulator& twin, const char* after) {
  const Snapshot x = snapshot(acc);
  const Snapshot y = snapshot(twin);
  FUZZ_CHECK(acc.kind() == twin.kind(), after);
  FUZZ_CHECK(x.validity == y.validity && x.len == y.len && x.nulls == y.nulls, std::string(after) + ": validity");
  FUZZ_CHECK(x.i64 == y.i64 && x.f64_bits == y.f64_bits && x.bools == y.bools && x.dates == y.dates &&
                 x.decs == y.decs,
             std::string(after) + ": values");
  FUZZ_CHECK(x.str_bytes == y.str_bytes && x.str_offsets == y.str_offsets, std::string(after) + ": string");
  FUZZ_CHECK(x.keys == y.keys && x.dict_bytes == y.dict_bytes && x.dict_offsets == y.dict_offsets,
             std::string(after) + ": dictionary");
  FUZZ_CHECK(x.overflow == y.overflow, std::string(after) + ": overflow");
}

// A borrowed text column laid out as an Arrow string array, every buffer an
// exact-size heap block: 32- or 64-bit offsets not starting at 0, a validity
// bitmap starting at a bit offset, null rows that may still span bytes.
struct BuiltColumn {
  std::unique_ptr<char[]> data;
  std::unique_ptr<std::uint8_t[]> offsets;
  std::unique_ptr<std::uint8_t[]> validity;
  TextColumnView view;
};

BuiltColumn build_column(FuzzedDataProvider& in, const FieldType& type) {
  BuiltColumn c;
  const auto rows = in.ConsumeIntegralInRange<std::uint64_t>(0, 40);
  const bool large = in.ConsumeBool();
  const bool nullable = in.ConsumeBool();
  const auto bit_offset = in.ConsumeIntegralInRange<std::uint64_t>(0, 9);
  std::string bytes(in.ConsumeIntegralInRange<std::size_t>(0, 3), '7');
  std::vector<std::int64_t> offsets{static_cast<std::int64_t>(bytes.size())};
  std::vector<bool> present;
  for (std::uint64_t i = 0; i < rows; ++i) {
    const bool valid = !nullable || in.ConsumeIntegralInRange<int>(0, 3) != 0;
    const std::string text = pick_text(in, type);
    if (valid || in.ConsumeBool()) bytes += text;
    offsets.push_back(static_cast<std::int64_t>(bytes.size()));
    present.push_back(valid);
  }
  bytes.append(in.ConsumeIntegralInRange<std::size_t>(0, 3), '8');

  if (!bytes.empty()) {
    c.data.reset(new char[bytes.size()]);
    std::memcpy(c.data.get(), bytes.data(), bytes.size());
  }
  const std::size_t width = large ? 8 : 4;
  c.offsets.reset(new std::uint8_t[offsets.size() * width]);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (large) {
      std::memcpy(c.offsets.get() + i * 8, &offsets[i], 8);
    } else {
      const auto o = static_cast<std::int32_t>(offsets[i]);
      std::memcpy(c.offsets.get() + i * 4, &o, 4);
    }
  }
  c.view.offsets = c.offsets.get();
  c.view.large_offsets = large;
  c.view.data = c.data.get();
  c.view.data_size = bytes.size();
  c.view.length = rows;
  if (nullable && rows > 0) {
    const std::size_t n = static_cast<std::size_t>((bit_offset + rows + 7) / 8);
    c.validity.reset(new std::uint8_t[n]);
    for (std::size_t i = 0; i < n; ++i) c.validity[i] = in.ConsumeIntegral<std::uint8_t>();  // bits outside the rows: noise
    for (std::uint64_t i = 0; i < rows; ++i) {
      const std::uint64_t bit = bit_offset + i;
      const auto mask = static_cast<std::uint8_t>(1u << (bit & 7));
      c.validity[bit >> 3] = static_cast<std::uint8_t>(present[i] ? (c.validity[bit >> 3] | mask) : (c.validity[bit >> 3] & ~mask));
    }
    c.view.validity = c.validity.get();
    c.view.validity_offset = bit_offset;
  }
  return c;
}

// The row as `acc` holds it, read back for the model.
Row row_of(const ColumnAccumulator& acc, std::uint64_t i) {
  const Impl& a = acc.impl();
  Row r;
  r.valid = a.validity.is_valid(i);
  if (r.valid && a.kind == Kind::String) r.bytes = std::string(row_bytes(a.str_bytes, a.str_offsets[i], a.str_offsets[i + 1]));
  if (r.valid && a.kind == Kind::Dictionary) r.bytes = std::string(dictionary_text(a, static_cast<std::uint64_t>(a.keys[i])));
  r.cell_text = acc.cell_text_at(i);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Model m;
  m.type = pick_type(in);
  const auto capacity = in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
  ColumnAccumulator acc = ColumnAccumulator::create(m.type, capacity);
  // Receives the same operations one row at a time where `acc` gets a whole
  // column at once; the two must stay identical.
  ColumnAccumulator twin = ColumnAccumulator::create(m.type, 0);
  const Kind kind = acc.kind();
  if ((kind == Kind::String || kind == Kind::Dictionary) && in.ConsumeIntegralInRange<int>(0, 3) == 0) {
    const auto limit = in.ConsumeIntegralInRange<std::uint64_t>(0, 48);
    acc.set_offset_limit_for_testing(limit);
    twin.set_offset_limit_for_testing(limit);
  }
  check_invariants(acc, m);

  for (std::size_t op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
      case 0: {  // append_text
        const fuzz::ExactCopy text(pick_text(in, m.type));
        append(acc, m, ScalarValue::of_str(text.view()), true);
        twin.append_text(text.view());
        break;
      }
      case 1: {  // append_text(absent) and append_null
        const bool via_text = in.ConsumeBool();
        append(acc, m, ScalarValue::null(), via_text);
        twin.append_null();
        if (!in.ConsumeBool()) {
          acc.append_null();
          twin.append_null();
          m.rows.push_back(Row{});
        }
        break;
      }
      case 2: {  // append_value
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const ScalarValue value = pick_value(in, text.view());
        append(acc, m, value, false);
        twin.append_value(value);
        break;
      }
      case 3:  // remove_last
        acc.remove_last();
        twin.remove_last();
        if (!m.rows.empty()) m.rows.pop_back();
        break;
      case 4: {  // an append undone by remove_last leaves the column as it was
        const Snapshot before = snapshot(acc);
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const ScalarValue value = pick_value(in, text.view());
        append(acc, m, value, false);
        acc.remove_last();
        twin.append_value(value);
        twin.remove_last();
        m.rows.pop_back();
        check_restored(before, snapshot(acc), acc.kind());
        break;
      }
      case 5: {  // reads, also past the end
        const auto row = in.ConsumeIntegralInRange<std::uint64_t>(0, m.rows.size() + 2);
        check_reads(acc, m, row);
        break;
      }
      case 6: {  // dictionary_key
        if (acc.kind() != Kind::Dictionary) break;
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const Impl& a = acc.impl();
        const std::uint64_t before = dictionary_size(a);
        const bool known = dictionary_holds(a, text.view());
        const bool fits = text_fits(a, text.view());
        const std::uint32_t key = acc.dictionary_key(text.view());
        twin.dictionary_key(text.view());
        if (!fits) {
          FUZZ_CHECK(key == ColumnAccumulator::kNoKey && acc.overflow().has_value(), "full dictionary gave a key");
          break;
        }
        FUZZ_CHECK(key < dictionary_size(a) && dictionary_text(a, key) == text.view(), "dictionary_key");
        FUZZ_CHECK(known ? dictionary_size(a) == before : (key == before && dictionary_size(a) == before + 1),
                   "dictionary_key assigns keys in order of first appearance");
        FUZZ_CHECK(acc.dictionary_key(text.view()) == key, "dictionary_key is not stable");
        twin.dictionary_key(text.view());
        break;
      }
      case 7: {  // distinct_count
        std::unordered_set<std::string> distinct;
        for (const Row& r : m.rows) {
          if (r.valid && utf8::is_valid(r.bytes)) distinct.insert(r.bytes);
        }
        const std::uint64_t expected = acc.kind() == Kind::String ? distinct.size() : 0;
        FUZZ_CHECK(acc.distinct_count() == expected, "distinct_count " + std::to_string(acc.distinct_count()));
        break;
      }
      case 8: {  // encode_as_dictionary
        if (acc.kind() != Kind::String) {
          const Snapshot before = snapshot(acc);
          acc.encode_as_dictionary();
          twin.encode_as_dictionary();
          check_restored(before, snapshot(acc), acc.kind());
          break;
        }
        // Texts that are not UTF-8 become nulls; the rest get keys in order
        // of first appearance while the dictionary's limits allow.
        const std::uint64_t limit = acc.impl().offset_limit;
        std::vector<std::string> first_seen;
        std::unordered_set<std::string> seen;
        std::uint64_t dict_bytes = 0;
        for (Row& r : m.rows) {
          if (r.valid && !utf8::is_valid(r.bytes)) r = Row{};
          if (!r.valid) continue;
          if (!seen.contains(r.bytes)) {
            if (seen.size() + 1 > limit || dict_bytes + r.bytes.size() > limit) {
              r = Row{};
              continue;
            }
            seen.insert(r.bytes);
            first_seen.push_back(r.bytes);
            dict_bytes += r.bytes.size();
          }
          r.cell_text = r.bytes;
        }
        acc.encode_as_dictionary();
        twin.encode_as_dictionary();
        m.type = FieldType::simple(FieldTag::Dictionary);
        FUZZ_CHECK(acc.kind() == Kind::Dictionary, "not re-encoded");
        const Impl& a = acc.impl();
        FUZZ_CHECK(dictionary_size(a) == first_seen.size(), "dictionary size after re-encoding");
        for (std::size_t k = 0; k < first_seen.size(); ++k) {
          FUZZ_CHECK(dictionary_text(a, k) == first_seen[k], "keys do not follow first appearance");
        }
        break;
      }
      case 9: {  // a burst of identical appends (dictionary reuse, byte growth)
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const int n = in.ConsumeIntegralInRange<int>(1, 20);
        for (int i = 0; i < n; ++i) {
          append(acc, m, ScalarValue::of_str(text.view()), true);
          twin.append_text(text.view());
        }
        break;
      }
      case 10: {  // a whole column at once, against the same rows one by one
        const BuiltColumn column = build_column(in, m.type);
        if (in.ConsumeBool()) acc.reserve_for_texts(column.view.length, column.view.data_size);
        const std::uint64_t first_row = acc.len();
        const auto failed = acc.append_texts(column.view);
        std::optional<std::uint64_t> expected_failure;
        for (std::uint64_t i = 0; i < column.view.length; ++i) {
          const bool ok = column.view.is_valid(i) ? twin.append_text(column.view.text(i)) : twin.append_text(std::nullopt);
          if (!ok && !expected_failure) expected_failure = i;
        }
        FUZZ_CHECK(failed == expected_failure, "append_texts reports row " +
                                                   (failed ? std::to_string(*failed) : std::string("none")) +
                                                   ", one by one gives " +
                                                   (expected_failure ? std::to_string(*expected_failure) : "none"));
        check_same(acc, twin, "append_texts");
        for (std::uint64_t i = first_row; i < twin.len(); ++i) m.rows.push_back(row_of(twin, i));
        break;
      }
      default: {  // append_nulls
        const auto n = in.ConsumeIntegralInRange<std::uint64_t>(0, 70);
        acc.append_nulls(n);
        for (std::uint64_t i = 0; i < n; ++i) {
          twin.append_null();
          m.rows.push_back(Row{});
        }
        break;
      }
    }
    check_invariants(acc, m);
    check_same(acc, twin, "an operation");
  }
  check_array(std::move(acc), m);
  return 0;
}
