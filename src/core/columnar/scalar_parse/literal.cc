// Comparison literals, the column-type check and the castability recogniser.

#include <limits>

#include "core/columnar/column_kinds.h"
#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/numeric_internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

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

std::optional<TypedCell> parse_literal_as(CellKind kind, TimeUnit unit, std::uint8_t scale, std::string_view text) {
  // Filled in place: building a TypedCell and copying it into the optional
  // costs more than the parse itself for short literals.
  std::optional<TypedCell> out(std::in_place);
  TypedCell& c = *out;
  c.kind = kind;
  switch (kind) {
    case CellKind::Str:
      c.str = text;
      return out;
    case CellKind::Int64:
    case CellKind::Timestamp:
      if (auto v = parse_int64(text)) {
        c.i64 = *v;
        c.unit = unit;
        return out;
      }
      break;
    case CellKind::Float64:
      if (auto v = parse_float64(text)) {
        c.f64 = *v;
        return out;
      }
      break;
    case CellKind::Bool:
      if (text == "true" || text == "True" || text == "TRUE") {
        c.b = true;
        return out;
      }
      if (text == "false" || text == "False" || text == "FALSE") {
        c.b = false;
        return out;
      }
      break;
    case CellKind::Date32:
      if (auto v = parse_int64(text);
          v && *v >= std::numeric_limits<std::int32_t>::min() && *v <= std::numeric_limits<std::int32_t>::max()) {
        c.date = static_cast<std::int32_t>(*v);
        return out;
      }
      break;
    case CellKind::Decimal128:
      if (auto v = parse_decimal128(text, scale)) {
        c.dec = *v;
        c.scale = scale;
        return out;
      }
      break;
    case CellKind::Absent:
      break;
  }
  return std::nullopt;
}

bool text_parses_as(const FieldType& type, std::string_view text, const TimestampParser* timestamp) {
  if (timestamp != nullptr && type.tag == FieldTag::Timestamp) return timestamp->parse(text).has_value();
  return dispatch_kind(type.tag, [&]<FieldTag Tag>(KindTag<Tag>) {
    return KindTraits<Tag>::parses(KindTraits<Tag>::Params::of(type), text);
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

}  // namespace vorpel
