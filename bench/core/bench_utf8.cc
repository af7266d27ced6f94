// UTF-8 validation of a whole string column, the check a cast to an Arrow
// string array is left with: 10M short texts (62 MB), mixed (about one value
// in 11 has a non-ASCII character) and pure ASCII. bytes/s counts the text
// bytes; a plain memcpy of the same bytes is the yardstick for memory speed.

#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/columnar/utf8_check.h"

namespace vorpel {
namespace {

constexpr std::size_t kRows = 10'000'000;

struct Column {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int32_t> offsets;
};

// Words drawn uniformly; one of the eleven ("élit") is not ASCII, and
// `ascii` replaces it with a word of the same length.
Column make_column(bool ascii) {
  const std::string_view words[] = {"lorem",  "ipsum", "dolor", "sit", "amet", "consectetur", ascii ? "elit!" : "élit",
                                    "sed do eiusmod", "", "tempor", "incididunt"};
  std::mt19937_64 gen(7);
  Column c;
  c.bytes.reserve(kRows * 7);
  c.offsets.reserve(kRows + 1);
  c.offsets.push_back(0);
  for (std::size_t i = 0; i < kRows; ++i) {
    const std::string_view w = words[gen() % 11];
    c.bytes.insert(c.bytes.end(), w.begin(), w.end());
    c.offsets.push_back(static_cast<std::int32_t>(c.bytes.size()));
  }
  return c;
}

const Column& mixed() {
  static const Column c = make_column(false);
  return c;
}
const Column& ascii() {
  static const Column c = make_column(true);
  return c;
}

void run_all_texts_valid(benchmark::State& state, const Column& c, utf8::Impl impl) {
  for (auto _ : state) {
    const bool ok = utf8::all_texts_valid(c.bytes.data(), c.offsets.data(), kRows, impl);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("column reported invalid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
}

// The bytes alone, as one buffer (no row starts).
void run_valid_buffer(benchmark::State& state, const Column& c, utf8::Impl impl) {
  for (auto _ : state) {
    const bool ok = utf8::is_valid_buffer(c.bytes.data(), c.bytes.size(), impl);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("bytes reported invalid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

void run_memcpy(benchmark::State& state, const Column& c) {
  std::vector<std::uint8_t> out(c.bytes.size());
  for (auto _ : state) {
    std::memcpy(out.data(), c.bytes.data(), c.bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

// The implementation this CPU gets, then the scalar fallback.
void BM_AllTextsValid_Mixed(benchmark::State& state) { run_all_texts_valid(state, mixed(), utf8::best_impl()); }
void BM_AllTextsValid_Ascii(benchmark::State& state) { run_all_texts_valid(state, ascii(), utf8::best_impl()); }
void BM_AllTextsValid_Mixed_Scalar(benchmark::State& state) {
  run_all_texts_valid(state, mixed(), utf8::Impl::Scalar);
}
void BM_AllTextsValid_Ascii_Scalar(benchmark::State& state) {
  run_all_texts_valid(state, ascii(), utf8::Impl::Scalar);
}
void BM_ValidBuffer_Mixed(benchmark::State& state) { run_valid_buffer(state, mixed(), utf8::best_impl()); }
void BM_ValidBuffer_Mixed_Scalar(benchmark::State& state) { run_valid_buffer(state, mixed(), utf8::Impl::Scalar); }
void BM_Memcpy_Mixed(benchmark::State& state) { run_memcpy(state, mixed()); }

BENCHMARK(BM_AllTextsValid_Mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllTextsValid_Ascii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllTextsValid_Mixed_Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllTextsValid_Ascii_Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidBuffer_Mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidBuffer_Mixed_Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_Mixed)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorpel
