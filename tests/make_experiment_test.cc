// End-to-end tests of tools/make_experiment: runs the built generator into
// temporary directories and reads its files back through MatIO and jsoncpp.
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "matio/mat_io.h"

namespace {

std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "make_experiment_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  EXPECT_NE(mkdtemp(buf.data()), nullptr);
  return buf.data();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the generator with `args`; returns its exit status, or -1 when it
// did not exit normally. Its standard streams go to `dir`/stdout, /stderr.
int RunTool(const std::string& args, const std::string& log_dir) {
  std::string command = std::string(MAKE_EXPERIMENT_BIN) + " " + args + " >" +
                        log_dir + "/stdout 2>" + log_dir + "/stderr";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Experiment {
  std::vector<std::string> names;
  cv::Mat probe_scores;
  cv::Mat distractor_scores;
};

class MakeExperimentTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = MakeTempDir(); }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  // Generates into a fresh directory and returns it; fails the test when
  // the generator does not succeed.
  std::string Generate(const std::string& flags) {
    std::string dir = root_ + "/run" + std::to_string(runs_++);
    EXPECT_EQ(RunTool("--out " + dir + " " + flags, root_), 0) << flags;
    return dir;
  }

  static Experiment Load(const std::string& dir) {
    Experiment e;
    std::ifstream in(dir + "/probe_info.json");
    Json::Value root;
    in >> root;
    for (const Json::Value& name : root["id"])
      e.names.push_back(name.asString());
    std::string error;
    EXPECT_TRUE(MatIO::Load(dir + "/probe_scores.mat", &e.probe_scores, &error))
        << error;
    EXPECT_TRUE(MatIO::Load(dir + "/distractor_scores.mat",
                            &e.distractor_scores, &error))
        << error;
    return e;
  }

  std::string root_;
  int runs_ = 0;
};

std::map<std::string, int> SubjectSizes(const std::vector<std::string>& names) {
  std::map<std::string, int> sizes;
  for (const std::string& name : names) ++sizes[name];
  return sizes;
}

TEST_F(MakeExperimentTest, WritesFilesOfTheRequestedShape) {
  std::string dir = Generate("--probes 60 --subjects 15 --distractors 301");
  Experiment e = Load(dir);
  ASSERT_EQ(e.names.size(), 60u);
  EXPECT_EQ(e.probe_scores.type(), CV_32FC1);
  EXPECT_EQ(e.probe_scores.rows, 60);
  EXPECT_EQ(e.probe_scores.cols, 60);
  EXPECT_EQ(e.distractor_scores.type(), CV_32FC1);
  EXPECT_EQ(e.distractor_scores.rows, 60);
  EXPECT_EQ(e.distractor_scores.cols, 301);

  FILE* file = std::fopen((dir + "/distractor_scores.mat").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  MatHeader header;
  EXPECT_TRUE(MatIO::ReadHeader(file, &header));
  std::fclose(file);
  EXPECT_EQ(header.step, 301 * 4);

  for (const cv::Mat* m : {&e.probe_scores, &e.distractor_scores}) {
    for (int r = 0; r < m->rows; ++r) {
      for (int c = 0; c < m->cols; ++c) {
        float v = m->at<float>(r, c);
        ASSERT_TRUE(std::isfinite(v) && v >= -1.0f && v <= 1.0f) << v;
      }
    }
  }
  for (int i = 0; i < 60; ++i) EXPECT_EQ(e.probe_scores.at<float>(i, i), 1.0f);

  EXPECT_TRUE(ReadFile(root_ + "/stdout").empty());
  EXPECT_NE(ReadFile(root_ + "/stderr").find("60 probes"), std::string::npos);
}

TEST_F(MakeExperimentTest, SubjectsAreSkewedScatteredAndIncludeSingletons) {
  Experiment e = Load(Generate("--probes 300 --subjects 40 --distractors 4"));
  std::map<std::string, int> sizes = SubjectSizes(e.names);
  EXPECT_GE(sizes.size(), 30u);
  EXPECT_LE(sizes.size(), 40u);
  int singletons = 0, largest = 0;
  for (const auto& [name, size] : sizes) {
    EXPECT_FALSE(name.empty());
    singletons += size == 1;
    largest = std::max(largest, size);
  }
  EXPECT_GE(singletons, 1);
  EXPECT_GE(largest, 2 * 300 / 40);  // Well above the mean size.
  // Probes of one subject are not stored next to each other.
  int runs = 1;
  for (size_t i = 1; i < e.names.size(); ++i)
    runs += e.names[i] != e.names[i - 1];
  EXPECT_GT(runs, 200);
}

TEST_F(MakeExperimentTest, SubjectCountIsBoundedByProbes) {
  struct Case {
    const char* flags;
    size_t probes;
    size_t subjects;
  };
  for (const Case& c : {Case{"--probes 5 --subjects 50", 5, 5},
                        Case{"--probes 40 --subjects 1", 40, 1},
                        Case{"--probes 2 --subjects 2", 2, 2},
                        Case{"--probes 3 --subjects 2", 3, 2},
                        Case{"--probes 200 --subjects 4", 200, 4},
                        Case{"--probes 0 --subjects 3", 0, 0}}) {
    Experiment e = Load(Generate(std::string(c.flags) + " --distractors 3"));
    EXPECT_EQ(e.names.size(), c.probes) << c.flags;
    std::map<std::string, int> sizes = SubjectSizes(e.names);
    EXPECT_EQ(sizes.size(), c.subjects) << c.flags;
    // Two subjects or more always include a single-probe subject.
    bool has_singleton = false;
    for (const auto& entry : sizes) has_singleton |= entry.second == 1;
    EXPECT_EQ(has_singleton, c.subjects >= 2) << c.flags;
    EXPECT_EQ(e.probe_scores.rows, int(c.probes)) << c.flags;
    EXPECT_EQ(e.distractor_scores.rows, int(c.probes)) << c.flags;
  }
}

TEST_F(MakeExperimentTest, OutputDependsOnSeedButNotOnThreadsOrBlocks) {
  // Many small blocks on more threads than cores: blocks finish out of
  // order and buffers are reused, yet the files must not change.
  const std::string flags =
      "--probes 150 --subjects 9 --distractors 4999 --distractor_rows 153 ";
  std::string base = Generate(flags + "--threads 1");
  std::string split = Generate(flags + "--threads 8 --block_rows 1");
  std::string odd = Generate(flags + "--threads 2 --block_rows 7 --seed 1");
  std::string other_seed = Generate(flags + "--seed 2");
  for (const char* file :
       {"/probe_info.json", "/probe_scores.mat", "/distractor_scores.mat"}) {
    std::string expected = ReadFile(base + file);
    ASSERT_FALSE(expected.empty());
    // Compared as booleans: a failure must not print megabytes of bytes.
    EXPECT_TRUE(ReadFile(split + file) == expected) << file;
    EXPECT_TRUE(ReadFile(odd + file) == expected) << file;
    EXPECT_FALSE(ReadFile(other_seed + file) == expected) << file;
  }
}

TEST_F(MakeExperimentTest, DistractorRowsDependOnlyOnTheirIndex) {
  const std::string flags = "--probes 50 --subjects 10 --distractors 64 ";
  Experiment base = Load(Generate(flags));
  Experiment more = Load(Generate(flags + "--distractor_rows 80"));
  Experiment fewer = Load(Generate(flags + "--distractor_rows 10"));
  ASSERT_EQ(more.distractor_scores.rows, 80);
  ASSERT_EQ(fewer.distractor_scores.rows, 10);
  EXPECT_EQ(cv::norm(more.distractor_scores.rowRange(0, 50),
                     base.distractor_scores, cv::NORM_INF),
            0.0);
  EXPECT_EQ(cv::norm(fewer.distractor_scores,
                     base.distractor_scores.rowRange(0, 10), cv::NORM_INF),
            0.0);
  EXPECT_EQ(cv::norm(more.probe_scores, base.probe_scores, cv::NORM_INF), 0.0);
}

TEST_F(MakeExperimentTest, GenuineScoresExceedImpostorsWithOverlap) {
  Experiment e =
      Load(Generate("--probes 400 --subjects 60 --distractors 2000"));
  double genuine_sum = 0, impostor_sum = 0;
  int genuine = 0, impostor = 0;
  float min_genuine = 2, max_impostor = -2;
  for (int i = 0; i < 400; ++i) {
    for (int j = 0; j < 400; ++j) {
      if (i == j) continue;
      float v = e.probe_scores.at<float>(i, j);
      if (e.names[i] == e.names[j]) {
        genuine_sum += v, ++genuine, min_genuine = std::min(min_genuine, v);
      } else {
        impostor_sum += v, ++impostor, max_impostor = std::max(max_impostor, v);
      }
    }
  }
  ASSERT_GT(genuine, 100);
  double genuine_mean = genuine_sum / genuine;
  double impostor_mean = impostor_sum / impostor;
  EXPECT_GT(genuine_mean, impostor_mean + 0.2);
  EXPECT_GT(max_impostor, min_genuine);

  // Distractors follow the impostor distribution, with a mean that varies
  // from probe to probe.
  std::vector<double> row_means;
  for (int r = 0; r < 400; ++r) {
    row_means.push_back(cv::mean(e.distractor_scores.row(r))[0]);
  }
  double mean = 0, var = 0;
  for (double m : row_means) mean += m / row_means.size();
  for (double m : row_means) var += (m - mean) * (m - mean) / row_means.size();
  EXPECT_NEAR(mean, impostor_mean, 0.03);
  EXPECT_GT(std::sqrt(var), 0.01);
}

TEST_F(MakeExperimentTest, ProbeScoresAreSymmetricOnlyOnRequest) {
  const std::string flags = "--probes 40 --subjects 8 --distractors 2 ";
  for (bool symmetric : {false, true}) {
    Experiment e = Load(Generate(flags + (symmetric ? "--symmetric" : "")));
    int differing = 0;
    for (int i = 0; i < 40; ++i) {
      for (int j = 0; j < i; ++j) {
        float a = e.probe_scores.at<float>(i, j);
        float b = e.probe_scores.at<float>(j, i);
        differing += a != b;
        EXPECT_LT(std::fabs(a - b), 0.1f);
      }
    }
    if (symmetric) {
      EXPECT_EQ(differing, 0);
    } else {
      EXPECT_GT(differing, 40 * 39 / 2 * 9 / 10);
    }
  }
}

TEST_F(MakeExperimentTest, ScoreLevelsRoundToAFewTiedValues) {
  const std::string flags = "--probes 30 --subjects 6 --distractors 2000 ";
  Experiment continuous = Load(Generate(flags));
  Experiment levels = Load(Generate(flags + "--score_levels 16"));
  for (int r = 0; r < 30; ++r) {
    std::set<float> smooth, rounded;
    for (int c = 0; c < 2000; ++c) {
      smooth.insert(continuous.distractor_scores.at<float>(r, c));
      float v = levels.distractor_scores.at<float>(r, c);
      rounded.insert(v);
      // Levels are -1 + 2k/15: (v + 1) * 7.5 is a whole number.
      float k = (v + 1.0f) * 7.5f;
      ASSERT_NEAR(k, std::round(k), 1e-4) << v;
    }
    EXPECT_GT(smooth.size(), 1980u);
    EXPECT_LE(rounded.size(), 16u);
  }
  std::set<float> probe_values;
  for (int i = 0; i < 30; ++i) {
    for (int j = 0; j < 30; ++j) {
      probe_values.insert(levels.probe_scores.at<float>(i, j));
    }
  }
  EXPECT_LE(probe_values.size(), 16u);
  EXPECT_EQ(probe_values.count(1.0f), 1u);  // The self scores.
}

TEST_F(MakeExperimentTest, BadFlagsExitWithStatusTwo) {
  const std::string out = " --out " + root_ + "/bad";
  for (const std::string& args :
       {std::string(""), std::string("--probes 10"), out + " --bogus 1",
        out + " --probes abc", out + " --probes -3", out + " --probes",
        out + " --subjects 0", out + " --seed -1", out + " --symmetric=1",
        out + " stray", out + " --distractors 12x"}) {
    EXPECT_EQ(RunTool(args, root_), 2) << args;
    EXPECT_NE(ReadFile(root_ + "/stderr").find("Usage"), std::string::npos)
        << args;
  }
}

TEST_F(MakeExperimentTest, WriteFailuresExitWithStatusOne) {
  // A full device fails the first large write of the distractor matrix.
  std::string dir = root_ + "/full";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/full", (dir + "/distractor_scores.mat").c_str()), 0);
  EXPECT_EQ(RunTool("--out " + dir + " --probes 20 --distractors 5000", root_),
            1);
  EXPECT_NE(ReadFile(root_ + "/stderr").find("distractor_scores.mat"),
            std::string::npos);

  // The output directory cannot be a regular file.
  std::string file = root_ + "/plain";
  std::ofstream(file) << "x";
  EXPECT_EQ(RunTool("--out " + file + " --probes 4", root_), 1);
}

}  // namespace
