#pragma once
// Turning finished accumulators into Arrow fields and arrays.

#include <memory>
#include <string>

#include <arrow/api.h>

#include "core/columnar/accumulator.h"
#include "core/error.h"

namespace vorpel {

std::shared_ptr<arrow::DataType> arrow_type_for(const ColumnAccumulator& column);
std::shared_ptr<arrow::Field> field_for(const ColumnAccumulator& column, const std::string& name);
// The core error of a failed Arrow status. A failed allocation is not a
// value: it throws std::bad_alloc, which the call boundary raises as
// MemoryError, like every other allocation failure.
CoreError arrow_error(const arrow::Status& status);

// Consumes the accumulator: its buffers move into the array without copying
// (Boolean values are packed into bits). Failures are the `Arrow` variant.
Result<std::shared_ptr<arrow::Array>> array_for(ColumnAccumulator&& column);

}  // namespace vorpel
