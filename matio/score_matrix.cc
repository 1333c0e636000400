#include "matio/score_matrix.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What a stream made by StreamFromStart reads from.
struct StartThenRest {
  ScoreFileStart start;
  size_t offset = 0;  // Bytes of `start` already delivered.
  FILE* rest = nullptr;
};

ssize_t ReadStartThenRest(void* cookie, char* buffer, size_t size) {
  StartThenRest* source = static_cast<StartThenRest*>(cookie);
  const ScoreFileStart& start = source->start;
  if (source->offset < start.size) {
    const size_t n = std::min(size, start.size - source->offset);
    std::memcpy(buffer, start.bytes + source->offset, n);
    source->offset += n;
    return static_cast<ssize_t>(n);
  }
  if (start.error_number != 0) {
    errno = start.error_number;
    return -1;
  }
  const size_t got = std::fread(buffer, 1, size, source->rest);
  return got == 0 && std::ferror(source->rest) ? -1 : static_cast<ssize_t>(got);
}

int CloseStartThenRest(void* cookie) {
  delete static_cast<StartThenRest*>(cookie);
  return 0;
}

}  // namespace

void ReadScoreFileStart(FILE* file, ScoreFileStart* start) {
  *start = ScoreFileStart();
  errno = 0;
  start->size = std::fread(start->bytes, 1, sizeof(start->bytes), file);
  if (start->size < sizeof(start->bytes) && std::ferror(file)) {
    start->error_number = errno != 0 ? errno : EIO;
  }
  struct stat status;
  if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)) {
    start->file_size = status.st_size;
  }
}

FILE* StreamFromStart(const ScoreFileStart& start, FILE* rest) {
  StartThenRest* source = new StartThenRest{start, 0, rest};
  const cookie_io_functions_t functions = {ReadStartThenRest, nullptr, nullptr,
                                           CloseStartThenRest};
  FILE* stream = fopencookie(source, "rb", functions);
  if (stream == nullptr) {
    delete source;
    return nullptr;
  }
  // Unbuffered: a reader that takes the header leaves the rest in `rest`.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

bool LoadScoreMatrix(const std::string& path, cv::Mat* mat,
                     int64_t* changed_values, std::string* error) {
  int64_t changed = 0;
  if (changed_values == nullptr) changed_values = &changed;
  *changed_values = 0;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::string("cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  ScoreFileStart start;
  ReadScoreFileStart(file, &start);
  bool ok = false;
  if (start.npy()) {
    NpyHeader header;
    ok = ReadNpyHeader(start.bytes, start.size, start.file_size, file, &header,
                       error) &&
         ReadNpyMatrix(file, header, start.file_size >= 0, mat, changed_values,
                       error);
  } else if (start.file_size >= 0 && fseeko(file, 0, SEEK_SET) == 0) {
    ok = MatIO::read(file, mat, error);  // As MatIO::Load reads it.
  } else {
    FILE* whole = StreamFromStart(start, file);
    if (whole == nullptr) {
      *error = std::string("cannot be read (") + std::strerror(errno) + ")";
    } else {
      ok = MatIO::read(whole, mat, error);
      std::fclose(whole);
    }
  }
  std::fclose(file);
  return ok;
}
