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
// gallery image g is of the probe's subject, among the `candidates`: the
// gallery, or any part of it, in gallery order, that holds every image of
// the probe's subject.
template <typename Candidates, typename SameSubject>
int32_t GalleryRank(const float* row, const std::vector<int32_t>& gallery,
                    const Candidates& candidates,
                    const SameSubject& same_subject, float* true_match_score) {
  // The true match is the first image of the probe's subject in descending
  // (score, index) order; a scan for the largest one finds it without
  // sorting the gallery. (With NaN scores the scan's order matters: it is
  // the gallery's.)
  bool found = false;
  float match_score = 0.0f;
  int32_t match_index = 0;
  for (const int32_t g : candidates) {
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

// A run of gallery images, as GalleryRank's candidates.
struct ImageRange {
  const int32_t* first;
  const int32_t* last;
  const int32_t* begin() const { return first; }
  const int32_t* end() const { return last; }
};

// IndicesUsable returns true iff every probe index of the map can be looked
// up in the names, among `list_count` distractor lists and in both
// dimensions of a score matrix of `rows` x `cols`, which must be a
// two-dimensional matrix of 32-bit floats (`floats`).
bool IndicesUsable(const SubjectMap& subject_map,
                   const std::vector<std::string>& probe_names, int32_t rows,
                   int32_t cols, bool floats, size_t list_count) {
  if (subject_map.empty()) return true;
  if (!floats) return false;
  for (const auto& subject : subject_map) {
    for (const int32_t p : subject.second) {
      if (p < 0 || static_cast<size_t>(p) >= probe_names.size() ||
          static_cast<size_t>(p) >= list_count || p >= rows || p >= cols) {
        return false;
      }
    }
  }
  return true;
}

// GroupByKey returns the positions of `keys` (each in [0, limit)) grouped
// by key, ascending within a key, and sets `*first` so that key u's are
// entries first[u] .. first[u + 1] - 1 of the result.
std::vector<size_t> GroupByKey(const std::vector<int32_t>& keys, int32_t limit,
                               std::vector<size_t>* first) {
  first->assign(static_cast<size_t>(limit) + 1, 0);
  for (const int32_t key : keys) ++(*first)[key + 1];
  for (size_t u = 1; u < first->size(); ++u) (*first)[u] += (*first)[u - 1];
  std::vector<size_t> grouped(keys.size());
  std::vector<size_t> next(first->begin(), first->end() - 1);
  for (size_t i = 0; i < keys.size(); ++i) grouped[next[keys[i]]++] = i;
  return grouped;
}

// Whether `probe_scores` is a matrix the ranking can read scores from.
bool FloatMatrix(const cv::Mat& probe_scores) {
  return probe_scores.dims == 2 && probe_scores.type() == CV_32FC1;
}

// SlotCount returns the rank slot count of the splits, or -1 when the
// inputs are outside what the ranking can serve (then only two progress
// lines belong to the run).
int64_t SlotCount(const SubjectMap& subject_map,
                  const std::vector<std::string>& probe_names, int32_t rows,
                  int32_t cols, bool floats, size_t list_count,
                  int64_t list_length, const Splits& galleries) {
  if (galleries.empty() || list_count == 0 ||
      !IndicesUsable(subject_map, probe_names, rows, cols, floats,
                     list_count)) {
    return -1;
  }
  return list_length + static_cast<int64_t>(galleries[0].size());
}

// RankRows is the body of the parallel loop that ranks, row by row, the
// probes of a score matrix in memory: a named type, so that the loop's
// task types have names short enough for the race checker's reports to
// name them.
struct RankRows {
  const cv::Mat& probe_scores;
  const TraditionalRankingBuilder& builder;

  void operator()(const tbb::blocked_range<int32_t>& range) const {
    const size_t row_bytes = probe_scores.cols * sizeof(float);
    for (int32_t probe = range.begin(); probe != range.end(); ++probe) {
      if (!builder.Needs(probe)) continue;
      // The whole row is fetched at once: the galleries of the splits
      // reach most of it, at scattered places.
      const char* row = probe_scores.ptr<char>(probe);
      for (size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(row + b);
      builder.RankRow(probe, probe_scores.ptr<float>(probe));
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
      probe_scores.ptr<float>(probe), gallery, gallery,
      [&](int32_t g) { return probe_names[g] == name; }, true_match_score);
}

int32_t GetGalleryRank(const cv::Mat& probe_scores,
                       const std::vector<int32_t>& subject_ids,
                       const std::vector<int32_t>& gallery, int32_t probe,
                       float* true_match_score) {
  const int32_t subject = subject_ids[probe];
  return GalleryRank(
      probe_scores.ptr<float>(probe), gallery, gallery,
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
  if (!std::is_sorted(ranks.begin(), ranks.end())) SortCounts(&ranks);
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
      SlotCount(subject_map, probe_names, probe_scores.rows, probe_scores.cols,
                FloatMatrix(probe_scores), distractor_scores.size(),
                list_length, galleries);
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

TraditionalRankingBuilder::TraditionalRankingBuilder(
    const SubjectMap& subject_map, const std::vector<std::string>& probe_names,
    int32_t rows, int32_t cols, bool floats, size_t list_count,
    int64_t list_length, int32_t trial_count, TraditionalRanking* ranking)
    : ranking_(ranking) {
  *ranking = TraditionalRanking();
  Splits probes;
  MakeGalleriesAndProbes(subject_map, trial_count, &galleries_, &probes);
  ranking->slot_count = SlotCount(subject_map, probe_names, rows, cols, floats,
                                  list_count, list_length, galleries_);
  first_.assign(1, 0);
  if (ranking->slot_count < 0) return;

  subject_ids_ = SubjectIds(probe_names);
  // Each split's gallery images by subject, in gallery order within one.
  const int32_t subjects =
      subject_ids_.empty()
          ? 0
          : *std::max_element(subject_ids_.begin(), subject_ids_.end()) + 1;
  for (const std::vector<int32_t>& gallery : galleries_) {
    std::vector<int32_t> subject_of(gallery.size());
    for (size_t j = 0; j < gallery.size(); ++j) {
      subject_of[j] = subject_ids_[gallery[j]];
    }
    std::vector<size_t> first;
    std::vector<int32_t> images;
    for (const size_t j : GroupByKey(subject_of, subjects, &first)) {
      images.push_back(gallery[j]);
    }
    subject_first_.push_back(std::move(first));
    subject_images_.push_back(std::move(images));
  }
  for (const std::vector<int32_t>& split : probes) {
    ranked_.insert(ranked_.end(), split.begin(), split.end());
    split_ends_.push_back(ranked_.size());
  }
  // The ranked pairs grouped by probe, ascending within a probe.
  order_ = GroupByKey(ranked_, rows, &first_);
  ranking->probes.resize(ranked_.size());
  ranking->gallery_ranks.resize(ranked_.size());
  ranking->true_match_scores.assign(ranked_.size(), 0.0f);
}

bool TraditionalRankingBuilder::Needs(int32_t probe) const {
  return probe >= 0 && static_cast<size_t>(probe) + 1 < first_.size() &&
         first_[probe] < first_[probe + 1];
}

void TraditionalRankingBuilder::RankRow(int32_t probe, const float* row) const {
  if (!Needs(probe)) return;
  const int32_t subject = subject_ids_[probe];
  // Each pair writes only its own entries (position k of the lists).
  for (size_t k = first_[probe]; k < first_[probe + 1]; ++k) {
    const size_t i = order_[k];
    const size_t split =
        std::upper_bound(split_ends_.begin(), split_ends_.end(), i) -
        split_ends_.begin();
    // Only the split's images of the probe's subject are candidates.
    const std::vector<size_t>& first = subject_first_[split];
    const int32_t* images = subject_images_[split].data();
    const ImageRange candidates{images + first[subject],
                                images + first[subject + 1]};
    ranking_->probes[k] = probe;
    ranking_->gallery_ranks[k] = GalleryRank(
        row, galleries_[split], candidates, [](int32_t) { return true; },
        &ranking_->true_match_scores[k]);
  }
}

void TraditionalRankingBuilder::Finish() {
  TraditionalRanking* const ranking = ranking_;
  // The ranking stops at the first probe, in split order, without a true
  // match: only the pairs before it are kept, still grouped by probe.
  size_t stop = ranked_.size();
  for (size_t k = 0; k < order_.size(); ++k) {
    if (ranking->gallery_ranks[k] < 0) stop = std::min(stop, order_[k]);
  }
  ranking->stopped = stop < ranked_.size();
  size_t kept = 0;
  for (size_t k = 0; k < order_.size(); ++k) {
    if (order_[k] >= stop) continue;
    ranking->probes[kept] = ranking->probes[k];
    ranking->gallery_ranks[kept] = ranking->gallery_ranks[k];
    ranking->true_match_scores[kept] = ranking->true_match_scores[k];
    ++kept;
  }
  ranking->probes.resize(kept);
  ranking->gallery_ranks.resize(kept);
  ranking->true_match_scores.resize(kept);
}

void PrepareTraditionalRanking(const SubjectMap& subject_map,
                               const std::vector<std::string>& probe_names,
                               const cv::Mat& probe_scores, size_t list_count,
                               int64_t list_length, int32_t trial_count,
                               TraditionalRanking* ranking) {
  TraditionalRankingBuilder builder(
      subject_map, probe_names, probe_scores.rows, probe_scores.cols,
      FloatMatrix(probe_scores), list_count, list_length, trial_count, ranking);
  if (ranking->slot_count < 0) return;
  tbb::parallel_for(tbb::blocked_range<int32_t>(0, probe_scores.rows),
                    RankRows{probe_scores, builder});
  builder.Finish();
}

int32_t RankPreparedTraditionalCMC(const TraditionalRanking& ranking,
                                   const ScoreCounts& counts, CMCCurve* curve,
                                   std::vector<int64_t>* sorted_ranks) {
  if (sorted_ranks != nullptr) sorted_ranks->clear();
  const int64_t slot_count = ranking.slot_count;
  if (slot_count < 0) return -1;
  if (curve == nullptr && sorted_ranks == nullptr) {
    for (size_t i = 0; i < ranking.probes.size(); ++i) {
      counts.DistractorsBeating(ranking.probes[i],
                                ranking.true_match_scores[i]);
    }
    return static_cast<int32_t>(slot_count);
  }
  std::vector<int64_t> ranks;
  ranks.reserve(ranking.probes.size());
  bool every_rank_has_a_slot = true;
  for (size_t i = 0; i < ranking.probes.size(); ++i) {
    // Every question is asked whatever the answers, so that a recorded
    // plan holds them all; a rank without a slot voids the curve after.
    const int64_t rank = ranking.gallery_ranks[i] +
                         counts.DistractorsBeating(
                             ranking.probes[i], ranking.true_match_scores[i]);
    every_rank_has_a_slot = every_rank_has_a_slot && rank < slot_count;
    ranks.push_back(rank);
  }
  if (!ranking.stopped && every_rank_has_a_slot) {
    SortCounts(&ranks);
    if (curve != nullptr) {
      AppendTraditionalCMCFromRanks(ranks, slot_count, curve);
    }
    if (sorted_ranks != nullptr) *sorted_ranks = std::move(ranks);
  }
  return static_cast<int32_t>(slot_count);
}

int32_t RankTraditionalCMC(const SubjectMap& subject_map,
                           const std::vector<std::string>& probe_names,
                           const cv::Mat& probe_scores, size_t list_count,
                           int64_t list_length, const ScoreCounts& counts,
                           int32_t trial_count, CMCCurve* curve,
                           std::vector<int64_t>* sorted_ranks) {
  TraditionalRanking ranking;
  PrepareTraditionalRanking(subject_map, probe_names, probe_scores, list_count,
                            list_length, trial_count, &ranking);
  return RankPreparedTraditionalCMC(ranking, counts, curve, sorted_ranks);
}
