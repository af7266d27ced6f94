// The memory budget grammar: each rejection has its kind's exact message,
// results do not depend on surrounding white space or on the letter case of
// the unit, and plain ASCII inputs match a value computed with strtod.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/columnar/utf8_check.h"
#include "core/engine.h"
#include "core/white_space.h"
#include "fuzz_util.h"

namespace {

using namespace vorpel;
using fuzz::show;

std::string with_ascii_case(std::string_view t, bool upper) {
  std::string out(t);
  for (char& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<double> unit_factor(std::string unit) {
  unit = with_ascii_case(unit, true);
  if (unit.empty() || unit == "B") return 1.0;
  if (unit == "KB") return 1e3;
  if (unit == "MB") return 1e6;
  if (unit == "GB") return 1e9;
  if (unit == "TB") return 1e12;
  if (unit == "KIB") return 1024.0;
  if (unit == "MIB") return 1048576.0;
  if (unit == "GIB") return 1073741824.0;
  if (unit == "TIB") return 1099511627776.0;
  return std::nullopt;
}

// For texts of the form <digits with at most one point><ASCII unit letters>,
// with no white space anywhere: the byte count through strtod.
std::optional<std::uint64_t> oracle_simple(std::string_view t) {
  std::size_t n = 0;
  bool point = false;
  while (n < t.size() && ((t[n] >= '0' && t[n] <= '9') || (t[n] == '.' && !point))) {
    point = point || t[n] == '.';
    ++n;
  }
  const std::string number(t.substr(0, n));
  const std::string unit(t.substr(n));
  for (const char c : unit) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return std::nullopt;
  }
  if (number.empty() || number == ".") return std::nullopt;
  const double value = std::strtod(number.c_str(), nullptr);
  const auto factor = unit_factor(unit);
  if (!(value > 0) || std::isinf(value) || !factor) return std::nullopt;
  const double product = value * *factor;
  if (product >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(product);
}

bool same_result(const std::expected<std::uint64_t, MemoryValueError>& a,
                 const std::expected<std::uint64_t, MemoryValueError>& b, bool compare_messages) {
  if (a.has_value() != b.has_value()) return false;
  if (a) return *a == *b;
  return a.error().kind == b.error().kind && (!compare_messages || a.error().message == b.error().message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::ExactCopy input(data, size);
  const std::string_view text = input.view();
  const auto result = parse_memory_value(text);
  const std::string_view trimmed = trim_whitespace(text);

  if (!result) {
    const MemoryValueError& e = result.error();
    switch (e.kind) {
      case MemoryValueErrorKind::Empty:
        FUZZ_CHECK(e.message == "empty memory string" && trimmed.empty(), show(text));
        break;
      case MemoryValueErrorKind::InvalidNumber:
        FUZZ_CHECK(e.message == "invalid memory value: " + std::string(trimmed) && trimmed.starts_with("."),
                   show(text) + " " + show(e.message));
        break;
      case MemoryValueErrorKind::NotPositiveFinite:
        FUZZ_CHECK(e.message == "memory value must be a positive finite number, got 0" ||
                       e.message == "memory value must be a positive finite number, got inf",
                   show(text) + " " + show(e.message));
        break;
      case MemoryValueErrorKind::UnknownUnit: {
        const std::string_view prefix = "unknown memory unit: ";
        FUZZ_CHECK(e.message.starts_with(prefix), show(e.message));
        const std::string_view unit = std::string_view(e.message).substr(prefix.size());
        FUZZ_CHECK(trimmed.ends_with(unit) && !unit.empty(), show(text) + " " + show(e.message));
        break;
      }
    }
  } else if (const auto expected = oracle_simple(text)) {
    FUZZ_CHECK(*result == *expected, show(text) + " gives " + std::to_string(*result));
  }

  // Caller strings come from Python and are valid UTF-8; the invariances
  // below are stated for those.
  if (utf8::is_valid(text)) {
    const std::string padded = "\t \xE3\x80\x80" + std::string(text) + " \xC2\xA0";  // U+3000, U+00A0
    FUZZ_CHECK(same_result(parse_memory_value(padded), result, true), show(text));
    for (const bool upper : {true, false}) {
      FUZZ_CHECK(same_result(parse_memory_value(with_ascii_case(text, upper)), result, false), show(text));
    }
  }
  return 0;
}
