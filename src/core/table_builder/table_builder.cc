#include "core/table_builder/table_builder.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "core/columnar/array_assembly.h"
#include "core/invariant.h"
#include "core/predicate/predicate.h"
#include "core/predicate/row_filter.h"

namespace vorpel {

namespace {

constexpr std::uint64_t kMinColumnCapacity = 64;

// Columns under this many values are never dictionary-encoded.
constexpr std::uint64_t kDictionaryMinValues = 512;
constexpr double kDefaultDictionaryRatio = 0.05;
constexpr std::uint64_t kDefaultDictionaryMaxDistinct = 256;
constexpr std::uint64_t kDictionaryThresholdFloor = 16;

// Double to unsigned, truncating toward zero: NaN and negatives give 0, values
// past the range give the largest value (never undefined behaviour).
std::uint64_t truncate_to_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

const BuilderOptions& default_options() {
  static const BuilderOptions options;
  return options;
}

// The builder's columns as the row filter reads them. Made on the stack per
// call: it holds two references and looks names up in the builder's map.
template <class NameIndex>
class BuilderColumns final : public ColumnSource {
 public:
  BuilderColumns(const std::vector<ColumnAccumulator>& columns, const NameIndex& names)
      : columns_(columns), names_(names) {}

  std::uint64_t column_count() const override { return columns_.size(); }
  std::optional<std::uint32_t> find_column(std::string_view output_name) const override {
    auto it = names_.find(output_name);
    if (it == names_.end()) return std::nullopt;
    return static_cast<std::uint32_t>(it->second);
  }
  const ColumnAccumulator& column(std::uint32_t index) const override { return columns_[index]; }

