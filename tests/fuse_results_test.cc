// End-to-end tests of the fuse_results program: its standard output, exit
// status, diagnostics and result files.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "matio/mat_io.h"
#include "tests/test_util.h"

namespace {

using testutil::Exists;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::ScratchDir;
using testutil::WriteFile;

cv::Mat FloatMatrix(const std::vector<std::vector<float>>& rows) {
  cv::Mat mat(static_cast<int>(rows.size()),
              rows.empty() ? 0 : static_cast<int>(rows[0].size()), CV_32FC1);
  for (int r = 0; r < mat.rows; ++r) {
    for (int c = 0; c < mat.cols; ++c) mat.at<float>(r, c) = rows[r][c];
  }
  return mat;
}

// A three-probe experiment small enough to follow by hand: probes 0 and 2
// are subject "a", probe 1 is subject "b".
class SmallExperiment : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(info_, "{ \"id\" : [ \"a\", \"b\", \"a\" ] }\n");
    ASSERT_TRUE(MatIO::Save(probes_, FloatMatrix({{1.0f, 0.1f, 0.5f},
                                                  {0.1f, 1.0f, 0.2f},
                                                  {0.25f, 0.2f, 1.0f}})));
    ASSERT_TRUE(MatIO::Save(
        distractors_,
        FloatMatrix({{0.3f, 0.6f, 0.5f, 0.1f, 0.5f, 0.0f},
                     {0.45f, 0.2f, 0.5f, 0.9f, 0.15f, 0.05f},
                     {0.2f, 0.25f, 0.3f, 0.1f, 0.0f, 0.26f}})));
  }

  RunResult Run(const std::vector<std::string>& args) {
    return testutil::Run(dir_, FUSE_RESULTS_BIN, args);
  }
  RunResult RunWith(const std::string& num_distractors) {
    return Run({distractors_, probes_, info_, num_distractors, results_,
                matches_});
  }
  void ExpectRefusedWithoutOutput(const RunResult& run) {
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_FALSE(Exists(results_));
    EXPECT_FALSE(Exists(matches_));
  }

  ScratchDir dir_;
  const std::string info_ = dir_.Path("probe_info.json");
  const std::string probes_ = dir_.Path("probe_scores.mat");
  const std::string distractors_ = dir_.Path("distractor_scores.mat");
  const std::string results_ = dir_.Path("results.json");
  const std::string matches_ = dir_.Path("match_results.json");
};

constexpr char kLoadingLines[] =
    "Loaded 3 probes spanning 2 classes\n"
    "Loading from %s\n"
    "Probe score matrix size: 3 3\n"
    "distractor score matrix size: 3 6\n"
    "Done loading. Time to compute some stats!\n";

std::string Format(const char* format, const std::string& value) {
  std::vector<char> buffer(4096);
  std::snprintf(buffer.data(), buffer.size(), format, value.c_str());
  return buffer.data();
}

TEST_F(SmallExperiment, CompleteRunWritesExactOutputAndFiles) {
  const RunResult run = RunWith("6");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, Format(kLoadingLines, probes_) +
                         "Finding top distractors!\n"
                         "Done sorting distractor scores\n"
                         "Making gallery!\n"
                         "Done Making Gallery!\n"
                         "Allocating ranks (8)\n"
                         "Rank 1: 0.000000\n");
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
  // Probe 0: equal scores rank the higher distractor index first.
  EXPECT_NE(match_text.find("\"idx\" : [ 1, 4, 2, 0, 3 ],\n"
                            "\t\t\t\"score\" : \n\t\t\t[\n"
                            "\t\t\t\t0.6000000238418579,\n\t\t\t\t0.50,\n"
                            "\t\t\t\t0.50,\n\t\t\t\t0.3000000119209290,\n"
                            "\t\t\t\t0.1000000014901161\n\t\t\t]\n"
                            "\t\t},\n\t\t\"probes\" : \n\t\t{\n"
                            "\t\t\t\"idx\" : [ 2 ],\n"
                            "\t\t\t\"rank\" : [ 2 ]\n"),
            std::string::npos)
      << match_text;
  // Probe 1 is alone in its subject.
  EXPECT_NE(match_text.find("\"idx\" : [ 3, 2, 0, 1, 4 ],"), std::string::npos);
  EXPECT_NE(match_text.find("\"probes\" : null"), std::string::npos);
  EXPECT_NE(match_text.find("\"idx\" : [ 0 ],\n\t\t\t\"rank\" : [ 1 ]\n"),
            std::string::npos);
}

