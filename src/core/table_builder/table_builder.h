#pragma once
// The table builder: rows of named values in, one typed Arrow record batch out.
// Declared and discovered columns, null backfill, last value wins, strict types,
// memory budget, frozen schema, auto-dictionary, observer and row predicate.
// Problems found while rows are fed are recorded (first wins) and reported by
// `finish`.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <arrow/api.h>

#include "core/columnar/accumulator.h"
#include "core/error.h"
#include "core/field_type.h"

namespace vorpel {

class Predicate;  // core/predicate/predicate.h
class RowFilter;  // core/predicate/row_filter.h

// Progress callbacks, called synchronously on the building thread. An
// implementation may throw from on_chunk_complete; finish reports it. The
// other callbacks must not throw.
class ChunkObserver {
 public:
  virtual ~ChunkObserver() = default;
  virtual void on_row_start(std::uint64_t row) = 0;
  virtual void on_value(std::uint64_t row, std::string_view column, std::uint64_t column_index,
                        const ScalarValue& value) = 0;
  virtual void on_row_kept(std::uint64_t row) = 0;
  virtual void on_row_dropped(std::uint64_t row) = 0;
  virtual void on_chunk_complete(std::uint64_t rows_seen, std::uint64_t rows_kept,
                                 std::uint64_t rows_dropped) = 0;
};

struct BuilderOptions {
  std::vector<std::string> declared_columns;
  std::map<std::string, FieldType, std::less<>> column_types;
  std::set<std::string, std::less<>> dictionary_columns;
  std::map<std::string, std::string, std::less<>> renames;
  std::set<std::string, std::less<>> excluded_columns;
  std::shared_ptr<const Predicate> predicate;
  std::shared_ptr<ChunkObserver> observer;
  bool strict_types = false;
  bool auto_dictionary = false;
  std::optional<double> dictionary_max_ratio;             // absent = 0.05
  std::optional<std::uint64_t> dictionary_max_distinct;   // absent = 256
};

// Output column names fixed in advance. Its columns are created (in this
// order, after the declared and predicate columns) when the builder is
// constructed; with `exact`, a field the schema does not list is an error.
struct FrozenSchema {
  std::vector<std::string> columns;
  bool exact = false;
};

// Rows of text fields handed over column by column: the text of field k in
// row r is row r of fields[k] (a null row is a missing value). Every row has
// the same fields, named `names`.
struct TextFieldBlock {
  std::span<const std::string> names;
  std::span<const TextColumnView> fields;  // each `rows` long
  std::uint64_t rows = 0;
};

// A cell whose text did not parse as its column's type (a null was stored):
// its row within the block and its field index.
struct CellFailure {
  std::uint64_t row = 0;
  std::size_t field = 0;
};

class TableBuilder {
 public:
  // A null `options` is taken as the default options.
  TableBuilder(std::shared_ptr<const BuilderOptions> options, std::optional<std::uint64_t> memory_budget,
               std::optional<FrozenSchema> frozen_schema, std::uint64_t capacity_hint);
  ~TableBuilder();
  TableBuilder(const TableBuilder&) = delete;
  TableBuilder& operator=(const TableBuilder&) = delete;

  void begin_row();
  // Feeds one value as the field named "value" of the current row.
  void push_scalar(const ScalarValue& value);
  void set_field(std::string_view name, const ScalarValue& value);
  void end_row();

  // Feeds one row per row of `column`, exactly as this loop would:
  //   begin_row(); if the row is not null, push_scalar(its text); end_row();
  // (every row fed, the first strict failure recorded with its row and text).
  // When nothing can differ from row to row (no observer, predicate or memory
  // budget, the column for "value" exists, no row is open) the rows go to the
  // column's accumulator as one batch; otherwise the loop runs as written.
  void push_text_column(const TextColumnView& column);
  // Feeds the block's rows exactly as this loop would:
  //   for each row: begin_row(); for each field k: set_field(names[k], its
  //   text, or a null); end_row();
  // and appends to `failures` (when given) every cell whose text failed to
  // parse, in row-major order. When nothing can differ from row to row (as
  // for push_text_column, and no two fields land in one column) each field
  // goes to its column's accumulator as one batch.
  void push_text_rows(const TextFieldBlock& block, std::vector<CellFailure>* failures);
  // Capacity hint: about `rows` more rows carrying `text_bytes` bytes of text
  // will be pushed as the field "value". A String column then reserves exactly
  // that room instead of its default guess. No effect before that column exists.
  void reserve_value_texts(std::uint64_t rows, std::uint64_t text_bytes);

