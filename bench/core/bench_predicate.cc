// Row predicate evaluation, in ns per row (items/s counts rows).
//
// Seven columns of people-like data (texts, integers, floats, dates). The
// "Committed" runs evaluate the tree on rows already in the columns; the
// "Pending" runs feed each row's seven values to a pending row as text (the
// copy, the provisional re-evaluation at every predicate-column value and the
// end-of-row decision), which is the builder's per-row predicate cost while it
// buffers rows.

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/columnar/accumulator.h"
#include "core/predicate/evaluate.h"
#include "core/predicate/pending_row.h"
#include "core/predicate/predicate.h"

namespace vorpel {
namespace {

constexpr std::size_t kRows = 1 << 15;

struct ColumnSpec {
  const char* name;
  FieldType type;
};

const ColumnSpec kSpecs[] = {
    {"name", FieldType::simple(FieldTag::String)},   {"city", FieldType::simple(FieldTag::Dictionary)},
    {"state", FieldType::simple(FieldTag::String)},  {"age", FieldType::simple(FieldTag::Int64)},
    {"score", FieldType::simple(FieldTag::Float64)}, {"email", FieldType::simple(FieldTag::String)},
    {"joined", FieldType::simple(FieldTag::Date32)},
};
constexpr std::size_t kColumns = std::size(kSpecs);

class BenchColumns final : public ColumnSource {
 public:
  std::uint64_t column_count() const override { return columns.size(); }
  std::optional<std::uint32_t> find_column(std::string_view name) const override {
    for (std::uint32_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return i;
    }
    return std::nullopt;
  }
  const ColumnAccumulator& column(std::uint32_t index) const override { return columns[index]; }

  std::vector<ColumnAccumulator> columns;
  std::vector<std::string> names;
};

// Row texts, one vector per column; an empty optional is a missing value.
std::vector<std::vector<std::optional<std::string>>> make_rows() {
  static const char* const kCities[] = {"San Jose", "San Diego", "Austin", "Boston", "Seattle", "Denver", "Miami"};
  static const char* const kStates[] = {"CA", "TX", "MA", "WA", "CO", "FL", "NY", "OR"};
  std::mt19937_64 gen(11);
  std::vector<std::vector<std::optional<std::string>>> rows(kRows);
  for (auto& row : rows) {
    row.resize(kColumns);
    row[0] = "person_" + std::to_string(gen() % 100000);
    row[1] = kCities[gen() % std::size(kCities)];
    row[2] = kStates[gen() % std::size(kStates)];
    row[3] = std::to_string(18 + gen() % 60);
    row[4] = std::to_string(static_cast<double>(gen() % 10000) / 100.0);
    if (gen() % 10 != 0) row[5] = "user" + std::to_string(gen() % 5000) + "@example.com";
    row[6] = "20" + std::to_string(10 + gen() % 14) + "-0" + std::to_string(1 + gen() % 9) + "-1" +
             std::to_string(gen() % 10);
  }
  return rows;
}

// (city starts with "San" or state in a list) and age >= 30 and score < 75.5
// and email present and joined on or after 2015-01-01 (day 16436).
Predicate realistic_tree() {
  using P = Predicate;
  return P::and_(
      P::and_(P::or_(P::starts_with("city", "San"), P::in("state", {"CA", "NY", "WA", "OR", "NV", "AZ"})),
              P::compare("age", "30", CompareOp::Ge)),
      P::and_(P::and_(P::compare("score", "75.5", CompareOp::Lt), P::not_(P::is_null("email"))),
              P::compare("joined", "16436", CompareOp::Ge)));
}

// Text-heavy: a regular expression and a case-mapped comparison.
Predicate text_tree() {
  using P = Predicate;
  return P::or_(P::and_(*P::matches("email", "^user[0-9]*7@"), P::lowercase_compare("city", "san", CompareOp::Gt)),
                P::length_compare("name", "11", CompareOp::Gt));
}

BenchColumns fill_columns(const std::vector<std::vector<std::optional<std::string>>>& rows) {
  BenchColumns columns;
  for (const ColumnSpec& spec : kSpecs) {
    columns.columns.push_back(ColumnAccumulator::create(spec.type, kRows));
    columns.names.emplace_back(spec.name);
  }
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < kColumns; ++c) {
      if (row[c]) {
        columns.columns[c].append_text(*row[c]);
      } else {
        columns.columns[c].append_null();
      }
    }
  }
  return columns;
}

void run_committed(benchmark::State& state, const Predicate& tree) {
  const auto rows = make_rows();
  const BenchColumns columns = fill_columns(rows);
  PredicateEvaluator evaluator(std::make_shared<const Predicate>(tree), {});
  std::uint64_t kept = 0;
  for (auto _ : state) {
    for (std::uint64_t row = 0; row < kRows; ++row) kept += evaluator.evaluate_row(columns, row);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  // `kept` feeds this counter, which keeps the evaluations alive. (Passing it
  // to DoNotOptimize instead miscompiles with this GCC and benchmark 1.7.)
  state.counters["kept_fraction"] =
      static_cast<double>(kept) / static_cast<double>(state.iterations() * kRows);
}

void run_pending(benchmark::State& state, const Predicate& tree) {
  const auto rows = make_rows();
  BenchColumns columns;  // empty columns: the values stay in the pending row
  for (const ColumnSpec& spec : kSpecs) {
    columns.columns.push_back(ColumnAccumulator::create(spec.type, 64));
    columns.names.emplace_back(spec.name);
  }
  const std::vector<std::string> predicate_columns = referenced_columns(tree);
  PendingRow pending(std::make_shared<const Predicate>(tree), {}, predicate_columns);
  std::uint64_t kept = 0;
  for (auto _ : state) {
    for (std::uint64_t r = 0; r < kRows; ++r) {
      pending.reset_pending(0, kColumns);
      const auto& row = rows[r];
      for (std::uint32_t c = 0; c < kColumns; ++c) {
        if (!row[c]) continue;
        pending.buffer_value(c, columns.names[c], ScalarValue::of_str(*row[c]), columns);
      }
      kept += pending.decide(columns);
      pending.clear_row();
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  // `kept` feeds this counter, which keeps the evaluations alive. (Passing it
  // to DoNotOptimize instead miscompiles with this GCC and benchmark 1.7.)
  state.counters["kept_fraction"] =
      static_cast<double>(kept) / static_cast<double>(state.iterations() * kRows);
}

void BM_CommittedRealistic(benchmark::State& state) { run_committed(state, realistic_tree()); }
void BM_PendingRealistic(benchmark::State& state) { run_pending(state, realistic_tree()); }
void BM_CommittedTextHeavy(benchmark::State& state) { run_committed(state, text_tree()); }
void BM_PendingTextHeavy(benchmark::State& state) { run_pending(state, text_tree()); }

BENCHMARK(BM_CommittedRealistic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PendingRealistic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommittedTextHeavy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PendingTextHeavy)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorpel
