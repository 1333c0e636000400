// SaveNpy writes a float matrix as a .npy file, for tests of the readers.
#ifndef FUSE_RESULTS_TESTS_MPI_SAVE_NPY_H_
#define FUSE_RESULTS_TESTS_MPI_SAVE_NPY_H_

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "tests/test_util.h"

namespace testutil {

// SaveNpy writes `m` (CV_32F) to `path` as a version 1.0 .npy file of
// float64 values when `wide`, else float32, in Fortran order when
// `fortran`, else C order.
inline void SaveNpy(const std::string& path, const cv::Mat& m, bool wide,
                    bool fortran) {
  std::string dict = std::string("{'descr': '") + (wide ? "<f8" : "<f4") +
                     "', 'fortran_order': " + (fortran ? "True" : "False") +
                     ", 'shape': (" + std::to_string(m.rows) + ", " +
                     std::to_string(m.cols) + "), }";
  dict.append(64 - (10 + dict.size() + 1) % 64, ' ');
  dict += '\n';
  std::string bytes = std::string("\x93NUMPY\x01\x00", 8);
  const uint16_t length = static_cast<uint16_t>(dict.size());
  bytes.append(reinterpret_cast<const char*>(&length), 2);
  bytes += dict;
  for (int64_t i = 0; i < int64_t{m.rows} * m.cols; ++i) {
    const int r = static_cast<int>(fortran ? i % m.rows : i / m.cols);
    const int c = static_cast<int>(fortran ? i / m.rows : i % m.cols);
    const float value = m.at<float>(r, c);
    if (wide) {
      const double widened = value;
      bytes.append(reinterpret_cast<const char*>(&widened), 8);
    } else {
      bytes.append(reinterpret_cast<const char*>(&value), 4);
    }
  }
  WriteFile(path, bytes);
}

}  // namespace testutil

#endif  // FUSE_RESULTS_TESTS_MPI_SAVE_NPY_H_
