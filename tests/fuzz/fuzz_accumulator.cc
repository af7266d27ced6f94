// Column accumulators driven by random sequences of appends, removals,
// dictionary operations, reads and re-encodings, checked through what an
// accumulator shows. After every step its length, null count, overflow and
// every row read back must agree with a shadow model of the rows, and a
// Dictionary must find each of the model's texts under its key; an append
// followed by remove_last must leave every row reading as before; a twin fed
// the same rows one at a time must agree with the model too. At the end the
// Arrow array must validate in full and hold exactly the model's rows (zero
// under null rows, the model's dictionary), and be identical, buffer by
// buffer, to the twin's.

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
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../core/array_buffers.h"
#include "core/columnar/accumulator.h"
#include "core/columnar/array_assembly.h"
#include "core/columnar/utf8_check.h"
#include "fuzz_util.h"

namespace {

using namespace vorpel;
using fuzz::show;

constexpr std::size_t kMaxOps = 300;

const char* const kPatterns[] = {"%d/%m/%Y %H:%M:%S", "%Y%m%d", "%Y-%j", "%d %b %Y %I:%M %p", "%F %T%.f", "%s"};

// One row as the accumulator should hold it.
struct Row {
  bool valid = false;
  std::string bytes;                     // String and Dictionary: the stored text
  std::optional<std::string> cell_text;  // what cell_text_at reads for it
};

// The rows, and what a String or Dictionary column keeps beside them.
struct Model {
  FieldType type;
  std::vector<Row> rows;
  // The largest byte total (and distinct count) the texts may reach.
  std::uint64_t limit = ColumnAccumulator::kMaxOffset;
  // String: the bytes of the valid rows.
  std::uint64_t string_bytes = 0;
  // Dictionary: its texts in key order (the texts of removed rows stay).
  std::vector<std::string> dictionary;
  std::unordered_map<std::string, std::uint32_t> keys;
  std::uint64_t dictionary_bytes = 0;
  // The overflow text once a text did not fit; for String also the row it
  // was refused for (removing that row makes the column whole again).
  std::optional<std::string> overflow;
  std::uint64_t overflow_row = 0;

  bool textual() const { return type.tag == FieldTag::String || type.tag == FieldTag::Dictionary; }

  std::optional<std::uint32_t> key_of(std::string_view text) const {
    const auto it = keys.find(std::string(text));
    if (it == keys.end()) return std::nullopt;
    return it->second;
  }

  void refuse(const char* what, const char* unit) {
    if (!overflow) overflow = std::string(what) + " exceeds " + std::to_string(limit) + " " + unit;
  }

  // Whether a new row's text (String) or a text asked for (Dictionary) is
  // stored; a Dictionary takes a new text in here.
  bool admit(std::string_view text) {
    if (type.tag == FieldTag::String) {
      if (overflow) return false;
      if (string_bytes + text.size() > limit) {
        refuse("string column", "bytes");
        overflow_row = rows.size();
        return false;
      }
      return true;
    }
    if (key_of(text)) return true;
    if (dictionary.size() + 1 > limit) {
      refuse("dictionary column", "distinct values");
      return false;
    }
    if (dictionary_bytes + text.size() > limit) {
      refuse("dictionary column", "bytes");
      return false;
    }
    keys.emplace(std::string(text), static_cast<std::uint32_t>(dictionary.size()));
    dictionary.emplace_back(text);
    dictionary_bytes += text.size();
    return true;
  }

  void push(Row row) {
    if (type.tag == FieldTag::String && row.valid) string_bytes += row.bytes.size();
    rows.push_back(std::move(row));
  }

  void pop() {
    if (rows.empty()) return;
    if (type.tag == FieldTag::String && rows.back().valid) string_bytes -= rows.back().bytes.size();
    rows.pop_back();
    if (type.tag == FieldTag::String && overflow && rows.size() <= overflow_row) overflow.reset();
  }

