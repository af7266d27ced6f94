// The `_vorpel` extension module: its definition and initialisation, the
// method records, and the entry points with their argument binding and
// conversion.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine.h"
#include "core/profiler.h"
#include "python/boundary.h"
#include "python/cast.h"
#include "python/error_conversion.h"
#include "python/py_ref.h"
#include "vorpel_build_sha.h"

namespace vorpel::py {
namespace {

// ---------------------------------------------------------------- raising

// Raises `type` with `text` as its message. Unlike PyErr_SetString this keeps
// embedded NUL characters and never fails on the text's encoding.
void raise_text(PyObject* type, std::string_view text) {
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) {
    PyErr_Clear();
    internal_fault("failed to create the text of a Python exception");
  }
  PyErr_SetObject(type, message.get());
}

// TypeError "'<type>' object is not an instance of '<expected>'"
// ("'None' is not an instance of '<expected>'" for None).
void raise_type_mismatch(PyObject* obj, PyObject* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected);
    return;
  }
  Ref name = type_name_of(obj);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", name.get(), expected);
  } else {
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%U'", expected);
  }
}

void raise_type_mismatch(PyObject* obj, const char* expected) {
  Ref expected_str = Ref::steal(PyUnicode_FromString(expected));
  if (!expected_str) return;  // the interpreter's MemoryError stands
  raise_type_mismatch(obj, expected_str.get());
}

// ---------------------------------------------------------------- notes

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  if (!exc) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  PyObject* tb = PyException_GetTraceback(exc.get());
  PyErr_Restore(type, exc.release(), tb);
#endif
}

// Adds "while processing '<param>'" to the pending exception through its
// add_note method. If that fails (no add_note before Python 3.11, or add_note
// itself raising), the secondary error is dropped and the original exception
// stays as it was.
void add_argument_note(const char* param) {
  Ref exc = take_exception();
  if (!exc) return;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
  if (note) {
    Ref done = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
    if (!done) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  restore_exception(std::move(exc));
}

// Runs one converter; a failure gets the note naming the parameter.
template <class Convert>
bool convert_argument(const char* param, Convert&& convert) {
  if (convert()) return true;
  add_argument_note(param);
  return false;
}

// ---------------------------------------------------------------- binding

struct Signature {
  const char* display;  // "resolve_engine()": how binding messages name the function
  std::span<const char* const> names;
  std::size_t required;  // the first `required` parameters have no default
};

std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Binds a fast call's arguments to `sig`'s parameters. On success `slots[i]`
// holds the borrowed argument for parameter i, or null when it was not given.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  const std::size_t count = sig.names.size();
  std::fill(slots, slots + count, nullptr);

  if (static_cast<std::size_t>(nargs) > count) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required == count) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display, count,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                   sig.display, sig.required, count, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::optional<std::size_t> index;
    if (PyUnicode_Check(key)) {
      Py_ssize_t len = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
      if (utf8 == nullptr) {
        PyErr_Clear();  // not encodable: it cannot equal any parameter name
      } else {
        const std::string_view name(utf8, static_cast<std::size_t>(len));
        for (std::size_t p = 0; p < count; ++p) {
          if (name == sig.names[p]) {
            index = p;
            break;
          }
        }
      }
    }
    if (!index) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display, key);
      return false;
    }
    if (slots[*index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, sig.names[*index]);
      return false;
    }
    slots[*index] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < sig.required; ++p) {
    if (slots[p] == nullptr) missing.push_back(sig.names[p]);
  }
  if (!missing.empty()) {
    const std::string list = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- converters

// Unsigned 64-bit integer: an int (bool included) directly, anything else
// through its __index__ method. Errors are the interpreter's own.
bool to_u64(PyObject* obj, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// A str (or subclass) as UTF-8. The view stays valid while `obj` lives.
bool to_utf8(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_type_mismatch(obj, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(len));
  return true;
}

bool str_equals(PyObject* obj, std::string_view text) {
  if (obj == nullptr || !PyUnicode_Check(obj)) return false;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(len)) == text;
}

// NumPy's boolean scalar type, recognised by name so NumPy need not be
// imported: module "numpy", type name "bool_" (NumPy 1) or "bool" (NumPy 2).
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!str_equals(module.get(), "numpy")) return false;
  Ref name = type_name_of(obj);
  return str_equals(name.get(), "bool_") || str_equals(name.get(), "bool");
}

// Exactly True or False, or a NumPy boolean scalar. Ints are not bools here.
bool to_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      Ref name = type_name_of(obj);
      if (name) {
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
      } else {
        PyErr_SetString(PyExc_TypeError,
                        "object of type '<failed to extract type name>' does not define a '__bool__' conversion");
      }
      return false;
    }
    const int truth = number->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_type_mismatch(obj, "bool");
  return false;
}

// collections.abc.Sequence: its name is the expected type in the message for
// a schema that is not a sequence.
PyObject* sequence_abc() {
  static GilOnceCell cell;
  return cell.get([]() -> PyObject* {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) internal_fault("failed to import collections.abc: " + take_error_text());
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!cls) internal_fault("failed to read collections.abc.Sequence: " + take_error_text());
    return cls.release();
  });
}

