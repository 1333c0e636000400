// The JSON inputs (probe info file, probe index list, score matrix list) on
// arbitrary text. Their loaders end the program on bad input, so this
// target parses the text exactly as ParseJsonOrDie does (CharReaderBuilder
// defaults, parseFromStream) and applies the loaders' element rules through
// a path that does not exit, then builds the subject map with the real
// MakeSubjectMap. It checks that parsing and conversion only ever succeed
// or refuse (never crash, leak or throw anything else), that every rule
// the loaders rely on holds, and that the subject map is consistent with
// the names.
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "fuzz/matrix_contract.h"  // FUZZ_CHECK
#include "probes/probe_info.h"

namespace {

// Element rule of LoadProbeInfo and LoadProbeScoreMatricesOrDie: strings,
// null and booleans convert with asString; anything else is refused.
bool ElementToName(const Json::Value& element, std::string* name) {
  if (!element.isString() && !element.isNull() && !element.isBool()) {
    return false;
  }
  *name = element.asString();  // Must not throw for these kinds.
  return true;
}

// Every name is under its own key with its index; every list is strictly
// ascending; nothing else is in the map.
void CheckSubjectMap(const std::vector<std::string>& names,
                     const SubjectMap& map) {
  size_t entries = 0;
  for (const auto& [name, indices] : map) {
    FUZZ_CHECK(!indices.empty());
    for (size_t k = 0; k < indices.size(); ++k) {
      FUZZ_CHECK(indices[k] >= 0 &&
                 static_cast<size_t>(indices[k]) < names.size());
      FUZZ_CHECK(names[indices[k]] == name);
      FUZZ_CHECK(k == 0 || indices[k - 1] < indices[k]);
    }
    entries += indices.size();
  }
  FUZZ_CHECK(entries == names.size());
  FUZZ_CHECK(map.size() ==
             std::set<std::string>(names.begin(), names.end()).size());
}

void ProbeInfoRules(const Json::Value& root) {
  if (!root.isObject() && !root.isNull()) return;  // Refused.
  Json::Value copy = root;
  const Json::Value ids = copy["id"];
  if (ids.isObject()) return;  // Refused.
  std::vector<std::string> names;
  if (ids.isArray()) {
    for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
      std::string name;
      if (!ElementToName(ids[i], &name)) return;  // Refused.
      names.push_back(name);
    }
  }
  SubjectMap map;
  MakeSubjectMap(names, &map);
  CheckSubjectMap(names, map);
  // A second call appends the same indices behind the existing ones.
  const SubjectMap first = map;
  MakeSubjectMap(names, &map);
  FUZZ_CHECK(map.size() == first.size());
  for (const auto& [name, indices] : first) {
    std::vector<int32_t> doubled = indices;
    doubled.insert(doubled.end(), indices.begin(), indices.end());
    FUZZ_CHECK(map.at(name) == doubled);
  }
}

void ProbeIndexRules(const Json::Value& root) {
  if (root.isObject() || !root.isArray()) return;  // Refused / nothing.
  for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
    const Json::Value& element = root[i];
    try {
      const int32_t index = element.asInt();
      FUZZ_CHECK(!element.isString() && !element.isArray() &&
                 !element.isObject());
      if (element.isInt()) FUZZ_CHECK(index == element.asInt64());
    } catch (const Json::LogicError&) {
      // Refused: never an integer of the 32-bit range.
      FUZZ_CHECK(!element.isInt());
      return;
    }
  }
}

void MatrixListRules(const Json::Value& root) {
  if (root.isObject() || !root.isArray()) return;  // Refused / nothing.
  std::vector<std::string> paths;
  for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
    std::string path;
    if (!ElementToName(root[i], &path)) return;  // Refused.
    paths.push_back(path);
  }
  FUZZ_CHECK(paths.size() == root.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream stream(
      std::string(reinterpret_cast<const char*>(data), size));
  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, stream, &root, &errors);
  } catch (const Json::Exception&) {
    // The parser throws, rather than returning false, for nesting deeper
    // than its stack limit: a loader must refuse such a document as
    // invalid JSON, like any other.
    return 0;
  }
  if (!parsed) {
    FUZZ_CHECK(!errors.empty());
    return 0;
  }
  ProbeInfoRules(root);
  ProbeIndexRules(root);
  MatrixListRules(root);
  return 0;
}