  std::uint64_t nulls() const {
    std::uint64_t n = 0;
    for (const Row& r : rows) n += r.valid ? 0 : 1;
    return n;
  }
};

// What cell_text_at reads for a row holding `text`: String hides texts that
// are not UTF-8, Dictionary shows them lossily.
std::optional<std::string> text_cell(const Model& m, const std::string& text) {
  if (m.type.tag == FieldTag::Dictionary) return utf8::lossy(text);
  if (!utf8::is_valid(text)) return std::nullopt;
  return text;
}

// The text of a typed cell, rendered from the value cell_at gives (absent
// when the cell is not of the column's kind or carries another unit or scale).
std::optional<std::string> typed_cell_text(const TypedCell& cell, const FieldType& type) {
  switch (type.tag) {
    case FieldTag::Int64:
      if (cell.kind == FieldTag::Int64) return render_int64(cell.i64);
      break;
    case FieldTag::Float64:
      if (cell.kind == FieldTag::Float64) return render_float64(cell.f64);
      break;
    case FieldTag::Boolean:
      if (cell.kind == FieldTag::Boolean) return render_boolean(cell.b);
      break;
    case FieldTag::Date32:
      if (cell.kind == FieldTag::Date32) return render_date32(cell.date);
      break;
    case FieldTag::Timestamp:
      if (cell.kind == FieldTag::Timestamp && cell.unit == type.unit) return render_timestamp(cell.i64, cell.unit);
      break;
    case FieldTag::Decimal128:
      if (cell.kind == FieldTag::Decimal128 && cell.scale == type.scale) return render_decimal128(cell.dec, cell.scale);
      break;
    case FieldTag::String:
    case FieldTag::Dictionary: break;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- reads and invariants

// Every read of `row` (also past the end) agrees with the model.
void check_reads(const ColumnAccumulator& acc, const Model& m, std::uint64_t row) {
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
  FUZZ_CHECK(cell_text == r.cell_text, "cell text of row " + std::to_string(row) + " is " +
                                           show(cell_text.value_or("<none>")) + ", expected " +
                                           show(r.cell_text.value_or("<none>")));
  const bool utf8_ok = utf8::is_valid(r.bytes);
  switch (m.type.tag) {
    case FieldTag::String:
      FUZZ_CHECK(text == (utf8_ok ? std::optional<std::string_view>(r.bytes) : std::nullopt), "text_at");
      FUZZ_CHECK(utf8_ok ? (cell.is_text() && cell.str == r.bytes) : cell.is_absent(), "cell_at");
      return;
    case FieldTag::Dictionary:
      FUZZ_CHECK(!text, "text_at on a dictionary");
      FUZZ_CHECK(utf8_ok ? (cell.is_text() && cell.str == r.bytes) : cell.is_absent(), "cell_at");
      return;
    default: break;
  }
  FUZZ_CHECK(!text, "text_at on a typed column");
  // The value cell_at gives is the stored one: it renders as the cell text.
  FUZZ_CHECK(typed_cell_text(cell, m.type) == cell_text, "cell of row " + std::to_string(row));
}

void check_invariants(ColumnAccumulator& acc, const Model& m, const char* who) {
  const std::string where = std::string(who) + ": ";
  FUZZ_CHECK(acc.kind() == m.type.tag && acc.field_type() == m.type, where + "type " + acc.field_type().debug_name());
  FUZZ_CHECK(acc.len() == m.rows.size(),
             where + std::to_string(acc.len()) + " rows vs " + std::to_string(m.rows.size()));
  FUZZ_CHECK(acc.null_count() == m.nulls(), where + "null count " + std::to_string(acc.null_count()));
  FUZZ_CHECK(acc.overflow() == m.overflow, where + "overflow " + show(acc.overflow().value_or("<none>")) +
                                               ", expected " + show(m.overflow.value_or("<none>")));
  for (std::uint64_t i = 0; i < m.rows.size(); ++i) check_reads(acc, m, i);
  // Every text of the dictionary sits under its key in the hash table (each
  // is held, so asking adds nothing).
  if (m.type.tag == FieldTag::Dictionary) {
    for (std::size_t k = 0; k < m.dictionary.size(); ++k) {
      FUZZ_CHECK(acc.dictionary_key(m.dictionary[k]) == k,
                 where + "dictionary text " + std::to_string(k) + " " + show(m.dictionary[k]));
    }
  }
  if (!m.textual()) FUZZ_CHECK(!acc.overflow(), where + "overflow on a typed column");
}

// ---------------------------------------------------------------- snapshots

// Everything a column shows without finishing it.
struct Snapshot {
  std::uint64_t len = 0, nulls = 0;
  std::optional<std::string> overflow;
  std::vector<std::optional<std::string>> cell_texts;
  std::vector<std::optional<std::string>> texts;
  std::vector<bool> absent;
};

Snapshot snapshot(const ColumnAccumulator& acc) {
  Snapshot s;
  s.len = acc.len();
  s.nulls = acc.null_count();
  s.overflow = acc.overflow();
  for (std::uint64_t i = 0; i < s.len; ++i) {
    s.cell_texts.push_back(acc.cell_text_at(i));
    const auto text = acc.text_at(i);
    s.texts.push_back(text ? std::optional<std::string>(*text) : std::nullopt);
    s.absent.push_back(acc.cell_at(i).is_absent());
  }
  return s;
}

// `after` is `before` again; a dictionary that ran full stays marked as full
// (the texts it kept are checked against the model).
void check_restored(const Snapshot& before, const Snapshot& after, FieldTag kind) {
  FUZZ_CHECK(before.len == after.len && before.nulls == after.nulls, "length or nulls not restored");
  FUZZ_CHECK(before.cell_texts == after.cell_texts && before.texts == after.texts && before.absent == after.absent,
             "rows not restored");
  if (kind == FieldTag::Dictionary) {
    FUZZ_CHECK(!before.overflow || after.overflow == before.overflow, "overflow flag lost");
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
  if (v.is_null()) return std::nullopt;
  switch (v.kind) {
    case FieldTag::String: return parsed_text(type, v.str);
    case FieldTag::Dictionary:
    case FieldTag::Decimal128: return std::nullopt;  // never handed in
    case FieldTag::Int64:
      if (textual) return render_int64(v.i64);
      if (type.tag == FieldTag::Int64) return render_int64(v.i64);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.i64));
      return std::nullopt;
    case FieldTag::Float64:
      if (textual) return render_float64(v.f64);
      if (type.tag == FieldTag::Int64) return render_int64(truncate_saturating(v.f64));
      if (type.tag == FieldTag::Float64) return render_float64(v.f64);
      return std::nullopt;
    case FieldTag::Boolean:
      if (textual || type.tag == FieldTag::Boolean) return std::string(v.b ? "true" : "false");
      return std::nullopt;
    case FieldTag::Date32:
      if (textual) return render_date32(v.date);
      if (type.tag == FieldTag::Int64) return render_int64(v.date);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.date));
      if (type.tag == FieldTag::Date32) return render_date32(v.date);
      return std::nullopt;
    case FieldTag::Timestamp:
      if (textual) return render_int64(v.i64);
      if (type.tag == FieldTag::Int64) return render_int64(v.i64);
      if (type.tag == FieldTag::Float64) return render_float64(static_cast<double>(v.i64));
      if (type.tag == FieldTag::Timestamp) return render_timestamp(v.i64, type.unit);
      return std::nullopt;
  }
  return std::nullopt;
}

