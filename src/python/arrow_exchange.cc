#include "python/arrow_exchange.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <arrow/array.h>
#include <arrow/c/bridge.h>
#include <arrow/extension_type.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>
#include <arrow/util/bitmap_ops.h>

#include "core/columnar/array_assembly.h"
#include "core/columnar/utf8_check.h"
#include "core/error.h"
#include "python/boundary.h"
#include "python/c_owned.h"
#include "python/error_conversion.h"

namespace vorpel::py {

namespace {

// ---------------------------------------------------------------- caches

// Interned attribute names, each in its own once-only cell; strong
// references kept for the life of the process.
enum class Name : std::size_t { ArrowCStream, ExportToC, ImportFromC, Module, Qualname, kCount };

// Borrowed reference, or nullptr with the Python error set.
PyObject* name(Name which) {
  static constexpr const char* kTexts[] = {"__arrow_c_stream__", "_export_to_c", "_import_from_c", "__module__",
                                           "__qualname__"};
  static_assert(std::size(kTexts) == static_cast<std::size_t>(Name::kCount));
  static GilOnceCell cells[static_cast<std::size_t>(Name::kCount)];
  const auto i = static_cast<std::size_t>(which);
  return cells[i].get([i] { return PyUnicode_InternFromString(kTexts[i]); });
}

// A class of pyarrow's (borrowed; looked up once per process in its cell), or
// nullptr with the Python error set. A failed import is returned unchanged
// and tried again on the next use.
PyObject* pyarrow_class(GilOnceCell& cell, const char* class_name) {
  return cell.get([class_name]() -> PyObject* {
    Ref module = Ref::steal(PyImport_ImportModule("pyarrow"));
    if (!module) return nullptr;
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!cls) return nullptr;
    if (!PyType_Check(cls.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'type'", Py_TYPE(cls.get())->tp_name);
      return nullptr;
    }
    return cls.release();
  });
}

PyObject* reader_class() {
  static GilOnceCell cell;
  return pyarrow_class(cell, "RecordBatchReader");
}

PyObject* array_class() {
  static GilOnceCell cell;
  return pyarrow_class(cell, "Array");
}

// ---------------------------------------------------------------- Python helpers

// `__module__` and `__qualname__` joined by a dot; the module is left out when
// it is "builtins" or "__main__". New reference, or nullptr with error set.
PyObject* qualified_name(PyObject* type) {
  PyObject* qualname_attr = name(Name::Qualname);
  PyObject* module_attr = name(Name::Module);
  if (qualname_attr == nullptr || module_attr == nullptr) return nullptr;
  Ref qualname = Ref::steal(PyObject_GetAttr(type, qualname_attr));
  if (!qualname) return nullptr;
  Ref module = Ref::steal(PyObject_GetAttr(type, module_attr));
  if (!module) return nullptr;
  if (PyUnicode_Check(module.get()) && (PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0 ||
                                        PyUnicode_CompareWithASCIIString(module.get(), "__main__") == 0)) {
    return PyObject_Str(qualname.get());
  }
  return PyUnicode_FromFormat("%S.%S", module.get(), qualname.get());
}

// Raises `type(message)` with `cause` (consumed) as both its __cause__ and its
// __context__.
void raise_with_cause(PyObject* type, const char* message, Ref cause) {
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (!text) return;  // the failure to build the exception is what gets raised
  Ref exc = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  if (cause) {
    PyException_SetContext(exc.get(), Ref(cause).release());
    PyException_SetCause(exc.get(), cause.release());
  }
  // Restore rather than SetObject: SetObject would replace the context with
  // whatever exception the caller happens to be handling.
  Py_INCREF(type);
  PyErr_Restore(type, exc.release(), nullptr);
}

// ---------------------------------------------------------------- stream reading

// The library aborts the process when a producer's release callback leaves
// its structure marked as open. Structures handed to the library therefore
// carry a release callback of our own: it calls the producer's callback on
// the producer's structure (moved into a holder) and then marks both released,
// whatever the producer did.
template <class CStruct>
void release_through_holder(CStruct* proxy) {
  auto* held = static_cast<CStruct*>(proxy->private_data);
  if (held->release != nullptr) held->release(held);
  delete held;
  proxy->release = nullptr;
}

// Moves the producer's structure into a holder and returns an owner of a
// structure with the same contents whose release goes through the holder.
template <class CStruct>
COwned<CStruct> behind_holder(COwned<CStruct>& producer) {
  // Should the holder not be allocated, the producer's owner still releases it.
  auto* held = new CStruct(producer.give_up());
  CStruct proxy = *held;
  proxy.release = &release_through_holder<CStruct>;
  proxy.private_data = held;
  return COwned<CStruct>::take(proxy);
}

std::string c_data_error(std::string_view detail) {
  std::string message = "C Data interface error: ";
  message += detail;
  return message;
}

// The text of an import failure; a failed allocation is MemoryError instead
// (std::bad_alloc, raised by the call boundary).
std::string import_failure(const arrow::Status& status) {
  if (status.IsOutOfMemory()) throw std::bad_alloc();
  return status.ToString();
}

// Why reading a stream failed: the class to raise (ValueError, or the
// built-in class of an interrupt, exit or allocation failure that the
// producer's own Python code raised, passed on as itself) and its message.
struct ReadFailure {
  PyObject* type;  // borrowed built-in class
  std::string message;
};

// A Python exception that the producer's own Python code raised and that
// must pass on as itself rather than become a ValueError: an interrupt, an
// exit or an allocation failure. pyarrow's producers report a Python
// exception as "<status code>: <str(exc)>. Detail: Python exception:
// <traceback>", the traceback ending in "<class name>: <str(exc)>" (or the
// class name alone when str(exc) is empty).
std::optional<ReadFailure> passed_on_exception(std::string_view text) {
  static constexpr std::string_view kDetail = ". Detail: Python exception: ";
  const std::size_t detail = text.find(kDetail);
  if (detail == std::string_view::npos) return std::nullopt;
  const std::string_view status = text.substr(0, detail);
  const std::size_t colon = status.find(": ");
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view message = status.substr(colon + 2);
  const std::string_view traceback = text.substr(detail + kDetail.size());
  const std::pair<std::string_view, PyObject*> passed_on[] = {
      {"KeyboardInterrupt", PyExc_KeyboardInterrupt}, {"SystemExit", PyExc_SystemExit}, {"MemoryError", PyExc_MemoryError}};
  for (const auto& [class_name, type] : passed_on) {
    std::string last_line = "\n";
    last_line += class_name;
    if (!message.empty()) {
      last_line += ": ";
      last_line += message;
    }
    last_line += '\n';
    if (traceback.ends_with(last_line)) return ReadFailure{type, std::string(message)};
  }
  return std::nullopt;
}

// Raises a failed read as its class with its message. A SystemExit passed on
// from the producer gets back the exit code its text shows (an integer or
// None), so the process still exits with it.
void raise_read_failure(const ReadFailure& failure) {
  const std::string& message = failure.message;
  if (failure.type != PyExc_ValueError && message.empty()) {
    PyErr_SetNone(failure.type);
    return;
  }
  Ref arg;
  if (failure.type == PyExc_SystemExit) {
    if (message == "None") {
      arg = Ref::borrow(Py_None);
    } else {
      char* end = nullptr;
      arg = Ref::steal(PyLong_FromString(message.c_str(), &end, 10));
      if (!arg || end != message.c_str() + message.size()) {
        PyErr_Clear();
        arg = Ref();
      }
    }
  }
  if (!arg) arg = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!arg) return;  // the interpreter's MemoryError stands
  // Made here rather than by PyErr_SetObject, which would take None or a
  // tuple for the argument list instead of the one argument.
  Ref exc = Ref::steal(PyObject_CallOneArg(failure.type, arg.get()));
  if (exc) PyErr_SetObject(failure.type, exc.get());
}

// The library's importer follows the pointers of the C structure without
// checking them, so the pointers it will follow are checked here first: the
// buffer and child arrays must exist where counts say they do, and counts,
// lengths and offsets must not be negative. The walk follows the data type,
// so a structure that points back at itself cannot make it loop.
arrow::Status check_c_array(const ArrowArray& array, const arrow::DataType& type, int depth) {
  if (depth > 64) return arrow::Status::Invalid("ArrowArray struct is nested too deeply");
  if (array.length < 0 || array.offset < 0 || array.null_count < -1 || array.n_buffers < 0 ||
      array.n_children < 0) {
    return arrow::Status::Invalid("ArrowArray struct has a negative length, offset, null_count or count (length ",
                                  array.length, ", offset ", array.offset, ", null_count ", array.null_count,
                                  ", n_buffers ", array.n_buffers, ", n_children ", array.n_children, ")");
  }
  if (array.n_buffers > 0 && array.buffers == nullptr) {
    return arrow::Status::Invalid("ArrowArray struct has ", array.n_buffers, " buffers but a null buffer list");
  }
  if (array.n_children > 0 && array.children == nullptr) {
    return arrow::Status::Invalid("ArrowArray struct has ", array.n_children, " children but a null child list");
  }
  const arrow::DataType& storage = storage_of(type);
  const std::int64_t checked_children = std::min<std::int64_t>(array.n_children, storage.num_fields());
  for (std::int64_t i = 0; i < checked_children; ++i) {
    const ArrowArray* child = array.children[i];
    if (child == nullptr) return arrow::Status::Invalid("ArrowArray struct has a null pointer for child ", i);
    ARROW_RETURN_NOT_OK(check_c_array(*child, *storage.field(static_cast<int>(i))->type(), depth + 1));
  }
  if (storage.id() == arrow::Type::DICTIONARY) {
    if (array.dictionary == nullptr) return arrow::Status::Invalid("ArrowArray struct of a dictionary type has no dictionary");
    ARROW_RETURN_NOT_OK(check_c_array(*array.dictionary,
                                      *static_cast<const arrow::DictionaryType&>(storage).value_type(), depth + 1));
  }
  return arrow::Status::OK();
}

// Whether a known null count equals the zero bits of the validity bitmap, as
// the library's full validation demands.
bool null_count_holds(const arrow::ArrayData& data) {
  if (data.null_count == arrow::kUnknownNullCount) return true;
  const std::int64_t nulls =
      data.buffers[0] != nullptr
          ? data.length - arrow::internal::CountSetBits(data.buffers[0]->data(), data.offset, data.length)
          : 0;
  return nulls == data.null_count;
}

// Whether the array has rows, offsets and value bytes for the fast checks
// to read (else the library's validation looks at it).
bool binary_full_checks_apply(const arrow::ArrayData& data) {
  return data.length != 0 && data.buffers.size() >= 3 && data.buffers[1] != nullptr && data.buffers[2] != nullptr;
}

// The checks the library's full validation adds, for a binary array that has
// passed the basic validation: every offset within the value buffer and none
// decreasing, and a known null count equal to the zero bits of the validity
// bitmap. One pass without early exits; true only when all hold. On false
// the library's own full validation runs and reports the fault in its words,
// so this only saves time on sound input.
template <class Offset>
bool binary_full_checks_hold(const arrow::ArrayData& data) {
  if (!binary_full_checks_apply(data)) return false;
  const Offset* offsets = data.GetValues<Offset>(1);
  if (offsets[0] < 0 || static_cast<std::int64_t>(offsets[data.length]) > data.buffers[2]->size()) return false;
  // Accumulated in an integer of the offsets' own width, the comparison
  // vectorises (a bool accumulator keeps the loop scalar).
  Offset decreasing = 0;
  for (std::int64_t i = 0; i < data.length; ++i) decreasing |= static_cast<Offset>(offsets[i] > offsets[i + 1]);
  return decreasing == 0 && null_count_holds(data);
}

bool is_string_column(const arrow::ArrayData& data) {
  const arrow::Type::type id = storage_of(*data.type).id();
  return id == arrow::Type::STRING || id == arrow::Type::LARGE_STRING;
}

// The full check of a top-level string column (see string_column_fault).
arrow::Status check_string_column(const arrow::ArrayData& data, bool* texts_valid_utf8) {
  const bool large = storage_of(*data.type).id() == arrow::Type::LARGE_STRING;
  if (texts_valid_utf8 != nullptr) {
    *texts_valid_utf8 = false;
    // Offsets and texts in one pass; whatever it finds wrong is looked at
    // again below, so that a fault of the offsets is reported as such.
    if (!large && binary_full_checks_apply(data) &&
        utf8::check_text_column(data.buffers[2]->data(), static_cast<std::size_t>(data.buffers[2]->size()),
                                data.GetValues<std::int32_t>(1), static_cast<std::size_t>(data.length)) ==
            utf8::TextColumnCheck::Valid &&
        null_count_holds(data)) {
      *texts_valid_utf8 = true;
      return arrow::Status::OK();
    }
  }
  if (large ? binary_full_checks_hold<std::int64_t>(data) : binary_full_checks_hold<std::int32_t>(data)) {
    return arrow::Status::OK();
  }
  // On a binary view of the same buffers: the value bytes need not be valid
  // UTF-8 for every cast.
  auto view = std::make_shared<arrow::ArrayData>(data);
  view->type = large ? arrow::large_binary() : arrow::binary();
  view->child_data.clear();
  view->dictionary.reset();
  return arrow::MakeArray(view)->ValidateFull();
}

// Batches from this many rows on are walked with the interpreter lock
// released; for smaller ones taking the lock back would cost more than the walk.
constexpr std::int64_t kWalkWithoutGil = 16384;

// Every offset of the batch's string columns we may walk: in range and never
// decreasing. Needs the interpreter lock, and lets go of it meanwhile for
// large columns.
arrow::Status check_string_columns(const arrow::RecordBatch& batch) {
  for (int i = 0; i < batch.num_columns(); ++i) {
    const arrow::ArrayData& data = *batch.column_data(i);
    if (!is_string_column(data)) continue;
    arrow::Status status;
    if (data.length >= kWalkWithoutGil) {
      // The walk reads only the batch's own buffers: other Python threads
      // may run meanwhile (the producer's callbacks are not called here).
      GilReleased unlocked;
      status = check_string_column(data, nullptr);
    } else {
      status = check_string_column(data, nullptr);
    }
    ARROW_RETURN_NOT_OK(status);
  }
  return arrow::Status::OK();
}

// Imports one array handed over by get_next and checks its structure.
// `array` is consumed on success; on failure the caller releases whatever is
// left of it. `row_type` is the struct type of the schema's fields.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> import_batch(ArrowArray& array,
                                                                const std::shared_ptr<arrow::Schema>& schema,
                                                                const arrow::DataType& row_type) {
  ARROW_RETURN_NOT_OK(check_c_array(array, row_type, 0));
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> batch, arrow::ImportRecordBatch(&array, schema));
  // Buffer sizes, lengths, child counts and the first and last offsets.
  ARROW_RETURN_NOT_OK(batch->Validate());
  return batch;
}

}  // namespace

