#pragma once
// Tables in and arrays out through the Arrow C stream interface.
//
// `import_table` takes the object passed as `table` (anything with an
// `__arrow_c_stream__` method, or a pyarrow.RecordBatchReader), reads its
// schema and every batch, releases the stream, and only then checks the
// batches. `export_column` hands a one-column record batch to pyarrow and
// returns the pyarrow Array of that column. Both run with the interpreter
// lock held; the producer's stream callbacks are called with it held.

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <arrow/c/abi.h>
#include <arrow/type_fwd.h>

#include "python/py_ref.h"

namespace vorpel::py {

struct ImportedTable {
  std::shared_ptr<arrow::Schema> schema;
  // In stream order, as they came: nothing is concatenated or re-chunked.
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
};

// Returns the table, or nullopt with the Python error set.
std::optional<ImportedTable> import_table(PyObject* obj);

// Returns a new reference to the pyarrow Array of the batch's only column, or
// nullptr with the Python error set.
PyObject* export_column(const std::shared_ptr<arrow::RecordBatch>& batch);

// Reads an owned stream to its end and releases it exactly once, whatever
// happens. Every imported batch is structurally validated, and the offsets of
// its top-level string columns are checked in full, so a later walk over the
// values never leaves their buffers. A failure is the text of the ValueError
// to raise. Needs the interpreter lock: the producer's callbacks may run
// Python code. The offset walk of a large batch lets go of it meanwhile.
std::expected<ImportedTable, std::string> read_stream(ArrowArrayStream& stream);

}  // namespace vorpel::py
