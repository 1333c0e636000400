#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t Bits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// SameRate is bit equality, except that any NaN matches any NaN (0/0
// yields a NaN whose sign differs from quiet_NaN()).
bool SameRate(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || Bits(a) == Bits(b);
}

// Curves compare bit for bit: a rate one ulp off is a different curve.
void ExpectSameCurve(const CMCCurve& expected, const CMCCurve& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, actual[i].first) << "point " << i;
    EXPECT_TRUE(SameRate(expected[i].second, actual[i].second))
        << "point " << i << ": " << expected[i].second << " vs "
        << actual[i].second;
  }
}

SubjectMap MapOf(const std::vector<std::string>& names) {
  SubjectMap map;
  for (size_t i = 0; i < names.size(); ++i) {
    map[names[i]].push_back(static_cast<int32_t>(i));
  }
  return map;
}

// ---------------------------------------------------------------- thinning

TEST(QuantizeCMCTest, ThinningCases) {
  struct Case {
    const char* name;
    std::vector<float> rates;
    CMCCurve expected;
  };
  const std::vector<Case> cases = {
      {"worked example",
       {0.5f, 0.505f, 0.512f, 0.52f, 0.6f, 1.0f, 1.0f, 1.0f},
       {{0, 0.5f}, {2, 0.512f}, {4, 0.6f}, {5, 1.0f}, {7, 1.0f}}},
      {"empty", {}, {}},
      {"one entry", {0.25f}, {{0, 0.25f}}},
      {"one zero entry", {0.0f}, {{0, 0.0f}}},
      {"constant", {0.3f, 0.3f, 0.3f, 0.3f}, {{0, 0.3f}, {3, 0.3f}}},
      // The rise 0.51f - 0.5f is 0.00999999, below the step: kept as last.
      {"rise just under the step", {0.5f, 0.51f}, {{0, 0.5f}, {1, 0.51f}}},
      {"rise just under the step, not last",
       {0.5f, 0.51f, 0.51f},
       {{0, 0.5f}, {2, 0.51f}}},
      // Small steps add up from the last kept point, not the previous one.
      {"accumulated rises",
       {0.0f, 0.006f, 0.012f, 0.018f, 0.018f},
       {{0, 0.0f}, {2, 0.012f}, {4, 0.018f}}},
      {"last passes the test too", {0.0f, 0.5f}, {{0, 0.0f}, {1, 0.5f}}},
      {"NaN kept only as last", {0.2f, kNaN, kNaN}, {{0, 0.2f}, {2, kNaN}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMCCurve curve;
    QuantizeCMC(c.rates, &curve);
    ExpectSameCurve(c.expected, curve);
  }
}

TEST(QuantizeCMCTest, AppendsBehindExistingPoints) {
  CMCCurve curve = {{3, 0.75f}};
  QuantizeCMC({0.1f, 0.1f, 0.9f}, &curve);
  ExpectSameCurve({{3, 0.75f}, {0, 0.1f}, {2, 0.9f}}, curve);
  QuantizeCMC({}, &curve);
  EXPECT_EQ(3u, curve.size());
}

// ---------------------------------------------------------------- splits

TEST(SplitGeneratorTest, SequenceFromSeedOne) {
  SplitGenerator generator;
  for (uint64_t expected : {16807ull, 282475249ull, 1622650073ull, 984943658ull,
                            1144108930ull, 470211272ull}) {
    EXPECT_EQ(expected, generator.Next());
  }
}

TEST(SplitGeneratorTest, TenDrawsFromZeroToNine) {
  SplitGenerator generator(1);
  std::vector<uint64_t> draws;
  for (int i = 0; i < 10; ++i) draws.push_back(generator.Draw(10));
  EXPECT_EQ(std::vector<uint64_t>({0, 1, 7, 4, 5, 2, 0, 6, 6, 9}), draws);
}

TEST(SplitGeneratorTest, RejectionAtTheTopOfTheRange) {
  // From state 71936294 the next value is 2147483644, v = 2147483643: at
  // the limit for n = 3 (rejected), below it for n = 2 (accepted).
  ASSERT_EQ(2147483644u, SplitGenerator(71936294).Next());
  struct Case {
    uint64_t n;
    uint64_t draw;
    uint64_t state_after;
  };
  for (const Case& c : {Case{3, 2, 2147433226}, Case{2, 1, 2147483644}}) {
    SCOPED_TRACE(c.n);
    SplitGenerator generator(71936294);
    EXPECT_EQ(c.draw, generator.Draw(c.n));
    // The state tells how many values the draw consumed.
    SplitGenerator after(c.state_after);
    EXPECT_EQ(after.Next(), generator.Next());
  }
}

TEST(MakeGalleriesAndProbesTest, WorkedExample) {
  const SubjectMap map = {{"A", {0, 1, 2}}, {"B", {3}}, {"C", {4, 5}}};
  Splits galleries, probes;
  MakeGalleriesAndProbes(map, 3, &galleries, &probes);
  EXPECT_EQ(Splits({{0, 3, 5}, {1, 3, 4}, {0, 3, 5}}), galleries);
  EXPECT_EQ(Splits({{1, 2, 4}, {0, 2, 5}, {1, 2, 4}}), probes);

  // A second call starts again from seed 1.
  Splits galleries2, probes2;
  MakeGalleriesAndProbes(map, 3, &galleries2, &probes2);
  EXPECT_EQ(galleries, galleries2);
  EXPECT_EQ(probes, probes2);
}

TEST(MakeGalleriesAndProbesTest, SingleImageSubjectConsumesADraw) {
  // "a" takes the first draw, so "b" gets the second draw from 0..9, 1.
  const SubjectMap map = {{"a", {42}}, {"b", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}};
  Splits galleries, probes;
  MakeGalleriesAndProbes(map, 1, &galleries, &probes);
  EXPECT_EQ(Splits({{42, 1}}), galleries);
  EXPECT_EQ(Splits({{0, 2, 3, 4, 5, 6, 7, 8, 9}}), probes);
}

TEST(MakeGalleriesAndProbesTest, NoTrialsMeansEmptyOutputs) {
  const SubjectMap map = {{"A", {0, 1}}};
  for (int32_t trials : {0, -1, -100}) {
    SCOPED_TRACE(trials);
    Splits galleries = {{7}, {8}};
    Splits probes = {{9}};
    MakeGalleriesAndProbes(map, trials, &galleries, &probes);
    EXPECT_TRUE(galleries.empty());
    EXPECT_TRUE(probes.empty());
  }
}

TEST(MakeGalleriesAndProbesTest, EveryIndexOnceInEverySplit) {
  std::mt19937 random(7);
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) names.push_back(std::to_string(random() % 9));
  const SubjectMap map = MapOf(names);
  Splits galleries, probes;
  MakeGalleriesAndProbes(map, 10, &galleries, &probes);
  ASSERT_EQ(10u, galleries.size());
  ASSERT_EQ(10u, probes.size());
  for (size_t s = 0; s < 10; ++s) {
    ASSERT_EQ(map.size(), galleries[s].size());
    // One gallery image per subject, in map order.
    size_t subject = 0;
    for (const auto& entry : map) {
      EXPECT_EQ(entry.first, names[galleries[s][subject++]]);
    }
    std::vector<int32_t> all = galleries[s];
    all.insert(all.end(), probes[s].begin(), probes[s].end());
    std::sort(all.begin(), all.end());
    std::vector<int32_t> expected(names.size());
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = i;
    EXPECT_EQ(expected, all);
  }
}

// ---------------------------------------------------------------- ranks

TEST(CountGreaterTest, CountsStrictlyGreaterEntries) {
  struct Case {
    std::vector<float> scores;
    float score;
    int64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, 0.5f, 0},
      {{0.9f, 0.8f, 0.7f}, 1.0f, 0},
      {{0.9f, 0.8f, 0.7f}, 0.1f, 3},
      {{0.9f, 0.5f, 0.5f, 0.5f, 0.1f}, 0.5f, 1},
      {{0.5f, 0.5f}, 0.5f, 0},
      {{0.9f, 0.8f, 0.7f}, 0.75f, 2},
      {{0.9f, 0.8f, 0.7f}, std::nextafter(0.8f, 1.0f), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.score);
    EXPECT_EQ(c.expected, CountGreater(c.scores, c.score));
  }
}

