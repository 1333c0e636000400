#include "metrics/splits.h"

uint64_t SplitGenerator::Draw(uint64_t n) {
  // The generator yields 1..2147483646, so v = x - 1 spans 2147483646
  // values; R is the largest v. Values at or above the largest multiple of
  // `scaling` that fits are rejected so that every result is equally likely.
  constexpr uint64_t kSpan = 2147483645;
  const uint64_t scaling = kSpan / n;
  const uint64_t limit = n * scaling;
  for (;;) {
    const uint64_t v = Next() - 1;
    if (v < limit) return v / scaling;
  }
}

void MakeGalleriesAndProbes(const SubjectMap& subject_map, int32_t trial_count,
                            Splits* galleries, Splits* probes) {
  const size_t splits = trial_count < 1 ? 0 : static_cast<size_t>(trial_count);
  galleries->resize(splits);
  probes->resize(splits);
  SplitGenerator generator(1);
  for (size_t s = 0; s < splits; ++s) {
    std::vector<int32_t>& gallery = (*galleries)[s];
    std::vector<int32_t>& probe_list = (*probes)[s];
    for (const auto& subject : subject_map) {
      const std::vector<int32_t>& images = subject.second;
      // Every subject consumes a draw, even one with a single image, so the
      // sequence of draws depends only on the map's shape.
      const uint64_t r = generator.Draw(images.size());
      for (size_t k = 0; k < images.size(); ++k) {
        if (k != r) probe_list.push_back(images[k]);
      }
      gallery.push_back(images[r]);
    }
  }
}
