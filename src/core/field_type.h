#pragma once
// Field type texts ("int64", "timestamp[ms,format=%d/%m/%Y]", "decimal128(2)", ...)
// and their parsed form.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace vorpel {

enum class TimeUnit : std::uint8_t { Second = 0, Millisecond = 1, Microsecond = 2, Nanosecond = 3 };

enum class FieldTag : std::uint8_t {
  String = 0,
  Int64 = 1,
  Float64 = 2,
  Boolean = 3,
  Dictionary = 4,
  Date32 = 5,
  Timestamp = 6,
  Decimal128 = 7,
};

struct FieldType {
  FieldTag tag = FieldTag::String;
  TimeUnit unit = TimeUnit::Microsecond;  // Timestamp only
  std::uint8_t scale = 0;                 // Decimal128 only
  std::optional<std::string> pattern;     // Timestamp only: custom pattern as written

  static FieldType simple(FieldTag tag) { return FieldType{tag, TimeUnit::Microsecond, 0, std::nullopt}; }
  static FieldType timestamp(TimeUnit unit, std::optional<std::string> pattern = std::nullopt) {
    return FieldType{FieldTag::Timestamp, unit, 0, std::move(pattern)};
  }
  static FieldType decimal128(std::uint8_t scale) {
    return FieldType{FieldTag::Decimal128, TimeUnit::Microsecond, scale, std::nullopt};
  }

  // Equality of the type: tag, and the payload that tag carries.
  friend bool operator==(const FieldType& a, const FieldType& b);

  // Debug name used in the strict-type message: Int64, Timestamp(Millisecond, None),
  // Timestamp(Microsecond, Some("%d/%m/%Y")), Decimal128(2), ...
  std::string debug_name() const;
};

// "Second", "Millisecond", "Microsecond", "Nanosecond".
const char* time_unit_name(TimeUnit unit);

// Parses a field type text; failures are `Plan` errors with the exact messages.
Result<FieldType> parse_field_type(std::string_view text);

// Renders `text` in double quotes with backslash escapes for `"`, `\` and control
// characters (\n, \r, \t, \0, \u{hex}); invalid UTF-8 is shown as U+FFFD.
// At most `max_chars` code points of the text are shown.
std::string quote_text(std::string_view text, std::size_t max_chars = SIZE_MAX);

}  // namespace vorpel
