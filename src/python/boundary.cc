#include "python/boundary.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorpel::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the _vorpel extension's own code fails (an internal fault).\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so handlers of Exception\n"
    "do not catch it.";

GilOnceCell& panic_cell() {
  static GilOnceCell cell;
  return cell;
}

// "…/src/python/module.cc" -> "src/python/module.cc": the path below the
// source root is what identifies the position.
std::string_view short_path(const char* file) {
  std::string_view path(file);
  const auto pos = path.rfind("/src/");
  return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

}  // namespace

void report_fault(std::string_view message, std::source_location where) noexcept {
  char name[32] = "<unnamed>";
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::strcpy(name, "<unnamed>");
  }
  const long tid = static_cast<long>(::syscall(SYS_gettid));
  const std::string_view file = short_path(where.file_name());
  if (message.empty()) message = kGenericFaultMessage;
  // One write, so concurrent reports do not interleave within a report.
  char head[512];
  const int n = std::snprintf(head, sizeof head, "thread '%s' (%ld) hit an internal fault at %.*s:%u:%u:\n",
                              name, tid, static_cast<int>(file.size()), file.data(),
                              static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
  try {
    std::string report(head, n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof head - 1) : 0);
    report.append(message);
    report.push_back('\n');
    std::fwrite(report.data(), 1, report.size(), stderr);
  } catch (...) {
    // Out of memory: write the parts separately.
    std::fputs(head, stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
  }
  std::fflush(stderr);
}

void internal_fault(std::string message, std::source_location where) {
  report_fault(message, where);
  throw InternalFault(std::move(message));
}

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void take_gil_back(PyThreadState* saved) noexcept {
  try {
    PyEval_RestoreThread(saved);
  } catch (abi::__forced_unwind&) {
    park_thread_forever();
  }
  stop_if_shutting_down();
}

// ---------------------------------------------------------------- shutdown

namespace {

// How long the shutdown hook waits for calls on other threads to end. A
// call stops at its next hand-over point once the interpreter is closing, so
// only a producer's callback that itself blocks can make it wait this long.
constexpr std::chrono::seconds kShutdownWait{10};

struct Flights {
  std::mutex mutex;
  std::condition_variable landed;
  int count = 0;                   // calls in flight, on all threads
  std::atomic<bool> closing{false};
  std::thread::id closer;          // the thread running the shutdown hook
};

thread_local int t_flights = 0;  // calls in flight on this thread

// Never destroyed: parked threads may outlive static destructors.
Flights* g_flights = nullptr;

// A child of fork has only the forking thread: it starts with that thread's
// calls alone in flight and a fresh mutex (another thread may have held the
// parent's at the fork).
void reset_flights_in_child() {
  g_flights = new Flights();
  g_flights->count = t_flights;
}

Flights& flights() {
  static Flights* const first = [] {
    g_flights = new Flights();
    pthread_atfork(nullptr, nullptr, &reset_flights_in_child);
    return g_flights;
  }();
  (void)first;
  return *g_flights;
}

PyObject* shutdown_hook(PyObject* /*self*/, PyObject* /*unused*/) {
  Flights& f = flights();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.closer = std::this_thread::get_id();
    f.closing.store(true);
  }
  const int own = t_flights;
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> lock(f.mutex);
    f.landed.wait_for(lock, kShutdownWait, [&f, own] { return f.count <= own; });
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef kShutdownHookDef{"_vorpel_shutdown", shutdown_hook, METH_NOARGS, nullptr};

// Registers the hook with atexit once per process. Registered on the first
// call rather than at import, so it runs before the hooks of modules the
// caller imported earlier (pyarrow's among them): atexit runs them last in,
// first out. A failure is not the call's: it is tried again next time.
void register_shutdown_hook() {
  static bool registered = false;  // read and written with the lock held
  if (registered) return;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref hook = Ref::steal(PyCFunction_New(&kShutdownHookDef, nullptr));
  Ref done;
  if (atexit && hook) done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!done) {
    PyErr_Clear();
    return;
  }
  registered = true;
}

}  // namespace

CallInFlight::CallInFlight() {
  register_shutdown_hook();
  Flights& f = flights();
  {
    // Counted under the mutex the hook sets `closing` under, so the hook
    // either waits for this call or the call sees it closing and stops.
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.closing.load(std::memory_order_relaxed) || f.closer == std::this_thread::get_id()) {
      ++f.count;
      ++t_flights;
      return;
    }
  }
  stop_if_shutting_down();
}

