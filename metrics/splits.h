// The subject map as the metrics read it, and the reproducible random
// gallery/probe splits of the traditional CMC.
#ifndef FUSE_RESULTS_METRICS_SPLITS_H_
#define FUSE_RESULTS_METRICS_SPLITS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Subject name -> ascending probe indices of that subject, subjects in
// plain byte order of their names. The probe info loader fills this very
// type; it is spelled out here so that the metrics need nothing of the
// loaders.
using SubjectMap = std::map<std::string, std::vector<int32_t>>;

// The split generator: Park-Miller minimal standard LCG,
// x <- 16807 x mod (2^31 - 1), seeded with 1 unless given another state.
class SplitGenerator {
 public:
  explicit SplitGenerator(uint64_t state = 1) : state_(state) {}
  // Next steps the generator and returns the new state (1..2^31-2).
  uint64_t Next() {
    state_ = (16807 * state_) % 2147483647;
    return state_;
  }
  // Draw returns a uniform integer in [0, n) for n >= 1, by downscaling
  // with rejection; it steps the generator at least once.
  uint64_t Draw(uint64_t n);

 private:
  uint64_t state_;
};

// Galleries and probe lists of the splits: one list of probe indices each.
using Splits = std::vector<std::vector<int32_t>>;

// MakeGalleriesAndProbes resizes `*galleries` and `*probes` to
// `trial_count` entries (none when it is below 1) and fills split s: one
// randomly drawn image per subject, in subject-map order, to gallery s; the
// subject's other images, in list order, to probe list s. The generator is
// seeded with 1 on every call, so equal inputs give equal splits.
void MakeGalleriesAndProbes(const SubjectMap& subject_map, int32_t trial_count,
                            Splits* galleries, Splits* probes);

#endif  // FUSE_RESULTS_METRICS_SPLITS_H_
