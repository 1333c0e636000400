// MatRowStream reads a score matrix in pieces without ever holding it: the
// way to make one sequential pass over a score matrix too large to load.
// The file is a matrix file of floats or a NumPy .npy file of float32 or
// float64 values (matio/score_matrix.h tells them apart by their first
// bytes); either is delivered as float32. Matrix files and C-order .npy
// files are read sequentially and work on pipes as well as on files;
// Fortran-order .npy files are read with positioned reads from regular
// files only.
#ifndef FUSE_RESULTS_MATIO_MAT_STREAM_H_
#define FUSE_RESULTS_MATIO_MAT_STREAM_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "matio/mat_io.h"
#include "matio/npy_file.h"

struct ScoreFileStart;

// A run of consecutive elements of one row, as delivered by Next.
struct RowSegment {
  int32_t row = 0;
  int32_t first_col = 0;
  int32_t count = 0;
  const float* values = nullptr;  // `count` elements, inside the buffer.
};

// A read that Next left to its caller: `count` elements from data-section
// offset `at` into `dst`.
struct DeferredRead {
  float* dst = nullptr;
  int64_t count = 0;
  int64_t at = 0;
};

class MatRowStream {
 public:
  MatRowStream() = default;
  MatRowStream(const MatRowStream&) = delete;
  MatRowStream& operator=(const MatRowStream&) = delete;
  ~MatRowStream();

  // Open opens `path` and reads and validates its header. Returns false
  // with `error` when the file cannot be opened (`*opened` false), the
  // header is invalid or describes no score matrix (for .npy files, see
  // ReadNpyHeader: a Fortran-order .npy file on a pipe included), or a
  // regular file holds less data than its header announces (`*opened`
  // true).
  bool Open(const std::string& path, bool* opened, std::string* error);

  // The matrix as the header describes it. For a .npy file: its rows and
  // columns, type CV_32FC1 (float32 and float64 alike, as delivered) and
  // step = columns x the element size in the file (4 or 8).
  const MatHeader& header() const { return header_; }

  // PieceFloats returns the capacity Next's buffer should have: `suggested`
  // for a matrix file and a C-order .npy file; for a Fortran-order one,
  // enough for the rows of the file times 128 columns but at most 16 MiB
  // (4 Mi floats), and never less than `suggested`, so that pieces hold
  // wide blocks of columns. May be called before Select.
  int64_t PieceFloats(int64_t suggested) const;

  // Select sets what Next delivers: the first `cols` elements (at most the
  // column count) of rows 0 .. rows - 1 (at most the row count). Must be
  // called once, before Next, on a matrix of 32-bit floats (type 5).
  void Select(int32_t rows, int32_t cols);

  // SelectColumns is Select for one share of the columns: what Next
  // delivers is columns first_col .. end_col - 1 (cut to the column count)
  // of rows 0 .. rows - 1, and only those are read, with positioned reads,
  // so that several readers of one file each read their own share. The
  // file must be a regular file (Open said so: `seekable()`). In this mode
  // bytes_done() and bytes_total() count the bytes of the share, and the
  // rest of the file is neither read nor checked beyond Open's check of
  // its length.
  void SelectColumns(int32_t rows, int32_t first_col, int32_t end_col);

  // SelectRows is SelectColumns for one share of the rows: columns 0 ..
  // cols - 1 of rows first_row .. end_row - 1 (cut to the matrix), read
  // with positioned reads (for rows stored back to back, in long runs).
  // Not for a column-major file.
  void SelectRows(int32_t first_row, int32_t end_row, int32_t cols);

  // True iff the file stores its columns one after the other (a
  // Fortran-order .npy file).
  bool column_major() const { return npy_ && npy_header_.fortran_order; }

  // True iff the file is a regular file (its length was checked at Open).
  bool seekable() const { return seekable_; }

