// Probe metadata: the probe info file, the probe names and the subject map,
// and the JSON list loaders. Every JSON input goes through ParseJsonOrDie.
//
// Each loader has a core that reports (Read...: true, or false with a
// message and whether the file could be opened at all) and a wrapper that
// decides (...OrDie, and LoadProbeInfo): it ends the program with status 1
// when its input cannot be used: "Could not open <path>" on standard output
// for a file that cannot be opened; "<path>: <message>" on standard error
// (the parser's own error text, or a one-line description) for a document
// that is not what it must be. Nothing has been written to any output file
// at that point. A core that fails leaves its outputs as they were.
#ifndef FUSE_RESULTS_PROBES_PROBE_INFO_H_
#define FUSE_RESULTS_PROBES_PROBE_INFO_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>
#include <opencv2/core.hpp>

// Subject name -> ascending probe indices of that subject. std::string keys
// compare as unsigned bytes, so subjects are in plain byte order.
using SubjectMap = std::map<std::string, std::vector<int32_t>>;

// ReportUnusableInput says what the ...OrDie functions say before they end
// the program: "Could not open <path>" on standard output when the file
// could not be `opened`, else "<path>: <error>" on standard error. For a
// caller that ends the run itself.
void ReportUnusableInput(const std::string& path, bool opened,
                         const std::string& error);

// ReadJson parses the JSON document at `path` into `*root`. Comments are
// accepted and any value may be the root. Returns false when the file
// cannot be opened (`*opened` false) or is not valid JSON (the message is
// "not valid JSON:" and the parser's errors, each on lines of its own).
bool ReadJson(const std::string& path, Json::Value* root, bool* opened,
              std::string* error);

// ParseJsonOrDie returns the root of the JSON document at `path`, as
// ReadJson reads it.
Json::Value ParseJsonOrDie(const std::string& path);

// ReadProbeInfo is the core of LoadProbeInfo, with its outputs and rules.
bool ReadProbeInfo(const std::string& path, int32_t* probe_count,
                   SubjectMap* subject_map,
                   std::vector<std::string>* probe_names, bool* opened,
                   std::string* error);

// LoadProbeInfo reads the probe info file at `path`: element i of its "id"
// array is the subject name of probe i. Appends the names to
// `*probe_names`, sets `*probe_count` to their number and fills
// `*subject_map` from them. A string element is the name itself; null
// reads as "" and true/false as "true"/"false"; a number, array or object
// ends the program with "Type is not convertible to string". A missing
// "id", or one that is null, a string, a number or a boolean, names no
// probes. A root that is neither an object nor null, or an "id" that is an
// object, ends the program.
void LoadProbeInfo(const std::string& path, int32_t* probe_count,
                   SubjectMap* subject_map,
                   std::vector<std::string>* probe_names);

// WhyNoProbes returns what the root of a probe info document that names no
// probes holds instead of names: "no \"id\" array", "\"id\" is null",
// "\"id\" is a string", "\"id\" is a number", "\"id\" is a boolean" or
// "the \"id\" array is empty".
std::string WhyNoProbes(const Json::Value& root);

// MakeSubjectMap appends index i to the list of `probe_names[i]` for every
// i in order, inserting names that are not yet keys. Existing keys keep
// their lists; new indices go behind them.
void MakeSubjectMap(const std::vector<std::string>& probe_names,
                    SubjectMap* subject_map);

// LoadProbeIndicesOrDie appends the elements of the JSON array at `path`,
// converted to 32-bit signed integers, to `*probe_indices` in file order.
// The JSON library converts: a real in range is truncated, a boolean is 0
// or 1 and null is 0; a string, an array, an object or a number outside the
// 32-bit range ends the program. A root that is a string, number, boolean
// or null adds nothing; an object root ends the program.
void LoadProbeIndicesOrDie(const std::string& path,
                           std::vector<int32_t>* probe_indices);

// ReadProbeIndices is the core of LoadProbeIndicesOrDie.
bool ReadProbeIndices(const std::string& path,
                      std::vector<int32_t>* probe_indices, bool* opened,
                      std::string* error);

// LoadProbeScoreMatricesOrDie resizes `*matrices` to the length of the JSON
// array of paths at `path` and loads entry i from path i with MatIO::Load.
// An entry whose file cannot be loaded keeps what it held (an empty matrix
// for an added entry), without a message. A root that is a string, number,
// boolean or null empties the list; an object root or an element that is
// not a string (null and booleans convert as in LoadProbeInfo) ends the
// program.
void LoadProbeScoreMatricesOrDie(const std::string& path,
                                 std::vector<cv::Mat>* matrices);

// ReadMatrixPaths is the reading of LoadProbeScoreMatricesOrDie's list:
// sets `*paths` to its paths, converted by the same rules, without loading
// any matrix.
bool ReadMatrixPaths(const std::string& path, std::vector<std::string>* paths,
                     bool* opened, std::string* error);

#endif  // FUSE_RESULTS_PROBES_PROBE_INFO_H_
