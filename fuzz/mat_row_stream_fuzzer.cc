// MatRowStream, the reader of the distractor matrix, on an arbitrary matrix
// file: four bytes choose the piece size and the rows and columns
// selected, the rest is the file. From a regular file and from a pipe, the
// stream delivers exactly the selected elements, in order, in runs that
// fit the pieces, and succeeds iff the whole data section is there; a
// failure carries a message.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/matrix_contract.h"
#include "matio/mat_stream.h"

namespace {

// Outcome: 0 refused at Open, 1 failed while reading, 2 read to the end,
// 3 opened but not a matrix of floats (which the program refuses). With
// `defer`, Next only lays the pieces out and their reads follow, as in the
// pass over a regular file.
int ReadAll(const std::string& path, const uint8_t* file, size_t size,
            int64_t capacity, int32_t rows, int32_t cols, bool defer = false) {
  MatRowStream stream;
  bool opened = false;
  std::string error;
  if (!stream.Open(path, &opened, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  const MatHeader& header = stream.header();
  int32_t stored[4];
  FUZZ_CHECK(size >= 16);
  std::memcpy(stored, file, sizeof stored);
  FUZZ_CHECK(header.rows == stored[0] && header.cols == stored[1] &&
             header.step == stored[2] && header.type == (stored[3] & 0xFFF));
  const int64_t data_bytes = int64_t{header.rows} * header.step;
  FUZZ_CHECK(stream.bytes_total() == data_bytes);
  if (header.type != 5) return 3;
  stream.Select(rows, cols);
  const int64_t selected_cols = std::min(std::max(cols, 0), header.cols);
  const int64_t selected_rows =
      selected_cols == 0 ? 0 : std::min(std::max(rows, 0), header.rows);
  std::vector<float> buffer(static_cast<size_t>(capacity));
  std::vector<RowSegment> segments;
  std::vector<DeferredRead> reads;
  if (!stream.CanDeferReads()) defer = false;  // A pipe, or a .npy file.
  const auto next = [&] {
    if (!defer) return stream.Next(buffer.data(), capacity, &segments, &error);
    if (!stream.Next(buffer.data(), capacity, &segments, &reads, &error)) {
      return false;
    }
    for (const DeferredRead& read : reads) {
      if (!stream.ReadDeferred(read, &error)) return false;
    }
    return true;
  };
  int64_t row = 0;
  int64_t col = 0;
  for (;;) {
    if (!next()) {
      FUZZ_CHECK(!error.empty());
      FUZZ_CHECK(static_cast<int64_t>(size) < 16 + data_bytes);
      return 1;
    }
    if (segments.empty()) break;
    int64_t delivered = 0;
    for (const RowSegment& segment : segments) {
      FUZZ_CHECK(segment.row == row && segment.first_col == col &&
                 segment.count > 0 && col + segment.count <= selected_cols);
      FUZZ_CHECK(segment.values >= buffer.data() &&
                 segment.values + segment.count <= buffer.data() + capacity);
      FUZZ_CHECK(std::memcmp(segment.values,
                             file + 16 + row * header.step + col * 4,
                             static_cast<size_t>(segment.count) * 4) == 0);
      delivered += segment.count;
      col += segment.count;
      if (col == selected_cols) col = 0, ++row;
    }
    FUZZ_CHECK(delivered <= capacity);
  }
  FUZZ_CHECK(row == selected_rows && col == 0);
  FUZZ_CHECK(static_cast<int64_t>(size) >= 16 + data_bytes);
  FUZZ_CHECK(stream.bytes_done() == data_bytes);
  return 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int64_t capacity = 1 + data[0];
  const int32_t rows = static_cast<int8_t>(data[1]);
  const int32_t cols = static_cast<int16_t>(data[2] | data[3] << 8);
  const uint8_t* file = data + 4;
  const size_t file_size = size - 4;

  // A regular file: the stream knows its length.
  static const int regular = memfd_create("matrix", MFD_CLOEXEC);
  FUZZ_CHECK(regular >= 0 && ftruncate(regular, 0) == 0);
  FUZZ_CHECK(pwrite(regular, file, file_size, 0) ==
             static_cast<ssize_t>(file_size));
  const int from_file = ReadAll("/proc/self/fd/" + std::to_string(regular),
                                file, file_size, capacity, rows, cols);
  // The same file read as the pass reads a regular file.
  FUZZ_CHECK(ReadAll("/proc/self/fd/" + std::to_string(regular), file,
                     file_size, capacity, rows, cols, true) == from_file);

  // A pipe holding the whole file: the stream learns its end by reading.
  int pipe_fds[2];
  FUZZ_CHECK(pipe2(pipe_fds, O_CLOEXEC) == 0);
  FUZZ_CHECK(fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20) >= 0);
  FUZZ_CHECK(write(pipe_fds[1], file, file_size) ==
             static_cast<ssize_t>(file_size));
  close(pipe_fds[1]);
  const int from_pipe = ReadAll("/proc/self/fd/" + std::to_string(pipe_fds[0]),
                                file, file_size, capacity, rows, cols);
  close(pipe_fds[0]);

  // A regular file too short for its header is refused at once; a pipe's
  // shortness shows only as its data runs out.
  FUZZ_CHECK(from_file == from_pipe ||
             (from_file == 0 && (from_pipe == 1 || from_pipe == 3)));
  return 0;
}
