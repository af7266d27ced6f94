// Field type texts: every input either parses, and then its canonical text
// parses back to the same type, or fails with one of the fixed messages
// naming exactly what the grammar says it names.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/field_type.h"
#include "fuzz_util.h"

namespace {

using vorpel::FieldTag;
using vorpel::FieldType;
using vorpel::TimeUnit;
using vorpel::fuzz::show;

std::string unit_text(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Second: return "s";
    case TimeUnit::Millisecond: return "ms";
    case TimeUnit::Microsecond: return "us";
    case TimeUnit::Nanosecond: return "ns";
  }
  return "?";
}

// The text a user would write for `type`.
std::string canonical_text(const FieldType& type) {
  switch (type.tag) {
    case FieldTag::String: return "string";
    case FieldTag::Int64: return "int64";
    case FieldTag::Float64: return "float64";
    case FieldTag::Boolean: return "bool";
    case FieldTag::Dictionary: return "dictionary";
    case FieldTag::Date32: return "date32";
    case FieldTag::Timestamp:
      return "timestamp[" + unit_text(type.unit) + (type.pattern ? ",format=" + *type.pattern : "") + "]";
    case FieldTag::Decimal128: return "decimal128(" + std::to_string(type.scale) + ")";
  }
  return "";
}

bool is_decimal_number(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return s.size() == 1 || s.front() != '0';
}

void check_failure(std::string_view text, const vorpel::CoreError& error) {
  FUZZ_CHECK(error.kind() == vorpel::ErrorKind::Plan, "kind " + std::to_string(static_cast<int>(error.kind())));
  const std::string& msg = error.message();
  const bool is_timestamp = text.starts_with("timestamp");
  const bool is_decimal = text.size() >= 11 && text.starts_with("decimal128(");
  const auto rest_after = [&](std::string_view prefix) { return std::string_view(msg).substr(prefix.size()); };

  if (msg.starts_with("unknown field type: ")) {
    FUZZ_CHECK(rest_after("unknown field type: ") == text, show(msg) + " for " + show(text));
    FUZZ_CHECK(!is_timestamp && !is_decimal, "unknown for " + show(text));
  } else if (msg.starts_with("invalid timestamp spec: ")) {
    FUZZ_CHECK(rest_after("invalid timestamp spec: ") == text, show(msg) + " for " + show(text));
    FUZZ_CHECK(is_timestamp, "timestamp message for " + show(text));
  } else if (msg.starts_with("invalid decimal128 spec: ")) {
    FUZZ_CHECK(rest_after("invalid decimal128 spec: ") == text, show(msg) + " for " + show(text));
    FUZZ_CHECK(is_decimal && (text.size() == 11 || text.back() != ')'), "decimal spec message for " + show(text));
  } else if (msg.starts_with("invalid decimal128 scale: ")) {
    const std::string_view why = rest_after("invalid decimal128 scale: ");
    FUZZ_CHECK(why == "cannot parse integer from empty string" || why == "invalid digit found in string" ||
                   why == "number too large to fit in target type",
               show(msg));
    FUZZ_CHECK(is_decimal && text.size() > 11 && text.back() == ')', "scale message for " + show(text));
    const std::string_view inner = text.substr(11, text.size() - 12);
    FUZZ_CHECK((why == "cannot parse integer from empty string") == inner.empty(), show(msg) + " for " + show(text));
  } else if (msg.starts_with("decimal128 scale exceeds 38: ")) {
    const std::string_view n = rest_after("decimal128 scale exceeds 38: ");
    FUZZ_CHECK(is_decimal_number(n) && std::stoi(std::string(n)) > 38 && std::stoi(std::string(n)) <= 255, show(msg));
  } else {
    FUZZ_CHECK(false, "unexpected message " + show(msg) + " for " + show(text));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const vorpel::fuzz::ExactCopy input(data, size);
  const std::string_view text = input.view();

  const auto parsed = vorpel::parse_field_type(text);
  if (!parsed) {
    check_failure(text, parsed.error());
    return 0;
  }
  const FieldType& type = *parsed;
  FUZZ_CHECK(static_cast<int>(type.tag) <= 7, show(text));
  if (type.tag == FieldTag::Decimal128) FUZZ_CHECK(type.scale <= 38, show(text));
  if (type.tag == FieldTag::Timestamp) {
    FUZZ_CHECK(static_cast<int>(type.unit) <= 3, show(text));
    if (type.pattern) {
      // The pattern is kept exactly as written, right before the closing bracket.
      FUZZ_CHECK(!type.pattern->empty() && text.ends_with(*type.pattern + "]"),
                 show(text) + " kept pattern " + show(*type.pattern));
    }
  } else {
    FUZZ_CHECK(!type.pattern.has_value(), show(text));
  }
  FUZZ_CHECK(!type.debug_name().empty(), show(text));

  const std::string canonical = canonical_text(type);
  const auto again = vorpel::parse_field_type(canonical);
  FUZZ_CHECK(again.has_value() && *again == type, show(text) + " -> " + show(canonical));

  // Nothing is trimmed: a blank on either side makes any accepted text invalid.
  FUZZ_CHECK(!vorpel::parse_field_type(" " + std::string(text)).has_value(), show(text));
  FUZZ_CHECK(!vorpel::parse_field_type(std::string(text) + " ").has_value(), show(text));
  return 0;
}
