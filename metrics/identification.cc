#include "metrics/identification.h"

#include <algorithm>
#include <cstdint>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "metrics/radix_sort.h"

namespace {

// MatePairGroups is the body of the parallel loop over the subjects that
// lists their mate pairs: a named type, so that the loop's task types have
// names short enough for the race checker's reports to name them.
struct MatePairGroups {
  const cv::Mat& probe_scores;
  const std::vector<const std::vector<int32_t>*>& subjects;
  const MatePairLister& lister;

  void operator()(const tbb::blocked_range<size_t>& range) const {
    std::vector<uint64_t> scratch;
    for (size_t s = range.begin(); s != range.end(); ++s) {
      const std::vector<int32_t>& probes = *subjects[s];
      for (size_t a = 0; a < probes.size(); ++a) {
        if (a + 1 < probes.size()) {
          // The next row's scores of the group, one cache line each, are
          // fetched while this row's are sorted: waiting for them one by
          // one was most of the listing.
          const float* next = probe_scores.ptr<float>(probes[a + 1]);
          for (const int32_t b : probes) __builtin_prefetch(next + b);
        }
        lister.ListRow(probes[a], probe_scores.ptr<float>(probes[a]), &scratch);
      }
    }
  }
};

// Groups up to this size are sorted by counting each key's rank.
constexpr size_t kRankSortMax = 128;

// SortGroup sorts a group's keys (distinct: each holds its position)
// ascending. A small group is sorted by counting, for every key, the keys
// below it: no branch to mispredict, and loops the compiler vectorizes on
// the keys' upper halves (the score keys), ties going by position as the
// lower halves would order them. Measured on groups of random scores,
// that takes 0.2 us against 0.6 us for std::sort at 32 keys and 2.4
// against 3.4 us at 128; beyond that the sort wins.
void SortGroup(std::vector<uint64_t>* group) {
  const size_t n = group->size();
  if (n > kRankSortMax) {
    std::sort(group->begin(), group->end());
    return;
  }
  uint32_t keys[kRankSortMax];
  uint64_t sorted[kRankSortMax];
  for (size_t i = 0; i < n; ++i) {
    keys[i] = static_cast<uint32_t>((*group)[i] >> 32);
  }
  // The positions ascend along the group, so a tie goes to the earlier.
  for (size_t i = 0; i < n; ++i) {
    const uint32_t key = keys[i];
    uint32_t rank = 0;
    for (size_t j = 0; j < n; ++j) rank += keys[j] < key;
    for (size_t j = 0; j < i; ++j) rank += keys[j] == key;
    sorted[rank] = (*group)[i];
  }
  std::copy(sorted, sorted + n, group->begin());
}

// IndicesDistinct returns true iff no probe index appears twice in the map
// (every index below `limit`).
bool IndicesDistinct(const SubjectMap& subject_map, size_t limit) {
  std::vector<char> seen(limit, 0);
  for (const auto& subject : subject_map) {
    for (const int32_t p : subject.second) {
      if (p < 0 || static_cast<size_t>(p) >= limit || seen[p]) return false;
      seen[p] = 1;
    }
  }
  return true;
}

// RankSubjectPairs is the body of the loop over subjects of RankMatePairs:
// a named type, so that the race checker's reports can name its tasks.
// Subject s's groups start at pair first_pair[s].
struct RankSubjectPairs {
  const std::vector<const std::vector<int32_t>*>& subjects;
  const std::vector<size_t>& first_pair;
  const MatePairs& pairs;
  const ScoreCounts& counts;
  MateRankLists* mate_ranks;

  void operator()(const tbb::blocked_range<size_t>& range) const {
    std::vector<int64_t> ranks;  // One group's.
    for (size_t s = range.begin(); s != range.end(); ++s) {
      const std::vector<int32_t>& probes = *subjects[s];
      // Each list receives at most one pair of a group, so the order within
      // a group leaves every list ordered by subject and then by query.
      size_t k = first_pair[s];
      ranks.resize(probes.size());
      for (const int32_t i : probes) {
        const size_t group = probes.size() - 1;
        counts.DistractorsBeatingEach(i, pairs.scores.data() + k, group,
                                      ranks.data());
        if (mate_ranks != nullptr) {
          for (size_t m = 0; m < group; ++m) {
            (*mate_ranks)[probes[pairs.mates[k + m]]].emplace_back(
                static_cast<uint64_t>(ranks[m]), i);
          }
        }
        k += group;
      }
    }
  }
};

}  // namespace

MatePairLister::MatePairLister(const SubjectMap& subject_map, MatePairs* pairs)
    : pairs_(pairs) {
  int32_t probes = 0;
  for (const auto& subject : subject_map) {
    for (const int32_t p : subject.second) probes = std::max(probes, p + 1);
  }
  subject_.assign(static_cast<size_t>(probes), nullptr);
  place_.assign(static_cast<size_t>(probes), 0);
  start_.assign(static_cast<size_t>(probes), 0);
  size_t count = 0;
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& list = subject.second;
    for (size_t a = 0; a < list.size(); ++a) {
      subject_[list[a]] = &list;
      place_[list[a]] = static_cast<uint32_t>(a);
      start_[list[a]] = count;
      count += list.size() - 1;
    }
  }
  pairs->scores.resize(count);
  pairs->mates.resize(count);
}

const std::vector<int32_t>* MatePairLister::Subject(int32_t probe) const {
  return probe >= 0 && static_cast<size_t>(probe) < subject_.size()
             ? subject_[probe]
             : nullptr;
}