 private:
  const std::vector<ColumnAccumulator>& columns_;
  const NameIndex& names_;
};

template <class NameIndex>
BuilderColumns<NameIndex> view_of(const std::vector<ColumnAccumulator>& columns, const NameIndex& names) {
  return BuilderColumns<NameIndex>(columns, names);
}

}  // namespace

TableBuilder::TableBuilder(std::shared_ptr<const BuilderOptions> options,
                           std::optional<std::uint64_t> memory_budget,
                           std::optional<FrozenSchema> frozen_schema, std::uint64_t capacity_hint)
    : options_(options ? std::move(options)
                       : std::shared_ptr<const BuilderOptions>(std::shared_ptr<void>(), &default_options())),
      memory_budget_(memory_budget),
      frozen_schema_(std::move(frozen_schema)),
      column_capacity_(std::max(capacity_hint, kMinColumnCapacity)) {
  const BuilderOptions& o = *options_;
  observer_ = o.observer.get();
  has_budget_ = memory_budget_.has_value();
  has_predicate_ = o.predicate != nullptr;
  strict_ = o.strict_types;
  select_identity_ = o.renames.empty() && o.excluded_columns.empty() && o.declared_columns.empty();
  declared_names_.insert(o.declared_columns.begin(), o.declared_columns.end());

  // The predicate column list: every name the predicate refers to, through
  // field selection (a rejected name kept as it is). Those columns are
  // created after the declared ones.
  std::vector<std::string> predicate_columns;
  if (has_predicate_) {
    predicate_columns = referenced_columns(*o.predicate);
    for (std::string& name : predicate_columns) {
      if (std::optional<std::string_view> out = select(name)) name = std::string(*out);
    }
    row_filter_ = std::make_unique<RowFilter>(o.predicate, o.renames, predicate_columns);
  }

  // Initial columns: declared, then predicate, then frozen-schema names; a
  // repeated or excluded name gets no column.
  auto add_initial = [&](std::string_view name) {
    if (o.excluded_columns.contains(name) || name_index_.contains(name)) return;
    create_column(name, column_capacity_);
  };
  for (const std::string& name : o.declared_columns) add_initial(name);
  for (const std::string& name : predicate_columns) add_initial(name);
  if (frozen_schema_) {
    for (const std::string& name : frozen_schema_->columns) add_initial(name);
  }
  resize_present();

  // push_scalar always feeds the field "value": select it once.
  if (std::optional<std::string_view> out = select("value")) {
    value_selected_ = true;
    value_output_name_ = *out;
    if (std::optional<std::size_t> index = find_column(value_output_name_)) value_column_ = *index;
  }
}

TableBuilder::~TableBuilder() = default;

// ---------------------------------------------------------------- selection

std::optional<std::string_view> TableBuilder::select(std::string_view name) const {
  if (select_identity_) return name;
  const BuilderOptions& o = *options_;
  std::string_view out = name;
  if (auto it = o.renames.find(name); it != o.renames.end()) out = it->second;
  if (o.excluded_columns.contains(out)) return std::nullopt;
  if (!o.declared_columns.empty() && !declared_names_.contains(out)) {
    // A name the predicate refers to is kept for it.
    if (has_predicate_ && refers_to(*o.predicate, out, o.renames)) return out;
    return std::nullopt;
  }
  return out;
}

FieldType TableBuilder::column_type_for(std::string_view name) const {
  const BuilderOptions& o = *options_;
  if (auto it = o.column_types.find(name); it != o.column_types.end()) return it->second;
  if (o.dictionary_columns.contains(name)) return FieldType::simple(FieldTag::Dictionary);
  return FieldType::simple(FieldTag::String);
}

// ---------------------------------------------------------------- columns

std::optional<std::size_t> TableBuilder::find_column(std::string_view name) const {
  auto it = name_index_.find(name);
  if (it == name_index_.end()) return std::nullopt;
  return it->second;
}

bool TableBuilder::frozen_schema_lists(std::string_view name) const {
  if (!frozen_schema_) return false;
  const std::vector<std::string>& cols = frozen_schema_->columns;
  return std::find(cols.begin(), cols.end(), name) != cols.end();
}

std::optional<std::size_t> TableBuilder::get_or_create_column(std::string_view name) {
  if (auto it = name_index_.find(name); it != name_index_.end()) return it->second;
  // An exact frozen schema admits no new names. A listed name can only be
  // missing here when it was excluded; it is still a known field.
  if (frozen_schema_ && frozen_schema_->exact && !frozen_schema_lists(name)) {
    record_unknown_field(name, false);
    return std::nullopt;
  }
  return create_column(name, column_capacity_);
}

std::size_t TableBuilder::create_column(std::string_view name, std::uint64_t capacity) {
  const std::size_t index = columns_.size();
  ColumnAccumulator column = ColumnAccumulator::create(column_type_for(name), capacity);
  for (std::uint64_t row = 0; row < row_index_; ++row) column.append_null();
  columns_.push_back(std::move(column));
  column_names_.emplace_back(name);
  name_index_.emplace(std::string(name), index);
  resize_present();
  if (has_budget_) tally_new_column(index);
  return index;
}

void TableBuilder::resize_present() {
  const std::size_t n = columns_.size();
  present_.resize((n + 63) / 64, 0);
  const std::size_t tail = n % 64;
  if (n == 0) {
    present_last_mask_ = 0;
  } else if (tail == 0) {
    present_last_mask_ = ~std::uint64_t{0};
  } else {
    present_last_mask_ = (std::uint64_t{1} << tail) - 1;
  }
}

bool TableBuilder::all_present() const {
  const std::size_t words = present_.size();
  if (words == 0) return true;
  for (std::size_t w = 0; w + 1 < words; ++w) {
    if (present_[w] != ~std::uint64_t{0}) return false;
  }
  return present_[words - 1] == present_last_mask_;
}

void TableBuilder::fill_missing_and_clear_present() {
  // Up to 64 columns (the usual case): one compare and one store.
  if (present_.size() == 1 && present_[0] == present_last_mask_) {
    present_[0] = 0;
    return;
  }
  if (!all_present()) {
    const std::size_t words = present_.size();
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t missing = ~present_[w];
      if (w + 1 == words) missing &= present_last_mask_;
      while (missing != 0) {
        const std::size_t column = w * 64 + static_cast<std::size_t>(std::countr_zero(missing));
        tallied(column, [&] { columns_[column].append_null(); });
        missing &= missing - 1;
      }
    }
  }
  std::fill(present_.begin(), present_.end(), 0);
}

