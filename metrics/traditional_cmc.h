// The traditional CMC: in each of `trial_count` reproducible splits, every
// probe of the split is ranked against a gallery of one image per subject
// and against its own distractor scores; the ranks of all splits are
// counted, made cumulative and thinned.
//
// A probe's rank counts the competitors that beat its true match (the
// first gallery image of its subject in descending (score, index) order):
// gallery images of other subjects with a higher score, or an equal score
// and a larger index, and distractor scores strictly greater than the true
// match's score. The rank slot count is n = K + S, K the number of
// distractor scores per probe and S the number of subjects.
#ifndef FUSE_RESULTS_METRICS_TRADITIONAL_CMC_H_
#define FUSE_RESULTS_METRICS_TRADITIONAL_CMC_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "metrics/curves.h"
#include "metrics/score_counts.h"
#include "metrics/splits.h"

// The number of splits a run evaluates.
constexpr int32_t kTrialCount = 10;

// GetRank returns the rank of `probe` against `gallery` and its
// non-increasing distractor score list, as defined above. Returns -1 when
// the gallery holds no image of the probe's subject (names compared as
// strings).
int32_t GetRank(const cv::Mat& probe_scores,
                const std::vector<std::string>& probe_names,
                const std::vector<int32_t>& gallery, int32_t probe,
                const std::vector<float>& distractor_scores);

// GetGalleryRank returns the gallery part of GetRank: the number of
// gallery images of other subjects placed ahead of the true match, and sets
// `*true_match_score` to the true match's score. Returns -1 (score
// untouched) when the gallery holds no image of the probe's subject.
int32_t GetGalleryRank(const cv::Mat& probe_scores,
                       const std::vector<std::string>& probe_names,
                       const std::vector<int32_t>& gallery, int32_t probe,
                       float* true_match_score);

// GetGalleryRank as above, with subjects told apart by `subject_ids` (as
// SubjectIds gives) instead of by comparing names.
int32_t GetGalleryRank(const cv::Mat& probe_scores,
                       const std::vector<int32_t>& subject_ids,
                       const std::vector<int32_t>& gallery, int32_t probe,
                       float* true_match_score);

// SubjectIds returns one number per probe, equal for two probes iff their
// names are equal.
std::vector<int32_t> SubjectIds(const std::vector<std::string>& probe_names);

// CountGreater returns the number of entries of the non-increasing list
// `scores` that are strictly greater than `score`, by bisection.
int64_t CountGreater(const std::vector<float>& scores, float score);

// AppendTraditionalCMC turns a rank histogram (slot r: probes of rank r,
// over all splits) into the cumulative rates c_k = c_(k-1) + h_k / T in
// single precision, T = `ranked_count` as a float, and appends the thinned
// curve to `*curve`. Appends nothing for an empty histogram.
void AppendTraditionalCMC(const std::vector<int64_t>& rank_histogram,
                          int64_t ranked_count, CMCCurve* curve);

// AppendTraditionalCMCFromRanks appends what AppendTraditionalCMC appends
// for the histogram of `ranks` over `slot_count` slots (every rank in
// [0, slot_count)), in time that depends on the number of ranks, not of
// slots. Appends nothing when slot_count is 0.
void AppendTraditionalCMCFromRanks(std::vector<int64_t> ranks,
                                   int64_t slot_count, CMCCurve* curve);

// TraditionalRateAt returns slot `slot` of the cumulative rates that
// AppendTraditionalCMCFromRanks computes for `sorted_ranks` (ascending)
// before thinning, by the same single-precision additions: NaN when there
// is no rank.
float TraditionalRateAt(const std::vector<int64_t>& sorted_ranks, int64_t slot);

// RunTraditionalCMC prints "Making gallery!", "Done Making Gallery!" and
// "Allocating ranks (n)", ranks every probe of `trial_count` splits with
// GetRank, and appends the thinned cumulative rate list to `*curve`. Slot
// count n = K + S (K the length of distractor score list 0, S the number of
// subjects); rate c_k = c_(k-1) + h_k / T in single precision, T the number
// of ranked probes (so every rate is NaN when T = 0). `distractor_scores`
// must hold a non-increasing list for every probe index of the map.
// Inputs outside these preconditions append nothing: without a split (trial
// count below 1) or a distractor list, or with a probe index that
// the names, the distractor lists or the float score matrix cannot
// serve, only the first two lines are printed; a probe whose subject is
// missing from the gallery, or whose rank exceeds n - 1, stops the ranking
// after the third line. With `rank_histogram`, it receives the histogram
// of the ranks when the curve is appended, and is emptied otherwise.
void RunTraditionalCMC(const SubjectMap& subject_map,
                       const std::vector<std::string>& probe_names,
                       const cv::Mat& probe_scores,
                       const std::vector<std::vector<float>>& distractor_scores,
                       int32_t trial_count, CMCCurve* curve,
                       std::vector<int64_t>* rank_histogram = nullptr);

