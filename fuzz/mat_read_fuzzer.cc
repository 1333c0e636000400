// MatIO::read (and so MatIO::Load, which calls it on the opened file) on an
// arbitrary matrix file, from a regular file and from a stream of unknown
// length: both keep the reader's contract and agree with each other, and
// reading the same bytes again into the matrix just read keeps its storage.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/matrix_contract.h"
#include "matio/mat_io.h"

namespace {

// Reads `data` through `file` into `*mat` and checks the outcome; returns
// whether the read succeeded.
bool ReadAndCheck(FILE* file, const uint8_t* data, size_t size, cv::Mat* mat) {
  std::string error;
  const bool ok = MatIO::read(file, mat, &error);
  fuzz::CheckRead(data, size, INT64_MAX, ok, error, *mat,
                  ok ? ftello(file) : -1);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool outcomes[2];
  for (int regular = 0; regular < 2; ++regular) {
    FILE* file =
        regular ? fuzz::OpenRegular(data, size) : fuzz::OpenMemory(data, size);
    FUZZ_CHECK(file != nullptr);
    cv::Mat mat;
    outcomes[regular] = ReadAndCheck(file, data, size, &mat);
    if (outcomes[regular] && mat.data != nullptr) {
      const cv::Mat sharer = mat;
      rewind(file);
      FUZZ_CHECK(ReadAndCheck(file, data, size, &mat));
      FUZZ_CHECK(mat.data == sharer.data);
    }
    fclose(file);
  }
  FUZZ_CHECK(outcomes[0] == outcomes[1]);
  return 0;
}
