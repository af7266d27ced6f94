// Comparison literals, the column-type check and the castability recogniser.

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "core/columnar/column_kinds.h"
#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/numeric_internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/columnar/utf8_check.h"

namespace vorpel {
namespace {

using uint128 = unsigned __int128;

// Lower-cases ASCII letters only. The words compared against below contain no
// letter that a non-ASCII character lower-cases to (only U+212A KELVIN SIGN
// and U+0130 map into ASCII, to "k" and "i"), so this equals full lower-casing.
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool boolean_castable(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  char lower[5];
  for (std::size_t i = 0; i < text.size(); ++i) lower[i] = ascii_lower(text[i]);
  const std::string_view w(lower, text.size());
  return w == "0" || w == "1" || w == "no" || w == "yes" || w == "true" || w == "false";
}

// After trimming: an optional sign and one or more digits within the signed
// 128-bit range.
bool integer128_castable(std::string_view text) {
  const std::string_view t = scalar_detail::trim_fast(text);
  const char* p = t.data();
  const char* const end = p + t.size();
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end) return false;
  const uint128 limit = (static_cast<uint128>(1) << 127) - (negative ? 0 : 1);
  uint128 acc = 0;
  return scalar_detail::accumulate_digits(p, end, limit, acc);
}

}  // namespace

std::optional<TypedCell> parse_literal_as(FieldTag kind, TimeUnit unit, std::uint8_t scale, std::string_view text) {
  // Filled in place: building a TypedCell and copying it into the optional
  // costs more than the parse itself for short literals.
  std::optional<TypedCell> out(std::in_place);
  TypedCell& c = *out;
  c.kind = kind;
  c.present = true;
  c.unit = unit;
  c.scale = scale;
  const bool parsed =
      dispatch_kind(kind, [&]<FieldTag Tag>(KindTag<Tag>) { return KindTraits<Tag>::literal_into(text, c); });
  if (!parsed) out.reset();
  return out;
}

// Literals: Int64 and Timestamp (a raw count of the column's unit) as
// integers, Date32 as a day count, Boolean only as "true"/"false" in three
// spellings, Decimal128 at the column's scale.
bool KindTraits<FieldTag::Int64>::literal_into(std::string_view text, TypedCell& c) {
  const auto v = parse_int64(text);
  if (v) c.i64 = *v;
  return v.has_value();
}
bool KindTraits<FieldTag::Timestamp>::literal_into(std::string_view text, TypedCell& c) {
  return KindTraits<FieldTag::Int64>::literal_into(text, c);
}
bool KindTraits<FieldTag::Float64>::literal_into(std::string_view text, TypedCell& c) {
  const auto v = parse_float64(text);
  if (v) c.f64 = *v;
  return v.has_value();
}
bool KindTraits<FieldTag::Boolean>::literal_into(std::string_view text, TypedCell& c) {
  if (text == "true" || text == "True" || text == "TRUE") {
    c.b = true;
    return true;
  }
  if (text == "false" || text == "False" || text == "FALSE") {
    c.b = false;
    return true;
  }
  return false;
}
bool KindTraits<FieldTag::Date32>::literal_into(std::string_view text, TypedCell& c) {
  const auto v = parse_int64(text);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) return false;
  c.date = static_cast<std::int32_t>(*v);
  return true;
}
bool KindTraits<FieldTag::Decimal128>::literal_into(std::string_view text, TypedCell& c) {
  const auto v = parse_decimal128(text, c.scale);
  if (v) c.dec = *v;
  return v.has_value();
}

bool text_parses_as(const FieldType& type, std::string_view text, const TimestampParser* timestamp) {
  if (timestamp != nullptr && type.tag == FieldTag::Timestamp) return timestamp->parse(text).has_value();
  return dispatch_kind(type.tag, [&]<FieldTag Tag>(KindTag<Tag>) {
    return KindTraits<Tag>::parses(KindTraits<Tag>::Params::of(type), text);
  });
}