// The part of RankTraditionalCMC that does not depend on the answers
// about the distractor scores: which probes it ranks, in the order it asks
// about them, and the gallery part of their ranks.
struct TraditionalRanking {
  // The slot count, or -1 when the inputs leave nothing to rank (then the
  // lists are empty).
  int64_t slot_count = -1;
  // The ranked probes that come, in split order, before the first whose
  // gallery holds no image of its subject, grouped by probe (the order in
  // which questions about one probe are answered fastest); entry i of each
  // list is of the same ranked probe. Ranks are sorted before they are
  // counted, so the order changes no result.
  std::vector<int32_t> probes;
  std::vector<int32_t> gallery_ranks;
  std::vector<float> true_match_scores;
  // Whether such a probe stopped the ranking (and voids the curve).
  bool stopped = false;
};

// PrepareTraditionalRanking replaces `*ranking` with the answer-independent
// part of RankTraditionalCMC for the same arguments.
void PrepareTraditionalRanking(const SubjectMap& subject_map,
                               const std::vector<std::string>& probe_names,
                               const cv::Mat& probe_scores, size_t list_count,
                               int64_t list_length, int32_t trial_count,
                               TraditionalRanking* ranking);

// TraditionalRankingBuilder prepares the traditional ranking one score row
// at a time, so that the score matrix need never be whole in memory: once
// every probe it Needs has had its row ranked (in any order, on any
// threads, each once), Finish leaves in `*ranking` what
// PrepareTraditionalRanking gives for a matrix of these rows.
class TraditionalRankingBuilder {
 public:
  // The arguments of PrepareTraditionalRanking, the score matrix given by
  // its shape, `rows` x `cols`, and by whether it is a two-dimensional
  // matrix of 32-bit floats (`floats`). `*ranking` must outlive the
  // builder. When ranking->slot_count is then -1, nothing is ranked and
  // Finish need not be called.
  TraditionalRankingBuilder(const SubjectMap& subject_map,
                            const std::vector<std::string>& probe_names,
                            int32_t rows, int32_t cols, bool floats,
                            size_t list_count, int64_t list_length,
                            int32_t trial_count, TraditionalRanking* ranking);

  // Whether probe `probe` is ranked in some split (and needs its row).
  bool Needs(int32_t probe) const;

  // RankRow ranks probe `probe` in every split that ranks it, from `row`,
  // its scores against every probe index of the map.
  void RankRow(int32_t probe, const float* row) const;

  // Finish keeps the pairs before the first, in split order, whose gallery
  // holds no image of its subject.
  void Finish();

 private:
  TraditionalRanking* ranking_;
  Splits galleries_;
  std::vector<int32_t> subject_ids_;
  std::vector<int32_t> ranked_;     // The ranked probes, in split order.
  std::vector<size_t> split_ends_;  // Where each split's probes end there.
  // The ranked pairs grouped by probe: probe p's are order_[first_[p]] ..
  // order_[first_[p + 1] - 1], and take those positions in the lists.
  std::vector<size_t> order_;
  std::vector<size_t> first_;
  // Per split, its gallery images grouped by subject id (SubjectIds), in
  // gallery order within a subject: subject u's are
  // subject_images_[s][subject_first_[s][u]] .. before [u + 1].
  std::vector<std::vector<size_t>> subject_first_;
  std::vector<std::vector<int32_t>> subject_images_;
};

// RankPreparedTraditionalCMC is RankTraditionalCMC from its prepared part:
// the same questions in the same order, the same curve, ranks and result.
int32_t RankPreparedTraditionalCMC(const TraditionalRanking& ranking,
                                   const ScoreCounts& counts, CMCCurve* curve,
                                   std::vector<int64_t>* sorted_ranks);

// RankTraditionalCMC is RunTraditionalCMC for `list_count` probes with
// `list_length` distractor scores each, whose distractor part of every
// rank is asked of `counts` (once per ranked probe, grouped by probe), and
// which prints nothing. Returns the slot count that RunTraditionalCMC
// prints in its third line, or -1 where it prints only two. With
// `sorted_ranks`, it receives the ranks counted into the curve, ascending,
// when the curve is appended, and is emptied otherwise. A null `curve`
// asks the same questions and appends nothing.
int32_t RankTraditionalCMC(const SubjectMap& subject_map,
                           const std::vector<std::string>& probe_names,
                           const cv::Mat& probe_scores, size_t list_count,
                           int64_t list_length, const ScoreCounts& counts,
                           int32_t trial_count, CMCCurve* curve,
                           std::vector<int64_t>* sorted_ranks = nullptr);

#endif  // FUSE_RESULTS_METRICS_TRADITIONAL_CMC_H_
