#pragma once
// The core's one error type. Core operations return failures as values
// (`Result<T>`); only the Python call boundary turns them into exceptions.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace vorpel {

// Variant order is part of the contract (it selects the Python class).
enum class ErrorKind : std::uint8_t {
  InvalidUtf8 = 0,
  Io = 1,
  Plan = 2,
  MemoryBudgetExceeded = 3,
  Merge = 4,
  Arrow = 5,
  Parser = 6,
  Lifetime = 7,
};

class CoreError {
 public:
  static CoreError invalid_utf8() { return CoreError(ErrorKind::InvalidUtf8, {}); }
  // `text` is the platform's rendering of the I/O error.
  static CoreError io(std::string text) { return CoreError(ErrorKind::Io, std::move(text)); }
  // An I/O error from an operating-system error number: "{description} (os error {n})".
  static CoreError io_errno(int os_error);
  static CoreError plan(std::string msg) { return CoreError(ErrorKind::Plan, std::move(msg)); }
  static CoreError memory_budget_exceeded(std::uint64_t used, std::uint64_t limit) {
    CoreError e(ErrorKind::MemoryBudgetExceeded, {});
    e.used_ = used;
    e.limit_ = limit;
    return e;
  }
  static CoreError merge(std::string msg) { return CoreError(ErrorKind::Merge, std::move(msg)); }
  // `msg` is the Arrow library's display text of the failed status.
  static CoreError arrow(std::string msg) { return CoreError(ErrorKind::Arrow, std::move(msg)); }
  static CoreError parser(std::string msg) { return CoreError(ErrorKind::Parser, std::move(msg)); }
  static CoreError lifetime(std::string msg) { return CoreError(ErrorKind::Lifetime, std::move(msg)); }

  ErrorKind kind() const { return kind_; }
  // The payload: message text, I/O text or Arrow text; empty for InvalidUtf8
  // and MemoryBudgetExceeded.
  const std::string& message() const { return message_; }
  std::uint64_t used() const { return used_; }
  std::uint64_t limit() const { return limit_; }

  // The full display text, e.g. "plan error: x" or "Arrow error: Invalid: ...".
  std::string text() const;

 private:
  CoreError(ErrorKind kind, std::string msg) : kind_(kind), message_(std::move(msg)) {}

  ErrorKind kind_;
  std::string message_;
  std::uint64_t used_ = 0;
  std::uint64_t limit_ = 0;
};

template <class T>
using Result = std::expected<T, CoreError>;

inline std::unexpected<CoreError> fail(CoreError e) { return std::unexpected<CoreError>(std::move(e)); }

}  // namespace vorpel