  std::uint64_t estimated_bytes() const;
  static std::uint64_t value_estimate(const ScalarValue& value);
  // For row feeders running under a memory budget.
  bool budget_exhausted();

  // Consumes the builder's columns; call once (a second call is an internal
  // fault). After it returns the builder holds no columns.
  Result<std::shared_ptr<arrow::RecordBatch>> finish();

  std::uint64_t row_index() const { return row_index_; }
  std::uint64_t rows_kept() const { return rows_kept_; }
  std::uint64_t rows_dropped() const { return rows_dropped_; }

  // Test hook: lowers the offset limit of the existing column `column` (see
  // ColumnAccumulator::set_offset_limit_for_testing). False when there is no
  // such column.
  bool set_offset_limit_for_testing(std::string_view column, std::uint64_t limit);

 private:
  // Unit tests reach the internals listed below through this class.
  friend class TableBuilderTestAccess;

  static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  // Column name -> column index; looked up by string_view without a copy.
  using NameIndex = std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>;

  // Field selection: the output name for an input field name, or none when
  // the field is not kept. The view points into the options or into `name`.
  std::optional<std::string_view> select(std::string_view name) const;
  // The index of the column called `name`, or none. One hash lookup.
  std::optional<std::size_t> find_column(std::string_view name) const;
  // The column called `name`, created (type rule, backfilled with row_index_
  // nulls) when new; none when an exact frozen schema refuses the name (the
  // unknown-field message is then recorded).
  std::optional<std::size_t> get_or_create_column(std::string_view name);
  std::size_t create_column(std::string_view name, std::uint64_t capacity);
  // The type rule for a new column called `name`.
  FieldType column_type_for(std::string_view name) const;
  bool frozen_schema_lists(std::string_view name) const;

  // Strict check of `value` against column `column`'s declared type, parsing
  // the text itself (for values not yet handed to an accumulator). Records
  // the strict-types error on failure. No-op unless strict types are on, the
  // value is text and nothing is pending yet.
  void check_strict(std::size_t column, const ScalarValue& value);
  // Records the strict-types error for `text` in column `column` (first wins).
  void record_strict_failure(std::size_t column, std::string_view text);
  // Records the unknown-field message for `name` (first wins). The short form
  // ends after "pass schema=[...]".
  void record_unknown_field(std::string_view name, bool short_form);

  // Steps of set_field once the column is known: observer, first-row record,
  // present bit, last value wins, append, strict result.
  void set_known_field(std::size_t column, const ScalarValue& value);
  void push_scalar_uncached(const ScalarValue& value);
  // end_row for a row whose values went to the columns: missing values become
  // nulls, then the row is kept, or dropped when the predicate rejects it.
  void complete_committed_row();
  // A completed row is kept: on_row_kept(row_index_), then row_index_ and
  // rows_kept_ advance.
  void keep_row();
  // A completed row is dropped: rows_dropped_ advances, then
  // on_row_dropped(row_index_); row_index_ stays.
  void drop_row();
  // Whether the rows pushed next start at a row boundary with nothing that
  // acts per row (observer, predicate, budget): a whole column of them may
  // then go to an accumulator at once.
  bool at_batch_boundary() const;
  // Whether push_text_column may hand the whole column to the accumulator.
  bool can_push_column_at_once() const;
  // push_text_rows for a block whose fields each have a column of their own.
  void push_text_rows_at_once(const TextFieldBlock& block, std::span<const std::size_t> columns,
                              std::vector<CellFailure>* failures);

  // Row predicate steps (only with a predicate).
  //
  // The width the filter judges the first predicate column's position
  // against: the schema the caller announced, else the columns seen so far.
  std::uint64_t filter_width() const;
  // While row_filter_->holds_values(), values and the row's end go to the
  // three below. push_scalar's value, after the budget check: resolves the
  // column of the field "value" (creating it when new), then hold_value.
  void hold_pushed_value(const ScalarValue& value);
  // A value of the known column `column`: strict check now, while row_index_
  // is this row's index, then offered to the filter.
  void hold_value(std::size_t column, const ScalarValue& value);
  // end_row: the filter decides; a kept row's values are written to the
  // columns and the row is kept, else it is dropped.
  void end_held_row();