// The row a value (a text when it is Str, or a null) leaves in the column,
// as the model expects it; a String or Dictionary column's model takes the
// text in.
Row expected_row(Model& m, const ScalarValue& value) {
  std::optional<std::string> expected = converted_text(m.type, value);
  Row row;
  if (m.textual() && expected && !m.admit(*expected)) expected.reset();
  row.valid = expected.has_value();
  if (m.textual() && expected) {
    row.bytes = *expected;
    row.cell_text = text_cell(m, row.bytes);
  } else {
    row.cell_text = expected;
  }
  return row;
}

// Appends `value` (or the text, or a null) and records the expected row.
void append(ColumnAccumulator& acc, Model& m, const ScalarValue& value, bool via_text) {
  Row row = expected_row(m, value);
  bool returned;
  if (via_text) {
    returned = acc.append_text(value.is_null() ? std::nullopt : std::optional<std::string_view>(value.str));
  } else {
    returned = acc.append_value(value);
  }
  // The return value says whether a present text parsed (so a strict caller
  // needs no second parse); typed values and nulls always report true.
  if (value.is_text() && !m.textual()) FUZZ_CHECK(returned == row.valid, "append result for " + show(value.str));
  if (!value.is_text()) FUZZ_CHECK(returned, "append result for a typed value");

  const auto cell_text = acc.cell_text_at(acc.len() - 1);
  FUZZ_CHECK(cell_text == row.cell_text, "cell " + show(cell_text.value_or("<none>")) + " expected " +
                                             show(row.cell_text.value_or("<none>")));
  m.push(std::move(row));
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

// The finished array's buffers as stored: the validity bitmap has no bits
// set past the rows, null rows hold zero (a String null row no bytes), a
// String column's bytes are exactly its valid rows' texts within the limit,
// a Dictionary's keys and texts are the model's, and decimals hold 38 digits.
void check_buffers(const arrow::Array& array, const Model& m) {
  const arrow::ArrayData& data = *array.data();
  const std::int64_t len = data.length;
  const auto& nulls = data.buffers[0];
  FUZZ_CHECK((nulls == nullptr) == (m.nulls() == 0), "null buffer present exactly when a row is null");
  if (nulls != nullptr) {
    FUZZ_CHECK(nulls->size() == (len + 7) / 8, "validity byte count");
    if (len % 8 != 0) FUZZ_CHECK((nulls->data()[len / 8] >> (len % 8)) == 0, "bits past the length are set");
  }
  const std::uint8_t* values = data.buffers.size() > 1 && data.buffers[1] != nullptr ? data.buffers[1]->data() : nullptr;
  switch (m.type.tag) {
    case FieldTag::String: {
      const auto& strings = static_cast<const arrow::StringArray&>(array);
      const std::int32_t* offsets = strings.raw_value_offsets();
      FUZZ_CHECK(offsets[0] == 0, "first offset");
      for (std::int64_t i = 0; i < len; ++i) {
        const Row& r = m.rows[static_cast<std::size_t>(i)];
        const std::string_view stored = strings.GetView(i);
        FUZZ_CHECK(stored == (r.valid ? std::string_view(r.bytes) : std::string_view()),
                   "row " + std::to_string(i) + " holds " + show(stored));
      }
      FUZZ_CHECK(static_cast<std::uint64_t>(offsets[len]) == m.string_bytes &&
                     static_cast<std::uint64_t>(strings.value_data()->size()) == m.string_bytes,
                 "string bytes " + std::to_string(offsets[len]) + ", expected " + std::to_string(m.string_bytes));
      FUZZ_CHECK(m.string_bytes <= m.limit, "string bytes past the offset limit");
      return;
    }
    case FieldTag::Dictionary: {
      const auto& dict = static_cast<const arrow::DictionaryArray&>(array);
      const std::int32_t* keys = dict.indices()->data()->GetValues<std::int32_t>(1);
      for (std::int64_t i = 0; i < len; ++i) {
        const Row& r = m.rows[static_cast<std::size_t>(i)];
        const std::int64_t want = r.valid ? static_cast<std::int64_t>(*m.key_of(r.bytes)) : 0;
        FUZZ_CHECK(keys[i] == want, "key of row " + std::to_string(i) + " is " + std::to_string(keys[i]));
      }
      const auto& texts = static_cast<const arrow::StringArray&>(*dict.dictionary());
      FUZZ_CHECK(static_cast<std::size_t>(texts.length()) == m.dictionary.size(),
                 "dictionary size " + std::to_string(texts.length()));
      FUZZ_CHECK(texts.null_count() == 0, "dictionary with nulls");
      for (std::int64_t k = 0; k < texts.length(); ++k) {
        FUZZ_CHECK(texts.GetView(k) == m.dictionary[static_cast<std::size_t>(k)], "dictionary text " + std::to_string(k));
      }
      FUZZ_CHECK(static_cast<std::uint64_t>(texts.value_data()->size()) <= m.limit &&
                     static_cast<std::uint64_t>(texts.length()) <= m.limit,
                 "dictionary limit");
      return;
    }
    case FieldTag::Boolean:
      for (std::int64_t i = 0; i < len; ++i) {
        if (!m.rows[static_cast<std::size_t>(i)].valid) {
          FUZZ_CHECK(((values[i / 8] >> (i % 8)) & 1) == 0, "null slot not zero");
        }
      }
      return;
    default: break;
  }
  const int width = static_cast<const arrow::FixedWidthType&>(*data.type).bit_width() / 8;
  FUZZ_CHECK(data.buffers[1]->size() == len * width, "one slot per row");
  for (std::int64_t i = 0; i < len; ++i) {
    if (m.rows[static_cast<std::size_t>(i)].valid) continue;
    for (int b = 0; b < width; ++b) FUZZ_CHECK(values[i * width + b] == 0, "null slot not zero");
  }
  if (m.type.tag == FieldTag::Decimal128) {
    int128 limit = 1;
    for (int i = 0; i < 38; ++i) limit *= 10;
    for (std::int64_t i = 0; i < len; ++i) {
      int128 v;
      std::memcpy(&v, values + i * 16, sizeof v);
      FUZZ_CHECK(v < limit && v > -limit, "decimal of more than 38 digits in row " + std::to_string(i));
    }
  }
}

// Finishes both columns: they fail alike or give identical arrays.
void check_array(ColumnAccumulator&& acc, ColumnAccumulator&& twin, const Model& m) {
  const std::optional<std::string> overflow = acc.overflow();
  // Arrow requires UTF-8 in every string slot, and in every dictionary text
  // (texts of removed rows stay in the dictionary).
  bool utf8_ok = true;
  if (m.type.tag == FieldTag::String) {
    for (const Row& r : m.rows) utf8_ok = utf8_ok && (!r.valid || utf8::is_valid(r.bytes));
  }
  if (m.type.tag == FieldTag::Dictionary) {
    for (const std::string& t : m.dictionary) utf8_ok = utf8_ok && utf8::is_valid(t);
  }
  const std::uint64_t nulls = acc.null_count();

  auto result = array_for(std::move(acc));
  auto twin_result = array_for(std::move(twin));
  FUZZ_CHECK(result.has_value() == twin_result.has_value(), "only one of the twins finished");
  if (!result) {
    const CoreError& e = result.error();
    FUZZ_CHECK(e.kind() == ErrorKind::Arrow && (overflow || !utf8_ok), "array_for failed: " + e.message());
    FUZZ_CHECK(e.message().starts_with(overflow ? "Capacity error: " + *overflow : std::string("Invalid: ")),
               e.message());
    FUZZ_CHECK(twin_result.error().text() == e.text(), "the twin failed with " + twin_result.error().text());
    return;
  }
  FUZZ_CHECK(!overflow && utf8_ok, "array_for accepted an overflowed or non-UTF-8 column");
  const arrow::Array& array = **result;
  const arrow::Status st = array.ValidateFull();
  FUZZ_CHECK(st.ok(), st.ToString());
  FUZZ_CHECK(expected_arrow_type(*array.type(), m.type), array.type()->ToString());
  FUZZ_CHECK(array.length() == static_cast<std::int64_t>(m.rows.size()), "array length");
  FUZZ_CHECK(array.null_count() == static_cast<std::int64_t>(nulls), "array null count");
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const Row& r = m.rows[i];
    const auto got = array_text(array, m.type, static_cast<std::int64_t>(i));
    const auto want = !r.valid ? std::nullopt : m.textual() ? std::optional<std::string>(r.bytes) : r.cell_text;
    FUZZ_CHECK(got == want, "row " + std::to_string(i) + " is " + show(got.value_or("<null>")) + ", expected " +
                                show(want.value_or("<null>")));
  }
  check_buffers(array, m);
  const auto difference = testing::buffer_difference(*(*twin_result)->data(), *array.data(), "twin");
  FUZZ_CHECK(!difference, *difference);
}

