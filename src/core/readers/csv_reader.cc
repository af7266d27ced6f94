#include "core/readers/csv_reader.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <thread>
#include <unordered_map>
#include <unordered_map>
#include <utility>

#include "core/columnar/utf8_check.h"
#include "core/profiler.h"
#include "core/readers/csv_tokenise.h"
#include "core/table_builder/table_builder.h"
#include "core/utf8.h"

namespace vorpel::readers {
namespace {

constexpr std::uint64_t kDefaultBlockBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kMinBlockBytes = 4096;

// ---------------------------------------------------------------- columns of fields

// One column of a chunk's fields as texts: offsets into its own bytes, and a
// validity bit per row (set: present).
class FieldColumn {
 public:
  bool boolean_words = false;  // map the dialect's true/false words

  std::uint64_t rows() const { return offsets_.size() - 1; }
  bool overflowed() const { return overflow_; }

  void reset(std::size_t bytes_hint) {
    offsets_.assign(1, 0);
    validity_.clear();
    size_ = 0;
    nulls_ = 0;
    overflow_ = false;
    if (capacity_ < bytes_hint) grow(bytes_hint);
  }

  // Room for `n` more bytes at tail().
  char* tail(std::size_t n) {
    if (size_ + n > capacity_) grow(size_ + n);
    return bytes_.get() + size_;
  }
  // Ends a present row whose `n` bytes were written at tail().
  [[gnu::always_inline]] void commit(std::size_t n) {
    start_row();
    size_ += n;
    if (size_ > static_cast<std::size_t>(INT32_MAX)) [[unlikely]] {
      overflow_ = true;
      size_ = static_cast<std::size_t>(offsets_.back());
    }
    offsets_.push_back(static_cast<std::int32_t>(size_));
  }
  // A text with at least kSlack readable bytes after its end (the input's).
  [[gnu::always_inline]] void push(std::string_view text) {
    char* out = tail(text.size() + kSlack);
    if (text.size() <= kSlack) {
      // Short fields, the common case: one fixed-size copy instead of a call.
      std::memcpy(out, text.data(), kSlack);
    } else {
      std::memcpy(out, text.data(), text.size());
    }
    commit(text.size());
  }
  // Any text.
  void push_copy(std::string_view text) {
    std::memcpy(tail(text.size()), text.data(), text.size());
    commit(text.size());
  }
  // Bytes an input buffer has readable past its last text.
  static constexpr std::size_t kSlack = 16;
  void push_null() {
    const std::uint64_t row = rows();
    start_row();
    validity_[row >> 6] &= ~(std::uint64_t{1} << (row & 63));
    ++nulls_;
    offsets_.push_back(static_cast<std::int32_t>(size_));
  }
  // Drops rows past `rows`.
  void truncate(std::uint64_t rows) {
    while (this->rows() > rows) {
      const std::uint64_t row = this->rows() - 1;
      if (((validity_[row >> 6] >> (row & 63)) & 1) == 0) --nulls_;
      validity_[row >> 6] |= std::uint64_t{1} << (row & 63);
      offsets_.pop_back();
      size_ = static_cast<std::size_t>(offsets_.back());
    }
    validity_.resize((rows + 63) / 64);
  }

  // Rows [first, first + count) as a view (no copy).
  TextColumnView view(std::uint64_t first, std::uint64_t count) const {
    TextColumnView v;
    v.offsets = offsets_.data() + first;
    v.data = bytes_.get();
    v.data_size = size_;
    v.validity = nulls_ == 0 ? nullptr : reinterpret_cast<const std::uint8_t*>(validity_.data());
    v.validity_offset = first;
    v.length = count;
    v.texts_valid_utf8 = true;
    return v;
  }
  std::string_view text(std::uint64_t row) const {
    return std::string_view(bytes_.get() + offsets_[row], static_cast<std::size_t>(offsets_[row + 1] - offsets_[row]));
  }
  bool is_valid(std::uint64_t row) const { return (validity_[row >> 6] >> (row & 63)) & 1; }

 private:
  void start_row() {
    if ((rows() & 63) == 0) validity_.push_back(~std::uint64_t{0});
  }
  void grow(std::size_t need) {
    const std::size_t capacity = std::max({need, capacity_ * 2, std::size_t{256}});
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (size_ != 0) std::memcpy(bigger.get(), bytes_.get(), size_);
    bytes_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::vector<std::int32_t> offsets_{0};
  std::vector<std::uint64_t> validity_;
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::uint64_t nulls_ = 0;
  bool overflow_ = false;
};

// The tokeniser's sink that fills one FieldColumn per column.
class ColumnSink {
 public:
  ColumnSink(std::vector<FieldColumn>& columns, const CsvDialect& dialect, std::uint64_t max_rows)
      : columns_(columns), dialect_(dialect), max_rows_(max_rows), null_only_empty_(dialect.null_only_empty()) {}

  [[gnu::always_inline]] void field(std::size_t index, std::string_view text, bool doubled) {
    if (index >= columns_.size()) [[unlikely]] return;  // counted; the record is refused at its end
    FieldColumn& c = columns_[index];
    if (doubled) {
      char* out = c.tail(text.size());
      const std::size_t n = unescape_quotes(text, dialect_.quote, out);
      const std::string_view unquoted(out, n);
      if (dialect_.is_null(unquoted)) return c.push_null();
      if (c.boolean_words) {
        if (const auto word = dialect_.boolean_word(unquoted)) return c.push_copy(*word);
      }
      return c.commit(n);
    }
    if (null_only_empty_ ? text.empty() : dialect_.is_null(text)) return c.push_null();
    if (c.boolean_words) {
      if (const auto word = dialect_.boolean_word(text)) return c.push_copy(*word);
    }
    c.push(text);
  }

