#include "results/result_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

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

TEST(MatchResultsFileTest, WorkedExample) {
  testutil::ScratchDir scratch;
  const std::string path = scratch.Path("matches.json");
  ASSERT_TRUE(SaveMatches(path,
                          {{{7, 0.75f}, {2, 0.5f}}, {{2, 0.8125f}, {7, 0.25f}}},
                          {{{0, 1}}, {{1, 0}}}));
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

TEST(MatchResultsFileTest, EmptyListsAndRanks) {
  EXPECT_EQ(StyledJSONText(MakeMatchesDocument({}, {})), "null\n");
  // Probe 0 has no mates, probe 1 no distractors; probe 2 lies past the end
  // of a too-short mate rank list.
  const Json::Value empty =
      MakeMatchesDocument({{{3, 1}}, {}, {{4, 0.5f}}}, {{}, {{0, 0}}});
  EXPECT_TRUE(empty[0]["probes"].isNull() && empty[1]["distractors"].isNull() &&
              empty[2]["probes"].isNull());
  // Ranks keep their low 32 bits as a signed integer.
  const std::pair<uint64_t, int32_t> ranks[] = {{2147483647u, 2147483647},
                                                {2147483648u, INT32_MIN},
                                                {4294967295u, -1},
                                                {(uint64_t{1} << 32) + 5, 5}};
  MateRankLists mates(1);
  for (const auto& [rank, written] : ranks) mates[0].push_back({rank, 9});
  const Json::Value written =
      MakeMatchesDocument({{}}, mates)[0]["probes"]["rank"];
  for (Json::ArrayIndex i = 0; i < std::size(ranks); ++i) {
    EXPECT_EQ(written[i], Json::Value(ranks[i].second));  // Type and value.
  }
}

TEST(WriteTextFileTest, ReplacesFilesAndReportsFailures) {
  testutil::ScratchDir scratch;
  const std::string path = scratch.Path("out.txt");
  ASSERT_TRUE(WriteTextFile(path, std::string(10000, 'x')));
  ASSERT_TRUE(WriteTextFile(path, "short\n"));
  EXPECT_EQ(ReadFile(path), "short\n");
  EXPECT_FALSE(WriteTextFile(scratch.Path("missing/out.txt"), "x"));
  EXPECT_FALSE(testutil::Exists(scratch.Path("missing")));
  EXPECT_FALSE(WriteTextFile(scratch.path(), "x"));  // A directory.
  // The device accepts the open and refuses the data.
  EXPECT_FALSE(WriteTextFile("/dev/full", "x"));
  EXPECT_FALSE(WriteTextFile("/dev/full", std::string(1 << 20, 'x')));
  EXPECT_FALSE(SaveCMCAndROC(scratch.Path("missing/r.json"), {}, {}, {}));
  EXPECT_FALSE(SaveMatches("/dev/full", {{}}, {{}}));
}

}  // namespace
