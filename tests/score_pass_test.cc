// The single pass over the distractor scores must give exactly what the
// plain algorithms give: the same standard output, status and files. (That
// the answers do not depend on the threads follows from evaluation_test,
// where the pass, on threads, matches a count of every score.)
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/score_pass.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "tests/test_util.h"

namespace {

using testutil::Quote;
using testutil::ReadFile;
using testutil::ScratchDir;

using testutil::Experiment;

Experiment Generate(const ScratchDir& dir, const std::string& name,
                    const std::vector<std::string>& flags) {
  return testutil::GenerateExperiment(dir, MAKE_EXPERIMENT_BIN, name, flags);
}

// Which input fuse_results reads from a pipe.
enum class Piped { kNone, kDistractors, kProbes };

// Runs both programs on `e` and expects identical output, status and files;
// fuse_results reads the `piped` matrix from a pipe.
void ExpectSameAsSortingEverything(const ScratchDir& dir, const Experiment& e,
                                   const std::string& n,
                                   Piped piped = Piped::kNone) {
  std::string outputs[2];
  for (int i = 0; i < 2; ++i) {
    const std::string results = dir.Path("r" + std::to_string(i));
    const std::string matches = dir.Path("m" + std::to_string(i));
    std::string command = i == 0 ? Quote(FUSE_RESULTS_BIN) + " "
                                 : Quote(SORT_EVERYTHING_BIN) + " ";
    std::string distractors = Quote(e.distractors), probes = Quote(e.probes);
    if (i == 0 && piped != Piped::kNone) {
      std::string& from_pipe =
          piped == Piped::kDistractors ? distractors : probes;
      command = "cat " + from_pipe + " | " + command;
      from_pipe = "/dev/stdin";
    }
    command += distractors + " " + probes;
    for (const std::string& arg : {e.info, n, results, matches}) {
      command += " " + Quote(arg);
    }
    const testutil::RunResult run =
        testutil::Run(dir, "/bin/sh", {"-c", command});
    std::string out = run.out;
    if (i == 0 && piped == Piped::kProbes) {
      // The one line that names the probe score file.
      const std::string named = "Loading from /dev/stdin";
      const size_t at = out.find(named);
      if (at != std::string::npos) {
        out.replace(at, named.size(), "Loading from " + e.probes);
      }
    }
    outputs[i] = std::to_string(run.status) + "\n" + out + "\n" +
                 ReadFile(results) + ReadFile(matches);
  }
  EXPECT_EQ(outputs[0], outputs[1]);
}

TEST(SinglePassTest, MatchesTheFullSortsOnGeneratedExperiments) {
  ScratchDir dir;
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] =
      {// Continuous scores, mostly below the columns in use.
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
        {"64", "2"}}};
  int index = 0;
  for (const auto& [flags, ns] : cases) {
    const Experiment e = Generate(dir, "e" + std::to_string(index++), flags);
    for (const std::string& n : ns) {
      SCOPED_TRACE(testing::PrintToString(flags) + " n=" + n);
      // A pipe, read without knowing its length, gives the same, for
      // either matrix.
      ExpectSameAsSortingEverything(dir, e, n,
                                    n == ns[0]   ? Piped::kDistractors
                                    : n == ns[1] ? Piped::kProbes
                                                 : Piped::kNone);
    }
  }
}

TEST(SinglePassTest, MatchesTheFullSortsOnNonFiniteScoresAndStrides) {
  // NaN, infinities and both zeros, in the probe scores and among the
  // distractors, the genuine scores and the impostor scores.
  ScratchDir dir;
  const float specials[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 0.5f};
  std::mt19937 random(11);
  cv::Mat probes(12, 12, CV_32FC1), distractors(14, 40, CV_32FC1);
  for (cv::Mat* m : {&probes, &distractors}) {
    for (float& s : cv::Mat_<float>(*m)) {
      s = specials[random() % 6] * (random() % 2 ? 1 : 0.25f);
    }
  }
  const Experiment e{dir.Path("d.mat"), dir.Path("p.mat"), dir.Path("i.json")};
  testutil::WriteFile(e.info, R"({ "id" : [ "a", "b", "a", "c", "a", "b",
                                            "d", "c", "a", "e", "b", "a" ] })");
  ASSERT_TRUE(MatIO::Save(e.probes, probes));
  ASSERT_TRUE(MatIO::Save(e.distractors, distractors));
  for (const std::string n : {"40", "6", "3"}) {
    SCOPED_TRACE(n);
    ExpectSameAsSortingEverything(dir, e, n);
  }
  // A stored stride wider than a row: the single pass skips the tail.
  ASSERT_TRUE(MatIO::Save(e.distractors, distractors.colRange(0, 30)));
  ExpectSameAsSortingEverything(dir, e, "25", Piped::kDistractors);
}