// Probe 0 of subject "P"; gallery images 1 and 3 belong to "Q", image 2 to
// "P". The probe's row is filled from the case.
class GetRankTest : public testing::Test {
 protected:
  GetRankTest() : names_({"P", "Q", "P", "Q", "P"}), scores_(5, 5, CV_32FC1) {
    scores_.setTo(0.0f);
  }
  void SetRow(float s1, float s2, float s3) {
    scores_.at<float>(0, 1) = s1;
    scores_.at<float>(0, 2) = s2;
    scores_.at<float>(0, 3) = s3;
  }
  std::vector<std::string> names_;
  cv::Mat scores_;
};

TEST_F(GetRankTest, TieRules) {
  struct Case {
    const char* name;
    float s1, s2, s3;  // image 1 (Q), image 2 (P, true match), image 3 (Q)
    std::vector<float> distractors;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"beats everything", 0.2f, 0.9f, 0.3f, {0.8f, 0.1f}, 0},
      {"equal score, smaller index", 0.5f, 0.5f, 0.1f, {}, 0},
      {"equal score, larger index", 0.1f, 0.5f, 0.5f, {}, 1},
      {"equal score on both sides", 0.5f, 0.5f, 0.5f, {}, 1},
      {"both higher", 0.6f, 0.5f, 0.7f, {}, 2},
      {"equal distractor", 0.1f, 0.5f, 0.1f, {0.5f, 0.4f}, 0},
      {"distractor above", 0.1f, 0.5f, 0.1f, {0.50001f, 0.5f, 0.4f}, 1},
      {"gallery and distractors", 0.6f, 0.5f, 0.5f, {0.9f, 0.7f, 0.5f}, 4},
      {"NaN competitor does not count", kNaN, 0.5f, 0.1f, {}, 0},
  };
  const std::vector<int32_t> gallery = {1, 2, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetRow(c.s1, c.s2, c.s3);
    EXPECT_EQ(c.expected, GetRank(scores_, names_, gallery, 0, c.distractors));
    float score = -1.0f;
    const int64_t from_distractors = CountGreater(c.distractors, c.s2);
    EXPECT_EQ(c.expected - from_distractors,
              GetGalleryRank(scores_, names_, gallery, 0, &score));
    EXPECT_EQ(c.s2, score);
  }
}

