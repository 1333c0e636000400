// The evaluation asks its questions about the distractor scores through
// ScoreCounts only, and the same questions whatever the answers; so the
// plan recorded from it holds exactly the questions the real evaluation
// asks, and the pass's answers to that plan give the evaluation that
// counting score by score gives.
#include "metrics/evaluation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/score_pass.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "metrics/roc.h"
#include "results/summary_text.h"
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
    for (int32_t k = 0; k < n_; ++k)
      best->emplace_back(k, rows_.at<float>(probe, k));
    std::sort(best->begin(), best->end(), [](auto a, auto b) {
      return RanksBefore(a.second, a.first, b.second, b.first);
    });
    best->resize(std::min(n_, kTopDistractorCount));
  }

 private:
  int64_t Beating(int32_t row, float score) const {
    const float* scores = rows_.ptr<float>(row);
    return std::count_if(scores, scores + n_,
                         [&](float s) { return s > score; });
  }

  const cv::Mat& rows_;
  int32_t n_;
  QuestionRecorder recorder_;
};

// The same scores bit for bit (any NaN matches any NaN).
bool SameScores(const std::vector<float>& a, const std::vector<float>& b) {
  return std::equal(
      a.begin(), a.end(), b.begin(), b.end(), [](float x, float y) {
        return std::isnan(x) ? std::isnan(y) : std::memcmp(&x, &y, 4) == 0;
      });
}

// The scores asked about probe `p`, in the order asked.
std::vector<float> ScoresOf(const ScoreQuestions& questions, int32_t p) {
  std::vector<float> scores;
  for (const auto& [probe, score] : questions.probe_scores) {
    if (probe == p) scores.push_back(score);
  }
  return scores;
}

// The distinct numbers among `scores`, ascending (-0 and +0 as one).
std::vector<float> Distinct(std::vector<float> scores) {
  scores.erase(std::remove_if(scores.begin(), scores.end(),
                              [](float s) { return std::isnan(s); }),
               scores.end());
  std::sort(scores.begin(), scores.end());
  scores.erase(std::unique(scores.begin(), scores.end()), scores.end());
  return scores;
}

// Every number of `pairs`, floats in hexadecimal: equal texts, equal bits.
template <typename Pairs>
std::string PairsText(const Pairs& pairs) {
  std::ostringstream out;
  out << std::hexfloat;
  for (const auto& [a, b] : pairs) out << ' ' << a << ',' << b;
  return out.str() + ";";
}

// Every number of `e`, as PairsText writes them.
std::string Text(const Evaluation& e) {
  std::ostringstream out;
  out << std::hexfloat << e.rank1 << ' ' << e.traditional_slots;
  out << PairsText(e.cmc) << PairsText(e.traditional_cmc) << PairsText(e.roc);
  for (const auto& list : e.matches.top_distractors) out << PairsText(list);
  for (const auto& list : e.matches.mate_ranks) out << PairsText(list);
  return out.str();
}

// The evaluation from work prepared once asks what the evaluation without
// it asks, in the same order, and gives the same evaluation; and its match
// report and ROC are those of asking about one pair at a time, in map
// order (`expected` came from `in` and the counts of `distractors`).
void ExpectPreparedWorkChangesNothing(const EvaluationInputs& in,
                                      const cv::Mat& distractors,
                                      const ScoreQuestions& recorded,
                                      const Evaluation& expected) {
  PreparedEvaluation prepared;
  PrepareEvaluation(in, &prepared);
  const ScoreQuestions again = RecordQuestions(in, prepared);
  EXPECT_EQ(again.probe_scores.size(), recorded.probe_scores.size());
  for (int32_t p = 0; p < in.probe_count; ++p) {
    EXPECT_TRUE(SameScores(ScoresOf(recorded, p), ScoresOf(again, p)));
  }
  EXPECT_TRUE(SameScores(recorded.impostor_scores, again.impostor_scores));
  EXPECT_EQ(recorded.top_distractors, again.top_distractors);
  ScoreQuestions log;
  const BruteForceCounts counts(distractors, in.num_distractors, &log);
  Evaluation from_prepared;
  Evaluate(in, prepared, counts, &from_prepared);
  EXPECT_EQ(Text(expected), Text(from_prepared));

  MateRankLists mates(in.probe_count);
  std::vector<int64_t> beaten_by;
  for (const auto& [name, q] : in.subject_map) {
    for (size_t a = 0; a < q.size(); ++a) {
      for (size_t b = 0; b < q.size(); ++b) {
        const float score = in.probe_scores.at<float>(q[a], q[b]);
        if (b != a) {
          mates[q[b]].emplace_back(counts.DistractorsBeating(q[a], score),
                                   q[a]);
        }
        if (b > a) beaten_by.push_back(counts.ImpostorsBeating(score));
      }
    }
  }
  EXPECT_EQ(mates, expected.matches.mate_ranks);
  ROCCurve roc;
  AppendROCCurveFromCounts(
      beaten_by, int64_t{ImpostorRows(distractors.rows)} * in.num_distractors,
      &roc);
  EXPECT_EQ(PairsText(roc), PairsText(expected.roc));
}