TypedCell text_cell(const FieldType& type, std::string_view text, const TimestampParser* timestamp) {
  if (timestamp != nullptr && type.tag == FieldTag::Timestamp) {
    const auto v = timestamp->parse(text);
    return v ? TypedCell::of_timestamp(*v, timestamp->unit()) : TypedCell::absent();
  }
  return dispatch_kind(type.tag, [&]<FieldTag Tag>(KindTag<Tag>) {
    using Traits = KindTraits<Tag>;
    if constexpr (!Traits::kFixedWidth) {
      return utf8::is_valid(text) ? TypedCell::of_str(text) : TypedCell::absent();
    } else {
      const typename Traits::Params params = Traits::Params::of(type);
      const auto v = Traits::parse(params, text);
      return v ? Traits::cell(params, *v) : TypedCell::absent();
    }
  });
}

bool castable_to(FieldTag tag, std::string_view text) {
  return dispatch_kind(tag, [&]<FieldTag Tag>(KindTag<Tag>) { return KindTraits<Tag>::castable(text); });
}

// The castability recognisers: as the column's own parser for Int64, Float64
// and Date32; wider for the others.
bool KindTraits<FieldTag::Int64>::castable(std::string_view t) { return parse_int64(t).has_value(); }
bool KindTraits<FieldTag::Float64>::castable(std::string_view t) { return float64_grammar_accepts(t); }
bool KindTraits<FieldTag::Date32>::castable(std::string_view t) { return parse_date32(t).has_value(); }
bool KindTraits<FieldTag::Boolean>::castable(std::string_view t) { return boolean_castable(t); }
bool KindTraits<FieldTag::Timestamp>::castable(std::string_view t) {
  return parse_int64(t).has_value() || parse_date32(t).has_value();
}
bool KindTraits<FieldTag::Decimal128>::castable(std::string_view t) {
  return integer128_castable(t) || float64_grammar_accepts(t);
}

namespace {

bool target_in(const FieldType& target, std::initializer_list<FieldTag> tags) {
  return std::find(tags.begin(), tags.end(), target.tag) != tags.end();
}

}  // namespace

// Castability of a column's values: a String column's text by the target's
// recogniser; a Dictionary's texts only to text; a typed value to the types
// that hold it (a number to Boolean when it is 0 or 1, a Float64 to Int64
// when it is integral and in range, a Timestamp to a Timestamp of its unit).
template <FieldTag Tag>
bool TextKindTraits<Tag>::value_castable(const TypedCell& cell, const FieldType& target) {
  if constexpr (Tag == FieldTag::String) {
    return castable_to(target.tag, cell.str);
  } else {
    return target_in(target, {FieldTag::String, FieldTag::Dictionary});
  }
}
template bool TextKindTraits<FieldTag::String>::value_castable(const TypedCell&, const FieldType&);
template bool TextKindTraits<FieldTag::Dictionary>::value_castable(const TypedCell&, const FieldType&);

bool KindTraits<FieldTag::Int64>::value_castable(const TypedCell& c, const FieldType& target) {
  if (target.tag == FieldTag::Boolean) return c.i64 == 0 || c.i64 == 1;
  return target_in(target, {FieldTag::String, FieldTag::Int64, FieldTag::Float64});
}
bool KindTraits<FieldTag::Float64>::value_castable(const TypedCell& c, const FieldType& target) {
  if (target.tag == FieldTag::Int64) {
    // Integral and inside the int64 range [-2^63, 2^63).
    const double v = c.f64;
    return std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0;
  }
  if (target.tag == FieldTag::Boolean) return c.f64 == 0.0 || c.f64 == 1.0;
  return target_in(target, {FieldTag::String, FieldTag::Float64});
}
bool KindTraits<FieldTag::Boolean>::value_castable(const TypedCell&, const FieldType& target) {
  return target_in(target, {FieldTag::String, FieldTag::Int64, FieldTag::Float64, FieldTag::Boolean});
}
bool KindTraits<FieldTag::Date32>::value_castable(const TypedCell&, const FieldType& target) {
  return target_in(target, {FieldTag::String, FieldTag::Int64, FieldTag::Date32});
}
bool KindTraits<FieldTag::Timestamp>::value_castable(const TypedCell& c, const FieldType& target) {
  if (target.tag == FieldTag::Timestamp) return target.unit == c.unit;
  return target_in(target, {FieldTag::String, FieldTag::Int64});
}
bool KindTraits<FieldTag::Decimal128>::value_castable(const TypedCell&, const FieldType& target) {
  return target_in(target, {FieldTag::String, FieldTag::Int64, FieldTag::Float64, FieldTag::Decimal128});
}

}  // namespace vorpel
