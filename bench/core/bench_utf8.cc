// The check of a whole string column (offsets and UTF-8), what a cast to an
// Arrow string array is left with: 1M and 10M short texts (6.2 MB, in the L3
// cache here, and 62 MB, not), mixed (about one value in 11 has a non-ASCII
// character) and pure ASCII. bytes/s counts the text bytes; a plain memcpy of
// the same bytes is the yardstick for memory speed. The *_Cold variants write
// over 64 MB before each run (not timed), so that the column comes from
// memory rather than the cache. The argument is the row count.

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/columnar/utf8_check.h"

namespace vorpel {
namespace {

struct Column {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int32_t> offsets;
  std::size_t rows() const { return offsets.size() - 1; }
};

// Words drawn uniformly; one of the eleven ("élit") is not ASCII, and
// `ascii` replaces it with a word of the same length.
Column make_column(std::size_t rows, bool ascii) {
  const std::string_view words[] = {"lorem",  "ipsum", "dolor", "sit", "amet", "consectetur", ascii ? "elit!" : "élit",
                                    "sed do eiusmod", "", "tempor", "incididunt"};
  std::mt19937_64 gen(7);
  Column c;
  c.bytes.reserve(rows * 7);
  c.offsets.reserve(rows + 1);
  c.offsets.push_back(0);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::string_view w = words[gen() % 11];
    c.bytes.insert(c.bytes.end(), w.begin(), w.end());
    c.offsets.push_back(static_cast<std::int32_t>(c.bytes.size()));
  }
  return c;
}

// One column per (rows, ascii), built on first use.
const Column& column(const benchmark::State& state, bool ascii) {
  static std::map<std::pair<std::size_t, bool>, Column> columns;
  const auto rows = static_cast<std::size_t>(state.range(0));
  auto it = columns.find({rows, ascii});
  if (it == columns.end()) it = columns.emplace(std::pair{rows, ascii}, make_column(rows, ascii)).first;
  return it->second;
}

// Whether `impl` runs here; if not, the benchmark is reported skipped.
bool runs(benchmark::State& state, utf8::Impl impl) {
  if (utf8::impl_available(impl)) return true;
  state.SkipWithError("this CPU lacks the implementation");
  return false;
}

// Pushes earlier data out of the caches.
void evict_caches() {
  static std::vector<std::uint8_t> scratch(64 << 20);
  static std::uint8_t round = 0;
  std::memset(scratch.data(), ++round, scratch.size());
  benchmark::ClobberMemory();
}

void run_check(benchmark::State& state, bool ascii, utf8::Impl impl, bool cold = false) {
  const Column& c = column(state, ascii);
  if (!runs(state, impl)) return;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      evict_caches();
      state.ResumeTiming();
    }
    const bool ok = utf8::check_text_column(c.bytes.data(), c.bytes.size(), c.offsets.data(), c.rows(), impl) ==
                    utf8::TextColumnCheck::Valid;
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("column reported invalid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * c.rows()));
}

// The bytes alone, as one buffer (no row starts).
void run_valid_buffer(benchmark::State& state, bool ascii, utf8::Impl impl) {
  const Column& c = column(state, ascii);
  if (!runs(state, impl)) return;
  for (auto _ : state) {
    const bool ok = utf8::is_valid_buffer(c.bytes.data(), c.bytes.size(), impl);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("bytes reported invalid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

void run_memcpy(benchmark::State& state, bool cold) {
  const Column& c = column(state, false);
  std::vector<std::uint8_t> out(c.bytes.size());
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      evict_caches();
      state.ResumeTiming();
    }
    std::memcpy(out.data(), c.bytes.data(), c.bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

void BM_Memcpy_Mixed(benchmark::State& state) { run_memcpy(state, false); }
void BM_Memcpy_Mixed_Cold(benchmark::State& state) { run_memcpy(state, true); }
void BM_CheckColumn_Mixed_Cold(benchmark::State& state) { run_check(state, false, utf8::best_impl(), true); }

// The implementation this CPU gets, then each one by name.
void BM_CheckColumn_Mixed(benchmark::State& state) { run_check(state, false, utf8::best_impl()); }
void BM_CheckColumn_Ascii(benchmark::State& state) { run_check(state, true, utf8::best_impl()); }
void BM_ValidBuffer_Mixed(benchmark::State& state) { run_valid_buffer(state, false, utf8::best_impl()); }
void BM_CheckColumn_Mixed_Scalar(benchmark::State& state) { run_check(state, false, utf8::Impl::Scalar); }
void BM_CheckColumn_Ascii_Scalar(benchmark::State& state) { run_check(state, true, utf8::Impl::Scalar); }
void BM_ValidBuffer_Mixed_Scalar(benchmark::State& state) { run_valid_buffer(state, false, utf8::Impl::Scalar); }
void BM_CheckColumn_Mixed_Avx2(benchmark::State& state) { run_check(state, false, utf8::Impl::Avx2); }
void BM_CheckColumn_Ascii_Avx2(benchmark::State& state) { run_check(state, true, utf8::Impl::Avx2); }
void BM_ValidBuffer_Mixed_Avx2(benchmark::State& state) { run_valid_buffer(state, false, utf8::Impl::Avx2); }
void BM_CheckColumn_Mixed_Avx512(benchmark::State& state) { run_check(state, false, utf8::Impl::Avx512); }
void BM_CheckColumn_Ascii_Avx512(benchmark::State& state) { run_check(state, true, utf8::Impl::Avx512); }
void BM_ValidBuffer_Mixed_Avx512(benchmark::State& state) { run_valid_buffer(state, false, utf8::Impl::Avx512); }

#define VORPEL_SIZES Arg(1'000'000)->Arg(10'000'000)->Unit(benchmark::kMillisecond)

BENCHMARK(BM_Memcpy_Mixed)->VORPEL_SIZES;
BENCHMARK(BM_Memcpy_Mixed_Cold)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Mixed_Cold)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Mixed)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Ascii)->VORPEL_SIZES;
BENCHMARK(BM_ValidBuffer_Mixed)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Mixed_Avx2)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Ascii_Avx2)->VORPEL_SIZES;
BENCHMARK(BM_ValidBuffer_Mixed_Avx2)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Mixed_Avx512)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Ascii_Avx512)->VORPEL_SIZES;
BENCHMARK(BM_ValidBuffer_Mixed_Avx512)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Mixed_Scalar)->VORPEL_SIZES;
BENCHMARK(BM_CheckColumn_Ascii_Scalar)->VORPEL_SIZES;
BENCHMARK(BM_ValidBuffer_Mixed_Scalar)->VORPEL_SIZES;

}  // namespace
}  // namespace vorpel