const arrow::DataType& storage_of(const arrow::DataType& type) {
  if (type.id() == arrow::Type::EXTENSION) return *static_cast<const arrow::ExtensionType&>(type).storage_type();
  return type;
}

std::optional<std::string> string_column_fault(const arrow::ArrayData& data, bool* texts_valid_utf8) {
  arrow::Status status = check_string_column(data, texts_valid_utf8);
  if (status.ok()) return std::nullopt;
  return status.ToString();
}

std::optional<std::string> unchecked_offsets_fault(const ImportedTable& table) {
  if (!table.last_batch_unchecked) return std::nullopt;
  arrow::Status status = check_string_columns(*table.batches.back());
  if (status.ok()) return std::nullopt;
  return status.ToString();
}

namespace {

// Reads an owned stream to its end and releases it exactly once, whatever
// happens. Every imported batch is structurally validated, and the offsets of
// its top-level string columns are checked in full, so a later walk over the
// values never leaves their buffers (those of the last batch may be left to
// the caller). Needs the interpreter lock: the producer's callbacks may run
// Python code. The offset walk of a large batch lets go of it meanwhile.
// Returns nullopt with the Python error set.
std::optional<ImportedTable> read_stream(OwnedStream& stream, StringOffsets string_offsets) {
  if (!stream.is_open()) {
    raise_read_failure({PyExc_ValueError, c_data_error("input stream is already released")});
    return std::nullopt;
  }

  // Open: the schema, which must describe a struct whose children are the fields.
  OwnedSchema c_schema;
  stop_if_shutting_down();
  const int schema_rc = stream->get_schema(stream.get(), c_schema.get());
  if (schema_rc != 0) {
    raise_read_failure(
        {PyExc_ValueError, c_data_error("Cannot get schema from input stream. Error code: " + std::to_string(schema_rc))});
    return std::nullopt;
  }
  if (!c_schema.is_open() || c_schema->format == nullptr || std::strcmp(c_schema->format, "+s") != 0) {
    c_schema.reset();
    raise_read_failure({PyExc_ValueError, c_data_error("Unable to interpret C data struct as a Schema")});
    return std::nullopt;
  }
  OwnedSchema held_schema = behind_holder(c_schema);
  arrow::Result<std::shared_ptr<arrow::Schema>> imported_schema = arrow::ImportSchema(held_schema.get());
  if (!imported_schema.ok()) {
    raise_read_failure({PyExc_ValueError, import_failure(imported_schema.status())});
    return std::nullopt;
  }

  ImportedTable table;
  table.schema = std::move(imported_schema).ValueUnsafe();

  // Read every batch before anything else is looked at. The string offsets
  // of a batch are checked as it arrives, which ends the reading at the
  // first fault; left to the caller, the check of a batch waits until the
  // next one arrives, so that only the last batch's is the caller's.
  const std::shared_ptr<arrow::DataType> row_type = arrow::struct_(table.schema->fields());
  std::optional<ReadFailure> failure;
  // An allocation that failed on the way: MemoryError once the stream is
  // released, like any other allocation failure of the call.
  bool out_of_memory = false;
  for (;;) {
    OwnedArray c_array;
    stop_if_shutting_down();
    const int rc = stream->get_next(stream.get(), c_array.get());
    if (rc != 0) {
      // A producer that filled the array despite failing handed it over anyway.
      c_array.reset();
      const char* text = stream->get_last_error != nullptr ? stream->get_last_error(stream.get()) : nullptr;
      if (text == nullptr) {
        failure = {PyExc_ValueError,
                   c_data_error("get_next failed with error code " + std::to_string(rc) + " and no error message")};
      } else if (std::optional<ReadFailure> passed_on = passed_on_exception(text)) {
        failure = std::move(passed_on);
      } else {
        failure = {PyExc_ValueError, c_data_error(text)};
      }
      break;
    }
    if (!c_array.is_open()) break;  // end of stream
    if (table.last_batch_unchecked) {
      table.last_batch_unchecked = false;
      arrow::Status status = check_string_columns(*table.batches.back());
      if (!status.ok()) {
        failure = {PyExc_ValueError, status.ToString()};
        break;
      }
    }
    OwnedArray held_array = behind_holder(c_array);
    arrow::Result<std::shared_ptr<arrow::RecordBatch>> batch = import_batch(*held_array.get(), table.schema, *row_type);
    arrow::Status status = batch.status();
    if (status.ok() && string_offsets == StringOffsets::CheckedOnImport) status = check_string_columns(**batch);
    if (!status.ok()) {
      out_of_memory = status.IsOutOfMemory();
      failure = {PyExc_ValueError, status.ToString()};
      break;
    }
    table.batches.push_back(std::move(batch).ValueUnsafe());
    table.last_batch_unchecked = string_offsets == StringOffsets::LeftToCaller;
  }
  // A failure after a batch left unchecked comes after that batch's fault,
  // as if the batch had been checked on arrival.
  if (failure) {
    if (std::optional<std::string> fault = unchecked_offsets_fault(table)) {
      failure = {PyExc_ValueError, std::move(*fault)};
    }
  }
  stream.reset();
  if (out_of_memory) throw std::bad_alloc();
  if (failure) {
    // The batches go first: their release callbacks may run Python code,
    // which must not find the error already set.
    table = ImportedTable();
    raise_read_failure(*failure);
    return std::nullopt;
  }
  return table;
}

}  // namespace