// A sequence (not a str) whose items are all str, copied in iteration order.
bool to_str_list(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    Ref name = Ref::steal(PyObject_GetAttrString(sequence_abc(), "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
      PyErr_Clear();
      internal_fault("collections.abc.Sequence has no readable __name__");
    }
    raise_type_mismatch(obj, name.get());
    return false;
  }
  // The length only sizes the reservation (capped: a __len__ may claim
  // anything); failing to get it is not an error.
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(size, 4096)));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    std::string_view text;
    if (!to_utf8(item.get(), text)) return false;
    out.emplace_back(text);
  }
  return !PyErr_Occurred();
}

// ---------------------------------------------------------------- resolve_engine

constexpr const char* kResolveEngineParams[] = {"file_size", "memory",       "threads",
                                                "schema",    "has_parallel", "has_columnar"};
constexpr Signature kResolveEngineSignature{"resolve_engine()", kResolveEngineParams, 1};

// The `memory` argument: an unsigned 64-bit int (bytes), or a str read by
// parse_memory_value. Its errors are ValueErrors without a note.
bool read_memory(PyObject* obj, std::uint64_t& out) {
  if (to_u64(obj, out)) return true;
  PyErr_Clear();
  if (!PyUnicode_Check(obj)) {
    raise_text(PyExc_ValueError, kMemoryTypeMessage);
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  auto bytes = parse_memory_value(std::string_view(utf8, static_cast<std::size_t>(len)));
  if (!bytes) {
    raise_text(PyExc_ValueError, bytes.error().message);
    return false;
  }
  out = *bytes;
  return true;
}

PyObject* resolve_engine_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[6];
  if (!bind_arguments(kResolveEngineSignature, args, nargs, kwnames, arg)) return nullptr;
  PyObject*& file_size = arg[0];
  PyObject*& memory = arg[1];
  PyObject*& threads = arg[2];
  PyObject*& schema = arg[3];
  PyObject*& has_parallel = arg[4];
  PyObject*& has_columnar = arg[5];

  EngineOptions options;
  if (!convert_argument("file_size", [&] { return to_u64(file_size, options.file_size); })) return nullptr;
  if (threads != nullptr && threads != Py_None) {
    std::uint64_t count = 0;
    if (!convert_argument("threads", [&] { return to_u64(threads, count); })) return nullptr;
    options.threads = count;
  }
  if (schema != nullptr && schema != Py_None) {
    std::vector<std::string> names;
    if (!convert_argument("schema", [&] { return to_str_list(schema, names); })) return nullptr;
    options.schema = std::move(names);
  }
  if (has_parallel != nullptr &&
      !convert_argument("has_parallel", [&] { return to_bool(has_parallel, options.has_parallel); })) {
    return nullptr;
  }
  if (has_columnar != nullptr &&
      !convert_argument("has_columnar", [&] { return to_bool(has_columnar, options.has_columnar); })) {
    return nullptr;
  }
  // Validated even where it cannot change the outcome; memory first.
  if (memory != nullptr && memory != Py_None) {
    std::uint64_t bytes = 0;
    if (!read_memory(memory, bytes)) return nullptr;
    options.memory_budget = bytes;
  }
  if (options.threads == std::uint64_t{0}) {
    raise_text(PyExc_ValueError, kThreadsMessage);
    return nullptr;
  }

  const std::string_view mode = engine_mode_name(resolve_engine(options));
  PyObject* result = PyUnicode_FromStringAndSize(mode.data(), static_cast<Py_ssize_t>(mode.size()));
  if (result == nullptr) internal_fault("failed to create the engine name: " + take_error_text());
  return result;
}

PyObject* resolve_engine_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] { return resolve_engine_call(args, nargs, kwnames); });
}

// ---------------------------------------------------------------- _cast_strings

constexpr const char* kCastStringsParams[] = {"table", "field_type"};
constexpr Signature kCastStringsSignature{"_cast_strings()", kCastStringsParams, 2};

PyObject* cast_strings_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind_arguments(kCastStringsSignature, args, nargs, kwnames, arg)) return nullptr;
    // The field type is checked before the table object is used at all.
    std::string_view field_type;
    if (!convert_argument("field_type", [&] { return to_utf8(arg[1], field_type); })) return nullptr;
    return cast_strings(arg[0], field_type);
  });
}

// ---------------------------------------------------------------- profiler

