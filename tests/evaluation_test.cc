// The evaluation asks its questions about the distractor scores through
// ScoreCounts only, and the same questions whatever the answers; so the
// plan recorded from it holds exactly the questions the real evaluation
// asks, and the pass's answers to that plan give the evaluation that
// counting score by score gives.
#include "metrics/evaluation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "driver/score_pass.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "metrics/roc.h"
#include "tests/test_util.h"

namespace {

// Answers by looking at every score, and logs every question.
class BruteForceCounts : public ScoreCounts {
 public:
  BruteForceCounts(const cv::Mat& rows, int32_t num_distractors,
                   ScoreQuestions* log)
      : rows_(rows), n_(num_distractors), recorder_(log) {}

  int64_t DistractorsBeating(int32_t probe, float score) const override {
    recorder_.DistractorsBeating(probe, score);
    return Beating(probe, score);
  }
  int64_t ImpostorsBeating(float score) const override {
    recorder_.ImpostorsBeating(score);
    int64_t beating = 0;
    for (int32_t r = 0; r < ImpostorRows(rows_.rows); ++r) {
      beating += Beating(r, score);
    }
    return beating;
  }
  void TopDistractors(int32_t probe, TopDistractorList* best) const override {
    recorder_.TopDistractors(probe, best);
    std::vector<int32_t> order(n_);
    for (int32_t k = 0; k < n_; ++k) order[k] = k;
    const float* row = rows_.ptr<float>(probe);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      return RanksBefore(row[a], a, row[b], b);
    });
    for (int32_t k = 0; k < std::min(n_, kTopDistractorCount); ++k) {
      best->emplace_back(order[k], row[order[k]]);
    }
  }

 private:
  int64_t Beating(int32_t row, float score) const {
    int64_t beating = 0;
    for (int32_t k = 0; k < n_; ++k) beating += rows_.at<float>(row, k) > score;
    return beating;
  }

  const cv::Mat& rows_;
  int32_t n_;
  QuestionRecorder recorder_;
};

// The same scores bit for bit (any NaN matches any NaN).
bool SameScores(const std::vector<float>& a, const std::vector<float>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](float x, float y) {
                      return (std::isnan(x) && std::isnan(y)) ||
                             std::memcmp(&x, &y, sizeof x) == 0;
                    });
}

// The distinct numbers among `scores`, ascending (-0 and +0 as one).
std::vector<float> Distinct(const std::vector<float>& scores) {
  std::vector<float> numbers;
  for (const float s : scores) {
    if (!std::isnan(s)) numbers.push_back(s);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<float> distinct;
  for (const float s : numbers) {
    if (distinct.empty() || distinct.back() != s) distinct.push_back(s);
  }
  return distinct;
}

std::string Text(const Evaluation& e) {
  return testing::PrintToString(e.matches.top_distractors) +
         testing::PrintToString(e.matches.mate_ranks) +
         testing::PrintToString(e.cmc) + testing::PrintToString(e.rank1) +
         testing::PrintToString(e.traditional_cmc) +
         testing::PrintToString(e.traditional_slots) +
         testing::PrintToString(e.roc);
}

TEST(EvaluationTest, ThePlanIsWhatTheEvaluationAsksAndThePassAnswersIt) {
  std::mt19937 random(17);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Few levels, so that scores tie within and across rows and matrices.
  auto draw = [&] {
    return random() % 25 == 0 ? nan : static_cast<float>(random() % 9) / 8;
  };
  testutil::ScratchDir dir;
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    const int32_t probes = static_cast<int32_t>(random() % 40);
    const int32_t rows = probes + static_cast<int32_t>(random() % 120);
    const int32_t cols = static_cast<int32_t>(random() % 50);
    const int32_t n = cols - static_cast<int32_t>(random() % (cols + 1)) / 2;
    std::vector<std::string> names;
    for (int32_t p = 0; p < probes; ++p) {
      names.push_back(std::to_string(random() % (1 + probes / 3)));
    }
    SubjectMap map;
    for (int32_t p = 0; p < probes; ++p) map[names[p]].push_back(p);
    cv::Mat probe_scores(probes, probes, CV_32FC1);
    cv::Mat distractors(rows, cols, CV_32FC1);
    for (float& s : cv::Mat_<float>(probe_scores)) s = draw();
    for (float& s : cv::Mat_<float>(distractors)) s = draw();
    const EvaluationInputs in{map, names, probe_scores, probes, rows, n};

    const ScoreQuestions recorded = RecordQuestions(in);
    ScoreQuestions asked;
    asked.probe_scores.resize(probes);
    asked.top_distractors.resize(probes);
    Evaluation expected;
    Evaluate(in, BruteForceCounts(distractors, n, &asked), &expected);
    // The real answers change no question.
    ASSERT_EQ(recorded.probe_scores.size(), asked.probe_scores.size());
    for (int32_t p = 0; p < probes; ++p) {
      EXPECT_TRUE(SameScores(recorded.probe_scores[p], asked.probe_scores[p]));
    }
    EXPECT_TRUE(SameScores(recorded.impostor_scores, asked.impostor_scores));
    EXPECT_EQ(recorded.top_distractors, asked.top_distractors);

    // The plan holds those questions, and nothing else.
    const PassPlan plan = PlanScorePass(recorded, n, ImpostorRows(rows));
    ASSERT_EQ(plan.probe_thresholds.size(), static_cast<size_t>(probes));
    for (int32_t p = 0; p < probes; ++p) {
      EXPECT_EQ(plan.probe_thresholds[p], Distinct(asked.probe_scores[p]));
    }
    EXPECT_EQ(plan.impostor_thresholds, Distinct(asked.impostor_scores));

    // The pass over the matrix file answers them as counting one by one.
    const std::string path = dir.Path("d" + std::to_string(trial) + ".mat");
    ASSERT_TRUE(MatIO::Save(path, distractors));
    MatRowStream stream;
    bool opened = false;
    std::string error;
    ASSERT_TRUE(stream.Open(path, &opened, &error)) << error;
    PassAnswers answers;
    ASSERT_TRUE(RunScorePass(plan, &stream, 1 + random() % 64, 3, nullptr,
                             &answers, &error))
        << error;
    Evaluation from_pass;
    Evaluate(in, PassCounts(plan, answers), &from_pass);
    EXPECT_EQ(Text(expected), Text(from_pass));
  }
}

}  // namespace
