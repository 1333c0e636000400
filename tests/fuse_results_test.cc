// End-to-end tests of the fuse_results program on an experiment small enough
// to follow by hand: its exact output, how it reads num_distractors and the
// probe info file, and refusals the README's table of bad inputs (checked by
// bad_inputs_test.cc) does not spell out.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "matio/mat_io.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;

// Probes 0 and 2 are subject "a", probe 1 is subject "b".
class SmallExperiment : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(info_, "{ \"id\" : [ \"a\", \"b\", \"a\" ] }\n");
    float probes[] = {1, .1f, .5f, .1f, 1, .2f, .25f, .2f, 1};
    float distractors[] = {.3f,  .6f,  .5f, .1f, .5f,  0,      // Probe 0's,
                           .45f, .2f,  .5f, .9f, .15f, .05f,   // 1's and
                           .2f,  .25f, .3f, .1f, 0,    .26f};  // 2's scores.
    ASSERT_TRUE(MatIO::Save(probes_, cv::Mat(3, 3, CV_32F, probes)));
    ASSERT_TRUE(MatIO::Save(distractors_, cv::Mat(3, 6, CV_32F, distractors)));
  }

  RunResult RunWith(const std::string& num_distractors,
                    std::vector<std::string> options = {}) {
    options.insert(options.end(), {distractors_, probes_, info_,
                                   num_distractors, results_, matches_});
    return testutil::Run(dir_, FUSE_RESULTS_BIN, options);
  }

  testutil::ScratchDir dir_;
  const std::string info_ = dir_.Path("probe_info.json");
  const std::string probes_ = dir_.Path("probe_scores.mat");
  const std::string distractors_ = dir_.Path("distractor_scores.mat");
  const std::string results_ = dir_.Path("results.json");
  const std::string matches_ = dir_.Path("match_results.json");
};

TEST_F(SmallExperiment, CompleteRunWritesExactOutputAndFiles) {
  const RunResult run = RunWith("6");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Loaded 3 probes spanning 2 classes\nLoading from " +
                         probes_ +
                         "\nProbe score matrix size: 3 3\n"
                         "distractor score matrix size: 3 6\n"
                         "Done loading. Time to compute some stats!\n"
                         "Finding top distractors!\nDone sorting distractor "
                         "scores\nMaking gallery!\nDone Making Gallery!\n"
                         "Allocating ranks (8)\nRank 1: 0.000000\n");
  // Mate ranks: 0 vs 2 scores 0.5, beaten by one distractor of row 0 (the
  // two equal 0.5 scores do not count); 2 vs 0 scores 0.25, beaten by two
  // of row 2. The genuine pair (0, 2) scores 0.5 and is beaten by two
  // impostor scores (0.6 and 0.9) of the 18 in rows 0-2.
  EXPECT_EQ(ReadFile(results_),
            "\n{\n"
            "\t\"cmc\" : \n\t[\n\t\t[ 0, 1, 2, 6 ],\n"
            "\t\t[ 0.0, 0.50, 1.0, 1.0 ]\n\t],\n"
            "\t\"roc\" : \n\t[\n\t\t[ 0.0, 0.1111111119389534, 1.0 ],\n"
            "\t\t[ 0.0, 1.0, 1.0 ]\n\t],\n"
            "\t\"traditional_cmc\" : \n\t[\n\t\t[ 0, 1, 2, 7 ],\n"
            "\t\t[ 0.0, 0.50, 1.0, 1.0 ]\n\t]\n"
            "}\n");
  const std::string match_text = ReadFile(matches_);
  // Probe 0: equal scores rank the higher distractor index first; probe 1 is
  // alone in its subject.
  EXPECT_NE(match_text.find("\"idx\" : [ 1, 4, 2, 0, 3 ],"), std::string::npos);
  EXPECT_NE(match_text.find("\"idx\" : [ 2 ],\n\t\t\t\"rank\" : [ 2 ]\n"),
            std::string::npos);
  EXPECT_NE(match_text.find("\"probes\" : null"), std::string::npos);
}

