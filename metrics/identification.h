// Identification with distractors: every probe as a query, each of its
// mates imagined in a gallery with the distractors; the mate rank is the
// number of the query's distractor scores that beat the mate's score. The
// identification CMC counts the pairs found within each rank.
#ifndef FUSE_RESULTS_METRICS_IDENTIFICATION_H_
#define FUSE_RESULTS_METRICS_IDENTIFICATION_H_

#include <cstdint>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "metrics/curves.h"
#include "metrics/score_counts.h"
#include "metrics/splits.h"

// Per probe j: one (mate rank, query probe index) pair for every mate.
using MateRankList = std::vector<std::pair<uint64_t, int32_t>>;
using MateRankLists = std::vector<MateRankList>;

// The ordered pairs (i, j) of distinct mates, grouped: for every subject
// in map order and every probe i of it in list order, one group of the
// pairs (i, j), j every other probe of the subject. Within a group the pairs
// are in ascending order of score (NaN last), the order in which questions
// about one probe are answered fastest: each looks up a threshold near the last
// one.
struct MatePairs {
  // The score probe_scores(i, j) of each pair.
  std::vector<float> scores;
  // The position of j in its subject's list.
  std::vector<uint32_t> mates;
};

// ListMatePairs replaces `*pairs` with the mate pairs of `subject_map`,
// scored from `probe_scores`, a float matrix covering its probe indices.
void ListMatePairs(const SubjectMap& subject_map, const cv::Mat& probe_scores,
                   MatePairs* pairs);

// MatePairLister lists the mate pairs of a map one score row at a time, so
// that the score matrix need never be whole in memory: once every probe of
// the map has had its row listed (in any order, on any threads, each
// once), `*pairs` holds what ListMatePairs gives.
class MatePairLister {
 public:
  // Sizes `*pairs`, which must outlive the lister, for `subject_map`'s
  // pairs; the map must outlive it too.
  MatePairLister(const SubjectMap& subject_map, MatePairs* pairs);

  // ListRow writes the group of probe `probe` from `row`, its scores
  // against every probe index of the map; nothing for a probe outside the
  // map. `scratch` is the caller's, reused from call to call.
  void ListRow(int32_t probe, const float* row,
               std::vector<uint64_t>* scratch) const;

 private:
  // The probes of `probe`'s subject (the columns ListRow reads of its
  // row), or null for a probe outside the map.
  const std::vector<int32_t>* Subject(int32_t probe) const;

  MatePairs* pairs_;
  // Per probe index: its subject's list (null: none), its place there, and
  // where its group starts in the pairs.
  std::vector<const std::vector<int32_t>*> subject_;
  std::vector<uint32_t> place_;
  std::vector<size_t> start_;
};

// RankMatePairs appends, for every pair (i, j) of `pairs` (as ListMatePairs
// lists them for `subject_map`), the pair (counts.DistractorsBeating(i,
// its score), i) to `(*mate_ranks)[j]`, asking in the order of `pairs`, a
// group at a time (DistractorsBeatingEach). Where `counts` answers
// concurrently, lists are kept and no probe index is in two subjects, the
// subjects are ranked at once, each asking in that order.
// Each list ends up ordered by subject and then by i in list order.
// `*mate_ranks` must have an entry for every probe index of the map; a
// null `mate_ranks` asks the same questions and keeps nothing.
void RankMatePairs(const SubjectMap& subject_map, const MatePairs& pairs,
                   const ScoreCounts& counts, MateRankLists* mate_ranks);

// SortedMateRanks returns the mate rank of every pair of `mate_ranks`,
// ascending.
std::vector<uint64_t> SortedMateRanks(const MateRankLists& mate_ranks);

// AppendIdentificationCMC counts the mate ranks (each 0..num_distractors)
// per rank, makes the counts cumulative, divides each by the number of
// pairs in single precision and appends the thinned curve, num_distractors
// + 1 rates long, to `*cmc`. Returns the rank-1 rate (NaN when there is no
// pair, and the curve is then its last point, NaN).
float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc);

#endif  // FUSE_RESULTS_METRICS_IDENTIFICATION_H_
