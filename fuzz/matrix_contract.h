// The contract every matrix reader keeps, checked against the raw bytes of
// the matrix file it was given, and the two kinds of stdio stream the
// readers meet: one whose length they can learn (a regular file) and one
// whose length they cannot (a memory stream, as a pipe).
#ifndef FUSE_RESULTS_FUZZ_MATRIX_CONTRACT_H_
#define FUSE_RESULTS_FUZZ_MATRIX_CONTRACT_H_

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/core.hpp>

// Ends the run with an abort, which libFuzzer reports with the input, when
// `condition` does not hold.
#define FUZZ_CHECK(condition)                                           \
  do {                                                                  \
    if (!(condition)) {                                                 \
      std::fprintf(stderr, "contract broken: %s (%s:%d)\n", #condition, \
                   __FILE__, __LINE__);                                 \
      std::abort();                                                     \
    }                                                                   \
  } while (0)

namespace fuzz {

// Checks the outcome of reading at most `limit` rows of the matrix file
// `file` (`size` bytes): a failure carries a message; a success needs a
// valid header and all the kept rows' bytes, took exactly the header and
// those rows from the stream (`consumed`, or -1 when unknown), and yields
// exactly the stored elements of each kept row.
inline void CheckRead(const uint8_t* file, size_t size, int64_t limit, bool ok,
                      const std::string& error, const cv::Mat& mat,
                      int64_t consumed) {
  if (!ok) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  FUZZ_CHECK(size >= 16);
  int32_t header[4];
  std::memcpy(header, file, sizeof(header));
  const int64_t rows = header[0], cols = header[1], step = header[2];
  const int type = header[3] & 0xFFF;
  FUZZ_CHECK(rows >= 0 && cols >= 0 && (type & 7) != 7);
  static const int64_t kDepthBytes[] = {1, 1, 2, 2, 4, 4, 8};
  const int64_t row_bytes = ((type >> 3) + 1) * kDepthBytes[type & 7] * cols;
  FUZZ_CHECK(rows == 0 || cols == 0 || step >= row_bytes);
  const int64_t kept = std::min(std::max(limit, int64_t{0}), rows);
  const int64_t length = kept * step;
  FUZZ_CHECK(length >= 0 && 16 + length <= static_cast<int64_t>(size));
  if (consumed >= 0) FUZZ_CHECK(consumed == 16 + length);
  FUZZ_CHECK(mat.dims == 2 && mat.rows == kept && mat.cols == cols &&
             mat.type() == type);
  for (int64_t r = 0; r < kept && row_bytes > 0; ++r) {
    FUZZ_CHECK(std::memcmp(mat.ptr(static_cast<int>(r)), file + 16 + r * step,
                           static_cast<size_t>(row_bytes)) == 0);
  }
}

// OpenMemory returns a stdio stream over `data` whose length the readers
// cannot learn (no descriptor), as with a pipe.
inline FILE* OpenMemory(const uint8_t* data, size_t size) {
  if (size == 0) return std::fopen("/dev/null", "rb");
  return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// OpenRegular returns a stdio stream over a regular file (in memory)
// holding `data`, whose length the readers can learn.
inline FILE* OpenRegular(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("matrix", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  return fdopen(dup(fd), "rb");
}

}  // namespace fuzz

#endif  // FUSE_RESULTS_FUZZ_MATRIX_CONTRACT_H_
