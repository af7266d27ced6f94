#pragma once
// The only definitions of value syntax: text -> typed value (parsers), literal
// parsing for comparisons, castability recognisers, and typed value -> text.
// Parsers work on borrowed bytes, allocate nothing, never throw and never read
// past the given length; failure is `std::nullopt`.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/field_type.h"

namespace vorpel {

using int128 = __int128;

// Unicode White_Space trimming (returns a view into `text`).
std::string_view trim_whitespace(std::string_view text);
std::string_view trim_whitespace_start(std::string_view text);
std::string_view trim_whitespace_end(std::string_view text);

std::optional<std::int64_t> parse_int64(std::string_view text);
std::optional<double> parse_float64(std::string_view text);
// True when the strict float64 grammar accepts the text (no conversion).
bool float64_grammar_accepts(std::string_view text);
std::optional<bool> parse_boolean(std::string_view text);
std::optional<std::int32_t> parse_date32(std::string_view text);
std::optional<int128> parse_decimal128(std::string_view text, std::uint8_t scale);

// A timestamp parser for one column: the unit and the custom pattern are
// compiled once into a small program of directives, then reused per value.
class TimestampParser {
 public:
  TimestampParser(TimeUnit unit, const std::optional<std::string>& pattern);
  std::optional<std::int64_t> parse(std::string_view text) const;
  TimeUnit unit() const { return unit_; }

  struct Step;  // one compiled directive or literal

 private:
  TimeUnit unit_;
  bool has_pattern_ = false;
  bool pattern_valid_ = false;  // false: a directive outside the supported set
  std::vector<Step> program_;
};

// Convenience form that compiles the pattern for this one call.
std::optional<std::int64_t> parse_timestamp(std::string_view text, TimeUnit unit,
                                            const std::optional<std::string>& pattern);

// Typed values for comparisons, in the shared cell-kind order.
enum class CellKind : std::uint8_t { Str, Int64, Float64, Bool, Date32, Timestamp, Decimal128, Absent };

struct TypedCell {
  CellKind kind = CellKind::Absent;
  std::string_view str;  // Str
  union {
    std::int64_t i64;  // Int64, Timestamp
    double f64;        // Float64
    bool b;            // Bool
    std::int32_t date; // Date32
    int128 dec;        // Decimal128
  };
  TimeUnit unit = TimeUnit::Microsecond;  // Timestamp
  std::uint8_t scale = 0;                 // Decimal128

  TypedCell() : dec(0) {}
  static TypedCell absent() { return TypedCell(); }
  static TypedCell of_str(std::string_view s) { TypedCell c; c.kind = CellKind::Str; c.str = s; return c; }
  static TypedCell of_int64(std::int64_t v) { TypedCell c; c.kind = CellKind::Int64; c.i64 = v; return c; }
  static TypedCell of_float64(double v) { TypedCell c; c.kind = CellKind::Float64; c.f64 = v; return c; }
  static TypedCell of_bool(bool v) { TypedCell c; c.kind = CellKind::Bool; c.b = v; return c; }
  static TypedCell of_date32(std::int32_t v) { TypedCell c; c.kind = CellKind::Date32; c.date = v; return c; }
  static TypedCell of_timestamp(std::int64_t v, TimeUnit u) {
    TypedCell c; c.kind = CellKind::Timestamp; c.i64 = v; c.unit = u; return c;
  }
  static TypedCell of_decimal128(int128 v, std::uint8_t s) {
    TypedCell c; c.kind = CellKind::Decimal128; c.dec = v; c.scale = s; return c;
  }
  bool is_absent() const { return kind == CellKind::Absent; }
};

// Parses a comparison literal as the given cell kind (unit for Timestamp,
// scale for Decimal128). Str returns a view of `text` itself.
std::optional<TypedCell> parse_literal_as(CellKind kind, TimeUnit unit, std::uint8_t scale,
                                          std::string_view text);

// Whether a present text cell is castable to the field type tag.
bool castable_to(FieldTag tag, std::string_view text);

std::string render_int64(std::int64_t v);
std::string render_float64(double v);
std::string render_boolean(bool v);
std::string render_date32(std::int32_t days);
std::string render_timestamp(std::int64_t v, TimeUnit unit);
std::string render_decimal128(int128 v, std::uint8_t scale);

}  // namespace vorpel
