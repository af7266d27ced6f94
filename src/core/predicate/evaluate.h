#pragma once
// Committed-row evaluation of a row predicate on the table builder's columns,
// and the pieces that the pending row's evaluation shares with it.
//
// A `PredicateEvaluator` belongs to one builder. It turns the (shared,
// immutable) tree into a flat plan once, resolves every column name of the tree
// to a column index (input name -> renames -> the builder's name index) only
// when columns have been added since the last evaluation, and caches what does
// not change per row: literals parsed as numbers, a comparison literal parsed
// as the bound column's kind, sorted `In` lists, and the order in which `And`
// and `Or` test their children. Evaluating a row then reads cells in place and
// allocates nothing, except for the texts that case mapping and replacement
// produce (kept in a scratch buffer that is reused from row to row).
//
// The table builder reaches its evaluator through its `RowFilter`, whose pending
// row owns it (row_filter.h describes both paths).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/field_type.h"
#include "core/predicate/predicate.h"

namespace re2 {
class RE2;
}

namespace vorpel {

// Read-only view of the builder's columns. Columns are only ever appended:
// an index, once given out, keeps naming the same column.
class ColumnSource {
 public:
  virtual std::uint64_t column_count() const = 0;
  // The index of the column with this output name, or nothing.
  virtual std::optional<std::uint32_t> find_column(std::string_view output_name) const = 0;
  virtual const ColumnAccumulator& column(std::uint32_t index) const = 0;

 protected:
  ~ColumnSource() = default;
};

// Three-valued truth of pending-row evaluation, with its fixed codes.
enum class Verdict : std::uint8_t { Undecided = 0, True = 1, False = 2 };

// ---------------------------------------------------------------- cell helpers

// The text of a present cell as the text tests see it: a Str cell's own text,
// or the canonical rendering of a typed value written into `buffer` (the
// render_*_to functions). Empty for an absent cell.
std::string_view cell_text(const TypedCell& cell, RenderBuffer& buffer);


// Applies a comparison operator to a three-way ordering (<0, 0, >0).
bool apply_compare(CompareOp op, int ordering);

// Numeric three-way comparison of two decimals of any scales, exact over the
// whole 128-bit range.
int compare_decimal128(int128 a, std::uint8_t scale_a, int128 b, std::uint8_t scale_b);

// Typed comparison of `left` with `right` by the left cell's kind; pairings
// that do not compare, and NaN on either side of a float comparison, give
// false for every operator.
bool typed_compare(const TypedCell& left, const TypedCell& right, CompareOp op);

// Number of characters of UTF-8 text (bytes that are not continuation bytes).
std::uint64_t count_chars(std::string_view text);

// Full Unicode case mapping (root locale) into `out`; returns a view of the
// mapped text.
std::string_view map_case(std::string_view text, bool upper, std::string& out);

// Replaces every non-overlapping occurrence of `search`, left to right. An
// empty `search` inserts the replacement before every character and at the end
// ("ab" -> "-a-b-"). Returns `text` itself when nothing is replaced, else a
// view of `out`.
std::string_view replace_all(std::string_view text, std::string_view search, std::string_view replacement,
                             std::string& out);

// ---------------------------------------------------------------- evaluator

class PredicateEvaluator {
 public:
  static constexpr std::uint32_t kUnbound = UINT32_MAX;
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // A column name of the tree and the column it resolves to.
  struct BoundColumn {
    std::string output_name;  // after renames
    std::uint32_t index = kUnbound;
    FieldTag kind = FieldTag::String;
    FieldType type;                                   // the column's declared type
    std::optional<TimestampParser> timestamp_parser;  // Timestamp columns
  };

  // A comparison literal parsed as one cell kind.
  struct LiteralCache {
    bool filled = false;
    FieldTag kind = FieldTag::String;
    TimeUnit unit = TimeUnit::Microsecond;
    std::uint8_t scale = 0;
    std::optional<TypedCell> value;
  };

  // One node of the tree in evaluation form. Views point into the tree.
  struct PlanNode {
    Predicate::Kind kind;
    std::uint32_t column = kNone;  // bound column slot (first column)
    std::uint32_t second = kNone;  // CompareColumns: second column slot
    std::uint32_t left = kNone;    // And, Or: children; Not: child in `left`
    std::uint32_t right = kNone;
    bool right_first = false;      // And, Or: the right child has the smaller order key
    bool value = false;            // Constant
    CompareOp op = CompareOp::Ne;
    ArithOp arith = ArithOp::Add;
    TrimMode trim = TrimMode::Both;
    double operand = 0;
    std::string_view text;         // text or literal
    std::string_view search;       // ReplaceCompare
    std::string_view replacement;  // ReplaceCompare
    const FieldType* target = nullptr;     // CastableTo
    const re2::RE2* regex = nullptr;       // Matches
    std::optional<double> number;          // ArithmeticCompare, LengthCompare: the literal
    std::vector<std::string_view> sorted_texts;  // In, NotIn
    LiteralCache literal;                  // Compare
  };

  // `tree` must not be null; `renames` maps the tree's input names to output
  // column names.
  PredicateEvaluator(std::shared_ptr<const Predicate> tree, const RenameMap& renames);

  const Predicate& tree() const { return *tree_; }

  // Whether row `row` of the columns satisfies the predicate. A column that
  // does not exist counts as a null cell; `And`/`Or` test first the child whose
  // columns come earlier and stop as soon as the outcome is known.
  bool evaluate_row(const ColumnSource& columns, std::uint64_t row);

  // ---- shared with the pending row ----

  // Resolves the names that have no column yet, when columns were added since
  // the last call, and refreshes what depends on the resolution.
  void bind(const ColumnSource& columns);
  const std::vector<PlanNode>& nodes() const { return nodes_; }
  const BoundColumn& bound_column(std::uint32_t slot) const { return columns_[slot]; }
  // The test of leaf node `node` on present or absent (null) cells `a` and,
  // for CompareColumns, `b`, by the committed-row rules.
  bool test_leaf(const PlanNode& node, const TypedCell& a, const TypedCell& b);

 private:
  std::uint32_t build(const Predicate& tree, const RenameMap& renames);
  std::uint32_t slot_for(const std::string& name, const RenameMap& renames);
  std::uint64_t refresh_order(std::uint32_t node);
  bool eval(std::uint32_t node, const ColumnSource& columns, std::uint64_t row);
  TypedCell read_cell(std::uint32_t slot, const ColumnSource& columns, std::uint64_t row) const;
  bool castable(const PlanNode& node, const TypedCell& cell) const;

  std::shared_ptr<const Predicate> tree_;
  std::vector<PlanNode> nodes_;
  std::vector<BoundColumn> columns_;
  std::uint64_t bound_count_ = UINT64_MAX;
  std::string scratch_;  // case-mapped and replaced texts
};

}  // namespace vorpel