  bool end_record(std::size_t fields, const char* record_start, CsvProblem& problem) {
    const std::size_t expected = columns_.size();
    if (fields != expected) {
      if (fields < expected && dialect_.fill_missing_fields) {
        for (std::size_t i = fields; i < expected; ++i) columns_[i].push_null();
      } else {
        problem = {CsvProblemKind::FieldCount, record_start, fields, expected};
        drop_record(fields);
        return false;
      }
    }
    ++rows_;
    return rows_ < max_rows_;
  }

  void drop_record(std::size_t fields) {
    for (std::size_t i = 0; i < std::min(fields, columns_.size()); ++i) columns_[i].truncate(rows_);
  }

  std::uint64_t rows() const { return rows_; }

 private:
  std::vector<FieldColumn>& columns_;
  const CsvDialect& dialect_;
  std::uint64_t max_rows_;
  bool null_only_empty_;
  std::uint64_t rows_ = 0;
};

// The fields of one record, unquoted.
class RecordSink {
 public:
  explicit RecordSink(char quote) : quote_(quote) {}
  void field(std::size_t, std::string_view text, bool doubled) {
    std::string& out = fields.emplace_back(text.size(), '\0');
    out.resize(doubled ? unescape_quotes(text, quote_, out.data()) : (std::memcpy(out.data(), text.data(), text.size()), text.size()));
  }
  bool end_record(std::size_t, const char* record_start, CsvProblem&) {
    start = record_start;
    return false;
  }
  void drop_record(std::size_t) { fields.clear(); }

  std::vector<std::string> fields;
  const char* start = nullptr;

 private:
  char quote_;
};

// Finds where given fields start: `targets` (row, field) in row-major order.
class LocateSink {
 public:
  explicit LocateSink(std::span<const CellFailure> targets) : starts(targets.size()), targets_(targets) {}
  void field(std::size_t index, std::string_view text, bool) {
    // A quoted field's text starts one byte after its quote.
    while (next_ < targets_.size() && targets_[next_].row == row_ && targets_[next_].field == index) {
      starts[next_++] = text.data();
    }
  }
  bool end_record(std::size_t, const char*, CsvProblem&) {
    ++row_;
    return next_ < targets_.size();
  }
  void drop_record(std::size_t) {}

  std::vector<const char*> starts;

 private:
  std::span<const CellFailure> targets_;
  std::size_t next_ = 0;
  std::uint64_t row_ = 0;
};

// The offset of the first byte of [p, p + n) that is not part of well-formed UTF-8.
std::size_t first_invalid_utf8(const char* p, std::size_t n) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(p);
  std::size_t i = 0;
  while (i < n) {
    const utf8::Decoded d = utf8::decode(b + i, n - i);
    if (!d.valid) return i;
    i += d.size;
  }
  return n;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

ReadError from_source(SourceError&& e, const std::string& path) {
  ReadError r;
  r.kind = e.kind == SourceError::Kind::Io ? ReadError::Kind::Io : ReadError::Kind::Encoding;
  r.message = std::move(e.message);
  r.path = path;
  r.os_error = e.os_error;
  r.byte_offset = e.byte_offset;
  return r;
}

ReadError internal(std::string message) {
  ReadError r;
  r.kind = ReadError::Kind::Internal;
  r.message = std::move(message);
  return r;
}

// ---------------------------------------------------------------- one chunk

// What parsing one chunk gave. Places count from the chunk's start: `line`
// is the line breaks before the place within the chunk, `byte_offset` the
// bytes before it; the driver adds what came before the chunk.
struct ChunkOutcome {
  const char* stop = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t lines = 0;  // line breaks before `stop`
  std::optional<ReadError> error;
  CsvProblem problem;
  std::vector<RejectedCell> rejects;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
};

// Where a chunk's rows start a new batch: after `limit` rows of a builder.
constexpr std::uint64_t kNoRowLimit = UINT64_MAX;

}  // namespace

// ---------------------------------------------------------------- reader state

struct CsvReader::State {
  std::unique_ptr<ByteSource> source;
  // The input's size when known (read once: workers consult it while the
  // calling thread reads on).
  std::optional<std::uint64_t> input_size;
  CsvReadOptions options;
  std::vector<std::string> names;       // the file's column names
  std::vector<std::string> type_texts;  // per column: its type as written (or inferred); "" when untyped
  std::vector<bool> inferred;           // per column: the type was inferred
  std::vector<bool> boolean_words;      // per column: boolean, with the dialect's own words
  std::shared_ptr<BuilderOptions> builder_options;
  // Parsed from options.types.
  std::map<std::string, FieldType, std::less<>> types;
  // Output names of the columns read as timestamps in seconds through a
  // pattern and handed out as date32.
  std::set<std::string, std::less<>> pattern_dates;

  // Input bytes: [begin, end) of `buffer` not parsed yet; `begin` is a record start.
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  // The parallel modes read the next block into `spare`, behind room for the
  // current block's unfinished record, while the workers parse.
  std::unique_ptr<char[]> spare;
  std::size_t spare_capacity = 0;
  static constexpr std::size_t kCarryRoom = std::size_t{1} << 20;
  std::size_t begin = 0, end = 0;
  std::size_t want = 0;  // bytes to buffer before the next block
  bool source_done = false;
  std::uint64_t consumed_bytes = 0;  // input bytes before `begin`
  std::uint64_t consumed_lines = 0;  // line breaks before `begin`