TEST(EvaluationTest, ThePlanIsWhatTheEvaluationAsksAndThePassAnswersIt) {
  std::mt19937 random(17);
  // Few levels, so that scores tie within and across rows and matrices.
  auto draw = [&] { return random() % 25 ? (random() % 9) / 8.0f : NAN; };
  testutil::ScratchDir dir;
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    const int32_t probes = static_cast<int32_t>(random() % 40);
    const int32_t rows = probes + static_cast<int32_t>(random() % 120);
    const int32_t cols = static_cast<int32_t>(random() % 50);
    const int32_t n = cols - static_cast<int32_t>(random() % (cols + 1)) / 2;
    std::vector<std::string> names;
    SubjectMap map;
    for (int32_t p = 0; p < probes; ++p) {
      names.push_back(std::to_string(random() % (1 + probes / 3)));
      map[names[p]].push_back(p);
    }
    cv::Mat probe_scores(probes, probes, CV_32FC1);
    cv::Mat distractors(rows, cols, CV_32FC1);
    for (float& s : cv::Mat_<float>(probe_scores)) s = draw();
    for (float& s : cv::Mat_<float>(distractors)) s = draw();
    const EvaluationInputs in{map,  names, probe_scores,  probes,
                              rows, n,     trial % 2 == 0};

    const ScoreQuestions recorded = RecordQuestions(in);
    ScoreQuestions asked;
    asked.top_distractors.resize(probes);
    Evaluation expected;
    Evaluate(in, BruteForceCounts(distractors, n, &asked), &expected);
    ExpectPreparedWorkChangesNothing(in, distractors, recorded, expected);
    // The real answers change no question, and the plan holds those
    // questions and nothing else.
    const PassPlan plan = PlanScorePass(recorded, n, ImpostorRows(rows));
    ASSERT_EQ(plan.probe_thresholds.size(), static_cast<size_t>(probes));
    for (int32_t p = 0; p < probes; ++p) {
      EXPECT_TRUE(SameScores(ScoresOf(recorded, p), ScoresOf(asked, p)));
      EXPECT_EQ(plan.probe_thresholds[p], Distinct(ScoresOf(asked, p)));
    }
    EXPECT_EQ(recorded.probe_scores.size(), asked.probe_scores.size());
    EXPECT_TRUE(SameScores(recorded.impostor_scores, asked.impostor_scores));
    EXPECT_EQ(plan.impostor_thresholds, Distinct(asked.impostor_scores));
    EXPECT_EQ(recorded.top_distractors, asked.top_distractors);

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
    OperatingPoints points, points_from_pass;
    ComputeOperatingPoints(expected.facts, {}, &points);
    ComputeOperatingPoints(from_pass.facts, {}, &points_from_pass);
    EXPECT_EQ(SummaryText(points), SummaryText(points_from_pass));
    // The facts are kept only when asked for.
    EXPECT_EQ(points.counts.probes, trial % 2 == 0 ? probes : 0);
  }
}

