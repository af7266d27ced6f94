// The table builder as the string cast drives it: one declared column
// "value", strict types on, one begin_row / push_scalar / end_row per input
// row, then finish. "RowsOnly" leaves out finish; the "Accumulator" runs
// append the same texts to a bare accumulator, so RowsOnly minus Accumulator
// is the builder's own per-row cost.
// items/s gives rows per second.

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/columnar/accumulator.h"
#include "core/table_builder/table_builder.h"

namespace vorpel {
namespace {

constexpr std::size_t kRows = 1 << 16;

std::vector<std::optional<std::string>> make_inputs(FieldTag tag) {
  std::mt19937_64 gen(7);
  std::vector<std::optional<std::string>> out;
  out.reserve(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    if (gen() % 50 == 0) {
      out.emplace_back(std::nullopt);
    } else if (tag == FieldTag::Int64) {
      out.emplace_back(std::to_string(static_cast<std::int64_t>(gen() % 2000000000) - 1000000000));
    } else {
      out.emplace_back("item_" + std::to_string(gen() % 100000));
    }
  }
  return out;
}

std::shared_ptr<const BuilderOptions> cast_options(FieldTag tag) {
  auto o = std::make_shared<BuilderOptions>();
  o->declared_columns = {"value"};
  o->column_types.emplace("value", FieldType::simple(tag));
  o->strict_types = true;
  return o;
}

void BM_BuilderCastPath(benchmark::State& state) {
  const FieldTag tag = static_cast<FieldTag>(state.range(0));
  const auto inputs = make_inputs(tag);
  const auto options = cast_options(tag);
  for (auto _ : state) {
    TableBuilder builder(options, std::nullopt, std::nullopt, kRows);
    for (const auto& text : inputs) {
      builder.begin_row();
      if (text) builder.push_scalar(ScalarValue::of_str(*text));
      builder.end_row();
    }
    auto batch = builder.finish();
    if (!batch) state.SkipWithError(batch.error().text().c_str());
    benchmark::DoNotOptimize(batch);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
}

// The per-row path alone: the builder is dropped without finishing.
void BM_BuilderRowsOnly(benchmark::State& state) {
  const FieldTag tag = static_cast<FieldTag>(state.range(0));
  const auto inputs = make_inputs(tag);
  const auto options = cast_options(tag);
  for (auto _ : state) {
    TableBuilder builder(options, std::nullopt, std::nullopt, kRows);
    for (const auto& text : inputs) {
      builder.begin_row();
      if (text) builder.push_scalar(ScalarValue::of_str(*text));
      builder.end_row();
    }
    benchmark::DoNotOptimize(builder.row_index());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
}

void BM_AccumulatorOnly(benchmark::State& state) {
  const FieldTag tag = static_cast<FieldTag>(state.range(0));
  const auto inputs = make_inputs(tag);
  for (auto _ : state) {
    ColumnAccumulator column = ColumnAccumulator::create(FieldType::simple(tag), kRows);
    for (const auto& text : inputs) {
      benchmark::DoNotOptimize(column.append_text(text ? std::optional<std::string_view>(*text) : std::nullopt));
    }
    benchmark::DoNotOptimize(column.len());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
}

BENCHMARK(BM_BuilderCastPath)
    ->Arg(static_cast<int>(FieldTag::Int64))
    ->Arg(static_cast<int>(FieldTag::String))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuilderRowsOnly)
    ->Arg(static_cast<int>(FieldTag::Int64))
    ->Arg(static_cast<int>(FieldTag::String))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AccumulatorOnly)
    ->Arg(static_cast<int>(FieldTag::Int64))
    ->Arg(static_cast<int>(FieldTag::String))
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorpel
