#pragma once
// The row filter of the table builder: a tree of tests on the values of named
// columns, combined with and, or and not. Trees are built by the embedding code
// (see the static builders below) and handed to the builder complete; they are
// immutable afterwards and may be shared between builders and threads.
//
// Column names inside a tree are input field names; users of a tree map them
// through the builder's renames before looking a column up.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/field_type.h"

namespace re2 {
class RE2;
}

namespace vorpel {

// Comparison operator codes. Any code outside 0..5 behaves as `Ne`.
enum class CompareOp : std::uint8_t { Gt = 0, Lt = 1, Ge = 2, Le = 3, Eq = 4, Ne = 5 };
// Arithmetic operator codes. Any code above 3 divides.
enum class ArithOp : std::uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };
// Trim modes. Like the operator codes above, a code outside the range behaves
// as the highest one: any code above 2 trims the end only.
enum class TrimMode : std::uint8_t { Both = 0, Start = 1, End = 2 };

CompareOp compare_op_from_code(std::uint8_t code);
ArithOp arith_op_from_code(std::uint8_t code);
TrimMode trim_mode_from_code(std::uint8_t code);

// Input field name -> output column name (the builder's `renames`).
using RenameMap = std::map<std::string, std::string, std::less<>>;

class Predicate;

// Owning pointer to a child tree that copies deeply, so that trees have plain
// value semantics.
class PredicateBox {
 public:
  explicit PredicateBox(Predicate tree);
  PredicateBox(const PredicateBox& other);
  PredicateBox(PredicateBox&&) noexcept = default;
  PredicateBox& operator=(const PredicateBox& other);
  PredicateBox& operator=(PredicateBox&&) noexcept = default;
  ~PredicateBox();

  const Predicate& operator*() const { return *tree_; }
  const Predicate* operator->() const { return tree_.get(); }

 private:
  std::unique_ptr<Predicate> tree_;
};

class Predicate {
 public:
  // Node kinds in their fixed order: the number is the kind's position and the
  // index of the node alternative below.
  enum class Kind : std::uint8_t {
    NotEquals = 0,
    Equals = 1,
    CompareColumns = 2,
    Compare = 3,
    StartsWith = 4,
    EndsWith = 5,
    In = 6,
    NotIn = 7,
    Constant = 8,
    IsNullOrEmpty = 9,
    ArithmeticCompare = 10,
    TrimCompare = 11,
    LowercaseCompare = 12,
    UppercaseCompare = 13,
    ReplaceCompare = 14,
    LengthCompare = 15,
    Contains = 16,
    IsNull = 17,
    CastableTo = 18,
    Matches = 19,
    And = 20,
    Or = 21,
    Not = 22,
  };

  struct NotEquals { std::string column; std::string text; };
  struct Equals { std::string column; std::string text; };
  struct CompareColumns { std::string column; std::string second_column; CompareOp op; };
  struct Compare { std::string column; std::string literal; CompareOp op; };
  struct StartsWith { std::string column; std::string text; };
  struct EndsWith { std::string column; std::string text; };
  struct In { std::string column; std::vector<std::string> texts; };
  struct NotIn { std::string column; std::vector<std::string> texts; };
  struct Constant { bool value; };
  struct IsNullOrEmpty { std::string column; };
  struct ArithmeticCompare {
    std::string column;
    std::string literal;
    double operand;
    ArithOp arith;
    CompareOp op;
  };
  struct TrimCompare { std::string column; std::string literal; TrimMode trim; CompareOp op; };
  struct LowercaseCompare { std::string column; std::string literal; CompareOp op; };
  struct UppercaseCompare { std::string column; std::string literal; CompareOp op; };
  struct ReplaceCompare {
    std::string column;
    std::string search;
    std::string replacement;
    std::string literal;
    CompareOp op;
  };
  struct LengthCompare { std::string column; std::string literal; CompareOp op; };
  struct Contains { std::string column; std::string text; };
  struct IsNull { std::string column; };
  struct CastableTo { std::string column; FieldType target; };
  // The compiled expression is immutable and shared by every copy of the node.
  // RE2 is safe for concurrent searches on one compiled object (it keeps its
  // matcher scratch state internally, behind its own locks), so the node needs
  // no pool of matchers of its own: each copy searching concurrently is safe.
  struct Matches {
    std::string column;
    std::string pattern;
    std::shared_ptr<const re2::RE2> regex;
  };
  struct And { PredicateBox left; PredicateBox right; };
  struct Or { PredicateBox left; PredicateBox right; };
  struct Not { PredicateBox child; };