CallInFlight::~CallInFlight() {
  Flights& f = flights();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    --f.count;
    --t_flights;
  }
  f.landed.notify_all();
}

void stop_if_shutting_down() {
  Flights& f = flights();
  if (!f.closing.load(std::memory_order_relaxed)) [[likely]] return;
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.closing || f.closer == std::this_thread::get_id()) return;
    // This thread's calls never end: they no longer hold up the hook.
    f.count -= t_flights;
    t_flights = 0;
  }
  f.landed.notify_all();
  (void)PyEval_SaveThread();
  park_thread_forever();
}

[[noreturn]] void park_thread_forever() noexcept {
  for (;;) ::pause();
}

PyObject* panic_exception_type() {
  return panic_cell().get([]() -> PyObject* {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) internal_fault("failed to create PanicException: " + take_error_text());
    return type;
  });
}

void set_panic_exception(const std::string& message) noexcept {
  try {
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    const std::string_view text = message.empty() ? kGenericFaultMessage : std::string_view(message);
    // Invalid UTF-8 in a fault message is replaced rather than turned into a
    // second failure.
    Ref arg = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!arg) abort_at_boundary();
    PyErr_SetObject(type, arg.get());
  } catch (...) {
    abort_at_boundary();
  }
}

Ref type_name_of(PyObject* obj) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return Ref();
  }
  return name;
}

std::string utf8_of(PyObject* str) {
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    internal_fault("failed to encode a message as UTF-8");
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

std::string take_error_text() {
  Ref value = take_exception();
  if (!value) return "<no Python error set>";
  std::string text;
  Ref qualname =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    text = utf8_of(qualname.get());
  } else {
    PyErr_Clear();
    text = "<unknown exception type>";
  }
  Ref str = Ref::steal(PyObject_Str(value.get()));
  if (str) {
    text += ": ";
    text += utf8_of(str.get());
  } else {
    PyErr_Clear();
    text += ": <exception str() failed>";
  }
  return text;
}

namespace detail {

PyObject* raise_fault(const InternalFault& fault) noexcept {
  set_panic_exception(fault.message());
  return nullptr;
}

PyObject* raise_no_memory() noexcept {
  // An allocation failed: MemoryError, as the interpreter raises it, with
  // nothing printed. Any error set before the failure gives way to it.
  PyErr_Clear();
  PyErr_NoMemory();
  return nullptr;
}

PyObject* raise_foreign(const char* what, std::source_location where) noexcept {
  const std::string_view message = (what != nullptr && *what != '\0') ? std::string_view(what) : kGenericFaultMessage;
  report_fault(message, where);
  try {
    set_panic_exception(std::string(message));
  } catch (...) {
    abort_at_boundary();
  }
  return nullptr;
}

PyObject* checked_result(PyObject* result, std::source_location where) {
  if (result == nullptr && !PyErr_Occurred()) {
    internal_fault("a function failed without setting a Python error", where);
  }
  if (result != nullptr && PyErr_Occurred()) {
    Py_DECREF(result);
    internal_fault("a function returned a result with a Python error pending", where);
  }
  return result;
}

}  // namespace detail

// ---------------------------------------------------------------- GilOnceCell

bool GilOnceCell::begin_fill() {
  const std::thread::id self = std::this_thread::get_id();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const int state = state_.load(std::memory_order_relaxed);
      if (state == kFull) return false;
      if (state == kEmpty) {
        state_.store(kFilling, std::memory_order_relaxed);
        filler_ = self;
        return true;
      }
      if (filler_ == self) {
        // Waiting here would wait for ourselves forever.
        internal_fault("a once-only initialisation was re-entered by the thread running it");
      }
    }
    // Another thread is filling: wait without the interpreter lock, which the
    // filler may need.
    GilReleased unlocked;
    std::unique_lock<std::mutex> lock(mutex_);
    filled_.wait(lock, [this] { return state_.load(std::memory_order_relaxed) != kFilling; });
  }
}

bool GilOnceCell::finish_fill(PyObject* value) {
  if (value == nullptr) {
    abandon_fill();
    if (PyErr_Occurred()) return false;
    internal_fault("a once-only initialisation produced no object");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = value;
    state_.store(kFull, std::memory_order_release);
    filler_ = std::thread::id();
  }
  filled_.notify_all();
  return true;
}

void GilOnceCell::abandon_fill() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.store(kEmpty, std::memory_order_relaxed);
    filler_ = std::thread::id();
  }
  filled_.notify_all();
}

}  // namespace vorpel::py
