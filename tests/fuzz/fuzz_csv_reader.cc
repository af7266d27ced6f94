// The CSV reader read three ways must give one answer: the columnar engine on
// one thread with its default block, the parallel engine (2 to 4 threads, each
// block split at record starts by quote parity) and the stream engine (small
// blocks, and batches of a few rows) all fail with the same error kind and
// message, or all give batches that validate in full and concatenate to the
// same table, with the same rejected cells when bad values are read as nulls.
// Small blocks put block ends anywhere: inside quoted fields, between a CR and
// its LF, inside a UTF-8 character.
//
// The reader buffers the first 64 KiB to read the header, and its first block
// is all it holds then, so block sizes only act on the bytes after those. To
// bring a small input there, 64 KiB of empty lines (which are no records) may
// go after its first record. The parallel engine splits a block only when it
// holds threads * 4096 bytes or more, so the block sizes include some of that
// size and above, and a small input may be repeated to fill such blocks. A
// repeated input takes only those larger blocks, and batches 64 times longer,
// so that it makes hundreds of batches at most instead of tens of thousands.
//
// Input: three parameter bytes, then the CSV bytes.
//   byte 0: bits 0-1 delimiter (, ; TAB |), bit 2 quote (" or '), bit 3 header,
//           bit 4 fill missing fields, bit 5 bad values as nulls (rejects
//           kept), bit 6 repeat the CSV bytes past 2 * threads * 4096 bytes,
//           bit 7 the parallel read streams (ParallelStreaming, not Parallel).
//   byte 1: % 5 the type of column 0 (none, int64, float64, bool, date32);
//           / 5 % 8 the block size of the parallel and stream reads; bit 6
//           no quoting (the quote byte is text); bit 7 the dialect's own
//           words: "NA" is null too, yes/no are booleans.
//   byte 2: bits 0-6 as v: v % 3 + 2 the threads, v / 3 % 6 the stream
//           read's batch rows; bit 7 the empty lines after the first record.

#include <arrow/api.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/readers/byte_source.h"
#include "core/readers/csv_reader.h"
#include "core/readers/csv_tokenise.h"

namespace {

using namespace vorpel;
using namespace vorpel::readers;

// What one read gave: an error, or the table of its batches.
struct Outcome {
  std::optional<ReadError> error;
  std::shared_ptr<arrow::Table> table;
  std::size_t batches = 0;
  std::vector<RejectedCell> rejects;
};

std::string describe(const Outcome& o) {
  if (o.error) {
    return "error kind " + std::to_string(static_cast<int>(o.error->kind)) + ": " + o.error->message;
  }
  std::string text = o.table->ToString();
  if (text.size() > 4000) text = text.substr(0, 4000) + "...";
  std::string out = std::to_string(o.batches) + " batches, " + std::to_string(o.table->num_rows()) + " rows\n" + text;
  for (const RejectedCell& r : o.rejects) {
    out += "\n  rejected line " + std::to_string(r.line) + " column " + r.column + " value '" + r.value + "' as " +
           r.type;
  }
  return out;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\nfuzz_csv_reader: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

Outcome read(std::string_view csv, const CsvReadOptions& options, const char* label) {
  Outcome out;
  auto source = open_buffer(csv.data(), csv.size(), "<bytes>", SourceOptions{});
  if (!source) {
    out.error = ReadError{};
    out.error->kind = source.error().kind == SourceError::Kind::Io ? ReadError::Kind::Io : ReadError::Kind::Encoding;
    out.error->message = source.error().message;
    return out;
  }
  auto reader = CsvReader::open(std::move(*source), options);
  if (!reader) {
    out.error = std::move(reader.error());
    return out;
  }
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  for (;;) {
    auto batch = (*reader)->next();
    if (!batch) {
      out.error = std::move(batch.error());
      return out;
    }
    if (!*batch) break;
    if (const arrow::Status s = (*batch)->ValidateFull(); !s.ok()) {
      fail("a batch does not validate", std::string(label) + ": " + s.ToString() + "\n" + (*batch)->ToString());
    }
    batches.push_back(std::move(*batch));
  }
  if (batches.empty()) fail("a read without an error gave no batch", label);
  auto table = arrow::Table::FromRecordBatches(batches[0]->schema(), batches);
  if (!table.ok()) fail("the batches of one read do not make one table", std::string(label) + ": " + table.status().ToString());
  auto combined = (*table)->CombineChunks();
  if (!combined.ok()) fail("the batches do not combine", std::string(label) + ": " + combined.status().ToString());
  out.table = std::move(*combined);
  out.batches = batches.size();
  out.rejects = (*reader)->take_rejects();
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.error || b.error) {
    return a.error && b.error && a.error->kind == b.error->kind && a.error->message == b.error->message;
  }
  if (a.rejects.size() != b.rejects.size()) return false;
  for (std::size_t i = 0; i < a.rejects.size(); ++i) {
    const RejectedCell &x = a.rejects[i], &y = b.rejects[i];
    if (x.line != y.line || x.column != y.column || x.value != y.value || x.type != y.type) return false;
  }
  // The same text parses to the same NaN everywhere.
  return a.table->schema()->Equals(*b.table->schema()) &&
         a.table->Equals(*b.table, arrow::EqualOptions::Defaults().nans_equal(true));
}

// The fields of the first record, to name column 0 in the types.
struct FirstRecord {
  std::vector<std::string> fields;
  bool whole = false;
  void field(std::size_t, std::string_view text, bool doubled) {
    std::string& f = fields.emplace_back(text.size(), '\0');
    f.resize(doubled ? unescape_quotes(text, quote, f.data()) : text.copy(f.data(), text.size()));
  }
  bool end_record(std::size_t, const char*, CsvProblem&) {
    whole = true;
    return false;
  }
  void drop_record(std::size_t) { fields.clear(); }
  char quote = '"';
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t n) {
  if (n < 3) return 0;
  const std::uint8_t p0 = in[0], p1 = in[1], p2 = in[2];
  const unsigned threads = 2 + (p2 & 0x7F) % 3;
  std::string csv(reinterpret_cast<const char*>(in) + 3, n - 3);
  const bool repeated = (p0 & 0x40) != 0 && !csv.empty();
  if (repeated) {
    const std::size_t target = 2 * std::size_t{threads} * 4096 + 512;
    const std::string once = csv;
    while (csv.size() < target) csv += once;
  }

  CsvReadOptions base;
  base.path = "<bytes>";
  static constexpr char kDelimiters[] = {',', ';', '\t', '|'};
  base.dialect.delimiter = kDelimiters[p0 & 3];
  base.dialect.quote = (p0 & 4) != 0 ? '\'' : '"';
  base.dialect.quoting = (p1 & 0x40) == 0;
  base.dialect.header = (p0 & 8) != 0;
  base.dialect.fill_missing_fields = (p0 & 0x10) != 0;
  base.bad_values_null = (p0 & 0x20) != 0;
  base.keep_rejects = base.bad_values_null;
  if ((p1 & 0x80) != 0) {
    base.dialect.null_values = {"", "NA"};
    base.dialect.true_values = {"yes", "true"};
    base.dialect.false_values = {"no", "false"};
  }

  // The first record, after a byte-order mark (which the byte source drops).
  const std::size_t bom = std::string_view(csv).starts_with("\xEF\xBB\xBF") ? 3 : 0;
  FirstRecord first;
  first.quote = base.dialect.quote;
  const TokeniseResult t = tokenise(csv.data() + bom, csv.data() + csv.size(), true, base.dialect, first);
  // The header check and the builder's field lookup take time quadratic in
  // the columns: thousands of them would only slow the search down.
  if (first.fields.size() > 256) return 0;
  static constexpr const char* kTypes[] = {nullptr, "int64", "float64", "bool", "date32"};
  if (const char* type = kTypes[p1 % 5]; type && first.whole && !first.fields.empty()) {
    // Column 0 is named by the header, or "f0" without one.
    base.types.emplace(base.dialect.header ? first.fields[0] : "f0", type);
  }
  if ((p2 & 0x80) != 0 && first.whole) {
    csv.insert(static_cast<std::size_t>(t.stop - csv.data()), std::size_t{65536}, '\n');
  }

  const std::uint64_t split = std::uint64_t{threads} * 4096;
  const std::uint64_t kBlocks[] = {1, 7, 64, 4096, std::uint64_t{1} << 20, split, split + 1, split * 3 / 2};
  const std::uint64_t block = kBlocks[p1 / 5 % 8 | (repeated ? 4 : 0)];
  static constexpr std::uint64_t kBatchRows[] = {0, 1, 2, 7, 100, 4096};
  const std::uint64_t batch_rows = kBatchRows[(p2 & 0x7F) / 3 % 6] * (repeated ? 64 : 1);

  CsvReadOptions columnar = base;
  columnar.mode = EngineMode::Columnar;
  CsvReadOptions parallel = base;
  parallel.mode = (p0 & 0x80) != 0 ? EngineMode::ParallelStreaming : EngineMode::Parallel;
  parallel.threads = threads;
  parallel.block_bytes = block;
  CsvReadOptions stream = base;
  stream.mode = EngineMode::Stream;
  stream.block_bytes = block;
  if (batch_rows != 0) stream.batch_rows = batch_rows;

  const Outcome reference = read(csv, columnar, "columnar");
  const Outcome by_threads = read(csv, parallel, "parallel");
  const Outcome streamed = read(csv, stream, "stream");
  const std::string setup = "threads " + std::to_string(threads) + ", block_bytes " + std::to_string(block) +
                            ", batch_rows " + (batch_rows != 0 ? std::to_string(batch_rows) : "none") + "\n";
  if (!same(reference, by_threads)) {
    fail("the columnar and parallel reads differ",
         setup + "columnar: " + describe(reference) + "\nparallel: " + describe(by_threads));
  }
  if (!same(reference, streamed)) {
    fail("the columnar and stream reads differ",
         setup + "columnar: " + describe(reference) + "\nstream: " + describe(streamed));
  }
  return 0;
}
