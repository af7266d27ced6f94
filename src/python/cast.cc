#include "python/cast.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <arrow/array/data.h>
#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include "core/error.h"
#include "core/field_type.h"
#include "core/table_builder/table_builder.h"
#include "python/arrow_exchange.h"
#include "python/arrow_type_name.h"
#include "python/boundary.h"
#include "python/error_conversion.h"

namespace vorpel::py {

namespace {

// Releases the interpreter lock for its lifetime; re-takes it on every exit,
// exceptions included.
class WithoutGil {
 public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(saved_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* saved_;
};

// The raw buffers of one batch's string column, read once with the lock held
// so that the row loop touches nothing but these pointers.
struct StringColumn {
  const void* offsets = nullptr;   // int32_t or int64_t, already shifted by the array offset
  const char* data = nullptr;
  std::int64_t data_size = 0;      // bytes addressable through `data`
  const std::uint8_t* validity = nullptr;  // null when no row is null
  std::int64_t validity_offset = 0;
  std::int64_t length = 0;
  std::shared_ptr<const arrow::ArrayData> array;  // the batch's column itself
};

bool is_large(const arrow::DataType& type) { return type.id() == arrow::Type::LARGE_STRING; }

StringColumn string_column(const std::shared_ptr<arrow::ArrayData>& column_data, bool large) {
  const arrow::ArrayData& data = *column_data;
  const arrow::DataType& type = storage_of(*data.type);
  const arrow::Type::type expected = large ? arrow::Type::LARGE_STRING : arrow::Type::STRING;
  if (type.id() != expected || data.buffers.size() < 3) {
    internal_fault("input batch column is not the string array its schema promises: " + data.type->ToString());
  }
  StringColumn column;
  if (data.length == 0) return column;
  column.array = column_data;
  if (data.buffers[1] == nullptr) internal_fault("validated string column without offsets");
  column.length = data.length;
  const std::uint8_t* offsets = data.buffers[1]->data();
  column.offsets = large ? static_cast<const void*>(reinterpret_cast<const std::int64_t*>(offsets) + data.offset)
                         : static_cast<const void*>(reinterpret_cast<const std::int32_t*>(offsets) + data.offset);
  if (data.buffers[2] != nullptr) {
    column.data = reinterpret_cast<const char*>(data.buffers[2]->data());
    column.data_size = data.buffers[2]->size();
  }
  if (data.buffers[0] != nullptr && data.GetNullCount() != 0) {
    column.validity = data.buffers[0]->data();
    column.validity_offset = data.offset;
  }
  return column;
}

TextColumnView text_view(const StringColumn& column, bool large) {
  TextColumnView view;
  view.offsets = column.offsets;
  view.large_offsets = large;
  view.data = column.data;
  view.data_size = static_cast<std::uint64_t>(column.data_size);
  view.validity = column.validity;
  view.validity_offset = static_cast<std::uint64_t>(column.validity_offset);
  view.length = static_cast<std::uint64_t>(column.length);
  view.array = column.array;
  return view;
}

// Drops the imported input on every way out of the call. The producer's
// release callbacks may run Python code, so a Python error raised by the call
// is set aside while they run.
class InputOwner {
 public:
  explicit InputOwner(std::optional<ImportedTable>& table) : table_(table) {}
  ~InputOwner() {
    if (!table_) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    table_.reset();
    PyErr_Restore(type, value, traceback);
  }
  InputOwner(const InputOwner&) = delete;
  InputOwner& operator=(const InputOwner&) = delete;

 private:
  std::optional<ImportedTable>& table_;
};

}  // namespace

PyObject* cast_strings(PyObject* table, std::string_view field_type) {
  // Parsed first, reported in its turn: a string result may share the
  // input's buffers, and then the input's offsets are checked later, in the
  // same pass as its texts.
  Result<FieldType> parsed = parse_field_type(field_type);
  const bool to_string = parsed && parsed->tag == FieldTag::String;
  std::optional<ImportedTable> imported =
      import_table(table, to_string ? StringOffsets::LeftToCaller : StringOffsets::CheckedOnImport);
  if (!imported) return nullptr;
  InputOwner input_owner(imported);

  const arrow::Schema& schema = *imported->schema;
  if (schema.num_fields() != 1) {
    // A fault in offsets left unchecked comes first, as if found on import.
    const std::optional<std::string> fault = unchecked_offsets_fault(*imported);
    PyErr_SetString(PyExc_ValueError, fault ? fault->c_str() : "_cast_strings expects a one-column Arrow table");
    return nullptr;
  }
  const arrow::DataType& input_type = *schema.field(0)->type();
  const arrow::DataType& storage = storage_of(input_type);
  if (storage.id() != arrow::Type::STRING && storage.id() != arrow::Type::LARGE_STRING) {
    const std::string message = "_cast_strings expects string or large_string input, got " + arrow_type_name(input_type);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
  }
  const bool large = is_large(storage);

  if (!parsed) {
    raise_core_error(std::move(parsed.error()));
    return nullptr;
  }

  std::vector<StringColumn> columns;
  columns.reserve(imported->batches.size());
  std::uint64_t total_rows = 0;
  for (const auto& batch : imported->batches) {
    columns.push_back(string_column(batch->column_data(0), large));
    total_rows += static_cast<std::uint64_t>(batch->num_rows());
  }

  auto options = std::make_shared<BuilderOptions>();
  options->declared_columns = {"value"};
  options->column_types.emplace("value", std::move(*parsed));
  options->strict_types = true;
  TableBuilder builder(std::move(options), std::nullopt, std::nullopt, total_rows);

  std::optional<std::string> offsets_fault;
  std::optional<Result<std::shared_ptr<arrow::RecordBatch>>> finished;
  {
    // No Python object is touched from here until the lock is taken back.
    WithoutGil unlocked;
    std::vector<TextColumnView> views;
    views.reserve(columns.size());
    for (const StringColumn& column : columns) views.push_back(text_view(column, large));
    if (imported->last_batch_unchecked) {
      // The import checked the other batches. When the last one holds every
      // row, it may become the result as it is: its offsets and texts are
      // checked in one pass. Else it is copied, and its texts checked then.
      const std::size_t last = columns.size() - 1;
      const bool alone = static_cast<std::uint64_t>(columns[last].length) == total_rows;
      offsets_fault = string_column_fault(*imported->batches[last]->column_data(0),
                                          alone ? &views[last].texts_valid_utf8 : nullptr);
    }
    if (!offsets_fault) {
      // Every offset is checked now: each batch goes in as one column.
      std::uint64_t total_text = 0;
      for (const TextColumnView& view : views) total_text += view.text_bytes();
      // The text is known up front: a string result reserves exactly its bytes.
      builder.reserve_value_texts(total_rows, total_text);
      for (const TextColumnView& view : views) builder.push_text_column(view);
      finished.emplace(builder.finish());
    }
  }

  if (offsets_fault) {
    PyErr_SetString(PyExc_ValueError, offsets_fault->c_str());
    return nullptr;
  }
  if (!*finished) {
    raise_core_error(std::move(finished->error()));
    return nullptr;
  }
  return export_column(**finished);
}

}  // namespace vorpel::py