TEST_F(SmallExperiment, NumDistractorsIsCappedAndReadLikeStrtol) {
  // Leading digits count (with a warning); beyond the column count and
  // beyond the 32-bit range both mean every column.
  const std::string reference_out = RunWith("6").out;
  const std::string reference = ReadFile(results_);
  for (const std::string arg : {"7", "6abc", "4294967302", "99999999999999999999"}) {
    SCOPED_TRACE(arg);
    const RunResult run = RunWith(arg);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, reference_out);
    EXPECT_EQ(ReadFile(results_), reference);
    EXPECT_EQ(run.err.empty(), arg == "7" || arg[0] == '4' || arg[0] == '9')
        << run.err;
  }
}

TEST_F(SmallExperiment, FewerThanFiveDistractorsAreAllowed) {
  const RunResult run = RunWith("2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Allocating ranks (4)\n"), std::string::npos);
  EXPECT_NE(ReadFile(matches_).find("\"idx\" : [ 1, 0 ],"), std::string::npos);
  ASSERT_EQ(RunWith("0").status, 0);
  EXPECT_NE(ReadFile(matches_).find("\"distractors\" : null"),
            std::string::npos);
}

TEST_F(SmallExperiment, WrongArgumentCountPrintsUsage) {
  const std::string usage =
      "Usage: <distractor_scores_filename> <probe_scores_filename> "
      "<probe_info_filename> <num_distractors> <results_filename> "
      "<match_results_filename>\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {distractors_, probes_, info_, "6", results_},
           {distractors_, probes_, info_, "6", results_, matches_, "x"}}) {
    const RunResult run = Run(args);
    EXPECT_EQ(run.out, usage);
    ExpectRefusedWithoutOutput(run);
  }
}

TEST_F(SmallExperiment, UnloadableMatricesEndTheRunWithTheirMessage) {
  const std::string missing = dir_.Path("missing.mat");
  RunResult run = Run({distractors_, missing, info_, "6", results_, matches_});
  EXPECT_EQ(run.out, "Loaded 3 probes spanning 2 classes\nLoading from " +
                         missing + "\nCould not load probe scores!\n");
  ExpectRefusedWithoutOutput(run);

  run = Run({missing, probes_, info_, "6", results_, matches_});
  EXPECT_EQ(run.out, "Loaded 3 probes spanning 2 classes\nLoading from " +
                         probes_ +
                         "\nProbe score matrix size: 3 3\n"
                         "Couldn't load distractor scores!\n");
  ExpectRefusedWithoutOutput(run);

}

TEST_F(SmallExperiment, ProbeInfoProblemsEndTheRunBeforeLoading) {
  struct Case {
    std::string json;
    std::string err;
  };
  for (const Case& c : std::vector<Case>{
           // Numbers are covered by the table of bad inputs.
           {"{ \"id\" : [ \"a\", [], \"a\" ] }", "Type is not convertible to string"},
           {"{ \"id\" : [ \"a\", {}, \"a\" ] }", "Type is not convertible to string"},
           // Nesting deeper than the parser goes is invalid JSON too.
           {"{ \"id\" : " + std::string(5000, '[') + "}", "not valid JSON"}}) {
    SCOPED_TRACE(c.json);
    WriteFile(info_, c.json);
    const RunResult run = RunWith("6");
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(info_), std::string::npos) << run.err;
    ExpectRefusedWithoutOutput(run);
  }
  const std::string missing = dir_.Path("missing.json");
  const RunResult run =
      Run({distractors_, probes_, missing, "6", results_, matches_});
  EXPECT_EQ(run.out, "Could not open " + missing + "\n");
  ExpectRefusedWithoutOutput(run);
}

TEST_F(SmallExperiment, ProbeInfoElementRules) {
  // Comments are accepted; null names the subject "" and booleans
  // "true"/"false"; a missing or scalar "id" names no probes.
  WriteFile(info_,
            "// three probes\n{ /* names */ \"id\" : [ null, true, null ],"
            " \"other\" : 5 }");
  RunResult run = RunWith("6");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
            "Loaded 3 probes spanning 2 classes");
  for (const std::string json : {"{}", "null", "{ \"id\" : \"a\" }",
                                 "{ \"id\" : [] }"}) {
    WriteFile(info_, json);
    run = RunWith("6");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "Loaded 0 probes spanning 0 classes");
    EXPECT_EQ(ReadFile(matches_), "null\n");
  }
}

TEST_F(SmallExperiment, UnwritableResultFilesAreReportedWithStatusOne) {
  const std::string nowhere = dir_.Path("missing_dir/results.json");
  RunResult run =
      Run({distractors_, probes_, info_, "6", nowhere, matches_});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(nowhere), std::string::npos);
  EXPECT_NE(run.out.find("Rank 1: 0.000000\n"), std::string::npos);
  // The other file is still written, completely.
  EXPECT_EQ(ReadFile(matches_).back(), '\n');
  run = Run({distractors_, probes_, info_, "6", results_, "/dev/full"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("/dev/full"), std::string::npos);
  EXPECT_EQ(ReadFile(results_).substr(0, 3), "\n{\n");
}

}  // namespace
