#include "metrics/metrics.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <unordered_map>

void QuantizeCMC(const std::vector<float>& rates, CMCCurve* curve) {
  CurveThinner thinner;
  const size_t n = rates.size();
  for (size_t i = 0; i < n; ++i) {
    if (thinner.Keep(rates[i], i + 1 == n)) {
      curve->emplace_back(static_cast<int32_t>(i), rates[i]);
    }
  }
}

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

namespace {

// Ahead returns true iff (a_score, a_index) comes before (b_score, b_index)
// in descending (score, index) order. Any comparison with a NaN score is
// false, so a NaN image is never ahead of anything nor anything ahead of it.
bool Ahead(float a_score, int32_t a_index, float b_score, int32_t b_index) {
  return a_score > b_score || (a_score == b_score && a_index > b_index);
}

}  // namespace

namespace {

// GalleryRank is GetGalleryRank with `same_subject(g)` telling whether
// gallery image g is of the probe's subject.
template <typename SameSubject>
int32_t GalleryRank(const float* row, const std::vector<int32_t>& gallery,
                    const SameSubject& same_subject, float* true_match_score) {
  // The true match is the first image of the probe's subject in descending
  // (score, index) order; a scan for the largest one finds it without
  // sorting the gallery.
  bool found = false;
  float match_score = 0.0f;
  int32_t match_index = 0;
  for (const int32_t g : gallery) {
    if (!same_subject(g)) continue;
    if (!found || Ahead(row[g], g, match_score, match_index)) {
      found = true;
      match_score = row[g];
      match_index = g;
    }
  }
  if (!found) return -1;

  // Everything ahead of the true match belongs to another subject, since
  // the true match is the first of its own. At equal scores the larger
  // image index goes first.
  int32_t ahead = 0;
  for (const int32_t g : gallery) {
    if (Ahead(row[g], g, match_score, match_index)) ++ahead;
  }
  *true_match_score = match_score;
  return ahead;
}

}  // namespace

int32_t GetGalleryRank(const cv::Mat& probe_scores,
                       const std::vector<std::string>& probe_names,
                       const std::vector<int32_t>& gallery, int32_t probe,
                       float* true_match_score) {
  const std::string& name = probe_names[probe];
  return GalleryRank(
      probe_scores.ptr<float>(probe), gallery,
      [&](int32_t g) { return probe_names[g] == name; }, true_match_score);
}

int32_t GetGalleryRank(const cv::Mat& probe_scores,
                       const std::vector<int32_t>& subject_ids,
                       const std::vector<int32_t>& gallery, int32_t probe,
                       float* true_match_score) {
  const int32_t subject = subject_ids[probe];
  return GalleryRank(
      probe_scores.ptr<float>(probe), gallery,
      [&](int32_t g) { return subject_ids[g] == subject; }, true_match_score);
}

std::vector<int32_t> SubjectIds(const std::vector<std::string>& probe_names) {
  std::unordered_map<std::string, int32_t> ids;
  std::vector<int32_t> subject_ids;
  subject_ids.reserve(probe_names.size());
  for (const std::string& name : probe_names) {
    subject_ids.push_back(
        ids.emplace(name, static_cast<int32_t>(ids.size())).first->second);
  }
  return subject_ids;
}

int64_t CountGreater(const std::vector<float>& scores, float score) {
  // Under the descending order the lower bound is the first entry that is
  // not greater than `score`: equal distractor scores do not count.
  return std::lower_bound(scores.begin(), scores.end(), score,
                          std::greater<float>()) -
         scores.begin();
}

int32_t GetRank(const cv::Mat& probe_scores,
                const std::vector<std::string>& probe_names,
                const std::vector<int32_t>& gallery, int32_t probe,
                const std::vector<float>& distractor_scores) {
  float score = 0.0f;
  const int32_t gallery_rank =
      GetGalleryRank(probe_scores, probe_names, gallery, probe, &score);
  if (gallery_rank < 0) return -1;
  return gallery_rank +
         static_cast<int32_t>(CountGreater(distractor_scores, score));
}

void AppendTraditionalCMC(const std::vector<int64_t>& rank_histogram,
                          int64_t ranked_count, CMCCurve* curve) {
  // Single precision throughout, each slot divided by T before it is added,
  // so that the curve is reproducible to the bit. T = 0 makes every rate
  // NaN, and the thinner then keeps only the last point.
  const float total = static_cast<float>(ranked_count);
  const size_t n = rank_histogram.size();
  CurveThinner thinner;
  float rate = 0.0f;
  for (size_t k = 0; k < n; ++k) {
    const float share = static_cast<float>(rank_histogram[k]) / total;
    rate = k == 0 ? share : rate + share;
    if (thinner.Keep(rate, k + 1 == n)) {
      curve->emplace_back(static_cast<int32_t>(k), rate);
    }
  }
}

