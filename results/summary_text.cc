#include "results/summary_text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::string RealText(double value, int precision) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.*g", precision, value);
  return text;
}

std::string Member(const char* name, const std::string& value) {
  return std::string("\"") + name + "\": " + value;
}

std::string Member(const char* name, int64_t value) {
  return Member(name, std::to_string(value));
}

// AppendList appends `"name": [` and one object per line, each from
// `entry`, then `]`.
template <typename T, typename Entry>
void AppendList(const char* name, const std::vector<T>& items,
                const Entry& entry, std::string* out) {
  *out += "  " + Member(name, "[");
  for (size_t i = 0; i < items.size(); ++i) {
    *out += (i == 0 ? "\n    {" : ",\n    {") + entry(items[i]) + "}";
  }
  *out += items.empty() ? "],\n" : "\n  ],\n";
}

}  // namespace

std::string ExactRealText(double value) {
  return std::isfinite(value) ? RealText(value, 17) : "null";
}

std::string ShortestRealText(double value) {
  if (!std::isfinite(value)) return "null";
  for (int precision = 1; precision < 17; ++precision) {
    const std::string text = RealText(value, precision);
    if (std::strtod(text.c_str(), nullptr) == value) return text;
  }
  return RealText(value, 17);
}

std::string SummaryText(const OperatingPoints& points) {
  const OperatingPointCounts& c = points.counts;
  std::string out = "{\n  \"counts\": {\n";
  const std::pair<const char*, int64_t> counts[] = {
      {"probes", c.probes},
      {"subjects", c.subjects},
      {"distractors", c.distractors},
      {"mate_pairs", c.mate_pairs},
      {"genuine_pairs", c.genuine_pairs},
      {"impostor_pairs", c.impostor_pairs},
      {"traditional_ranked", c.traditional_ranked}};
  for (size_t i = 0; i < std::size(counts); ++i) {
    out += "    " + Member(counts[i].first, counts[i].second) +
           (i + 1 < std::size(counts) ? ",\n" : "\n");
  }
  out += "  },\n";
  const auto rank_rate = [](const RankRate& r) {
    return Member("rank", r.rank) + ", " +
           Member("rate", ExactRealText(r.rate));
  };
  AppendList("identification_rate", points.identification, rank_rate, &out);
  AppendList("traditional_rate", points.traditional, rank_rate, &out);
  AppendList(
      "tar_at_far", points.tar_at_far,
      [](const TrueAcceptRate& t) {
        return Member("far", ShortestRealText(DecimalToDouble(t.far))) + ", " +
               Member("impostors_accepted", t.impostors_accepted) + ", " +
               Member("tar", ExactRealText(t.tar));
      },
      &out);
  const EqualErrorRate& eer = points.equal_error_rate;
  out += "  \"equal_error_rate\": {" + Member("rate", ExactRealText(eer.rate)) +
         ", " +
         Member("impostors_accepted",
                eer.impostors_accepted < 0
                    ? std::string("null")
                    : std::to_string(eer.impostors_accepted)) +
         ", " + Member("far", ExactRealText(eer.far)) + ", " +
         Member("frr", ExactRealText(eer.frr)) + "}\n}\n";
  return out;
}