// The summary's figures, by hand: the mate ranks are 1 and 2; the genuine
// pair is beaten by 2 of the 18 impostor scores; the traditional ranks,
// one per split, are those of the curve above, over 8 slots.
TEST_F(SmallExperiment, SummaryHoldsTheExactFigures) {
  const std::string summary = dir_.Path("summary.json");
  const RunResult run =
      RunWith("6", {"--ranks=2,3", "--summary", summary, "--fars", "0.12"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(run.out.size() - 17), "Rank 1: 0.000000\n");
  EXPECT_EQ(
      ReadFile(summary),
      "{\n  \"counts\": {\n    \"probes\": 3,\n    \"subjects\": 2,\n"
      "    \"distractors\": 6,\n    \"mate_pairs\": 2,\n"
      "    \"genuine_pairs\": 1,\n    \"impostor_pairs\": 18,\n"
      "    \"traditional_ranked\": 10\n  },\n"
      "  \"identification_rate\": [\n"
      "    {\"rank\": 1, \"rate\": 0},\n    {\"rank\": 2, \"rate\": 0.5},\n"
      "    {\"rank\": 3, \"rate\": 1},\n    {\"rank\": 5, \"rate\": 1},\n"
      "    {\"rank\": 10, \"rate\": 1},\n    {\"rank\": 20, \"rate\": 1},\n"
      "    {\"rank\": 50, \"rate\": 1},\n    {\"rank\": 100, \"rate\": 1}\n"
      "  ],\n  \"traditional_rate\": [\n"
      "    {\"rank\": 1, \"rate\": 0},\n    {\"rank\": 2, \"rate\": 0.5},\n"
      "    {\"rank\": 3, \"rate\": 1},\n    {\"rank\": 5, \"rate\": 1},\n"
      "    {\"rank\": 10, \"rate\": null}\n  ],\n  \"tar_at_far\": [\n"
      "    {\"far\": 0.12, \"impostors_accepted\": 2, \"tar\": 1},\n"
      "    {\"far\": 0.1, \"impostors_accepted\": 1, \"tar\": 0}\n  ],\n"
      "  \"equal_error_rate\": {\"rate\": 0.055555555555555552, "
      "\"impostors_accepted\": 2, \"far\": 0.1111111111111111, "
      "\"frr\": 0}\n}\n");

  // Help and version answer with status 0 and touch nothing; without six
  // arguments after the options, the usage line is the one it always was.
  const RunResult help = testutil::Run(dir_, FUSE_RESULTS_BIN, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: fuse_results [options] <distractor_"),
            std::string::npos);
  EXPECT_NE(help.out.find("--summary FILE"), std::string::npos);
  const RunResult version =
      testutil::Run(dir_, FUSE_RESULTS_BIN, {"--version", "x"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("fuse_results 1.", 0), 0u);
  const RunResult usage =
      testutil::Run(dir_, FUSE_RESULTS_BIN, {"--summary", summary, "--", "a"});
  EXPECT_EQ(usage.status, 1);
  EXPECT_EQ(usage.out.rfind("Usage: <distractor_scores_filename> ", 0), 0u);
}

// Asked for, the stage times go to standard error; standard output and the
// files stay as they are.
TEST_F(SmallExperiment, TimingGoesToStandardErrorOnly) {
  const RunResult plain = RunWith("6");
  const std::string results = ReadFile(results_);
  const RunResult timed =
      testutil::Run(dir_, "/usr/bin/env",
                    {"FUSE_RESULTS_TIMING=1", FUSE_RESULTS_BIN, distractors_,
                     probes_, info_, "6", results_, matches_});
  EXPECT_EQ(timed.status, 0);
  EXPECT_EQ(timed.out, plain.out);
  EXPECT_EQ(ReadFile(results_), results);
  for (const char* line :
       {"timing: probe scores ", "timing: pass set-up ", "timing: pass  ",
        "timing: pass answers ", "timing: pass cpu ", "outside the pass "}) {
    EXPECT_NE(timed.err.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(plain.err, "");
}

// Beyond the column count and beyond the 32-bit range (not wrapping to 6)
// both mean every column.
TEST_F(SmallExperiment, NumDistractorsIsCapped) {
  std::string reference = RunWith("6").out;
  reference += ReadFile(results_);
  for (const std::string arg : {"7", "4294967302", "99999999999999999999"}) {
    const RunResult run = RunWith(arg);
    EXPECT_TRUE(run.status == 0 && run.err.empty()) << run.err;
    EXPECT_EQ(run.out + ReadFile(results_), reference) << arg;
  }
}

// Comments are accepted; null names the subject "" and booleans
// "true"/"false". A file that names no probes ends the run after its
// loading line, saying what it holds instead; no result file is written.
TEST_F(SmallExperiment, ProbeInfoNamesAndAbsentIds) {
  const std::string none = "Loaded 0 probes spanning 0 classes\n";
  const std::string refusal = info_ + ": the probe info file names no probes: ";
  const std::pair<std::string, std::string> cases[] = {
      {"// 3\n{ /* names */ \"id\" : [ null, true, null ], \"x\" : 5 }", ""},
      {"{}", "no \"id\" array"},
      {"null", "no \"id\" array"},
      {"{ \"id\" : null }", "\"id\" is null"},
      {"{ \"id\" : \"a\" }", "\"id\" is a string"},
      {"{ \"id\" : 7 }", "\"id\" is a number"},
      {"{ \"id\" : false }", "\"id\" is a boolean"},
      {"{ \"id\" : [] }", "the \"id\" array is empty"}};
  for (const auto& [json, why] : cases) {
    WriteFile(info_, json);
    const RunResult run = RunWith("6");
    if (why.empty()) {
      EXPECT_EQ(run.out.rfind("Loaded 3 probes spanning 2 classes\n", 0), 0u);
      EXPECT_EQ(run.status, 0) << run.err;
    } else {
      EXPECT_EQ(run.out, none) << json;
      EXPECT_EQ(run.err, refusal + why + "\n");
      EXPECT_EQ(run.status, 1);
      EXPECT_FALSE(testutil::Exists(results_) || testutil::Exists(matches_));
    }
    std::remove(results_.c_str()), std::remove(matches_.c_str());
  }
}

// A signal while the run waits for distractor scores removes the result
// files' temporaries and ends it by that signal; the old results stay.
TEST_F(SmallExperiment, SignalsLeaveNoTemporaryBehind) {
  const std::string fifo = dir_.Path("scores.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(results_, "old");
  const std::string header = ReadFile(distractors_).substr(0, 16);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const pid_t run = fork();
    if (run == 0) {
      freopen("/dev/null", "w", stdout);
      execl(FUSE_RESULTS_BIN, FUSE_RESULTS_BIN, fifo.c_str(), probes_.c_str(),
            info_.c_str(), "6", results_.c_str(), matches_.c_str(), nullptr);
      _exit(127);
    }
    const int scores = open(fifo.c_str(), O_WRONLY);
    ASSERT_EQ(write(scores, header.data(), 16), 16);
    // Once both temporaries exist, the run is waiting for the scores.
    const auto temporaries = [&] {
      int count = 0;
      for (const auto& entry :
           std::filesystem::directory_iterator(dir_.path())) {
        count += entry.path().filename().string()[0] == '.';
      }
      return count;
    };
    for (int wait = 0; wait < 500 && temporaries() < 2; ++wait) usleep(10000);
    EXPECT_EQ(temporaries(), 2);
    kill(run, signal);
    close(scores);
    int status = 0;
    waitpid(run, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(temporaries(), 0);
    EXPECT_EQ(ReadFile(results_), "old");
  }
}

}  // namespace
