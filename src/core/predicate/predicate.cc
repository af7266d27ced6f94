#include "core/predicate/predicate.h"

#include <algorithm>
#include <utility>

#include <re2/re2.h>

namespace vorpel {

CompareOp compare_op_from_code(std::uint8_t code) {
  return code <= 5 ? static_cast<CompareOp>(code) : CompareOp::Ne;
}

ArithOp arith_op_from_code(std::uint8_t code) {
  return code <= 3 ? static_cast<ArithOp>(code) : ArithOp::Div;
}

TrimMode trim_mode_from_code(std::uint8_t code) {
  return code <= 2 ? static_cast<TrimMode>(code) : TrimMode::End;
}

// ---------------------------------------------------------------- PredicateBox

PredicateBox::PredicateBox(Predicate tree) : tree_(std::make_unique<Predicate>(std::move(tree))) {}
PredicateBox::PredicateBox(const PredicateBox& other) : tree_(std::make_unique<Predicate>(*other.tree_)) {}
PredicateBox& PredicateBox::operator=(const PredicateBox& other) {
  if (this != &other) tree_ = std::make_unique<Predicate>(*other.tree_);
  return *this;
}
PredicateBox::~PredicateBox() = default;

// ---------------------------------------------------------------- builders

Predicate Predicate::not_equals(std::string column, std::string text) {
  return Predicate(NotEquals{std::move(column), std::move(text)});
}
Predicate Predicate::equals(std::string column, std::string text) {
  return Predicate(Equals{std::move(column), std::move(text)});
}
Predicate Predicate::compare_columns(std::string column, std::string second_column, CompareOp op) {
  return Predicate(CompareColumns{std::move(column), std::move(second_column), op});
}
Predicate Predicate::compare(std::string column, std::string literal, CompareOp op) {
  return Predicate(Compare{std::move(column), std::move(literal), op});
}
Predicate Predicate::starts_with(std::string column, std::string text) {
  return Predicate(StartsWith{std::move(column), std::move(text)});
}
Predicate Predicate::ends_with(std::string column, std::string text) {
  return Predicate(EndsWith{std::move(column), std::move(text)});
}
Predicate Predicate::in(std::string column, std::vector<std::string> texts) {
  return Predicate(In{std::move(column), std::move(texts)});
}
Predicate Predicate::not_in(std::string column, std::vector<std::string> texts) {
  return Predicate(NotIn{std::move(column), std::move(texts)});
}
Predicate Predicate::constant(bool value) { return Predicate(Constant{value}); }
Predicate Predicate::is_null_or_empty(std::string column) { return Predicate(IsNullOrEmpty{std::move(column)}); }
Predicate Predicate::arithmetic_compare(std::string column, std::string literal, double operand, ArithOp arith,
                                       CompareOp op) {
  return Predicate(ArithmeticCompare{std::move(column), std::move(literal), operand, arith, op});
}
Predicate Predicate::trim_compare(std::string column, std::string literal, TrimMode trim, CompareOp op) {
  return Predicate(TrimCompare{std::move(column), std::move(literal), trim, op});
}
Predicate Predicate::lowercase_compare(std::string column, std::string literal, CompareOp op) {
  return Predicate(LowercaseCompare{std::move(column), std::move(literal), op});
}
Predicate Predicate::uppercase_compare(std::string column, std::string literal, CompareOp op) {
  return Predicate(UppercaseCompare{std::move(column), std::move(literal), op});
}
Predicate Predicate::replace_compare(std::string column, std::string search, std::string replacement,
                                     std::string literal, CompareOp op) {
  return Predicate(
      ReplaceCompare{std::move(column), std::move(search), std::move(replacement), std::move(literal), op});
}
Predicate Predicate::length_compare(std::string column, std::string literal, CompareOp op) {
  return Predicate(LengthCompare{std::move(column), std::move(literal), op});
}
Predicate Predicate::contains(std::string column, std::string text) {
  return Predicate(Contains{std::move(column), std::move(text)});
}
Predicate Predicate::is_null(std::string column) { return Predicate(IsNull{std::move(column)}); }
Predicate Predicate::castable_to(std::string column, FieldType target) {
  return Predicate(CastableTo{std::move(column), std::move(target)});
}

Result<Predicate> Predicate::matches(std::string column, std::string pattern) {
  RE2::Options options;
  options.set_log_errors(false);  // the error is returned, not printed
  auto regex = std::make_shared<const RE2>(pattern, options);
  if (!regex->ok()) {
    return fail(CoreError::plan("invalid regular expression " + quote_text(pattern) + ": " + regex->error()));
  }
  return Predicate(Matches{std::move(column), std::move(pattern), std::move(regex)});
}

Predicate Predicate::and_(Predicate left, Predicate right) {
  return Predicate(And{PredicateBox(std::move(left)), PredicateBox(std::move(right))});
}
Predicate Predicate::or_(Predicate left, Predicate right) {
  return Predicate(Or{PredicateBox(std::move(left)), PredicateBox(std::move(right))});
}
Predicate Predicate::not_(Predicate child) { return Predicate(Not{PredicateBox(std::move(child))}); }

Predicate clone(const Predicate& tree) { return tree; }

// ---------------------------------------------------------------- queries

namespace {

// Calls `visit(name)` for every column name of the tree in depth-first order.
template <class Visit>
void for_each_column(const Predicate& tree, Visit&& visit) {
  std::visit(
      [&](const auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Predicate::Constant>) {
        } else if constexpr (std::is_same_v<T, Predicate::And> || std::is_same_v<T, Predicate::Or>) {
          for_each_column(*node.left, visit);
          for_each_column(*node.right, visit);
        } else if constexpr (std::is_same_v<T, Predicate::Not>) {
          for_each_column(*node.child, visit);
        } else if constexpr (std::is_same_v<T, Predicate::CompareColumns>) {
          visit(node.column);
          visit(node.second_column);
        } else {
          visit(node.column);
        }
      },
      tree.node());
}

}  // namespace

std::vector<std::string> referenced_columns(const Predicate& tree) {
  std::vector<std::string> names;
  for_each_column(tree, [&](const std::string& name) { names.push_back(name); });
  return names;
}

std::string_view renamed(std::string_view name, const RenameMap& renames) {
  if (renames.empty()) return name;
  auto it = renames.find(name);
  return it == renames.end() ? name : std::string_view(it->second);
}

bool refers_to(const Predicate& tree, std::string_view output_name, const RenameMap& renames) {
  bool found = false;
  for_each_column(tree, [&](const std::string& name) {
    if (!found && renamed(name, renames) == output_name) found = true;
  });
  return found;
}

std::uint64_t order_key(const Predicate& tree, const NameIndexLookup& name_index, const RenameMap& renames) {
  std::uint64_t key = kNoColumnKey;
  for_each_column(tree, [&](const std::string& name) {
    if (auto index = name_index(renamed(name, renames))) key = std::min(key, *index);
  });
  return key;
}

}  // namespace vorpel