  using Node = std::variant<NotEquals, Equals, CompareColumns, Compare, StartsWith, EndsWith, In, NotIn,
                            Constant, IsNullOrEmpty, ArithmeticCompare, TrimCompare, LowercaseCompare,
                            UppercaseCompare, ReplaceCompare, LengthCompare, Contains, IsNull, CastableTo,
                            Matches, And, Or, Not>;

  // Builders.
  static Predicate not_equals(std::string column, std::string text);
  static Predicate equals(std::string column, std::string text);
  static Predicate compare_columns(std::string column, std::string second_column, CompareOp op);
  static Predicate compare(std::string column, std::string literal, CompareOp op);
  static Predicate starts_with(std::string column, std::string text);
  static Predicate ends_with(std::string column, std::string text);
  static Predicate in(std::string column, std::vector<std::string> texts);
  static Predicate not_in(std::string column, std::vector<std::string> texts);
  static Predicate constant(bool value);
  static Predicate is_null_or_empty(std::string column);
  static Predicate arithmetic_compare(std::string column, std::string literal, double operand, ArithOp arith,
                                      CompareOp op);
  static Predicate trim_compare(std::string column, std::string literal, TrimMode trim, CompareOp op);
  static Predicate lowercase_compare(std::string column, std::string literal, CompareOp op);
  static Predicate uppercase_compare(std::string column, std::string literal, CompareOp op);
  static Predicate replace_compare(std::string column, std::string search, std::string replacement,
                                   std::string literal, CompareOp op);
  static Predicate length_compare(std::string column, std::string literal, CompareOp op);
  static Predicate contains(std::string column, std::string text);
  static Predicate is_null(std::string column);
  static Predicate castable_to(std::string column, FieldType target);
  // Compiles the pattern with RE2's default (Perl-like, UTF-8) syntax. An
  // invalid pattern is a `Plan` error:
  //   invalid regular expression {pattern, quoted}: {RE2's description}
  static Result<Predicate> matches(std::string column, std::string pattern);
  static Predicate and_(Predicate left, Predicate right);
  static Predicate or_(Predicate left, Predicate right);
  static Predicate not_(Predicate child);

  explicit Predicate(Node node) : node_(std::move(node)) {}

  Kind kind() const { return static_cast<Kind>(node_.index()); }
  const Node& node() const { return node_; }
  // The node as alternative T, or null when the node is of another kind.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&node_);
  }

 private:
  Node node_;
};

static_assert(std::variant_size_v<Predicate::Node> == 23);

// Deep copy: texts are copied, a compiled expression is shared.
Predicate clone(const Predicate& tree);

// Every column name in the tree, depth first, left subtree before right;
// `CompareColumns` gives its first then its second column; duplicates are kept.
std::vector<std::string> referenced_columns(const Predicate& tree);

// Whether some column name of the tree, mapped through `renames`, equals
// `output_name`.
bool refers_to(const Predicate& tree, std::string_view output_name, const RenameMap& renames);

// The output name of an input field name.
std::string_view renamed(std::string_view name, const RenameMap& renames);

// The column index of an output name, or nothing when no such column exists.
using NameIndexLookup = std::function<std::optional<std::uint64_t>(std::string_view output_name)>;

// The order key of a subtree: the smallest column index among the columns it
// refers to (names mapped through `renames`, then looked up); a name without a
// column and a `Constant` give the largest value.
inline constexpr std::uint64_t kNoColumnKey = UINT64_MAX;
std::uint64_t order_key(const Predicate& tree, const NameIndexLookup& name_index, const RenameMap& renames);

}  // namespace vorpel
