#include "core/predicate/evaluate.h"

#include "core/columnar/column_kinds.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <re2/re2.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace vorpel {

namespace {

template <class T>
int three_way(T a, T b) {
  return (a > b) - (a < b);
}

bool float_compare(double a, double b, CompareOp op) {
  if (std::isnan(a) || std::isnan(b)) return false;
  return apply_compare(op, three_way(a, b));
}

bool text_compare(std::string_view a, std::string_view b, CompareOp op) {
  return apply_compare(op, a.compare(b));  // char_traits<char> compares bytes as unsigned
}

// Membership in a sorted list: a scan for short lists (most differ in length
// or first byte, so each test is cheap), a binary search for long ones.
bool list_contains(const std::vector<std::string_view>& sorted, std::string_view text) {
  if (sorted.size() <= 8) {
    for (std::string_view member : sorted) {
      if (member == text) return true;
    }
    return false;
  }
  return std::binary_search(sorted.begin(), sorted.end(), text);
}

bool is_ascii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string_view trim(std::string_view text, TrimMode mode) {
  switch (mode) {
    case TrimMode::Both: return trim_whitespace(text);
    case TrimMode::Start: return trim_whitespace_start(text);
    case TrimMode::End: break;
  }
  return trim_whitespace_end(text);
}

}  // namespace

// ---------------------------------------------------------------- cell helpers

std::string_view cell_text(const TypedCell& cell, RenderBuffer& buffer) {
  if (cell.is_absent()) return {};
  if (cell.is_text()) return cell.str;
  char* const end = render_cell_to(buffer.data(), cell);
  return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

bool apply_compare(CompareOp op, int ordering) {
  switch (op) {
    case CompareOp::Gt: return ordering > 0;
    case CompareOp::Lt: return ordering < 0;
    case CompareOp::Ge: return ordering >= 0;
    case CompareOp::Le: return ordering <= 0;
    case CompareOp::Eq: return ordering == 0;
    case CompareOp::Ne: break;
  }
  return ordering != 0;  // Ne, and every code outside the range
}

int compare_decimal128(int128 a, std::uint8_t scale_a, int128 b, std::uint8_t scale_b) {
  if (scale_a == scale_b) return three_way(a, b);
  if (scale_a > scale_b) return -compare_decimal128(b, scale_b, a, scale_a);
  // Compare a * 10^d with b without forming the product: with b = q * 10^d + r
  // (|r| < 10^d, r of b's sign), a != q decides the order by itself, and a == q
  // leaves 0 against r.
  const unsigned d = static_cast<unsigned>(scale_b - scale_a);
  int128 q = 0;
  int128 r = b;
  if (d <= 38) {  // 10^39 exceeds every 128-bit value: q = 0, r = b
    const auto p = static_cast<int128>(kPow10_128[d]);
    q = b / p;
    r = b % p;
  }
  if (a != q) return three_way(a, q);
  return three_way(int128(0), r);
}

bool typed_compare(const TypedCell& left, const TypedCell& right, CompareOp op) {
  if (left.is_absent() || right.is_absent()) return false;
  switch (left.kind) {
    case FieldTag::String:
    case FieldTag::Dictionary:  // cells of text are String; listed for completeness
      return right.kind == FieldTag::String && text_compare(left.str, right.str, op);
    case FieldTag::Int64:
      if (right.kind == FieldTag::Int64) return apply_compare(op, three_way(left.i64, right.i64));
      if (right.kind == FieldTag::Float64) return float_compare(static_cast<double>(left.i64), right.f64, op);
      return false;
    case FieldTag::Float64:
      if (right.kind == FieldTag::Int64) return float_compare(left.f64, static_cast<double>(right.i64), op);
      if (right.kind == FieldTag::Float64) return float_compare(left.f64, right.f64, op);
      return false;
    case FieldTag::Boolean:
      return right.kind == FieldTag::Boolean && apply_compare(op, three_way(int(left.b), int(right.b)));
    case FieldTag::Date32:
      return right.kind == FieldTag::Date32 && apply_compare(op, three_way(left.date, right.date));
    case FieldTag::Timestamp:
      return right.kind == FieldTag::Timestamp && right.unit == left.unit &&
             apply_compare(op, three_way(left.i64, right.i64));
    case FieldTag::Decimal128:
      return right.kind == FieldTag::Decimal128 &&
             apply_compare(op, compare_decimal128(left.dec, left.scale, right.dec, right.scale));
  }
  return false;
}

std::uint64_t count_chars(std::string_view text) {
  std::uint64_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

std::string_view map_case(std::string_view text, bool upper, std::string& out) {
  out.clear();
  if (is_ascii(text)) {
    // The full mappings of ASCII letters are the ASCII ones.
    out.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      out[i] = c;
    }
    return out;
  }
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  if (upper) {
    unicode.toUpper(icu::Locale::getRoot());
  } else {
    unicode.toLower(icu::Locale::getRoot());
  }
  unicode.toUTF8String(out);
  return out;
}

std::string_view replace_all(std::string_view text, std::string_view search, std::string_view replacement,
                             std::string& out) {
  out.clear();
  if (search.empty()) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) out.append(replacement);
      out.push_back(text[i]);
    }
    out.append(replacement);
    return out;
  }
  std::size_t found = text.find(search);
  if (found == std::string_view::npos) return text;
  std::size_t from = 0;
  while (found != std::string_view::npos) {
    out.append(text.substr(from, found - from));
    out.append(replacement);
    from = found + search.size();
    found = text.find(search, from);
  }
  out.append(text.substr(from));
  return out;
}

