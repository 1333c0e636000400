// The single pass over the distractor scores must give exactly what the
// plain algorithms give: the same standard output, status and files, for
// any input and any number of threads.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "driver/evaluation.h"
#include "driver/run.h"
#include "results/json_text.h"
#include "results/matches_text.h"
#include "matio/mat_io.h"
#include "metrics/metrics.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::RunResult;
using testutil::ScratchDir;

constexpr char kSortEverythingBin[] = FUSE_RESULTS_BIN "_sort_everything";

struct Experiment {
  std::string distractors, probes, info;
};

Experiment Generate(const ScratchDir& dir, const std::string& name,
                    const std::vector<std::string>& flags) {
  std::vector<std::string> args = {"--out", dir.Path(name)};
  args.insert(args.end(), flags.begin(), flags.end());
  const RunResult made = testutil::Run(dir, MAKE_EXPERIMENT_BIN, args);
  EXPECT_EQ(made.status, 0) << made.err;
  return {dir.Path(name + "/distractor_scores.mat"),
          dir.Path(name + "/probe_scores.mat"),
          dir.Path(name + "/probe_info.json")};
}

// Runs both programs on `e` and expects identical output, status and files.
void ExpectSameAsSortingEverything(const ScratchDir& dir, const Experiment& e,
                                   const std::string& num_distractors) {
  std::string texts[2][2];
  RunResult runs[2];
  const char* programs[2] = {FUSE_RESULTS_BIN, kSortEverythingBin};
  for (int i = 0; i < 2; ++i) {
    const std::string results = dir.Path("results" + std::to_string(i));
    const std::string matches = dir.Path("matches" + std::to_string(i));
    runs[i] = testutil::Run(dir, programs[i],
                            {e.distractors, e.probes, e.info, num_distractors,
                             results, matches});
    texts[i][0] = ReadFile(results);
    texts[i][1] = ReadFile(matches);
  }
  EXPECT_EQ(runs[0].status, runs[1].status) << runs[0].err << runs[1].err;
  EXPECT_EQ(runs[0].out, runs[1].out);
  EXPECT_EQ(texts[0][0], texts[1][0]);
  EXPECT_EQ(texts[0][1], texts[1][1]);
}

TEST(SinglePassTest, MatchesTheFullSortsOnGeneratedExperiments) {
  ScratchDir dir;
  struct Case {
    std::vector<std::string> flags;
    std::vector<std::string> num_distractors;
  };
  const std::vector<Case> cases = {
      // Continuous scores, mostly below the columns in use.
      {{"--probes", "150", "--subjects", "30", "--distractors", "3000"},
       {"3000", "1000", "7", "5", "4", "1", "0"}},
      // Heavy ties everywhere.
      {{"--probes", "120", "--subjects", "25", "--distractors", "900",
        "--score_levels", "9", "--seed", "3"},
       {"900", "17"}},
      // More distractor rows than probes, fewer than 100 probes.
      {{"--probes", "40", "--subjects", "12", "--distractors", "500",
        "--distractor_rows", "130", "--seed", "5"},
       {"500", "999999"}},
      // Fewer than 100 rows in all, many single-probe subjects.
      {{"--probes", "30", "--subjects", "25", "--distractors", "64",
        "--score_levels", "5", "--seed", "7"},
       {"64", "2"}},
  };
  int index = 0;
  for (const Case& c : cases) {
    const Experiment e = Generate(dir, "e" + std::to_string(index++), c.flags);
    for (const std::string& n : c.num_distractors) {
      SCOPED_TRACE(testing::PrintToString(c.flags) + " n=" + n);
      ExpectSameAsSortingEverything(dir, e, n);
    }
  }
}

// Writes a probe info file and two score matrices.
Experiment Write(const ScratchDir& dir, const std::string& ids,
                 const cv::Mat& probes, const cv::Mat& distractors) {
  Experiment e{dir.Path("d.mat"), dir.Path("p.mat"), dir.Path("i.json")};
  testutil::WriteFile(e.info, "{ \"id\" : [ " + ids + " ] }");
  EXPECT_TRUE(MatIO::Save(e.probes, probes));
  EXPECT_TRUE(MatIO::Save(e.distractors, distractors));
  return e;
}