// ---------------------------------------------------------------- columns

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Model m;
  m.type = pick_type(in);
  const auto capacity = in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
  ColumnAccumulator acc = ColumnAccumulator::create(m.type, capacity);
  // Receives the same operations one row at a time where `acc` gets a whole
  // column at once; both must agree with the model, and finish identically.
  ColumnAccumulator twin = ColumnAccumulator::create(m.type, 0);
  if (m.textual() && in.ConsumeIntegralInRange<int>(0, 3) == 0) {
    const auto limit = in.ConsumeIntegralInRange<std::uint64_t>(0, 48);
    acc.set_offset_limit_for_testing(limit);
    twin.set_offset_limit_for_testing(limit);
    m.limit = limit;
  }
  check_invariants(acc, m, "new column");

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
          m.push(Row{});
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
        m.pop();
        break;
      case 4: {  // an append undone by remove_last leaves the column as it was
        const Snapshot before = snapshot(acc);
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const ScalarValue value = pick_value(in, text.view());
        append(acc, m, value, false);
        acc.remove_last();
        twin.append_value(value);
        twin.remove_last();
        m.pop();
        check_restored(before, snapshot(acc), acc.kind());
        break;
      }
      case 5: {  // reads, also past the end
        const auto row = in.ConsumeIntegralInRange<std::uint64_t>(0, m.rows.size() + 2);
        check_reads(acc, m, row);
        break;
      }
      case 6: {  // dictionary_key
        if (m.type.tag != FieldTag::Dictionary) break;
        const fuzz::ExactCopy text(pick_text(in, m.type));
        const std::uint64_t before = m.dictionary.size();
        const std::optional<std::uint32_t> known = m.key_of(text.view());
        const bool fits = m.admit(text.view());
        const std::uint32_t key = acc.dictionary_key(text.view());
        twin.dictionary_key(text.view());
        if (!fits) {
          FUZZ_CHECK(key == ColumnAccumulator::kNoKey && acc.overflow().has_value(), "full dictionary gave a key");
          break;
        }
        FUZZ_CHECK(known ? key == *known : (key == before && m.dictionary.size() == before + 1),
                   "dictionary_key assigns keys in order of first appearance: " + std::to_string(key));
        FUZZ_CHECK(acc.dictionary_key(text.view()) == key, "dictionary_key is not stable");
        twin.dictionary_key(text.view());
        break;
      }
      case 7: {  // distinct_count
        std::unordered_set<std::string> distinct;
        for (const Row& r : m.rows) {
          if (r.valid && utf8::is_valid(r.bytes)) distinct.insert(r.bytes);
        }
        const std::uint64_t expected = m.type.tag == FieldTag::String ? distinct.size() : 0;
        FUZZ_CHECK(acc.distinct_count() == expected, "distinct_count " + std::to_string(acc.distinct_count()));
        break;
      }
      case 8: {  // encode_as_dictionary
        if (m.type.tag != FieldTag::String) {
          const Snapshot before = snapshot(acc);
          acc.encode_as_dictionary();
          twin.encode_as_dictionary();
          check_restored(before, snapshot(acc), acc.kind());
          break;
        }
        // Texts that are not UTF-8 become nulls; the rest get keys in order
        // of first appearance while the dictionary's limits allow. A String
        // overflow carries over.
        m.type = FieldType::simple(FieldTag::Dictionary);
        for (Row& r : m.rows) {
          if (r.valid && !utf8::is_valid(r.bytes)) r = Row{};
          if (!r.valid) continue;
          if (!m.admit(r.bytes)) {
            r = Row{};
            continue;
          }
          r.cell_text = r.bytes;
        }
        acc.encode_as_dictionary();
        twin.encode_as_dictionary();
        FUZZ_CHECK(acc.kind() == FieldTag::Dictionary, "not re-encoded");
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
        const auto failed = acc.append_texts(column.view);
        std::optional<std::uint64_t> expected_failure;
        std::optional<std::uint64_t> model_failure;
        for (std::uint64_t i = 0; i < column.view.length; ++i) {
          const bool present = column.view.is_valid(i);
          const bool ok = present ? twin.append_text(column.view.text(i)) : twin.append_text(std::nullopt);
          if (!ok && !expected_failure) expected_failure = i;
          Row row = expected_row(m, present ? ScalarValue::of_str(column.view.text(i)) : ScalarValue::null());
          if (present && !m.textual() && !row.valid && !model_failure) model_failure = i;
          m.push(std::move(row));
        }
        FUZZ_CHECK(failed == expected_failure && failed == model_failure,
                   "append_texts reports row " + (failed ? std::to_string(*failed) : std::string("none")) +
                       ", one by one gives " +
                       (expected_failure ? std::to_string(*expected_failure) : std::string("none")) +
                       ", the model " + (model_failure ? std::to_string(*model_failure) : std::string("none")));
        break;
      }
      default: {  // append_nulls
        const auto n = in.ConsumeIntegralInRange<std::uint64_t>(0, 70);
        acc.append_nulls(n);
        for (std::uint64_t i = 0; i < n; ++i) {
          twin.append_null();
          m.push(Row{});
        }
        break;
      }
    }
    check_invariants(acc, m, "column");
    check_invariants(twin, m, "twin");
  }
  check_array(std::move(acc), std::move(twin), m);
  return 0;
}
