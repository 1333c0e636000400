#include "metrics/traditional_cmc.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace {

// Ahead returns true iff (a_score, a_index) comes before (b_score, b_index)
// in descending (score, index) order. Any comparison with a NaN score is
// false, so a NaN image is never ahead of anything nor anything ahead of it.
bool Ahead(float a_score, int32_t a_index, float b_score, int32_t b_index) {
  return a_score > b_score || (a_score == b_score && a_index > b_index);
}

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

// SlotCount returns the rank slot count of the splits, or -1 when the
// inputs are outside what the ranking can serve (then only two progress
// lines belong to the run).
int64_t SlotCount(const SubjectMap& subject_map,
                  const std::vector<std::string>& probe_names,
                  const cv::Mat& probe_scores, size_t list_count,
                  int64_t list_length, const Splits& galleries) {
  if (galleries.empty() || list_count == 0 ||
      !IndicesUsable(subject_map, probe_names, probe_scores, list_count)) {
    return -1;
  }
  return list_length + static_cast<int64_t>(galleries[0].size());
}

// GalleryRanks is the body of the parallel loop over (split, probe)
// pairs: a named type, so that the loop's task types have names short
// enough for the race checker's reports to name them.
struct GalleryRanks {
  const cv::Mat& probe_scores;
  const std::vector<int32_t>& subject_ids;
  const Splits& galleries;
  const std::vector<std::pair<size_t, int32_t>>& ranked;  // (split, probe)
  std::vector<int32_t>* gallery_ranks;
  std::vector<float>* true_match_scores;

  void operator()(const tbb::blocked_range<size_t>& range) const {
    for (size_t i = range.begin(); i != range.end(); ++i) {
      (*gallery_ranks)[i] =
          GetGalleryRank(probe_scores, subject_ids, galleries[ranked[i].first],
                         ranked[i].second, &(*true_match_scores)[i]);
    }
  }
};

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
  // Adding the share 0 / T of an empty slot leaves a rate as it is, so the
  // rate steps through the slots that hold ranks with the same
  // single-precision additions as slot by slot.
  std::sort(ranks.begin(), ranks.end());
  const float total = static_cast<float>(ranks.size());
  float rate = 0.0f;
  int64_t counted = 0;
  AppendThinnedSteps(
      ranks, slot_count - 1,
      [&](int64_t k, int64_t at_most_k) {
        const float share = static_cast<float>(at_most_k - counted) / total;
        counted = at_most_k;
        rate = k == 0 ? share : rate + share;
        return rate;
      },
      [&](int64_t k, float value) {
        curve->emplace_back(static_cast<int32_t>(k), value);
      });
}

float TraditionalRateAt(const std::vector<int64_t>& sorted_ranks,
                        int64_t slot) {
  const float total = static_cast<float>(sorted_ranks.size());
  if (sorted_ranks.empty()) return 0.0f / total;
  float rate = 0.0f;
  for (auto it = sorted_ranks.begin();
       it != sorted_ranks.end() && *it <= slot;) {
    const auto group_end = std::upper_bound(it, sorted_ranks.end(), *it);
    const float share = static_cast<float>(group_end - it) / total;
    rate = *it == 0 ? share : rate + share;
    it = group_end;
  }
  return rate;
}

void RunTraditionalCMC(const SubjectMap& subject_map,
                       const std::vector<std::string>& probe_names,
                       const cv::Mat& probe_scores,
                       const std::vector<std::vector<float>>& distractor_scores,
                       int32_t trial_count, CMCCurve* curve,
                       std::vector<int64_t>* rank_histogram) {
  if (rank_histogram != nullptr) rank_histogram->clear();
  std::puts("Making gallery!");
  Splits galleries;
  Splits probes;
  MakeGalleriesAndProbes(subject_map, trial_count, &galleries, &probes);
  std::puts("Done Making Gallery!");

  const int64_t list_length =
      distractor_scores.empty() ? 0 : distractor_scores[0].size();
  const int64_t slot_count =
      SlotCount(subject_map, probe_names, probe_scores,
                distractor_scores.size(), list_length, galleries);
  if (slot_count < 0) return;
  std::printf("Allocating ranks (%d)\n", static_cast<int32_t>(slot_count));

  std::vector<int64_t> histogram(static_cast<size_t>(slot_count), 0);
  int64_t ranked = 0;
  for (size_t s = 0; s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) {
      const int32_t rank = GetRank(probe_scores, probe_names, galleries[s], p,
                                   distractor_scores[p]);
      // A gallery without the probe's subject (names that disagree with
      // the map) or a list longer than list 0 has no slot for the probe.
      if (rank < 0 || rank >= slot_count) return;
      ++histogram[rank];
      ++ranked;
    }
  }
  AppendTraditionalCMC(histogram, ranked, curve);
  if (rank_histogram != nullptr) *rank_histogram = std::move(histogram);
}

int32_t RankTraditionalCMC(const SubjectMap& subject_map,
                           const std::vector<std::string>& probe_names,
                           const cv::Mat& probe_scores, size_t list_count,
                           int64_t list_length, const ScoreCounts& counts,
                           int32_t trial_count, CMCCurve* curve,
                           std::vector<int64_t>* sorted_ranks) {
  if (sorted_ranks != nullptr) sorted_ranks->clear();
  Splits galleries;
  Splits probes;
  MakeGalleriesAndProbes(subject_map, trial_count, &galleries, &probes);
  const int64_t slot_count = SlotCount(subject_map, probe_names, probe_scores,
                                       list_count, list_length, galleries);
  if (slot_count < 0) return -1;

  // The gallery ranks of every split's probes, in split order, computed in
  // parallel: each task fills only its own entries.
  const std::vector<int32_t> subject_ids = SubjectIds(probe_names);
  std::vector<std::pair<size_t, int32_t>> ranked;  // (split, probe)
  for (size_t s = 0; s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) ranked.emplace_back(s, p);
  }
  std::vector<int32_t> gallery_ranks(ranked.size());
  std::vector<float> true_match_scores(ranked.size(), 0.0f);
  tbb::parallel_for(tbb::blocked_range<size_t>(0, ranked.size()),
                    GalleryRanks{probe_scores, subject_ids, galleries, ranked,
                                 &gallery_ranks, &true_match_scores});
  std::vector<int64_t> ranks;
  bool every_rank_has_a_slot = true;
  for (size_t i = 0; i < ranked.size(); ++i) {
    if (gallery_ranks[i] < 0) return static_cast<int32_t>(slot_count);
    // Every question is asked whatever the answers, in split order, so that
    // a recorded plan holds them all; a rank without a slot voids the curve
    // after.
    const int64_t rank =
        gallery_ranks[i] +
        counts.DistractorsBeating(ranked[i].second, true_match_scores[i]);
    every_rank_has_a_slot = every_rank_has_a_slot && rank < slot_count;
    ranks.push_back(rank);
  }
  if (every_rank_has_a_slot && (curve != nullptr || sorted_ranks != nullptr)) {
    std::sort(ranks.begin(), ranks.end());
    if (curve != nullptr) {
      AppendTraditionalCMCFromRanks(ranks, slot_count, curve);
    }
    if (sorted_ranks != nullptr) *sorted_ranks = std::move(ranks);
  }
  return static_cast<int32_t>(slot_count);
}
