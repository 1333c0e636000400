#include "matio/mat_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "matio/read_errors.h"
#include "matio/score_matrix.h"

namespace {

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Bytes through which skipped data and float64 values pass.
constexpr int64_t kScratchBytes = int64_t{1} << 20;
// Columns per piece of a Fortran-order file, and the most floats a piece
// of one needs. Blocks of 128 columns ran faster than wider ones (the
// piece stays in the cache between transposition and scan) and than
// narrower ones (fewer runs to scan).
constexpr int64_t kBlockColumns = 128;
constexpr int64_t kMaxBlockPieceFloats = int64_t{4} << 20;
#else
// Fuzzing builds use tiny sizes, so that small inputs reach every path.
constexpr int64_t kScratchBytes = 64;
constexpr int64_t kBlockColumns = 4;
constexpr int64_t kMaxBlockPieceFloats = 64;
#endif
constexpr int64_t kHeaderBytes = 16;

}  // namespace

MatRowStream::~MatRowStream() {
  if (file_ != nullptr) std::fclose(file_);
}

bool MatRowStream::Open(const std::string& path, bool* opened,
                        std::string* error) {
  *opened = false;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = std::string("cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  *opened = true;
  // Large reads go straight into the caller's buffer.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  ScoreFileStart start;
  ReadScoreFileStart(file_, &start);
  seekable_ = start.file_size >= 0;
  return start.npy() ? OpenNpyFile(start, error) : OpenMatrixFile(start, error);
}

bool MatRowStream::OpenMatrixFile(const ScoreFileStart& start,
                                  std::string* error) {
  // The header is read from the bytes already taken, as from the file.
  FILE* header_stream = StreamFromStart(start, file_);
  if (header_stream == nullptr) {
    *error = std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  const bool read = MatIO::ReadHeader(header_stream, &header_, error);
  std::fclose(header_stream);
  if (!read) return false;
  data_bytes_ = int64_t{header_.rows} * header_.step;
  data_offset_ = kHeaderBytes;
  if (seekable_) {
    const int64_t available = start.file_size - kHeaderBytes;
    if (available < data_bytes_) {
      *error = "header announces " + std::to_string(header_.rows) + " x " +
               std::to_string(header_.cols) + " elements (step " +
               std::to_string(header_.step) +
               ") = " + std::to_string(data_bytes_) + " data bytes but only " +
               std::to_string(std::max<int64_t>(available, 0)) + " remain";
      return false;
    }
  }
  return true;
}

bool MatRowStream::OpenNpyFile(const ScoreFileStart& start,
                               std::string* error) {
  if (!ReadNpyHeader(start.bytes, start.size, start.file_size, file_,
                     &npy_header_, error)) {
    return false;
  }
  npy_ = true;
  element_size_ = npy_header_.element_size;
  header_.rows = npy_header_.rows;
  header_.cols = npy_header_.cols;
  header_.step = npy_header_.cols * element_size_;  // Checked to fit.
  header_.type = CV_32FC1;
  data_bytes_ = npy_header_.data_bytes();
  data_offset_ = npy_header_.data_offset;
  return true;
}

int64_t MatRowStream::PieceFloats(int64_t suggested) const {
  if (!npy_ || !npy_header_.fortran_order) return suggested;
  return std::max(suggested,
                  std::min(std::max<int64_t>(header_.rows, 1) * kBlockColumns,
                           kMaxBlockPieceFloats));
}

void MatRowStream::Select(int32_t rows, int32_t cols) {
  rows_ = std::max(0, std::min(rows, header_.rows));
  cols_ = std::max(0, std::min(cols, header_.cols));
  if (cols_ == 0) rows_ = 0;
}

void MatRowStream::SelectColumns(int32_t rows, int32_t first_col,
                                 int32_t end_col) {
  Select(rows, end_col);
  share_ = true;
  first_col_ = std::max(0, std::min(first_col, cols_));
  col_ = first_col_;
  if (first_col_ == cols_) rows_ = 0;
  share_bytes_ = int64_t{rows_} * (cols_ - first_col_) * element_size_;
}

void MatRowStream::SelectRows(int32_t first_row, int32_t end_row,
                              int32_t cols) {
  SelectColumns(end_row, 0, cols);
  row_ = std::max(0, std::min(first_row, rows_));
  share_bytes_ = (int64_t{rows_} - row_) * cols_ * element_size_;
}

bool MatRowStream::ReadBytesAt(char* dst, int64_t length, int64_t at,
                               std::string* error) const {
  const int fd = fileno(file_);
  for (int64_t done = 0; done < length;) {
    const ssize_t got =
        pread(fd, dst + done, static_cast<size_t>(length - done),
              static_cast<off_t>(data_offset_ + at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = ShortData(at + done, data_bytes_,
                         got < 0 ? std::strerror(errno) : "end of file");
      return false;
    }
    done += got;
  }
  return true;
}

bool MatRowStream::ReadElementsAt(float* dst, int64_t count, int64_t at,
                                  std::string* error) {
  const int64_t length = count * element_size_;
  if (deferred_ != nullptr) {
    deferred_->push_back({dst, count, at});
    share_done_ += length;
    return true;
  }
  char* out = element_size_ == 4 ? reinterpret_cast<char*>(dst) : nullptr;
  if (out == nullptr) {
    scratch_.resize(static_cast<size_t>(length));
    out = scratch_.data();
  }
  if (!ReadBytesAt(out, length, at, error)) return false;
  if (element_size_ == 8) {
    changed_values_ += NarrowToFloats(scratch_.data(), count, dst);
  }
  share_done_ += length;
  return true;
}

bool MatRowStream::ReadDeferred(const DeferredRead& read,
                                std::string* error) const {
  return ReadBytesAt(reinterpret_cast<char*>(read.dst), read.count * 4, read.at,
                     error);
}

bool MatRowStream::ReadBytes(void* dst, int64_t length, std::string* error) {
  char* out = static_cast<char*>(dst);
  while (length > 0) {
    const size_t got = std::fread(out, 1, static_cast<size_t>(length), file_);
    if (got == 0) {
      *error =
          ShortData(position_, data_bytes_,
                    std::ferror(file_) ? std::strerror(errno) : "end of file");
      return false;
    }
    out += got;
    length -= static_cast<int64_t>(got);
    position_ += static_cast<int64_t>(got);
  }
  return true;
}

bool MatRowStream::ReadElements(float* dst, int64_t count, std::string* error) {
  if (deferred_ != nullptr) {
    deferred_->push_back({dst, count, position_});
    position_ += count * 4;
    return true;
  }
  if (element_size_ == 4) return ReadBytes(dst, count * 4, error);
  // float64: converted through the scratch buffer.
  const int64_t piece = std::max<int64_t>(kScratchBytes / 8, 1);
  scratch_.resize(static_cast<size_t>(piece * 8));
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(piece, count - done);
    if (!ReadBytes(scratch_.data(), n * 8, error)) return false;
    changed_values_ += NarrowToFloats(scratch_.data(), n, dst + done);
    done += n;
  }
  return true;
}

bool MatRowStream::SkipBytes(int64_t length, std::string* error) {
  if (length <= 0) return true;
  if (deferred_ != nullptr) {
    position_ += length;  // Nothing is read; the reads say where.
    return true;
  }
  if (seekable_ && fseeko(file_, length, SEEK_CUR) == 0) {
    position_ += length;  // The file's length was checked at Open.
    return true;
  }
  scratch_.resize(static_cast<size_t>(std::min(length, kScratchBytes)));
  while (length > 0) {
    const int64_t piece = std::min(length, kScratchBytes);
    if (!ReadBytes(scratch_.data(), piece, error)) return false;
    length -= piece;
  }
  return true;
}

// Finish consumes what is left of the data section, so that a stream that
// ends early is found out even when its tail is not used.
bool MatRowStream::Finish(std::string* error) {
  finished_ = true;
  return SkipBytes(data_bytes_ - position_, error);
}

int32_t MatRowStream::AddSegment(int32_t count, const float* values,
                                 std::vector<RowSegment>* segments) {
  segments->push_back({row_, col_, count, values});
  col_ += count;
  if (col_ == cols_) {
    col_ = first_col_;
    ++row_;
  }
  return count;
}

bool MatRowStream::Next(float* buffer, int64_t capacity,
                        std::vector<RowSegment>* segments,
                        std::vector<DeferredRead>* reads, std::string* error) {
  reads->clear();
  deferred_ = reads;
  const bool laid_out = Next(buffer, capacity, segments, error);
  deferred_ = nullptr;
  return laid_out;
}

bool MatRowStream::Next(float* buffer, int64_t capacity,
                        std::vector<RowSegment>* segments, std::string* error) {
  segments->clear();
  if (finished_) return true;
  if (npy_header_.fortran_order) {
    return NextInColumns(buffer, capacity, segments, error);
  }
  if (share_) return NextInShare(buffer, capacity, segments, error);
  const int64_t step = header_.step;
  const int64_t row_bytes = int64_t{cols_} * element_size_;
  int64_t filled = 0;
  if (step == row_bytes && col_ == 0) {
    // Selected rows lie back to back: read many in one call.
    const int64_t elements =
        std::min<int64_t>(capacity, (int64_t{rows_} - row_) * cols_);
    if (elements > 0 && !ReadElements(buffer, elements, error)) return false;
    while (filled < elements) {
      filled += AddSegment(static_cast<int32_t>(std::min<int64_t>(
                               cols_ - col_, elements - filled)),
                           buffer + filled, segments);
    }
  } else {
    while (row_ < rows_ && filled < capacity) {
      const int32_t count = static_cast<int32_t>(
          std::min<int64_t>(cols_ - col_, capacity - filled));
      const int64_t start =
          int64_t{row_} * step + int64_t{col_} * element_size_;
      if (!SkipBytes(start - position_, error) ||
          !ReadElements(buffer + filled, count, error)) {
        return false;
      }
      filled += AddSegment(count, buffer + filled, segments);
    }
  }
  if (row_ >= rows_ && !Finish(error)) return false;
  return true;
}

// NextInShare delivers the share of the columns, row by row, each run read
// where it lies; when the share is whole rows stored back to back, many
// rows in one read.
bool MatRowStream::NextInShare(float* buffer, int64_t capacity,
                               std::vector<RowSegment>* segments,
                               std::string* error) {
  const int64_t step = header_.step;
  const int64_t width = cols_ - first_col_;
  int64_t filled = 0;
  while (row_ < rows_ && filled < capacity) {
    int64_t count = std::min<int64_t>(cols_ - col_, capacity - filled);
    if (first_col_ == 0 && col_ == 0 && step == width * element_size_) {
      count =
          std::min<int64_t>(capacity - filled, (int64_t{rows_} - row_) * width);
    }
    const int64_t at = int64_t{row_} * step + int64_t{col_} * element_size_;
    if (!ReadElementsAt(buffer + filled, count, at, error)) return false;
    for (int64_t added = 0; added < count;) {
      added += AddSegment(
          static_cast<int32_t>(std::min<int64_t>(cols_ - col_, count - added)),
          buffer + filled + added, segments);
    }
    filled += count;
  }
  if (row_ >= rows_) finished_ = true;
  return true;
}

// NextInColumns delivers a Fortran-order file, whose columns are stored one
// after the other: a block of whole selected columns per piece when the
// piece holds the selected rows, else the next rows of one column.
bool MatRowStream::NextInColumns(float* buffer, int64_t capacity,
                                 std::vector<RowSegment>* segments,
                                 std::string* error) {
  if (rows_ > 0 && col_ < cols_ && capacity > 0) {
    int32_t width = 1;
    int32_t height =
        static_cast<int32_t>(std::min<int64_t>(rows_ - row_, capacity));
    if (row_ == 0 && capacity >= rows_) {
      width = static_cast<int32_t>(
          std::min<int64_t>(cols_ - col_, capacity / rows_));
      height = rows_;
    }
    if (!ReadNpyFortranBlock(fileno(file_), npy_header_, row_, height, col_,
                             width, width, buffer, &scratch_, &changed_values_,
                             error)) {
      return false;
    }
    for (int32_t i = 0; i < height; ++i) {
      segments->push_back({row_ + i, col_, width, buffer + int64_t{i} * width});
    }
    if (share_) share_done_ += int64_t{height} * width * element_size_;
    row_ += height;
    if (row_ == rows_) {
      row_ = 0;
      col_ += width;
    }
    // Columns before col_ and the rows of col_ before row_ are behind.
    position_ = (int64_t{col_} * header_.rows + row_) * element_size_;
  }
  if ((rows_ == 0 || col_ >= cols_) && !Finish(error)) return false;
  return true;
}