// Preparing from rows read a few at a time gives the prepared evaluation
// of the whole matrix, bit for bit, whatever the shape of the map; and a
// reading that fails reports the first rows, in row order, that failed.
TEST(EvaluationTest, PreparingFromRowsIsPreparingFromTheMatrix) {
  std::mt19937 random(23);
  auto draw = [&] { return random() % 40 ? (random() % 17) / 16.0f : NAN; };
  // (probes, subjects): several blocks of rows, singletons, one subject,
  // nothing.
  const std::pair<int32_t, int32_t> shapes[] = {
      {900, 60}, {300, 300}, {1200, 1}, {0, 1}};
  for (const auto& shape : shapes) {
    const int32_t probes = shape.first, subjects = shape.second;
    SCOPED_TRACE(probes);
    std::vector<std::string> names;
    SubjectMap map;
    for (int32_t p = 0; p < probes; ++p) {
      names.push_back(std::to_string(random() % subjects));
      map[names[p]].push_back(p);
    }
    // Wider than the probes on both sides: only the used part is read.
    cv::Mat scores(probes + 3, probes + 5, CV_32FC1);
    for (float& s : cv::Mat_<float>(scores)) s = draw();
    const EvaluationInputs in{map, names, scores, probes, probes + 7, 20, true};
    std::atomic<int32_t> widest{0};
    const ProbeRowReader read = [&](int32_t first, int32_t rows, int32_t cols,
                                    float* out, std::string*) {
      for (int32_t r = 0; r < rows; ++r) {
        std::memcpy(out + int64_t{r} * cols, scores.ptr<float>(first + r),
                    sizeof(float) * cols);
      }
      int32_t seen = widest.load();
      while (seen < cols && !widest.compare_exchange_weak(seen, cols)) {
      }
      return true;
    };
    PreparedEvaluation whole, from_rows;
    PrepareEvaluation(in, &whole);
    std::string error;
    ASSERT_TRUE(PrepareEvaluationFromRows(in, scores.rows, scores.cols, read,
                                          &from_rows, &error))
        << error;
    EXPECT_LE(widest.load(), probes);
    const TraditionalRanking& a = whole.traditional;
    const TraditionalRanking& b = from_rows.traditional;
    EXPECT_EQ(a.slot_count, b.slot_count);
    EXPECT_EQ(a.probes, b.probes);
    EXPECT_EQ(a.gallery_ranks, b.gallery_ranks);
    EXPECT_TRUE(SameScores(a.true_match_scores, b.true_match_scores));
    EXPECT_EQ(a.stopped, b.stopped);
    EXPECT_TRUE(
        SameScores(whole.mate_pairs.scores, from_rows.mate_pairs.scores));
    EXPECT_EQ(whole.mate_pairs.mates, from_rows.mate_pairs.mates);
    EXPECT_TRUE(SameScores(whole.genuine_scores, from_rows.genuine_scores));

    if (probes < 300) continue;
    std::atomic<int32_t> first_failed{INT32_MAX};
    const ProbeRowReader failing = [&](int32_t first, int32_t rows,
                                       int32_t cols, float* out,
                                       std::string* why) {
      if (first + rows <= probes / 2) return read(first, rows, cols, out, why);
      *why = "rows from " + std::to_string(first);
      int32_t seen = first_failed.load();
      while (first < seen && !first_failed.compare_exchange_weak(seen, first)) {
      }
      return false;
    };
    EXPECT_FALSE(PrepareEvaluationFromRows(in, scores.rows, scores.cols,
                                           failing, &from_rows, &error));
    EXPECT_EQ(error, "rows from " + std::to_string(first_failed.load()));
  }
  // A matrix that does not cover the probes is refused before any read.
  std::vector<std::string> names = {"a", "a", "b"};
  SubjectMap map = {{"a", {0, 1}}, {"b", {2}}};
  cv::Mat scores(3, 2, CV_32FC1, cv::Scalar(0));
  const EvaluationInputs in{map, names, scores, 3, 3, 1, false};
  PreparedEvaluation prepared;
  std::string error;
  EXPECT_FALSE(PrepareEvaluationFromRows(
      in, 3, 2,
      [](int32_t, int32_t, int32_t, float*, std::string*) { return false; },
      &prepared, &error));
  EXPECT_EQ(error, "the probe score matrix does not cover every probe");
}

}  // namespace
