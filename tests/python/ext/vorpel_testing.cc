// `_vorpel_testing`: a test-only extension built from the same boundary and
// error-conversion code as `_vorpel`. It reaches paths that no public
// function of `_vorpel` can trigger on demand: every CoreError variant,
// internal faults, foreign C++ exceptions and the once-only cell.

#include <array>
#include <stdexcept>
#include <string>

#include "core/error.h"
#include "python/boundary.h"
#include "python/error_conversion.h"
#include "python/py_ref.h"

namespace vorpel::py {
namespace {

// raise_core_error(kind, message="", used=0, limit=0)
PyObject* raise_core_error_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    int kind = 0;
    const char* message = "";
    unsigned long long used = 0, limit = 0;
    if (!PyArg_ParseTuple(args, "i|sKK", &kind, &message, &used, &limit)) return nullptr;
    CoreError error = CoreError::plan("");
    switch (kind) {
      case 0: error = CoreError::invalid_utf8(); break;
      case 1: error = CoreError::io(message); break;
      case 2: error = CoreError::plan(message); break;
      case 3: error = CoreError::memory_budget_exceeded(used, limit); break;
      case 4: error = CoreError::merge(message); break;
      case 5: error = CoreError::arrow(message); break;
      case 6: error = CoreError::parser(message); break;
      case 7: error = CoreError::lifetime(message); break;
      default:
        PyErr_SetString(PyExc_ValueError, "no such error kind");
        return nullptr;
    }
    raise_core_error(std::move(error));
    return nullptr;
  });
}

// raise_io_errno(errno)
PyObject* raise_io_errno_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    int number = 0;
    if (!PyArg_ParseTuple(args, "i", &number)) return nullptr;
    raise_core_error(CoreError::io_errno(number));
    return nullptr;
  });
}

// error_class(index) -> the cached class
PyObject* error_class_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    int index = 0;
    if (!PyArg_ParseTuple(args, "i", &index)) return nullptr;
    if (index < 0 || index >= static_cast<int>(kErrorClasses.size())) {
      PyErr_SetString(PyExc_IndexError, "no such class");
      return nullptr;
    }
    PyObject* cls = error_class(kErrorClasses[static_cast<std::size_t>(index)]);
    Py_INCREF(cls);
    return cls;
  });
}

// fault(message): an internal fault with that message
PyObject* fault_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* message = "";
    if (!PyArg_ParseTuple(args, "s", &message)) return nullptr;
    internal_fault(message);
  });
}

// fault_with_error_pending(message): a fault while a Python error is set
PyObject* fault_with_error_pending_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* message = "";
    if (!PyArg_ParseTuple(args, "s", &message)) return nullptr;
    PyErr_SetString(PyExc_KeyError, "pending");
    internal_fault(message);
  });
}

PyObject* throw_std_fn(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* message = "";
    if (!PyArg_ParseTuple(args, "s", &message)) return nullptr;
    throw std::runtime_error(message);
  });
}

PyObject* throw_other_fn(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw 42; });
}

PyObject* null_without_error_fn(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return nullptr; });
}

PyObject* result_with_error_fn(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    PyErr_SetString(PyExc_KeyError, "left behind");
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* abort_at_boundary_fn(PyObject*, PyObject*) { abort_at_boundary(); }

PyObject* panic_type_fn(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    PyObject* type = panic_exception_type();
    Py_INCREF(type);
    return type;
  });
}

// cell_get(index, fill): the object of once-only cell `index`, filled by
// calling `fill()` (a Python error from it is a fault, and the cell stays
// empty).
PyObject* cell_get_fn(PyObject*, PyObject* args) {
  static std::array<GilOnceCell, 8> cells;
  return guarded([&]() -> PyObject* {
    int index = 0;
    PyObject* fill = nullptr;
    if (!PyArg_ParseTuple(args, "iO", &index, &fill)) return nullptr;
    if (index < 0 || index >= static_cast<int>(cells.size())) {
      PyErr_SetString(PyExc_IndexError, "no such cell");
      return nullptr;
    }
    PyObject* value = cells[static_cast<std::size_t>(index)].get([fill]() -> PyObject* {
      PyObject* made = PyObject_CallNoArgs(fill);
      if (made == nullptr) internal_fault("fill failed: " + take_error_text());
      return made;
    });
    Py_INCREF(value);
    return value;
  });
}

PyMethodDef kMethods[] = {
    {"raise_core_error", raise_core_error_fn, METH_VARARGS, nullptr},
    {"raise_io_errno", raise_io_errno_fn, METH_VARARGS, nullptr},
    {"error_class", error_class_fn, METH_VARARGS, nullptr},
    {"fault", fault_fn, METH_VARARGS, nullptr},
    {"fault_with_error_pending", fault_with_error_pending_fn, METH_VARARGS, nullptr},
    {"throw_std", throw_std_fn, METH_VARARGS, nullptr},
    {"throw_other", throw_other_fn, METH_NOARGS, nullptr},
    {"null_without_error", null_without_error_fn, METH_NOARGS, nullptr},
    {"result_with_error", result_with_error_fn, METH_NOARGS, nullptr},
    {"abort_at_boundary", abort_at_boundary_fn, METH_NOARGS, nullptr},
    {"panic_type", panic_type_fn, METH_NOARGS, nullptr},
    {"cell_get", cell_get_fn, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_vorpel_testing", "Test-only hooks into the _vorpel boundary.",
                       -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vorpel::py

PyMODINIT_FUNC PyInit__vorpel_testing(void) { return PyModule_Create(&vorpel::py::kModule); }