  // Next reads the next selected elements, up to `capacity` (at least 1) of
  // them, into `buffer` and replaces `*segments` with the runs they form.
  // Every selected element is delivered exactly once. From a matrix file or
  // a C-order .npy file the runs come in row and column order; from a
  // Fortran-order .npy file, block of columns by block of columns: a piece
  // holds the selected rows, in order, of the columns [c0, c1), all runs
  // from c0 to c1 (or, when `capacity` is below the selected rows, a run of
  // one column for each of the next rows of column c0). Returns false with
  // `error` when the stream ends early or fails; at the end of the
  // selection it returns true with no segment, after making sure that the
  // whole data section is present.
  bool Next(float* buffer, int64_t capacity, std::vector<RowSegment>* segments,
            std::string* error);

  // True iff Next can leave its reads to the caller: a regular file of
  // float32 values stored row by row.
  bool CanDeferReads() const {
    return seekable_ && element_size_ == 4 && !column_major();
  }

  // Next with `reads` lays out the next piece without reading it: the
  // segments are Next's, but their values are there only once every read
  // of `*reads` (replaced) is done, by ReadDeferred. Everything else (what
  // is delivered, bytes_done()) is as with Next. Requires CanDeferReads();
  // the file's length was checked at Open, so laying out does not fail.
  bool Next(float* buffer, int64_t capacity, std::vector<RowSegment>* segments,
            std::vector<DeferredRead>* reads, std::string* error);

  // ReadDeferred does `read` with positioned reads. It may run on any
  // thread, at the same time as other calls of it and of Next. Returns
  // false with the error Next would give for the same missing bytes.
  bool ReadDeferred(const DeferredRead& read, std::string* error) const;

  // Bytes of the data section (as stored in the file) consumed so far, and
  // in all; of the share only, after SelectColumns.
  int64_t bytes_done() const { return share_ ? share_done_ : position_; }
  int64_t bytes_total() const { return share_ ? share_bytes_ : data_bytes_; }

  // The float64 values delivered so far that changed on becoming float32
  // (see NarrowToFloats); 0 for float32 files.
  int64_t changed_values() const { return changed_values_; }

 private:
  bool OpenMatrixFile(const ScoreFileStart& start, std::string* error);
  bool OpenNpyFile(const ScoreFileStart& start, std::string* error);
  bool ReadBytes(void* dst, int64_t length, std::string* error);
  // Reads `count` stored elements into `dst` as float32.
  bool ReadElements(float* dst, int64_t count, std::string* error);
  bool NextInColumns(float* buffer, int64_t capacity,
                     std::vector<RowSegment>* segments, std::string* error);
  bool NextInShare(float* buffer, int64_t capacity,
                   std::vector<RowSegment>* segments, std::string* error);
  // Reads `count` stored elements at data-section offset `at` with
  // positioned reads into `dst` as float32.
  bool ReadElementsAt(float* dst, int64_t count, int64_t at,
                      std::string* error);
  // Reads `length` bytes at data-section offset `at` into `dst`.
  bool ReadBytesAt(char* dst, int64_t length, int64_t at,
                   std::string* error) const;
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
  int32_t rows_ = 0;      // Selected rows end before rows_.
  int32_t cols_ = 0;
  int32_t first_col_ = 0;  // Selected columns: first_col_ .. cols_ - 1.
  int32_t row_ = 0;        // Next selected element: row_, col_.
  int32_t col_ = 0;
  bool share_ = false;       // SelectColumns: positioned reads of the share.
  int64_t data_offset_ = 0;  // Bytes before the data section.
  int64_t share_bytes_ = 0;
  int64_t share_done_ = 0;
  bool finished_ = false;
  int32_t element_size_ = 4;  // Bytes of a stored element.
  bool npy_ = false;
  NpyHeader npy_header_;  // When npy_.
  int64_t changed_values_ = 0;
  std::vector<char> scratch_;
  // While Next lays out a piece for a caller that reads it: where the reads
  // go instead of being done.
  std::vector<DeferredRead>* deferred_ = nullptr;
};

#endif  // FUSE_RESULTS_MATIO_MAT_STREAM_H_
