// A lost update planted in the parallel stage of a pipeline annotated as
// the single pass is (driver/tsan_hand_over.h). Under ThreadSanitizer,
// with the project's suppressions and TBB's announced hand-overs, it must
// be reported: scripts/sanitize.sh runs this program and fails unless it
// ends with ThreadSanitizer's report of PlantedLostUpdate. That shows the
// suppressions and annotations do not hide races in the stages' own work.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include <tbb/parallel_pipeline.h>

#include "driver/tsan_hand_over.h"

namespace {

// Adds without synchronisation: two stages running at once lose updates.
__attribute__((noinline)) void PlantedLostUpdate(int64_t* total,
                                                 int64_t value) {
  *total += value;
}

}  // namespace

int main() {
  int64_t total = 0;
  int next = 0;
  const int reading = 0, finished = 0;
  const auto stages =
      tbb::make_filter<void, int>(tbb::filter_mode::serial_in_order,
                                  [&](tbb::flow_control& control) {
                                    TakeOver(&kPipelineSetUp);
                                    TakeOver(&reading);
                                    if (next == 200) control.stop();
                                    const int value = next++;
                                    HandOver(&reading);
                                    HandOver(&finished);
                                    return value;
                                  }) &
      tbb::make_filter<int, void>(tbb::filter_mode::parallel, [&](int value) {
        TakeOver(&kPipelineSetUp);
        usleep(200);  // Let the stages overlap.
        PlantedLostUpdate(&total, value);
        HandOver(&finished);
      });
  HandOver(&kPipelineSetUp);
  tbb::parallel_pipeline(4, stages);
  TakeOver(&finished);
  std::printf("%lld\n", static_cast<long long>(total));
  return 0;
}
