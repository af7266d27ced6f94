#include <string>

#include "core/columnar/accumulator.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/field_type.h"

namespace vorpel {

namespace {

// A float always shows it is one: 1.0 rather than 1 (NaN and inf stay words).
std::string float_debug(double x) {
  std::string s = render_float64(x);
  if (s.find_first_not_of("-0123456789") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string ScalarValue::debug_text() const {
  if (is_null()) return "Null";
  switch (kind) {
    case FieldTag::String:
      return "Str(" + quote_text(str) + ")";
    case FieldTag::Int64:
      return "Int64(" + std::to_string(i64) + ")";
    case FieldTag::Float64:
      return "Float64(" + float_debug(f64) + ")";
    case FieldTag::Boolean:
      return b ? "Bool(true)" : "Bool(false)";
    case FieldTag::Date32:
      return "Date32(" + std::to_string(date) + ")";
    case FieldTag::Timestamp:
      return "Timestamp(" + std::to_string(i64) + ")";
    case FieldTag::Dictionary:
    case FieldTag::Decimal128:
      break;  // never handed in
  }
  return "Null";
}

}  // namespace vorpel