// ---------------------------------------------------------------- evaluator

PredicateEvaluator::PredicateEvaluator(std::shared_ptr<const Predicate> tree, const RenameMap& renames)
    : tree_(std::move(tree)) {
  build(*tree_, renames);
}

std::uint32_t PredicateEvaluator::slot_for(const std::string& name, const RenameMap& renames) {
  const std::string_view output = renamed(name, renames);
  for (std::uint32_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].output_name == output) return i;
  }
  columns_.push_back(BoundColumn{std::string(output), kUnbound, FieldTag::String,
                                 FieldType::simple(FieldTag::String), std::nullopt});
  return static_cast<std::uint32_t>(columns_.size() - 1);
}

std::uint32_t PredicateEvaluator::build(const Predicate& tree, const RenameMap& renames) {
  const auto index = static_cast<std::uint32_t>(nodes_.size());
  nodes_.emplace_back();
  PlanNode node;
  node.kind = tree.kind();
  auto leaf = [&](const std::string& column) { node.column = slot_for(column, renames); };
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        using P = Predicate;
        if constexpr (std::is_same_v<T, P::NotEquals> || std::is_same_v<T, P::Equals> ||
                      std::is_same_v<T, P::StartsWith> || std::is_same_v<T, P::EndsWith> ||
                      std::is_same_v<T, P::Contains>) {
          leaf(n.column);
          node.text = n.text;
        } else if constexpr (std::is_same_v<T, P::CompareColumns>) {
          leaf(n.column);
          node.second = slot_for(n.second_column, renames);
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::Compare> || std::is_same_v<T, P::LowercaseCompare> ||
                             std::is_same_v<T, P::UppercaseCompare>) {
          leaf(n.column);
          node.text = n.literal;
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::In> || std::is_same_v<T, P::NotIn>) {
          leaf(n.column);
          node.sorted_texts.assign(n.texts.begin(), n.texts.end());
          std::sort(node.sorted_texts.begin(), node.sorted_texts.end());
        } else if constexpr (std::is_same_v<T, P::Constant>) {
          node.value = n.value;
        } else if constexpr (std::is_same_v<T, P::IsNullOrEmpty> || std::is_same_v<T, P::IsNull>) {
          leaf(n.column);
        } else if constexpr (std::is_same_v<T, P::ArithmeticCompare>) {
          leaf(n.column);
          node.text = n.literal;
          node.number = parse_float64(n.literal);
          node.operand = n.operand;
          node.arith = n.arith;
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::TrimCompare>) {
          leaf(n.column);
          node.text = n.literal;
          node.trim = n.trim;
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::ReplaceCompare>) {
          leaf(n.column);
          node.text = n.literal;
          node.search = n.search;
          node.replacement = n.replacement;
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::LengthCompare>) {
          leaf(n.column);
          node.text = n.literal;
          node.number = parse_float64(n.literal);
          node.op = n.op;
        } else if constexpr (std::is_same_v<T, P::CastableTo>) {
          leaf(n.column);
          node.target = &n.target;
        } else if constexpr (std::is_same_v<T, P::Matches>) {
          leaf(n.column);
          node.text = n.pattern;
          node.regex = n.regex.get();
        } else if constexpr (std::is_same_v<T, P::And> || std::is_same_v<T, P::Or>) {
          node.left = build(*n.left, renames);
          node.right = build(*n.right, renames);
        } else {
          static_assert(std::is_same_v<T, P::Not>);
          node.left = build(*n.child, renames);
        }
      },
      tree.node());
  nodes_[index] = std::move(node);
  return index;
}