void TableBuilder::remove_last_of_every_column() {
  for (std::size_t column = 0; column < columns_.size(); ++column) {
    tallied(column, [&] { columns_[column].remove_last(); });
  }
}

bool TableBuilder::set_offset_limit_for_testing(std::string_view column, std::uint64_t limit) {
  std::optional<std::size_t> index = find_column(column);
  if (!index) return false;
  columns_[*index].set_offset_limit_for_testing(limit);
  return true;
}

// ---------------------------------------------------------------- rows

void TableBuilder::begin_row() {
  if (observer_) observer_->on_row_start(row_index_);
  if (has_predicate_) row_filter_->begin_row(row_index_, filter_width());
}

void TableBuilder::push_scalar(const ScalarValue& value) {
  if (has_budget_ && !budget_admits(value)) return;
  if (has_predicate_ && row_filter_->holds_values()) {
    hold_pushed_value(value);
    return;
  }
  if (value_column_ != kNoColumn) {
    set_known_field(value_column_, value);
    return;
  }
  push_scalar_uncached(value);
}

void TableBuilder::push_scalar_uncached(const ScalarValue& value) {
  if (!value_selected_ || finished_) return;
  set_field(value_output_name_, value);
  if (std::optional<std::size_t> index = find_column(value_output_name_)) value_column_ = *index;
}

void TableBuilder::set_field(std::string_view name, const ScalarValue& value) {
  // A recorded budget error stops every later value.
  if (budget_stopped_ || finished_) return;
  std::optional<std::size_t> index = get_or_create_column(name);
  if (!index) return;
  if (has_predicate_ && row_filter_->holds_values()) {
    hold_value(*index, value);
    return;
  }
  set_known_field(*index, value);
}

void TableBuilder::set_known_field(std::size_t column, const ScalarValue& value) {
  if (observer_) observer_->on_value(row_index_, column_names_[column], column, value);
  bool parsed = true;
  tallied(column, [&] {
    ColumnAccumulator& acc = columns_[column];
    // The present bit is set exactly when this row already gave the column a
    // value: the last value of a field within a row wins.
    if (is_present(column)) {
      acc.remove_last();
    } else {
      set_present(column);
    }
    // The accumulator parses the text once; its verdict is the strict check
    // (untyped String and Dictionary columns never fail).
    parsed = value.is_text() ? acc.append_text(value.str) : acc.append_value(value);
  });
  if (parsed) return;
  if (failure_log_ != nullptr) failure_log_->push_back({row_index_ - failure_log_first_row_, failure_log_field_});
  if (strict_ && !pending_error_) record_strict_failure(column, value.str);
}

void TableBuilder::end_row() {
  // A recorded budget error stops every later row end.
  if (budget_stopped_) return;
  if (has_predicate_ && row_filter_->holds_values()) {
    end_held_row();
    return;
  }
  complete_committed_row();
}

bool TableBuilder::at_batch_boundary() const {
  if (observer_ != nullptr || has_predicate_ || has_budget_ || finished_) return false;
  // At a row boundary: no value of an open row pending in any column.
  return std::all_of(present_.begin(), present_.end(), [](std::uint64_t word) { return word == 0; });
}

bool TableBuilder::can_push_column_at_once() const {
  return value_column_ != kNoColumn && at_batch_boundary() && columns_[value_column_].len() == row_index_;
}

void TableBuilder::push_text_rows(const TextFieldBlock& block, std::vector<CellFailure>* failures) {
  if (block.rows == 0) return;
  // The column of each kept field, created now (in field order) when new.
  std::vector<std::size_t> columns(block.names.size(), kNoColumn);
  bool at_once = at_batch_boundary() && block.names.size() == block.fields.size();
  if (at_once) {
    std::vector<bool> taken;
    for (std::size_t k = 0; k < block.names.size() && at_once; ++k) {
      const std::optional<std::string_view> out = select(block.names[k]);
      if (!out) continue;
      const std::optional<std::size_t> column = get_or_create_column(*out);
      // A refused name records its error through the row loop below.
      if (column && *column >= taken.size()) taken.resize(columns_.size(), false);
      at_once = column.has_value() && !taken[*column];
      if (at_once) columns[k] = *column, taken[*column] = true;
    }
    resize_present();
  }
  if (at_once) return push_text_rows_at_once(block, columns, failures);

  failure_log_ = failures;
  failure_log_first_row_ = row_index_;
  for (std::uint64_t row = 0; row < block.rows; ++row) {
    begin_row();
    for (std::size_t k = 0; k < block.names.size(); ++k) {
      failure_log_field_ = k;
      const TextColumnView& field = block.fields[k];
      set_field(block.names[k], field.is_valid(row) ? ScalarValue::of_str(field.text(row)) : ScalarValue::null());
    }
    end_row();
  }
  failure_log_ = nullptr;
}

