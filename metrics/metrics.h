// Pure metric functions: the thinning rule shared by every curve, the
// reproducible gallery/probe splits, the traditional CMC and the true accept
// table of the ROC. Nothing here reads files; only RunTraditionalCMC prints
// (its three progress lines, on standard output).
//
// Rates are 32-bit floats computed in the order documented per function, so
// that curves are reproducible to the bit.
#ifndef FUSE_RESULTS_METRICS_METRICS_H_
#define FUSE_RESULTS_METRICS_METRICS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "probes/probe_info.h"

// A CMC curve: (rank index, rate) points; rank index 0 is rank 1.
using CMCCurve = std::vector<std::pair<int32_t, float>>;
// A ROC curve: (false accept rate, true accept rate) points.
using ROCCurve = std::vector<std::pair<float, float>>;
// A scored, labelled pair: label 1 genuine, any other label impostor.
using VerificationPair = std::pair<float, int32_t>;

// The sampling step of the thinning rule.
constexpr double kSamplingStep = 0.01;

// CurveThinner applies the thinning rule to a sequence of rates offered in
// index order: a rate is kept when its rise over the last kept rate,
// computed in single precision and widened to double, is greater than
// kSamplingStep, or when it is the last of the sequence. The first rate is
// always kept (the last kept rate starts at -1). A NaN rate is kept only as
// the last one.
class CurveThinner {
 public:
  // Keep returns true iff `rate` is kept; `is_last` marks the last rate.
  bool Keep(float rate, bool is_last) {
    const float rise = rate - last_kept_;
    if (static_cast<double>(rise) > kSamplingStep || is_last) {
      last_kept_ = rate;
      return true;
    }
    return false;
  }

 private:
  float last_kept_ = -1.0f;
};

// QuantizeCMC appends to `*curve` the points (i, rates[i]) that the
// thinning rule keeps; what `*curve` held stays in front. An empty list
// appends nothing.
void QuantizeCMC(const std::vector<float>& rates, CMCCurve* curve);

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
void MakeGalleriesAndProbes(const SubjectMap& subject_map,
                            int32_t trial_count, Splits* galleries,
                            Splits* probes);

// GetRank returns the rank of `probe` against `gallery` and its
// non-increasing distractor score list: the number of gallery images of
// other subjects that beat the true match (the first gallery image, in
// descending (score, index) order, whose name equals the probe's) with a
// higher score, or with an equal score and a larger index, plus the number
// of distractor scores strictly greater than the true match's score.
// Returns -1 when the gallery holds no image of the probe's subject.
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

// DistractorCounter(p, score) returns how many distractor scores of probe
// p beat `score` (compare strictly greater).
using DistractorCounter = std::function<int64_t(int32_t probe, float score)>;

// RankTraditionalCMC is RunTraditionalCMC with the distractor part of each
// rank given by `count` instead of read off sorted lists: `list_count`
// probes have distractor scores, `list_length` each.
void RankTraditionalCMC(const SubjectMap& subject_map,
                        const std::vector<std::string>& probe_names,
                        const cv::Mat& probe_scores, size_t list_count,
                        int64_t list_length, const DistractorCounter& count,
                        int32_t trial_count, CMCCurve* curve);

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
// after the third line.
void RunTraditionalCMC(const SubjectMap& subject_map,
                       const std::vector<std::string>& probe_names,
                       const cv::Mat& probe_scores,
                       const std::vector<std::vector<float>>& distractor_scores,
                       int32_t trial_count, CMCCurve* curve);

// ComputeROC replaces `*tar` with the true accept table of
// `verification_list`, which is sorted by descending (score, label): entry
// k is the number of genuine pairs before the (k+1)-th impostor pair
// divided by `genuine_count` (both converted to float), for k from 0 to
// `impostor_count`. Entries past the last impostor of the list stay 0.
// Throws std::out_of_range when the list holds more than `impostor_count`
// impostor pairs. A negative `impostor_count` counts as 0.
void ComputeROC(const std::vector<VerificationPair>& verification_list,
                int64_t genuine_count, int64_t impostor_count,
                std::vector<float>* tar);

#endif  // FUSE_RESULTS_METRICS_METRICS_H_
