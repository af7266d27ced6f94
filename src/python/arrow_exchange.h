#pragma once
// Tables in and arrays out through the Arrow C stream interface.
//
// `import_table` takes the object passed as `table` (anything with an
// `__arrow_c_stream__` method, or a pyarrow.RecordBatchReader), reads its
// schema and every batch, checking each, and releases the stream.
// `export_column` hands a one-column record batch to pyarrow and
// returns the pyarrow Array of that column. Both run with the interpreter
// lock held; the producer's stream callbacks are called with it held.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <arrow/c/abi.h>
#include <arrow/type_fwd.h>

#include "python/py_ref.h"

namespace vorpel::py {

// Whether reading a stream checks the offsets of its top-level string
// columns in full (in range, never decreasing; a known null count matching
// the bitmap) as each batch arrives, or leaves those of the last batch to
// the caller, who can then check them together with its texts in one pass
// (string_column_fault). Left to the caller, a batch is checked when the
// next one arrives, so a fault still ends the reading there, one get_next
// call later.
enum class StringOffsets { CheckedOnImport, LeftToCaller };

struct ImportedTable {
  std::shared_ptr<arrow::Schema> schema;
  // In stream order, as they came: nothing is concatenated or re-chunked.
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  // Read with StringOffsets::LeftToCaller: nothing may read through the
  // offsets of the last batch's string columns before string_column_fault
  // has passed them, and an error found before that yields to the fault
  // unchecked_offsets_fault finds, as if the import had found it.
  bool last_batch_unchecked = false;
};

// The type itself, or the storage type of an extension type.
const arrow::DataType& storage_of(const arrow::DataType& type);

// Returns the table, or nullopt with the Python error set.
std::optional<ImportedTable> import_table(PyObject* obj,
                                          StringOffsets string_offsets = StringOffsets::CheckedOnImport);

// The full check of one top-level string column, as the import makes it:
// the text of the ValueError it raises for the column's fault, or nullopt.
// With `texts_valid_utf8`, a `string` column's texts are checked for UTF-8 in
// the same pass, and it tells whether they all are valid (false also when
// they were not looked at). Needs no interpreter lock.
std::optional<std::string> string_column_fault(const arrow::ArrayData& data, bool* texts_valid_utf8);

// The fault of the string columns of a last batch left unchecked; nullopt
// when they are sound or were checked on import. Needs the interpreter lock
// (and lets go of it meanwhile for large columns).
std::optional<std::string> unchecked_offsets_fault(const ImportedTable& table);

// Returns a new reference to the pyarrow Array of the batch's only column, or
// nullptr with the Python error set.
PyObject* export_column(const std::shared_ptr<arrow::RecordBatch>& batch);

}  // namespace vorpel::py
