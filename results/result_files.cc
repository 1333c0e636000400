#include "results/result_files.h"

#include <fstream>
#include <ios>
#include <utility>

#include "results/json_text.h"

namespace {

// A rank index is an integer value; a rate or ROC coordinate is a real
// holding the float widened exactly to double.
Json::Value NumberValue(int32_t number) { return Json::Value(number); }
Json::Value NumberValue(float number) {
  return Json::Value(static_cast<double>(number));
}

// CurveValue returns [[first members], [second members]] of `curve`.
template <typename First, typename Second>
Json::Value CurveValue(const std::vector<std::pair<First, Second>>& curve) {
  Json::Value firsts(Json::arrayValue);
  Json::Value seconds(Json::arrayValue);
  for (const auto& point : curve) {
    firsts.append(NumberValue(point.first));
    seconds.append(NumberValue(point.second));
  }
  Json::Value value(Json::arrayValue);
  value.append(std::move(firsts));
  value.append(std::move(seconds));
  return value;
}

Json::Value DistractorsValue(
    const std::vector<std::pair<int32_t, float>>& top_distractors) {
  if (top_distractors.empty()) return Json::Value();
  Json::Value indices(Json::arrayValue);
  Json::Value scores(Json::arrayValue);
  for (const auto& [index, score] : top_distractors) {
    indices.append(Json::Value(index));
    scores.append(Json::Value(static_cast<double>(score)));
  }
  Json::Value value(Json::objectValue);
  value["idx"] = std::move(indices);
  value["score"] = std::move(scores);
  return value;
}

Json::Value MatesValue(
    const std::vector<std::pair<uint64_t, int32_t>>& mate_ranks) {
  if (mate_ranks.empty()) return Json::Value();
  Json::Value indices(Json::arrayValue);
  Json::Value ranks(Json::arrayValue);
  for (const auto& [rank, index] : mate_ranks) {
    indices.append(Json::Value(index));
    // The rank is written as a 32-bit signed integer: its low 32 bits. A
    // rank never exceeds the distractor count, so in a run it is unchanged.
    ranks.append(
        Json::Value(static_cast<int32_t>(static_cast<uint32_t>(rank))));
  }
  Json::Value value(Json::objectValue);
  value["idx"] = std::move(indices);
  value["rank"] = std::move(ranks);
  return value;
}

}  // namespace

Json::Value MakeCMCAndROCDocument(const CMCCurve& cmc,
                                  const CMCCurve& traditional_cmc,
                                  const ROCCurve& roc) {
  // Members appear in the text in byte order of their names whatever the
  // order they are added in; a missing curve leaves the root null.
  Json::Value root;
  if (!traditional_cmc.empty()) {
    root["traditional_cmc"] = CurveValue(traditional_cmc);
  }
  if (!cmc.empty()) root["cmc"] = CurveValue(cmc);
  if (!roc.empty()) root["roc"] = CurveValue(roc);
  return root;
}

Json::Value MakeMatchesDocument(const TopDistractorLists& top_distractors,
                                const MateRankLists& mate_ranks) {
  Json::Value root;
  if (top_distractors.empty()) return root;
  root = Json::Value(Json::arrayValue);
  static const std::vector<std::pair<uint64_t, int32_t>> kNoMates;
  for (size_t p = 0; p < top_distractors.size(); ++p) {
    // A caller that breaks the size precondition gets "probes" : null for
    // the probes past the end rather than a read out of bounds.
    const auto& mates = p < mate_ranks.size() ? mate_ranks[p] : kNoMates;
    Json::Value element(Json::objectValue);
    element["distractors"] = DistractorsValue(top_distractors[p]);
    element["probes"] = MatesValue(mates);
    root.append(std::move(element));
  }
  return root;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out.is_open()) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  // close() flushes; a failed flush or close sets failbit.
  out.close();
  return !out.fail();
}

bool SaveCMCAndROC(const std::string& filename, const CMCCurve& cmc,
                   const CMCCurve& traditional_cmc, const ROCCurve& roc) {
  return WriteTextFile(filename, StyledJSONText(MakeCMCAndROCDocument(
                                     cmc, traditional_cmc, roc)));
}

bool SaveMatches(const std::string& filename,
                 const TopDistractorLists& top_distractors,
                 const MateRankLists& mate_ranks) {
  return WriteTextFile(filename, StyledJSONText(MakeMatchesDocument(
                                     top_distractors, mate_ranks)));
}