TEST(SinglePassTest, MatchesTheFullSortsOnNonFiniteScoresAndStrides) {
  // NaN, infinities and both zeros, in the probe scores and among the
  // distractors, the genuine scores and the impostor scores.
  ScratchDir dir;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> specials = {nan, inf, -inf, 0.0f, -0.0f, 0.5f};
  std::mt19937 random(11);
  cv::Mat probes(12, 12, CV_32FC1);
  cv::Mat distractors(14, 40, CV_32FC1);
  for (cv::Mat* m : {&probes, &distractors}) {
    for (int r = 0; r < m->rows; ++r) {
      for (int c = 0; c < m->cols; ++c) {
        m->at<float>(r, c) =
            specials[random() % specials.size()] * (random() % 2 ? 1 : 0.25f);
      }
    }
  }
  const std::string ids =
      "\"a\", \"b\", \"a\", \"c\", \"a\", \"b\", \"d\", \"c\", \"a\", \"e\", "
      "\"b\", \"a\"";
  Experiment e = Write(dir, ids, probes, distractors);
  for (const std::string n : {"40", "6", "3"}) {
    SCOPED_TRACE(n);
    ExpectSameAsSortingEverything(dir, e, n);
  }
  // A stored stride wider than a row: the single pass skips the tail.
  e = Write(dir, ids, probes, distractors.colRange(0, 30));
  ExpectSameAsSortingEverything(dir, e, "25");
}

TEST(SinglePassTest, ReadsFromAPipeAndRefusesOneThatEndsEarly) {
  ScratchDir dir;
  const Experiment e = Generate(
      dir, "e", {"--probes", "50", "--subjects", "10", "--distractors", "300"});
  const std::string results = dir.Path("r.json");
  const std::string matches = dir.Path("m.json");
  const RunResult from_file = testutil::Run(
      dir, FUSE_RESULTS_BIN,
      {e.distractors, e.probes, e.info, "300", results, matches});
  const std::string expected = ReadFile(results);
  ASSERT_EQ(from_file.status, 0);

  const std::string pipe_command =
      "cat " + testutil::Quote(e.distractors) + " | " + FUSE_RESULTS_BIN +
      " /dev/stdin " + testutil::Quote(e.probes) + " " +
      testutil::Quote(e.info) + " 300 " + testutil::Quote(results) + " " +
      testutil::Quote(matches) + " > " + testutil::Quote(dir.Path("out"));
  std::remove(results.c_str());
  ASSERT_EQ(std::system(pipe_command.c_str()), 0);
  EXPECT_EQ(ReadFile(results), expected);
  EXPECT_EQ(ReadFile(dir.Path("out")), from_file.out);

  std::remove(results.c_str());
  std::remove(matches.c_str());
  const std::string truncated =
      "head -c 30000 " + testutil::Quote(e.distractors) + " | " +
      FUSE_RESULTS_BIN + " /dev/stdin " + testutil::Quote(e.probes) + " " +
      testutil::Quote(e.info) + " 300 " + testutil::Quote(results) + " " +
      testutil::Quote(matches) + " > " + testutil::Quote(dir.Path("out")) +
      " 2> " + testutil::Quote(dir.Path("err"));
  const int status = std::system(truncated.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(ReadFile(dir.Path("err")).find("ends after"), std::string::npos);
  EXPECT_NE(ReadFile(dir.Path("out")).find("Couldn't load distractor scores!"),
            std::string::npos);
  EXPECT_FALSE(testutil::Exists(results));
  EXPECT_FALSE(testutil::Exists(matches));
}

TEST(SinglePassTest, ResultsDoNotDependOnTheThreadCount) {
  ScratchDir dir;
  const Experiment e =
      Generate(dir, "e", {"--probes", "200", "--subjects", "40",
                          "--distractors", "2000", "--score_levels", "50"});
  for (const Route route : {Route::kSinglePass, Route::kSortEverything}) {
    std::string files[2];
    for (int threads : {1, 4}) {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                                threads);
      const std::string results = dir.Path("r" + std::to_string(threads));
      const std::string matches = dir.Path("m" + std::to_string(threads));
      std::vector<std::string> args = {"fuse_results", e.distractors, e.probes,
                                       e.info,         "2000",        results,
                                       matches};
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      testing::internal::CaptureStdout();
      ASSERT_EQ(RunFuseResults(7, argv.data(), route), 0);
      testing::internal::GetCapturedStdout();
      files[threads == 1 ? 0 : 1] = ReadFile(results) + ReadFile(matches);
    }
    EXPECT_EQ(files[0], files[1]);
  }
}

