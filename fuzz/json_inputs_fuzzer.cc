// The JSON inputs (probe info file, probe index list, score matrix list) on
// arbitrary text, through the loaders' reporting cores, which are what the
// ...OrDie functions wrap. Each core either succeeds or refuses with a
// message (never crashes, leaks or throws), a refusal leaves its outputs as
// they were, and a probe info file that loads gives a subject map
// consistent with its names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/matrix_contract.h"  // FUZZ_CHECK
#include "probes/probe_info.h"

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("json", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0 && ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  bool opened = false;
  std::string error;

  int32_t count = -1;
  SubjectMap map;
  std::vector<std::string> names;
  if (ReadProbeInfo(path, &count, &map, &names, &opened, &error)) {
    FUZZ_CHECK(count == static_cast<int32_t>(names.size()));
    CheckSubjectMap(names, map);
  } else {
    FUZZ_CHECK(opened && !error.empty() && count == -1 && names.empty() &&
               map.empty());
  }

  std::vector<int32_t> indices = {7};
  error.clear();
  if (!ReadProbeIndices(path, &indices, &opened, &error)) {
    FUZZ_CHECK(opened && !error.empty() && indices.size() == 1);
  }

  std::vector<std::string> paths = {"kept"};
  error.clear();
  if (!ReadMatrixPaths(path, &paths, &opened, &error)) {
    FUZZ_CHECK(opened && !error.empty() && paths.size() == 1);
  }
  return 0;
}
