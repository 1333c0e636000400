// The two result documents: their worked examples, empty curves and lists,
// and the match results text, written straight from the lists, against the
// same document built as a JSON value and laid out.
#include "results/result_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "results/json_text.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;

TEST(ResultsFileTest, WorkedExample) {
  testutil::ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  ASSERT_TRUE(SaveCMCAndROC(path, {{0, 0.5f}, {3, 1.0f}}, {{0, 0.75f}, {1, 1}},
                            {{0.0f, 0.5f}, {1.0f, 1.0f}}));
  EXPECT_EQ(
      ReadFile(path),
      "\n{\n"
      "\t\"cmc\" : \n\t[\n\t\t[ 0, 3 ],\n\t\t[ 0.50, 1.0 ]\n\t],\n"
      "\t\"roc\" : \n\t[\n\t\t[ 0.0, 1.0 ],\n\t\t[ 0.50, 1.0 ]\n\t],\n"
      "\t\"traditional_cmc\" : \n\t[\n\t\t[ 0, 1 ],\n\t\t[ 0.750, 1.0 ]\n\t]\n"
      "}\n");
}

TEST(ResultsFileTest, EmptyAndOnePointCurves) {
  EXPECT_EQ(StyledJSONText(MakeCMCAndROCDocument({}, {}, {})), "null\n");
  // Rank indexes are integers; rates widen exactly, NaN becoming null.
  EXPECT_EQ(StyledJSONText(MakeCMCAndROCDocument({{2147483647, NAN}}, {},
                                                 {{0.6f, 1e-5f}})),
            "\n{\n\t\"cmc\" : \n\t[\n\t\t[ 2147483647 ],\n\t\t[ null ]\n\t],"
            "\n\t\"roc\" : \n\t[\n\t\t[ 0.6000000238418579 ],"
            "\n\t\t[ 9.999999747378752e-06 ]\n\t]\n}\n");
  EXPECT_EQ(MakeCMCAndROCDocument({}, {{0, 1}}, {}).getMemberNames(),
            std::vector<std::string>{"traditional_cmc"});
}

// The match results document built as a JSON value, the way the layout
// rules describe it: an object per probe, a list without pairs as null,
// ranks as the signed 32-bit integer of their low bits.
Json::Value MatchesDocument(const TopDistractorLists& top,
                            const MateRankLists& mates) {
  Json::Value root;
  for (size_t p = 0; p < top.size(); ++p) {
    Json::Value distractors, probes;
    for (Json::ArrayIndex j = 0; j < top[p].size(); ++j) {
      distractors["idx"][j] = top[p][j].first;
      distractors["score"][j] = static_cast<double>(top[p][j].second);
    }
    for (Json::ArrayIndex j = 0; p < mates.size() && j < mates[p].size(); ++j) {
      probes["rank"][j] = static_cast<int32_t>(mates[p][j].first);
      probes["idx"][j] = mates[p][j].second;
    }
    root[static_cast<Json::ArrayIndex>(p)]["distractors"] = distractors;
    root[static_cast<Json::ArrayIndex>(p)]["probes"] = probes;
  }
  return root;
}

TEST(MatchResultsFileTest, TextEqualsTheLaidOutDocument) {
  // Lists of every length around the one-line limits, ranks beyond 32
  // bits, scores with long and short texts, NaN, empty lists, and a mate
  // rank list shorter than the probes.
  std::mt19937 random(9);
  const std::vector<float> scores = {0.5f,
                                     0.75f,
                                     0.6f,
                                     -0.0f,
                                     1e-7f,
                                     3.0f,
                                     std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity()};
  for (int trial = 0; trial < 200; ++trial) {
    const size_t probes = trial % 50 == 0 ? 0 : 1 + random() % 4;
    TopDistractorLists top(probes);
    MateRankLists mates(trial % 7 == 0 ? probes / 2 : probes);
    for (size_t p = 0; p < probes; ++p) {
      for (size_t k = random() % 9; k > 0; --k) {
        top[p].emplace_back(static_cast<int32_t>(random() % 2000000),
                            scores[random() % scores.size()]);
      }
      for (size_t k = random() % 30; p < mates.size() && k > 0; --k) {
        const uint64_t rank =
            random() % 4 == 0 ? (uint64_t{1} << 32) + random() : random() % 100;
        mates[p].emplace_back(rank, static_cast<int32_t>(random() % 5000));
      }
    }
    ASSERT_EQ(MatchesText(top, mates),
              StyledJSONText(MatchesDocument(top, mates)));
  }
  // Across pieces and batches of pieces: the text, handed over in order, and
  // nothing more after a write that fails.
  {
    const size_t probes = 64 * 8 * 2 + 37;
    TopDistractorLists top(probes);
    MateRankLists mates(probes);
    for (size_t p = 0; p < probes; ++p) {
      for (size_t k = random() % 6; k > 0; --k) {
        top[p].emplace_back(random() % 200000,
                            scores[random() % scores.size()]);
      }
      for (size_t k = random() % 40; k > 0; --k) {
        mates[p].emplace_back(random() % 300, random() % probes);
      }
    }
    const std::string text = MatchesText(top, mates);
    ASSERT_EQ(text, StyledJSONText(MatchesDocument(top, mates)));
    std::vector<std::string> pieces;
    EXPECT_FALSE(WriteMatchesText(top, mates, [&](const std::string& piece) {
      pieces.push_back(piece);
      return pieces.size() < 12;
    }));
    ASSERT_EQ(pieces.size(), 12u);
    std::string written;
    for (const std::string& piece : pieces) written += piece;
    EXPECT_EQ(written, text.substr(0, written.size()));
    EXPECT_LT(written.size(), text.size());
  }

  // The file is that text; ranks keep their low 32 bits as a signed integer.
  testutil::ScratchDir scratch;
  const MateRankLists mates = {
      {{(uint64_t{1} << 32) + 5, 0}, {4294967295u, 1}, {2147483648u, 2}}};
  ASSERT_TRUE(SaveMatches(scratch.Path("m.json"), {{{7, 0.75f}}}, mates));
  EXPECT_EQ(ReadFile(scratch.Path("m.json")),
            MatchesText({{{7, 0.75f}}}, mates));
  EXPECT_NE(ReadFile(scratch.Path("m.json")).find("[ 5, -1, -2147483648 ]"),
            std::string::npos);
}

}  // namespace
