// MatIO::PartialRead on an arbitrary matrix file with an arbitrary row
// limit: the first 4 input bytes are the limit n (any int, negative
// included), the rest is the file. From a regular file and from a stream of
// unknown length, it keeps the reader's contract for min(n, rows) rows,
// leaves the stream right after them, and both agree.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/matrix_contract.h"
#include "matio/mat_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t n;
  std::memcpy(&n, data, 4);
  const uint8_t* file_bytes = data + 4;
  const size_t file_size = size - 4;
  bool outcomes[2];
  for (int regular = 0; regular < 2; ++regular) {
    FILE* file = regular ? fuzz::OpenRegular(file_bytes, file_size)
                         : fuzz::OpenMemory(file_bytes, file_size);
    FUZZ_CHECK(file != nullptr);
    cv::Mat mat;
    std::string error;
    outcomes[regular] = MatIO::PartialRead(file, &mat, n, &error);
    fuzz::CheckRead(file_bytes, file_size, n, outcomes[regular], error, mat,
                    outcomes[regular] ? ftello(file) : -1);
    fclose(file);
  }
  FUZZ_CHECK(outcomes[0] == outcomes[1]);
  return 0;
}
