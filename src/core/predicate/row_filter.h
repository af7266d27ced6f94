#pragma once
// A row predicate as the table builder applies it: the one object a builder
// with a predicate owns, and the only way the builder reaches the predicate
// code. It never touches the builder's columns; it reads them through the
// `ColumnSource` the builder passes in, and answers whether a row is kept.
//
// A build starts holding rows back: every value of a row is offered here
// instead of being written to a column, and only a row that ends true is
// written, so a dropped row never touches the columns. Once the first
// predicate column seen sits in the last fifth of the columns, holding stops
// for good: values go straight to the columns, the finished row is judged in
// place, and the builder takes a false row out again.
//
// The builder's calls, per row:
//   begin_row(row, width)   at the row's start. `width` is the frozen
//                           schema's column count when there is one, else the
//                           number of declared columns when non-empty, else
//                           the current column count.
//   while holds_values():
//     offer(column, ...)    each value, once its column is known
//     decide_held(columns)  at the row's end: kept or dropped. A kept row's
//                           values (held_count/held_column/held_value) are
//                           then written to the columns, last one first.
//     end_row()             after the decision, in both cases.
//   otherwise:
//     decide_committed(columns, row)  at the row's end, once missing values
//                           were filled with nulls: whether row `row` of the
//                           columns is kept.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/columnar/accumulator.h"
#include "core/predicate/evaluate.h"
#include "core/predicate/pending_row.h"
#include "core/predicate/predicate.h"

namespace vorpel {

class RowFilter {
 public:
  // `tree` must not be null. `predicate_columns`: the names the tree refers
  // to, each passed through the builder's field selection.
  RowFilter(std::shared_ptr<const Predicate> tree, const RenameMap& renames,
            std::span<const std::string> predicate_columns)
      : pending_(std::move(tree), renames, predicate_columns) {}

  // Start of row `row`; may stop holding rows for the rest of the build.
  void begin_row(std::uint64_t row, std::uint64_t width) { pending_.reset_pending(row, width); }
  // Whether the values of the current row are held here rather than written
  // to the columns.
  bool holds_values() const { return pending_.buffering(); }

  // A value of the held row for column `column` (called `name`); a later
  // value of the same column replaces it.
  void offer(std::uint32_t column, std::string_view name, const ScalarValue& value, const ColumnSource& columns) {
    pending_.buffer_value(column, name, value, columns);
  }
  // End of a held row: whether it is kept.
  bool decide_held(const ColumnSource& columns) { return pending_.decide(columns); }
  // The held values in arrival order (a replaced value keeps its place). A
  // text views storage of this object: valid until the next offer, begin_row
  // or end_row.
  std::size_t held_count() const { return pending_.entry_count(); }
  std::uint32_t held_column(std::size_t i) const { return pending_.entry_column(i); }
  ScalarValue held_value(std::size_t i) const { return pending_.entry_value(i); }
  // Forgets the held row once it is decided.
  void end_row() { pending_.clear_row(); }

  // End of a row written to the columns: whether row `row` of `columns` is kept.
  bool decide_committed(const ColumnSource& columns, std::uint64_t row) {
    return pending_.evaluator().evaluate_row(columns, row);
  }

  // Bytes of this object and of what it holds, for the builder's memory estimate.
  std::uint64_t reserved_bytes() const { return sizeof(RowFilter) + pending_.reserved_bytes(); }

 private:
  PendingRow pending_;
};

}  // namespace vorpel
