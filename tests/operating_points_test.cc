// The exact operating points: decimal false accept rates taken exactly,
// the equal error rate compared in integers, the traditional rates as the
// curve computes them, and the command line that asks for them.
#include "metrics/operating_points.h"

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/options.h"
#include "metrics/traditional_cmc.h"

namespace {

Decimal D(const std::string& text) {
  Decimal value;
  EXPECT_TRUE(ParseDecimal(text, &value)) << text;
  return value;
}

TEST(OperatingPointsTest, DecimalsAreExact) {
  // floor(f x I) where a double product lands on the wrong side: 0.29 x
  // 100 is 28.999999999999996 in doubles.
  EXPECT_EQ(FloorTimes(D("0.29"), 100), 29);
  EXPECT_EQ(FloorTimes(D("1e-3"), 999), 0);
  EXPECT_EQ(FloorTimes(D("1E-3"), 1000), 1);
  EXPECT_EQ(FloorTimes(D("3e-4"), 123456789), 37037);
  EXPECT_EQ(FloorTimes(D("1"), 5), 5);
  EXPECT_EQ(FloorTimes(D("0.000"), 5), 0);
  EXPECT_EQ(FloorTimes(D("1.0000000000000000000001"), 5), -1);
  EXPECT_EQ(FloorTimes(D("0.99999999999999999999"), int64_t{1} << 62),
            (int64_t{1} << 62) - 1);
  // One number, one Decimal, whatever the text.
  EXPECT_EQ(D("0.0010"), D("1e-3"));
  EXPECT_EQ(D("00100e-5"), D("1e-3"));
  EXPECT_TRUE(DecimalLess(D("0.00099"), D("1e-3")));
  EXPECT_TRUE(DecimalLess(D("0"), D("1e-300")));
  EXPECT_FALSE(DecimalLess(D("0.2"), D("0.123")));
  EXPECT_EQ(DecimalToDouble(D("3e-4")), 3e-4);
  for (const char* bad : {"", ".", "e5", "1e", "1e+", "-1e-3", "+1", " 1",
                          "1e-3x", "0x10", "inf", "nan", "1,5", "1e999999"}) {
    Decimal value;
    EXPECT_FALSE(ParseDecimal(bad, &value)) << bad;
  }
}

TEST(OperatingPointsTest, OptionLists) {
  std::vector<int64_t> ranks;
  EXPECT_TRUE(ParseRanks("1,5,1000", &ranks));
  EXPECT_EQ(ranks, (std::vector<int64_t>{1, 5, 1000}));
  for (const char* bad : {"0", "", "1,,2", "-1", "1.5", "2,", "1e3"}) {
    EXPECT_FALSE(ParseRanks(bad, &ranks)) << bad;
  }
  std::vector<Decimal> fars;
  EXPECT_TRUE(ParseFalseAcceptRates("1e-3,0.5,1,0", &fars));
  EXPECT_EQ(fars.size(), 4u);
  for (const char* bad : {"1.5", "2e-1,3", "0.1,", "1e-3;1e-4", "-0"}) {
    EXPECT_FALSE(ParseFalseAcceptRates(bad, &fars)) << bad;
  }
}

TEST(OperatingPointsTest, EqualErrorRateComparesExactly) {
  // At k = 3, FAR = 3/10 and FRR = 1 - 7/10 are equal; in doubles 1 - 0.7
  // is above 0.3, which would pass over k = 3.
  OperatingPointFacts facts;
  facts.genuine_beaten_by = {0, 0, 0, 0, 0, 0, 3, 5, 5, 5};
  facts.impostor_count = 10;
  OperatingPoints points;
  ComputeOperatingPoints(facts, {}, &points);
  const EqualErrorRate& eer = points.equal_error_rate;
  EXPECT_EQ(eer.impostors_accepted, 3);
  EXPECT_EQ(eer.far, 0.3);
  EXPECT_EQ(eer.frr, 1.0 - 0.7);
  EXPECT_EQ(eer.rate, (0.3 + (1.0 - 0.7)) / 2);

  // Without genuine or impostor pairs there is no equal error rate.
  facts.genuine_beaten_by.clear();
  ComputeOperatingPoints(facts, {}, &points);
  EXPECT_EQ(points.equal_error_rate.impostors_accepted, -1);
  EXPECT_TRUE(std::isnan(points.equal_error_rate.rate));
}

TEST(OperatingPointsTest, FiguresAreMergedAndOrdered) {
  OperatingPointFacts facts;
  facts.mate_ranks = {0, 0, 1, 4, 200};
  facts.genuine_beaten_by = {0, 1, 1, 2};
  facts.impostor_count = 1000;
  OperatingPointRequest request;
  request.ranks = {2, 5, 1000};
  request.fars = {D("0.001"), D("1e-3"), D("0.5"), D("0")};
  OperatingPoints points;
  ComputeOperatingPoints(facts, request, &points);

  std::vector<int64_t> ranks;
  for (const RankRate& r : points.identification) ranks.push_back(r.rank);
  EXPECT_EQ(ranks, (std::vector<int64_t>{1, 2, 5, 10, 20, 50, 100, 1000}));
  EXPECT_EQ(points.identification[0].rate, 2.0 / 5);
  EXPECT_EQ(points.identification[2].rate, 4.0 / 5);  // Rank 5: ranks <= 4.
  EXPECT_EQ(points.identification.back().rate, 1.0);

  // 1e-1 .. 1e-3 by default (1e-4 x 1000 < 1); "0.001" and "1e-3" once.
  std::vector<int64_t> accepted;
  for (const TrueAcceptRate& t : points.tar_at_far) {
    accepted.push_back(t.impostors_accepted);
  }
  EXPECT_EQ(accepted, (std::vector<int64_t>{500, 100, 10, 1, 0}));
  EXPECT_EQ(points.tar_at_far[3].tar, 3.0 / 4);  // Beaten by at most 1.
  EXPECT_EQ(points.tar_at_far[4].tar, 1.0 / 4);
  EXPECT_EQ(points.counts.mate_pairs, 5);
  EXPECT_EQ(points.counts.genuine_pairs, 4);
  EXPECT_EQ(DefaultFalseAcceptRates(999).size(), 2u);
  EXPECT_TRUE(DefaultFalseAcceptRates(9).empty());
  EXPECT_EQ(DefaultFalseAcceptRates(INT64_MAX).size(), 18u);
}

TEST(OperatingPointsTest, TraditionalRatesAreTheCurvesUnthinned) {
  // Every point the thinned curve keeps is the rate at its slot.
  std::mt19937 random(7);
  std::vector<int64_t> ranks(997);
  for (int64_t& rank : ranks) rank = random() % 300 == 0 ? 0 : random() % 60;
  std::sort(ranks.begin(), ranks.end());
  CMCCurve curve;
  AppendTraditionalCMCFromRanks(ranks, 80, &curve);
  ASSERT_GT(curve.size(), 5u);
  for (const auto& [slot, rate] : curve) {
    EXPECT_EQ(TraditionalRateAt(ranks, slot), rate) << slot;
  }

  OperatingPointFacts facts;
  facts.traditional_ranks = ranks;
  facts.traditional_slots = 8;  // Rank 10 has no slot; 60 > 8 voids all.
  OperatingPoints points;
  ComputeOperatingPoints(facts, {}, &points);
  for (const RankRate& r : points.traditional) {
    EXPECT_TRUE(std::isnan(r.rate)) << r.rank;
  }
  facts.traditional_slots = 80;
  ComputeOperatingPoints(facts, {}, &points);
  EXPECT_EQ(points.traditional[2].rate, TraditionalRateAt(ranks, 9));
  EXPECT_TRUE(std::isnan(TraditionalRateAt({}, 0)));
}

}  // namespace