PyObject* stage_profile_entry(PyObject* /*module*/, PyObject* /*unused*/) {
  return guarded([]() -> PyObject* {
    const auto entries = stage_profile();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) internal_fault("failed to allocate the stage profile: " + take_error_text());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const StageProfileEntry& e = entries[i];
      Ref stage = Ref::steal(PyUnicode_FromStringAndSize(e.stage.data(), static_cast<Py_ssize_t>(e.stage.size())));
      Ref nanos = Ref::steal(PyLong_FromUnsignedLongLong(e.total_nanos));
      Ref calls = Ref::steal(PyLong_FromUnsignedLongLong(e.calls));
      Ref tuple = Ref::steal(PyTuple_New(3));
      if (!stage || !nanos || !calls || !tuple) {
        internal_fault("failed to allocate the stage profile: " + take_error_text());
      }
      PyTuple_SET_ITEM(tuple.get(), 0, stage.release());
      PyTuple_SET_ITEM(tuple.get(), 1, nanos.release());
      PyTuple_SET_ITEM(tuple.get(), 2, calls.release());
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
  });
}

PyObject* reset_stage_profile_entry(PyObject* /*module*/, PyObject* /*unused*/) {
  reset_stage_profile();
  Py_RETURN_NONE;
}

PyObject* disable_stage_profile_entry(PyObject* /*module*/, PyObject* /*unused*/) {
  disable_stage_profile();
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------- method records

template <class F>
PyCFunction as_cfunction(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr const char* kResolveEngineDoc =
    "resolve_engine(file_size, memory=None, threads=None, schema=None, has_parallel=True, has_columnar=True)\n"
    "--\n"
    "\n"
    "Resolve the best engine mode based on file characteristics and user options.\n"
    "\n"
    "This is the Python-callable version of `vorpel_core::resolve_engine`.\n"
    "Adapters can use this to implement `engine=\"auto\"` selection.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_size : int\n"
    "    Size of the input file in bytes.\n"
    "memory : str or int or None\n"
    "    Memory budget (e.g. \"64MiB\"). None = no budget (full table).\n"
    "threads : int or None\n"
    "    Number of threads for parallel processing. None = 1 (single-threaded).\n"
    "schema : list[str] or None\n"
    "    Explicit column names. Some = schema provided, None = discover.\n"
    "has_parallel : bool\n"
    "    Whether the adapter has parallel support.\n"
    "has_columnar : bool\n"
    "    Whether the adapter has columnar support.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    One of \"columnar\", \"parallel\", \"stream\", \"parallel_streaming\".";

// The static bit is kept in the flags as the records define it; the function
// objects are created directly (PyCMethod_New), which accepts it, rather than
// through PyModule_AddFunctions, which rejects it for module functions.
constexpr int kFastCallFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;  // 0xa2
constexpr int kNoArgsFlags = METH_NOARGS | METH_STATIC;                      // 0x24

PyMethodDef kResolveEngineDef{"resolve_engine", as_cfunction(&resolve_engine_entry), kFastCallFlags,
                              kResolveEngineDoc};
PyMethodDef kResetStageProfileDef{
    "reset_stage_profile", as_cfunction(&reset_stage_profile_entry), kNoArgsFlags,
    "reset_stage_profile()\n--\n\nStart stage timing for the next read (clears previous counters)."};
PyMethodDef kDisableStageProfileDef{"disable_stage_profile", as_cfunction(&disable_stage_profile_entry),
                                    kNoArgsFlags, "disable_stage_profile()\n--\n\nStop stage timing."};
PyMethodDef kStageProfileDef{
    "stage_profile", as_cfunction(&stage_profile_entry), kNoArgsFlags,
    "stage_profile()\n--\n\n`[(stage, total_nanos, calls), ...]` for the last timed read."};
PyMethodDef kCastStringsDef{"_cast_strings", as_cfunction(&cast_strings_entry), kFastCallFlags,
                            "_cast_strings(table, field_type)\n--\n\n"};

// In the order they are added to the module.
PyMethodDef* const kFunctions[] = {&kResolveEngineDef, &kResetStageProfileDef, &kDisableStageProfileDef,
                                   &kStageProfileDef, &kCastStringsDef};

// ---------------------------------------------------------------- initialisation

// Appends `name` to the module's __all__ (creating the list when there is
// none) and sets the attribute.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  return key && add_attribute(module, key.get(), value);
}

int exec_module(PyObject* module) {
  return guarded_status([module]() -> int {
    if (!PyModule_Check(module)) {
      raise_type_mismatch(module, "module");
      return -1;
    }
    for (const ErrorClass cls : kErrorClasses) {
      if (!add_attribute(module, error_class_name(cls), error_class(cls))) return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def : kFunctions) {
      Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
      if (!function) return -1;
      Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
      if (!name || !add_attribute(module, name.get(), function.get())) return -1;
    }
    static_assert(sizeof(VORPEL_BUILD_SHA) == 41, "the build id is 40 hexadecimal digits");
    Ref sha = Ref::steal(PyUnicode_FromStringAndSize(VORPEL_BUILD_SHA, 40));
    if (!sha || !add_attribute(module, "__build_sha__", sha.get())) return -1;
    return 0;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vorpel",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: the functions are added by exec_module
    kSlots,     // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

}  // namespace
}  // namespace vorpel::py

PyMODINIT_FUNC PyInit__vorpel(void) { return PyModuleDef_Init(&vorpel::py::kModuleDef); }