TEST(StepCurvesTest, SparseBuildersMatchTheTables) {
  // The curves built from counts must equal those built slot by slot, on
  // random inputs with repeats, empty inputs and extreme ranks.
  std::mt19937 random(5);
  for (int trial = 0; trial < 300; ++trial) {
    const int64_t slots = 1 + random() % 40;
    const size_t count = trial % 10 == 0 ? 0 : random() % 60;
    std::vector<int64_t> ranks(count);
    std::vector<int64_t> histogram(slots, 0);
    for (int64_t& rank : ranks) {
      rank = random() % 3 == 0 ? 0 : random() % slots;
      ++histogram[rank];
    }
    CMCCurve from_table;
    CMCCurve from_ranks;
    AppendTraditionalCMC(histogram, static_cast<int64_t>(count), &from_table);
    AppendTraditionalCMCFromRanks(ranks, slots, &from_ranks);
    ASSERT_EQ(testing::PrintToString(from_table),
              testing::PrintToString(from_ranks));

    // A verification list in threshold order whose genuine pairs are beaten
    // by the drawn numbers of impostors.
    const uint64_t impostors = random() % 30;
    std::vector<uint64_t> beaten_by(trial % 7 == 0 ? 0 : random() % 50);
    for (uint64_t& b : beaten_by) b = random() % (impostors + 1);
    std::vector<VerificationPair> list;
    std::vector<uint64_t> sorted = beaten_by;
    std::sort(sorted.begin(), sorted.end());
    size_t g = 0;
    for (uint64_t k = 0; k <= impostors; ++k) {
      for (; g < sorted.size() && sorted[g] == k; ++g) list.push_back({1.0f, 1});
      if (k < impostors) list.push_back({1.0f, -1});
    }
    std::vector<float> tar;
    ComputeROC(list, static_cast<int64_t>(beaten_by.size()),
               static_cast<int64_t>(impostors), &tar);
    ROCCurve from_tar;
    ROCCurve from_counts;
    AppendROCCurve(tar, &from_tar);
    AppendROCCurveFromCounts(beaten_by, impostors, &from_counts);
    ASSERT_EQ(testing::PrintToString(from_tar),
              testing::PrintToString(from_counts))
        << trial;
  }
}

}  // namespace

namespace {

TEST(MatchesTextTest, EqualsTheLaidOutDocument) {
  // Lists of every length around the one-line limits, ranks beyond 32
  // bits, scores with long and short texts, NaN, and empty lists.
  std::mt19937 random(9);
  const std::vector<float> scores = {
      0.5f, 0.75f, 0.6f, -0.0f, 1e-7f, 3.0f,
      std::numeric_limits<float>::quiet_NaN(),
      std::numeric_limits<float>::infinity()};
  for (int trial = 0; trial < 200; ++trial) {
    const size_t probes = trial % 50 == 0 ? 0 : 1 + random() % 4;
    TopDistractorLists top(probes);
    MateRankLists mates(probes);
    for (size_t p = 0; p < probes; ++p) {
      for (size_t k = random() % 9; k > 0; --k) {
        top[p].emplace_back(static_cast<int32_t>(random() % 2000000),
                            scores[random() % scores.size()]);
      }
      for (size_t k = random() % 30; k > 0; --k) {
        const uint64_t rank =
            random() % 4 == 0 ? (uint64_t{1} << 32) + random() : random() % 100;
        mates[p].emplace_back(rank, static_cast<int32_t>(random() % 5000));
      }
    }
    ASSERT_EQ(MatchesText(top, mates),
              StyledJSONText(MakeMatchesDocument(top, mates)));
  }
}

}  // namespace

namespace {

TEST(EvaluationCurvesTest, WorkedExamples) {
  // 200 pairs with n = 2: 100 of mate rank 0, 1 of rank 1, 99 of rank 2.
  // The rates 0.5, 0.505 and 1.0 thin to (0, 0.5), (2, 1.0).
  MateRankLists ranks(1);
  for (int i = 0; i < 200; ++i) {
    ranks[0].emplace_back(i < 100 ? 0 : (i == 100 ? 1 : 2), 0);
  }
  CMCCurve cmc;
  EXPECT_EQ(AppendIdentificationCMC(ranks, 2, &cmc), 0.5f);
  EXPECT_EQ(cmc, (CMCCurve{{0, 0.5f}, {2, 1.0f}}));

  // The true accept table 0.2, 0.205, 0.25, 1.0 of 3 impostor pairs.
  ROCCurve roc;
  AppendROCCurve({0.2f, 0.205f, 0.25f, 1.0f}, &roc);
  EXPECT_EQ(roc, (ROCCurve{{0.0f, 0.2f}, {2.0f / 3.0f, 0.25f}, {1.0f, 1.0f}}));

  // No pair at all: the rank-1 rate and the only point are 0 / 0.
  CMCCurve none;
  EXPECT_TRUE(std::isnan(AppendIdentificationCMC(MateRankLists(3), 4, &none)));
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].first, 4);
  EXPECT_TRUE(std::isnan(none[0].second));
}

}  // namespace
