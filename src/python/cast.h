#pragma once
// `_cast_strings` after its arguments are bound and converted.

#include <string_view>

#include "python/py_ref.h"

namespace vorpel::py {

// Returns a new reference to the result Array, or nullptr with the Python
// error set. May throw InternalFault.
PyObject* cast_strings(PyObject* table, std::string_view field_type);

}  // namespace vorpel::py
