// End-to-end tests of tools/make_experiment: runs the built generator and
// reads its files back through MatIO and jsoncpp.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "matio/mat_io.h"
#include "tests/test_util.h"

namespace {

const testutil::ScratchDir& Scratch() {
  static const testutil::ScratchDir scratch;
  return scratch;
}

// Runs make_experiment with `flags` (words separated by spaces).
testutil::RunResult RunWith(const std::string& flags) {
  std::vector<std::string> args;
  std::istringstream words(flags);
  for (std::string word; words >> word;) args.push_back(word);
  return testutil::Run(Scratch(), MAKE_EXPERIMENT_BIN, args);
}

struct Experiment {
  std::string dir;
  std::vector<std::string> names;
  cv::Mat probes, distractors;
};

// Generates into a fresh directory and reads the files back.
Experiment Generate(const std::string& flags) {
  static int runs = 0;
  Experiment e;
  e.dir = Scratch().Path(std::to_string(runs++));
  const testutil::RunResult result = RunWith("--out " + e.dir + " " + flags);
  EXPECT_TRUE(result.status == 0 && result.out.empty()) << result.err;
  Json::Value root;
  std::ifstream(e.dir + "/probe_info.json") >> root;
  for (const Json::Value& name : root["id"]) e.names.push_back(name.asString());
  EXPECT_TRUE(MatIO::Load(e.dir + "/probe_scores.mat", &e.probes));
  EXPECT_TRUE(MatIO::Load(e.dir + "/distractor_scores.mat", &e.distractors));
  return e;
}

TEST(MakeExperimentTest, ShapesSubjectsAndScores) {
  const Experiment e = Generate(
      "--probes 300 --subjects 40 --distractors 301 --distractor_rows 310");
  ASSERT_EQ(e.names.size(), 300u);
  EXPECT_TRUE(e.probes.type() == CV_32FC1 && e.distractors.type() == CV_32FC1);
  EXPECT_EQ(e.probes.size(), cv::Size(300, 300));
  EXPECT_EQ(e.distractors.size(), cv::Size(301, 310));
  // Scores are finite and in [-1, 1]; every probe scores itself 1.
  EXPECT_TRUE(cv::checkRange(e.probes, true, nullptr, -1, 1.0000001) &&
              cv::checkRange(e.distractors, true, nullptr, -1, 1.0000001));
  EXPECT_EQ(cv::countNonZero(e.probes.diag() != 1.0f), 0);
  std::map<std::string, int> sizes;
  for (const std::string& name : e.names) ++sizes[name];
  EXPECT_LE(sizes.size(), 40u);
  EXPECT_TRUE(std::any_of(sizes.begin(), sizes.end(), [](const auto& subject) {
    return subject.second == 1;  // A subject with a single probe.
  }));
  // Genuine scores lie above impostor scores on average, with overlap.
  std::vector<float> scores[2];  // Impostor, genuine.
  for (int i = 0; i < 300 * 300; ++i) {
    const int p = i / 300, q = i % 300;
    if (p != q)
      scores[e.names[p] == e.names[q]].push_back(e.probes.at<float>(p, q));
  }
  EXPECT_GT(cv::mean(scores[1])[0], cv::mean(scores[0])[0] + 0.2);
  EXPECT_GT(*std::max_element(scores[0].begin(), scores[0].end()),
            *std::min_element(scores[1].begin(), scores[1].end()));
}

TEST(MakeExperimentTest, OutputDependsOnSeedButNotOnThreadsOrBlocks) {
  const std::string flags =
      "--probes 150 --subjects 9 --distractors 4999 --distractor_rows 153 ";
  const std::string base = Generate(flags + "--threads 1").dir;
  const std::string one_row =
      Generate(flags + "--threads 8 --block_rows 1").dir;
  const std::string odd =
      Generate(flags + "--threads 2 --block_rows 7 --seed 1").dir;
  const std::string other_seed = Generate(flags + "--seed 2").dir;
  for (const char* file :
       {"/probe_info.json", "/probe_scores.mat", "/distractor_scores.mat"}) {
    const std::string expected = testutil::ReadFile(base + file);
    // Compared as booleans: a failure must not print megabytes.
    EXPECT_TRUE(testutil::ReadFile(one_row + file) == expected) << file;
    EXPECT_TRUE(testutil::ReadFile(odd + file) == expected) << file;
    EXPECT_FALSE(testutil::ReadFile(other_seed + file) == expected) << file;
  }
}

TEST(MakeExperimentTest, ScoreLevelsRoundToAFewTiedValues) {
  const Experiment e =
      Generate("--probes 30 --subjects 6 --distractors 2000 --score_levels 16");
  std::set<float> values(e.probes.begin<float>(), e.probes.end<float>());
  values.insert(e.distractors.begin<float>(), e.distractors.end<float>());
  EXPECT_LE(values.size(), 16u);
  for (const float v : values) {  // Levels are -1 + 2k/15.
    EXPECT_NEAR((v + 1) * 7.5f, std::round((v + 1) * 7.5f), 1e-4) << v;
  }
}

TEST(MakeExperimentTest, BadFlagsAndWriteFailuresFail) {
  const std::string out = "--out " + Scratch().Path("bad") + " ";
  for (const std::string& flags :
       {std::string("--probes 10"), out + "--bogus 1", out + "--probes abc",
        out + "--probes -3", out + "--probes", out + "--subjects 0",
        out + "--seed -1", out + "--symmetric=1", out + "stray",
        out + "--distractors 12x"}) {
    const testutil::RunResult result = RunWith(flags);
    EXPECT_EQ(result.status, 2) << flags;
    EXPECT_NE(result.err.find("Usage"), std::string::npos) << flags;
  }
  // A full device fails the first large write of the distractor matrix.
  const std::string dir = Scratch().Path("full");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/full", (dir + "/distractor_scores.mat").c_str()), 0);
  const testutil::RunResult full =
      RunWith("--out " + dir + " --probes 20 --distractors 5000");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("distractor_scores.mat"), std::string::npos);
}

}  // namespace
