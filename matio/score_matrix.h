// Score matrices come in two file formats, told apart by their first bytes,
// never by their names: the project's matrix files (matio/mat_io.h) and
// NumPy .npy files (matio/npy_file.h). This module reads the start of a
// score file to tell which, and loads a whole score matrix from either.
#ifndef FUSE_RESULTS_MATIO_SCORE_MATRIX_H_
#define FUSE_RESULTS_MATIO_SCORE_MATRIX_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

#include "matio/mat_io.h"
#include "matio/npy_file.h"

// The first bytes of a score file, read to tell its format, and what kind
// of file it is.
struct ScoreFileStart {
  char bytes[16] = {};
  size_t size = 0;         // 16, or fewer when the file ends or fails first.
  int error_number = 0;    // Why it failed, when it did; else 0.
  int64_t file_size = -1;  // A regular file's length; -1 for a pipe and the
                           // like, whose length is learnt by reading.
  bool npy() const { return HasNpyMagic(bytes, size); }
};

// ReadScoreFileStart reads the first 16 bytes (fewer only at the end of
// the stream or on an error) of `file`, just opened, into `*start`.
void ReadScoreFileStart(FILE* file, ScoreFileStart* start);

// StreamFromStart returns a read-only stdio stream, unbuffered, that
// delivers the bytes of `start` and then what `rest` (the file `start` was
// read from) delivers, so that a reader sees the file from its beginning
// even where it cannot seek (a pipe). A failed read of `start` is reported
// again once its bytes are delivered. The caller closes it before `rest`;
// closing it leaves `rest` open. Returns nullptr when it cannot be made.
FILE* StreamFromStart(const ScoreFileStart& start, FILE* rest);

// LoadScoreMatrix reads the score matrix at `path`, a matrix file or a
// .npy file, into `*mat`. A matrix file is read exactly as MatIO::Load
// reads it (same result, same messages) and `*changed_values` is 0. A .npy
// file becomes a fresh CV_32FC1 matrix (see ReadNpyMatrix) and
// `*changed_values` the count of its float64 values that float32 cannot
// hold exactly (`changed_values` may be null). Returns false with a one-line
// `error` when the file cannot be opened or read or is not a score matrix;
// `*mat` must then not be used.
bool LoadScoreMatrix(const std::string& path, cv::Mat* mat,
                     int64_t* changed_values, std::string* error);

#endif  // FUSE_RESULTS_MATIO_SCORE_MATRIX_H_
