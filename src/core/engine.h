#pragma once
// Engine selection: the memory budget value grammar ("64MiB", "1.5 kb", ...)
// and the choice of a reading engine from the file size and caller options.
// Pure functions; no Python, no state.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpel {

// ---------------------------------------------------------------- memory values

enum class MemoryValueErrorKind : std::uint8_t {
  Empty,              // nothing left after trimming
  InvalidNumber,      // the number text does not convert (only ".")
  NotPositiveFinite,  // the number is zero or too large for a double
  UnknownUnit,        // the unit is not in the unit table
};

// A rejected memory text. `message` is the complete user-visible text; the
// Python layer raises it as ValueError unchanged.
struct MemoryValueError {
  MemoryValueErrorKind kind;
  std::string message;
};

// Message for a `memory` argument that is neither an unsigned 64-bit int
// nor a str (the check itself happens where Python objects are read).
inline constexpr std::string_view kMemoryTypeMessage =
    "memory must be a string (e.g. '64MiB') or int (bytes)";

// Reads a memory budget text: optional surrounding white space, an optional
// decimal number (digits with at most one '.'; "1" when absent), optional
// white space and a unit from B, KB, MB, GB, TB, KiB, MiB, GiB, TiB (any
// letter case, or none). Returns the byte count, truncated toward zero and
// saturated at 2^64 - 1.
std::expected<std::uint64_t, MemoryValueError> parse_memory_value(std::string_view text);

// Plain decimal rendering of a double without exponent and without a forced
// decimal point: 0 -> "0", 2.5 -> "2.5", infinity -> "inf".
std::string render_plain_double(double value);

// ---------------------------------------------------------------- engine choice

enum class EngineMode : std::uint8_t { Columnar, Parallel, Stream, ParallelStreaming };

// "columnar", "parallel", "stream", "parallel_streaming".
std::string_view engine_mode_name(EngineMode mode);

// Files below this size are read whole by the columnar engine.
inline constexpr std::uint64_t kParallelSizeThreshold = 8388608;  // 8 MiB
// Files of at least this size are streamed when their schema is known.
inline constexpr std::uint64_t kStreamSizeThreshold = 104857600;  // 100 MiB

inline constexpr std::string_view kThreadsMessage = "threads must be >= 1";

struct EngineOptions {
  std::uint64_t file_size = 0;
  std::optional<std::uint64_t> memory_budget;  // bytes; absent = no budget
  std::optional<std::uint64_t> threads;        // absent = single-threaded
  std::optional<std::vector<std::string>> schema;
  bool has_parallel = true;
  bool has_columnar = true;
};

// The engine for these options. Only the presence of the budget and of the
// schema matters, not their values. Callers reject threads == 0 beforehand
// (kThreadsMessage); here it counts as single-threaded.
EngineMode resolve_engine(const EngineOptions& options);

}  // namespace vorpel
