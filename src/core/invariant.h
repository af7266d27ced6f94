#pragma once
// Internal faults: a broken invariant of the core's own data (never bad input).
// The core reports such a fault by throwing std::logic_error; it is the only
// exception the core throws, and the Python call boundary turns it into a
// PanicException.

namespace vorpel {

[[noreturn]] void core_invariant_failed(const char* what);

}  // namespace vorpel
