#include "core/predicate/pending_row.h"

#include "core/columnar/utf8_check.h"

namespace vorpel {

TypedCell convert_buffered(const ScalarValue& value, const PredicateEvaluator::BoundColumn& column,
                           RenderBuffer& buffer) {
  if (!value.is_text()) return convert_for_column(value, column.kind, column.type.unit, buffer);
  // A text as the column parses it.
  return text_cell(column.type, value.str, column.timestamp_parser ? &*column.timestamp_parser : nullptr);
}

// ---------------------------------------------------------------- storage

void PendingRow::store(std::uint32_t column, const ScalarValue& value) {
  Entry entry;
  entry.column = column;
  entry.kind = value.kind;
  entry.present = value.present;
  if (value.present) {
    switch (value.kind) {
      case FieldTag::String:
        entry.text_offset = text_.size();
        entry.text_length = value.str.size();
        text_.append(value.str);
        break;
      case FieldTag::Int64:
      case FieldTag::Timestamp: entry.i64 = value.i64; break;
      case FieldTag::Float64: entry.f64 = value.f64; break;
      case FieldTag::Boolean: entry.b = value.b; break;
      case FieldTag::Date32: entry.date = value.date; break;
      case FieldTag::Dictionary:
      case FieldTag::Decimal128: entry.present = false; break;  // never handed in
    }
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].column == column) {
      entries_[i] = entry;  // the row's last value of a column wins, in the first one's place
      return;
    }
  }
  entries_.push_back(entry);
}

ScalarValue PendingRow::entry_value(std::size_t i) const { return value_at(entries_[i]); }

const PendingRow::Entry* PendingRow::find(std::uint32_t column) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].column == column) return &entries_[i];
  }
  return nullptr;
}

std::optional<ScalarValue> PendingRow::value_of(std::uint32_t column) const {
  const Entry* entry = find(column);
  if (entry == nullptr) return std::nullopt;
  return value_at(*entry);
}

void PendingRow::clear_row() {
  entries_.clear();
  text_.clear();
  verdict_ = Verdict::Undecided;
}

std::uint64_t PendingRow::reserved_bytes() const {
  std::uint64_t bytes = text_.capacity() + entries_.overflow_capacity() * sizeof(Entry) +
                        predicate_names_.overflow_capacity() * sizeof(std::string) +
                        (predicate_columns_.overflow_words() + named_columns_.overflow_words()) *
                            sizeof(std::uint64_t);
  for (std::size_t i = 0; i < predicate_names_.size(); ++i) bytes += predicate_names_[i].capacity();
  return bytes;
}

// ---------------------------------------------------------------- protocol

void PendingRow::reset_pending(std::uint64_t row_index, std::uint64_t width) {
  if (row_index != 0 && buffering_ && first_predicate_column_) {
    const std::uint64_t last_fifth_start = width / 5 * 4 + width % 5 * 4 / 5;  // floor(4 * width / 5)
    if (*first_predicate_column_ >= last_fifth_start) buffering_ = false;
  }
  clear_row();
}

PendingRow::PendingRow(std::shared_ptr<const Predicate> tree, const RenameMap& renames,
                       std::span<const std::string> predicate_columns)
    : evaluator_(std::move(tree), renames) {
  for (const std::string& name : predicate_columns) predicate_names_.push_back(name);
}

void PendingRow::mark_known_predicate_columns(const ColumnSource& columns) {
  names_marked_ = true;
  for (std::size_t i = 0; i < predicate_names_.size(); ++i) {
    if (auto index = columns.find_column(predicate_names_[i])) predicate_columns_.set(*index);
  }
}

void PendingRow::buffer_value(std::uint32_t column, std::string_view column_name, const ScalarValue& value,
                              const ColumnSource& columns) {
  if (!predicate_columns_.test(column) && !named_columns_.test(column)) {
    if (!names_marked_) mark_known_predicate_columns(columns);
    named_columns_.set(column);
    for (std::size_t i = 0; i < predicate_names_.size(); ++i) {
      if (predicate_names_[i] == column_name) {
        predicate_columns_.set(column);
        break;
      }
    }
  }
  store(column, value);
  if (predicate_columns_.test(column)) {
    if (!first_predicate_column_) first_predicate_column_ = column;
    verdict_ = evaluate_pending(columns);
  }
}

