#include "core/columnar/accumulator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/columnar/accumulator_impl.h"
#include "core/columnar/utf8_check.h"
#include "core/invariant.h"

namespace vorpel {

namespace {

using Kind = ColumnAccumulator::Kind;

// String reservations are capped so that a huge row hint does not reserve
// gigabytes of text up front.
constexpr std::uint64_t kStringReserveRows = 1000000;
constexpr std::uint64_t kStringReserveBytesPerRow = 16;

// One index entry as the hash table stores it: the node (next pointer, the
// (text, key) pair, the cached hash) plus its bucket pointer.
constexpr std::uint64_t kIndexNodeBytes =
    sizeof(void*) + sizeof(std::pair<const std::string, std::uint32_t>) + sizeof(std::size_t);
// Texts up to this length live inside the std::string itself (libstdc++).
constexpr std::size_t kInlineTextCapacity = 15;

Kind kind_for(FieldTag tag) {
  switch (tag) {
    case FieldTag::String: return Kind::String;
    case FieldTag::Int64: return Kind::Int64;
    case FieldTag::Float64: return Kind::Float64;
    case FieldTag::Boolean: return Kind::Boolean;
    case FieldTag::Dictionary: return Kind::Dictionary;
    case FieldTag::Date32: return Kind::Date32;
    case FieldTag::Timestamp: return Kind::Timestamp;
    case FieldTag::Decimal128: return Kind::Decimal128;
  }
  core_invariant_failed("unknown field type tag");
}

std::string_view bytes_view(const std::vector<std::uint8_t>& bytes, std::int32_t begin, std::int32_t end) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()) + begin,
                          static_cast<std::size_t>(end - begin));
}

