#pragma once
// The CSV reader: bytes from a ByteSource, split at record starts, checked as
// UTF-8, tokenised and handed to the table builder, batch by batch. The engine
// mode only decides how many chunks are parsed at once and when a batch ends;
// every mode runs the same functions and gives the same rows in file order.

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/util/byte_size.h>

#include "core/engine.h"
#include "core/field_type.h"
#include "core/readers/byte_source.h"
#include "core/readers/csv_dialect.h"

namespace vorpel::readers {

// A failed read, with its place. `message` is the complete user-visible text.
struct ReadError {
  enum class Kind : std::uint8_t {
    Io,           // the source could not be read (os_error set when the system said why)
    Encoding,     // bytes not valid in the source's encoding, or an unknown encoding
    Utf8,         // invalid UTF-8 (line, byte_offset)
    Csv,          // the text is not CSV as the dialect says (line; found/expected for a field count)
    Value,        // a value that does not parse as its column's type (line, column, value, type)
    Schema,       // the caller's options do not fit the file (a type for a column it lacks, ...)
    Type,         // a type text that does not parse
    Merge,        // the builder refused a field (frozen schema)
    Memory,       // the memory budget cannot hold what this mode must keep
    Internal,     // the builder or Arrow failed
    Cancelled,    // the caller's between-blocks hook asked to stop
  };
  Kind kind = Kind::Internal;
  std::string message;
  std::string path;
  std::uint64_t line = 0;         // 1-based; 0 when there is no line
  std::uint64_t byte_offset = 0;  // Utf8, Encoding
  std::string column;             // Value
  std::string value;              // Value
  std::string type;               // Value: the column's type as the caller wrote it
  std::uint64_t found = 0, expected = 0;  // Csv field count
  int os_error = 0;               // Io
};

template <class T>
using ReadResult = std::expected<T, ReadError>;

// A cell whose value did not parse, kept when bad values are read as nulls.
struct RejectedCell {
  std::uint64_t line = 0;
  std::string column;
  std::string value;
  std::string type;
};

struct CsvReadOptions {
  CsvDialect dialect;
  std::string path;  // as named in messages ("<bytes>" for a buffer)
  // By the file's column names: the field type texts ("int64", "decimal128(2)",
  // "timestamp[s,format=%d/%m/%Y %H:%M]", ...; also "date32[format=...]": a
  // date read through that pattern).
  std::map<std::string, std::string, std::less<>> types;
  std::map<std::string, std::string, std::less<>> renames;
  std::set<std::string, std::less<>> excluded;
  std::set<std::string, std::less<>> dictionary;
  bool auto_dictionary = false;
  // The output's columns, fixed: in this order, a column the file lacks all
  // null, a column the schema lacks an error (Merge).
  std::optional<std::vector<std::string>> schema;
  // Columns without a type take the narrowest type every value of the sample parses as.
  bool infer = false;
  // A value that does not parse becomes a null (and a RejectedCell when
  // `keep_rejects`) instead of ending the read.
  bool bad_values_null = false;
  bool keep_rejects = false;

  EngineMode mode = EngineMode::Columnar;
  unsigned threads = 1;
  std::optional<std::uint64_t> memory_budget;
  std::optional<std::uint64_t> batch_rows;
  // Bytes read per block (tests use small blocks to put block ends anywhere).
  std::optional<std::uint64_t> block_bytes;
};

// Records inferred from the first block's records: at most this many.
inline constexpr std::uint64_t kInferenceSampleRows = 10000;

class CsvReader {
 public:
  static ReadResult<std::unique_ptr<CsvReader>> open(std::unique_ptr<ByteSource> source, CsvReadOptions options);
  ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  // The next batch; null after the last. The first call always gives a batch
  // (with no rows for a file without records), so the schema is known.
  ReadResult<std::shared_ptr<arrow::RecordBatch>> next();

  // Called on the calling thread between blocks with the rows made and the
  // input bytes consumed so far; returning false stops the read (Cancelled).
  std::function<bool(std::uint64_t rows, std::uint64_t bytes)> between_blocks;

  // Rejected cells found so far (bad_values_null with keep_rejects), in file
  // order; taken by the caller.
  std::vector<RejectedCell> take_rejects();

  std::uint64_t rows_read() const;
  // Input bytes consumed so far (compressed bytes for a compressed file).
  std::uint64_t bytes_read() const;
  const std::string& path() const;

 private:
  struct State;
  explicit CsvReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vorpel::readers
