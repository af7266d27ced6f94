#pragma once
// The pending row: the values of the row being fed, held back from the columns
// while a row predicate decides whether the row is kept. Each value of a
// column the predicate refers to re-evaluates the predicate three-valued on the
// buffered values; the builder writes the buffered values to the columns only
// when the row ends true.
//
// The pending row owns the builder's `PredicateEvaluator`, so a builder with a
// predicate needs this one object for both modes. The builder drives it
// through `RowFilter` (row_filter.h), which describes the calls per row.
//
// Storage: up to 32 entries, 4 predicate names and 64 predicate column bits
// are held inline; more spill into vectors. Texts of buffered values are
// copied into one byte buffer that keeps its capacity from row to row, so a
// steady stream of rows allocates nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/predicate/predicate.h"
#include "core/predicate/evaluate.h"

namespace vorpel {

// Up to N elements in place, the rest in an overflow vector. `clear` keeps
// the overflow's capacity.
template <class T, std::size_t N>
class InlineVector {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool spilled() const { return size_ > N; }
  T& operator[](std::size_t i) { return i < N ? inline_[i] : overflow_[i - N]; }
  const T& operator[](std::size_t i) const { return i < N ? inline_[i] : overflow_[i - N]; }
  void push_back(T value) {
    if (size_ < N) {
      inline_[size_] = std::move(value);
    } else {
      overflow_.push_back(std::move(value));
    }
    ++size_;
  }
  void clear() {
    size_ = 0;
    overflow_.clear();
  }
  std::size_t overflow_capacity() const { return overflow_.capacity(); }

 private:
  std::array<T, N> inline_{};
  std::vector<T> overflow_;
  std::size_t size_ = 0;
};

// A set of column indices: the first 64 in one inline word.
class ColumnBitset {
 public:
  bool test(std::uint32_t column) const {
    if (column < 64) return (word_ >> column) & 1;
    const std::size_t word = column / 64 - 1;
    return word < overflow_.size() && ((overflow_[word] >> (column % 64)) & 1);
  }
  void set(std::uint32_t column) {
    if (column < 64) {
      word_ |= std::uint64_t{1} << column;
      return;
    }
    const std::size_t word = column / 64 - 1;
    if (word >= overflow_.size()) overflow_.resize(word + 1, 0);
    overflow_[word] |= std::uint64_t{1} << (column % 64);
  }
  std::size_t overflow_words() const { return overflow_.size(); }

 private:
  std::uint64_t word_ = 0;
  std::vector<std::uint64_t> overflow_;
};

// A buffered value converted as its column would store it and read back: the
// cell the tests see, equal to the one committed-row evaluation would read for
// the same value, so a row gets the same verdict in both modes. A value that
// is not text goes through the columns' own conversion (convert_for_column),
// a text through the column's parser. The text of a
// String cell stays a view of `value.str`; rendered texts go into `buffer`. Absent
// when the column would hold a null: a failed parse, a kind the column stores
// as null, a Null value, or (String and Dictionary columns) text that is not
// UTF-8. In a String or Dictionary column a Date32 is seen as its date
// ("2024-01-05") and a Timestamp as its raw count ("5").
TypedCell convert_buffered(const ScalarValue& value, const PredicateEvaluator::BoundColumn& column,
                           RenderBuffer& buffer);

class PendingRow {
 public:
  static constexpr std::size_t kInlineEntries = 32;
  static constexpr std::size_t kInlineNames = 4;

  // `tree` must not be null. `predicate_columns` is the predicate column list:
  // the names the tree refers to, each passed through field selection.
  PendingRow(std::shared_ptr<const Predicate> tree, const RenameMap& renames,
             std::span<const std::string> predicate_columns);

  // The evaluator of the tree on the builder's columns (committed rows).
  PredicateEvaluator& evaluator() { return evaluator_; }

  // ---- protocol steps ----

  // Start of a row. When this is not the first row, buffering is on and a
  // predicate column has been seen, buffering is switched off for good if
  // the first predicate column seen sits in the last fifth of the `width`
  // columns (index >= floor(4 * width / 5)). Then the row is emptied.
  void reset_pending(std::uint64_t row_index, std::uint64_t width);
  bool buffering() const { return buffering_; }

  // Buffers `value` for `column` (called `column_name`), replacing an earlier
  // value of the same column in this row. On the first call the listed
  // predicate column names that already have columns are marked as predicate
  // columns; a value of a predicate column records the first predicate column
  // seen (once per build) and re-evaluates the verdict provisionally.
  void buffer_value(std::uint32_t column, std::string_view column_name, const ScalarValue& value,
                    const ColumnSource& columns);

  // End of a row: settles an undecided verdict with the final evaluation and
  // tells whether the row is kept.
  bool decide(const ColumnSource& columns);

  // The buffered values in arrival order (a replaced value keeps its place).
  // `entry_value` views text owned by the row: valid until the next
  // buffer_value, reset_pending or clear_row.
  std::size_t entry_count() const { return entries_.size(); }
  std::uint32_t entry_column(std::size_t i) const { return entries_[i].column; }
  ScalarValue entry_value(std::size_t i) const;

  // Empties the row and resets the verdict to undecided.
  void clear_row();

  Verdict verdict() const { return verdict_; }
  std::optional<std::uint32_t> first_predicate_column() const { return first_predicate_column_; }
  bool is_predicate_column(std::uint32_t column) const { return predicate_columns_.test(column); }

  // ---- evaluation on the buffered values ----

  // Provisional, three-valued (Kleene) evaluation: a test on a column without
  // a buffered value is undecided, except IsNull, IsNullOrEmpty and NotIn
  // (true) and In and CastableTo (false).
  Verdict evaluate_pending(const ColumnSource& columns);
  // End-of-row evaluation: Equals, NotEquals, Constant, And, Or and Not treat
  // a missing value as null; every other test is evaluated provisionally and
  // undecided counts as false.
  bool evaluate_pending_final(const ColumnSource& columns);

  // ---- pieces, also used directly by tests ----

  // Buffers an owned copy of `value` for `column` (no predicate bookkeeping).
  void store(std::uint32_t column, const ScalarValue& value);
  // The buffered value of `column`, if any.
  std::optional<ScalarValue> value_of(std::uint32_t column) const;
  // Heap bytes held (for the builder's memory estimate).
  std::uint64_t reserved_bytes() const;

  bool spilled() const { return entries_.spilled(); }

 private:
  struct Entry {
    std::uint32_t column = 0;
    FieldTag kind = FieldTag::String;
    bool present = false;  // false: a null
    union {
      std::int64_t i64;
      double f64;
      bool b;
      std::int32_t date;
    };
    std::size_t text_offset = 0;  // a text: position in text_
    std::size_t text_length = 0;

    Entry() : i64(0) {}
  };

  ScalarValue value_at(const Entry& entry) const;
  const Entry* find(std::uint32_t column) const;
  void mark_known_predicate_columns(const ColumnSource& columns);
  TypedCell buffered_cell(const PredicateEvaluator& evaluator, std::uint32_t slot, RenderBuffer& buffer) const;
  Verdict leaf_pending(const PredicateEvaluator::PlanNode& node);
  Verdict provisional(std::uint32_t node);
  bool final_value(std::uint32_t node);

  PredicateEvaluator evaluator_;
  InlineVector<Entry, kInlineEntries> entries_;
  std::string text_;  // texts of the buffered text values, end to end
  InlineVector<std::string, kInlineNames> predicate_names_;
  bool names_marked_ = false;
  ColumnBitset predicate_columns_;
  // Columns already compared with the predicate names: a column keeps its
  // name, so each is compared once per build.
  ColumnBitset named_columns_;
  std::optional<std::uint32_t> first_predicate_column_;
  bool buffering_ = true;
  Verdict verdict_ = Verdict::Undecided;
};

// Defined here so that evaluation can keep the value in registers.
inline ScalarValue PendingRow::value_at(const Entry& entry) const {
  if (!entry.present) return ScalarValue::null();
  switch (entry.kind) {
    case FieldTag::String:
      return ScalarValue::of_str(std::string_view(text_).substr(entry.text_offset, entry.text_length));
    case FieldTag::Int64: return ScalarValue::of_int64(entry.i64);
    case FieldTag::Float64: return ScalarValue::of_float64(entry.f64);
    case FieldTag::Boolean: return ScalarValue::of_bool(entry.b);
    case FieldTag::Date32: return ScalarValue::of_date32(entry.date);
    case FieldTag::Timestamp: return ScalarValue::of_timestamp(entry.i64);
    case FieldTag::Dictionary:
    case FieldTag::Decimal128: break;
  }
  return ScalarValue::null();
}

}  // namespace vorpel
