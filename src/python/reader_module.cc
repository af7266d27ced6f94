// The readers' extension module, `vorpel._reader`. It lives in the same
// shared object as `_vorpel` (loaded a second time under its own name), so
// both modules share one copy of the core and its process-wide state.
//
// open_csv(options) takes the options the Python layer has checked and
// normalised (a dict) and returns a CsvStream: read_next_batch() gives
// pyarrow record batches until None; the interpreter lock is released while
// the reader works and taken back only between blocks, to report progress
// and to let a signal (Ctrl-C) stop the read.

#include <Python.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include "core/engine.h"
#include "core/field_type.h"
#include "core/profiler.h"
#include "core/readers/byte_source.h"
#include "core/readers/csv_reader.h"
#include "python/boundary.h"
#include "python/error_conversion.h"
#include "python/py_ref.h"

namespace vorpel::py {
namespace {

using readers::CsvReader;
using readers::ReadError;

// Progress is reported at most this often (and once at the end).
constexpr std::chrono::milliseconds kProgressInterval{200};

// ---------------------------------------------------------------- options

// options[key], borrowed; null when absent or None.
PyObject* item(PyObject* options, const char* key) {
  PyObject* v = PyDict_GetItemString(options, key);
  return v == Py_None ? nullptr : v;
}

std::string text_item(PyObject* options, const char* key, std::string fallback = {}) {
  PyObject* v = item(options, key);
  return v == nullptr ? fallback : utf8_of(v);
}

bool bool_item(PyObject* options, const char* key) {
  PyObject* v = item(options, key);
  return v != nullptr && PyObject_IsTrue(v) == 1;
}

std::optional<std::uint64_t> count_item(PyObject* options, const char* key) {
  PyObject* v = item(options, key);
  if (v == nullptr) return std::nullopt;
  return PyLong_AsUnsignedLongLong(v);
}

// The memory budget: bytes as an int, or a text of the memory grammar ("64MiB").
std::optional<std::uint64_t> memory_item(PyObject* options) {
  PyObject* v = item(options, "memory");
  if (v == nullptr) return std::nullopt;
  if (PyLong_Check(v) && !PyBool_Check(v)) return PyLong_AsUnsignedLongLong(v);
  if (!PyUnicode_Check(v)) {
    PyErr_SetString(PyExc_TypeError, std::string(kMemoryTypeMessage).c_str());
    return std::nullopt;
  }
  std::expected<std::uint64_t, MemoryValueError> bytes = parse_memory_value(utf8_of(v));
  if (!bytes) {
    PyErr_SetString(PyExc_ValueError, bytes.error().message.c_str());
    return std::nullopt;
  }
  return *bytes;
}

std::vector<std::string> texts_item(PyObject* options, const char* key) {
  std::vector<std::string> out;
  PyObject* v = item(options, key);
  if (v == nullptr) return out;
  const Py_ssize_t n = PyList_Size(v);
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(utf8_of(PyList_GET_ITEM(v, i)));
  return out;
}

// ---------------------------------------------------------------- errors

void set_attr(PyObject* obj, const char* name, PyObject* value) {
  Ref v = Ref::steal(value);
  if (!v || PyObject_SetAttrString(obj, name, v.get()) != 0) internal_fault("failed to set ." + std::string(name));
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Raises the read error as its Python exception, with its place as attributes.
void raise_read_error(const ReadError& e) {
  PyObject* cls = nullptr;
  switch (e.kind) {
    case ReadError::Kind::Io:
      if (e.os_error != 0) {
        Ref path = Ref::steal(text_object(e.path));
        Ref args = Ref::steal(Py_BuildValue("(isO)", e.os_error, std::strerror(e.os_error), path.get()));
        if (!args) return;
        Ref exc = Ref::steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return;
      }
      cls = PyExc_OSError;
      break;
    case ReadError::Kind::Encoding:
      cls = e.message.starts_with("unknown encoding") ? PyExc_LookupError : error_class(ErrorClass::ParseError);
      break;
    case ReadError::Kind::Utf8:
    case ReadError::Kind::Csv:
      cls = error_class(ErrorClass::ParseError);
      break;
    case ReadError::Kind::Value:
    case ReadError::Kind::Type:
      cls = error_class(ErrorClass::PlanError);
      break;
    case ReadError::Kind::Schema:
      cls = PyExc_ValueError;
      break;
    case ReadError::Kind::Merge:
      cls = error_class(ErrorClass::MergeError);
      break;
    case ReadError::Kind::Memory:
      cls = PyExc_MemoryError;
      break;
    case ReadError::Kind::Internal:
      cls = error_class(ErrorClass::ParserError);
      break;
    case ReadError::Kind::Cancelled:
      return;  // the Python exception that stopped the read is set
  }
  Ref message = Ref::steal(text_object(e.message));
  if (!message) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(cls, message.get()));
  if (!exc) return;
  PyObject* x = exc.get();
  const bool placed = e.kind == ReadError::Kind::Utf8 || e.kind == ReadError::Kind::Csv ||
                      e.kind == ReadError::Kind::Value ||
                      (e.kind == ReadError::Kind::Encoding && cls != PyExc_LookupError);
  if (placed) set_attr(x, "path", text_object(e.path));
  if (e.line != 0) set_attr(x, "line", PyLong_FromUnsignedLongLong(e.line));
  if (e.kind == ReadError::Kind::Utf8 || (e.kind == ReadError::Kind::Encoding && placed)) {
    set_attr(x, "offset", PyLong_FromUnsignedLongLong(e.byte_offset));
  }
  if (e.kind == ReadError::Kind::Csv && e.expected != 0) {
    set_attr(x, "expected", PyLong_FromUnsignedLongLong(e.expected));
    set_attr(x, "found", PyLong_FromUnsignedLongLong(e.found));
  }
  if (e.kind == ReadError::Kind::Value) {
    set_attr(x, "column", text_object(e.column));
    set_attr(x, "value", text_object(e.value));
    set_attr(x, "type", text_object(e.type));
  }
  PyErr_SetObject(cls, x);
}

// ---------------------------------------------------------------- batches to pyarrow

void release_schema_capsule(PyObject* capsule) {
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (s == nullptr) return;
  if (s->release != nullptr) s->release(s);
  delete s;
}

void release_array_capsule(PyObject* capsule) {
  auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (a == nullptr) return;
  if (a->release != nullptr) a->release(a);
  delete a;
}

// The batch as a pyarrow.RecordBatch, through the C data interface.
PyObject* to_pyarrow(const std::shared_ptr<arrow::RecordBatch>& batch) {
  StageTimer timer(Stage::Export);
  auto* schema = new ArrowSchema{};
  Ref schema_capsule = Ref::steal(PyCapsule_New(schema, "arrow_schema", release_schema_capsule));
  if (!schema_capsule) {
    delete schema;
    return nullptr;
  }
  auto* array = new ArrowArray{};
  Ref array_capsule = Ref::steal(PyCapsule_New(array, "arrow_array", release_array_capsule));
  if (!array_capsule) {
    delete array;
    return nullptr;
  }
  const arrow::Status status = arrow::ExportRecordBatch(*batch, array, schema);
  if (!status.ok()) internal_fault("failed to export a batch: " + status.ToString());
  Ref pyarrow = Ref::steal(PyImport_ImportModule("pyarrow"));
  if (!pyarrow) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatch"));
  if (!cls) return nullptr;
  return PyObject_CallMethod(cls.get(), "_import_from_c_capsule", "OO", schema_capsule.get(), array_capsule.get());
}

// ---------------------------------------------------------------- CsvStream

struct CsvStream {
  PyObject_HEAD
  std::unique_ptr<CsvReader> reader;
  PyObject* keep;      // the bytes a buffer source reads (or None)
  PyObject* progress;  // callable(rows, bytes) or None
  PyThreadState* saved;
  std::chrono::steady_clock::time_point last_progress;
  bool done;
};

// Calls the progress callback. An exception it raises (other than one that
// stops the program, like KeyboardInterrupt) becomes ParserError, caused by it.
bool report_progress(CsvStream* self, std::uint64_t rows, std::uint64_t bytes) {
  Ref r = Ref::steal(PyObject_CallFunction(self->progress, "KK", static_cast<unsigned long long>(rows),
                                           static_cast<unsigned long long>(bytes)));
  if (r) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Ref cause = take_exception();
  Ref type_name = type_name_of(cause.get());
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  const std::string message = self->reader->path() + ": the progress callback raised " +
                              (type_name ? utf8_of(type_name.get()) : std::string("an exception")) +
                              (text ? ": " + utf8_of(text.get()) : std::string());
  Ref error = Ref::steal(PyObject_CallFunction(error_class(ErrorClass::ParserError), "s", message.c_str()));
  if (!error) return false;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return false;
}

// Between blocks, on the calling thread: takes the interpreter lock back,
// reports progress when due, checks for signals. False stops the read with
// the Python error set.
bool between_blocks(CsvStream* self, std::uint64_t rows, std::uint64_t bytes, bool last) {
  take_gil_back(self->saved);
  bool go = PyErr_CheckSignals() == 0;
  const auto now = std::chrono::steady_clock::now();
  if (go && self->progress != Py_None && (last || now - self->last_progress >= kProgressInterval)) {
    self->last_progress = now;
    go = report_progress(self, rows, bytes);
  }
  self->saved = PyEval_SaveThread();
  return go;
}

PyObject* stream_next(PyObject* obj, PyObject* /*unused*/) {
  return guarded([obj]() -> PyObject* {
    auto* self = reinterpret_cast<CsvStream*>(obj);
    if (self->done || !self->reader) Py_RETURN_NONE;
    self->reader->between_blocks = [self](std::uint64_t rows, std::uint64_t bytes) {
      return between_blocks(self, rows, bytes, false);
    };
    CallInFlight call;
    self->saved = PyEval_SaveThread();
    readers::ReadResult<std::shared_ptr<arrow::RecordBatch>> batch = self->reader->next();
    take_gil_back(self->saved);
    self->reader->between_blocks = nullptr;
    if (!batch) {
      self->done = true;
      raise_read_error(batch.error());
      if (!PyErr_Occurred()) internal_fault("a read failed without an error");
      return nullptr;
    }
    if (*batch == nullptr) {
      self->done = true;
      if (self->progress != Py_None && !report_progress(self, self->reader->rows_read(), self->reader->bytes_read())) {
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    return to_pyarrow(*batch);
  });
}

PyObject* stream_take_rejects(PyObject* obj, PyObject* /*unused*/) {
  return guarded([obj]() -> PyObject* {
    auto* self = reinterpret_cast<CsvStream*>(obj);
    Ref list = Ref::steal(PyList_New(0));
    if (!list || !self->reader) return list.release();
    for (const readers::RejectedCell& cell : self->reader->take_rejects()) {
      Ref record = Ref::steal(Py_BuildValue("{s:N,s:K,s:N,s:N,s:N}", "path", text_object(self->reader->path()),
                                            "line", static_cast<unsigned long long>(cell.line), "column",
                                            text_object(cell.column), "value", text_object(cell.value), "type",
                                            text_object(cell.type)));
      if (!record || PyList_Append(list.get(), record.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* stream_close(PyObject* obj, PyObject* /*unused*/) {
  auto* self = reinterpret_cast<CsvStream*>(obj);
  self->reader.reset();
  self->done = true;
  Py_RETURN_NONE;
}

void stream_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<CsvStream*>(obj);
  self->reader.~unique_ptr();
  Py_XDECREF(self->keep);
  Py_XDECREF(self->progress);
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef kStreamMethods[] = {
    {"read_next_batch", stream_next, METH_NOARGS, "The next pyarrow.RecordBatch, or None after the last."},
    {"take_rejects", stream_take_rejects, METH_NOARGS, "The rejected cells found since the last call."},
    {"close", stream_close, METH_NOARGS, "Stops the read and releases the input."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_doc, const_cast<char*>("Batches of a CSV read, in file order.")},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {"vorpel._reader.CsvStream", sizeof(CsvStream), 0, Py_TPFLAGS_DEFAULT, kStreamSlots};

// The CsvStream type, made when the module is first imported.
PyTypeObject* stream_type = nullptr;

// open_csv(options: dict) -> CsvStream
PyObject* open_csv(PyObject* /*module*/, PyObject* options) {
  return guarded([options]() -> PyObject* {
    if (!PyDict_Check(options)) {
      PyErr_SetString(PyExc_TypeError, "open_csv takes a dict of options");
      return nullptr;
    }
    readers::CsvReadOptions o;
    readers::CsvDialect& d = o.dialect;
    d.delimiter = text_item(options, "delimiter", ",")[0];
    const std::string quote = text_item(options, "quote");
    d.quoting = !quote.empty();
    d.quote = d.quoting ? quote[0] : '"';
    d.header = bool_item(options, "header");
    d.column_names = texts_item(options, "column_names");
    d.skip_rows = count_item(options, "skip_rows").value_or(0);
    d.null_values = texts_item(options, "null_values");
    d.true_values = texts_item(options, "true_values");
    d.false_values = texts_item(options, "false_values");
    d.fill_missing_fields = bool_item(options, "fill_missing_fields");
    if (PyObject* types = item(options, "types")) {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(types, &pos, &key, &value)) o.types.emplace(utf8_of(key), utf8_of(value));
    }
    if (PyObject* renames = item(options, "rename")) {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(renames, &pos, &key, &value)) o.renames.emplace(utf8_of(key), utf8_of(value));
    }
    for (std::string& name : texts_item(options, "exclude")) o.excluded.insert(std::move(name));
    for (std::string& name : texts_item(options, "dictionary")) o.dictionary.insert(std::move(name));
    o.auto_dictionary = bool_item(options, "auto_dictionary");
    if (item(options, "schema") != nullptr) o.schema = texts_item(options, "schema");
    o.infer = bool_item(options, "infer");
    o.bad_values_null = bool_item(options, "bad_values_null");
    o.keep_rejects = bool_item(options, "keep_rejects");
    const std::string engine = text_item(options, "engine", "columnar");
    o.mode = engine == "stream"               ? EngineMode::Stream
             : engine == "parallel"           ? EngineMode::Parallel
             : engine == "parallel_streaming" ? EngineMode::ParallelStreaming
                                              : EngineMode::Columnar;
    o.threads = static_cast<unsigned>(count_item(options, "threads").value_or(1));
    o.memory_budget = memory_item(options);
    o.batch_rows = count_item(options, "batch_rows");
    o.block_bytes = count_item(options, "block_bytes");
    if (PyErr_Occurred()) return nullptr;

    readers::SourceOptions source_options;
    source_options.encoding = text_item(options, "encoding", "utf-8");
    PyObject* data = item(options, "data");
    readers::SourceResult<std::unique_ptr<readers::ByteSource>> source =
        data != nullptr ? readers::open_buffer(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)),
                                               "<bytes>", source_options)
                        : readers::open_file(text_item(options, "path"), source_options);
    o.path = data != nullptr ? "<bytes>" : text_item(options, "path");
    if (!source) {
      ReadError e;
      e.kind = source.error().kind == readers::SourceError::Kind::Io ? ReadError::Kind::Io : ReadError::Kind::Encoding;
      e.message = source.error().message;
      e.os_error = source.error().os_error;
      e.byte_offset = source.error().byte_offset;
      e.path = o.path;
      raise_read_error(e);
      return nullptr;
    }
    readers::ReadResult<std::unique_ptr<CsvReader>> reader = [&] {
      GilReleased released;
      return CsvReader::open(std::move(*source), std::move(o));
    }();
    if (!reader) {
      raise_read_error(reader.error());
      return nullptr;
    }
    auto* self = PyObject_New(CsvStream, stream_type);
    if (self == nullptr) return nullptr;
    new (&self->reader) std::unique_ptr<CsvReader>(std::move(*reader));
    self->keep = Py_NewRef(data != nullptr ? data : Py_None);
    PyObject* progress = item(options, "progress");
    self->progress = Py_NewRef(progress != nullptr ? progress : Py_None);
    self->saved = nullptr;
    self->last_progress = std::chrono::steady_clock::now();
    self->done = false;
    return reinterpret_cast<PyObject*>(self);
  });
}

PyMethodDef kReaderMethods[] = {
    {"open_csv", open_csv, METH_O, "open_csv(options) -> CsvStream"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kReaderModule = {
    PyModuleDef_HEAD_INIT, "vorpel._reader", "The readers of vorpel (compiled).", -1, kReaderMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vorpel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__reader() {
  using namespace vorpel::py;
  if (stream_type == nullptr) {
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kStreamSpec));
    if (stream_type == nullptr) return nullptr;
  }
  PyObject* module = PyModule_Create(&kReaderModule);
  if (module == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module, "CsvStream", reinterpret_cast<PyObject*>(stream_type)) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
