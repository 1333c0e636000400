// End-to-end tests of tools/make_features: its .npy files are what NumPy
// writes and the project reads, they depend on the flags and on nothing
// else, the vectors follow the documented model, the special rows are
// there as asked, and bad flags or failed writes leave no file behind.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "matio/score_matrix.h"
#include "tests/test_util.h"

namespace {

const testutil::ScratchDir scratch;

testutil::RunResult RunTool(const std::string& dir, const std::string& flags) {
  return testutil::Run(scratch, "/bin/sh",
                       {"-c", testutil::Quote(MAKE_FEATURES_BIN) + " --out " +
                                  testutil::Quote(dir) + " " + flags});
}

// Generates with `flags` (words separated by spaces) into a fresh directory,
// which it returns.
std::string Generate(const std::string& flags) {
  static int runs = 0;
  const std::string dir = scratch.Path(std::to_string(runs++));
  const testutil::RunResult result = RunTool(dir, flags);
  EXPECT_TRUE(result.status == 0 && result.out.empty()) << result.err;
  return dir;
}

cv::Mat Load(const std::string& path) {
  cv::Mat mat;
  std::string error;
  EXPECT_TRUE(LoadScoreMatrix(path, &mat, nullptr, &error)) << error;
  return mat;
}

std::vector<std::string> Subjects(const std::string& dir) {
  Json::Value root;
  std::ifstream(dir + "/probe_info.json") >> root;
  std::vector<std::string> names;
  for (const Json::Value& name : root["id"]) names.push_back(name.asString());
  return names;
}

double Dot(const cv::Mat& a, int i, const cv::Mat& b, int j) {
  double sum = 0;
  for (int c = 0; c < a.cols; ++c) {
    sum += double(a.at<float>(i, c)) * b.at<float>(j, c);
  }
  return sum;
}

double Cosine(const cv::Mat& a, int i, const cv::Mat& b, int j) {
  return Dot(a, i, b, j) / std::sqrt(Dot(a, i, a, i) * Dot(b, j, b, j));
}

bool RowsEqual(const cv::Mat& m, int i, int j) {
  return std::memcmp(m.ptr(i), m.ptr(j), m.cols * sizeof(float)) == 0;
}

// A version 1.0 .npy file of a rows x cols C-order float32 array, its data
// starting at a multiple of 64 bytes as NumPy aligns it.
void ExpectNpy(const std::string& path, int rows, int cols) {
  const std::string bytes = testutil::ReadFile(path);
  ASSERT_GT(bytes.size(), 10u) << path;
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8)) << path;
  const size_t header_bytes =
      size_t(uint8_t(bytes[8])) | size_t(uint8_t(bytes[9])) << 8;
  const size_t data_offset = 10 + header_bytes;
  EXPECT_EQ(data_offset % 64, 0u) << path;
  ASSERT_LE(data_offset, bytes.size()) << path;
  const std::string header = bytes.substr(10, header_bytes);
  EXPECT_EQ(header.back(), '\n') << path;
  EXPECT_NE(
      header.find("'descr': '<f4', 'fortran_order': False, 'shape': (" +
                  std::to_string(rows) + ", " + std::to_string(cols) + ")"),
      std::string::npos)
      << header;
  EXPECT_EQ(bytes.size(), data_offset + size_t(rows) * cols * 4) << path;
  const cv::Mat mat = Load(path);
  EXPECT_EQ(mat.rows, rows);
  EXPECT_EQ(mat.cols, cols);
}

const char* const kFiles[] = {"/probe_info.json", "/probe_features.npy",
                              "/distractor_features.npy"};

TEST(MakeFeaturesTest, FilesHaveTheAskedShapesAndNothingElseIsLeft) {
  const std::string dir =
      Generate("--probes 150 --subjects 9 --distractors 301 --dim 37");
  EXPECT_EQ(Subjects(dir).size(), 150u);
  ExpectNpy(dir + "/probe_features.npy", 150, 37);
  ExpectNpy(dir + "/distractor_features.npy", 301, 37);
  // No temporary survives next to the three files.
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names,
            (std::set<std::string>{"distractor_features.npy",
                                   "probe_features.npy", "probe_info.json"}));
  // Empty matrices are still valid files.
  const std::string empty = Generate("--probes 0 --distractors 0 --dim 5");
  ExpectNpy(empty + "/probe_features.npy", 0, 5);
  ExpectNpy(empty + "/distractor_features.npy", 0, 5);
}

