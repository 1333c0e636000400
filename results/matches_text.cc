#include "results/matches_text.h"

#include <cstdint>
#include <vector>

#include "results/json_text.h"

namespace {

// Appends `"name" : value` for an array of scalar texts at the member
// indentation `indent`, laid out on one line when it has fewer than 25
// elements and the line is shorter than 74 characters, else one element
// per line.
void AppendArrayMember(const char* name, const std::vector<std::string>& texts,
                       const std::string& indent, std::string* out) {
  *out += '\n';
  *out += indent;
  *out += '"';
  *out += name;
  *out += "\" : ";
  size_t line = 4 + 2 * (texts.size() - 1);
  for (const std::string& text : texts) line += text.size();
  if (texts.size() < 25 && line < 74) {
    *out += "[ ";
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) *out += ", ";
      *out += texts[i];
    }
    *out += " ]";
    return;
  }
  *out += '\n';
  *out += indent;
  *out += '[';
  for (size_t i = 0; i < texts.size(); ++i) {
    *out += '\n';
    *out += indent;
    *out += '\t';
    *out += texts[i];
    if (i + 1 < texts.size()) *out += ',';
  }
  *out += '\n';
  *out += indent;
  *out += ']';
}

// Appends `"name" : ` and either null or an object of two array members.
void AppendPairMember(const char* name, const char* first_name,
                      const std::vector<std::string>& firsts,
                      const char* second_name,
                      const std::vector<std::string>& seconds,
                      std::string* out) {
  *out += "\n\t\t\"";
  *out += name;
  *out += "\" : ";
  if (firsts.empty()) {
    *out += "null";
    return;
  }
  *out += "\n\t\t{";
  AppendArrayMember(first_name, firsts, "\t\t\t", out);
  *out += ',';
  AppendArrayMember(second_name, seconds, "\t\t\t", out);
  *out += "\n\t\t}";
}

}  // namespace

std::string MatchesText(const TopDistractorLists& top_distractors,
                        const MateRankLists& mate_ranks) {
  if (top_distractors.empty()) return "null\n";
  std::string out = "\n[";
  std::vector<std::string> firsts;
  std::vector<std::string> seconds;
  for (size_t p = 0; p < top_distractors.size(); ++p) {
    out += "\n\t\n\t{";
    firsts.clear();
    seconds.clear();
    for (const auto& [index, score] : top_distractors[p]) {
      firsts.push_back(std::to_string(index));
      seconds.push_back(FormatReal(static_cast<double>(score)));
    }
    AppendPairMember("distractors", "idx", firsts, "score", seconds, &out);
    out += ',';
    firsts.clear();
    seconds.clear();
    for (const auto& [rank, index] : mate_ranks[p]) {
      firsts.push_back(std::to_string(index));
      // The low 32 bits of the rank, as a signed integer.
      seconds.push_back(
          std::to_string(static_cast<int32_t>(static_cast<uint32_t>(rank))));
    }
    AppendPairMember("probes", "idx", firsts, "rank", seconds, &out);
    out += "\n\t}";
    if (p + 1 < top_distractors.size()) out += ',';
  }
  out += "\n]\n";
  return out;
}
