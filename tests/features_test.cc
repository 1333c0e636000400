// Scores from features: the metrics' definitions at their edges, scores
// that do not depend on the threads or on the other rows of a tile, and
// the evaluation from features giving exactly what fuse_results gives on
// the score files score_features writes from the same features.
#include "features/feature_scores.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/task_arena.h>
#include <opencv2/core.hpp>

#include "tests/test_util.h"

namespace {

using testutil::Quote;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::ScratchDir;

cv::Mat Rows(std::initializer_list<std::initializer_list<float>> rows) {
  cv::Mat m(static_cast<int>(rows.size()),
            static_cast<int>(rows.begin()->size()), CV_32F);
  int r = 0;
  for (const auto& row : rows) {
    int c = 0;
    for (const float x : row) m.at<float>(r, c++) = x;
    ++r;
  }
  return m;
}

bool SameBits(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() &&
         std::memcmp(a.data, b.data, a.total() * sizeof(float)) == 0;
}

TEST(FeatureScoresTest, MetricsAtTheirEdges) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Rows: (3, 4), zero, a NaN, (3, 4) again, (-6, -8).
  const cv::Mat rows = Rows({{3, 4}, {0, 0}, {nan, 1}, {3, 4}, {-6, -8}});
  const cv::Mat cosine = FeatureScorer(rows, Metric::kCosine).ScoreMatrix(rows);
  EXPECT_FLOAT_EQ(cosine.at<float>(0, 3), 1.0f);
  EXPECT_FLOAT_EQ(cosine.at<float>(0, 4), -1.0f);
  for (int c : {0, 1, 3, 4}) {
    EXPECT_EQ(cosine.at<float>(1, c), 0.0f) << "a zero row scores 0";
  }
  for (int c = 0; c < 5; ++c) {
    EXPECT_TRUE(std::isnan(cosine.at<float>(2, c))) << "NaN row, column " << c;
    EXPECT_TRUE(std::isnan(cosine.at<float>(c, 2))) << "NaN row, row " << c;
  }
  const cv::Mat dot = FeatureScorer(rows, Metric::kDot).ScoreMatrix(rows);
  EXPECT_FLOAT_EQ(dot.at<float>(0, 4), -50.0f);
  EXPECT_FLOAT_EQ(dot.at<float>(3, 3), 25.0f);
  const cv::Mat l2 = FeatureScorer(rows, Metric::kL2).ScoreMatrix(rows);
  EXPECT_FLOAT_EQ(l2.at<float>(0, 4), -15.0f);
  EXPECT_FLOAT_EQ(l2.at<float>(1, 0), -5.0f);
  // Equal rows are at distance 0, written as 0, not -0.
  EXPECT_FALSE(std::signbit(l2.at<float>(0, 3)));
  EXPECT_TRUE(std::isnan(l2.at<float>(2, 0)));
  Metric metric;
  EXPECT_TRUE(ParseMetric("l2", &metric) && metric == Metric::kL2);
  EXPECT_FALSE(ParseMetric("L2", &metric));
}

TEST(FeatureScoresTest, AScoreDependsOnItsRowsAndPlaceAlone) {
  std::mt19937 random(5);
  std::normal_distribution<float> normal;
  const auto fill = [&](cv::Mat* m) {
    for (int r = 0; r < m->rows; ++r) {
      for (int c = 0; c < m->cols; ++c) m->at<float>(r, c) = normal(random);
    }
  };
  // 700 probes: two blocks; 2,500 rows: three tiles, the last one partial.
  cv::Mat probes(700, 33, CV_32F), others(2500, 33, CV_32F);
  fill(&probes);
  fill(&others);
  const FeatureScorer scorer(probes, Metric::kL2);
  cv::Mat scores[2];
  for (int threads : {1, 2}) {
    tbb::task_arena arena(threads);
    arena.execute([&] { scores[threads - 1] = scorer.ScoreMatrix(others); });
  }
  EXPECT_TRUE(SameBits(scores[0], scores[1])) << "threads changed a score";
  // Other rows of the same tiles change; the rows kept keep their scores.
  cv::Mat changed = others.clone();
  for (int r = 0; r < changed.rows; r += 2) {
    for (int c = 0; c < changed.cols; ++c)
      changed.at<float>(r, c) = normal(random);
  }
  const cv::Mat rescored = scorer.ScoreMatrix(changed);
  int differ = 0;
  for (int p = 0; p < probes.rows; ++p) {
    for (int r = 1; r < others.rows; r += 2) {
      differ += std::memcmp(&rescored.at<float>(p, r),
                            &scores[0].at<float>(p, r), sizeof(float)) != 0;
    }
  }
  EXPECT_EQ(differ, 0);
}

TEST(FeatureScoresTest, TilesStayNearTwoMiBWhateverTheWidth) {
  const std::pair<int32_t, int32_t> widths[] = {
      {1, 1024},   {512, 1024}, {513, 512}, {1024, 512},
      {1025, 256}, {32768, 16}, {65536, 16}};
  for (const auto& [dim, rows] : widths) {
    EXPECT_EQ(FeatureScorer::TileRows(dim), rows) << dim << " columns";
  }
}

// Runs `program` with `args` through the shell, standard input from
// `input` when given.
RunResult Shell(const ScratchDir& dir, const std::string& program,
                const std::vector<std::string>& args,
                const std::string& input = "") {
  std::string command = Quote(program);
  for (const std::string& arg : args) command += " " + Quote(arg);
  if (!input.empty()) command = "cat " + Quote(input) + " | " + command;
  return testutil::Run(dir, "/bin/sh", {"-c", command});
}