  std::unique_ptr<TableBuilder> builder;  // the batch being made by one thread
  // Each worker's fields, kept from block to block (worker 0 is the calling thread's).
  std::vector<std::vector<FieldColumn>> worker_fields;
  std::deque<std::shared_ptr<arrow::RecordBatch>> ready;  // batches made, not yet given out
  bool finished = false;
  bool gave_batch = false;
  std::uint64_t rows = 0;
  std::uint64_t kept_bytes = 0;  // bytes of the batches given out by a mode that collects them
  std::vector<RejectedCell> rejects;

  bool streams() const { return options.mode == EngineMode::Stream || options.mode == EngineMode::ParallelStreaming; }
  unsigned threads() const {
    const bool parallel = options.mode == EngineMode::Parallel || options.mode == EngineMode::ParallelStreaming;
    return parallel ? std::max(1u, options.threads) : 1u;
  }
  std::uint64_t block_bytes() const {
    if (options.block_bytes) return std::max<std::uint64_t>(*options.block_bytes, 1);
    std::uint64_t bytes = kDefaultBlockBytes;
    if (streams() && options.memory_budget) {
      bytes = std::clamp<std::uint64_t>(*options.memory_budget / 8, kMinBlockBytes, bytes);
    }
    return bytes * threads();
  }
  std::uint64_t batch_rows() const { return options.batch_rows.value_or(kNoRowLimit); }

  // A builder whose columns start with room for `rows` rows.
  std::unique_ptr<TableBuilder> new_builder(std::uint64_t rows = 0) const {
    std::optional<FrozenSchema> frozen;
    if (options.schema) frozen = FrozenSchema{*options.schema, /*exact=*/true};
    return std::make_unique<TableBuilder>(builder_options, std::nullopt, std::move(frozen), rows);
  }
  // Rows a new builder will take, from a chunk of `bytes` bytes holding
  // `rows` rows: a columnar read's one builder takes the whole input (its
  // size scaled by this chunk's bytes per row; room never touched costs no
  // memory), the others a chunk or a batch. Growth covers a wrong guess.
  std::uint64_t rows_for_builder(std::uint64_t rows, std::uint64_t bytes) const {
    std::uint64_t expected = rows;
    if (options.mode == EngineMode::Columnar && bytes != 0) {
      if (input_size && *input_size > bytes) expected = rows * (*input_size / bytes + 1);
    }
    return std::min(expected, batch_rows());
  }