TEST(SinglePassTest, FailsWithTheFirstMissingBytesOfAFileCutWhileOpen) {
  // The pieces of a regular file are read by the threads that scan them,
  // several at once and in any order; the pass still fails with the
  // error of the first bytes missing, as reading in order would.
  ScratchDir dir;
  const std::string path = dir.Path("d.mat");
  cv::Mat scores(60, 300, CV_32FC1);
  for (int32_t r = 0; r < scores.rows; ++r) {
    for (int32_t c = 0; c < scores.cols; ++c) {
      scores.at<float>(r, c) = static_cast<float>((r * 7 + c) % 10) / 10.0f;
    }
  }
  PassPlan plan;
  plan.num_distractors = scores.cols;
  plan.probe_rows = scores.rows;
  plan.top_count = 5;
  plan.probe_thresholds.assign(scores.rows, {0.25f, 0.55f});
  for (const int64_t piece_floats : {64, 300, 1000}) {
    SCOPED_TRACE(piece_floats);
    ASSERT_TRUE(MatIO::Save(path, scores));
    MatRowStream stream;
    bool opened = false;
    std::string error;
    ASSERT_TRUE(stream.Open(path, &opened, &error)) << error;
    ASSERT_TRUE(stream.CanDeferReads());
    ASSERT_EQ(truncate(path.c_str(), 16 + 4000), 0);
    PassAnswers answers;
    EXPECT_FALSE(RunScorePass(plan, &stream, piece_floats, 4, nullptr, &answers,
                              &error));
    EXPECT_EQ(error,
              "stream ends after 4000 of 72000 data bytes (end of file)");
  }
}

// Each list of thresholds holds every score asked, once, ascending, and
// no NaN, whatever order the scores came in: ascending, ascending after a
// few others, descending, or none; with ties and signed zeros. Asked all
// at once, in the same orders, the answers walk those lists as one search
// per score would: ascending runs, steps down, long jumps.
TEST(PlanScorePassTest, ListsScoresOnceAscendingAndAnswersThemInAnyOrder) {
  std::mt19937 random(11);
  ScoreQuestions questions;
  std::vector<std::vector<float>> asked(40);
  for (size_t p = 0; p < asked.size(); ++p) {
    const int levels = 1 + static_cast<int>(random() % 400);
    const size_t count = random() % 300;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t pick = random() % 40;
      asked[p].push_back(pick == 0   ? NAN
                         : pick == 1 ? -0.0f
                         : pick == 2 ? 0.0f
                                     : static_cast<float>(random() % levels));
    }
    const size_t prefix = random() % (count + 1);
    switch (p % 4) {
      case 0:  // Ascending after `prefix` scores in any order.
        std::sort(asked[p].begin() + prefix, asked[p].end());
        break;
      case 1:
        std::sort(asked[p].rbegin(), asked[p].rend());
        break;
      case 2:
        std::sort(asked[p].begin(), asked[p].end());
        break;
    }
    for (const float score : asked[p]) {
      questions.probe_scores.emplace_back(static_cast<int32_t>(p), score);
    }
  }
  questions.impostor_scores = asked[3];
  const PassPlan plan = PlanScorePass(questions, 10, 1);
  const auto expected = [](std::vector<float> scores) {
    scores.erase(std::remove_if(scores.begin(), scores.end(),
                                [](float x) { return std::isnan(x); }),
                 scores.end());
    std::sort(scores.begin(), scores.end());
    scores.erase(std::unique(scores.begin(), scores.end()), scores.end());
    return scores;  // -0 and +0 compare equal below, as they are one.
  };
  ASSERT_EQ(plan.probe_thresholds.size(), asked.size());
  PassAnswers answers;
  for (size_t p = 0; p < asked.size(); ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(plan.probe_thresholds[p], expected(asked[p]));
    answers.probe_counts.emplace_back();
    for (size_t t = 0; t < plan.probe_thresholds[p].size(); ++t) {
      answers.probe_counts[p].push_back(static_cast<int64_t>(random()));
    }
  }
  EXPECT_EQ(plan.impostor_thresholds, expected(asked[3]));
  for (size_t t = 0; t < plan.impostor_thresholds.size(); ++t) {
    answers.impostor_counts.push_back(static_cast<int64_t>(random()));
  }
  const PassCounts counts(plan, answers);
  for (size_t p = 0; p < asked.size(); ++p) {
    SCOPED_TRACE(p);
    std::vector<int64_t> each, all(asked[p].size(), 7);
    for (const float score : asked[p]) {
      each.push_back(counts.DistractorsBeating(static_cast<int32_t>(p), score));
    }
    counts.DistractorsBeatingEach(static_cast<int32_t>(p), asked[p].data(),
                                  asked[p].size(), all.data());
    EXPECT_EQ(all, each);
  }
  std::vector<int64_t> each, all = {7};
  for (const float score : asked[3]) {
    each.push_back(counts.ImpostorsBeating(score));
  }
  counts.ImpostorsBeatingEach(asked[3], &all);
  EXPECT_EQ(all, each);
}

}  // namespace
