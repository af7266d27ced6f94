// Memory budget texts and the engine decision, without Python.

#include "core/engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vorpel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------- accepted texts

struct AcceptedCase {
  std::string text;
  std::uint64_t bytes;
};

class MemoryAccepted : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(MemoryAccepted, GivesByteCount) {
  const auto result = parse_memory_value(GetParam().text);
  ASSERT_TRUE(result.has_value()) << GetParam().text << ": " << result.error().message;
  EXPECT_EQ(*result, GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Units, MemoryAccepted,
    ::testing::Values(AcceptedCase{"64MiB", 67108864}, AcceptedCase{"64 mib", 67108864},
                      AcceptedCase{"64MIB", 67108864}, AcceptedCase{"  64MiB\t\n", 67108864},
                      AcceptedCase{"64MB", 64000000}, AcceptedCase{"1KB", 1000}, AcceptedCase{"1KiB", 1024},
                      AcceptedCase{"1kib", 1024}, AcceptedCase{"2GB", 2000000000},
                      AcceptedCase{"1GiB", 1073741824}, AcceptedCase{"3TB", 3000000000000},
                      AcceptedCase{"1TiB", 1099511627776}, AcceptedCase{"64", 64}, AcceptedCase{"64B", 64},
                      AcceptedCase{"64b", 64}, AcceptedCase{"MiB", 1048576}, AcceptedCase{"B", 1},
                      AcceptedCase{"kb", 1000}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, MemoryAccepted,
    ::testing::Values(AcceptedCase{"0.5", 0}, AcceptedCase{"0.4KB", 400}, AcceptedCase{"1.5KiB", 1536},
                      AcceptedCase{"5.", 5}, AcceptedCase{".5KiB", 512}, AcceptedCase{"007", 7},
                      AcceptedCase{"1.9", 1},
                      // The product is formed in double precision, then truncated:
                      // 1.005 * 1000 is 1004.9999999999999.
                      AcceptedCase{"1.005KB", 1004}, AcceptedCase{"8.2MB", 8199999},
                      // The largest double below 2^64 converts exactly; 2^64 and above saturate.
                      AcceptedCase{"18446744073709549568", 18446744073709549568u},
                      AcceptedCase{"18446744073709551616", kMax}, AcceptedCase{"20000000TB", kMax},
                      // A positive subnormal passes the value check and truncates to 0 bytes.
                      AcceptedCase{"0." + std::string(320, '0') + "5", 0}));

// Unicode: full upper-casing of the unit and White_Space trimming.
INSTANTIATE_TEST_SUITE_P(
    Unicode, MemoryAccepted,
    ::testing::Values(AcceptedCase{"1k\xC4\xB1" "b", 1024},          // dotless i upper-cases to I
                      AcceptedCase{"\xC2\xA0" "2MiB\xE3\x80\x80", 2097152},  // NBSP, ideographic space
                      AcceptedCase{"\xE2\x80\xA8" "3 \xE2\x80\x89" "KB\xC2\x85", 3000},
                      AcceptedCase{"4\xE1\x9A\x80" "b", 4}));  // U+1680 between number and unit

// ---------------------------------------------------------------- rejected texts

struct RejectedCase {
  std::string text;
  MemoryValueErrorKind kind;
  std::string message;
};

class MemoryRejected : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(MemoryRejected, GivesMessage) {
  const auto result = parse_memory_value(GetParam().text);
  ASSERT_FALSE(result.has_value()) << GetParam().text << " gave " << *result;
  EXPECT_EQ(result.error().kind, GetParam().kind);
  EXPECT_EQ(result.error().message, GetParam().message);
}

using K = MemoryValueErrorKind;

INSTANTIATE_TEST_SUITE_P(
    Messages, MemoryRejected,
    ::testing::Values(
        RejectedCase{"", K::Empty, "empty memory string"},
        RejectedCase{"   ", K::Empty, "empty memory string"},
        RejectedCase{"\xE3\x80\x80\t", K::Empty, "empty memory string"},
        RejectedCase{".", K::InvalidNumber, "invalid memory value: ."},
        RejectedCase{" .MiB ", K::InvalidNumber, "invalid memory value: .MiB"},
        RejectedCase{"0", K::NotPositiveFinite, "memory value must be a positive finite number, got 0"},
        RejectedCase{"0.0MiB", K::NotPositiveFinite, "memory value must be a positive finite number, got 0"},
        RejectedCase{"0XB", K::NotPositiveFinite, "memory value must be a positive finite number, got 0"},
        RejectedCase{"0." + std::string(400, '0') + "1", K::NotPositiveFinite,
                     "memory value must be a positive finite number, got 0"},
        RejectedCase{std::string(400, '9'), K::NotPositiveFinite,
                     "memory value must be a positive finite number, got inf"},
        RejectedCase{std::string(400, '9') + "junk", K::NotPositiveFinite,
                     "memory value must be a positive finite number, got inf"},
        RejectedCase{"-5MiB", K::UnknownUnit, "unknown memory unit: -5MiB"},
        RejectedCase{"+5MiB", K::UnknownUnit, "unknown memory unit: +5MiB"},
        RejectedCase{"1.2.3MiB", K::UnknownUnit, "unknown memory unit: .3MiB"},
        RejectedCase{"5e3", K::UnknownUnit, "unknown memory unit: e3"},
        RejectedCase{"64 M", K::UnknownUnit, "unknown memory unit: M"},
        RejectedCase{"64 k", K::UnknownUnit, "unknown memory unit: k"},
        RejectedCase{"1 Mebibyte ", K::UnknownUnit, "unknown memory unit: Mebibyte"},
        RejectedCase{"1 kIb s", K::UnknownUnit, "unknown memory unit: kIb s"},
        // U+200B is not white space: it stays part of the unit.
        RejectedCase{"1\xE2\x80\x8B" "B", K::UnknownUnit, "unknown memory unit: \xE2\x80\x8B" "B"},
        // The Kelvin sign is already upper case; it does not become K.
        RejectedCase{"1\xE2\x84\xAA" "B", K::UnknownUnit, "unknown memory unit: \xE2\x84\xAA" "B"},
        RejectedCase{std::string("1\0B", 3), K::UnknownUnit, std::string("unknown memory unit: \0B", 23)}));

// ---------------------------------------------------------------- helpers

TEST(RenderPlainDouble, Values) {
  EXPECT_EQ(render_plain_double(0.0), "0");
  EXPECT_EQ(render_plain_double(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(render_plain_double(2.5), "2.5");
  EXPECT_EQ(render_plain_double(1e21), "1000000000000000000000");
}

// ---------------------------------------------------------------- decision

struct DecisionCase {
  const char* name;
  std::uint64_t file_size;
  std::optional<std::uint64_t> memory;
  std::optional<std::uint64_t> threads;
  bool schema;
  bool has_parallel;
  bool has_columnar;
  EngineMode expected;
};

class Decision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, PicksEngine) {
  const DecisionCase& c = GetParam();
  EngineOptions options;
  options.file_size = c.file_size;
  options.memory_budget = c.memory;
  options.threads = c.threads;
  if (c.schema) options.schema = std::vector<std::string>{};
  options.has_parallel = c.has_parallel;
  options.has_columnar = c.has_columnar;
  EXPECT_EQ(engine_mode_name(resolve_engine(options)), engine_mode_name(c.expected)) << c.name;
}

constexpr std::uint64_t k8 = kParallelSizeThreshold;
constexpr std::uint64_t k100 = kStreamSizeThreshold;
using M = EngineMode;
const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Rules, Decision,
    ::testing::Values(
        // Budget present: flags and size do not matter.
        DecisionCase{"budget_multi", 0, 0, 2, false, false, false, M::ParallelStreaming},
        DecisionCase{"budget_single", k100 * 10, 1, none, true, true, true, M::Stream},
        DecisionCase{"budget_threads_one", 0, kMax, 1, false, true, true, M::Stream},
        // Several threads, no budget.
        DecisionCase{"multi_large", k100, none, 2, false, false, false, M::ParallelStreaming},
        DecisionCase{"multi_below_large", k100 - 1, none, 2, false, false, true, M::Parallel},
        DecisionCase{"multi_small", 10, none, 4, true, false, false, M::Parallel},
        // Single thread, schema, large file.
        DecisionCase{"schema_large", k100, none, none, true, true, true, M::Stream},
        DecisionCase{"schema_below_large", k100 - 1, none, none, true, true, true, M::Parallel},
        DecisionCase{"no_schema_large", kMax, none, none, false, true, true, M::Parallel},
        DecisionCase{"no_schema_large_no_parallel", k100, none, none, false, false, true, M::Stream},
        // Small files.
        DecisionCase{"small", 0, none, none, false, true, true, M::Columnar},
        DecisionCase{"small_edge", k8 - 1, none, 1, true, false, true, M::Columnar},
        DecisionCase{"small_no_columnar", 0, none, none, false, true, false, M::Stream},
        // Medium files.
        DecisionCase{"medium_edge", k8, none, none, false, true, false, M::Parallel},
        DecisionCase{"medium_no_parallel", k8, none, none, false, false, true, M::Stream},
        // threads 0 is rejected by callers; the decision treats it as one thread.
        DecisionCase{"threads_zero", 10, none, 0, false, true, true, M::Columnar}),
    [](const ::testing::TestParamInfo<DecisionCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorpel
