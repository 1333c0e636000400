#include "probes/probe_info.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "matio/mat_io.h"

namespace {

[[noreturn]] void DieWithMessage(const std::string& path,
                                 const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", path.c_str(), message.c_str());
  std::exit(1);
}

// Element access below assumes an array (or nothing at all); an object in
// its place would be misread, so it is refused.
void RequireArrayOrScalar(const std::string& path, const Json::Value& value,
                          const char* what) {
  if (value.isObject()) {
    DieWithMessage(path,
                   std::string(what) + " must be an array, not an object");
  }
}

// ElementToNameOrDie converts a JSON element to a name: strings stand for
// themselves, null is "" and booleans are "true"/"false". Numbers are never
// turned into names, so a file that lists numbers fails loudly instead of
// silently naming subjects "1", "2", ...
std::string ElementToNameOrDie(const std::string& path, const char* array,
                               Json::ArrayIndex index,
                               const Json::Value& element) {
  if (element.isString() || element.isNull() || element.isBool()) {
    return element.asString();
  }
  DieWithMessage(path, std::string("element ") + std::to_string(index) +
                           " of " + array +
                           ": Type is not convertible to string");
}

}  // namespace

Json::Value ParseJsonOrDie(const std::string& path) {
  std::ifstream stream(path, std::ios::in | std::ios::binary);
  if (stream.fail()) {
    std::printf("Could not open %s\n", path.c_str());
    std::exit(1);
  }
  Json::CharReaderBuilder builder;  // Defaults: comments accepted, any root.
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, stream, &root, &errors);
  } catch (const Json::Exception& e) {
    // Nesting beyond the parser's depth limit is reported by a throw.
    errors = std::string(e.what()) + "\n";
  }
  if (!parsed) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: not valid JSON:\n%s", path.c_str(),
                 errors.c_str());
    std::exit(1);
  }
  return root;
}

void LoadProbeInfo(const std::string& path, int32_t* probe_count,
                   SubjectMap* subject_map,
                   std::vector<std::string>* probe_names) {
  Json::Value root = ParseJsonOrDie(path);
  if (!root.isObject() && !root.isNull()) {
    DieWithMessage(path, "the root must be an object holding an \"id\" array");
  }
  const Json::Value ids = root["id"];
  RequireArrayOrScalar(path, ids, "\"id\"");
  if (ids.isArray()) {
    for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
      probe_names->push_back(ElementToNameOrDie(path, "\"id\"", i, ids[i]));
    }
  }
  *probe_count = static_cast<int32_t>(probe_names->size());
  MakeSubjectMap(*probe_names, subject_map);
}

std::string WhyNoProbes(const Json::Value& root) {
  if (!root.isObject() || !root.isMember("id")) return "no \"id\" array";
  const Json::Value& ids = root["id"];
  if (ids.isNull()) return "\"id\" is null";
  if (ids.isString()) return "\"id\" is a string";
  if (ids.isBool()) return "\"id\" is a boolean";
  if (ids.isNumeric()) return "\"id\" is a number";
  return "the \"id\" array is empty";
}

void MakeSubjectMap(const std::vector<std::string>& probe_names,
                    SubjectMap* subject_map) {
  const int32_t count = static_cast<int32_t>(probe_names.size());
  for (int32_t i = 0; i < count; ++i) {
    (*subject_map)[probe_names[i]].push_back(i);
  }
}

void LoadProbeIndicesOrDie(const std::string& path,
                           std::vector<int32_t>* probe_indices) {
  const Json::Value root = ParseJsonOrDie(path);
  RequireArrayOrScalar(path, root, "the root");
  if (!root.isArray()) return;
  for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
    try {
      probe_indices->push_back(root[i].asInt());
    } catch (const Json::Exception& e) {
      DieWithMessage(path, "element " + std::to_string(i) + ": " + e.what());
    }
  }
}

void LoadProbeScoreMatricesOrDie(const std::string& path,
                                 std::vector<cv::Mat>* matrices) {
  const Json::Value root = ParseJsonOrDie(path);
  RequireArrayOrScalar(path, root, "the root");
  const Json::ArrayIndex size = root.isArray() ? root.size() : 0;
  // Convert every path before loading anything, so that a bad element ends
  // the program before any matrix has been read.
  std::vector<std::string> paths;
  for (Json::ArrayIndex i = 0; i < size; ++i) {
    paths.push_back(ElementToNameOrDie(path, "the list", i, root[i]));
  }
  matrices->resize(size);
  for (Json::ArrayIndex i = 0; i < size; ++i) {
    // A file that cannot be loaded leaves the entry as it was.
    cv::Mat loaded;
    if (MatIO::Load(paths[i], &loaded)) (*matrices)[i] = loaded;
  }
}
