// Field type texts: classification, parsed form, debug names, and the quoted
// rendering of texts used in messages.

#include "core/field_type.h"

#include <cstdint>

#include "core/utf8.h"

namespace vorpel {
namespace {

constexpr std::string_view kTimestamp = "timestamp";
constexpr std::string_view kDecimalOpen = "decimal128(";
constexpr std::string_view kFormat = "format=";

CoreError unknown(std::string_view text) { return CoreError::plan("unknown field type: " + std::string(text)); }
CoreError bad_timestamp(std::string_view text) {
  return CoreError::plan("invalid timestamp spec: " + std::string(text));
}

std::optional<TimeUnit> unit_from_text(std::string_view u) {
  if (u.empty() || u == "us" || u == "\xC2\xB5s") return TimeUnit::Microsecond;
  if (u == "s") return TimeUnit::Second;
  if (u == "ms") return TimeUnit::Millisecond;
  if (u == "ns") return TimeUnit::Nanosecond;
  return std::nullopt;
}

// "timestamp[" inner "]"; `text` begins with "timestamp" and is not exactly it.
Result<FieldType> parse_bracketed_timestamp(std::string_view text) {
  if (text.size() < 11 || text[9] != '[' || text.back() != ']') return fail(bad_timestamp(text));
  const std::string_view inner = text.substr(10, text.size() - 11);
  std::string_view unit_text;
  std::optional<std::string> pattern;
  if (const auto comma = inner.find(','); comma != std::string_view::npos) {
    unit_text = inner.substr(0, comma);
    const std::string_view rest = inner.substr(comma + 1);
    if (!rest.starts_with(kFormat) || rest.size() == kFormat.size()) return fail(bad_timestamp(text));
    pattern = std::string(rest.substr(kFormat.size()));
  } else if (inner.starts_with(kFormat)) {
    if (inner.size() == kFormat.size()) return fail(bad_timestamp(text));
    unit_text = "us";
    pattern = std::string(inner.substr(kFormat.size()));
  } else {
    unit_text = inner;
  }
  const auto unit = unit_from_text(unit_text);
  if (!unit) return fail(bad_timestamp(text));
  return FieldType::timestamp(*unit, std::move(pattern));
}

// An unsigned 8-bit decimal: one optional leading "+", then digits only. A
// non-digit is reported before an overflow caused by the same byte.
Result<std::uint8_t> parse_u8(std::string_view s) {
  if (s.empty()) return fail(CoreError::plan("cannot parse integer from empty string"));
  if (s.size() > 1 && s.front() == '+') s.remove_prefix(1);
  unsigned value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return fail(CoreError::plan("invalid digit found in string"));
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return fail(CoreError::plan("number too large to fit in target type"));
  }
  return static_cast<std::uint8_t>(value);
}

// "decimal128(" scale ")"; `text` begins with "decimal128(".
Result<FieldType> parse_parenthesised_decimal(std::string_view text) {
  if (text.size() <= kDecimalOpen.size() || text.back() != ')') {
    return fail(CoreError::plan("invalid decimal128 spec: " + std::string(text)));
  }
  const auto scale = parse_u8(text.substr(kDecimalOpen.size(), text.size() - kDecimalOpen.size() - 1));
  if (!scale) return fail(CoreError::plan("invalid decimal128 scale: " + scale.error().message()));
  if (*scale > 38) return fail(CoreError::plan("decimal128 scale exceeds 38: " + std::to_string(*scale)));
  return FieldType::decimal128(*scale);
}

}  // namespace

bool operator==(const FieldType& a, const FieldType& b) {
  if (a.tag != b.tag) return false;
  if (a.tag == FieldTag::Timestamp) return a.unit == b.unit && a.pattern == b.pattern;
  if (a.tag == FieldTag::Decimal128) return a.scale == b.scale;
  return true;
}

const char* time_unit_name(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Second: return "Second";
    case TimeUnit::Millisecond: return "Millisecond";
    case TimeUnit::Microsecond: return "Microsecond";
    case TimeUnit::Nanosecond: return "Nanosecond";
  }
  return "Microsecond";
}

std::string FieldType::debug_name() const {
  switch (tag) {
    case FieldTag::String: return "String";
    case FieldTag::Int64: return "Int64";
    case FieldTag::Float64: return "Float64";
    case FieldTag::Boolean: return "Boolean";
    case FieldTag::Dictionary: return "Dictionary";
    case FieldTag::Date32: return "Date32";
    case FieldTag::Timestamp:
      return std::string("Timestamp(") + time_unit_name(unit) + ", " +
             (pattern ? "Some(" + quote_text(*pattern) + ")" : std::string("None")) + ")";
    case FieldTag::Decimal128: return "Decimal128(" + std::to_string(scale) + ")";
  }
  return "String";
}

Result<FieldType> parse_field_type(std::string_view text) {
  switch (text.size()) {
    case 4:
      if (text == "bool") return FieldType::simple(FieldTag::Boolean);
      break;
    case 5:
      if (text == "int64") return FieldType::simple(FieldTag::Int64);
      break;
    case 6:
      if (text == "string") return FieldType::simple(FieldTag::String);
      if (text == "date32") return FieldType::simple(FieldTag::Date32);
      break;
    case 7:
      if (text == "float64") return FieldType::simple(FieldTag::Float64);
      if (text == "boolean") return FieldType::simple(FieldTag::Boolean);
      break;
    case 9:
      if (text == kTimestamp) return FieldType::timestamp(TimeUnit::Microsecond);
      break;
    case 10:
      if (text == "dictionary") return FieldType::simple(FieldTag::Dictionary);
      if (text == "decimal128") return FieldType::decimal128(18);
      break;
    default:
      break;
  }
  if (text.starts_with(kTimestamp)) return parse_bracketed_timestamp(text);
  if (text.starts_with(kDecimalOpen)) return parse_parenthesised_decimal(text);
  return fail(unknown(text));
}

std::string quote_text(std::string_view text, std::size_t max_chars) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t i = 0;
  for (std::size_t shown = 0; i < text.size() && shown < max_chars; ++shown) {
    // An ill-formed sequence shows as one U+FFFD.
    const utf8::Decoded d = utf8::decode(bytes + i, text.size() - i);
    const char32_t cp = d.cp;
    i += d.size;
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          bool started = false;
          for (int shift = 4; shift >= 0; shift -= 4) {
            const unsigned nibble = (cp >> shift) & 0xF;
            if (nibble != 0 || started || shift == 0) {
              out.push_back(kHex[nibble]);
              started = true;
            }
          }
          out.push_back('}');
        } else {
          utf8::append(out, cp);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace vorpel