bool PendingRow::decide(const ColumnSource& columns) {
  if (verdict_ == Verdict::Undecided) {
    verdict_ = evaluate_pending_final(columns) ? Verdict::True : Verdict::False;
  }
  return verdict_ == Verdict::True;
}

// ---------------------------------------------------------------- evaluation

TypedCell PendingRow::buffered_cell(const PredicateEvaluator& evaluator, std::uint32_t slot,
                                    RenderBuffer& buffer) const {
  if (slot == PredicateEvaluator::kNone) return TypedCell::absent();
  const PredicateEvaluator::BoundColumn& column = evaluator.bound_column(slot);
  if (column.index == PredicateEvaluator::kUnbound) return TypedCell::absent();
  const Entry* entry = find(column.index);
  if (entry == nullptr) return TypedCell::absent();
  return convert_buffered(value_at(*entry), column, buffer);
}

Verdict PendingRow::leaf_pending(const PredicateEvaluator::PlanNode& node) {
  using K = Predicate::Kind;
  RenderBuffer buffer_a;
  RenderBuffer buffer_b;
  // Each value is judged as the column will store it, by the committed-row
  // rules (CastableTo included), so a row's verdict is the same whether it
  // is buffered or committed.
  const TypedCell a = buffered_cell(evaluator_, node.column, buffer_a);
  const TypedCell b = buffered_cell(evaluator_, node.second, buffer_b);
  const bool missing = a.is_absent() || (node.kind == K::CompareColumns && b.is_absent());
  if (missing) {
    switch (node.kind) {
      case K::IsNull:
      case K::IsNullOrEmpty:
      case K::NotIn:
        return Verdict::True;
      case K::In:
      case K::CastableTo:
        return Verdict::False;
      default:
        return Verdict::Undecided;
    }
  }
  return evaluator_.test_leaf(node, a, b) ? Verdict::True : Verdict::False;
}

Verdict PendingRow::provisional(std::uint32_t index) {
  const PredicateEvaluator::PlanNode& node = evaluator_.nodes()[index];
  switch (node.kind) {
    // Kleene logic. Tests have no side effects, so a child that alone decides
    // the outcome spares the other.
    case Predicate::Kind::And: {
      const Verdict left = provisional(node.left);
      if (left == Verdict::False) return Verdict::False;
      const Verdict right = provisional(node.right);
      if (right == Verdict::False) return Verdict::False;
      if (left == Verdict::True && right == Verdict::True) return Verdict::True;
      return Verdict::Undecided;
    }
    case Predicate::Kind::Or: {
      const Verdict left = provisional(node.left);
      if (left == Verdict::True) return Verdict::True;
      const Verdict right = provisional(node.right);
      if (right == Verdict::True) return Verdict::True;
      if (left == Verdict::False && right == Verdict::False) return Verdict::False;
      return Verdict::Undecided;
    }
    case Predicate::Kind::Not:
      switch (provisional(node.left)) {
        case Verdict::True: return Verdict::False;
        case Verdict::False: return Verdict::True;
        case Verdict::Undecided: return Verdict::Undecided;
      }
      return Verdict::Undecided;
    case Predicate::Kind::Constant:
      return node.value ? Verdict::True : Verdict::False;
    default:
      return leaf_pending(node);
  }
}

bool PendingRow::final_value(std::uint32_t index) {
  const PredicateEvaluator::PlanNode& node = evaluator_.nodes()[index];
  switch (node.kind) {
    case Predicate::Kind::And:
      return final_value(node.left) && final_value(node.right);
    case Predicate::Kind::Or:
      return final_value(node.left) || final_value(node.right);
    case Predicate::Kind::Not:
      return !final_value(node.left);
    case Predicate::Kind::Constant:
      return node.value;
    case Predicate::Kind::Equals:
    case Predicate::Kind::NotEquals: {
      // A missing value counts as a null cell.
      RenderBuffer buffer;
      const TypedCell cell = buffered_cell(evaluator_, node.column, buffer);
      return evaluator_.test_leaf(node, cell, TypedCell::absent());
    }
    default:
      return leaf_pending(node) == Verdict::True;
  }
}

Verdict PendingRow::evaluate_pending(const ColumnSource& columns) {
  evaluator_.bind(columns);
  return provisional(0);
}

bool PendingRow::evaluate_pending_final(const ColumnSource& columns) {
  evaluator_.bind(columns);
  return final_value(0);
}

}  // namespace vorpel