  // Reads until at least `bytes` are buffered or the source ends.
  ReadResult<void> fill(std::size_t bytes) {
    if (source_done) return {};
    // A small input needs no block-sized buffer.
    if (input_size && *input_size < bytes && end == begin) {
      bytes = static_cast<std::size_t>(std::max<std::uint64_t>(*input_size + 1, 4096));
    }
    // Room past the data: the field copies may read that far.
    if (capacity < bytes + FieldColumn::kSlack) {
      capacity = bytes + FieldColumn::kSlack;
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
      if (end != begin) std::memcpy(bigger.get(), buffer.get() + begin, end - begin);
      buffer = std::move(bigger);
      end -= begin;
      begin = 0;
    } else if (begin != 0) {
      std::memmove(buffer.get(), buffer.get() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    while (!source_done && end < bytes) {
      SourceResult<std::size_t> n = source->read(buffer.get() + end, bytes - end);
      if (!n) return std::unexpected(from_source(std::move(n.error()), options.path));
      if (*n == 0) source_done = true;
      end += *n;
    }
    return {};
  }
  const char* data_begin() const { return buffer.get() + begin; }
  const char* data_end() const { return buffer.get() + end; }

  // Moves `begin` to `to`, past `lines` line breaks.
  void consume(const char* to, std::uint64_t lines) {
    consumed_lines += lines;
    consumed_bytes += static_cast<std::uint64_t>(to - data_begin());
    begin = static_cast<std::size_t>(to - buffer.get());
  }

  // The next record's fields (unquoted), consumed; none at the end of the
  // input. Reads more when the record is longer than what is buffered.
  ReadResult<std::optional<std::vector<std::string>>> next_record(bool take);
  ReadResult<void> read_header();
  ReadResult<void> settle_types();

  // Parses [chunk_begin, chunk_end) (validate, tokenise, feed): rows go to
  // `builder`, a new batch starting after `batch_rows` rows of one.
  ChunkOutcome run_chunk(const char* chunk_begin, const char* chunk_end, bool at_end,
                         std::unique_ptr<TableBuilder>& builder, std::vector<FieldColumn>& fields) const;
  // A chunk's error with its place made absolute; `lines` and `bytes` come before the chunk.
  ReadError placed(ChunkOutcome& outcome, std::uint64_t lines, std::uint64_t bytes) const;
  ReadResult<void> finish_builder(std::unique_ptr<TableBuilder>& b, std::vector<std::shared_ptr<arrow::RecordBatch>>& into) const;
  // The error of a collecting mode whose table outgrows the memory budget.
  ReadError over_budget() const;
  // A chunk's rows counted, its rejects (their lines made absolute) and
  // batches taken, or its error placed; `lines_before` and `bytes_before` come
  // before the chunk.
  ReadResult<void> take_outcome(ChunkOutcome& o, std::uint64_t lines_before, std::uint64_t bytes_before,
                                std::vector<std::shared_ptr<arrow::RecordBatch>>& made);
  ReadResult<void> step();
  ReadResult<void> take_batches(std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);
};

ReadResult<std::optional<std::vector<std::string>>> CsvReader::State::next_record(bool take) {
  std::size_t bytes = std::max<std::size_t>(end - begin, 65536);
  for (;;) {
    RecordSink sink(options.dialect.quote);
    const TokeniseResult t = tokenise(data_begin(), data_end(), source_done, options.dialect, sink);
    if (t.problem.kind != CsvProblemKind::None) {
      ChunkOutcome o;
      o.problem = t.problem;
      o.error = ReadError{};
      o.error->kind = ReadError::Kind::Csv;
      o.error->line = count_line_breaks(data_begin(), t.problem.where);
      return std::unexpected(placed(o, consumed_lines, consumed_bytes));
    }
    if (t.records == 1) {
      if (!utf8::is_valid_buffer(reinterpret_cast<const std::uint8_t*>(data_begin()),
                                 static_cast<std::size_t>(t.stop - data_begin()))) {
        ChunkOutcome o;
        o.error = ReadError{};
        o.error->kind = ReadError::Kind::Utf8;
        const std::size_t at = first_invalid_utf8(data_begin(), static_cast<std::size_t>(t.stop - data_begin()));
        o.error->line = count_line_breaks(data_begin(), data_begin() + at);
        o.error->byte_offset = at;
        return std::unexpected(placed(o, consumed_lines, consumed_bytes));
      }
      if (take) consume(t.stop, count_line_breaks(data_begin(), t.stop));
      return std::move(sink.fields);
    }
    if (source_done) {
      if (take) consume(t.stop, count_line_breaks(data_begin(), t.stop));  // blank lines only
      return std::nullopt;
    }
    bytes *= 2;
    if (auto r = fill(bytes); !r) return std::unexpected(r.error());
  }
}

ReadResult<void> CsvReader::State::read_header() {
  if (auto r = fill(65536); !r) return r;
  consumed_bytes = source->dropped_prefix();
  const CsvDialect& d = options.dialect;
  for (std::uint64_t i = 0; i < d.skip_rows; ++i) {
    auto record = next_record(true);
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
  }
  auto first = next_record(d.header);
  if (!first) return std::unexpected(first.error());
  if (!d.column_names.empty()) {
    names = d.column_names;
  } else if (d.header) {
    if (*first) names = std::move(**first);
  } else if (*first) {
    for (std::size_t i = 0; i < (*first)->size(); ++i) names.push_back("f" + std::to_string(i));
  }
  ReadError e;
  e.kind = ReadError::Kind::Schema;
  e.path = options.path;
  std::unordered_map<std::string_view, std::size_t> seen;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto [at, fresh] = seen.emplace(names[i], i);
    if (fresh) continue;
    e.message = options.path + ": two columns are named " + quoted(names[i]) + " (columns " +
                std::to_string(at->second + 1) + " and " + std::to_string(i + 1) +
                "); pass column_names= to name the columns";
    return std::unexpected(std::move(e));
  }
  auto check = [&](std::string_view option, const auto& keys) -> bool {
    for (const auto& key : keys) {
      const std::string& name = [&]() -> const std::string& {
        if constexpr (requires { key.first; }) return key.first; else return key;
      }();
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      std::string list;
      for (const std::string& n : names) list += (list.empty() ? "" : ", ") + quoted(n);
      e.message = std::string(option) + " names the column " + quoted(name) + ", which " + options.path +
                  " does not have; its columns are " + (list.empty() ? "none" : list);
      return false;
    }
    return true;
  };
  if (!check("types", types) || !check("rename", options.renames) || !check("exclude", options.excluded) ||
      !check("dictionary", options.dictionary)) {
    return std::unexpected(std::move(e));
  }
  return {};
}

ReadResult<void> CsvReader::State::settle_types() {
  const CsvDialect& d = options.dialect;
  type_texts.assign(names.size(), "");
  inferred.assign(names.size(), false);
  std::vector<std::optional<FieldType>> types(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (auto it = this->types.find(names[i]); it != this->types.end()) {
      types[i] = it->second;
      type_texts[i] = options.types.at(names[i]);
    }
  }
  auto output_name = [&](std::size_t i) -> const std::string& {
    auto it = options.renames.find(names[i]);
    return it == options.renames.end() ? names[i] : it->second;
  };
  auto kept = [&](std::size_t i) { return !options.excluded.contains(names[i]); };

  // A sample of the first records, as texts: for inference and for the
  // dictionary choice, made once so every engine mode chooses alike.
  const bool infer = options.infer && std::any_of(types.begin(), types.end(), [](const auto& t) { return !t; });
  std::vector<FieldColumn> sample(names.size());
  std::uint64_t sample_rows = 0;
  if ((infer || options.auto_dictionary) && !names.empty()) {
    if (auto r = fill(std::max<std::size_t>(end - begin, block_bytes() / threads())); !r) return r;
    for (FieldColumn& c : sample) c.reset(0);
    CsvDialect as_text = d;
    as_text.fill_missing_fields = true;  // a bad record is reported by the read itself
    ColumnSink sink(sample, as_text, kInferenceSampleRows);
    tokenise(data_begin(), data_end(), source_done, as_text, sink);
    sample_rows = sink.rows();
  }
  if (infer) {
    static const FieldType kCandidates[] = {FieldType::simple(FieldTag::Boolean), FieldType::simple(FieldTag::Int64),
                                            FieldType::simple(FieldTag::Float64), FieldType::simple(FieldTag::Date32),
                                            FieldType::timestamp(TimeUnit::Microsecond)};
    static const char* const kCandidateTexts[] = {"bool", "int64", "float64", "date32", "timestamp[us]"};
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (types[i] || !kept(i)) continue;
      const FieldColumn& c = sample[i];
      bool any = false;
      for (std::uint64_t r = 0; r < sample_rows && !any; ++r) any = c.is_valid(r);
      if (!any) continue;
      for (std::size_t k = 0; k < std::size(kCandidates); ++k) {
        bool all = true;
        for (std::uint64_t r = 0; r < sample_rows && all; ++r) {
          if (!c.is_valid(r)) continue;
          const std::string_view text = c.text(r);
          all = text_parses_as(kCandidates[k], text) ||
                (kCandidates[k].tag == FieldTag::Boolean && d.boolean_word(text).has_value());
        }
        if (all) {
          types[i] = kCandidates[k];
          type_texts[i] = kCandidateTexts[k];
          inferred[i] = true;
          break;
        }
      }
    }
  }

  auto o = std::make_shared<BuilderOptions>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (auto it = options.renames.find(names[i]); it != options.renames.end()) o->renames.emplace(names[i], it->second);
    if (!kept(i)) {
      o->excluded_columns.insert(output_name(i));
      continue;
    }
    if (!options.schema) o->declared_columns.push_back(output_name(i));
    if (types[i]) o->column_types.emplace(output_name(i), *types[i]);
    if (types[i] && type_texts[i].starts_with("date32[")) pattern_dates.insert(output_name(i));
    if (options.dictionary.contains(names[i])) o->dictionary_columns.insert(output_name(i));
  }
  if (options.schema) {
    o->declared_columns = *options.schema;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string& name = output_name(i);
      if (!kept(i) || std::find(o->declared_columns.begin(), o->declared_columns.end(), name) !=
                          o->declared_columns.end()) {
        continue;
      }
      ReadError e;
      e.kind = ReadError::Kind::Merge;
      e.path = options.path;
      e.message = options.path + ": column " + quoted(name) + " is not in the schema; add it to schema= or pass exclude=[" +
                  quoted(names[i]) + "]";
      return std::unexpected(std::move(e));
    }
  }
  if (options.auto_dictionary && sample_rows != 0) {
    // The builder's own rule, on the sample.
    auto s = std::make_shared<BuilderOptions>(*o);
    s->auto_dictionary = true;
    TableBuilder b(s, std::nullopt, std::nullopt, sample_rows);
    std::vector<TextColumnView> views;
    for (const FieldColumn& c : sample) views.push_back(c.view(0, sample_rows));
    b.push_text_rows({names, views, sample_rows}, nullptr);
    auto batch = b.finish();
    if (!batch) return std::unexpected(internal(batch.error().text()));
    for (const auto& field : (*batch)->schema()->fields()) {
      if (field->type()->id() == arrow::Type::DICTIONARY) o->dictionary_columns.insert(field->name());
    }
  }
  boolean_words.assign(names.size(), false);
  for (std::size_t i = 0; i < names.size(); ++i) {
    boolean_words[i] = types[i] && types[i]->tag == FieldTag::Boolean && !d.default_booleans();
  }
  builder_options = std::move(o);
  return {};
}

ChunkOutcome CsvReader::State::run_chunk(const char* chunk_begin, const char* chunk_end, bool at_end,
                                         std::unique_ptr<TableBuilder>& b, std::vector<FieldColumn>& fields) const {
  ChunkOutcome out;
  out.stop = chunk_begin;
  // An error found by checking or tokenising: the rows before it are still
  // fed, since a value among them that does not parse comes first in the file.
  std::optional<ReadError> later;
  {
    StageTimer timer(Stage::Validate);
    const auto size = static_cast<std::size_t>(chunk_end - chunk_begin);
    if (!utf8::is_valid_buffer(reinterpret_cast<const std::uint8_t*>(chunk_begin), size)) {
      const std::size_t at = first_invalid_utf8(chunk_begin, size);
      // A character cut by the end of what is buffered is whole in the next bytes.
      if (at_end || size - at >= 4) {
        later = ReadError{};
        later->kind = ReadError::Kind::Utf8;
        later->line = count_line_breaks(chunk_begin, chunk_begin + at);
        later->byte_offset = at;
        at_end = false;  // the record holding the bad byte is not read
      }
      chunk_end = chunk_begin + at;
    }
  }
  StageTimer timer(Stage::Parse);
  fields.resize(names.size());
  const std::size_t hint = static_cast<std::size_t>(chunk_end - chunk_begin) / std::max<std::size_t>(names.size(), 1);
  for (std::size_t i = 0; i < names.size(); ++i) {
    fields[i].reset(hint);
    fields[i].boolean_words = boolean_words[i];
  }
  ColumnSink sink(fields, options.dialect, kNoRowLimit);
  const TokeniseResult t = tokenise(chunk_begin, chunk_end, at_end, options.dialect, sink);
  out.stop = t.stop;
  out.rows = sink.rows();
  out.lines = count_line_breaks(chunk_begin, out.stop);
  if (t.problem.kind != CsvProblemKind::None) {
    // Before the bad byte, if any: tokenising stopped there.
    out.problem = t.problem;
    later = ReadError{};
    later->kind = ReadError::Kind::Csv;
    later->line = count_line_breaks(chunk_begin, t.problem.where);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!fields[i].overflowed()) continue;
    out.error = ReadError{};
    out.error->kind = ReadError::Kind::Memory;
    out.error->message = options.path + ": column " + quoted(names[i]) +
                         ": more than 2 GiB of text in one batch; read it with engine=\"stream\" and a smaller batch_rows";
    return out;
  }

  // Rows to builders: a builder takes at most batch_rows rows.
  std::vector<CellFailure> failures;
  std::vector<CellFailure> slice_failures;
  std::vector<TextColumnView> views(names.size());
  const std::uint64_t limit = batch_rows();
  for (std::uint64_t row = 0; row < out.rows;) {
    if (!b) b = new_builder(rows_for_builder(out.rows - row, static_cast<std::uint64_t>(out.stop - chunk_begin)));
    const std::uint64_t take = std::min(out.rows - row, limit - b->rows_kept());
    for (std::size_t i = 0; i < names.size(); ++i) views[i] = fields[i].view(row, take);
    slice_failures.clear();
    b->push_text_rows({names, views, take}, &slice_failures);
    for (CellFailure f : slice_failures) failures.push_back({f.row + row, f.field});
    row += take;
    if (!failures.empty() && !options.bad_values_null) break;
    if (b->rows_kept() == limit) {
      if (auto r = finish_builder(b, out.batches); !r) {
        out.error = r.error();
        return out;
      }
    }
  }
  if (failures.empty()) {
    out.error = std::move(later);
    return out;
  }
  if (!options.bad_values_null) failures.resize(1);
  // Where the failed fields start: one more pass over the chunk.
  LocateSink locate(failures);
  tokenise(chunk_begin, out.stop, true, options.dialect, locate);
  std::uint64_t line = 0;
  const char* counted_to = chunk_begin;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    line += count_line_breaks(counted_to, locate.starts[i]);
    counted_to = locate.starts[i];
    const std::size_t k = failures[i].field;
    RejectedCell cell{line, names[k], std::string(fields[k].text(failures[i].row)), type_texts[k]};
    if (!options.bad_values_null) {
      out.error = ReadError{};
      out.error->kind = ReadError::Kind::Value;
      out.error->line = cell.line;
      out.error->column = std::move(cell.column);
      out.error->value = std::move(cell.value);
      out.error->type = std::move(cell.type);
      out.error->expected = inferred[k];
      return out;
    }
    if (options.keep_rejects) out.rejects.push_back(std::move(cell));
  }
  out.error = std::move(later);
  return out;
}

ReadError CsvReader::State::placed(ChunkOutcome& outcome, std::uint64_t lines, std::uint64_t bytes) const {
  ReadError e = std::move(*outcome.error);
  e.path = options.path;
  e.line += lines + 1;
  e.byte_offset += bytes;
  const std::string& path = options.path;
  const std::string line = std::to_string(e.line);
  switch (e.kind) {
    case ReadError::Kind::Utf8:
      e.message = path + ": line " + line + ", byte " + std::to_string(e.byte_offset) +
                  ": invalid UTF-8; pass encoding= for text in another encoding";
      break;
    case ReadError::Kind::Value:
      e.message = path + ": column " + quoted(e.column) + ", line " + line + ": value " + quote_text(e.value, 64) +
                  " does not parse as " + e.type;
      if (e.expected != 0) {
        e.message += ", the type inferred from the first rows; declare the column's type in types=";
        e.expected = 0;
      } else {
        e.message += "; declare another type for the column or pass on_error=\"null\"";
      }
      break;
    case ReadError::Kind::Csv: {
      const std::string place = path + ": line " + line + ": ";
      switch (outcome.problem.kind) {
        case CsvProblemKind::FieldCount:
          e.found = outcome.problem.found;
          e.expected = outcome.problem.expected;
          e.message = place + std::to_string(e.found) + " fields, expected " + std::to_string(e.expected);
          if (e.found < e.expected) e.message += "; pass ragged=\"null\" to read missing fields as nulls";
          break;
        case CsvProblemKind::Unterminated:
          e.message = place + "quoted field never closed; the file ends inside it";
          break;
        case CsvProblemKind::QuoteInField:
          e.message = place + "quote character inside an unquoted field; quote the whole field and double the "
                              "quotes inside it, or pass quote=None for a file whose fields are never quoted";
          break;
        case CsvProblemKind::TextAfterQuote:
          e.message = place + "text after the closing quote of a field; double the quotes inside a quoted field";
          break;
        case CsvProblemKind::None:
          break;
      }
      break;
    }
    default:
      e.line = 0;
      break;
  }
  return e;
}

ReadResult<void> CsvReader::State::finish_builder(std::unique_ptr<TableBuilder>& b,
                                                  std::vector<std::shared_ptr<arrow::RecordBatch>>& into) const {
  Result<std::shared_ptr<arrow::RecordBatch>> batch = b->finish();
  b.reset();
  if (!batch) {
    ReadError e;
    const CoreError& c = batch.error();
    e.kind = c.kind() == ErrorKind::Merge ? ReadError::Kind::Merge
             : c.kind() == ErrorKind::MemoryBudgetExceeded ? ReadError::Kind::Memory
                                                           : ReadError::Kind::Internal;
    e.message = c.kind() == ErrorKind::Merge || c.kind() == ErrorKind::Plan ? c.message() : c.text();
    e.path = options.path;
    return std::unexpected(std::move(e));
  }
  std::shared_ptr<arrow::RecordBatch> made = std::move(*batch);
  for (const std::string& name : pattern_dates) {
    const int i = made->schema()->GetFieldIndex(name);
    if (i < 0) continue;
    // Whole days of the seconds read through the pattern (days before 1970 round down).
    const auto& seconds = static_cast<const arrow::TimestampArray&>(*made->column(i));
    arrow::Result<std::unique_ptr<arrow::Buffer>> days = arrow::AllocateBuffer(seconds.length() * 4);
    if (!days.ok()) return std::unexpected(internal(days.status().ToString()));
    auto* out = reinterpret_cast<std::int32_t*>((*days)->mutable_data());
    for (std::int64_t r = 0; r < seconds.length(); ++r) {
      const std::int64_t s = seconds.Value(r);
      out[r] = static_cast<std::int32_t>(s / 86400 - (s % 86400 < 0 ? 1 : 0));
    }
    auto data = arrow::ArrayData::Make(arrow::date32(), seconds.length(),
                                       {seconds.data()->buffers[0], std::shared_ptr<arrow::Buffer>(std::move(*days))},
                                       seconds.null_count(), seconds.offset());
    arrow::Result<std::shared_ptr<arrow::RecordBatch>> replaced =
        made->SetColumn(i, arrow::field(name, arrow::date32()), arrow::MakeArray(data));
    if (!replaced.ok()) return std::unexpected(internal(replaced.status().ToString()));
    made = std::move(*replaced);
  }
  into.push_back(std::move(made));
  return {};
}

