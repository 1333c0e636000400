// The shares of an MPI run must add up to the whole: every split of the
// columns, scanned share by share and combined through the wire formats
// (counts summed, best-distractor records merged in any grouping), gives
// exactly the answers of one pass over the whole matrix, from every kind
// of score file the ranks read.
#include "mpi/share_exchange.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "driver/feature_pass.h"
#include "matio/mat_io.h"
#include "tests/mpi/save_npy.h"
#include "tests/test_util.h"

namespace {

using testutil::SaveNpy;

// A plan with thresholds drawn from the scores' own levels, so that many
// scores equal a threshold, and impostor rows past the probe rows.
PassPlan MakePlan(const cv::Mat& scores, int32_t num_distractors,
                  std::mt19937* random) {
  PassPlan plan;
  plan.num_distractors = num_distractors;
  plan.probe_rows = scores.rows - 2;
  plan.impostor_rows = scores.rows;
  plan.top_count = kTopDistractorCount;
  std::uniform_int_distribution<int> level(-4, 4);
  plan.probe_thresholds.resize(plan.probe_rows);
  for (std::vector<float>& thresholds : plan.probe_thresholds) {
    for (int k = -4; k <= 4; k += 1 + (*random)() % 3) {
      thresholds.push_back(k / 4.0f);
    }
  }
  for (int k = -8; k <= 8; ++k) plan.impostor_thresholds.push_back(k / 8.0f);
  return plan;
}

// ShareSum combines the answers of shares through the wire formats, as
// rank 0 receives them: counts summed, records merged.
class ShareSum {
 public:
  explicit ShareSum(const PassPlan& plan) : plan_(plan) {}

  void Add(const PassAnswers& share, int64_t changed_values) {
    const std::vector<int64_t> flat = FlattenCounts(share, changed_values);
    if (counts_.empty()) counts_.assign(flat.size(), 0);
    for (size_t i = 0; i < flat.size(); ++i) counts_[i] += flat[i];
    std::vector<int32_t> mine = PackTopRecords(plan_, share);
    if (!records_.empty()) {
      MergeTopRecords(records_.data(), mine.data(),
                      static_cast<int64_t>(share.top_distractors.size()));
    }
    records_ = std::move(mine);
  }

  PassAnswers Whole(int64_t* changed_values) const {
    PassAnswers whole;
    UnflattenCounts(plan_, counts_, &whole, changed_values);
    UnpackTopRecords(records_, &whole);
    return whole;
  }