void TableBuilder::push_text_rows_at_once(const TextFieldBlock& block, std::span<const std::size_t> columns,
                                          std::vector<CellFailure>* failures) {
  const std::uint64_t first_row = row_index_;
  std::optional<CellFailure> first_failure;
  const std::size_t logged_before = failures != nullptr ? failures->size() : 0;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (columns[k] == kNoColumn) continue;
    ColumnAccumulator& column = columns_[columns[k]];
    const TextColumnView& field = block.fields[k];
    const std::optional<std::uint64_t> failed = column.append_texts(field, /*rows_final=*/true);
    if (!failed) continue;
    if (!first_failure || *failed < first_failure->row) first_failure = CellFailure{*failed, k};
    if (failures == nullptr) continue;
    // Past the first failure, a row failed where a present text left a null.
    for (std::uint64_t row = *failed; row < block.rows; ++row) {
      if (field.is_valid(row) && column.cell_at(first_row + row).is_absent()) failures->push_back({row, k});
    }
  }
  // Every other column misses its field in every row.
  std::vector<bool> fed(columns_.size(), false);
  for (std::size_t column : columns) {
    if (column != kNoColumn) fed[column] = true;
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (!fed[i]) columns_[i].append_nulls(block.rows);
  }
  if (failures != nullptr) {
    std::sort(failures->begin() + static_cast<std::ptrdiff_t>(logged_before), failures->end(),
              [](const CellFailure& a, const CellFailure& b) { return a.row != b.row ? a.row < b.row : a.field < b.field; });
  }
  if (first_failure && strict_ && !pending_error_) {
    row_index_ = first_row + first_failure->row;  // the row the message names
    record_strict_failure(columns[first_failure->field], block.fields[first_failure->field].text(first_failure->row));
  }
  row_index_ = first_row + block.rows;
  rows_kept_ += block.rows;
}

void TableBuilder::push_text_column(const TextColumnView& column) {
  if (column.length == 0) return;
  if (!can_push_column_at_once()) {
    for (std::uint64_t row = 0; row < column.length; ++row) {
      begin_row();
      if (column.is_valid(row)) push_scalar(ScalarValue::of_str(column.text(row)));
      end_row();
    }
    return;
  }
  const std::uint64_t first_row = row_index_;
  // No row pushed here is ever removed (no predicate), and nothing is tallied
  // (no budget).
  const std::optional<std::uint64_t> failed = columns_[value_column_].append_texts(column, /*rows_final=*/true);
  // Every other column misses the field in every row.
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (i != value_column_) columns_[i].append_nulls(column.length);
  }
  if (failed && strict_ && !pending_error_) {
    row_index_ = first_row + *failed;  // the row the message names
    record_strict_failure(value_column_, column.text(*failed));
  }
  row_index_ = first_row + column.length;
  rows_kept_ += column.length;
}

void TableBuilder::reserve_value_texts(std::uint64_t rows, std::uint64_t text_bytes) {
  if (value_column_ == kNoColumn) return;
  tallied(value_column_, [&] { columns_[value_column_].reserve_for_texts(rows, text_bytes); });
}

void TableBuilder::complete_committed_row() {
  fill_missing_and_clear_present();
  // After finish the columns are gone: nothing is stored, nothing is judged.
  if (has_predicate_ && !finished_ && !row_filter_->decide_committed(view_of(columns_, name_index_), row_index_)) {
    remove_last_of_every_column();
    drop_row();
    return;
  }
  keep_row();
}

