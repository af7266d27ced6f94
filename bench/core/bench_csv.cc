// The CSV tokeniser alone (records and fields, no copies): bytes per second
// on an order-export-like text (short typed fields, a free-text note quoted
// now and then, with delimiters, doubled quotes and line breaks), or on the
// file named by VORPEL_BENCH_CSV.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "core/readers/csv_tokenise.h"

namespace {

using namespace vorpel::readers;

std::string input() {
  if (const char* path = std::getenv("VORPEL_BENCH_CSV")) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::mt19937_64 rng(42);
  std::string out = "id,day,placed,amount,price,paid,region,note\n";
  const char* words[] = {"alpha", "beta", "gamma", "delta", "quick", "brown", "fox", "café"};
  while (out.size() < (std::size_t{64} << 20)) {
    out += std::to_string(10000000000 + rng() % 1000000000) + ",2021-03-" + std::to_string(10 + rng() % 18) +
           ",05/03/2021 12:" + std::to_string(10 + rng() % 50) + ":00," + std::to_string(rng() % 100000) + "." +
           std::to_string(10 + rng() % 90) + "," + std::to_string(rng() % 1000) + ".25," +
           (rng() % 2 ? "true" : "false") + ",north,";
    const unsigned kind = rng() % 100;
    std::string note = std::string(words[rng() % 8]) + " " + words[rng() % 8] + " " + words[rng() % 8];
    if (kind < 10) note = "\"" + note + ", " + words[rng() % 8] + "\"";
    if (kind >= 10 && kind < 13) note = "\"" + note + "\n\"\"quoted\"\"\"";
    out += note + "\n";
  }
  return out;
}

struct CountingSink {
  std::size_t fields = 0;
  std::size_t bytes = 0;
  void field(std::size_t, std::string_view text, bool) {
    ++fields;
    bytes += text.size();
  }
  bool end_record(std::size_t, const char*, CsvProblem&) { return true; }
  void drop_record(std::size_t) {}
};

void BM_Tokenise(benchmark::State& state) {
  const std::string text = input();
  const CsvDialect dialect;
  for (auto _ : state) {
    CountingSink sink;
    const TokeniseResult r = tokenise(text.data(), text.data() + text.size(), true, dialect, sink);
    benchmark::DoNotOptimize(r.records);
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Tokenise)->Unit(benchmark::kMillisecond);

void BM_CountLineBreaks(benchmark::State& state) {
  const std::string text = input();
  for (auto _ : state) benchmark::DoNotOptimize(count_line_breaks(text.data(), text.data() + text.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CountLineBreaks)->Unit(benchmark::kMillisecond);

}  // namespace
