// The builder's two guards: the strict type check, and the memory estimate
// with the budget checks built on it.

#include <limits>
#include <string>

#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/predicate/row_filter.h"
#include "core/table_builder/table_builder.h"

namespace vorpel {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) { return (b != 0 && a > kMax / b) ? kMax : a * b; }

// Estimate of a value that is not text: the fixed cost of one cell.
constexpr std::uint64_t kTypedValueEstimate = 74;
// Per-text overhead added to its byte length before doubling.
constexpr std::uint64_t kTextOverhead = 5;

// Heap bytes a string reserves beyond its own record (0 while its text fits
// in the inline buffer, which sizeof already counts).
std::uint64_t heap_text_bytes(const std::string& s) {
  static const std::size_t inline_capacity = std::string().capacity();
  return s.capacity() > inline_capacity ? static_cast<std::uint64_t>(s.capacity()) + 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------- strict types

void TableBuilder::check_strict(std::size_t column, const ScalarValue& value) {
  if (!strict_ || pending_error_ || column >= columns_.size() || !value.is_text()) return;
  const auto& types = options_->column_types;
  auto it = types.find(column_names_[column]);
  if (it == types.end()) return;
  if (!text_parses_as(it->second, value.str)) record_strict_failure(column, value.str);
}

void TableBuilder::record_strict_failure(std::size_t column, std::string_view text) {
  if (pending_error_) return;
  const std::string& name = column_names_[column];
  const auto& types = options_->column_types;
  auto it = types.find(name);
  const std::string type_name =
      it != types.end() ? it->second.debug_name() : columns_[column].field_type().debug_name();
  pending_error_ = CoreError::plan("strict_types: value " + quote_text(text, 64) + " in column " +
                                   quote_text(name) + " at row " + std::to_string(row_index_) +
                                   " does not parse as declared type " + type_name);
}

// ---------------------------------------------------------------- memory

std::uint64_t TableBuilder::value_estimate(const ScalarValue& value) {
  if (!value.is_text()) return kTypedValueEstimate;
  return sat_mul(sat_add(static_cast<std::uint64_t>(value.str.size()), kTextOverhead), 2);
}

std::uint64_t TableBuilder::structure_bytes() const {
  std::uint64_t total = sizeof(TableBuilder);
  total = sat_add(total, sat_mul(columns_.capacity(), sizeof(ColumnAccumulator)));
  total = sat_add(total, sat_mul(column_names_.capacity(), sizeof(std::string)));

  // Name index: the bucket array and one node per entry (the key record, the
  // index, the chain link and the cached hash); the keys' texts are counted
  // with the names.
  constexpr std::uint64_t kNodeBytes = sizeof(NameIndex::value_type) + 2 * sizeof(void*);
  total = sat_add(total, sat_mul(name_index_.bucket_count(), sizeof(void*)));
  total = sat_add(total, sat_mul(name_index_.size(), kNodeBytes));

  total = sat_add(total, sat_mul(present_.capacity(), sizeof(std::uint64_t)));
  if (has_predicate_) total = sat_add(total, row_filter_->reserved_bytes());
  return total;
}

// This object, the containers' reserved room, the row filter, every column's
// reserved bytes, and the heap texts of the column names and index keys.
std::uint64_t TableBuilder::estimated_bytes() const {
  std::uint64_t total = structure_bytes();
  for (const std::string& name : column_names_) total = sat_add(total, heap_text_bytes(name));
  for (const auto& entry : name_index_) total = sat_add(total, heap_text_bytes(entry.first));
  for (const ColumnAccumulator& column : columns_) total = sat_add(total, column.reserved_bytes());
  return total;
}

// The same sum as estimated_bytes(): real reservations never come near the
// saturation point, so the order of the additions does not matter.
std::uint64_t TableBuilder::budget_bytes() const { return sat_add(structure_bytes(), tallied_bytes_); }

void TableBuilder::tally_new_column(std::size_t column) {
  // A name's heap bytes never change once stored: the names vector moves its
  // strings (a heap text keeps its buffer) and the index's nodes stay put.
  const std::string& name = column_names_[column];
  const std::string& key = name_index_.find(name)->first;
  tallied_bytes_ += columns_[column].reserved_bytes() + heap_text_bytes(name) + heap_text_bytes(key);
}

bool TableBuilder::budget_admits(const ScalarValue& value) {
  if (budget_stopped_) return false;
  const std::uint64_t limit = *memory_budget_;
  const std::uint64_t used = sat_add(budget_bytes(), value_estimate(value));
  if (used <= limit) return true;
  if (!pending_error_) {
    pending_error_ = CoreError::memory_budget_exceeded(used, limit);
    budget_stopped_ = true;
  }
  return false;
}

bool TableBuilder::budget_exhausted() {
  if (!has_budget_) return false;
  if (budget_stopped_) return true;
  const std::uint64_t limit = *memory_budget_;
  const std::uint64_t used = budget_bytes();
  if (pending_error_) return used > limit;
  if (used <= limit) return false;
  pending_error_ = CoreError::memory_budget_exceeded(used, limit);
  budget_stopped_ = true;
  return true;
}

}  // namespace vorpel
