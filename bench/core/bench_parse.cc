// Per-value cost of the scalar parsers and renderings on realistic inputs.
// Each benchmark walks a fixed set of 4096 texts; the "per_value" counter is
// the time per parsed or rendered value.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

constexpr std::size_t kValues = 4096;

template <class Make>
std::vector<std::string> texts(Make make) {
  std::mt19937_64 rng(42);
  std::vector<std::string> out;
  out.reserve(kValues);
  for (std::size_t i = 0; i < kValues; ++i) out.push_back(make(rng));
  return out;
}

void per_value(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kValues));
  state.counters["per_value"] = benchmark::Counter(static_cast<double>(kValues),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

template <class Parse>
void run_parse(benchmark::State& state, const std::vector<std::string>& in, Parse parse) {
  for (auto _ : state) {
    for (const auto& t : in) benchmark::DoNotOptimize(parse(std::string_view(t)));
  }
  per_value(state);
}

// Integers as found in ids, counts and amounts: 1 to 12 digits, some negative.
const std::vector<std::string>& int_texts() {
  static const auto v = texts([](auto& rng) {
    const std::int64_t mag = static_cast<std::int64_t>(rng() % 1'000'000'000'000) >> (rng() % 40);
    return std::to_string(rng() % 8 == 0 ? -mag : mag);
  });
  return v;
}

// Prices and measurements with 1 to 4 decimals; a few in exponent form.
const std::vector<std::string>& float_texts() {
  static const auto v = texts([](auto& rng) {
    char buf[48];
    const double x = static_cast<double>(rng() % 10'000'000) / 100.0;
    if (rng() % 10 == 0) {
      std::snprintf(buf, sizeof buf, "%.6e", x);
    } else {
      std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(1 + rng() % 4), rng() % 6 == 0 ? -x : x);
    }
    return std::string(buf);
  });
  return v;
}

// Full-precision doubles (17 significant digits), as written by exporters.
const std::vector<std::string>& long_float_texts() {
  static const auto v = texts([](auto& rng) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.17g", std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
    return std::string(buf);
  });
  return v;
}

const std::vector<std::string>& bool_texts() {
  static const auto v = texts([](auto& rng) { return std::string(rng() % 2 ? "true" : "false"); });
  return v;
}

const std::vector<std::string>& date_texts() {
  static const auto v = texts([](auto& rng) { return render_date32(static_cast<std::int32_t>(rng() % 30000)); });
  return v;
}

// "2024-01-05 12:34:56.789" style, with "T" or a space, some without fraction.
const std::vector<std::string>& iso_timestamp_texts() {
  static const auto v = texts([](auto& rng) {
    std::string s = render_timestamp(static_cast<std::int64_t>(rng() % 2'000'000'000'000), TimeUnit::Millisecond);
    if (rng() % 2) s[10] = 'T';
    return s;
  });
  return v;
}

