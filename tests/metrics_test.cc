// The metric functions against worked examples: thinning,
// splits, the traditional CMC, the true accept table, and the curves built
// from counts against the same curves built slot by slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/radix_sort.h"
#include "metrics/roc.h"
#include "metrics/splits.h"
#include "metrics/traditional_cmc.h"
#include "reference/sort_everything.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Bit equality, except that any NaN matches any NaN (0/0 yields a NaN
// whose sign differs from quiet_NaN()).
bool SameRate(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 4) == 0;
}

// Curves compare bit for bit: a rate one ulp off is a different curve.
template <typename Curve>
void ExpectSameCurve(const Curve& expected, const Curve& actual) {
  EXPECT_TRUE(std::equal(
      expected.begin(), expected.end(), actual.begin(), actual.end(),
      [](const auto& a, const auto& b) {
        return SameRate(a.first, b.first) && SameRate(a.second, b.second);
      }))
      << testing::PrintToString(actual);
}

SubjectMap MapOf(const std::vector<std::string>& names) {
  SubjectMap map;
  for (size_t i = 0; i < names.size(); ++i) map[names[i]].push_back(i);
  return map;
}

TEST(QuantizeCMCTest, ThinningCases) {
  const std::pair<std::vector<float>, CMCCurve> cases[] = {
      {{0.5f, 0.505f, 0.512f, 0.52f, 0.6f, 1.0f, 1.0f, 1.0f},
       {{0, 0.5f}, {2, 0.512f}, {4, 0.6f}, {5, 1.0f}, {7, 1.0f}}},
      {{}, {}},
      {{0.0f}, {{0, 0.0f}}},
      // 0.51f - 0.5f is 0.00999999, below the step: kept only as last.
      {{0.5f, 0.51f, 0.51f}, {{0, 0.5f}, {2, 0.51f}}},
      // Rises add up from the last kept point, not the previous one.
      {{0.0f, 0.006f, 0.012f, 0.018f, 0.018f},
       {{0, 0.0f}, {2, 0.012f}, {4, 0.018f}}},
      {{0.2f, kNaN, kNaN}, {{0, 0.2f}, {2, kNaN}}}};
  for (const auto& [rates, expected] : cases) {
    // What the curve held stays in front.
    CMCCurve curve = {{3, 0.75f}}, with_front = {{3, 0.75f}};
    with_front.insert(with_front.end(), expected.begin(), expected.end());
    QuantizeCMC(rates, &curve);
    ExpectSameCurve(with_front, curve);
  }
}

TEST(SplitGeneratorTest, ValuesDrawsAndRejection) {
  EXPECT_EQ(SplitGenerator().Next(), 16807u);
  SplitGenerator drawer(1);
  std::vector<uint64_t> draws;
  for (int i = 0; i < 10; ++i) draws.push_back(drawer.Draw(10));
  EXPECT_EQ(std::vector<uint64_t>({0, 1, 7, 4, 5, 2, 0, 6, 6, 9}), draws);
  // From state 71936294 the next value is 2147483644, v = 2147483643: at
  // the limit for n = 3 (rejected), below it for n = 2 (accepted). The
  // state afterwards tells how many values the draw consumed.
  for (const auto& [n, draw, state_after] :
       {std::tuple{3u, 2u, 2147433226u}, std::tuple{2u, 1u, 2147483644u}}) {
    SplitGenerator from(71936294);
    EXPECT_EQ(draw, from.Draw(n));
    EXPECT_EQ(SplitGenerator(state_after).Next(), from.Next()) << n;
  }
}

TEST(MakeGalleriesAndProbesTest, WorkedExamples) {
  for (int repeat = 0; repeat < 2; ++repeat) {  // Every call reseeds.
    Splits galleries, probes;
    MakeGalleriesAndProbes({{"A", {0, 1, 2}}, {"B", {3}}, {"C", {4, 5}}}, 3,
                           &galleries, &probes);
    EXPECT_EQ(Splits({{0, 3, 5}, {1, 3, 4}, {0, 3, 5}}), galleries);
    EXPECT_EQ(Splits({{1, 2, 4}, {0, 2, 5}, {1, 2, 4}}), probes);
  }
  Splits galleries, probes;
  MakeGalleriesAndProbes({{"A", {0, 1}}}, -1, &galleries, &probes);
  EXPECT_TRUE(galleries.empty() && probes.empty());
}

TEST(GetRankTest, TieRules) {
  // Probe 0 of "P" against images 1 (Q), 2 (P), 3 (Q) and 4 (P).
  const std::vector<std::string> names = {"P", "Q", "P", "Q", "P"};
  struct Case {
    const char* name;
    float s1, s2, s3, s4;
    std::vector<float> distractors;
    int32_t expected;
    std::vector<int32_t> gallery = {1, 2, 3};
  };
  const Case cases[] = {
      {"equal score, smaller index", 0.5f, 0.5f, 0.1f, 0, {}, 0},
      {"equal score, larger index", 0.1f, 0.5f, 0.5f, 0, {}, 1},
      {"both higher", 0.6f, 0.5f, 0.7f, 0, {}, 2},
      {"equal distractor", 0.1f, 0.5f, 0.1f, 0, {0.5f, 0.4f}, 0},
      {"distractor above", 0.1f, 0.5f, 0.1f, 0, {0.50001f, 0.5f, 0.4f}, 1},
      {"gallery and distractors", 0.6f, 0.5f, 0.5f, 0, {0.9f, 0.7f, 0.5f}, 4},
      {"NaN competitor does not count", kNaN, 0.5f, 0.1f, 0, {}, 0},
      // The true match is the first image of the subject in (score, index)
      // order: image 4, beaten by nothing.
      {"better later image", 0.1f, 0.4f, 0.5f, 0.6f, {}, 0, {1, 2, 3, 4}},
      {"equal later image", 0.1f, 0.4f, 0.4f, 0.4f, {}, 0, {1, 2, 3, 4}},
      {"subject missing", 0.1f, 0.2f, 0.3f, 0, {0.9f}, -1, {1, 3}},
      {"empty gallery", 0, 0, 0, 0, {}, -1, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat scores = (cv::Mat_<float>(1, 5) << 0, c.s1, c.s2, c.s3, c.s4);
    EXPECT_EQ(c.expected, GetRank(scores, names, c.gallery, 0, c.distractors));
    float score = -1.0f;
    const int32_t rank = GetGalleryRank(scores, names, c.gallery, 0, &score);
    // The gallery part of the rank, and the true match's score (untouched
    // when the subject is missing).
    EXPECT_EQ(
        c.expected < 0 ? -1 : c.expected - CountGreater(c.distractors, score),
        rank);
    EXPECT_EQ(c.expected < 0 ? -1.0f : std::max(c.s2, c.s4), score);
  }
}

// The inputs of RunTraditionalCMC.
struct Experiment {
  SubjectMap map;
  std::vector<std::string> names;
  cv::Mat scores;
  std::vector<std::vector<float>> lists;  // Distractor scores per probe.
  int32_t trials;
};

// Counts read off sorted lists by bisection, as the plain algorithms do.
class SortedListCounts : public ScoreCounts {
 public:
  explicit SortedListCounts(const std::vector<std::vector<float>>& lists)
      : lists_(lists) {}
  int64_t DistractorsBeating(int32_t probe, float score) const override {
    return CountGreater(lists_[probe], score);
  }
  int64_t ImpostorsBeating(float) const override { return 0; }
  void TopDistractors(int32_t, TopDistractorList*) const override {}

 private:
  const std::vector<std::vector<float>>& lists_;
};

// Runs RunTraditionalCMC on `e`, checks its progress lines (`slots` in the
// third; -1: no third line) and returns the appended points; the curve and
// slot count of RankTraditionalCMC, from counts, must be the same.
CMCCurve RunCMC(const Experiment& e, int slots) {
  CMCCurve curve;
  testing::internal::CaptureStdout();
  RunTraditionalCMC(e.map, e.names, e.scores, e.lists, e.trials, &curve);
  std::string lines = "Making gallery!\nDone Making Gallery!\n";
  if (slots >= 0) lines += "Allocating ranks (" + std::to_string(slots) + ")\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), lines);
  CMCCurve from_counts;
  const int64_t length = e.lists.empty() ? 0 : e.lists[0].size();
  ScoreQuestions asked;
  EXPECT_EQ(slots,
            RankTraditionalCMC(e.map, e.names, e.scores, e.lists.size(), length,
                               QuestionRecorder(&asked), e.trials, nullptr));
  EXPECT_EQ(slots, RankTraditionalCMC(e.map, e.names, e.scores, e.lists.size(),
                                      length, SortedListCounts(e.lists),
                                      e.trials, &from_counts));
  ExpectSameCurve(curve, from_counts);
  // One question per probe ranked before the first, in split order, whose
  // gallery lacks its subject, about its true match's score.
  std::vector<std::pair<int32_t, float>> expected;
  Splits galleries, probes;
  MakeGalleriesAndProbes(e.map, e.trials, &galleries, &probes);
  for (size_t s = 0; slots >= 0 && s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) {
      float score = 0;
      if (GetGalleryRank(e.scores, e.names, galleries[s], p, &score) < 0) {
        s = galleries.size() - 1;
        break;
      }
      expected.emplace_back(p, score);
    }
  }
  std::sort(expected.begin(), expected.end());
  std::sort(asked.probe_scores.begin(), asked.probe_scores.end());
  EXPECT_EQ(expected, asked.probe_scores);
  return curve;
}

TEST(RunTraditionalCMCTest, WorkedSplitsAndInputsOutsideThePreconditions) {
  // The worked splits: every probe prefers its own subject, so only
  // distractors above 0.5 count: probe 1 is beaten by two of them, every
  // other probe by none. Probes ranked: 1, 2, 4 / 0, 2, 5 / 1, 2, 4; T = 9,
  // two at rank 2.
  const std::vector<std::string> W = {"A", "A", "A", "B", "C", "C"};
  cv::Mat_<float> WS(6, 6);
  for (int i = 0; i < 36; ++i) {
    WS(i / 6, i % 6) = W[i / 6] == W[i % 6] ? 0.5f : 0.25f;
  }
  std::vector<std::vector<float>> WL(6, std::vector<float>(10, 0.1f));
  WL[1] = {0.75f, 0.5001f, 0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f};
  const CMCCurve worked = {{0, 7.0f / 9}, {2, 7.0f / 9 + 2.0f / 9}, {12, 1}};
  // Valid inputs (names N, map M, scores S, distractor lists L) that each
  // other case breaks in one place.
  const std::vector<std::string> N = {"A", "A", "B"}, ABC = {"A", "B", "C"};
  const SubjectMap M = MapOf(N);
  const cv::Mat S(3, 3, CV_32FC1, cv::Scalar(0.5f));
  const std::vector<std::vector<float>> L(3, {0.1f});
  const struct {
    const char* name;
    Experiment experiment;
    int slots;  // In the third printed line; -1: no third line.
    CMCCurve expected;
  } cases[] = {
      {"worked splits", {MapOf(W), W, WS, WL, 3}, 13, worked},
      {"no trials", {M, N, S, L, 0}, -1, {}},
      {"no distractor lists", {M, N, S, {}, 10}, -1, {}},
      {"too few lists", {M, N, S, {{0.1f}, {0.1f}}, 10}, -1, {}},
      {"index beyond the names", {M, {"A", "A"}, S, L, 10}, -1, {}},
      {"index beyond the matrix", {M, N, S.rowRange(0, 2), L, 10}, -1, {}},
      {"doubles", {M, N, cv::Mat(3, 3, CV_64FC1, 0.5), L, 10}, -1, {}},
      {"names disagree with the map", {M, {"A", "X", "B"}, S, L, 10}, 3, {}},
      {"list 1 longer", {M, N, S, {{.1f}, {.9f, .8f}, {.9f, .8f}}, 10}, 3, {}},
      // Nothing ranked: every rate is the NaN of 0 / 0.
      {"single-image subjects", {MapOf(ABC), ABC, S, L, 10}, 4, {{3, kNaN}}},
      {"no probes", {{}, {}, cv::Mat(), L, 10}, 1, {{0, kNaN}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSameCurve(c.expected, RunCMC(c.experiment, c.slots));
  }
}

TEST(ComputeROCTest, Cases) {
  struct Case {
    std::vector<VerificationPair> list;
    int64_t genuine, impostor;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {{{.9f, 1}, {.8f, -1}, {.7f, 1}, {.6f, 1}, {.5f, -1}},
       3,
       2,
       {1 / 3.f, 1, 1}},
      {{}, 4, 3, {0.0f, 0.0f, 0.0f, 0.0f}},
      {{{0.9f, 1}, {0.8f, 1}}, 2, 0, {1.0f}},
      // Entries past the last impostor of the list stay 0.
      {{{0.9f, 1}, {0.8f, -1}, {0.7f, 1}}, 2, 4, {0.5f, 1.0f, 0, 0, 0}},
      {{{0.9f, 0}, {0.8f, 1}, {0.7f, 2}}, 1, 2, {0.0f, 1.0f, 1.0f}},
      {{{0.9f, 1}, {0.8f, -1}, {0.7f, -1}, {0.6f, 1}}, 2, 2, {.5f, .5f, 1}},
      {{{0.9f, 1}}, 1, -5, {1.0f}},  // A negative count counts as 0.
      {{{0.9f, -1}, {0.5f, -1}}, 0, 3, {0.0f, kNaN, kNaN, 0.0f}}};
  for (const Case& c : cases) {
    std::vector<float> tar(7, 7.0f);
    ComputeROC(c.list, c.genuine, c.impostor, &tar);
    EXPECT_TRUE(std::equal(tar.begin(), tar.end(), c.expected.begin(),
                           c.expected.end(), SameRate))
        << testing::PrintToString(tar);
  }
  // More impostor pairs than counted.
  std::vector<float> tar;
  EXPECT_THROW(ComputeROC({{0.9f, -1}, {0.8f, -1}}, 1, 1, &tar),
               std::out_of_range);
  EXPECT_THROW(ComputeROC({{0.9f, -1}}, 1, 0, &tar), std::out_of_range);
}

TEST(StepCurvesTest, CurvesFromCountsMatchTheTables) {
  // On random inputs with repeats, empty inputs and extreme ranks, the
  // curves of the single pass (from counts) equal those built slot by slot
  // by the plain algorithms.
  std::mt19937 random(5);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    const int64_t slots = 1 + random() % 40;
    const size_t count = trial % 10 == 0 ? 0 : random() % 60;
    std::vector<int64_t> ranks(count);
    std::vector<int64_t> histogram(slots, 0);
    MateRankLists mates(2);
    for (int64_t& rank : ranks) {
      rank = random() % 3 == 0 ? 0 : random() % slots;
      ++histogram[rank];
      mates[random() % 2].emplace_back(rank, 0);
    }
    CMCCurve from_table, from_ranks;
    AppendTraditionalCMC(histogram, static_cast<int64_t>(count), &from_table);
    AppendTraditionalCMCFromRanks(ranks, slots, &from_ranks);
    ExpectSameCurve(from_table, from_ranks);

    CMCCurve plain, sparse;
    const float plain_rank1 =
        AppendHistogramCMC(mates, static_cast<int32_t>(slots - 1), &plain);
    EXPECT_TRUE(SameRate(plain_rank1,
                         AppendIdentificationCMC(mates, slots - 1, &sparse)));
    ExpectSameCurve(plain, sparse);

    // A verification list in threshold order whose genuine pairs are beaten
    // by the drawn numbers of impostors.
    const int64_t impostors = random() % 30;
    std::vector<int64_t> beaten_by(trial % 7 == 0 ? 0 : random() % 50);
    for (int64_t& b : beaten_by) b = random() % (impostors + 1);
    std::vector<VerificationPair> list;
    std::vector<int64_t> sorted = beaten_by;
    std::sort(sorted.begin(), sorted.end());
    size_t g = 0;
    for (int64_t k = 0; k <= impostors; ++k) {
      for (; g < sorted.size() && sorted[g] == k; ++g) list.push_back({1, 1});
      if (k < impostors) list.push_back({1.0f, -1});
    }
    std::vector<float> tar;
    ComputeROC(list, static_cast<int64_t>(beaten_by.size()), impostors, &tar);
    ROCCurve from_tar, from_counts;
    AppendROCCurve(tar, &from_tar);
    AppendROCCurveFromCounts(beaten_by, impostors, &from_counts);
    ExpectSameCurve(from_tar, from_counts);
  }
}

// Counts of the scores of every distractor list that beat a score, NaN
// scores included (beaten by none, beating none).
class ListCounts : public ScoreCounts {
 public:
  explicit ListCounts(const std::vector<std::vector<float>>& lists)
      : lists_(lists) {}
  int64_t DistractorsBeating(int32_t probe, float score) const override {
    return std::count_if(lists_[probe].begin(), lists_[probe].end(),
                         [score](float s) { return s > score; });
  }
  int64_t ImpostorsBeating(float score) const override {
    return DistractorsBeating(0, score);
  }
  void TopDistractors(int32_t, TopDistractorList*) const override {}

 private:
  const std::vector<std::vector<float>>& lists_;
};

// The bits of every score, sorted: equal for the same scores in any order.
std::vector<uint32_t> SortedBits(const std::vector<float>& scores) {
  std::vector<uint32_t> bits(scores.size());
  std::memcpy(bits.data(), scores.data(), 4 * scores.size());
  std::sort(bits.begin(), bits.end());
  return bits;
}

// (score key, place, score bits) of a listed pair: sorted, the order a
// group lists its pairs in.
using ListedPair = std::tuple<uint32_t, uint32_t, uint32_t>;
ListedPair Listed(uint32_t place, float score) {
  uint32_t bits;
  std::memcpy(&bits, &score, 4);
  return {AscendingKey(score), place, bits};
}

// A group lists its mates in ascending order of score key, ties by their
// place in the subject, at every size (small groups and large ones are
// sorted differently); ranking and the genuine scores follow the groups.
TEST(MatePairsTest, GroupsInScoreOrderRankAndScoreAsPairByPair) {
  std::mt19937 random(11);
  // Few levels, signed zeros and some NaN, so that scores tie within and
  // across rows.
  const float levels[] = {-0.0f, 0.0f, 1 / 6.0f, 0.5f, 5 / 6.0f, 1.0f, -1.0f};
  auto draw = [&] { return random() % 20 ? levels[random() % 7] : kNaN; };
  for (int trial = 0; trial < 36; ++trial) {
    SCOPED_TRACE(trial);
    // One subject of 120 to 300 probes, around the size where the sorting
    // changes, or many small ones.
    const bool one_large = trial % 6 == 0;
    const int32_t probes =
        static_cast<int32_t>(one_large ? 120 + random() % 181 : random() % 60);
    std::vector<std::string> names;
    for (int32_t p = 0; p < probes; ++p) {
      names.push_back(one_large ? "s"
                                : std::to_string(random() % (1 + probes / 4)));
    }
    const SubjectMap map = MapOf(names);
    cv::Mat_<float> scores(probes, probes);
    for (float& score : scores) score = draw();
    std::vector<std::vector<float>> lists(probes);
    for (auto& list : lists) {
      for (int k = random() % 9; k > 0; --k) list.push_back(draw());
    }

    MatePairs pairs;
    ListMatePairs(map, scores, &pairs);
    MateRankLists expected(probes);
    std::vector<float> genuine;
    size_t k = 0;
    for (const auto& [name, q] : map) {
      for (size_t a = 0; a < q.size(); ++a) {
        std::vector<ListedPair> group, listed;
        for (size_t b = 0; b < q.size(); ++b) {
          if (b == a) continue;
          group.push_back(Listed(b, scores(q[a], q[b])));
          expected[q[b]].emplace_back(
              ListCounts(lists).DistractorsBeating(q[a], scores(q[a], q[b])),
              q[a]);
          if (b > a) genuine.push_back(scores(q[a], q[b]));
        }
        std::sort(group.begin(), group.end());
        for (size_t end = k + group.size(); k < end; ++k) {
          listed.push_back(Listed(pairs.mates[k], pairs.scores[k]));
        }
        ASSERT_EQ(group, listed);
      }
    }
    EXPECT_EQ(k, pairs.scores.size());
    MateRankLists ranked(probes);
    RankMatePairs(map, pairs, ListCounts(lists), &ranked);
    EXPECT_EQ(expected, ranked);
    EXPECT_EQ(SortedBits(genuine),
              SortedBits(GenuineScoresOfMates(map, pairs)));
  }
}

TEST(SortingTest, RadixSortsSortAsComparisonSorts) {
  std::mt19937_64 random(3);
  // Sizes on both sides of the radix threshold; spans that take one to
  // three passes, or none, or too many for the radix sort.
  for (const size_t size : {0, 5, 1023, 1024, 5000}) {
    for (const int span_bits : {0, 1, 11, 12, 33, 34, 63}) {
      std::vector<int64_t> counts(size);
      for (int64_t& count : counts) {
        const uint64_t offset =
            span_bits == 0 ? 0 : random() >> (64 - span_bits);
        count = static_cast<int64_t>(offset) - (int64_t{1} << 20);
      }
      std::vector<int64_t> expected = counts;
      std::sort(expected.begin(), expected.end());
      SortCounts(&counts);
      EXPECT_EQ(expected, counts) << size << " " << span_bits;
    }
  }
  const float kInf = std::numeric_limits<float>::infinity();
  std::vector<float> scores = {kNaN,  1.5f,  -0.0f,  0.0f,    -kInf, kInf,
                               -2.0f, -kNaN, 1e-45f, -1e-45f, 1.5f,  0.0f};
  for (int i = 0; i < 3000; ++i) {
    scores.push_back(std::ldexp(static_cast<float>(random() % 2001) - 1000,
                                static_cast<int>(random() % 40) - 20));
  }
  const std::vector<float> drawn = scores;
  SortForCounting(&scores);
  EXPECT_EQ(SortedBits(drawn), SortedBits(scores));
  // Ascending, -0 before +0, every NaN last.
  const auto nan_begin = std::find_if(scores.begin(), scores.end(),
                                      [](float s) { return std::isnan(s); });
  EXPECT_EQ(scores.end() - nan_begin, 2);
  EXPECT_TRUE(std::all_of(nan_begin, scores.end(),
                          [](float s) { return std::isnan(s); }));
  EXPECT_TRUE(std::is_sorted(scores.begin(), nan_begin, [](float a, float b) {
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
  }));
}

TEST(StepCurvesTest, CountedEventsVisitAsListedEvents) {
  std::mt19937 random(8);
  for (int trial = 0; trial < 200; ++trial) {
    const int64_t last = random() % 30;
    const int64_t lowest = trial % 5 == 0 ? -3 : random() % 3;
    std::vector<uint32_t> counts(trial % 9 == 0 ? 0 : 1 + random() % 35);
    std::vector<int64_t> sorted;
    for (size_t i = 0; i < counts.size(); ++i) {
      counts[i] = random() % 3 == 0 ? random() % 4 : 0;
      sorted.insert(sorted.end(), counts[i], lowest + static_cast<int64_t>(i));
    }
    // Every visit, kept or not, with the events up to it.
    std::vector<std::pair<int64_t, int64_t>> from_list, from_counts;
    std::vector<std::pair<int64_t, float>> kept_list, kept_counts;
    const auto rate_into = [](auto* visits) {
      return [visits](int64_t k, int64_t at_most_k) {
        visits->emplace_back(k, at_most_k);
        return static_cast<float>(at_most_k % 7) / 4;
      };
    };
    const auto point_into = [](auto* points) {
      return
          [points](int64_t k, float value) { points->emplace_back(k, value); };
    };
    AppendThinnedSteps(sorted, last, rate_into(&from_list),
                       point_into(&kept_list));
    AppendThinnedCounts(lowest, counts, last, rate_into(&from_counts),
                        point_into(&kept_counts));
    EXPECT_EQ(from_list, from_counts) << trial;
    EXPECT_EQ(kept_list, kept_counts) << trial;
  }
}

}  // namespace
