// MatRowStream reads the rows of a float matrix file in order, in pieces,
// without ever holding the matrix: the way to make one sequential pass over
// a score matrix too large to load. It works on pipes as well as on files.
#ifndef FUSE_RESULTS_MATIO_MAT_STREAM_H_
#define FUSE_RESULTS_MATIO_MAT_STREAM_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "matio/mat_io.h"

// A run of consecutive elements of one row, as delivered by Next.
struct RowSegment {
  int32_t row = 0;
  int32_t first_col = 0;
  int32_t count = 0;
  const float* values = nullptr;  // `count` elements, inside the buffer.
};

class MatRowStream {
 public:
  MatRowStream() = default;
  MatRowStream(const MatRowStream&) = delete;
  MatRowStream& operator=(const MatRowStream&) = delete;
  ~MatRowStream();

  // Open opens `path` and reads and validates its header. Returns false
  // with `error` when the file cannot be opened (`*opened` false), the
  // header is invalid, or a regular file holds less data than its header
  // announces (`*opened` true).
  bool Open(const std::string& path, bool* opened, std::string* error);

  const MatHeader& header() const { return header_; }

  // Select sets what Next delivers: the first `cols` elements (at most the
  // column count) of rows 0 .. rows - 1 (at most the row count). Must be
  // called once, before Next, on a matrix of 32-bit floats (type 5).
  void Select(int32_t rows, int32_t cols);

  // Next reads the next selected elements, up to `capacity` of them, into
  // `buffer` and replaces `*segments` with the runs they form, in row and
  // column order. Returns false with `error` when the stream ends early or
  // fails; at the end of the selection it returns true with no segment,
  // after making sure that the whole data section is present.
  bool Next(float* buffer, int64_t capacity, std::vector<RowSegment>* segments,
            std::string* error);

  // Bytes of the data section consumed so far, and in all.
  int64_t bytes_done() const { return position_; }
  int64_t bytes_total() const { return data_bytes_; }

 private:
  bool ReadBytes(void* dst, int64_t length, std::string* error);
  bool SkipBytes(int64_t length, std::string* error);
  bool Finish(std::string* error);
  // Appends the next `count` selected elements, held at `values`, as a
  // segment and moves past them; returns `count`.
  int32_t AddSegment(int32_t count, const float* values,
                     std::vector<RowSegment>* segments);

  FILE* file_ = nullptr;
  bool seekable_ = false;
  MatHeader header_;
  int64_t data_bytes_ = 0;
  int64_t position_ = 0;  // In the data section.
  int32_t rows_ = 0;
  int32_t cols_ = 0;
  int32_t row_ = 0;  // Next selected element: row_, col_.
  int32_t col_ = 0;
  bool finished_ = false;
  std::vector<char> scratch_;
};

#endif  // FUSE_RESULTS_MATIO_MAT_STREAM_H_
