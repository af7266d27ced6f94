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

bool is_large(const arrow::DataType& type) { return type.id() == arrow::Type::LARGE_STRING; }

// One batch's string column as a view, made with the lock held so that the
// row loop touches nothing but its pointers.
TextColumnView string_column(const std::shared_ptr<arrow::ArrayData>& column_data, bool large) {
  const arrow::ArrayData& data = *column_data;
  const arrow::Type::type expected = large ? arrow::Type::LARGE_STRING : arrow::Type::STRING;
  if (storage_of(*data.type).id() != expected || data.buffers.size() < 3) {
    internal_fault("input batch column is not the string array its schema promises: " + data.type->ToString());
  }
  return text_column_view(column_data, large);
}

// Drops the imported input on every way out of the call. The producer's
// release callbacks may run Python code, so a Python error raised by the call
// is set aside while they run.
class InputOwner {
 public:
  explicit InputOwner(std::optional<ImportedTable>& table) : table_(table) {}
  ~InputOwner() {
    if (!table_) return;
    if (!holds_gil()) {
      // The interpreter is ending this thread: the producer's callbacks
      // cannot run any more, so the input is left as it is.
      (void)new ImportedTable(std::move(*table_));
      return;
    }
    stop_if_shutting_down();
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
  const CallInFlight in_flight;
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

  std::vector<TextColumnView> views;
  views.reserve(imported->batches.size());
  std::uint64_t total_rows = 0;
  for (const auto& batch : imported->batches) {
    views.push_back(string_column(batch->column_data(0), large));
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
    GilReleased unlocked;
    if (imported->last_batch_unchecked) {
      // The import checked the other batches. When the last one holds every
      // row, it may become the result as it is: its offsets and texts are
      // checked in one pass. Else it is copied, and its texts checked then.
      const std::size_t last = views.size() - 1;
      const bool alone = views[last].length == total_rows;
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