void AppendTraditionalCMCFromRanks(std::vector<int64_t> ranks,
                                   int64_t slot_count, CMCCurve* curve) {
  if (slot_count <= 0) return;
  // The cumulative rates only change at slots that hold a rank (adding
  // 0 / T leaves a rate as it is), and the thinning rule can only keep a
  // point where the rate changes or at the last slot; so only those slots
  // are visited, with the same single-precision steps as slot by slot.
  std::sort(ranks.begin(), ranks.end());
  const float total = static_cast<float>(ranks.size());
  CurveThinner thinner;
  float rate = 0.0f / total;
  int64_t offered = -1;
  auto offer = [&](int64_t k) {
    if (k == offered) return;
    offered = k;
    if (thinner.Keep(rate, k + 1 == slot_count)) {
      curve->emplace_back(static_cast<int32_t>(k), rate);
    }
  };
  if (ranks.empty() || ranks[0] > 0) offer(0);  // Rate 0 (NaN when T = 0).
  for (size_t i = 0; i < ranks.size();) {
    const int64_t k = ranks[i];
    size_t j = i;
    while (j < ranks.size() && ranks[j] == k) ++j;
    const float share = static_cast<float>(j - i) / total;
    rate = k == 0 ? share : rate + share;
    offer(k);
    i = j;
  }
  offer(slot_count - 1);
}

namespace {

// IndicesUsable returns true iff every probe index of the map can be looked
// up in the names, among `list_count` distractor lists and in both
// dimensions of the score matrix, which must be a single-channel float
// matrix.
bool IndicesUsable(const SubjectMap& subject_map,
                   const std::vector<std::string>& probe_names,
                   const cv::Mat& probe_scores, size_t list_count) {
  if (subject_map.empty()) return true;
  if (probe_scores.dims != 2 || probe_scores.type() != CV_32FC1) return false;
  for (const auto& subject : subject_map) {
    for (const int32_t p : subject.second) {
      if (p < 0 || static_cast<size_t>(p) >= probe_names.size() ||
          static_cast<size_t>(p) >= list_count || p >= probe_scores.rows ||
          p >= probe_scores.cols) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void RankTraditionalCMC(const SubjectMap& subject_map,
                        const std::vector<std::string>& probe_names,
                        const cv::Mat& probe_scores, size_t list_count,
                        int64_t list_length, const DistractorCounter& count,
                        int32_t trial_count, CMCCurve* curve) {
  std::puts("Making gallery!");
  Splits galleries;
  Splits probes;
  MakeGalleriesAndProbes(subject_map, trial_count, &galleries, &probes);
  std::puts("Done Making Gallery!");

  if (galleries.empty() || list_count == 0 ||
      !IndicesUsable(subject_map, probe_names, probe_scores, list_count)) {
    return;
  }
  const int64_t slot_count =
      list_length + static_cast<int64_t>(galleries[0].size());
  std::printf("Allocating ranks (%d)\n", static_cast<int32_t>(slot_count));
  if (slot_count == 0) return;

  const std::vector<int32_t> subject_ids = SubjectIds(probe_names);
  std::vector<int64_t> ranks;
  for (size_t s = 0; s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) {
      float score = 0.0f;
      const int32_t gallery_rank =
          GetGalleryRank(probe_scores, subject_ids, galleries[s], p, &score);
      // A gallery without the probe's subject (names that disagree with
      // the map) or a distractor count beyond the list length has no slot.
      if (gallery_rank < 0) return;
      const int64_t rank = gallery_rank + count(p, score);
      if (rank >= slot_count) return;
      ranks.push_back(rank);
    }
  }
  AppendTraditionalCMCFromRanks(std::move(ranks), slot_count, curve);
}

void RunTraditionalCMC(const SubjectMap& subject_map,
                       const std::vector<std::string>& probe_names,
                       const cv::Mat& probe_scores,
                       const std::vector<std::vector<float>>& distractor_scores,
                       int32_t trial_count, CMCCurve* curve) {
  const int64_t list_length =
      distractor_scores.empty() ? 0 : distractor_scores[0].size();
  RankTraditionalCMC(
      subject_map, probe_names, probe_scores, distractor_scores.size(),
      list_length,
      [&](int32_t probe, float score) {
        return CountGreater(distractor_scores[probe], score);
      },
      trial_count, curve);
}

void ComputeROC(const std::vector<VerificationPair>& verification_list,
                int64_t genuine_count, int64_t impostor_count,
                std::vector<float>* tar) {
  // A negative impostor count is treated as 0.
  const size_t size =
      static_cast<size_t>(std::max<int64_t>(impostor_count, 0)) + 1;
  tar->assign(size, 0.0f);
  const float genuine_total = static_cast<float>(genuine_count);
  int64_t genuine = 0;
  size_t impostors = 0;
  for (const VerificationPair& pair : verification_list) {
    if (pair.second == 1) {
      ++genuine;
    } else {
      ++impostors;
    }
    // Checked access: more impostors than announced is a caller error and
    // throws std::out_of_range rather than writing past the table.
    tar->at(impostors) = static_cast<float>(genuine) / genuine_total;
  }
}
