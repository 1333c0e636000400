#include "matio/mat_stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int64_t kScratchBytes = int64_t{1} << 20;
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
  if (!MatIO::ReadHeader(file_, &header_, error)) return false;
  data_bytes_ = int64_t{header_.rows} * header_.step;
  struct stat status;
  if (fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode)) {
    seekable_ = true;
    const int64_t available = status.st_size - kHeaderBytes;
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

void MatRowStream::Select(int32_t rows, int32_t cols) {
  rows_ = std::max(0, std::min(rows, header_.rows));
  cols_ = std::max(0, std::min(cols, header_.cols));
  if (cols_ == 0) rows_ = 0;
}

bool MatRowStream::ReadBytes(void* dst, int64_t length, std::string* error) {
  char* out = static_cast<char*>(dst);
  while (length > 0) {
    const size_t got = std::fread(out, 1, static_cast<size_t>(length), file_);
    if (got == 0) {
      *error = "stream ends after " + std::to_string(position_) + " of " +
               std::to_string(data_bytes_) + " data bytes (" +
               (std::ferror(file_) ? std::strerror(errno) : "end of file") +
               ")";
      return false;
    }
    out += got;
    length -= static_cast<int64_t>(got);
    position_ += static_cast<int64_t>(got);
  }
  return true;
}

bool MatRowStream::SkipBytes(int64_t length, std::string* error) {
  if (length <= 0) return true;
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
    col_ = 0;
    ++row_;
  }
  return count;
}

bool MatRowStream::Next(float* buffer, int64_t capacity,
                        std::vector<RowSegment>* segments, std::string* error) {
  segments->clear();
  if (finished_) return true;
  const int64_t step = header_.step;
  const int64_t row_bytes = int64_t{cols_} * 4;
  int64_t filled = 0;
  if (step == row_bytes && col_ == 0) {
    // Selected rows lie back to back: read many in one call.
    const int64_t elements =
        std::min<int64_t>(capacity, (int64_t{rows_} - row_) * cols_);
    if (elements > 0 && !ReadBytes(buffer, elements * 4, error)) return false;
    while (filled < elements) {
      filled += AddSegment(static_cast<int32_t>(std::min<int64_t>(
                               cols_ - col_, elements - filled)),
                           buffer + filled, segments);
    }
  } else {
    while (row_ < rows_ && filled < capacity) {
      const int32_t count = static_cast<int32_t>(
          std::min<int64_t>(cols_ - col_, capacity - filled));
      const int64_t start = int64_t{row_} * step + int64_t{col_} * 4;
      if (!SkipBytes(start - position_, error) ||
          !ReadBytes(buffer + filled, int64_t{count} * 4, error)) {
        return false;
      }
      filled += AddSegment(count, buffer + filled, segments);
    }
  }
  if (row_ >= rows_ && !Finish(error)) return false;
  return true;
}
