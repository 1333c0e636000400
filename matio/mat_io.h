// Matrix files: a 16-byte header (rows, cols, step, type; little-endian
// signed 32-bit each) followed by rows x step bytes of stored rows. MatIO is
// the only code that knows this layout.
//
// Every reader validates the header before it allocates: negative rows or
// cols, a type code whose depth is outside 0..6, a step smaller than one row
// of elements while rows and columns are present, or a data length that does
// not fit in memory sizes makes the read fail. A stream that ends before the
// announced data does too. A failed read leaves no partial success behind:
// the caller gets false and must not use the output matrix.
#ifndef FUSE_RESULTS_MATIO_MAT_IO_H_
#define FUSE_RESULTS_MATIO_MAT_IO_H_

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>

#include <opencv2/core.hpp>

// The fixed header at the start of every matrix file, as stored.
struct MatHeader {
  int32_t rows = 0;
  int32_t cols = 0;
  int32_t step = 0;
  int32_t type = 0;  // Bits 0-11 used; bits 12-31 ignored on reading.
};

class MatIO {
 public:
  MatIO() = delete;

  // Save writes `mat` to `path` (created or truncated) as write does.
  // Returns false when `mat` cannot be stored (see write; the path is then
  // not touched), the file cannot be opened, a write fails or the close
  // fails.
  static bool Save(const std::string& path, const cv::Mat& mat);

  // Load reads the matrix file at `path` into `*mat`. Returns false, with
  // `*mat` untouched, when the file cannot be opened; returns false when the
  // file is malformed (see above). With `error`, a failure also leaves a
  // one-line description there.
  static bool Load(const std::string& path, cv::Mat* mat,
                   std::string* error = nullptr);

  // write writes the header and the data section of `mat` to `file` at its
  // current position, in pieces of at most 256 MiB, and flushes it. A
  // matrix whose rows are not contiguous is stored with its own stride (the
  // bytes between rows included) when that span lies within its storage,
  // else as its contiguous copy (step = cols x element size). Returns false
  // when a write fails or `mat` cannot be stored: more than two dimensions,
  // depth 7, or a row of 2 GiB or more.
  static bool write(const cv::Mat& mat, FILE* file);

  // read reads one matrix from `file` at its current position into `*mat`,
  // in pieces of at most 512 MiB. Storage of `*mat` is reused when it already
  // has the file's rows, cols and type; otherwise it is replaced. Returns
  // false on a malformed header, a stream that ends early, or storage that
  // cannot be allocated. On a stream whose length cannot be known, memory
  // is taken as the data arrives, never on the header's word alone.
  static bool read(FILE* file, cv::Mat* mat, std::string* error = nullptr);

  // PartialRead reads the header and the first min(n, rows) rows, in pieces
  // of at most 256 MiB, leaving `file` right after them. Storage is reused as
  // by read. Returns false on a malformed header, a stream that ends early,
  // or storage that cannot be allocated.
  static bool PartialRead(FILE* file, cv::Mat* mat, int n,
                          std::string* error = nullptr);

  // Write writes `mat` to `stream` as write does. Returns false when the
  // stream fails.
  static bool Write(const cv::Mat& mat, std::ostream* stream);

  // Read reads one matrix from `stream` into fresh contiguous storage that
  // replaces what `*mat` held (storage is never reused). Returns false on a
  // malformed header, a stream that ends early, or storage that cannot be
  // allocated; `*mat` is then unchanged.
  static bool Read(cv::Mat* mat, std::istream* stream,
                   std::string* error = nullptr);

  // LoadFromMatlabMat loads nothing: it always returns false and leaves
  // `*mat` unchanged.
  static bool LoadFromMatlabMat(const std::string& path,
                                const std::string& variable, cv::Mat* mat);

  // ReadHeader reads the 16 header bytes from `file`, masks the type to its
  // lower 12 bits and validates it as above. Returns false (with `error`)
  // when the stream ends early or the header is invalid.
  static bool ReadHeader(FILE* file, MatHeader* header,
                         std::string* error = nullptr);

  // WriteHeader writes the 16 header bytes of `header` to `file` (type
  // masked to its lower 12 bits), for writers that stream the rows
  // themselves. Returns false when the write fails.
  static bool WriteHeader(FILE* file, const MatHeader& header);

  // ElementSize returns the bytes of one element of `type` (channels x depth
  // size), or 0 when its depth is outside 0..6.
  static int64_t ElementSize(int32_t type);
};

// CreateOnHugePages makes `out` a fresh rows x cols matrix of `type`
// (continuous, uninitialized). When it is 4 MiB or more, its storage starts
// on a 2 MiB boundary and the kernel is asked to back it with huge pages:
// a large matrix is then filled with a few dozen page faults instead of
// thousands, and read at scattered places with fewer TLB misses. A hint
// only: nothing else changes where the kernel declines it. Throws as
// cv::Mat::create does (std::bad_alloc when memory runs out).
void CreateOnHugePages(int rows, int cols, int type, cv::Mat* out);

#endif  // FUSE_RESULTS_MATIO_MAT_IO_H_