TEST(MakeFeaturesTest, BytesDependOnTheFlagsAndSeedOnly) {
  const std::string flags =
      "--probes 90 --subjects 12 --distractors 257 --dim 33 "
      "--hard_distractors 0.3 --duplicate_rows 4 --zero_rows 2 --nan_rows 3 ";
  const std::string base = Generate(flags + "--threads 1");
  const std::string blocks = Generate(flags + "--threads 4 --block_rows 7");
  const std::string other_seed = Generate(flags + "--seed 2");
  for (const char* file : kFiles) {
    const std::string expected = testutil::ReadFile(base + file);
    // Compared as booleans: a failure must not print the files.
    EXPECT_TRUE(testutil::ReadFile(blocks + file) == expected) << file;
    EXPECT_FALSE(testutil::ReadFile(other_seed + file) == expected) << file;
  }
  // Without special rows, a distractor row depends on its index, not on
  // how many rows there are.
  const cv::Mat longer =
      Load(Generate("--distractors 40 --dim 8") + "/distractor_features.npy");
  const cv::Mat shorter =
      Load(Generate("--distractors 25 --dim 8") + "/distractor_features.npy");
  ASSERT_EQ(shorter.rows, 25);
  EXPECT_EQ(cv::norm(longer.rowRange(0, 25), shorter, cv::NORM_INF), 0.0);
  // The probes' subjects are make_experiment's for the same flags.
  const std::string scores = scratch.Path("scores");
  const testutil::RunResult result =
      testutil::Run(scratch, MAKE_EXPERIMENT_BIN,
                    {"--out", scores, "--probes", "90", "--subjects", "12",
                     "--distractors", "1"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(testutil::ReadFile(scores + "/probe_info.json"),
            testutil::ReadFile(base + "/probe_info.json"));
}

// Mean cosine of the probe pairs of one subject and of different subjects.
struct PairMeans {
  double genuine = 0, impostor = 0;
};

PairMeans MeanCosines(const cv::Mat& probes,
                      const std::vector<std::string>& subjects) {
  double sums[2] = {0, 0};
  int counts[2] = {0, 0};
  for (int i = 0; i < probes.rows; ++i) {
    for (int j = i + 1; j < probes.rows; ++j) {
      const int genuine = subjects[size_t(i)] == subjects[size_t(j)];
      sums[genuine] += Cosine(probes, i, probes, j);
      ++counts[genuine];
    }
  }
  return {sums[1] / counts[1], sums[0] / counts[0]};
}

TEST(MakeFeaturesTest, GenuinePairsScoreAsDocumentedAboveImpostors) {
  const std::string flags = "--probes 200 --subjects 40 --dim 128 ";
  for (const double noise : {0.5, 0.8, 1.2}) {
    const std::string dir =
        Generate(flags + "--distractors 1 --noise " + std::to_string(noise));
    const cv::Mat probes = Load(dir + "/probe_features.npy");
    for (int i = 0; i < probes.rows; ++i) {
      ASSERT_NEAR(Dot(probes, i, probes, i), 1.0, 1e-5) << "probe " << i;
    }
    const PairMeans means = MeanCosines(probes, Subjects(dir));
    EXPECT_NEAR(means.genuine, 1 / (1 + noise * noise), 0.05) << noise;
    EXPECT_NEAR(means.impostor, 0.0, 0.02) << noise;
  }
  // Raw rows have lengths of their own, and the same directions.
  const std::string raw = Generate(flags + "--distractors 50 --raw");
  const cv::Mat probes = Load(raw + "/probe_features.npy");
  const cv::Mat distractors = Load(raw + "/distractor_features.npy");
  for (const cv::Mat* rows : {&probes, &distractors}) {
    double shortest = INFINITY, longest = 0;
    for (int i = 0; i < rows->rows; ++i) {
      shortest = std::min(shortest, std::sqrt(Dot(*rows, i, *rows, i)));
      longest = std::max(longest, std::sqrt(Dot(*rows, i, *rows, i)));
    }
    EXPECT_GT(longest / shortest, 1.5);
  }
  const PairMeans means = MeanCosines(probes, Subjects(raw));
  EXPECT_GT(means.genuine, means.impostor + 0.4);
}

// The fraction of distractors whose best cosine against the probes is that
// of a probe of the same subject, not of a stranger.
double FractionNearAProbe(const std::string& dir) {
  const cv::Mat probes = Load(dir + "/probe_features.npy");
  const cv::Mat distractors = Load(dir + "/distractor_features.npy");
  int near = 0;
  for (int d = 0; d < distractors.rows; ++d) {
    double best = -1;
    for (int p = 0; p < probes.rows; ++p) {
      best = std::max(best, Cosine(distractors, d, probes, p));
    }
    near += best > 0.45;
  }
  return double(near) / distractors.rows;
}

TEST(MakeFeaturesTest, HardDistractorsLieNearTheProbesSubjects) {
  const std::string flags = "--probes 100 --subjects 30 --distractors 400 ";
  EXPECT_EQ(FractionNearAProbe(Generate(flags)), 0.0);
  EXPECT_NEAR(FractionNearAProbe(Generate(flags + "--hard_distractors 0.25")),
              0.25, 0.06);
  EXPECT_EQ(FractionNearAProbe(Generate(flags + "--hard_distractors 1")), 1.0);
}

TEST(MakeFeaturesTest, SpecialRowsAreThereAsAsked) {
  for (const bool raw : {false, true}) {
    const std::string dir = Generate(
        "--probes 20 --distractors 60 --dim 16 --duplicate_rows 5 "
        "--zero_rows 3 --nan_rows 4" +
        std::string(raw ? " --raw" : ""));
    const cv::Mat rows = Load(dir + "/distractor_features.npy");
    int zero = 0, with_nan = 0, copies = 0;
    for (int r = 0; r < rows.rows; ++r) {
      int nans = 0;
      for (int c = 0; c < rows.cols; ++c) {
        nans += std::isnan(rows.at<float>(r, c));
      }
      if (nans > 0) {
        EXPECT_EQ(nans, 1) << "row " << r;
        ++with_nan;
      } else if (cv::countNonZero(rows.row(r)) == 0) {
        ++zero;
      } else {
        for (int earlier = 0; earlier < r; ++earlier) {
          if (RowsEqual(rows, r, earlier)) {
            ++copies;
            break;
          }
        }
      }
    }
    EXPECT_EQ(zero, 3) << raw;
    EXPECT_EQ(with_nan, 4) << raw;
    EXPECT_EQ(copies, 5) << raw;
    EXPECT_EQ(cv::countNonZero(rows.row(0)), rows.cols) << raw;
  }
}

TEST(MakeFeaturesTest, BadFlagsAreRefusedAndNothingIsWritten) {
  for (const char* flags :
       {"--bogus 1", "--dim 0", "--dim 3x", "--probes -1", "--noise -0.1",
        "--noise nan", "--hard_distractors 1.5", "--seed -2", "--raw=yes",
        "--distractors", "--distractors 5 --zero_rows 3 --nan_rows 2",
        "--probes 0 --hard_distractors 0.5", "extra"}) {
    const std::string dir = scratch.Path("refused");
    const testutil::RunResult result = RunTool(dir, flags);
    EXPECT_EQ(result.status, 2) << flags;
    EXPECT_NE(result.err.find("Usage: make_features"), std::string::npos)
        << flags;
    EXPECT_FALSE(testutil::Exists(dir)) << flags;
  }
  const testutil::RunResult no_out =
      testutil::Run(scratch, MAKE_FEATURES_BIN, {"--probes", "3"});
  EXPECT_EQ(no_out.status, 2);
}

TEST(MakeFeaturesTest, FailedWritesEndWithStatusOneAndNoTemporary) {
  // The final name is taken by a directory that rename cannot replace.
  const std::string dir = scratch.Path("blocked");
  std::filesystem::create_directories(dir + "/distractor_features.npy/x");
  const testutil::RunResult blocked =
      RunTool(dir, "--probes 10 --distractors 10");
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find("distractor_features.npy"), std::string::npos)
      << blocked.err;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
  // The output directory cannot be made under a regular file.
  testutil::WriteFile(scratch.Path("plain"), "x");
  EXPECT_EQ(RunTool(scratch.Path("plain") + "/out", "").status, 1);
}

}  // namespace
