#include "results/result_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "results/json_text.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::ScratchDir;

TEST(ResultsFileTest, WorkedExample) {
  const CMCCurve cmc = {{0, 0.5f}, {3, 1.0f}};
  const CMCCurve traditional_cmc = {{0, 0.75f}, {1, 1.0f}};
  const ROCCurve roc = {{0.0f, 0.5f}, {1.0f, 1.0f}};
  ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  ASSERT_TRUE(SaveCMCAndROC(path, cmc, traditional_cmc, roc));
  EXPECT_EQ(
      ReadFile(path),
      "\n{\n"
      "\t\"cmc\" : \n\t[\n\t\t[ 0, 3 ],\n\t\t[ 0.50, 1.0 ]\n\t],\n"
      "\t\"roc\" : \n\t[\n\t\t[ 0.0, 1.0 ],\n\t\t[ 0.50, 1.0 ]\n\t],\n"
      "\t\"traditional_cmc\" : \n\t[\n\t\t[ 0, 1 ],\n\t\t[ 0.750, 1.0 ]\n\t]\n"
      "}\n");
}

TEST(ResultsFileTest, EmptyCurvesLeaveTheirMembersOut) {
  const CMCCurve one = {{0, 1.0f}};
  const CMCCurve none;
  const ROCCurve no_roc;
  EXPECT_EQ(StyledJSONText(MakeCMCAndROCDocument(none, none, no_roc)),
            "null\n");
  EXPECT_EQ(StyledJSONText(MakeCMCAndROCDocument(one, none, no_roc)),
            "\n{\n\t\"cmc\" : \n\t[\n\t\t[ 0 ],\n\t\t[ 1.0 ]\n\t]\n}\n");
  const Json::Value document =
      MakeCMCAndROCDocument(none, one, ROCCurve{{0.25f, 0.5f}});
  EXPECT_EQ(document.getMemberNames(),
            (std::vector<std::string>{"roc", "traditional_cmc"}));

  ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  ASSERT_TRUE(SaveCMCAndROC(path, none, none, no_roc));
  EXPECT_EQ(ReadFile(path), "null\n");
}