TEST_F(GetRankTest, TrueMatchIsTheFirstImageOfTheSubject) {
  // Images 2 and 4 are both "P": the better one (image 4) is the true match.
  scores_.at<float>(0, 4) = 0.6f;
  SetRow(0.1f, 0.4f, 0.5f);
  float score = 0.0f;
  EXPECT_EQ(0, GetGalleryRank(scores_, names_, {1, 2, 3, 4}, 0, &score));
  EXPECT_EQ(0.6f, score);
  // At equal scores the larger index is first: image 4 again, beaten by
  // nothing, while image 3 at the same score has a smaller index.
  scores_.at<float>(0, 4) = 0.4f;
  SetRow(0.1f, 0.4f, 0.4f);
  EXPECT_EQ(0, GetRank(scores_, names_, {1, 2, 3, 4}, 0, {}));
}

TEST_F(GetRankTest, MissingSubjectReturnsMinusOne) {
  SetRow(0.1f, 0.2f, 0.3f);
  float score = 0.75f;
  EXPECT_EQ(-1, GetGalleryRank(scores_, names_, {1, 3}, 0, &score));
  EXPECT_EQ(0.75f, score);
  EXPECT_EQ(-1, GetRank(scores_, names_, {1, 3}, 0, {0.9f}));
  EXPECT_EQ(-1, GetRank(scores_, names_, {}, 0, {}));
}

// ---------------------------------------------------------------- CMC