void TableBuilder::keep_row() {
  if (observer_) observer_->on_row_kept(row_index_);
  ++row_index_;
  ++rows_kept_;
}

void TableBuilder::drop_row() {
  ++rows_dropped_;
  if (observer_) observer_->on_row_dropped(row_index_);
}

// ---------------------------------------------------------------- held rows

std::uint64_t TableBuilder::filter_width() const {
  if (frozen_schema_) return frozen_schema_->columns.size();
  if (!options_->declared_columns.empty()) return options_->declared_columns.size();
  return columns_.size();
}

void TableBuilder::hold_pushed_value(const ScalarValue& value) {
  if (!value_selected_ || finished_) return;
  std::size_t column = value_column_;
  if (column == kNoColumn) {
    if (std::optional<std::size_t> found = find_column(value_output_name_)) {
      column = *found;
    } else if (frozen_schema_ && frozen_schema_->exact && !frozen_schema_lists(value_output_name_)) {
      record_unknown_field(value_output_name_, true);
      return;
    } else {
      std::optional<std::size_t> created = get_or_create_column(value_output_name_);
      if (!created) return;
      column = *created;
    }
    value_column_ = column;
  }
  hold_value(column, value);
}

void TableBuilder::hold_value(std::size_t column, const ScalarValue& value) {
  const auto index = static_cast<std::uint32_t>(column);
  // The strict check runs now, while row_index_ is this row's index; the
  // value itself reaches the column only if the row is kept.
  if (strict_ && !pending_error_ && value.is_text() &&
      !columns_[column].parses(value.str)) {
    record_strict_failure(column, value.str);
  }
  row_filter_->offer(index, column_names_[column], value, view_of(columns_, name_index_));
}

void TableBuilder::end_held_row() {
  RowFilter& filter = *row_filter_;
  if (finished_) {  // the columns are gone
    filter.end_row();
    return;
  }
  if (filter.decide_held(view_of(columns_, name_index_))) {
    // Written from the last value held to the first.
    for (std::size_t i = filter.held_count(); i-- > 0;) {
      const std::size_t column = filter.held_column(i);
      const ScalarValue value = filter.held_value(i);
      set_present(column);
      tallied(column, [&] {
        ColumnAccumulator& accumulator = columns_[column];
        if (accumulator.len() > row_index_) accumulator.remove_last();
        accumulator.append_value(value);
      });
      if (observer_) observer_->on_value(row_index_, column_names_[column], column, value);
    }
    fill_missing_and_clear_present();
    keep_row();
  } else {
    std::fill(present_.begin(), present_.end(), 0);
    drop_row();
  }
  filter.end_row();
}

// ---------------------------------------------------------------- messages

void TableBuilder::record_unknown_field(std::string_view name, bool short_form) {
  if (schema_message_) return;
  const std::size_t count = frozen_schema_ ? frozen_schema_->columns.size() : 0;
  const bool exact = frozen_schema_ && frozen_schema_->exact;
  std::string message = "unknown field " + quote_text(name) + " not in frozen schema (" + std::to_string(count) +
                        " columns, exact=" + (exact ? "true" : "false") + "); pass schema=[...]";
  if (!short_form) message += " with full column list or use full-scan discovery";
  schema_message_ = std::move(message);
}

// ---------------------------------------------------------------- finish

void TableBuilder::maybe_encode_dictionary(std::size_t column) {
  ColumnAccumulator& acc = columns_[column];
  if (acc.kind() != FieldTag::String) return;
  const std::uint64_t n = acc.len();
  if (n < kDictionaryMinValues) return;
  const BuilderOptions& o = *options_;
  const double ratio = o.dictionary_max_ratio.value_or(kDefaultDictionaryRatio);
  std::uint64_t threshold = truncate_to_u64(ratio * static_cast<double>(n));
  if (threshold <= kDictionaryThresholdFloor) threshold = kDictionaryThresholdFloor;
  const std::uint64_t limit = std::min(o.dictionary_max_distinct.value_or(kDefaultDictionaryMaxDistinct), threshold);
  if (acc.distinct_count() > limit) return;
  acc.encode_as_dictionary();
}

