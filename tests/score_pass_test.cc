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

#include "driver/run.h"
#include "matio/mat_io.h"
#include "reference/sort_everything.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::RunResult;
using testutil::ScratchDir;

constexpr char kSortEverythingBin[] = SORT_EVERYTHING_BIN;

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
  for (const Route& route : {Route(EvaluateInOnePass),
                             Route(EvaluateSortingEverything)}) {
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

}  // namespace
