#include "probes/probe_info.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

#include "matio/mat_io.h"

namespace {

// OrDie ends the program as every ...OrDie function does: with
// ReportUnusableInput's lines and status 1.
[[noreturn]] void OrDie(const std::string& path, bool opened,
                        const std::string& error) {
  ReportUnusableInput(path, opened, error);
  std::exit(1);
}

// Element access below assumes an array (or nothing at all); an object in
// its place would be misread, so it is refused.
bool ArrayOrScalar(const Json::Value& value, const char* what,
                   std::string* error) {
  if (!value.isObject()) return true;
  *error = std::string(what) + " must be an array, not an object";
  return false;
}

// ElementToName converts a JSON element to a name: strings stand for
// themselves, null is "" and booleans are "true"/"false". Numbers are never
// turned into names, so a file that lists numbers fails loudly instead of
// silently naming subjects "1", "2", ...
bool ElementToName(const char* array, Json::ArrayIndex index,
                   const Json::Value& element, std::string* name,
                   std::string* error) {
  if (element.isString() || element.isNull() || element.isBool()) {
    *name = element.asString();
    return true;
  }
  *error = std::string("element ") + std::to_string(index) + " of " + array +
           ": Type is not convertible to string";
  return false;
}

}  // namespace

void ReportUnusableInput(const std::string& path, bool opened,
                         const std::string& error) {
  if (!opened) {
    std::printf("Could not open %s\n", path.c_str());
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
  }
}

bool ReadJson(const std::string& path, Json::Value* root, bool* opened,
              std::string* error) {
  std::ifstream stream(path, std::ios::in | std::ios::binary);
  *opened = !stream.fail();
  if (!*opened) {
    *error = "cannot be opened";
    return false;
  }
  Json::CharReaderBuilder builder;  // Defaults: comments accepted, any root.
  std::string errors;
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, stream, root, &errors);
  } catch (const Json::Exception& e) {
    // Nesting beyond the parser's depth limit is reported by a throw.
    errors = e.what();
  }
  if (parsed) return true;
  if (!errors.empty() && errors.back() == '\n') errors.pop_back();
  *error = "not valid JSON:\n" + errors;
  return false;
}

Json::Value ParseJsonOrDie(const std::string& path) {
  Json::Value root;
  bool opened = false;
  std::string error;
  if (!ReadJson(path, &root, &opened, &error)) OrDie(path, opened, error);
  return root;
}

bool ReadProbeInfo(const std::string& path, int32_t* probe_count,
                   SubjectMap* subject_map,
                   std::vector<std::string>* probe_names, bool* opened,
                   std::string* error) {
  Json::Value root;
  if (!ReadJson(path, &root, opened, error)) return false;
  if (!root.isObject() && !root.isNull()) {
    *error = "the root must be an object holding an \"id\" array";
    return false;
  }
  // Read in place (a missing member reads as null) and walked in order: a
  // JSON array is a map by index, so indexing each element would search.
  const Json::Value& ids = static_cast<const Json::Value&>(root)["id"];
  if (!ArrayOrScalar(ids, "\"id\"", error)) return false;
  // Every name is converted before any is kept: a refusal leaves the
  // outputs as they were.
  std::vector<std::string> names;
  if (ids.isArray()) {
    names.reserve(ids.size());
    Json::ArrayIndex i = 0;
    for (const Json::Value& element : ids) {
      std::string name;
      if (!ElementToName("\"id\"", i++, element, &name, error)) return false;
      names.push_back(std::move(name));
    }
  }
  probe_names->insert(probe_names->end(),
                      std::make_move_iterator(names.begin()),
                      std::make_move_iterator(names.end()));
  *probe_count = static_cast<int32_t>(probe_names->size());
  MakeSubjectMap(*probe_names, subject_map);
  return true;
}

void LoadProbeInfo(const std::string& path, int32_t* probe_count,
                   SubjectMap* subject_map,
                   std::vector<std::string>* probe_names) {
  bool opened = false;
  std::string error;
  if (!ReadProbeInfo(path, probe_count, subject_map, probe_names, &opened,
                     &error)) {
    OrDie(path, opened, error);
  }
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

bool ReadProbeIndices(const std::string& path,
                      std::vector<int32_t>* probe_indices, bool* opened,
                      std::string* error) {
  Json::Value root;
  if (!ReadJson(path, &root, opened, error) ||
      !ArrayOrScalar(root, "the root", error)) {
    return false;
  }
  std::vector<int32_t> indices;
  for (Json::ArrayIndex i = 0; root.isArray() && i < root.size(); ++i) {
    try {
      indices.push_back(root[i].asInt());
    } catch (const Json::Exception& e) {
      *error = "element " + std::to_string(i) + ": " + e.what();
      return false;
    }
  }
  probe_indices->insert(probe_indices->end(), indices.begin(), indices.end());
  return true;
}

void LoadProbeIndicesOrDie(const std::string& path,
                           std::vector<int32_t>* probe_indices) {
  bool opened = false;
  std::string error;
  if (!ReadProbeIndices(path, probe_indices, &opened, &error)) {
    OrDie(path, opened, error);
  }
}

bool ReadMatrixPaths(const std::string& path, std::vector<std::string>* paths,
                     bool* opened, std::string* error) {
  Json::Value root;
  if (!ReadJson(path, &root, opened, error) ||
      !ArrayOrScalar(root, "the root", error)) {
    return false;
  }
  std::vector<std::string> converted;
  for (Json::ArrayIndex i = 0; root.isArray() && i < root.size(); ++i) {
    std::string matrix_path;
    if (!ElementToName("the list", i, root[i], &matrix_path, error)) {
      return false;
    }
    converted.push_back(std::move(matrix_path));
  }
  *paths = std::move(converted);
  return true;
}

void LoadProbeScoreMatricesOrDie(const std::string& path,
                                 std::vector<cv::Mat>* matrices) {
  // Every path is converted before anything is loaded, so that a bad
  // element ends the program before any matrix has been read.
  std::vector<std::string> paths;
  bool opened = false;
  std::string error;
  if (!ReadMatrixPaths(path, &paths, &opened, &error)) {
    OrDie(path, opened, error);
  }
  matrices->resize(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    // A file that cannot be loaded leaves the entry as it was.
    cv::Mat loaded;
    if (MatIO::Load(paths[i], &loaded)) (*matrices)[i] = loaded;
  }
}