TEST(AppendTraditionalCMCTest, Cases) {
  struct Case {
    const char* name;
    std::vector<int64_t> histogram;
    int64_t ranked;
    CMCCurve expected;
  };
  const std::vector<Case> cases = {
      {"empty histogram", {}, 0, {}},
      {"nothing ranked", {0, 0, 0}, 0, {{2, kNaN}}},
      {"two halves", {5, 0, 0, 5}, 10, {{0, 0.5f}, {3, 1.0f}}},
      {"thirds", {1, 1, 1}, 3, {{0, 1.0f / 3}, {1, 2.0f / 3}, {2, 1.0f}}},
      // Ten single-precision tenths add up to 1.0000001, not 1.
      {"single precision sum",
       {1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
       10,
       {{0, 0.1f},
        {1, 0.2f},
        {2, 0.3f},
        {3, 0.4f},
        {4, 0.5f},
        {5, 0.6f},
        {6, 0.70000005f},
        {7, 0.8000001f},
        {8, 0.9000001f},
        {9, 1.0000001f}}},
      {"rank 1 of nothing", {0, 4}, 4, {{0, 0.0f}, {1, 1.0f}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMCCurve curve;
    AppendTraditionalCMC(c.histogram, c.ranked, &curve);
    ExpectSameCurve(c.expected, curve);
  }
}

struct RunOutput {
  std::string stdout_text;
  CMCCurve curve;
};

RunOutput RunCaptured(const SubjectMap& map,
                      const std::vector<std::string>& names,
                      const cv::Mat& scores,
                      const std::vector<std::vector<float>>& distractors,
                      int32_t trials, CMCCurve curve = {}) {
  testing::internal::CaptureStdout();
  RunTraditionalCMC(map, names, scores, distractors, trials, &curve);
  return {testing::internal::GetCapturedStdout(), curve};
}

const char kFirstLines[] = "Making gallery!\nDone Making Gallery!\n";

TEST(RunTraditionalCMCTest, WorkedSplitsWithTenDistractors) {
  // Subjects A: [0, 1, 2], B: [3], C: [4, 5]. Every probe prefers its own
  // subject, so only distractors above 0.5 count: probe 1 is beaten by two
  // of them, every other probe by none.
  const std::vector<std::string> names = {"A", "A", "A", "B", "C", "C"};
  cv::Mat scores(6, 6, CV_32FC1);
  for (int p = 0; p < 6; ++p) {
    for (int g = 0; g < 6; ++g) {
      scores.at<float>(p, g) = names[p] == names[g] ? 0.5f : 0.25f;
    }
  }
  std::vector<std::vector<float>> distractors(6, std::vector<float>(10, 0.1f));
  distractors[1][0] = 0.75f;
  distractors[1][1] = 0.5001f;
  distractors[1][2] = 0.5f;
  // Probes ranked: 1, 2, 4 / 0, 2, 5 / 1, 2, 4; T = 9, two at rank 2.
  const RunOutput out =
      RunCaptured(MapOf(names), names, scores, distractors, 3);
  EXPECT_EQ(std::string(kFirstLines) + "Allocating ranks (13)\n",
            out.stdout_text);
  ExpectSameCurve({{0, 7.0f / 9}, {2, 7.0f / 9 + 2.0f / 9}, {12, 1.0f}},
                  out.curve);
}

TEST(RunTraditionalCMCTest, EmptyDistractorListsRankByGalleryAlone) {
  // Two subjects. Probe 1 scores subject B above its own image 0, so it has
  // rank 1 whenever it is probed; probe 0 scores B below A (rank 0). B's
  // probes tie with A's images, which have smaller indices (rank 0).
  const std::vector<std::string> names = {"A", "A", "B", "B"};
  cv::Mat scores(4, 4, CV_32FC1, cv::Scalar(0.5f));
  scores.at<float>(1, 2) = 0.9f;
  scores.at<float>(1, 3) = 0.9f;
  scores.at<float>(0, 2) = 0.4f;
  scores.at<float>(0, 3) = 0.4f;
  const SubjectMap map = MapOf(names);
  Splits galleries, probes;
  MakeGalleriesAndProbes(map, 4, &galleries, &probes);
  int64_t beaten = 0;
  for (const auto& list : probes)
    beaten += std::count(list.begin(), list.end(), 1);
  const RunOutput out =
      RunCaptured(map, names, scores, std::vector<std::vector<float>>(4), 4);
  EXPECT_EQ(std::string(kFirstLines) + "Allocating ranks (2)\n",
            out.stdout_text);
  ASSERT_FALSE(out.curve.empty());
  EXPECT_EQ(1, out.curve.back().first);
  EXPECT_EQ(1.0f, out.curve.back().second);
  EXPECT_EQ(0, out.curve.front().first);
  EXPECT_EQ(1.0f - static_cast<float>(beaten) / 8.0f, out.curve.front().second);
}

TEST(RunTraditionalCMCTest, OnlySingleImageSubjectsGiveANaNPoint) {
  const std::vector<std::string> names = {"A", "B", "C"};
  const cv::Mat scores(3, 3, CV_32FC1, cv::Scalar(0.5f));
  const RunOutput out =
      RunCaptured(MapOf(names), names, scores,
                  std::vector<std::vector<float>>(3, {0.9f}), 10);
  EXPECT_EQ(std::string(kFirstLines) + "Allocating ranks (4)\n",
            out.stdout_text);
  ExpectSameCurve({{3, kNaN}}, out.curve);
}

TEST(RunTraditionalCMCTest, InputsOutsideThePreconditionsAppendNothing) {
  const std::vector<std::string> names = {"A", "A", "B"};
  const cv::Mat scores(3, 3, CV_32FC1, cv::Scalar(0.5f));
  const std::vector<std::vector<float>> distractors(3, {0.1f});
  const std::string three = std::string(kFirstLines) + "Allocating ranks (3)\n";
  struct Case {
    const char* name;
    SubjectMap map;
    std::vector<std::string> names;
    cv::Mat scores;
    std::vector<std::vector<float>> distractors;
    int32_t trials;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"no trials", MapOf(names), names, scores, distractors, 0, kFirstLines},
      {"negative trials", MapOf(names), names, scores, distractors, -3,
       kFirstLines},
      {"no distractor lists", MapOf(names), names, scores, {}, 10, kFirstLines},
      {"too few distractor lists",
       MapOf(names),
       names,
       scores,
       {{0.1f}, {0.1f}},
       10,
       kFirstLines},
      {"index beyond the names", MapOf({"A", "A", "B", "B"}), names, scores,
       distractors, 10, kFirstLines},
      {"index beyond the matrix", MapOf(names), names,
       cv::Mat(2, 3, CV_32FC1, cv::Scalar(0.5f)), distractors, 10, kFirstLines},
      {"matrix of doubles", MapOf(names), names,
       cv::Mat(3, 3, CV_64FC1, cv::Scalar(0.5)), distractors, 10, kFirstLines},
      // The map groups 0 and 1 as "A", but the names say otherwise.
      {"names disagree with the map",
       MapOf(names),
       {"A", "X", "B"},
       scores,
       distractors,
       10,
       three},
      {"distractor list longer than list 0",
       MapOf(names),
       names,
       scores,
       {{0.1f}, {0.9f, 0.8f}, {0.9f, 0.8f}},
       10,
       three},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunOutput out = RunCaptured(c.map, c.names, c.scores, c.distractors,
                                      c.trials, {{5, 0.5f}});
    EXPECT_EQ(c.printed, out.stdout_text);
    ExpectSameCurve({{5, 0.5f}}, out.curve);
  }
  // Without probes nothing is ranked: the slots are the distractors alone
  // and the one point is the NaN of 0 / 0.
  const RunOutput none =
      RunCaptured({}, {}, cv::Mat(), distractors, 10, {});
  EXPECT_EQ(std::string(kFirstLines) + "Allocating ranks (1)\n",
            none.stdout_text);
  ExpectSameCurve({{0, kNaN}}, none.curve);
}

// The traditional CMC recomputed the slow way: every gallery sorted as
// (score, index) pairs, distractors counted one by one.
CMCCurve BruteForceCMC(const SubjectMap& map,
                       const std::vector<std::string>& names,
                       const cv::Mat& scores,
                       const std::vector<std::vector<float>>& distractors,
                       int32_t trials) {
  Splits galleries, probes;
  MakeGalleriesAndProbes(map, trials, &galleries, &probes);
  std::vector<int64_t> counts(distractors[0].size() + map.size(), 0);
  int64_t ranked = 0;
  for (size_t s = 0; s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) {
      std::vector<std::pair<float, int32_t>> pairs;
      for (const int32_t g : galleries[s]) {
        pairs.emplace_back(scores.at<float>(p, g), g);
      }
      std::sort(pairs.begin(), pairs.end(),
                std::greater<std::pair<float, int32_t>>());
      size_t q = 0;
      while (names[pairs[q].second] != names[p]) ++q;
      const float s_true = pairs[q].first;
      size_t d = 0;
      for (const float x : distractors[p]) d += x > s_true ? 1 : 0;
      ++counts.at(q + d);
      ++ranked;
    }
  }
  std::vector<float> rates;
  float sum = 0.0f;
  for (const int64_t count : counts) {
    sum += static_cast<float>(count) / static_cast<float>(ranked);
    rates.push_back(sum);
  }
  CMCCurve curve;
  QuantizeCMC(rates, &curve);
  return curve;
}

TEST(RunTraditionalCMCTest, MatchesBruteForceOnRandomExperimentsWithTies) {
  std::mt19937 random(2024);
  // Few distinct values, so that equal scores are common everywhere.
  const float levels[] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f};
  for (int experiment = 0; experiment < 60; ++experiment) {
    SCOPED_TRACE(experiment);
    const int probe_count = 2 + random() % 30;
    const int subject_count = 1 + random() % 6;
    const size_t distractor_count = random() % 8;
    std::vector<std::string> names;
    for (int p = 0; p < probe_count; ++p) {
      names.push_back("s" + std::to_string(random() % subject_count));
    }
    cv::Mat scores(probe_count, probe_count, CV_32FC1);
    for (int p = 0; p < probe_count; ++p) {
      for (int g = 0; g < probe_count; ++g) {
        scores.at<float>(p, g) = levels[random() % 5];
      }
    }
    std::vector<std::vector<float>> distractors(probe_count);
    for (auto& list : distractors) {
      for (size_t i = 0; i < distractor_count; ++i) {
        list.push_back(levels[random() % 5]);
      }
      std::sort(list.begin(), list.end(), std::greater<float>());
    }
    const SubjectMap map = MapOf(names);
    const int32_t trials = 1 + random() % 10;
    const RunOutput out = RunCaptured(map, names, scores, distractors, trials);
    EXPECT_EQ(std::string(kFirstLines) + "Allocating ranks (" +
                  std::to_string(distractor_count + map.size()) + ")\n",
              out.stdout_text);
    ExpectSameCurve(BruteForceCMC(map, names, scores, distractors, trials),
                    out.curve);
    // Two runs on the same inputs give the same curve.
    ExpectSameCurve(out.curve,
                    RunCaptured(map, names, scores, distractors, trials).curve);
  }
}