void MatePairLister::ListRow(int32_t probe, const float* row,
                             std::vector<uint64_t>* scratch) const {
  const std::vector<int32_t>* subject = Subject(probe);
  if (subject == nullptr) return;
  const std::vector<int32_t>& probes = *subject;
  const size_t a = place_[probe];
  // A group sorts as keys: the score's key above, the position below.
  std::vector<uint64_t>& group = *scratch;
  group.clear();
  for (size_t b = 0; b < probes.size(); ++b) {
    if (b != a) {
      group.push_back((uint64_t{AscendingKey(row[probes[b]])} << 32) | b);
    }
  }
  SortGroup(&group);
  size_t next = start_[probe];
  for (const uint64_t key : group) {
    const uint32_t b = static_cast<uint32_t>(key);
    pairs_->scores[next] = row[probes[b]];
    pairs_->mates[next] = b;
    ++next;
  }
}

void ListMatePairs(const SubjectMap& subject_map, const cv::Mat& probe_scores,
                   MatePairs* pairs) {
  const MatePairLister lister(subject_map, pairs);
  std::vector<const std::vector<int32_t>*> subjects;
  for (const auto& subject : subject_map) subjects.push_back(&subject.second);
  tbb::parallel_for(tbb::blocked_range<size_t>(0, subjects.size()),
                    MatePairGroups{probe_scores, subjects, lister});
}

void RankMatePairs(const SubjectMap& subject_map, const MatePairs& pairs,
                   const ScoreCounts& counts, MateRankLists* mate_ranks) {
  std::vector<const std::vector<int32_t>*> subjects;
  std::vector<size_t> first_pair;  // Where each subject's groups start.
  size_t pair_count = 0;
  for (const auto& subject : subject_map) {
    subjects.push_back(&subject.second);
    first_pair.push_back(pair_count);
    pair_count += subject.second.size() * (subject.second.size() - 1);
  }
  if (mate_ranks != nullptr) {
    // Each list grows once, to its final size, before the lists are
    // filled on several threads (which would contend for the allocator).
    for (const std::vector<int32_t>* probes : subjects) {
      for (const int32_t j : *probes) {
        (*mate_ranks)[j].reserve((*mate_ranks)[j].size() + probes->size() - 1);
      }
    }
  }
  const RankSubjectPairs rank{subjects, first_pair, pairs, counts, mate_ranks};
  // Subjects that share no probe index fill lists apart: they are ranked
  // at once when the counts allow it.
  if (mate_ranks != nullptr && counts.AnswersConcurrently() &&
      IndicesDistinct(subject_map, mate_ranks->size())) {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, subjects.size()), rank);
  } else {
    rank(tbb::blocked_range<size_t>(0, subjects.size()));
  }
}

std::vector<uint64_t> SortedMateRanks(const MateRankLists& mate_ranks) {
  std::vector<uint64_t> ranks;
  for (const MateRankList& list : mate_ranks) {
    for (const auto& [rank, query] : list) ranks.push_back(rank);
  }
  std::sort(ranks.begin(), ranks.end());
  return ranks;
}

float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc) {
  // Counts are integers, so they stay exact at any scale; they become
  // floats only where a rate is divided out, in single precision. The
  // ranks, as signed numbers, are counted per rank when they span fewer
  // ranks than there are pairs (as those of a run do), and sorted
  // otherwise; both give the same curve.
  uint64_t pairs = 0;
  int64_t lowest = 0;
  int64_t highest = 0;
  for (const MateRankList& list : mate_ranks) {
    for (const auto& entry : list) {
      const int64_t rank = static_cast<int64_t>(entry.first);
      lowest = pairs == 0 ? rank : std::min(lowest, rank);
      highest = pairs == 0 ? rank : std::max(highest, rank);
      ++pairs;
    }
  }
  const float total = static_cast<float>(pairs);
  const auto rate = [total](int64_t, int64_t at_most_k) {
    return static_cast<float>(at_most_k) / total;
  };
  const auto point = [cmc](int64_t k, float value) {
    cmc->emplace_back(static_cast<int32_t>(k), value);
  };
  const uint64_t span =
      static_cast<uint64_t>(highest) - static_cast<uint64_t>(lowest);
  if (pairs > 0 && span < pairs && pairs <= UINT32_MAX) {
    std::vector<uint32_t> counts(span + 1, 0);
    for (const MateRankList& list : mate_ranks) {
      for (const auto& entry : list) {
        ++counts[static_cast<uint64_t>(entry.first) -
                 static_cast<uint64_t>(lowest)];
      }
    }
    AppendThinnedCounts(lowest, counts, int64_t{num_distractors}, rate, point);
    uint64_t rank1 = 0;
    for (int64_t rank = lowest; rank <= std::min<int64_t>(highest, 0); ++rank) {
      rank1 += counts[rank - lowest];
    }
    return static_cast<float>(rank1) / total;
  }
  std::vector<int64_t> ranks;
  ranks.reserve(pairs);
  for (const MateRankList& list : mate_ranks) {
    for (const auto& entry : list) {
      ranks.push_back(static_cast<int64_t>(entry.first));
    }
  }
  SortCounts(&ranks);
  AppendThinnedSteps(ranks, int64_t{num_distractors}, rate, point);
  const int64_t rank1 =
      std::upper_bound(ranks.begin(), ranks.end(), int64_t{0}) - ranks.begin();
  return static_cast<float>(rank1) / total;
}
