#pragma once
// CoreError -> Python exception.

#include "core/error.h"
#include "python/py_ref.h"

namespace vorpel::py {

// Consumes the error and sets the Python error indicator with the mapped
// class and message. May throw InternalFault (class lookup failed).
void raise_core_error(CoreError&& error);

}  // namespace vorpel::py
