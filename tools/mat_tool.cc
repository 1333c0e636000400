// mat_tool loads a matrix file with MatIO::Load, prints what it loaded and,
// given a second path, saves the matrix there with MatIO::Save. It lets
// readers and writers of matrix files in other languages check themselves
// against MatIO bit for bit.
//
//   mat_tool IN [OUT]
//
// Standard output gets one line: "rows cols step type checksum", where step
// is the loaded matrix's row stride in bytes, type its type code and
// checksum the 64-bit FNV-1a hash (16 hex digits) of its element bytes, row
// by row, without the bytes that lie between rows. Exit status 0 on success,
// 1 with a one-line message on standard error when IN cannot be loaded or
// OUT cannot be saved, 2 on bad usage.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "matio/mat_io.h"

namespace {

// Fnv1a returns the 64-bit FNV-1a hash of the element bytes of `mat`.
uint64_t Fnv1a(const cv::Mat& mat) {
  uint64_t hash = 0xCBF29CE484222325ull;
  const size_t row_bytes = static_cast<size_t>(mat.cols) * mat.elemSize();
  for (int row = 0; row < mat.rows; ++row) {
    const uchar* bytes = mat.ptr(row);
    for (size_t i = 0; i < row_bytes; ++i) {
      hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    }
  }
  return hash;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "Usage: mat_tool IN [OUT]\n");
    return 2;
  }
  const std::string in = argv[1];
  cv::Mat mat;
  std::string error;
  if (!MatIO::Load(in, &mat, &error)) {
    std::fprintf(stderr, "%s: %s\n", in.c_str(),
                 error.empty() ? "cannot open" : error.c_str());
    return 1;
  }
  if (argc == 3 && !MatIO::Save(argv[2], mat)) {
    std::fprintf(stderr, "%s: cannot save\n", argv[2]);
    return 1;
  }
  std::printf("%d %d %lld %d %016" PRIx64 "\n", mat.rows, mat.cols,
              static_cast<long long>(mat.step[0]), mat.type(), Fnv1a(mat));
  return 0;
}
