#include "core/invariant.h"

#include <stdexcept>

namespace vorpel {

void core_invariant_failed(const char* what) { throw std::logic_error(what); }

}  // namespace vorpel
