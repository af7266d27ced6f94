#include "python/error_conversion.h"

#include <utility>

#include "python/boundary.h"

namespace vorpel::py {
namespace {

GilOnceCell& class_cell(ErrorClass cls) {
  static std::array<GilOnceCell, kErrorClasses.size()> cells;
  return cells[static_cast<std::size_t>(cls)];
}

[[noreturn]] void lookup_failed(ErrorClass cls, const std::string& why) {
  internal_fault(std::string("failed to import exception ") + kErrorsModule + "." + error_class_name(cls) +
                 ": " + why);
}

PyObject* import_error_class(ErrorClass cls) {
  const char* name = error_class_name(cls);
  Ref module = Ref::steal(PyImport_ImportModule(kErrorsModule));
  if (!module) lookup_failed(cls, take_error_text());
  Ref attr = Ref::steal(PyObject_GetAttrString(module.get(), name));
  if (!attr) lookup_failed(cls, take_error_text());
  if (!PyType_Check(attr.get())) {
    Ref type_name = type_name_of(attr.get());
    lookup_failed(cls, "TypeError: '" + (type_name ? utf8_of(type_name.get()) : "<failed to extract type name>") +
                           "' object is not an instance of 'type'");
  }
  return attr.release();
}

}  // namespace

const char* error_class_name(ErrorClass cls) {
  switch (cls) {
    case ErrorClass::ParseError:
      return "ParseError";
    case ErrorClass::XmlError:
      return "XmlError";
    case ErrorClass::PlanError:
      return "PlanError";
    case ErrorClass::MergeError:
      return "MergeError";
    case ErrorClass::ParserError:
      return "ParserError";
  }
  return "ParserError";
}

PyObject* error_class(ErrorClass cls) {
  return class_cell(cls).get([cls] { return import_error_class(cls); });
}

void raise_core_error(CoreError&& error) {
  // Taken over here: the payload is released when this function returns.
  const CoreError e = std::move(error);
  PyObject* cls = nullptr;
  std::string message;
  switch (e.kind()) {
    case ErrorKind::InvalidUtf8:
      cls = error_class(ErrorClass::ParseError);
      message = e.text();
      break;
    case ErrorKind::Io:
      cls = PyExc_OSError;
      message = e.message();
      break;
    case ErrorKind::Plan:
      cls = error_class(ErrorClass::PlanError);
      message = e.message();
      break;
    case ErrorKind::MemoryBudgetExceeded:
      cls = PyExc_MemoryError;
      message = e.text();
      break;
    case ErrorKind::Merge:
      cls = error_class(ErrorClass::MergeError);
      message = e.message();
      break;
    case ErrorKind::Arrow:
      cls = PyExc_Exception;
      message = e.text();
      break;
    case ErrorKind::Parser:
      cls = error_class(ErrorClass::ParserError);
      message = e.message();
      break;
    case ErrorKind::Lifetime:
      cls = error_class(ErrorClass::ParserError);
      message = e.text();
      break;
  }
  if (cls == nullptr) internal_fault("unknown core error kind " + std::to_string(static_cast<int>(e.kind())));
  // Message texts may quote input bytes; anything that is not UTF-8 is
  // replaced rather than turned into a second failure.
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) {
    PyErr_Clear();
    internal_fault("failed to create the text of a Python exception");
  }
  PyErr_SetObject(cls, text.get());
}

}  // namespace vorpel::py
