#pragma once
// Everything that differs between column kinds, one traits specialisation per
// kind: the stored value, the parameters a column of the kind carries, the
// general and fast text parsers, the typed cell a stored value reads back as,
// its canonical text, comparison literals, castability and the Arrow type.
// `dispatch_kind` is the one place where a runtime FieldTag becomes a kind
// known at compile time; everything else is written once over the traits.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/columnar/scalar_parse/fast_parse.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/field_type.h"
#include "core/invariant.h"

namespace arrow {
class DataType;
}  // namespace arrow

namespace vorpel {

template <FieldTag Tag>
using KindTag = std::integral_constant<FieldTag, Tag>;

// Calls `f(KindTag<tag>{})` for the runtime tag.
template <class F>
decltype(auto) dispatch_kind(FieldTag tag, F&& f) {
  switch (tag) {
    case FieldTag::String: return f(KindTag<FieldTag::String>{});
    case FieldTag::Int64: return f(KindTag<FieldTag::Int64>{});
    case FieldTag::Float64: return f(KindTag<FieldTag::Float64>{});
    case FieldTag::Boolean: return f(KindTag<FieldTag::Boolean>{});
    case FieldTag::Dictionary: return f(KindTag<FieldTag::Dictionary>{});
    case FieldTag::Date32: return f(KindTag<FieldTag::Date32>{});
    case FieldTag::Timestamp: return f(KindTag<FieldTag::Timestamp>{});
    case FieldTag::Decimal128: return f(KindTag<FieldTag::Decimal128>{});
  }
  core_invariant_failed("unknown field type tag");
}

// The parameters of a kind that has none.
struct NoParams {
  static NoParams of(const FieldType&) { return {}; }
};

template <FieldTag Tag>
struct KindTraits;

// The two text kinds take every text as it is; their columns (StringColumn,
// DictionaryColumn) store bytes rather than fixed-width values.
template <FieldTag Tag>
struct TextKindTraits {
  static constexpr bool kFixedWidth = false;
  using Params = NoParams;
  static FieldType field_type(const Params&) { return FieldType::simple(Tag); }
  static bool parses(const Params&, std::string_view) { return true; }
  static bool castable(std::string_view) { return true; }
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell) {
    cell.kind = FieldTag::String;
    cell.str = text;
    return true;
  }
  // A text is its own rendering, and may be longer than any buffer: callers
  // read `cell.str` instead.
  [[noreturn]] static char* render_to(char*, const TypedCell&) {
    core_invariant_failed("a text cell rendered into a buffer");
  }
  static std::shared_ptr<arrow::DataType> arrow_type(const Params&);
};

template <>
struct KindTraits<FieldTag::String> : TextKindTraits<FieldTag::String> {};
template <>
struct KindTraits<FieldTag::Dictionary> : TextKindTraits<FieldTag::Dictionary> {};

// The six fixed-width kinds. Each gives:
//   Stored                         the value one row holds
//   Params, field_type(params)     what a column carries beside its values
//   parse(params, text)            the general parser (append_text)
//   fast_into(params, p, n, end, slot)  the per-value parser of whole columns:
//                                  true and the value, or false and 0; the
//                                  bytes up to `end` may be read
//   cell(params, v)                the cell a stored value reads back as
//   render_to(out, cell)           the canonical text of a present cell of the kind
//   stored(cell)                   the stored value of a cell of this kind
//   castable(text)                 the castability recogniser: whether a text
//                                  could be cast to the kind
//   value_castable(cell, target)   whether a present cell of a column of the
//                                  kind could be cast to the target type
//   literal_into(text, cell)       a comparison literal as a value of the kind,
//                                  into a present cell carrying the column's
//                                  unit and scale
//   parses(params, text)           whether `parse` accepts the text
template <class Self, class T>
struct FixedKindTraits {
  static constexpr bool kFixedWidth = true;
  using Stored = T;
  template <class Params>
  static bool parses(const Params& p, std::string_view t) {
    return Self::parse(p, t).has_value();
  }
};

template <>
struct KindTraits<FieldTag::Int64> : FixedKindTraits<KindTraits<FieldTag::Int64>, std::int64_t> {
  using Params = NoParams;
  static FieldType field_type(const Params&) { return FieldType::simple(FieldTag::Int64); }
  static std::optional<Stored> parse(const Params&, std::string_view t) { return parse_int64(t); }
  [[gnu::always_inline]] static bool fast_into(const Params&, const char* p, std::size_t n, const char* end,
                                               Stored& slot) {
    return fast::parse_int64_into(p, n, end, slot);
  }
  static TypedCell cell(const Params&, Stored v) { return TypedCell::of_int64(v); }
  static Stored stored(const TypedCell& c) { return c.i64; }
  static char* render_to(char* out, const TypedCell& c) { return render_int64_to(out, c.i64); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params&);
};

template <>
struct KindTraits<FieldTag::Float64> : FixedKindTraits<KindTraits<FieldTag::Float64>, double> {
  using Params = NoParams;
  static FieldType field_type(const Params&) { return FieldType::simple(FieldTag::Float64); }
  static std::optional<Stored> parse(const Params&, std::string_view t) { return parse_float64(t); }
  // parse_float64 accepts exactly this grammar, which is checked without converting.
  static bool parses(const Params&, std::string_view t) { return float64_grammar_accepts(t); }
  // Forced inline: the parser is large enough that the compiler would
  // otherwise call it for every value.
  [[gnu::always_inline]] static bool fast_into(const Params&, const char* p, std::size_t n, const char* end,
                                               Stored& slot) {
    return fast::parse_float64_into(p, n, end, slot);
  }
  static TypedCell cell(const Params&, Stored v) { return TypedCell::of_float64(v); }
  static Stored stored(const TypedCell& c) { return c.f64; }
  static char* render_to(char* out, const TypedCell& c) { return render_float64_to(out, c.f64); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params&);
};

// One byte per row, 0 or 1 (packed into bits when the array is assembled).
template <>
struct KindTraits<FieldTag::Boolean> : FixedKindTraits<KindTraits<FieldTag::Boolean>, std::uint8_t> {
  using Params = NoParams;
  static FieldType field_type(const Params&) { return FieldType::simple(FieldTag::Boolean); }
  static std::optional<Stored> parse(const Params&, std::string_view t) {
    const auto v = parse_boolean(t);
    if (!v) return std::nullopt;
    return static_cast<Stored>(*v);
  }
  [[gnu::always_inline]] static bool fast_into(const Params&, const char* p, std::size_t n, const char* end,
                                               Stored& slot) {
    return fast::parse_boolean_into(p, n, end, slot);
  }
  static TypedCell cell(const Params&, Stored v) { return TypedCell::of_bool(v != 0); }
  static Stored stored(const TypedCell& c) { return c.b ? 1 : 0; }
  static char* render_to(char* out, const TypedCell& c) { return render_boolean_to(out, c.b); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params&);
};

template <>
struct KindTraits<FieldTag::Date32> : FixedKindTraits<KindTraits<FieldTag::Date32>, std::int32_t> {
  using Params = NoParams;
  static FieldType field_type(const Params&) { return FieldType::simple(FieldTag::Date32); }
  static std::optional<Stored> parse(const Params&, std::string_view t) { return parse_date32(t); }
  [[gnu::always_inline]] static bool fast_into(const Params&, const char* p, std::size_t n, const char* end,
                                               Stored& slot) {
    return fast::parse_date32_into(p, n, end, slot);
  }
  static TypedCell cell(const Params&, Stored v) { return TypedCell::of_date32(v); }
  static Stored stored(const TypedCell& c) { return c.date; }
  static char* render_to(char* out, const TypedCell& c) { return render_date32_to(out, c.date); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params&);
};

// The raw count of the column's unit; the custom pattern is compiled once
// per column.
struct TimestampParams {
  TimeUnit unit = TimeUnit::Microsecond;
  std::optional<std::string> pattern;
  TimestampParser parser{TimeUnit::Microsecond, std::nullopt};

  static TimestampParams of(const FieldType& type) {
    return TimestampParams{type.unit, type.pattern, TimestampParser(type.unit, type.pattern)};
  }
};

template <>
struct KindTraits<FieldTag::Timestamp> : FixedKindTraits<KindTraits<FieldTag::Timestamp>, std::int64_t> {
  using Params = TimestampParams;
  static FieldType field_type(const Params& p) { return FieldType::timestamp(p.unit, p.pattern); }
  static std::optional<Stored> parse(const Params& p, std::string_view t) { return p.parser.parse(t); }
  // The column's parser; with no custom pattern, whole columns use
  // iso_fast_into instead.
  static bool fast_into(const Params& p, const char* s, std::size_t n, const char*, Stored& slot) {
    return p.parser.parse_into(std::string_view(s, n), slot);
  }
  // The common ISO shapes read inline with the unit fixed at compile time;
  // any other text goes to the column's parser.
  template <TimeUnit kUnit>
  [[gnu::always_inline]] static bool iso_fast_into(const Params& p, const char* s, std::size_t n, const char* end,
                                                   Stored& slot) {
    return fast::iso_timestamp_into(s, n, end, kUnit, slot) || p.parser.parse_into(std::string_view(s, n), slot);
  }
  static TypedCell cell(const Params& p, Stored v) { return TypedCell::of_timestamp(v, p.unit); }
  static Stored stored(const TypedCell& c) { return c.i64; }
  static char* render_to(char* out, const TypedCell& c) { return render_timestamp_to(out, c.i64, c.unit); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params& p);
};

struct DecimalParams {
  std::uint8_t scale = 0;
  static DecimalParams of(const FieldType& type) { return DecimalParams{type.scale}; }
};

// At most 38 digits (the column's precision): a wider value, even one that
// fits 128 bits, does not parse as the column's type.
template <>
struct KindTraits<FieldTag::Decimal128> : FixedKindTraits<KindTraits<FieldTag::Decimal128>, int128> {
  using Params = DecimalParams;
  static FieldType field_type(const Params& p) { return FieldType::decimal128(p.scale); }
  static std::optional<Stored> parse(const Params& p, std::string_view t) { return parse_decimal38(t, p.scale); }
  static bool fast_into(const Params& p, const char* s, std::size_t n, const char*, Stored& slot) {
    if (fast::parse_decimal128_into(s, n, p.scale, slot) && fits_decimal38(slot)) return true;
    slot = 0;
    return false;
  }
  static TypedCell cell(const Params& p, Stored v) { return TypedCell::of_decimal128(v, p.scale); }
  static Stored stored(const TypedCell& c) { return c.dec; }
  static char* render_to(char* out, const TypedCell& c) { return render_decimal128_to(out, c.dec, c.scale); }
  static bool castable(std::string_view t);
  static bool value_castable(const TypedCell& cell, const FieldType& target);
  static bool literal_into(std::string_view text, TypedCell& cell);
  static std::shared_ptr<arrow::DataType> arrow_type(const Params& p);
};

// The canonical text of a present cell that is not text (a text cell is its
// own text: read `cell.str`), written at `out`, which has room for
// kRenderCapacity bytes.
inline char* render_cell_to(char* out, const TypedCell& cell) {
  return dispatch_kind(cell.kind, [&]<FieldTag Tag>(KindTag<Tag>) { return KindTraits<Tag>::render_to(out, cell); });
}

}  // namespace vorpel
