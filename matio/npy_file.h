// NumPy .npy files holding a score matrix: the only code that knows their
// layout. A .npy file is the magic bytes "\x93NUMPY", a version (1.0, 2.0 or
// 3.0), the length of a header, the header (a Python dict literal with the
// keys 'descr', 'fortran_order' and 'shape') and the array's elements.
//
// A score matrix is a 2-D array of little-endian float32 ('<f4') or float64
// ('<f8') values, in C order (row after row) or Fortran order (column after
// column), with at most 2^31 - 1 rows and columns and rows of at most
// 2^31 - 1 bytes. Every other array is refused with one line saying what the
// file holds. Values are always delivered as float32: a float64 value
// becomes the nearest float32 (infinite beyond float32's range, NaN staying
// NaN), as NumPy's astype(np.float32) makes it.
#ifndef FUSE_RESULTS_MATIO_NPY_FILE_H_
#define FUSE_RESULTS_MATIO_NPY_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// The bytes every .npy file begins with.
inline constexpr char kNpyMagic[] = "\x93NUMPY";
inline constexpr size_t kNpyMagicBytes = 6;

// What a valid .npy header says about the score matrix after it.
struct NpyHeader {
  int32_t rows = 0;
  int32_t cols = 0;
  int32_t element_size = 4;  // 4: float32 ('<f4'); 8: float64 ('<f8').
  bool fortran_order = false;
  int64_t data_offset = 0;  // Bytes from the start of the file to the data.

  // Bytes of the data section: rows x cols x element_size, below 2^62.
  int64_t data_bytes() const { return int64_t{rows} * cols * element_size; }
};

// HasNpyMagic returns true iff the `size` bytes at `start` begin with the
// .npy magic.
bool HasNpyMagic(const char* start, size_t size);

// ReadNpyHeader reads and validates the header of a .npy file whose first
// `start_size` bytes (the magic and up to 16 bytes in all) are `start` and
// whose following bytes come from `file`. `file_size` is the length of the
// file when it is a regular file, else -1. Returns true with `*header`,
// `file` then positioned at the data. Returns false with a one-line `error`
// when the stream ends within the header, the version is not 1.0, 2.0 or
// 3.0, the header is malformed, the array is not a score matrix, a Fortran
// order array comes from a stream that is not a regular file, or a regular
// file is too short for the header length or the data the header announces
// (refused before anything is allocated on the header's word).
bool ReadNpyHeader(const char* start, size_t start_size, int64_t file_size,
                   FILE* file, NpyHeader* header, std::string* error);

// NarrowToFloats converts the `count` little-endian float64 values stored
// at `bytes` to float32 at `out` (see above) and returns how many of them
// changed: values float32 cannot hold exactly, overflow to infinity
// included; NaN counts as unchanged.
int64_t NarrowToFloats(const char* bytes, int64_t count, float* out);

// ReadNpyMatrix reads the data section of the .npy file `file`, positioned
// at its data by ReadNpyHeader with `header`, into a fresh rows x cols
// CV_32FC1 matrix that replaces `*mat`, and sets `*changed_values` to the
// count of float64 values that changed (0 for float32). `regular` says
// whether `file` is a regular file (its length checked by ReadNpyHeader);
// from any other stream memory is taken as the data arrives, never on the
// header's word alone. Fortran order is transposed from a regular file
// with positioned reads through bounded scratch memory. Returns false with
// a one-line `error`, `*mat` unchanged, when the data ends early, a read
// fails or storage cannot be allocated.
bool ReadNpyMatrix(FILE* file, const NpyHeader& header, bool regular,
                   cv::Mat* mat, int64_t* changed_values, std::string* error);

// ReadNpyFortranBlock reads elements (r, c) of the Fortran-order data of
// `header` for r in [row, row + rows) and c in [col, col + cols), which must
// lie within the matrix, from the regular file `fd` with positioned reads,
// into out[(r - row) * out_stride + (c - col)] as float32. Uses `*scratch`
// (at most a few MiB) for the reads and adds the float64 values that
// changed to `*changed_values`. Returns false with a one-line `error` when
// the file ends before the data or a read fails.
bool ReadNpyFortranBlock(int fd, const NpyHeader& header, int32_t row,
                         int32_t rows, int32_t col, int32_t cols,
                         int64_t out_stride, float* out,
                         std::vector<char>* scratch, int64_t* changed_values,
                         std::string* error);

#endif  // FUSE_RESULTS_MATIO_NPY_FILE_H_
