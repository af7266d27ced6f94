// Per accumulator kind on realistic cell texts: append_text one value at a
// time (BM_<Kind>), and append_texts over the same texts laid out as an Arrow
// string column (BM_<Kind>Column), the cast's path. Each iteration fills a
// fresh accumulator (created with the row count as its capacity, as the table
// builder does) with kRows values; items/s gives values per second.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/columnar/accumulator.h"

namespace vorpel {
namespace {

constexpr std::size_t kRows = 1 << 16;

using Gen = std::mt19937_64;

std::string format(const char* fmt, auto... args) {
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, static_cast<std::size_t>(n));
}

// Texts as they arrive from CSV-like sources; one in fifty is null.
std::vector<std::optional<std::string>> make_inputs(std::string (*one)(Gen&)) {
  Gen gen(42);
  std::vector<std::optional<std::string>> out;
  out.reserve(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    if (gen() % 50 == 0) {
      out.emplace_back(std::nullopt);
    } else {
      out.emplace_back(one(gen));
    }
  }
  return out;
}

std::string text_value(Gen& g) {
  static const char* const kWords[] = {"customer", "order", "shipped", "pending", "north", "returned", "priority"};
  return std::string(kWords[g() % 7]) + "_" + std::to_string(g() % 100000);
}
std::string int_value(Gen& g) { return std::to_string(static_cast<std::int64_t>(g() % 2000000000) - 1000000000); }
std::string float_value(Gen& g) { return format("%.3f", static_cast<double>(g() % 10000000) / 7.0 - 50000.0); }
std::string bool_value(Gen& g) { return g() % 2 ? "true" : "false"; }
std::string date_value(Gen& g) {
  return format("%04d-%02d-%02d", 1990 + static_cast<int>(g() % 40), 1 + static_cast<int>(g() % 12),
                1 + static_cast<int>(g() % 28));
}
std::string timestamp_value(Gen& g) {
  return date_value(g) + format(" %02d:%02d:%02d.%06d", static_cast<int>(g() % 24), static_cast<int>(g() % 60),
                                static_cast<int>(g() % 60), static_cast<int>(g() % 1000000));
}
std::string pattern_timestamp_value(Gen& g) {
  return format("%02d/%02d/%04d %02d:%02d:%02d", 1 + static_cast<int>(g() % 28), 1 + static_cast<int>(g() % 12),
                1990 + static_cast<int>(g() % 40), static_cast<int>(g() % 24), static_cast<int>(g() % 60),
                static_cast<int>(g() % 60));
}
std::string decimal_value(Gen& g) {
  return format("%lld.%02d", static_cast<long long>(g() % 1000000), static_cast<int>(g() % 100));
}
// Low cardinality: 200 distinct labels.
std::string label_value(Gen& g) { return "category-" + std::to_string(g() % 200); }

void run(benchmark::State& state, const FieldType& type, std::string (*one)(Gen&)) {
  const auto inputs = make_inputs(one);
  std::vector<std::optional<std::string_view>> views(inputs.begin(), inputs.end());
  std::uint64_t bytes = 0;
  for (const auto& s : inputs) bytes += s ? s->size() : 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<ColumnAccumulator> acc(ColumnAccumulator::create(type, kRows));
    state.ResumeTiming();
    for (const auto& v : views) benchmark::DoNotOptimize(acc->append_text(v));
    benchmark::DoNotOptimize(acc->len());
    state.PauseTiming();
    acc.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// The same texts as one Arrow-style string column: 32-bit offsets, value
// bytes, validity bits.
struct Column {
  std::vector<std::int32_t> offsets{0};
  std::string bytes;
  std::vector<std::uint8_t> validity;
  TextColumnView view;
};

void run_column(benchmark::State& state, const FieldType& type, std::string (*one)(Gen&)) {
  const auto inputs = make_inputs(one);
  Column c;
  c.validity.assign((inputs.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i]) {
      c.bytes += *inputs[i];
      c.validity[i / 8] = static_cast<std::uint8_t>(c.validity[i / 8] | (1u << (i % 8)));
    }
    c.offsets.push_back(static_cast<std::int32_t>(c.bytes.size()));
  }
  c.view.offsets = c.offsets.data();
  c.view.data = c.bytes.data();
  c.view.data_size = c.bytes.size();
  c.view.validity = c.validity.data();
  c.view.length = inputs.size();
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<ColumnAccumulator> acc(ColumnAccumulator::create(type, kRows));
    state.ResumeTiming();
    benchmark::DoNotOptimize(acc->append_texts(c.view));
    benchmark::DoNotOptimize(acc->len());
    state.PauseTiming();
    acc.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

void BM_String(benchmark::State& s) { run(s, FieldType::simple(FieldTag::String), text_value); }
void BM_Int64(benchmark::State& s) { run(s, FieldType::simple(FieldTag::Int64), int_value); }
void BM_Float64(benchmark::State& s) { run(s, FieldType::simple(FieldTag::Float64), float_value); }
void BM_Boolean(benchmark::State& s) { run(s, FieldType::simple(FieldTag::Boolean), bool_value); }
void BM_Date32(benchmark::State& s) { run(s, FieldType::simple(FieldTag::Date32), date_value); }
void BM_Timestamp(benchmark::State& s) { run(s, FieldType::timestamp(TimeUnit::Microsecond), timestamp_value); }
void BM_TimestampPattern(benchmark::State& s) {
  run(s, FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y %H:%M:%S")), pattern_timestamp_value);
}
void BM_Decimal128(benchmark::State& s) { run(s, FieldType::decimal128(2), decimal_value); }
void BM_Dictionary(benchmark::State& s) { run(s, FieldType::simple(FieldTag::Dictionary), label_value); }

void BM_Int64Column(benchmark::State& s) { run_column(s, FieldType::simple(FieldTag::Int64), int_value); }
void BM_Float64Column(benchmark::State& s) { run_column(s, FieldType::simple(FieldTag::Float64), float_value); }
void BM_BooleanColumn(benchmark::State& s) { run_column(s, FieldType::simple(FieldTag::Boolean), bool_value); }
void BM_Date32Column(benchmark::State& s) { run_column(s, FieldType::simple(FieldTag::Date32), date_value); }
void BM_TimestampColumn(benchmark::State& s) {
  run_column(s, FieldType::timestamp(TimeUnit::Microsecond), timestamp_value);
}
void BM_TimestampPatternColumn(benchmark::State& s) {
  run_column(s, FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y %H:%M:%S")), pattern_timestamp_value);
}
void BM_Decimal128Column(benchmark::State& s) { run_column(s, FieldType::decimal128(2), decimal_value); }
void BM_DictionaryColumn(benchmark::State& s) { run_column(s, FieldType::simple(FieldTag::Dictionary), label_value); }

BENCHMARK(BM_String);
BENCHMARK(BM_Int64);
BENCHMARK(BM_Float64);
BENCHMARK(BM_Boolean);
BENCHMARK(BM_Date32);
BENCHMARK(BM_Timestamp);
BENCHMARK(BM_TimestampPattern);
BENCHMARK(BM_Decimal128);
BENCHMARK(BM_Dictionary);
BENCHMARK(BM_Int64Column);
BENCHMARK(BM_Float64Column);
BENCHMARK(BM_BooleanColumn);
BENCHMARK(BM_Date32Column);
BENCHMARK(BM_TimestampColumn);
BENCHMARK(BM_TimestampPatternColumn);
BENCHMARK(BM_Decimal128Column);
BENCHMARK(BM_DictionaryColumn);

}  // namespace
}  // namespace vorpel
