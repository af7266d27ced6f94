#pragma once
// Sole ownership of one Arrow C interface structure.

#include <cstring>

#include <arrow/c/abi.h>

#include "python/boundary.h"
#include "python/py_ref.h"

namespace vorpel::py {

// Owns an ArrowSchema, ArrowArray or ArrowArrayStream: its release callback
// runs exactly once, when the owner lets go of it, unless a consumer took the
// structure over first (as the C interface has it, by marking it released).
// Move-only. A producer's callback may run Python code, so it runs with any
// pending Python error set aside; and not at all while the interpreter ends
// this thread (the structure is then left as it is).
template <class CStruct>
class COwned {
 public:
  COwned() { std::memset(&s_, 0, sizeof s_); }
  // Takes over `producer`'s structure, leaving `producer` marked released.
  static COwned take(CStruct& producer) {
    COwned owned;
    owned.s_ = producer;
    producer.release = nullptr;
    return owned;
  }
  ~COwned() { reset(); }
  COwned(COwned&& other) noexcept : s_(other.s_) { other.s_.release = nullptr; }
  COwned& operator=(COwned&& other) noexcept {
    if (this != &other) {
      reset();
      s_ = other.s_;
      other.s_.release = nullptr;
    }
    return *this;
  }
  COwned(const COwned&) = delete;
  COwned& operator=(const COwned&) = delete;

  CStruct* get() { return &s_; }
  CStruct* operator->() { return &s_; }
  const CStruct* operator->() const { return &s_; }
  bool is_open() const { return s_.release != nullptr; }

  // Hands the structure to the caller, who owns it from now on.
  CStruct give_up() {
    CStruct out = s_;
    s_.release = nullptr;
    return out;
  }

  // Releases the structure now, if it is still open.
  void reset() {
    if (s_.release == nullptr || !holds_gil()) return;
    stop_if_shutting_down();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    s_.release(&s_);
    s_.release = nullptr;  // whatever the producer did, never call it twice
    PyErr_Restore(type, value, traceback);
  }

 private:
  CStruct s_;
};

using OwnedSchema = COwned<ArrowSchema>;
using OwnedArray = COwned<ArrowArray>;
using OwnedStream = COwned<ArrowArrayStream>;

}  // namespace vorpel::py
