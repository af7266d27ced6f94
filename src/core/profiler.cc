#include "core/profiler.h"

#include <atomic>

namespace vorpel {
namespace {

struct Counters {
  std::atomic<bool> enabled{false};
  std::array<std::atomic<std::uint64_t>, kProfileStages.size()> nanos{};
  std::array<std::atomic<std::uint64_t>, kProfileStages.size()> calls{};
};

Counters& counters() {
  static Counters c;
  return c;
}

}  // namespace

std::array<StageProfileEntry, kProfileStages.size()> stage_profile() {
  std::array<StageProfileEntry, kProfileStages.size()> entries{};
  for (std::size_t i = 0; i < kProfileStages.size(); ++i) {
    entries[i].stage = kProfileStages[i];
    entries[i].total_nanos = counters().nanos[i].load(std::memory_order_relaxed);
    entries[i].calls = counters().calls[i].load(std::memory_order_relaxed);
  }
  return entries;
}

void reset_stage_profile() {
  Counters& c = counters();
  for (std::size_t i = 0; i < kProfileStages.size(); ++i) {
    c.nanos[i].store(0, std::memory_order_relaxed);
    c.calls[i].store(0, std::memory_order_relaxed);
  }
  c.enabled.store(true, std::memory_order_release);
}

void disable_stage_profile() { counters().enabled.store(false, std::memory_order_release); }

bool stage_profile_enabled() { return counters().enabled.load(std::memory_order_acquire); }

void add_stage_time(Stage stage, std::uint64_t nanos) {
  const auto i = static_cast<std::size_t>(stage);
  counters().nanos[i].fetch_add(nanos, std::memory_order_relaxed);
  counters().calls[i].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vorpel