  void set_present(std::size_t column) { present_[column >> 6] |= std::uint64_t{1} << (column & 63); }
  bool is_present(std::size_t column) const { return (present_[column >> 6] >> (column & 63)) & 1; }
  bool all_present() const;
  void resize_present();
  // Appends a null to every column whose present bit is clear, then clears
  // all present bits.
  void fill_missing_and_clear_present();
  // Removes the last value of every column (undoes a committed row).
  void remove_last_of_every_column();
  // Turns the String column `column` into a Dictionary one when its distinct
  // count is within the limit.
  void maybe_encode_dictionary(std::size_t column);
  void release_columns();

  // Memory. The budget reads estimated_bytes() as a running figure: the terms
  // that would need a pass over every column or name are kept in
  // tallied_bytes_ as columns are created and changed; the rest is read off
  // the containers. Nothing is tallied without a budget.
  //
  // The terms of the estimate that need no pass over the columns or names.
  std::uint64_t structure_bytes() const;
  // estimated_bytes() from the running figure.
  std::uint64_t budget_bytes() const;
  // The budget check of push_scalar: false when the value must be discarded.
  bool budget_admits(const ScalarValue& value);
  // Adds the new column `column` (its reserved bytes and its name's) to the
  // running figure.
  void tally_new_column(std::size_t column);
  // Runs `change`, a change of column `column`; under a budget the running
  // figure then moves by the change of the column's reserved bytes. Without
  // a budget this is `change()` alone.
  template <class Change>
  void tallied(std::size_t column, Change&& change) {
    if (has_budget_) [[unlikely]] {
      const std::uint64_t before = columns_[column].reserved_bytes();
      change();
      tallied_bytes_ += columns_[column].reserved_bytes() - before;
      return;
    }
    change();
  }

  // ------------------------------------------------------------------------
  // State.
  // ------------------------------------------------------------------------
  std::shared_ptr<const BuilderOptions> options_;
  std::optional<std::uint64_t> memory_budget_;
  std::optional<FrozenSchema> frozen_schema_;
  std::uint64_t column_capacity_ = 64;  // max(capacity hint, 64)

  std::vector<ColumnAccumulator> columns_;
  std::vector<std::string> column_names_;
  std::vector<std::uint64_t> present_;
  std::uint64_t present_last_mask_ = 0;  // bits of the last present_ word in use
  std::optional<std::string> schema_message_;
  std::optional<CoreError> pending_error_;
  NameIndex name_index_;
  // The declared column names (views into options_), for the selection.
  std::unordered_set<std::string_view> declared_names_;
  // The row predicate's state; null without a predicate.
  std::unique_ptr<RowFilter> row_filter_;

  // Resolved once at construction so the per-row path branches on flags only.
  ChunkObserver* observer_ = nullptr;
  bool has_budget_ = false;
  bool has_predicate_ = false;
  bool strict_ = false;
  bool select_identity_ = true;        // no renames, exclusions or declared columns
  bool budget_stopped_ = false;        // the pending error is the budget error
  bool finished_ = false;
  // The selection of the field "value" for push_scalar: whether it is kept,
  // its output name, and its column once it exists.
  bool value_selected_ = false;
  std::string value_output_name_;
  std::size_t value_column_ = kNoColumn;

  // While push_text_rows feeds rows one at a time: where a value that fails
  // to parse is recorded, and the block's first row and current field.
  std::vector<CellFailure>* failure_log_ = nullptr;
  std::uint64_t failure_log_first_row_ = 0;
  std::size_t failure_log_field_ = 0;

  std::uint64_t row_index_ = 0;
  std::uint64_t rows_kept_ = 0;
  std::uint64_t rows_dropped_ = 0;
  // Under a budget, the running part of the estimate: every column's reserved
  // bytes plus the heap bytes of the column names and of the name index's keys.
  std::uint64_t tallied_bytes_ = 0;
};

}  // namespace vorpel