// Float64 -> Int64: toward zero, saturated at both ends, NaN as 0.
std::int64_t truncate_saturating(double x) {
  if (std::isnan(x)) return 0;
  // 9223372036854775807.0 rounds to 2^63, the first double past the range.
  if (x >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

std::string overflow_text(const char* what, std::uint64_t limit, const char* unit) {
  return std::string(what) + " exceeds " + std::to_string(limit) + " " + unit;
}

// ---------------------------------------------------------------- per-kind appends

template <class T>
inline void push_slot(ColumnAccumulator::Impl& a, std::vector<T>& values, const std::optional<T>& v) {
  values.push_back(v ? *v : T{});
  a.validity.push(v.has_value());
}

inline void string_push_null(ColumnAccumulator::Impl& a) {
  a.str_offsets.push_back(a.str_offsets.back());
  a.validity.push(false);
}

void string_push(ColumnAccumulator::Impl& a, std::string_view text) {
  const std::uint64_t used = a.str_bytes.size();
  if (a.overflow.has_value() || used + text.size() > a.offset_limit) [[unlikely]] {
    // The bytes cannot be addressed by 32-bit offsets: keep the row's slot as
    // a null and remember the first row that did not fit.
    if (!a.overflow.has_value()) {
      a.overflow = overflow_text("string column", a.offset_limit, "bytes");
      a.overflow_row = a.len();
    }
    string_push_null(a);
    return;
  }
  a.str_bytes.insert(a.str_bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                     reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  a.str_offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  a.validity.push(true);
}

std::uint32_t dictionary_lookup_or_insert(ColumnAccumulator::Impl& a, std::string_view text) {
  auto it = a.index.find(text);
  if (it != a.index.end()) return it->second;
  const std::uint64_t count = a.dict_offsets.size() - 1;
  const std::uint64_t used = a.dict_bytes.size();
  if (count + 1 > a.offset_limit) {
    if (!a.overflow) a.overflow = overflow_text("dictionary column", a.offset_limit, "distinct values");
    return ColumnAccumulator::kNoKey;
  }
  if (used + text.size() > a.offset_limit) {
    if (!a.overflow) a.overflow = overflow_text("dictionary column", a.offset_limit, "bytes");
    return ColumnAccumulator::kNoKey;
  }
  const auto key = static_cast<std::uint32_t>(count);
  a.dict_bytes.insert(a.dict_bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                      reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  a.dict_offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  auto placed = a.index.emplace(std::string(text), key).first;
  if (placed->first.capacity() > kInlineTextCapacity) a.index_text_heap += placed->first.capacity() + 1;
  return key;
}

inline void dictionary_push_null(ColumnAccumulator::Impl& a) {
  a.keys.push_back(0);
  a.validity.push(false);
}

void dictionary_push(ColumnAccumulator::Impl& a, std::string_view text) {
  const std::uint32_t key = dictionary_lookup_or_insert(a, text);
  if (key == ColumnAccumulator::kNoKey) [[unlikely]] {
    dictionary_push_null(a);
    return;
  }
  a.keys.push_back(static_cast<std::int32_t>(key));
  a.validity.push(true);
}

void push_null(ColumnAccumulator::Impl& a) {
  switch (a.kind) {
    case Kind::String: string_push_null(a); return;
    case Kind::Int64:
    case Kind::Timestamp: a.i64_values.push_back(0); break;
    case Kind::Float64: a.f64_values.push_back(0.0); break;
    case Kind::Boolean: a.bool_values.push_back(0); break;
    case Kind::Date32: a.date_values.push_back(0); break;
    case Kind::Decimal128: a.dec_values.push_back(0); break;
    case Kind::Dictionary: dictionary_push_null(a); return;
  }
  a.validity.push(false);
}

// A rendered text landing in a String or Dictionary column.
void push_rendered(ColumnAccumulator::Impl& a, std::string_view text) {
  if (a.kind == Kind::String) {
    string_push(a, text);
  } else {
    dictionary_push(a, text);
  }
}

// ---------------------------------------------------------------- reads

std::string_view string_text(const ColumnAccumulator::Impl& a, std::uint64_t row) {
  return bytes_view(a.str_bytes, a.str_offsets[row], a.str_offsets[row + 1]);
}

std::string_view dictionary_text(const ColumnAccumulator::Impl& a, std::uint64_t row) {
  const auto key = static_cast<std::size_t>(a.keys[row]);
  return bytes_view(a.dict_bytes, a.dict_offsets[key], a.dict_offsets[key + 1]);
}

std::unique_ptr<ColumnAccumulator::Impl> make_impl(const FieldType& type, std::uint64_t capacity) {
  auto a = std::make_unique<ColumnAccumulator::Impl>();
  a->kind = kind_for(type.tag);
  switch (a->kind) {
    case Kind::String: {
      const std::uint64_t n = std::min(capacity, kStringReserveRows);
      a->str_bytes.reserve(kStringReserveBytesPerRow * n);
      a->str_offsets.reserve(n + 1);
      a->str_offsets.push_back(0);
      a->validity.reserve(n);
      return a;
    }
    case Kind::Int64: a->i64_values.reserve(capacity); break;
    case Kind::Float64: a->f64_values.reserve(capacity); break;
    case Kind::Boolean: a->bool_values.reserve(capacity); break;
    case Kind::Date32: a->date_values.reserve(capacity); break;
    case Kind::Timestamp:
      a->i64_values.reserve(capacity);
      a->unit = type.unit;
      a->pattern = type.pattern;
      a->timestamp_parser.emplace(type.unit, a->pattern);
      break;
    case Kind::Decimal128:
      a->dec_values.reserve(capacity);
      a->scale = type.scale;
      break;
    case Kind::Dictionary:
      a->keys.reserve(capacity);
      a->dict_offsets.push_back(0);
      break;
  }
  a->validity.reserve(capacity);
  return a;
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

ColumnAccumulator::ColumnAccumulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ColumnAccumulator::ColumnAccumulator(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator& ColumnAccumulator::operator=(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator::~ColumnAccumulator() = default;

ColumnAccumulator ColumnAccumulator::create(const FieldType& type, std::uint64_t capacity) {
  return ColumnAccumulator(make_impl(type, capacity));
}

ColumnAccumulator::Kind ColumnAccumulator::kind() const { return impl_->kind; }

FieldType ColumnAccumulator::field_type() const {
  const Impl& a = *impl_;
  switch (a.kind) {
    case Kind::String: return FieldType::simple(FieldTag::String);
    case Kind::Int64: return FieldType::simple(FieldTag::Int64);
    case Kind::Float64: return FieldType::simple(FieldTag::Float64);
    case Kind::Boolean: return FieldType::simple(FieldTag::Boolean);
    case Kind::Date32: return FieldType::simple(FieldTag::Date32);
    case Kind::Timestamp: return FieldType::timestamp(a.unit, a.pattern);
    case Kind::Decimal128: return FieldType::decimal128(a.scale);
    case Kind::Dictionary: return FieldType::simple(FieldTag::Dictionary);
  }
  core_invariant_failed("unknown accumulator kind");
}

// ---------------------------------------------------------------- appends

bool ColumnAccumulator::append_text(std::optional<std::string_view> text) {
  Impl& a = *impl_;
  if (!text) {
    push_null(a);
    return true;
  }
  const std::string_view t = *text;
  switch (a.kind) {
    case Kind::String:
      string_push(a, t);
      return true;
    case Kind::Int64: {
      const auto v = parse_int64(t);
      push_slot(a, a.i64_values, v);
      return v.has_value();
    }
    case Kind::Float64: {
      const auto v = parse_float64(t);
      push_slot(a, a.f64_values, v);
      return v.has_value();
    }
    case Kind::Boolean: {
      const auto v = parse_boolean(t);
      a.bool_values.push_back(v ? static_cast<std::uint8_t>(*v) : 0);
      a.validity.push(v.has_value());
      return v.has_value();
    }
    case Kind::Date32: {
      const auto v = parse_date32(t);
      push_slot(a, a.date_values, v);
      return v.has_value();
    }
    case Kind::Timestamp: {
      const auto v = a.timestamp_parser->parse(t);
      push_slot(a, a.i64_values, v);
      return v.has_value();
    }
    case Kind::Decimal128: {
      const auto v = parse_decimal128(t, a.scale);
      push_slot(a, a.dec_values, v);
      return v.has_value();
    }
    case Kind::Dictionary:
      dictionary_push(a, t);
      return true;
  }
  return true;
}

void ColumnAccumulator::append_null() { push_null(*impl_); }

bool ColumnAccumulator::append_value(const ScalarValue& value) {
  Impl& a = *impl_;
  using VK = ScalarValue::Kind;
  const bool textual = a.kind == Kind::String || a.kind == Kind::Dictionary;
  switch (value.kind) {
    case VK::Str:
      return append_text(value.str);
    case VK::Null:
      push_null(a);
      return true;
    case VK::Int64:
      if (textual) {
        push_rendered(a, render_int64(value.i64));
      } else if (a.kind == Kind::Int64) {
        push_slot(a, a.i64_values, std::optional<std::int64_t>(value.i64));
      } else if (a.kind == Kind::Float64) {
        push_slot(a, a.f64_values, std::optional<double>(static_cast<double>(value.i64)));
      } else {
        push_null(a);
      }
      return true;
    case VK::Float64:
      if (textual) {
        push_rendered(a, render_float64(value.f64));
      } else if (a.kind == Kind::Int64) {
        push_slot(a, a.i64_values, std::optional<std::int64_t>(truncate_saturating(value.f64)));
      } else if (a.kind == Kind::Float64) {
        push_slot(a, a.f64_values, std::optional<double>(value.f64));
      } else {
        push_null(a);
      }
      return true;
    case VK::Bool:
      if (textual) {
        push_rendered(a, value.b ? std::string_view("true") : std::string_view("false"));
      } else if (a.kind == Kind::Boolean) {
        a.bool_values.push_back(value.b ? 1 : 0);
        a.validity.push(true);
      } else {
        push_null(a);
      }
      return true;
    case VK::Date32:
      if (textual) {
        push_rendered(a, render_date32(value.date));
      } else if (a.kind == Kind::Int64) {
        push_slot(a, a.i64_values, std::optional<std::int64_t>(value.date));
      } else if (a.kind == Kind::Float64) {
        push_slot(a, a.f64_values, std::optional<double>(static_cast<double>(value.date)));
      } else if (a.kind == Kind::Date32) {
        push_slot(a, a.date_values, std::optional<std::int32_t>(value.date));
      } else {
        push_null(a);
      }
      return true;
    case VK::Timestamp:
      // The raw count carries no unit and is never rescaled.
      if (textual) {
        push_rendered(a, render_int64(value.i64));
      } else if (a.kind == Kind::Int64 || a.kind == Kind::Timestamp) {
        push_slot(a, a.i64_values, std::optional<std::int64_t>(value.i64));
      } else if (a.kind == Kind::Float64) {
        push_slot(a, a.f64_values, std::optional<double>(static_cast<double>(value.i64)));
      } else {
        push_null(a);
      }
      return true;
  }
  return true;
}

void ColumnAccumulator::remove_last() {
  Impl& a = *impl_;
  if (a.len() == 0) return;
  switch (a.kind) {
    case Kind::String:
      a.str_offsets.pop_back();
      a.str_bytes.resize(static_cast<std::size_t>(a.str_offsets.back()));
      break;
    case Kind::Int64:
    case Kind::Timestamp: a.i64_values.pop_back(); break;
    case Kind::Float64: a.f64_values.pop_back(); break;
    case Kind::Boolean: a.bool_values.pop_back(); break;
    case Kind::Date32: a.date_values.pop_back(); break;
    case Kind::Decimal128: a.dec_values.pop_back(); break;
    // The dictionary keeps texts of removed rows; only the key goes.
    case Kind::Dictionary: a.keys.pop_back(); break;
  }
  a.validity.pop();
  // Every row before the first one that did not fit is intact, so removing
  // that row makes the column whole again.
  if (a.kind == Kind::String && a.overflow && a.len() <= a.overflow_row) a.overflow.reset();
}

// ---------------------------------------------------------------- reads

std::uint64_t ColumnAccumulator::len() const { return impl_->len(); }
std::uint64_t ColumnAccumulator::null_count() const { return impl_->validity.null_count(); }

std::uint32_t ColumnAccumulator::dictionary_key(std::string_view text) {
  if (impl_->kind != Kind::Dictionary) core_invariant_failed("dictionary_key on a non-dictionary column");
  return dictionary_lookup_or_insert(*impl_, text);
}

std::optional<std::string_view> ColumnAccumulator::text_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (a.kind != Kind::String || row >= a.len() || !a.validity.is_valid(row)) return std::nullopt;
  const std::string_view text = string_text(a, row);
  if (!utf8::is_valid(text)) return std::nullopt;
  return text;
}

TypedCell ColumnAccumulator::cell_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (row >= a.len() || !a.validity.is_valid(row)) return TypedCell::absent();
  switch (a.kind) {
    case Kind::String: {
      const auto text = text_at(row);
      return text ? TypedCell::of_str(*text) : TypedCell::absent();
    }
    case Kind::Int64: return TypedCell::of_int64(a.i64_values[row]);
    case Kind::Float64: return TypedCell::of_float64(a.f64_values[row]);
    case Kind::Boolean: return TypedCell::of_bool(a.bool_values[row] != 0);
    case Kind::Date32: return TypedCell::of_date32(a.date_values[row]);
    case Kind::Timestamp: return TypedCell::of_timestamp(a.i64_values[row], a.unit);
    case Kind::Decimal128: return TypedCell::of_decimal128(a.dec_values[row], a.scale);
    case Kind::Dictionary: {
      const std::string_view text = dictionary_text(a, row);
      return utf8::is_valid(text) ? TypedCell::of_str(text) : TypedCell::absent();
    }
  }
  return TypedCell::absent();
}

std::optional<std::string> ColumnAccumulator::cell_text_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (row >= a.len() || !a.validity.is_valid(row)) return std::nullopt;
  switch (a.kind) {
    case Kind::String: {
      const auto text = text_at(row);
      if (!text) return std::nullopt;
      return std::string(*text);
    }
    case Kind::Int64: return render_int64(a.i64_values[row]);
    case Kind::Float64: return render_float64(a.f64_values[row]);
    case Kind::Boolean: return render_boolean(a.bool_values[row] != 0);
    case Kind::Date32: return render_date32(a.date_values[row]);
    case Kind::Timestamp: return render_timestamp(a.i64_values[row], a.unit);
    case Kind::Decimal128: return render_decimal128(a.dec_values[row], a.scale);
    case Kind::Dictionary: return utf8::lossy(dictionary_text(a, row));
  }
  return std::nullopt;
}

void ColumnAccumulator::encode_as_dictionary() {
  const Impl& s = *impl_;
  if (s.kind != Kind::String) return;
  auto d = make_impl(FieldType::simple(FieldTag::Dictionary), s.len());
  d->offset_limit = s.offset_limit;
  // Rows that did not fit were stored as nulls: the build must still fail.
  d->overflow = s.overflow;
  for (std::uint64_t row = 0; row < s.len(); ++row) {
    const auto text = text_at(row);
    if (text) {
      dictionary_push(*d, *text);
    } else {
      dictionary_push_null(*d);
    }
  }
  impl_ = std::move(d);
}

std::uint64_t ColumnAccumulator::distinct_count() const {
  const Impl& a = *impl_;
  if (a.kind != Kind::String) return 0;
  std::unordered_set<std::string_view> seen;
  for (std::uint64_t row = 0; row < a.len(); ++row) {
    const auto text = text_at(row);
    if (text) seen.insert(*text);
  }
  return seen.size();
}

std::uint64_t ColumnAccumulator::reserved_bytes() const {
  const Impl& a = *impl_;
  std::uint64_t total = a.validity.reserved_bytes();
  total += a.i64_values.capacity() * sizeof(std::int64_t);
  total += a.f64_values.capacity() * sizeof(double);
  total += a.bool_values.capacity();
  total += a.date_values.capacity() * sizeof(std::int32_t);
  total += a.dec_values.capacity() * sizeof(int128);
  total += a.str_bytes.capacity();
  total += a.str_offsets.capacity() * sizeof(std::int32_t);
  total += a.keys.capacity() * sizeof(std::int32_t);
  total += a.dict_bytes.capacity();
  total += a.dict_offsets.capacity() * sizeof(std::int32_t);
  if (a.kind == Kind::Dictionary) {
    total += a.index.bucket_count() * sizeof(void*) + a.index.size() * kIndexNodeBytes + a.index_text_heap;
  }
  if (a.pattern) total += a.pattern->capacity();
  return total;
}

const std::optional<std::string>& ColumnAccumulator::overflow() const { return impl_->overflow; }

void ColumnAccumulator::set_offset_limit_for_testing(std::uint64_t limit) {
  impl_->offset_limit = std::min(limit, kMaxOffset);
}

}  // namespace vorpel
