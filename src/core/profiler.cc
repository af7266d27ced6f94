#include "core/profiler.h"

namespace vorpel {

std::array<StageProfileEntry, kProfileStages.size()> stage_profile() {
  std::array<StageProfileEntry, kProfileStages.size()> entries{};
  for (std::size_t i = 0; i < kProfileStages.size(); ++i) entries[i].stage = kProfileStages[i];
  return entries;
}

}  // namespace vorpel
