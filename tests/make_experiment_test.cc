// End-to-end tests of tools/make_experiment: the files it writes have the
// shapes the flags ask for and depend on the seed and on nothing else.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <string>

#include "tests/test_util.h"

namespace {

const testutil::ScratchDir scratch;

// Generates with `flags` (words separated by spaces) into a fresh directory,
// which it returns.
std::string Generate(const std::string& flags) {
  static int runs = 0;
  const std::string dir = scratch.Path(std::to_string(runs++));
  const testutil::RunResult result =
      testutil::Run(scratch, "/bin/sh",
                    {"-c", testutil::Quote(MAKE_EXPERIMENT_BIN) + " --out " +
                               dir + " " + flags});
  EXPECT_TRUE(result.status == 0 && result.out.empty()) << result.err;
  return dir;
}

// A rows x cols float matrix file: its header, then exactly its data.
void ExpectFloatMatrix(const std::string& path, int32_t rows, int32_t cols) {
  const std::string bytes = testutil::ReadFile(path);
  const int32_t header[4] = {rows, cols, cols * 4, 5};
  EXPECT_EQ(bytes.substr(0, 16), std::string((const char*)header, 16)) << path;
  EXPECT_EQ(bytes.size(), 16 + size_t(rows) * cols * 4) << path;
}

TEST(MakeExperimentTest, FilesHaveTheAskedShapesAndDependOnlyOnTheSeed) {
  const std::string flags =
      "--probes 150 --subjects 9 --distractors 4999 --distractor_rows 153 ";
  const std::string base = Generate(flags + "--threads 1");
  Json::Value root;
  std::ifstream(base + "/probe_info.json") >> root;
  EXPECT_EQ(root["id"].size(), 150u);
  ExpectFloatMatrix(base + "/probe_scores.mat", 150, 150);
  ExpectFloatMatrix(base + "/distractor_scores.mat", 153, 4999);
  // Threads and blocks change nothing (seed 1 is the default); seeds do.
  const std::string one_row = Generate(flags + "--threads 8 --block_rows 1");
  const std::string odd =
      Generate(flags + "--threads 2 --block_rows 7 --seed 1");
  const std::string other_seed = Generate(flags + "--seed 2");
  for (const char* file :
       {"/probe_info.json", "/probe_scores.mat", "/distractor_scores.mat"}) {
    const std::string expected = testutil::ReadFile(base + file);
    // Compared as booleans: a failure must not print megabytes.
    EXPECT_TRUE(testutil::ReadFile(one_row + file) == expected) << file;
    EXPECT_TRUE(testutil::ReadFile(odd + file) == expected) << file;
    EXPECT_FALSE(testutil::ReadFile(other_seed + file) == expected) << file;
  }
}

}  // namespace
