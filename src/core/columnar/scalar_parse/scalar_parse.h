#pragma once
// The only definitions of value syntax: text -> typed value (parsers), literal
// parsing for comparisons, castability recognisers, and typed value -> text.
// Parsers work on borrowed bytes, allocate nothing, never throw and never read
// past the given length; failure is `std::nullopt`.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/columnar/scalar_parse/pow10.h"
#include "core/field_type.h"
#include "core/white_space.h"  // trimming, which the parsers apply first

namespace vorpel {

using int128 = __int128;

std::optional<std::int64_t> parse_int64(std::string_view text);
std::optional<double> parse_float64(std::string_view text);
// True when the strict float64 grammar accepts the text (no conversion).
bool float64_grammar_accepts(std::string_view text);
std::optional<bool> parse_boolean(std::string_view text);
std::optional<std::int32_t> parse_date32(std::string_view text);
std::optional<int128> parse_decimal128(std::string_view text, std::uint8_t scale);
// Whether an unscaled decimal value has at most 38 digits (magnitude below
// 10^38), as a decimal column's type (precision 38) requires.
inline bool fits_decimal38(int128 v) {
  constexpr auto kLimit = static_cast<int128>(kPow10_128[38]);
  return v < kLimit && v > -kLimit;
}
// A value of a decimal column: parse_decimal128 limited by fits_decimal38. A
// wider value, even one that fits 128 bits, does not parse as the column's type.
std::optional<int128> parse_decimal38(std::string_view text, std::uint8_t scale);

// A timestamp parser for one column: the unit and the custom pattern are
// compiled once into a small program of directives, then reused per value.
//
// A value is trimmed, then matched against the custom pattern (when there is
// one); if that fails, against the built-in patterns "%Y-%m-%dT%H:%M:%S%.f",
// "%Y-%m-%d %H:%M:%S%.f" and "%Y-%m-%d" in that order. No zone or offset is
// ever read or applied.
//
// Pattern directives (every other byte must appear literally; a space matches
// any run of White_Space, including none; numeric fields skip White_Space
// before their digits):
//   %Y   year: with a `+`/`-` sign one or more digits, otherwise 1 to 4 digits
//   %y   two-digit year, 1 or 2 digits: 69..99 -> 1969..1999, 0..68 -> 2000..2068
//   %m   month 1..12, 1 or 2 digits
//   %b %h %B  English month name, ASCII case-insensitive; each accepts the full
//        name ("January") as well as the three-letter abbreviation ("Jan")
//   %d %e  day of month, 1 or 2 digits (%e: a leading space is skipped like
//        any whitespace before a numeric field)
//   %j   day of the year 1..366, 1 to 3 digits (needs a year)
//   %H   hour 0..23, 1 or 2 digits
//   %I   hour 1..12, 1 or 2 digits; needs %p
//   %p   "AM" or "PM", ASCII case-insensitive; needs %I
//   %M   minute 0..59, 1 or 2 digits
//   %S   second 0..60, 1 or 2 digits; 60 is a leap second: second 59 plus
//        one extra second of fraction
//   %.f  optional fraction: "." and one or more digits (nine are kept, the
//        rest are read and ignored); nothing when the next byte is not "."
//   %T = %H:%M:%S   %R = %H:%M   %F = %Y-%m-%d   %D = %m/%d/%y   %% = "%"
// A pattern must name a complete date: a year (%Y or %y) with a month and a
// day, or with a day of the year. A field given twice must agree.
//
// Date and time: the time of day is taken from the time directives the pattern
// has; a field it lacks is 0, so a date-only pattern gives midnight. The text
// has to match every directive of the pattern, and a matched time is never
// dropped: "%Y-%m-%d %H" reads "2024-01-05 13" as 13:00:00.
//
// A pattern with a directive outside this list, or one that names no complete
// date, never matches; values are then read with the built-in patterns only.
class TimestampParser {
 public:
  TimestampParser(TimeUnit unit, const std::optional<std::string>& pattern);
  std::optional<std::int64_t> parse(std::string_view text) const;
  // The same, for per-value loops: true and the value in `out`, or false and 0.
  bool parse_into(std::string_view text, std::int64_t& out) const;
  TimeUnit unit() const { return unit_; }
  // Whether only the built-in ISO forms can match (no usable custom pattern).
  bool builtin_only() const { return !(has_pattern_ && pattern_valid_); }

  // One compiled directive, or a run of literal bytes of `literals_`.
  struct Step {
    enum class Op : std::uint8_t {
      Literal,
      Space,
      Year,
      Year2,
      Month,
      MonthName,
      Day,
      DayOfYear,
      Hour24,
      Hour12,
      AmPm,
      Minute,
      Second,
      Fraction,
    };
    Op op = Op::Literal;
    std::uint32_t offset = 0;  // Literal: position in literals_
    std::uint32_t length = 0;  // Literal: byte count
  };

  // A custom pattern of fixed-width numeric fields (%Y as four digits, the
  // others as two) and literal bytes, each field at most once: the shape most
  // values of such a column have. A text of exactly that shape is read by
  // position with eight bytes per check; every other text goes through the
  // program. Empty (length 0) when the pattern has no such form.
  struct FixedLayout {
    std::uint32_t length = 0;
    // Byte positions of the fields; -1 when the pattern lacks the field.
    std::int32_t year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
    // One check per eight bytes (the last one may overlap the one before):
    // the bytes at `offset` must equal `expected` under `literal_mask` and be
    // ASCII digits under `digit_mask`.
    struct Word {
      std::uint32_t offset = 0;
      std::uint64_t expected = 0;
      std::uint64_t literal_mask = 0;
      std::uint64_t digit_mask = 0;
    };
    std::vector<Word> words;
  };

