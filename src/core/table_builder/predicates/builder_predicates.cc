// The builder's row-predicate paths: the pending row (values held back while
// the predicate decides a row) and the filtering of committed rows.
//
// A builder with a predicate starts buffering: every value of a row goes into
// the pending row, and only a row that ends true is written to the columns, so
// a dropped row never touches them. Once the first predicate column seen sits
// in the last fifth of the columns, buffering stops for good: values go
// straight to the columns, the finished row is evaluated in place, and a false
// row is taken out again (every column loses its last value).

#include <algorithm>

#include "core/predicate/predicate.h"
#include "core/predicate/pending_row.h"
#include "core/table_builder/table_builder.h"

namespace vorpel {

namespace {

// The builder's columns as predicate evaluation reads them. Made on the stack
// per call: it holds two references and looks names up in the builder's map.
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

void TableBuilder::PendingRowDeleter::operator()(PendingRow* row) const { delete row; }

std::vector<std::string> TableBuilder::init_predicate() {
  // The predicate column list: every referenced name through field
  // selection, a rejected name kept as it is.
  std::vector<std::string> names = referenced_columns(*options_->predicate);
  for (std::string& name : names) {
    if (std::optional<std::string_view> out = select(name)) name = std::string(*out);
  }
  pending_row_.reset(new PendingRow(options_->predicate, options_->renames, names));
  return names;
}

bool TableBuilder::predicate_refers_to(std::string_view output_name) const {
  return refers_to(*options_->predicate, output_name, options_->renames);
}

void TableBuilder::pending_reset() {
  // The width against which the first predicate column's position is judged:
  // the schema the caller announced, else the columns seen so far.
  std::uint64_t width = columns_.size();
  if (frozen_schema_) {
    width = frozen_schema_->columns.size();
  } else if (!options_->declared_columns.empty()) {
    width = options_->declared_columns.size();
  }
  pending_row_->reset_pending(row_index_, width);
}

bool TableBuilder::pending_active() const { return pending_row_->buffering(); }

void TableBuilder::pending_buffer(const ScalarValue& value) {
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
  pending_store(column, value);
}

void TableBuilder::pending_store(std::size_t column, const ScalarValue& value) {
  PendingRow& row = *pending_row_;
  const auto index = static_cast<std::uint32_t>(column);
  // The strict check runs now, while row_index_ is this row's index; the
  // value itself reaches the column only if the row is kept.
  if (strict_ && !pending_error_ && value.kind == ScalarValue::Kind::Str &&
      !row.text_converts(index, columns_[column], value.str)) {
    record_strict_failure(column, value.str);
  }
  row.buffer_value(index, column_names_[column], value, view_of(columns_, name_index_));
}

void TableBuilder::pending_end_row() {
  PendingRow& row = *pending_row_;
  if (finished_) {  // the columns are gone
    row.clear_row();
    return;
  }
  if (row.decide(view_of(columns_, name_index_))) {
    // Written from the last value stored to the first.
    for (std::size_t i = row.entry_count(); i-- > 0;) {
      const std::size_t column = row.entry_column(i);
      const ScalarValue value = row.entry_value(i);
      ColumnAccumulator& accumulator = columns_[column];
      set_present(column);
      if (accumulator.len() > row_index_) accumulator.remove_last();
      accumulator.append_value(value);
      if (observer_) observer_->on_value(row_index_, column_names_[column], column, value);
    }
    fill_missing_and_clear_present();
    keep_row();
  } else {
    std::fill(present_.begin(), present_.end(), 0);
    drop_row();
  }
  row.clear_row();
}

bool TableBuilder::evaluate_committed_row() {
  if (finished_) return true;  // the columns are gone; nothing is stored
  return pending_row_->evaluator().evaluate_row(view_of(columns_, name_index_), row_index_);
}

std::uint64_t TableBuilder::pending_row_bytes() const {
  if (!pending_row_) return 0;
  return sizeof(PendingRow) + pending_row_->reserved_bytes();
}

}  // namespace vorpel
