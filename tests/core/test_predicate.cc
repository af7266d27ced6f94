// The predicate tree: node kinds and their numbering, operator codes, the
// column queries, order keys, deep copies and regular-expression compilation.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "core/predicate/predicate.h"

namespace vorpel {
namespace {

using P = Predicate;
using K = Predicate::Kind;

P regex(std::string column, std::string pattern) { return *P::matches(std::move(column), std::move(pattern)); }

// ---------------------------------------------------------------- kinds

struct KindCase {
  const char* label;
  Predicate tree;
  int kind;
};

class PredicateKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(PredicateKind, BuilderMakesTheKindAtItsDeclaredPosition) {
  const KindCase& c = GetParam();
  EXPECT_EQ(static_cast<int>(c.tree.kind()), c.kind);
  EXPECT_EQ(c.tree.node().index(), static_cast<std::size_t>(c.kind));
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, PredicateKind,
    ::testing::Values(KindCase{"NotEquals", P::not_equals("a", "x"), 0}, KindCase{"Equals", P::equals("a", "x"), 1},
                      KindCase{"CompareColumns", P::compare_columns("a", "b", CompareOp::Lt), 2},
                      KindCase{"Compare", P::compare("a", "5", CompareOp::Gt), 3},
                      KindCase{"StartsWith", P::starts_with("a", "x"), 4},
                      KindCase{"EndsWith", P::ends_with("a", "x"), 5}, KindCase{"In", P::in("a", {"x"}), 6},
                      KindCase{"NotIn", P::not_in("a", {"x"}), 7}, KindCase{"Constant", P::constant(true), 8},
                      KindCase{"IsNullOrEmpty", P::is_null_or_empty("a"), 9},
                      KindCase{"ArithmeticCompare",
                               P::arithmetic_compare("a", "1", 2.0, ArithOp::Mul, CompareOp::Eq), 10},
                      KindCase{"TrimCompare", P::trim_compare("a", "x", TrimMode::Start, CompareOp::Eq), 11},
                      KindCase{"LowercaseCompare", P::lowercase_compare("a", "x", CompareOp::Eq), 12},
                      KindCase{"UppercaseCompare", P::uppercase_compare("a", "X", CompareOp::Eq), 13},
                      KindCase{"ReplaceCompare", P::replace_compare("a", "x", "y", "z", CompareOp::Eq), 14},
                      KindCase{"LengthCompare", P::length_compare("a", "3", CompareOp::Le), 15},
                      KindCase{"Contains", P::contains("a", "x"), 16}, KindCase{"IsNull", P::is_null("a"), 17},
                      KindCase{"CastableTo", P::castable_to("a", FieldType::simple(FieldTag::Int64)), 18},
                      KindCase{"Matches", regex("a", "x+"), 19},
                      KindCase{"And", P::and_(P::is_null("a"), P::is_null("b")), 20},
                      KindCase{"Or", P::or_(P::is_null("a"), P::is_null("b")), 21},
                      KindCase{"Not", P::not_(P::is_null("a")), 22}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- operator codes

struct CodeCase {
  std::uint8_t code;
  CompareOp compare;
  ArithOp arith;
  TrimMode trim;
};

class OperatorCodes : public ::testing::TestWithParam<CodeCase> {};

TEST_P(OperatorCodes, OutOfRangeCodesBehaveAsTheHighestCode) {
  const CodeCase& c = GetParam();
  EXPECT_EQ(compare_op_from_code(c.code), c.compare);
  EXPECT_EQ(arith_op_from_code(c.code), c.arith);
  EXPECT_EQ(trim_mode_from_code(c.code), c.trim);
}

INSTANTIATE_TEST_SUITE_P(Codes, OperatorCodes,
                         ::testing::Values(CodeCase{0, CompareOp::Gt, ArithOp::Add, TrimMode::Both},
                                           CodeCase{1, CompareOp::Lt, ArithOp::Sub, TrimMode::Start},
                                           CodeCase{2, CompareOp::Ge, ArithOp::Mul, TrimMode::End},
                                           CodeCase{3, CompareOp::Le, ArithOp::Div, TrimMode::End},
                                           CodeCase{4, CompareOp::Eq, ArithOp::Div, TrimMode::End},
                                           CodeCase{5, CompareOp::Ne, ArithOp::Div, TrimMode::End},
                                           CodeCase{6, CompareOp::Ne, ArithOp::Div, TrimMode::End},
                                           CodeCase{255, CompareOp::Ne, ArithOp::Div, TrimMode::End}),
                         [](const auto& info) { return "code" + std::to_string(info.param.code); });

// ---------------------------------------------------------------- column queries

struct ColumnsCase {
  const char* label;
  Predicate tree;
  std::vector<std::string> columns;
};

class ReferencedColumns : public ::testing::TestWithParam<ColumnsCase> {};

TEST_P(ReferencedColumns, DepthFirstLeftBeforeRightWithDuplicates) {
  EXPECT_EQ(referenced_columns(GetParam().tree), GetParam().columns);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ReferencedColumns,
    ::testing::Values(
        ColumnsCase{"Constant", P::constant(false), {}},
        ColumnsCase{"Leaf", P::contains("a", "x"), {"a"}},
        ColumnsCase{"CompareColumnsFirstThenSecond", P::compare_columns("b", "a", CompareOp::Eq), {"b", "a"}},
        ColumnsCase{"Nested",
                    P::or_(P::and_(P::equals("a", "1"), P::not_(P::is_null("b"))),
                           P::and_(P::constant(true), P::compare_columns("c", "a", CompareOp::Gt))),
                    {"a", "b", "c", "a"}},
        ColumnsCase{"EveryLeafKind",
                    P::and_(P::and_(P::in("i", {}), P::not_in("j", {})),
                            P::and_(P::replace_compare("r", "x", "y", "z", CompareOp::Eq), regex("m", "."))),
                    {"i", "j", "r", "m"}}),
    [](const auto& info) { return std::string(info.param.label); });

struct RefersCase {
  const char* output_name;
  RenameMap renames;
  bool expected;
};

class RefersTo : public ::testing::TestWithParam<RefersCase> {};

TEST_P(RefersTo, MapsEveryNameThroughRenames) {
  const Predicate tree = P::and_(P::equals("a", "1"), P::compare_columns("b", "c", CompareOp::Eq));
  const RefersCase& c = GetParam();
  EXPECT_EQ(refers_to(tree, c.output_name, c.renames), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Names, RefersTo,
                         ::testing::Values(RefersCase{"a", {}, true}, RefersCase{"c", {}, true},
                                           RefersCase{"d", {}, false},
                                           RefersCase{"x", {{"a", "x"}}, true},
                                           // A renamed name no longer answers to its input name.
                                           RefersCase{"a", {{"a", "x"}}, false},
                                           RefersCase{"a", {{"z", "a"}}, true},
                                           RefersCase{"q", {{"z", "q"}}, false},
                                           RefersCase{"c", {{"b", "c"}}, true}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

struct OrderCase {
  const char* label;
  Predicate tree;
  RenameMap renames;
  std::uint64_t expected;
};

class OrderKey : public ::testing::TestWithParam<OrderCase> {};

TEST_P(OrderKey, SmallestColumnIndexOfTheSubtree) {
  const std::map<std::string, std::uint64_t, std::less<>> name_index = {{"a", 5}, {"b", 2}, {"c", 9}, {"x", 0}};
  const NameIndexLookup lookup = [&](std::string_view name) -> std::optional<std::uint64_t> {
    auto it = name_index.find(name);
    if (it == name_index.end()) return std::nullopt;
    return it->second;
  };
  const OrderCase& c = GetParam();
  EXPECT_EQ(order_key(c.tree, lookup, c.renames), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, OrderKey,
    ::testing::Values(OrderCase{"Leaf", P::is_null("a"), {}, 5}, OrderCase{"Missing", P::is_null("zz"), {}, kNoColumnKey},
                      OrderCase{"Constant", P::constant(true), {}, kNoColumnKey},
                      OrderCase{"AndTakesMinimum", P::and_(P::is_null("a"), P::is_null("b")), {}, 2},
                      OrderCase{"OrSkipsMissing", P::or_(P::is_null("zz"), P::is_null("c")), {}, 9},
                      OrderCase{"NotTakesChild", P::not_(P::is_null("c")), {}, 9},
                      OrderCase{"CompareColumnsSecond", P::compare_columns("c", "b", CompareOp::Eq), {}, 2},
                      OrderCase{"Renamed", P::is_null("input"), {{"input", "x"}}, 0},
                      OrderCase{"RenamedAway", P::is_null("a"), {{"a", "zz"}}, kNoColumnKey}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- clone

TEST(PredicateClone, CopiesTextsAndSharesTheCompiledExpression) {
  Predicate original = P::and_(regex("col", "ab+c"), P::in("other", {"x", "y"}));
  const Predicate copy = clone(original);

  const auto* a = original.as<P::And>();
  const auto* b = copy.as<P::And>();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(&*a->left, &*b->left);
  const auto* ma = a->left->as<P::Matches>();
  const auto* mb = b->left->as<P::Matches>();
  ASSERT_NE(mb, nullptr);
  EXPECT_EQ(ma->regex.get(), mb->regex.get());
  EXPECT_EQ(mb->pattern, "ab+c");
  EXPECT_NE(ma->column.data(), mb->column.data());
  EXPECT_EQ(ma->regex.use_count(), 2);

  // The copy outlives the original and still works.
  original = P::constant(false);
  EXPECT_EQ(mb->regex.use_count(), 1);
  EXPECT_TRUE(RE2::PartialMatch("xxabbbcyy", *mb->regex));
  EXPECT_EQ(b->right->as<P::In>()->texts, (std::vector<std::string>{"x", "y"}));
}

// ---------------------------------------------------------------- regular expressions

struct PatternCase {
  const char* pattern;
  const char* message;  // null: valid
};

class MatchesPattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(MatchesPattern, InvalidPatternIsAPlanErrorAtConstruction) {
  const PatternCase& c = GetParam();
  Result<Predicate> built = P::matches("col", c.pattern);
  if (c.message == nullptr) {
    ASSERT_TRUE(built.has_value());
    EXPECT_EQ(built->kind(), K::Matches);
    return;
  }
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().kind(), ErrorKind::Plan);
  EXPECT_EQ(built.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, MatchesPattern,
    ::testing::Values(PatternCase{"(", "invalid regular expression \"(\": missing ): ("},
                      PatternCase{"a[", "invalid regular expression \"a[\": missing ]: ["},
                      PatternCase{"*a", "invalid regular expression \"*a\": no argument for repetition operator: *"},
                      PatternCase{"\\", "invalid regular expression \"\\\\\": trailing \\"},
                      PatternCase{"a{2,1}", "invalid regular expression \"a{2,1}\": invalid repetition size: {2,1}"},
                      PatternCase{"^\\d{4}-\\d\\d$", nullptr}, PatternCase{"", nullptr},
                      PatternCase{"(?i)straße|日本", nullptr}),
    [](const auto& info) { return "pattern" + std::to_string(info.index); });

}  // namespace
}  // namespace vorpel