void PredicateEvaluator::bind(const ColumnSource& columns) {
  const std::uint64_t count = columns.column_count();
  if (count == bound_count_) return;
  bound_count_ = count;
  bool changed = false;
  for (BoundColumn& column : columns_) {
    if (column.index != kUnbound) continue;
    const std::optional<std::uint32_t> index = columns.find_column(column.output_name);
    if (!index) continue;
    const ColumnAccumulator& accumulator = columns.column(*index);
    column.index = *index;
    column.kind = accumulator.kind();
    column.type = accumulator.field_type();
    if (column.kind == FieldTag::Timestamp) {
      column.timestamp_parser.emplace(column.type.unit, column.type.pattern);
    }
    changed = true;
  }
  if (!changed) return;
  for (PlanNode& node : nodes_) {
    if (node.kind != Predicate::Kind::Compare || columns_[node.column].index == kUnbound) continue;
    const BoundColumn& column = columns_[node.column];
    LiteralCache& cache = node.literal;
    cache.filled = true;
    // A Dictionary column's cells are text.
    cache.kind = column.kind == FieldTag::Dictionary ? FieldTag::String : column.kind;
    cache.unit = column.type.unit;
    cache.scale = column.type.scale;
    cache.value = parse_literal_as(cache.kind, cache.unit, cache.scale, node.text);
  }
  refresh_order(0);
}

std::uint64_t PredicateEvaluator::refresh_order(std::uint32_t index) {
  PlanNode& node = nodes_[index];
  switch (node.kind) {
    case Predicate::Kind::And:
    case Predicate::Kind::Or: {
      const std::uint64_t left = refresh_order(node.left);
      const std::uint64_t right = refresh_order(node.right);
      nodes_[index].right_first = right < left;  // a tie keeps the left child first
      return std::min(left, right);
    }
    case Predicate::Kind::Not:
      return refresh_order(node.left);
    case Predicate::Kind::Constant:
      return kNoColumnKey;
    default:
      break;
  }
  auto key_of = [&](std::uint32_t slot) -> std::uint64_t {
    if (slot == kNone || columns_[slot].index == kUnbound) return kNoColumnKey;
    return columns_[slot].index;
  };
  return std::min(key_of(node.column), key_of(node.second));
}

TypedCell PredicateEvaluator::read_cell(std::uint32_t slot, const ColumnSource& columns, std::uint64_t row) const {
  if (slot == kNone) return TypedCell::absent();
  const std::uint32_t index = columns_[slot].index;
  if (index == kUnbound) return TypedCell::absent();
  return columns.column(index).cell_at(row);
}

bool PredicateEvaluator::evaluate_row(const ColumnSource& columns, std::uint64_t row) {
  bind(columns);
  return eval(0, columns, row);
}

bool PredicateEvaluator::eval(std::uint32_t index, const ColumnSource& columns, std::uint64_t row) {
  const PlanNode& node = nodes_[index];
  switch (node.kind) {
    case Predicate::Kind::And: {
      const std::uint32_t first = node.right_first ? node.right : node.left;
      const std::uint32_t second = node.right_first ? node.left : node.right;
      return eval(first, columns, row) && eval(second, columns, row);
    }
    case Predicate::Kind::Or: {
      const std::uint32_t first = node.right_first ? node.right : node.left;
      const std::uint32_t second = node.right_first ? node.left : node.right;
      return eval(first, columns, row) || eval(second, columns, row);
    }
    case Predicate::Kind::Not:
      return !eval(node.left, columns, row);
    case Predicate::Kind::Constant:
      return node.value;
    default:
      break;
  }
  const TypedCell a = read_cell(node.column, columns, row);
  const TypedCell b = read_cell(node.second, columns, row);
  return test_leaf(node, a, b);
}

