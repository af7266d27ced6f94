#pragma once
// CoreError -> Python exception, and the exception classes of the errors
// companion module "_vorpel.errors".

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "python/py_ref.h"

namespace vorpel::py {

// The Python module that defines the five named exception classes.
inline constexpr const char* kErrorsModule = "_vorpel.errors";

enum class ErrorClass : std::uint8_t { ParseError, XmlError, PlanError, MergeError, ParserError };

// In the order the module re-exports them.
inline constexpr std::array<ErrorClass, 5> kErrorClasses{ErrorClass::ParseError, ErrorClass::XmlError,
                                                         ErrorClass::PlanError, ErrorClass::MergeError,
                                                         ErrorClass::ParserError};

const char* error_class_name(ErrorClass cls);

// The class `cls` of "_vorpel.errors" (borrowed; looked up once per process
// and kept). Throws InternalFault "failed to import exception
// _vorpel.errors.<name>: <error>" when the module cannot be imported, lacks
// the attribute, or the attribute is not a class.
PyObject* error_class(ErrorClass cls);

// Consumes the error and sets the Python error indicator with the mapped
// class and message. May throw InternalFault (class lookup failed).
void raise_core_error(CoreError&& error);

}  // namespace vorpel::py