// Record starts near `parts` equal shares of [begin, end), which starts
// outside quotes: each from the quote parity before its share (counted per
// share) and the first line end outside quotes after the share's start.
std::vector<const char*> split_points(const char* begin, const char* end, unsigned parts, const CsvDialect& dialect) {
  const char quote = dialect.quote;
  const bool quoting = dialect.quoting;
  StageTimer timer(Stage::Split);
  const auto size = static_cast<std::size_t>(end - begin);
  std::vector<const char*> points{begin};
  std::uint64_t quotes_before = 0;
  const char* share_start = begin;
  for (unsigned i = 1; i < parts; ++i) {
    const char* nominal = begin + size / parts * i;
    if (quoting) quotes_before += static_cast<std::uint64_t>(std::count(share_start, nominal, quote));
    share_start = nominal;
    bool inside = (quotes_before & 1) != 0;
    const char* p = std::max(nominal, points.back());
    if (p != nominal) continue;  // the previous part already reaches past this share
    for (; p < end; ++p) {
      const char c = *p;
      if (quoting && c == quote) {
        inside = !inside;
      } else if (!inside && (c == '\n' || c == '\r')) {
        p += (c == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
        break;
      }
    }
    if (p < end && p > points.back()) points.push_back(p);
  }
  points.push_back(end);
  return points;
}

ReadResult<void> CsvReader::State::take_batches(std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  for (auto& batch : batches) {
    if (!streams() && options.memory_budget) {
      kept_bytes += static_cast<std::uint64_t>(arrow::util::TotalBufferSize(*batch));
      if (kept_bytes > *options.memory_budget) return std::unexpected(over_budget());
    }
    ready.push_back(std::move(batch));
  }
  return {};
}

ReadError CsvReader::State::over_budget() const {
  ReadError e;
  e.kind = ReadError::Kind::Memory;
  e.path = options.path;
  e.message = options.path + ": the table needs more than the memory budget of " +
              std::to_string(*options.memory_budget) + " bytes; read it with engine=\"stream\" (open_csv) or raise memory=";
  return e;
}

ReadResult<void> CsvReader::State::take_outcome(ChunkOutcome& o, std::uint64_t lines_before,
                                                std::uint64_t bytes_before,
                                                std::vector<std::shared_ptr<arrow::RecordBatch>>& made) {
  if (o.error) return std::unexpected(placed(o, lines_before, bytes_before));
  for (RejectedCell& cell : o.rejects) {
    cell.line += lines_before + 1;
    rejects.push_back(std::move(cell));
  }
  rows += o.rows;
  for (auto& batch : o.batches) made.push_back(std::move(batch));
  return {};
}

ReadResult<void> CsvReader::State::step() {
  if (auto r = fill(want); !r) return r;
  const char* const b = data_begin();
  const char* const e = data_end();
  const bool at_end = source_done;
  const unsigned parts = threads();
  std::vector<std::shared_ptr<arrow::RecordBatch>> made;
  const char* stop = b;
  std::uint64_t lines = 0;  // line breaks before `stop`
  // Bytes of the next block read while the workers parse this one.
  std::size_t ahead = 0;
  bool ahead_done = source_done;
  std::optional<ReadError> ahead_error;
  if (parts == 1 || e - b < static_cast<std::ptrdiff_t>(parts * kMinBlockBytes)) {
    worker_fields.resize(std::max<std::size_t>(worker_fields.size(), 1));
    ChunkOutcome o = run_chunk(b, e, at_end, builder, worker_fields[0]);
    if (auto r = take_outcome(o, consumed_lines, consumed_bytes, made); !r) return r;
    lines = o.lines;
    stop = o.stop;
    if (builder && (streams() || parts > 1) && !options.batch_rows) {
      if (auto r = finish_builder(builder, made); !r) return r;
    }
    if (builder && !streams() && options.memory_budget && builder->estimated_bytes() > *options.memory_budget) {
      return std::unexpected(over_budget());
    }
  } else {
    const std::vector<const char*> points = split_points(b, e, parts, options.dialect);
    const std::size_t n = points.size() - 1;
    std::vector<ChunkOutcome> outcomes(n);
    std::vector<std::exception_ptr> faults(n);
    worker_fields.resize(std::max(worker_fields.size(), n));
    {
      std::vector<std::thread> workers;
      workers.reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        workers.emplace_back([&, i] {
          try {
            std::unique_ptr<TableBuilder> own;
            const bool last = i + 1 == n;
            outcomes[i] = run_chunk(points[i], points[i + 1], last ? at_end : true, own, worker_fields[i]);
            if (!outcomes[i].error && own) {
              if (auto r = finish_builder(own, outcomes[i].batches); !r) outcomes[i].error = r.error();
            }
          } catch (...) {
            faults[i] = std::current_exception();
          }
        });
      }
      // Meanwhile, the next block.
      if (!ahead_done) {
        const std::size_t bytes = static_cast<std::size_t>(block_bytes());
        if (spare_capacity < kCarryRoom + bytes + FieldColumn::kSlack) {
          spare_capacity = kCarryRoom + bytes + FieldColumn::kSlack;
          spare = std::make_unique_for_overwrite<char[]>(spare_capacity);
        }
        while (!ahead_done && ahead < bytes) {
          SourceResult<std::size_t> got = source->read(spare.get() + kCarryRoom + ahead, bytes - ahead);
          if (!got) {
            ahead_error = from_source(std::move(got.error()), options.path);
            break;
          }
          ahead_done = *got == 0;
          ahead += *got;
        }
      }
      for (std::thread& t : workers) t.join();
    }
    for (const std::exception_ptr& fault : faults) {
      if (fault) std::rethrow_exception(fault);
    }
    StageTimer timer(Stage::Merge);
    for (std::size_t i = 0; i < n; ++i) {
      ChunkOutcome& o = outcomes[i];
      const std::uint64_t bytes_before = consumed_bytes + static_cast<std::uint64_t>(points[i] - b);
      if (auto r = take_outcome(o, consumed_lines + lines, bytes_before, made); !r) return r;
      lines += o.lines;
      stop = o.stop;
    }
  }
  if (stop == b && !at_end) {
    // No whole record in what is buffered: buffer more.
    want = want * 2;
  } else {
    want = static_cast<std::size_t>(block_bytes());
  }
  consume(stop, lines);
  if (ahead_error) return std::unexpected(std::move(*ahead_error));
  if (ahead != 0 || ahead_done != source_done) {
    // The unfinished record, then the block read ahead.
    const std::size_t carry = end - begin;
    if (carry <= kCarryRoom) {
      std::memcpy(spare.get() + kCarryRoom - carry, data_begin(), carry);
      std::swap(buffer, spare);
      std::swap(capacity, spare_capacity);
      begin = kCarryRoom - carry;
      end = kCarryRoom + ahead;
    } else {
      if (auto r = fill(end - begin); !r) return r;  // moves the record to the front
      if (capacity < end + ahead + FieldColumn::kSlack) {
        capacity = end + ahead + FieldColumn::kSlack;
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        std::memcpy(bigger.get(), buffer.get(), end);
        buffer = std::move(bigger);
      }
      std::memcpy(buffer.get() + end, spare.get() + kCarryRoom, ahead);
      end += ahead;
    }
    source_done = ahead_done;
  }
  if (at_end) {
    finished = true;
    if (builder) {
      if (auto r = finish_builder(builder, made); !r) return r;
    }
  }
  return take_batches(made);
}