bool PredicateEvaluator::castable(const PlanNode& node, const TypedCell& cell) const {
  return dispatch_kind(columns_[node.column].kind,
                       [&]<FieldTag Tag>(KindTag<Tag>) { return KindTraits<Tag>::value_castable(cell, *node.target); });
}

bool PredicateEvaluator::test_leaf(const PlanNode& node, const TypedCell& a, const TypedCell& b) {
  using K = Predicate::Kind;
  if (a.is_absent()) {
    // The null rule of each kind.
    switch (node.kind) {
      case K::NotEquals:
      case K::NotIn:
      case K::IsNullOrEmpty:
      case K::IsNull:
        return true;
      default:
        return false;
    }
  }
  RenderBuffer buffer;
  switch (node.kind) {
    case K::NotEquals:
      return cell_text(a, buffer) != node.text;
    case K::Equals:
      return cell_text(a, buffer) == node.text;
    case K::CompareColumns:
      return !b.is_absent() && typed_compare(a, b, node.op);
    case K::Compare: {
      const LiteralCache& cache = node.literal;
      const bool same_kind = cache.filled && cache.kind == a.kind &&
                             (a.kind != FieldTag::Timestamp || cache.unit == a.unit) &&
                             (a.kind != FieldTag::Decimal128 || cache.scale == a.scale);
      if (same_kind) {
        return cache.value && typed_compare(a, *cache.value, node.op);
      }
      const std::optional<TypedCell> literal = parse_literal_as(a.kind, a.unit, a.scale, node.text);
      return literal && typed_compare(a, *literal, node.op);
    }
    case K::StartsWith:
      return cell_text(a, buffer).starts_with(node.text);
    case K::EndsWith:
      return cell_text(a, buffer).ends_with(node.text);
    case K::In:
      return list_contains(node.sorted_texts, cell_text(a, buffer));
    case K::NotIn:
      return !list_contains(node.sorted_texts, cell_text(a, buffer));
    case K::Constant:
      return node.value;
    case K::IsNullOrEmpty:
      return cell_text(a, buffer).empty();
    case K::ArithmeticCompare: {
      double x = 0;
      switch (a.kind) {
        case FieldTag::String: {
          const std::optional<double> parsed = parse_float64(a.str);
          if (!parsed) return false;
          x = *parsed;
          break;
        }
        case FieldTag::Int64: x = static_cast<double>(a.i64); break;
        case FieldTag::Float64: x = a.f64; break;
        case FieldTag::Decimal128:
          x = static_cast<double>(a.dec) / (a.scale <= 38 ? kPow10Double[a.scale] : std::pow(10.0, a.scale));
          break;
        default:
          return false;
      }
      switch (node.arith) {
        case ArithOp::Add: x += node.operand; break;
        case ArithOp::Sub: x -= node.operand; break;
        case ArithOp::Mul: x *= node.operand; break;
        case ArithOp::Div:
        default:
          if (node.operand == 0) return false;
          x /= node.operand;
          break;
      }
      return node.number && float_compare(x, *node.number, node.op);
    }
    case K::TrimCompare:
      return text_compare(trim(cell_text(a, buffer), node.trim), node.text, node.op);
    case K::LowercaseCompare:
    case K::UppercaseCompare:
      return text_compare(map_case(cell_text(a, buffer), node.kind == K::UppercaseCompare, scratch_), node.text,
                          node.op);
    case K::ReplaceCompare:
      return text_compare(replace_all(cell_text(a, buffer), node.search, node.replacement, scratch_), node.text,
                          node.op);
    case K::LengthCompare:
      return node.number &&
             float_compare(static_cast<double>(count_chars(cell_text(a, buffer))), *node.number, node.op);
    case K::Contains:
      return cell_text(a, buffer).find(node.text) != std::string_view::npos;
    case K::IsNull:
      return false;
    case K::CastableTo:
      return castable(node, a);
    case K::Matches: {
      const std::string_view text = cell_text(a, buffer);
      return RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *node.regex);
    }
    case K::And:
    case K::Or:
    case K::Not:
      break;
  }
  return false;
}

}  // namespace vorpel