std::optional<ImportedTable> import_table(PyObject* obj, StringOffsets string_offsets) {
  PyObject* stream_attr = name(Name::ArrowCStream);
  if (stream_attr == nullptr) return std::nullopt;

  OwnedStream stream;
  stop_if_shutting_down();
  Ref method = Ref::steal(PyObject_GetAttr(obj, stream_attr));
  if (method) {
    // Capsule path.
    Ref capsule = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!capsule) return std::nullopt;
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
      Ref cause = Ref::steal(PyUnicode_FromFormat("'%s' object is not an instance of 'PyCapsule'",
                                                  Py_TYPE(capsule.get())->tp_name));
      if (!cause) return std::nullopt;
      Ref cause_exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, cause.get()));
      if (!cause_exc) return std::nullopt;
      raise_with_cause(PyExc_TypeError, "Expected __arrow_c_stream__ to return a capsule.", std::move(cause_exc));
      return std::nullopt;
    }
    auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (source == nullptr) {
      raise_with_cause(PyExc_TypeError, "Expected __arrow_c_stream__ to return a arrow_array_stream capsule.",
                       take_exception());
      return std::nullopt;
    }
    // Move the stream out: the capsule keeps a released structure, so its
    // destructor will not release what is now ours.
    stream = OwnedStream::take(*source);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    // Reader path.
    PyObject* cls = reader_class();
    if (cls == nullptr) return std::nullopt;
    const int is_reader = PyObject_IsInstance(obj, cls);
    if (is_reader < 0) return std::nullopt;
    if (is_reader == 0) {
      Ref expected = Ref::steal(qualified_name(cls));
      if (!expected) return std::nullopt;
      Ref got = Ref::steal(qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
      if (!got) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "Expected instance of %U, got %U", expected.get(), got.get());
      return std::nullopt;
    }
    Ref address = Ref::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(stream.get())));
    if (!address) return std::nullopt;
    PyObject* export_attr = name(Name::ExportToC);
    if (export_attr == nullptr) return std::nullopt;
    // Should the exporter fill the stream and then fail, the owner releases it.
    Ref done = Ref::steal(PyObject_CallMethodOneArg(obj, export_attr, address.get()));
    if (!done) return std::nullopt;
  }
  return read_stream(stream, string_offsets);
}

PyObject* export_column(const std::shared_ptr<arrow::RecordBatch>& batch) {
  stop_if_shutting_down();
  PyObject* import_attr = name(Name::ImportFromC);
  if (import_attr == nullptr) return nullptr;
  PyObject* cls = array_class();
  if (cls == nullptr) return nullptr;

  // The column goes over as one array. (Through a one-batch stream instead,
  // the pyarrow reader it needs lets go of the interpreter lock when it is
  // freed, which a daemon thread cannot survive at interpreter shutdown.)
  // pyarrow takes both structures over on success; what is left is released
  // by its owner.
  OwnedArray c_array;
  OwnedSchema c_schema;
  arrow::Status status = arrow::ExportArray(*batch->column(0), c_array.get(), c_schema.get());
  if (!status.ok()) {
    raise_core_error(arrow_error(status));
    return nullptr;
  }
  Ref array_address = Ref::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(c_array.get())));
  Ref schema_address = Ref::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(c_schema.get())));
  if (!array_address || !schema_address) return nullptr;
  return PyObject_CallMethodObjArgs(cls, import_attr, array_address.get(), schema_address.get(), nullptr);
}

}  // namespace vorpel::py