TEST(FeatureRouteTest, SameFilesAsTheScoreFilesOfTheSameFeatures) {
  ScratchDir dir;
  // 600 probes (two blocks) against 2,500 distractors (three tiles), with
  // exact duplicates (ties), zero rows and rows holding a NaN; raw lengths,
  // so that the three metrics differ.
  const RunResult made = testutil::Run(dir, MAKE_FEATURES_BIN,
                                       {"--out",
                                        dir.path(),
                                        "--probes",
                                        "600",
                                        "--subjects",
                                        "150",
                                        "--distractors",
                                        "2500",
                                        "--dim",
                                        "40",
                                        "--raw",
                                        "--noise",
                                        "1.5",
                                        "--duplicate_rows",
                                        "40",
                                        "--zero_rows",
                                        "3",
                                        "--nan_rows",
                                        "3",
                                        "--seed",
                                        "4"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string distractors = dir.Path("distractor_features.npy");
  const std::string probes = dir.Path("probe_features.npy");
  const std::string info = dir.Path("probe_info.json");
  // Wide rows make narrower tiles: 700 distractors of 1,100 columns are
  // three tiles of 256 rows.
  const std::string wide = dir.Path("wide");
  ASSERT_EQ(testutil::Run(dir, MAKE_FEATURES_BIN,
                          {"--out", wide, "--probes", "60", "--subjects", "20",
                           "--distractors", "700", "--dim", "1100",
                           "--duplicate_rows", "5"})
                .status,
            0);
  ASSERT_EQ(
      Shell(dir, SCORE_FEATURES_BIN,
            {wide + "/distractor_features.npy", wide + "/probe_features.npy",
             wide + "/d.mat", wide + "/p.mat"})
          .status,
      0);
  ASSERT_EQ(Shell(dir, FUSE_RESULTS_BIN,
                  {wide + "/d.mat", wide + "/p.mat", wide + "/probe_info.json",
                   "600", wide + "/r1", wide + "/m1"})
                .status,
            0);
  ASSERT_EQ(Shell(dir, FUSE_RESULTS_BIN,
                  {"--features", wide + "/distractor_features.npy",
                   wide + "/probe_features.npy", wide + "/probe_info.json",
                   "600", wide + "/r2", wide + "/m2"})
                .status,
            0);
  EXPECT_EQ(ReadFile(wide + "/r2"), ReadFile(wide + "/r1"));
  EXPECT_EQ(ReadFile(wide + "/m2"), ReadFile(wide + "/m1"));
  for (const std::string metric : {"cosine", "dot", "l2"}) {
    const RunResult scored = Shell(dir, SCORE_FEATURES_BIN,
                                   {"--metric", metric, distractors, probes,
                                    dir.Path("d.mat"), dir.Path("p.mat")});
    ASSERT_EQ(scored.status, 0) << scored.err;
    // All distractors; a cut inside the second tile, read from a pipe.
    for (const std::string n : {"2500", "1500"}) {
      SCOPED_TRACE(metric + ", num_distractors " + n);
      const bool piped = n == "1500";
      const RunResult from_scores =
          Shell(dir, FUSE_RESULTS_BIN,
                {"--summary", dir.Path("s1"), dir.Path("d.mat"),
                 dir.Path("p.mat"), info, n, dir.Path("r1"), dir.Path("m1")});
      const RunResult from_features =
          Shell(dir, FUSE_RESULTS_BIN,
                {"--features", "--metric", metric, "--summary", dir.Path("s2"),
                 piped ? "/dev/stdin" : distractors, probes, info, n,
                 dir.Path("r2"), dir.Path("m2")},
                piped ? distractors : "");
      ASSERT_EQ(from_scores.status, 0) << from_scores.err;
      ASSERT_EQ(from_features.status, 0) << from_features.err;
      std::string expected = from_scores.out;
      expected.replace(expected.find(dir.Path("p.mat")),
                       dir.Path("p.mat").size(), probes);
      EXPECT_EQ(from_features.out, expected);
      EXPECT_EQ(ReadFile(dir.Path("r2")), ReadFile(dir.Path("r1")));
      EXPECT_EQ(ReadFile(dir.Path("m2")), ReadFile(dir.Path("m1")));
      EXPECT_EQ(ReadFile(dir.Path("s2")), ReadFile(dir.Path("s1")));
    }
  }
}

TEST(FeatureRouteTest, FeaturesThatCannotBeScoredAreRefused) {
  ScratchDir dir;
  // A Fortran-order .npy file serves as the probes' features, which are
  // loaded whole, but not as the distractors', which are read a row at a
  // time.
  const char* dict =
      "{'descr': '<f4', 'fortran_order': True, 'shape': (3, 2), }";
  std::string header(dict);
  header.resize(128 - 10 - 1, ' ');
  header += '\n';
  testutil::WriteFile(dir.Path("f.npy"),
                      std::string("\x93NUMPY\x01\x00\x76\x00", 10) + header +
                          std::string(24, '\0'));
  testutil::WriteFile(dir.Path("i.json"),
                      "{ \"id\" : [ \"a\", \"b\", \"a\" ] }");
  const RunResult run =
      Shell(dir, FUSE_RESULTS_BIN,
            {"--features", dir.Path("f.npy"), dir.Path("f.npy"),
             dir.Path("i.json"), "3", dir.Path("r"), dir.Path("m")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Fortran order"), std::string::npos) << run.err;
  EXPECT_FALSE(testutil::Exists(dir.Path("r")));
}

}  // namespace