 private:
  TimeUnit unit_;
  bool has_pattern_ = false;
  bool pattern_valid_ = false;  // false: the custom pattern can never match
  std::vector<Step> program_;
  std::string literals_;
  FixedLayout fixed_;
};

// Convenience form that compiles the pattern for this one call (which
// allocates when there is a pattern); per-column callers keep a TimestampParser.
std::optional<std::int64_t> parse_timestamp(std::string_view text, TimeUnit unit,
                                            const std::optional<std::string>& pattern);

// A typed value as a column reads it back, for comparisons: of the kind of
// its column, except that text (a Dictionary column's too) is String; or
// absent (a null, or a value that is not there).
struct TypedCell {
  FieldTag kind = FieldTag::String;
  bool present = false;
  std::string_view str;  // String
  union {
    std::int64_t i64;  // Int64, Timestamp
    double f64;        // Float64
    bool b;            // Boolean
    std::int32_t date; // Date32
    int128 dec;        // Decimal128
  };
  TimeUnit unit = TimeUnit::Microsecond;  // Timestamp
  std::uint8_t scale = 0;                 // Decimal128

  TypedCell() : dec(0) {}
  static TypedCell absent() { return TypedCell(); }
  static TypedCell of_str(std::string_view s) { TypedCell c = of(FieldTag::String); c.str = s; return c; }
  static TypedCell of_int64(std::int64_t v) { TypedCell c = of(FieldTag::Int64); c.i64 = v; return c; }
  static TypedCell of_float64(double v) { TypedCell c = of(FieldTag::Float64); c.f64 = v; return c; }
  static TypedCell of_bool(bool v) { TypedCell c = of(FieldTag::Boolean); c.b = v; return c; }
  static TypedCell of_date32(std::int32_t v) { TypedCell c = of(FieldTag::Date32); c.date = v; return c; }
  static TypedCell of_timestamp(std::int64_t v, TimeUnit u) {
    TypedCell c = of(FieldTag::Timestamp); c.i64 = v; c.unit = u; return c;
  }
  static TypedCell of_decimal128(int128 v, std::uint8_t s) {
    TypedCell c = of(FieldTag::Decimal128); c.dec = v; c.scale = s; return c;
  }
  bool is_absent() const { return !present; }
  // Present text.
  bool is_text() const { return present && kind == FieldTag::String; }

 private:
  static TypedCell of(FieldTag k) { TypedCell c; c.kind = k; c.present = true; return c; }
};

// Parses a comparison literal as a value of the given kind (unit for
// Timestamp, scale for Decimal128). String and Dictionary give a String cell
// viewing `text` itself.
std::optional<TypedCell> parse_literal_as(FieldTag kind, TimeUnit unit, std::uint8_t scale,
                                          std::string_view text);

// Whether `text` parses as a value of `type` exactly as a column of that type
// parses it (String and Dictionary take every text). A Timestamp is read by
// `timestamp` when given (the column's compiled parser; the type's unit and
// pattern are then not consulted), else by the type's unit and pattern
// compiled for this call.
bool text_parses_as(const FieldType& type, std::string_view text, const TimestampParser* timestamp = nullptr);

// The cell a column of `type` reads back for `text` appended to it: the
// parsed value, or absent when the text does not parse (for String and
// Dictionary: when it is not UTF-8). A Timestamp is read as text_parses_as
// reads it.
TypedCell text_cell(const FieldType& type, std::string_view text, const TimestampParser* timestamp = nullptr);

// Whether a present text cell is castable to the field type tag: as
// text_parses_as for String, Dictionary, Int64, Float64 and Date32; wider
// for Boolean (also "yes", "no", "1", "0", in any ASCII case), Timestamp (an
// integer or a date, whatever the unit and pattern) and Decimal128 (any
// 128-bit integer or float64 text, whatever the scale).
bool castable_to(FieldTag tag, std::string_view text);

// Canonical texts. Floats use the shortest positional text that reads back
// exactly ("NaN", "inf", "-inf", "-0"). Dates are "%Y-%m-%d"; a year outside
// 0..9999 carries its sign and all its digits ("+12345-01-01", "-0044-03-15"),
// which parse_date32 and parse_timestamp read back, so every day count has a
// date text. Timestamps are "<date> HH:MM:SS" plus ".mmm", ".uuuuuu" or
// ".nnnnnnnnn" when the fraction is not zero.
//
// The `_to` forms write the text at `out`, which must have room for
// kRenderCapacity bytes, and return the end of the text; they allocate
// nothing. The std::string forms wrap them.
std::string render_int64(std::int64_t v);
std::string render_float64(double v);
std::string render_boolean(bool v);
std::string render_date32(std::int32_t days);
std::string render_timestamp(std::int64_t v, TimeUnit unit);
std::string render_decimal128(int128 v, std::uint8_t scale);

// Room for the canonical text of any typed value. The longest are doubles
// near the smallest normal one in positional form (a sign, "0.", 307 zeros
// and 17 digits: 327 bytes), then decimals of scale 255 (258 bytes).
inline constexpr std::size_t kRenderCapacity = 384;
struct RenderBuffer {
  std::array<char, kRenderCapacity> chars;
  char* data() { return chars.data(); }
};

char* render_int64_to(char* out, std::int64_t v);
char* render_float64_to(char* out, double v);
char* render_boolean_to(char* out, bool v);
char* render_date32_to(char* out, std::int32_t days);
char* render_timestamp_to(char* out, std::int64_t v, TimeUnit unit);
char* render_decimal128_to(char* out, int128 v, std::uint8_t scale);

}  // namespace vorpel
