#pragma once
// A small owner of one strong Python reference.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorpel::py {

// Whether this thread holds the interpreter lock. It does not while the
// interpreter ends the thread at shutdown (a forced unwind out of a Python
// call): destructors that would touch Python objects then leave them be.
// (A thread without the lock has no current thread state: PyEval_SaveThread
// clears it, and a failed attempt to take the lock back never sets it.)
inline bool holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr && holds_gil()) Py_DECREF(p_);
  }

  PyObject* get() const { return p_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vorpel::py