// "05/01/2024 12:34:56" for the pattern "%d/%m/%Y %H:%M:%S".
const std::vector<std::string>& custom_timestamp_texts() {
  static const auto v = texts([](auto& rng) {
    const std::string iso = render_timestamp(static_cast<std::int64_t>(rng() % 2'000'000'000), TimeUnit::Second);
    return iso.substr(8, 2) + "/" + iso.substr(5, 2) + "/" + iso.substr(0, 4) + iso.substr(10);
  });
  return v;
}

// Money amounts with two decimals, a few with surrounding blanks.
const std::vector<std::string>& decimal_texts() {
  static const auto v = texts([](auto& rng) {
    std::string s = render_decimal128(static_cast<int128>(rng() % 100'000'000) - 10'000'000, 2);
    return rng() % 10 == 0 ? " " + s + " " : s;
  });
  return v;
}

void BM_ParseInt64(benchmark::State& state) { run_parse(state, int_texts(), parse_int64); }
void BM_ParseFloat64(benchmark::State& state) { run_parse(state, float_texts(), parse_float64); }
void BM_ParseFloat64_17Digits(benchmark::State& state) { run_parse(state, long_float_texts(), parse_float64); }
void BM_ParseBoolean(benchmark::State& state) { run_parse(state, bool_texts(), parse_boolean); }
void BM_ParseDate32(benchmark::State& state) { run_parse(state, date_texts(), parse_date32); }
void BM_ParseTimestamp_Iso(benchmark::State& state) {
  const TimestampParser parser(TimeUnit::Microsecond, std::nullopt);
  run_parse(state, iso_timestamp_texts(), [&](std::string_view t) { return parser.parse(t); });
}
void BM_ParseTimestamp_Custom(benchmark::State& state) {
  const TimestampParser parser(TimeUnit::Microsecond, std::string("%d/%m/%Y %H:%M:%S"));
  run_parse(state, custom_timestamp_texts(), [&](std::string_view t) { return parser.parse(t); });
}
void BM_ParseDecimal128(benchmark::State& state) {
  run_parse(state, decimal_texts(), [](std::string_view t) { return parse_decimal128(t, 2); });
}
void BM_CastableTo_Decimal128(benchmark::State& state) {
  run_parse(state, decimal_texts(), [](std::string_view t) { return castable_to(FieldTag::Decimal128, t); });
}
void BM_LiteralAs_Timestamp(benchmark::State& state) {
  run_parse(state, int_texts(),
            [](std::string_view t) { return parse_literal_as(FieldTag::Timestamp, TimeUnit::Second, 0, t); });
}

template <class T, class Render>
void run_render(benchmark::State& state, const std::vector<T>& in, Render render) {
  for (auto _ : state) {
    for (const auto& v : in) benchmark::DoNotOptimize(render(v));
  }
  per_value(state);
}

template <class T, class Parse>
std::vector<T> parsed(const std::vector<std::string>& in, Parse parse) {
  std::vector<T> out;
  for (const auto& t : in) out.push_back(*parse(t));
  return out;
}

void BM_RenderInt64(benchmark::State& state) {
  run_render(state, parsed<std::int64_t>(int_texts(), parse_int64), render_int64);
}
void BM_RenderFloat64(benchmark::State& state) {
  run_render(state, parsed<double>(long_float_texts(), parse_float64), render_float64);
}
void BM_RenderDate32(benchmark::State& state) {
  run_render(state, parsed<std::int32_t>(date_texts(), parse_date32), render_date32);
}
void BM_RenderTimestamp(benchmark::State& state) {
  const TimestampParser parser(TimeUnit::Microsecond, std::nullopt);
  const auto values = parsed<std::int64_t>(iso_timestamp_texts(), [&](std::string_view t) { return parser.parse(t); });
  run_render(state, values, [](std::int64_t v) { return render_timestamp(v, TimeUnit::Microsecond); });
}
void BM_RenderDecimal128(benchmark::State& state) {
  const auto values =
      parsed<int128>(decimal_texts(), [](std::string_view t) { return parse_decimal128(t, 2); });
  run_render(state, values, [](int128 v) { return render_decimal128(v, 2); });
}

BENCHMARK(BM_ParseInt64);
BENCHMARK(BM_ParseFloat64);
BENCHMARK(BM_ParseFloat64_17Digits);
BENCHMARK(BM_ParseBoolean);
BENCHMARK(BM_ParseDate32);
BENCHMARK(BM_ParseTimestamp_Iso);
BENCHMARK(BM_ParseTimestamp_Custom);
BENCHMARK(BM_ParseDecimal128);
BENCHMARK(BM_CastableTo_Decimal128);
BENCHMARK(BM_LiteralAs_Timestamp);
BENCHMARK(BM_RenderInt64);
BENCHMARK(BM_RenderFloat64);
BENCHMARK(BM_RenderDate32);
BENCHMARK(BM_RenderTimestamp);
BENCHMARK(BM_RenderDecimal128);

}  // namespace
}  // namespace vorpel