TEST(ResultsFileTest, NumberKindsAndExactWidening) {
  const CMCCurve cmc = {{0, 0.6f},
                        {std::numeric_limits<int32_t>::max(), 1e-5f}};
  const ROCCurve roc = {{1e-7f, 0.3f}};
  const Json::Value document = MakeCMCAndROCDocument(cmc, cmc, roc);
  for (const char* key : {"cmc", "traditional_cmc"}) {
    const Json::Value& curve = document[key];
    ASSERT_EQ(curve.size(), 2u) << key;
    EXPECT_EQ(curve[0][1].type(), Json::intValue) << key;
    EXPECT_EQ(curve[0][1].asInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(curve[1][0].type(), Json::realValue) << key;
    EXPECT_EQ(curve[1][0].asDouble(), static_cast<double>(0.6f));
  }
  EXPECT_EQ(document["roc"][0][0].asDouble(), static_cast<double>(1e-7f));
  EXPECT_EQ(document["roc"][1][0].asDouble(), static_cast<double>(0.3f));
  // Two 16-digit reals still fit on one line; five of them do not.
  EXPECT_NE(StyledJSONText(document).find("[ 0.6000000238418579, "
                                          "9.999999747378752e-06 ]"),
            std::string::npos);
}

TEST(MatchResultsFileTest, WorkedExample) {
  const TopDistractorLists top = {{{7, 0.75f}, {2, 0.5f}},
                                  {{2, 0.8125f}, {7, 0.25f}}};
  const MateRankLists mates = {{{0, 1}}, {{1, 0}}};
  ScratchDir scratch;
  const std::string path = scratch.Path("matches.json");
  ASSERT_TRUE(SaveMatches(path, top, mates));
  EXPECT_EQ(ReadFile(path),
            "\n[\n\t\n\t{\n"
            "\t\t\"distractors\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 7, 2 ],\n"
            "\t\t\t\"score\" : [ 0.750, 0.50 ]\n\t\t},\n"
            "\t\t\"probes\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 1 ],\n"
            "\t\t\t\"rank\" : [ 0 ]\n\t\t}\n\t},\n"
            "\t\n\t{\n"
            "\t\t\"distractors\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 2, 7 ],\n"
            "\t\t\t\"score\" : [ 0.81250, 0.250 ]\n\t\t},\n"
            "\t\t\"probes\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 0 ],\n"
            "\t\t\t\"rank\" : [ 1 ]\n\t\t}\n\t}\n"
            "]\n");
}

TEST(MatchResultsFileTest, EmptyListsAreNull) {
  EXPECT_EQ(StyledJSONText(MakeMatchesDocument({}, {})), "null\n");
  // Probe 0 has no mates, probe 1 no distractors; probe 2 lies past the end
  // of a too-short mate rank list.
  const TopDistractorLists top = {{{3, 1.0f}}, {}, {{4, 0.5f}}};
  const MateRankLists mates = {{}, {{0, 0}}};
  EXPECT_EQ(StyledJSONText(MakeMatchesDocument(top, mates)),
            "\n[\n\t\n\t{\n"
            "\t\t\"distractors\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 3 ],\n\t\t\t\"score\" : [ 1.0 ]\n\t\t},\n"
            "\t\t\"probes\" : null\n\t},\n"
            "\t\n\t{\n"
            "\t\t\"distractors\" : null,\n"
            "\t\t\"probes\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 0 ],\n\t\t\t\"rank\" : [ 0 ]\n\t\t}\n\t},\n"
            "\t\n\t{\n"
            "\t\t\"distractors\" : \n\t\t{\n"
            "\t\t\t\"idx\" : [ 4 ],\n\t\t\t\"score\" : [ 0.50 ]\n\t\t},\n"
            "\t\t\"probes\" : null\n\t}\n"
            "]\n");
}

TEST(MatchResultsFileTest, RanksKeepTheirLow32BitsAsSigned) {
  struct Case {
    uint64_t rank;
    int32_t written;
  };
  const Case cases[] = {
      {0, 0},
      {2147483647u, 2147483647},
      {2147483648u, std::numeric_limits<int32_t>::min()},
      {4294967295u, -1},
      {(uint64_t{1} << 32) + 5, 5},
  };
  MateRankLists mates(1);
  for (const Case& c : cases) mates[0].push_back({c.rank, 9});
  const Json::Value document = MakeMatchesDocument({{}}, mates);
  const Json::Value& ranks = document[0]["probes"]["rank"];
  ASSERT_EQ(ranks.size(), std::size(cases));
  for (Json::ArrayIndex i = 0; i < ranks.size(); ++i) {
    EXPECT_EQ(ranks[i].type(), Json::intValue);
    EXPECT_EQ(ranks[i].asInt(), cases[i].written) << "rank " << cases[i].rank;
    EXPECT_EQ(document[0]["probes"]["idx"][i].asInt(), 9);
  }
}

TEST(WriteTextFileTest, ReplacesFilesAndReportsFailures) {
  ScratchDir scratch;
  const std::string path = scratch.Path("out.txt");
  ASSERT_TRUE(WriteTextFile(path, std::string(10000, 'x')));
  ASSERT_TRUE(WriteTextFile(path, "short\n"));
  EXPECT_EQ(ReadFile(path), "short\n");
  ASSERT_TRUE(WriteTextFile(path, ""));
  EXPECT_EQ(ReadFile(path), "");

  EXPECT_FALSE(WriteTextFile(scratch.Path("missing/out.txt"), "x"));
  EXPECT_FALSE(testutil::Exists(scratch.Path("missing")));
  EXPECT_FALSE(WriteTextFile(scratch.path(), "x"));  // a directory
  // The device accepts the open and refuses the data when it is flushed.
  EXPECT_FALSE(WriteTextFile("/dev/full", "x"));
  EXPECT_FALSE(WriteTextFile("/dev/full", std::string(1 << 20, 'x')));

  EXPECT_FALSE(SaveCMCAndROC(scratch.Path("missing/r.json"), {}, {}, {}));
  EXPECT_FALSE(SaveMatches("/dev/full", {{}}, {{}}));
}

}  // namespace