 private:
  const PassPlan& plan_;
  std::vector<int64_t> counts_;
  std::vector<int32_t> records_;
};

// Answers of one pass over `path`, whole (ranks 0) or split into `ranks`
// shares combined through the wire formats, the ranks taken from the last
// to the first to show that the order does not matter.
PassAnswers Answer(const std::string& path, const PassPlan& plan, int ranks,
                   int64_t* changed_values) {
  ShareSum sum(plan);
  for (int rank = std::max(ranks, 1) - 1; rank >= 0; --rank) {
    MatRowStream stream;
    bool opened = false;
    std::string error;
    EXPECT_TRUE(stream.Open(path, &opened, &error)) << error;
    PassAnswers share;
    if (ranks == 0) {
      EXPECT_TRUE(RunScorePass(plan, &stream, 7, 2, nullptr, &share, &error));
      *changed_values = stream.changed_values();
      return share;
    }
    int32_t first = 0, end = 0;
    ColumnShare(plan.num_distractors, ranks, rank, &first, &end);
    EXPECT_TRUE(RunScorePassOnShare(plan, first, end, &stream, 7, 2, nullptr,
                                    &share, &error))
        << error;
    sum.Add(share, stream.changed_values());
  }
  return sum.Whole(changed_values);
}

TEST(ShareExchangeTest, SharesCombineIntoTheWholeFromEveryFileKind) {
  testutil::ScratchDir dir;
  std::mt19937 random(7);
  // Scores on a grid of 1/4 with NaN and infinities: equal scores fall in
  // different shares, and the best distractors must still come out in the
  // one order.
  cv::Mat scores(9, 23, CV_32F);
  std::uniform_int_distribution<int> grid(-4, 4);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 0.1f};
  for (int r = 0; r < scores.rows; ++r) {
    for (int c = 0; c < scores.cols; ++c) {
      scores.at<float>(r, c) =
          random() % 11 == 0 ? specials[random() % 4] : grid(random) / 4.0f;
    }
  }
  const std::string paths[] = {dir.Path("m.mat"), dir.Path("c4.npy"),
                               dir.Path("c8.npy"), dir.Path("f4.npy"),
                               dir.Path("f8.npy")};
  ASSERT_TRUE(MatIO::Save(paths[0], scores));
  SaveNpy(paths[1], scores, false, false);
  SaveNpy(paths[2], scores, true, false);
  SaveNpy(paths[3], scores, false, true);
  SaveNpy(paths[4], scores, true, true);
  for (const int32_t num_distractors : {23, 17, 3}) {
    const PassPlan plan = MakePlan(scores, num_distractors, &random);
    for (const std::string& path : paths) {
      int64_t changed = 0;
      const PassAnswers whole = Answer(path, plan, 0, &changed);
      for (const int ranks : {1, 2, 3, 5, 30}) {
        SCOPED_TRACE(testing::Message()
                     << path << " columns " << num_distractors << " ranks "
                     << ranks);
        int64_t combined_changed = -1;
        const PassAnswers combined =
            Answer(path, plan, ranks, &combined_changed);
        EXPECT_EQ(combined.probe_counts, whole.probe_counts);
        EXPECT_EQ(combined.impostor_counts, whole.impostor_counts);
        EXPECT_EQ(combined_changed, changed);
        ASSERT_EQ(combined.top_distractors.size(),
                  whole.top_distractors.size());
        for (size_t p = 0; p < whole.top_distractors.size(); ++p) {
          const TopDistractorList& a = combined.top_distractors[p];
          const TopDistractorList& b = whole.top_distractors[p];
          ASSERT_EQ(a.size(), b.size()) << "probe " << p;
          for (size_t k = 0; k < a.size(); ++k) {
            EXPECT_EQ(a[k].first, b[k].first) << "probe " << p;
            EXPECT_EQ(std::memcmp(&a[k].second, &b[k].second, 4), 0)
                << "probe " << p;
          }
        }
      }
    }
  }
}

// The answers of a pass over the scores computed from features, from the
// feature file at `path`: whole (ranks 0), or split into `ranks` shares of
// whole tiles of rows read with positioned reads and combined.
PassAnswers AnswerFromFeatures(const std::string& path,
                               const FeatureScorer& scorer,
                               const PassPlan& plan, int ranks) {
  ShareSum sum(plan);
  for (int rank = 0; rank < std::max(ranks, 1); ++rank) {
    MatRowStream stream;
    bool opened = false;
    std::string error;
    EXPECT_TRUE(stream.Open(path, &opened, &error)) << error;
    int32_t first = 0, end = plan.num_distractors;
    if (ranks == 0) {
      stream.Select(end, scorer.dim());
    } else {
      TileShare(plan.num_distractors, scorer.tile_rows(), ranks, rank, &first,
                &end);
      stream.SelectRows(first, end, scorer.dim());
    }
    FeatureSource source(scorer, &stream, plan.probe_rows, first, end);
    PassAnswers share;
    EXPECT_TRUE(RunScorePassFrom(plan, &source, 3, nullptr, &share, &error))
        << error;
    if (ranks == 0) return share;
    sum.Add(share, 0);
  }
  int64_t changed = 0;
  return sum.Whole(&changed);
}

TEST(ShareExchangeTest, TileSharesOfFeaturesCombineIntoTheWhole) {
  testutil::ScratchDir dir;
  std::mt19937 random(3);
  std::normal_distribution<float> normal;
  const int32_t distractors = 2 * FeatureScorer::TileRows(9) + 300;
  cv::Mat probes(7, 9, CV_32F), others(distractors, 9, CV_32F);
  for (cv::Mat* m : {&probes, &others}) {
    for (int r = 0; r < m->rows; ++r) {
      for (int c = 0; c < m->cols; ++c) m->at<float>(r, c) = normal(random);
    }
  }
  others.row(5).copyTo(others.row(2000));  // Equal scores in two shares.
  const std::string path = dir.Path("features.npy");
  SaveNpy(path, others, false, false);
  const FeatureScorer scorer(probes, Metric::kCosine);
  const cv::Mat scores = scorer.ScoreMatrix(others);
  for (const int32_t n : {distractors, FeatureScorer::TileRows(9) + 1, 3}) {
    PassPlan plan = MakePlan(scores, n, &random);
    plan.probe_rows = scores.rows;
    plan.probe_thresholds.resize(scores.rows, {0.0f, 0.1f});
    const PassAnswers whole = AnswerFromFeatures(path, scorer, plan, 0);
    for (const int ranks : {1, 2, 3, 7}) {
      SCOPED_TRACE(testing::Message()
                   << n << " distractors, " << ranks << " ranks");
      const PassAnswers combined =
          AnswerFromFeatures(path, scorer, plan, ranks);
      EXPECT_EQ(combined.probe_counts, whole.probe_counts);
      EXPECT_EQ(combined.impostor_counts, whole.impostor_counts);
      EXPECT_EQ(combined.top_distractors, whole.top_distractors);
    }
  }
}

TEST(ShareExchangeTest, SharesCoverTheColumnsOnceAndOrdersRoundTrip) {
  for (const int32_t columns : {0, 1, 4, 1000003}) {
    for (const int ranks : {1, 2, 3, 7}) {
      int32_t next = 0, widest = 0, narrowest = columns;
      for (int rank = 0; rank < ranks; ++rank) {
        int32_t first = 0, end = 0;
        ColumnShare(columns, ranks, rank, &first, &end);
        EXPECT_EQ(first, next);
        widest = std::max(widest, end - first);
        narrowest = std::min(narrowest, end - first);
        next = end;
      }
      EXPECT_EQ(next, columns);
      EXPECT_LE(widest - narrowest, 1);
    }
  }
  PassOrder order;
  order.path = "/data/scores \xE2\x9C\x93.npy";
  order.header = {3500, 1000000, 4000000, 5};
  order.plan.num_distractors = 999;
  order.plan.probe_rows = 2;
  order.plan.impostor_rows = 100;
  order.plan.top_count = 5;
  order.plan.probe_thresholds = {{-1.5f, 0.25f}, {}};
  order.plan.impostor_thresholds = {-std::numeric_limits<float>::infinity(),
                                    0.5f};
  order.features = true;
  order.metric = Metric::kL2;
  const float features[] = {1, 2, 3, 4, 5, std::nanf("")};
  order.probe_features = cv::Mat(2, 3, CV_32F, const_cast<float*>(features));
  const std::vector<char> bytes = PackPassOrder(order);
  PassOrder back;
  ASSERT_TRUE(UnpackPassOrder(bytes, &back));
  EXPECT_TRUE(back.features);
  EXPECT_EQ(back.metric, Metric::kL2);
  ASSERT_EQ(back.probe_features.size(), cv::Size(3, 2));
  EXPECT_EQ(std::memcmp(back.probe_features.data, features, sizeof features),
            0);
  EXPECT_EQ(back.path, order.path);
  EXPECT_EQ(back.header.cols, 1000000);
  EXPECT_EQ(back.header.step, 4000000);
  EXPECT_EQ(back.plan.impostor_rows, 100);
  EXPECT_EQ(back.plan.probe_thresholds, order.plan.probe_thresholds);
  EXPECT_EQ(back.plan.impostor_thresholds, order.plan.impostor_thresholds);
  // Every cut of the bytes, and one byte too many, is refused.
  for (size_t keep = 0; keep < bytes.size(); ++keep) {
    EXPECT_FALSE(UnpackPassOrder(
        std::vector<char>(bytes.begin(), bytes.begin() + keep), &back));
  }
  std::vector<char> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(UnpackPassOrder(longer, &back));
}

}  // namespace
