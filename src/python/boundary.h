#pragma once
// The call boundary: internal faults, their report and PanicException.

#include <exception>
#include <source_location>
#include <string>

#include "python/py_ref.h"

namespace vorpel::py {

// A broken invariant inside the extension. Thrown only by `internal_fault`,
// caught by the entry points and raised to Python as PanicException.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Writes the fault report (thread, source position, message) to stderr and
// throws InternalFault.
[[noreturn]] void internal_fault(std::string message,
                                 std::source_location where = std::source_location::current());

// Sets PanicException(message) as the current Python error.
void set_panic_exception(const std::string& message);

// Runs `body` (returning PyObject* or nullptr-with-error) so that no C++
// exception crosses into the interpreter: an InternalFault or any other
// exception becomes PanicException.
template <class F>
PyObject* guarded(F&& body) noexcept;

}  // namespace vorpel::py
