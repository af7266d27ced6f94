#pragma once
// Per-stage timing of a read. No stage is timed in this build: the profile
// reports every stage with zero time and zero calls (and the Python switches
// that would start or stop timing do nothing). The stage list is still the
// one callers see.

#include <array>
#include <cstdint>
#include <string_view>

namespace vorpel {

struct StageProfileEntry {
  std::string_view stage;
  std::uint64_t total_nanos = 0;
  std::uint64_t calls = 0;
};

// The stages of a read, in reporting order.
inline constexpr std::array<std::string_view, 5> kProfileStages{"split", "validate", "parse", "export",
                                                                "merge"};

// One entry per stage, in the order of kProfileStages.
std::array<StageProfileEntry, kProfileStages.size()> stage_profile();

}  // namespace vorpel
