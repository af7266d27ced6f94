#pragma once
// The inside of a ColumnAccumulator, shared by the accumulator itself and by
// array assembly (which moves the buffers out). Not for other areas.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {

// Hashes owned strings and borrowed views alike, so a lookup by view needs no
// temporary string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  std::size_t operator()(const std::string& s) const noexcept { return (*this)(std::string_view(s)); }
};

using DictionaryIndex = std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>>;

// One record per variant would make every append dispatch twice; instead the
// accumulator keeps one member per buffer and uses only the ones of its kind
// (the others stay empty and own no memory).
struct ColumnAccumulator::Impl {
  using Kind = ColumnAccumulator::Kind;

  Kind kind = Kind::String;
  ValidityBitmap validity;

  std::vector<std::int64_t> i64_values;    // Int64, Timestamp
  std::vector<double> f64_values;          // Float64
  std::vector<std::uint8_t> bool_values;   // Boolean: one byte per row, 0 or 1
  std::vector<std::int32_t> date_values;   // Date32
  std::vector<int128> dec_values;          // Decimal128

  std::vector<std::uint8_t> str_bytes;     // String
  std::vector<std::int32_t> str_offsets;   // String: always starts with 0

  std::vector<std::int32_t> keys;          // Dictionary
  std::vector<std::uint8_t> dict_bytes;    // Dictionary: distinct texts end to end
  std::vector<std::int32_t> dict_offsets;  // Dictionary: always starts with 0
  DictionaryIndex index;                   // Dictionary: text -> key
  std::uint64_t index_text_heap = 0;       // heap bytes of the index's own text copies

  std::optional<std::string> pattern;      // Timestamp
  std::optional<TimestampParser> timestamp_parser;  // Timestamp, compiled once
  TimeUnit unit = TimeUnit::Microsecond;   // Timestamp
  std::uint8_t scale = 0;                  // Decimal128

  // Largest byte total (and distinct count) the 32-bit offsets may reach.
  std::uint64_t offset_limit = ColumnAccumulator::kMaxOffset;
  // Set when a value could not be stored without passing offset_limit.
  std::optional<std::string> overflow;
  // String: the row whose bytes first did not fit; removing it clears the
  // overflow, since every row before it is intact.
  std::uint64_t overflow_row = 0;

  std::uint64_t len() const { return validity.len(); }
};

}  // namespace vorpel