void TableBuilder::release_columns() {
  std::vector<ColumnAccumulator>().swap(columns_);
  std::vector<std::string>().swap(column_names_);
  NameIndex().swap(name_index_);
  std::vector<std::uint64_t>().swap(present_);
  present_last_mask_ = 0;
  value_column_ = kNoColumn;
  tallied_bytes_ = 0;  // no column or name is left
}

namespace {

std::string observer_failure_text() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (const std::string& s) {
    return s;
  } catch (const char* s) {
    return s != nullptr ? std::string(s) : std::string("unknown panic");
  } catch (...) {
    return "unknown panic";
  }
}

}  // namespace

Result<std::shared_ptr<arrow::RecordBatch>> TableBuilder::finish() {
  if (finished_) core_invariant_failed("TableBuilder::finish called twice");
  finished_ = true;

  if (schema_message_) return fail(CoreError::merge(*schema_message_));
  if (pending_error_) return fail(*pending_error_);
  if (has_budget_) {
    const std::uint64_t used = budget_bytes();
    if (used > *memory_budget_) return fail(CoreError::memory_budget_exceeded(used, *memory_budget_));
  }
  if (observer_) {
    try {
      observer_->on_chunk_complete(rows_kept_ + rows_dropped_, rows_kept_, rows_dropped_);
    } catch (...) {
      return fail(CoreError::parser("observer panicked at chunk completion: " + observer_failure_text()));
    }
  }

  // Values of an unfinished last row are discarded. The running figure of
  // the budget is not read again before release_columns resets it.
  for (ColumnAccumulator& column : columns_) {
    while (column.len() > row_index_) column.remove_last();
  }
  std::fill(present_.begin(), present_.end(), 0);

  // Output columns: declared order (each name once, excluded names skipped),
  // else order of first appearance.
  const BuilderOptions& o = *options_;
  std::vector<std::size_t> output;
  std::vector<bool> made_at_finish;
  std::vector<std::string_view> missing;  // declared names never seen
  if (!o.declared_columns.empty()) {
    std::vector<bool> taken(columns_.size(), false);
    for (const std::string& name : o.declared_columns) {
      if (o.excluded_columns.contains(name)) continue;
      if (std::optional<std::size_t> index = find_column(name)) {
        if (taken[*index]) continue;
        taken[*index] = true;
        output.push_back(*index);
        made_at_finish.push_back(false);
      } else if (std::find(missing.begin(), missing.end(), std::string_view(name)) == missing.end()) {
        missing.push_back(name);
        output.push_back(kNoColumn);
        made_at_finish.push_back(true);
      }
    }
  } else {
    output.reserve(columns_.size());
    for (std::size_t i = 0; i < columns_.size(); ++i) output.push_back(i);
    made_at_finish.assign(columns_.size(), false);
  }

  // Dictionary decision on the columns that hold data (not on columns made
  // below for declared names never seen).
  if (o.auto_dictionary) {
    for (std::size_t index : output) {
      if (index != kNoColumn) maybe_encode_dictionary(index);
    }
  }

  std::size_t next_missing = 0;
  for (std::size_t k = 0; k < output.size(); ++k) {
    if (!made_at_finish[k]) continue;
    const std::size_t index = create_column(missing[next_missing++], std::max<std::uint64_t>(row_index_, 1));
    output[k] = index;
  }

  arrow::FieldVector fields;
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  fields.reserve(output.size());
  arrays.reserve(output.size());
  for (std::size_t index : output) {
    fields.push_back(field_for(columns_[index], column_names_[index]));
    Result<std::shared_ptr<arrow::Array>> array = array_for(std::move(columns_[index]));
    if (!array) {
      release_columns();
      return fail(std::move(array.error()));
    }
    arrays.push_back(std::move(*array));
  }
  release_columns();

  std::shared_ptr<arrow::RecordBatch> batch =
      arrow::RecordBatch::Make(arrow::schema(std::move(fields)), static_cast<std::int64_t>(row_index_),
                               std::move(arrays));
  arrow::Status status = batch->Validate();
  if (!status.ok()) return fail(arrow_error(status));
  return batch;
}

}  // namespace vorpel
