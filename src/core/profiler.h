#pragma once
// Per-stage timing of reads. Off until reset_stage_profile(); then every
// stage timer adds its elapsed nanoseconds and one call to its stage (from
// any thread) until disable_stage_profile(). Process-wide: both extension
// modules see the same counters.

#include <array>
#include <chrono>
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
enum class Stage : std::uint8_t { Split = 0, Validate = 1, Parse = 2, Export = 3, Merge = 4 };

// One entry per stage, in the order of kProfileStages.
std::array<StageProfileEntry, kProfileStages.size()> stage_profile();
// Clears the counters and starts timing.
void reset_stage_profile();
// Stops timing; the counters stay as they are.
void disable_stage_profile();
bool stage_profile_enabled();
void add_stage_time(Stage stage, std::uint64_t nanos);

// Times its own lifetime as one call of `stage` while timing is on.
class StageTimer {
 public:
  explicit StageTimer(Stage stage) : stage_(stage), on_(stage_profile_enabled()) {
    if (on_) start_ = std::chrono::steady_clock::now();
  }
  ~StageTimer() {
    if (!on_) return;
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    add_stage_time(stage_, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  Stage stage_;
  bool on_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vorpel