// ---------------------------------------------------------------- reader

CsvReader::CsvReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
CsvReader::~CsvReader() = default;

ReadResult<std::unique_ptr<CsvReader>> CsvReader::open(std::unique_ptr<ByteSource> source, CsvReadOptions options) {
  auto state = std::make_unique<State>();
  state->source = std::move(source);
  state->input_size = state->source->input_size();
  state->options = std::move(options);
  for (const auto& [name, text] : state->options.types) {
    // "date32[format=P]": read as whole seconds through P, handed out as days.
    constexpr std::string_view kPatternDate = "date32[format=";
    const bool pattern_date = text.starts_with(kPatternDate) && text.ends_with("]");
    Result<FieldType> type = parse_field_type(
        pattern_date ? "timestamp[s,format=" + text.substr(kPatternDate.size()) : text);
    if (!type) {
      ReadError e;
      e.kind = ReadError::Kind::Type;
      e.message = "types[" + quoted(name) + "]: " + type.error().message();
      return std::unexpected(std::move(e));
    }
    state->types.emplace(name, std::move(*type));
  }
  if (auto r = state->read_header(); !r) return std::unexpected(r.error());
  if (auto r = state->settle_types(); !r) return std::unexpected(r.error());
  state->want = static_cast<std::size_t>(state->block_bytes());
  return std::unique_ptr<CsvReader>(new CsvReader(std::move(state)));
}

ReadResult<std::shared_ptr<arrow::RecordBatch>> CsvReader::next() {
  State& s = *state_;
  while (s.ready.empty()) {
    if (s.finished) {
      if (s.gave_batch) return nullptr;
      // A file without records still has its columns.
      std::unique_ptr<TableBuilder> b = s.new_builder();
      std::vector<std::shared_ptr<arrow::RecordBatch>> made;
      if (auto r = s.finish_builder(b, made); !r) return std::unexpected(r.error());
      s.ready.assign(made.begin(), made.end());
      break;
    }
    if (auto r = s.step(); !r) {
      s.finished = true;
      s.gave_batch = true;  // nothing more after an error
      s.ready.clear();
      return std::unexpected(r.error());
    }
    if (between_blocks && !between_blocks(s.rows, s.source->input_consumed())) {
      s.finished = true;
      s.gave_batch = true;
      s.ready.clear();
      ReadError e;
      e.kind = ReadError::Kind::Cancelled;
      return std::unexpected(std::move(e));
    }
  }
  std::shared_ptr<arrow::RecordBatch> batch = std::move(s.ready.front());
  s.ready.pop_front();
  s.gave_batch = true;
  return batch;
}

std::vector<RejectedCell> CsvReader::take_rejects() { return std::exchange(state_->rejects, {}); }

std::uint64_t CsvReader::rows_read() const { return state_->rows; }

std::uint64_t CsvReader::bytes_read() const { return state_->source->input_consumed(); }

const std::string& CsvReader::path() const { return state_->options.path; }

}  // namespace vorpel::readers
