#include "core/engine.h"

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "core/white_space.h"

namespace vorpel {
namespace {

// ---------------------------------------------------------------- units

struct Unit {
  std::string_view name;  // upper-cased
  double multiplier;
};

constexpr std::array<Unit, 10> kUnits{{
    {"", 1.0},
    {"B", 1.0},
    {"KB", 1e3},
    {"MB", 1e6},
    {"GB", 1e9},
    {"TB", 1e12},
    {"KIB", 1024.0},
    {"MIB", 1048576.0},
    {"GIB", 1073741824.0},
    {"TIB", 1099511627776.0},
}};

// Full Unicode upper-casing with the root locale ("kıb" -> "KIB", "ß" -> "SS").
std::string to_upper(std::string_view text) {
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toUpper(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

// Correctly rounded conversion of the number text (digits with at most one
// '.'). A magnitude beyond the double range becomes infinity, one below the
// smallest subnormal becomes 0, as ordinary decimal-to-double conversion does.
std::optional<double> decimal_to_double(std::string_view number) {
  double value = 0.0;
  const char* first = number.data();
  const char* last = first + number.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::fixed);
  if (ec == std::errc::result_out_of_range && ptr == last) {
    // from_chars leaves the value untouched here. The text has no exponent,
    // so it overflowed exactly when a non-zero digit precedes the point.
    for (const char c : number) {
      if (c == '.') break;
      if (c != '0') return std::numeric_limits<double>::infinity();
    }
    return 0.0;
  }
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return value;
}

std::uint64_t saturating_to_u64(double value) {
  // 2^64 is exactly representable; anything at or above it saturates.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  if (!(value > 0.0)) return 0;
  return static_cast<std::uint64_t>(value);
}

std::unexpected<MemoryValueError> reject(MemoryValueErrorKind kind, std::string message) {
  return std::unexpected<MemoryValueError>(MemoryValueError{kind, std::move(message)});
}

}  // namespace

std::string render_plain_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in fixed notation: 0 -> "0", 1e21 -> "1000...0".
  char buf[400];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (ec != std::errc()) return "NaN";  // cannot happen: 400 bytes hold any double
  return std::string(buf, ptr);
}

std::expected<std::uint64_t, MemoryValueError> parse_memory_value(std::string_view text) {
  const std::string_view trimmed = trim_whitespace(text);
  if (trimmed.empty()) return reject(MemoryValueErrorKind::Empty, "empty memory string");

  std::size_t n = 0;
  bool seen_point = false;
  for (; n < trimmed.size(); ++n) {
    const char c = trimmed[n];
    if (c >= '0' && c <= '9') continue;
    if (c == '.' && !seen_point) {
      seen_point = true;
      continue;
    }
    break;
  }
  std::string_view number = trimmed.substr(0, n);
  std::string_view unit;
  if (number.empty()) {
    // No number: "MiB" means one mebibyte, and the whole text is the unit.
    number = "1";
    unit = trimmed;
  } else {
    unit = trim_whitespace(trimmed.substr(n));
  }

  const std::optional<double> value = decimal_to_double(number);
  if (!value) {
    return reject(MemoryValueErrorKind::InvalidNumber,
                  "invalid memory value: " + std::string(trimmed));
  }
  if (!(*value > 0.0) || !std::isfinite(*value)) {
    return reject(MemoryValueErrorKind::NotPositiveFinite,
                  "memory value must be a positive finite number, got " + render_plain_double(*value));
  }

  const std::string upper = to_upper(unit);
  for (const Unit& u : kUnits) {
    if (u.name == upper) return saturating_to_u64(*value * u.multiplier);
  }
  return reject(MemoryValueErrorKind::UnknownUnit, "unknown memory unit: " + std::string(unit));
}

std::string_view engine_mode_name(EngineMode mode) {
  switch (mode) {
    case EngineMode::Columnar:
      return "columnar";
    case EngineMode::Parallel:
      return "parallel";
    case EngineMode::Stream:
      return "stream";
    case EngineMode::ParallelStreaming:
      return "parallel_streaming";
  }
  return "stream";
}

EngineMode resolve_engine(const EngineOptions& options) {
  const bool multi = options.threads.has_value() && *options.threads > 1;
  // With a budget the table cannot be held whole: always stream.
  if (options.memory_budget.has_value()) {
    return multi ? EngineMode::ParallelStreaming : EngineMode::Stream;
  }
  if (multi) {
    return options.file_size >= kStreamSizeThreshold ? EngineMode::ParallelStreaming
                                                     : EngineMode::Parallel;
  }
  if (options.file_size >= kStreamSizeThreshold && options.schema.has_value()) {
    return EngineMode::Stream;
  }
  if (options.file_size < kParallelSizeThreshold) {
    return options.has_columnar ? EngineMode::Columnar : EngineMode::Stream;
  }
  return options.has_parallel ? EngineMode::Parallel : EngineMode::Stream;
}

}  // namespace vorpel
