#pragma once
// The call boundary: internal faults, their report and PanicException, the
// guard that keeps every C++ exception out of the interpreter, and a once-only
// cell for process-wide Python objects.

#include <atomic>
#include <condition_variable>
#include <cxxabi.h>
#include <new>
#include <exception>
#include <mutex>
#include <source_location>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

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

// PanicException's argument when a fault carries no message of its own.
inline constexpr std::string_view kGenericFaultMessage = "the _vorpel extension failed internally";

// Writes the fault report (thread, source position, message) to stderr and
// throws InternalFault.
[[noreturn]] void internal_fault(std::string message,
                                 std::source_location where = std::source_location::current());

// Writes the fault report to stderr: one line naming the thread and source
// position, then the message.
void report_fault(std::string_view message, std::source_location where) noexcept;

// Sets PanicException(message) as the current Python error, replacing any
// pending one. If even that fails (the interpreter cannot allocate the class
// or the text), the process stops through `abort_at_boundary`.
void set_panic_exception(const std::string& message) noexcept;

// The PanicException class (borrowed; created on first use and kept for the
// life of the process). Throws InternalFault if it cannot be created.
PyObject* panic_exception_type();

// A fault met while a fault or an error is already being handled: print
// "uncaught panic at ffi boundary" and abort.
[[noreturn]] void abort_at_boundary() noexcept;

// The `__name__` of the object's type as a new str, or null (error cleared)
// when it cannot be read.
Ref type_name_of(PyObject* obj);

// The pending Python exception, normalised and with its traceback attached,
// as a new reference (an empty Ref when none is set). Clears the error
// indicator.
Ref take_exception();

// Takes the pending Python error and returns its display text,
// "<type qualname>: <str(value)>". Clears the error indicator.
std::string take_error_text();

// UTF-8 form of a str, with lone surrogates escaped; never fails short of
// memory exhaustion (then throws InternalFault).
std::string utf8_of(PyObject* str);

// Interpreter shutdown. Before Python 3.14, once finalisation has begun, a
// daemon thread that asks for the interpreter lock is ended with a forced
// unwind (pthread_exit). Through C++ frames (ours, or pyarrow's that a call
// reaches) that unwind aborts the process. So a call that may hand the lock
// around is a `CallInFlight`: an atexit hook, registered on first use, marks
// the interpreter as closing and waits, lock released, until no call runs on
// another thread; from then on any other thread that reaches one of the
// points below lets go of the lock and sleeps until the process exits.
class CallInFlight {
 public:
  CallInFlight();  // with the lock held; may not return (see below)
  ~CallInFlight();
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;
};

// With the lock held: on any thread but the one shutting the interpreter
// down, once it is closing, lets go of the lock and never returns. Called
// before a call hands the lock to Python code (a producer's callback, an
// import, an export) and whenever it takes the lock back.
void stop_if_shutting_down();

// Takes the interpreter lock back after PyEval_SaveThread, then stops the
// thread if the interpreter is closing (stop_if_shutting_down). Should
// finalisation have begun all the same (the shutdown hook gave up waiting),
// the forced unwind is caught here and the thread sleeps until the process
// exits, as if it had been ended. Never throws, so destructors may call it.
void take_gil_back(PyThreadState* saved) noexcept;

// Sleeps until the process exits; for a thread that the interpreter no
// longer lets run.
[[noreturn]] void park_thread_forever() noexcept;

// Releases the interpreter lock for its lifetime and takes it back on every
// way out (take_gil_back).
class GilReleased {
 public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { take_gil_back(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

namespace detail {
PyObject* raise_fault(const InternalFault& fault) noexcept;
PyObject* raise_no_memory() noexcept;
PyObject* raise_foreign(const char* what, std::source_location where) noexcept;
PyObject* checked_result(PyObject* result, std::source_location where);
}  // namespace detail

// Runs `body` (returning a new reference, or nullptr with the Python error
// set) so that no C++ exception crosses into the interpreter: an
// InternalFault or any other exception becomes PanicException. A body that
// returns null without an error, or a result with an error pending, is a
// fault too.
template <class F>
PyObject* guarded(F&& body, std::source_location where = std::source_location::current()) noexcept {
  try {
    return detail::checked_result(std::forward<F>(body)(), where);
  } catch (abi::__forced_unwind&) {
    // The interpreter is ending this thread (shutdown) from inside a Python
    // call the body made; the thread must not run on.
    park_thread_forever();
  } catch (const std::bad_alloc&) {
    return detail::raise_no_memory();
  } catch (const InternalFault& fault) {
    return detail::raise_fault(fault);
  } catch (const std::exception& e) {
    return detail::raise_foreign(e.what(), where);
  } catch (...) {
    return detail::raise_foreign(nullptr, where);
  }
}

// `guarded` for status-returning hooks (0 on success, -1 with the error set).
template <class F>
int guarded_status(F&& body, std::source_location where = std::source_location::current()) noexcept {
  PyObject* done = guarded(
      [&]() -> PyObject* {
        if (std::forward<F>(body)() != 0) return nullptr;
        Py_INCREF(Py_None);
        return Py_None;
      },
      where);
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

// A process-wide Python object filled at most once and never released.
// The filling thread holds the interpreter lock while it fills; a thread that
// finds the cell being filled waits with the lock released, so the filler can
// take it (an import, for example, may hand the lock around). A fill that
// fails leaves the cell empty, and the next use tries again.
class GilOnceCell {
 public:
  GilOnceCell() = default;
  GilOnceCell(const GilOnceCell&) = delete;
  GilOnceCell& operator=(const GilOnceCell&) = delete;

  // Returns the cached object (borrowed). `fill` runs with the lock held and
  // returns a new reference; or null with the Python error set, and then so
  // does `get` (the cell stays empty); or throws (normally InternalFault).
  template <class F>
  PyObject* get(F&& fill) {
    if (state_.load(std::memory_order_acquire) == kFull) return value_;
    if (!begin_fill()) return value_;
    PyObject* value = nullptr;
    try {
      value = std::forward<F>(fill)();
    } catch (...) {
      abandon_fill();
      throw;
    }
    return finish_fill(value) ? value : nullptr;
  }

  // The cached object, or nullptr while the cell is not filled.
  PyObject* peek() const {
    return state_.load(std::memory_order_acquire) == kFull ? value_ : nullptr;
  }

 private:
  enum State : int { kEmpty, kFilling, kFull };

  // True when the caller is now the filler; false when another thread filled
  // the cell meanwhile.
  bool begin_fill();
  // False, the cell left empty, when `value` is null with the error set.
  bool finish_fill(PyObject* value);
  void abandon_fill() noexcept;

  std::atomic<int> state_{kEmpty};
  PyObject* value_ = nullptr;
  std::thread::id filler_;
  std::mutex mutex_;
  std::condition_variable filled_;
};

}  // namespace vorpel::py