// ---------------------------------------------------------------- ROC

TEST(ComputeROCTest, Cases) {
  struct Case {
    const char* name;
    std::vector<VerificationPair> list;
    int64_t genuine, impostor;
    std::vector<float> expected;
  };
  const std::vector<Case> cases = {
      {"worked example",
       {{0.95f, 1}, {0.90f, -1}, {0.85f, 1}, {0.80f, 1}, {0.70f, -1}},
       3,
       2,
       {0.33333334f, 1.0f, 1.0f}},
      {"empty list", {}, 4, 3, {0.0f, 0.0f, 0.0f, 0.0f}},
      {"genuine only", {{0.9f, 1}, {0.8f, 1}}, 2, 0, {1.0f}},
      {"impostor first", {{0.9f, -1}, {0.8f, 1}}, 1, 1, {0.0f, 1.0f}},
      {"fewer impostors than counted",
       {{0.9f, 1}, {0.8f, -1}, {0.7f, 1}},
       2,
       4,
       {0.5f, 1.0f, 0.0f, 0.0f, 0.0f}},
      {"tie, genuine first", {{0.5f, 1}, {0.5f, -1}}, 1, 1, {1.0f, 1.0f}},
      {"labels 0 and 2 are impostors",
       {{0.9f, 0}, {0.8f, 1}, {0.7f, 2}},
       1,
       2,
       {0.0f, 1.0f, 1.0f}},
      {"impostors in a row",
       {{0.9f, 1}, {0.8f, -1}, {0.7f, -1}, {0.6f, 1}},
       2,
       2,
       {0.5f, 0.5f, 1.0f}},
      {"negative impostor count counts as 0", {{0.9f, 1}}, 1, -5, {1.0f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> tar = {7.0f, 7.0f, 7.0f, 7.0f, 7.0f, 7.0f, 7.0f};
    ComputeROC(c.list, c.genuine, c.impostor, &tar);
    ASSERT_EQ(c.expected.size(), tar.size());
    for (size_t k = 0; k < tar.size(); ++k) {
      EXPECT_TRUE(SameRate(c.expected[k], tar[k]))
          << "entry " << k << ": " << c.expected[k] << " vs " << tar[k];
    }
  }
}

TEST(ComputeROCTest, ZeroGenuineCountGivesNaN) {
  // With no genuine pair every written entry is 0/0; entry 0 (before the
  // first impostor) and entry 3 (past the last) are never written.
  std::vector<float> tar;
  ComputeROC({{0.9f, -1}, {0.5f, -1}}, 0, 3, &tar);
  ASSERT_EQ(4u, tar.size());
  EXPECT_EQ(0.0f, tar[0]);
  EXPECT_TRUE(std::isnan(tar[1]));
  EXPECT_TRUE(std::isnan(tar[2]));
  EXPECT_EQ(0.0f, tar[3]);
}

TEST(ComputeROCTest, ExcessImpostorsThrow) {
  std::vector<float> tar;
  EXPECT_THROW(ComputeROC({{0.9f, -1}, {0.8f, -1}}, 1, 1, &tar),
               std::out_of_range);
  EXPECT_THROW(ComputeROC({{0.9f, -1}}, 1, 0, &tar), std::out_of_range);
  EXPECT_NO_THROW(ComputeROC({{0.9f, -1}}, 1, 1, &tar));
}

}  // namespace
