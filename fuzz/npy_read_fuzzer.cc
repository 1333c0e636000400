// LoadScoreMatrix and MatRowStream, the readers of the probe and the
// distractor matrices, on an arbitrary score file (mostly .npy files, from
// the seeds): a control byte chooses the piece size (its top bit: the
// size PieceFloats advises for it), two more the rows and columns
// selected, the rest is the file. From a regular file and from a pipe:
// - a failure carries a one-line message;
// - a .npy file that loads holds all of its data, and the matrix holds
//   each stored element as float32 (float64 converted by the processor's
//   own conversion), C or Fortran order, with the changed values counted;
// - a matrix file loads as MatIO reads it;
// - both sources agree, but for Fortran order, which a pipe refuses;
// - the stream of a .npy file succeeds iff the loader does, delivers each
//   selected element exactly once, with the loader's value, in runs that
//   fit its pieces, and reports its progress in the file's data bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/matrix_contract.h"
#include "matio/mat_stream.h"
#include "matio/score_matrix.h"

namespace {

// What the selection and pieces are.
struct Control {
  int64_t capacity = 1;
  bool advised = false;  // Use PieceFloats(capacity).
  int32_t rows = 0;
  int32_t cols = 0;
};

// The score file, with what a valid .npy header must say about it.
struct File {
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool npy = false;
  int64_t header_bytes = 0;  // .npy: bytes before the data.
  bool fortran = false;      // .npy: what a valid header says.
  int32_t element_size = 4;
};

// A path that reads `file`: a regular file (in memory) or a pipe holding
// it, which the caller closes with `*fd`.
std::string PathTo(const File& file, bool pipe, int* fd) {
  if (!pipe) {
    static const int regular = memfd_create("scores", MFD_CLOEXEC);
    FUZZ_CHECK(regular >= 0 && ftruncate(regular, 0) == 0);
    FUZZ_CHECK(pwrite(regular, file.data, file.size, 0) ==
               static_cast<ssize_t>(file.size));
    *fd = -1;
    return "/proc/self/fd/" + std::to_string(regular);
  }
  int fds[2];
  FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);
  FUZZ_CHECK(fcntl(fds[1], F_SETPIPE_SZ, 1 << 20) >= 0);
  FUZZ_CHECK(write(fds[1], file.data, file.size) ==
             static_cast<ssize_t>(file.size));
  close(fds[1]);
  *fd = fds[0];
  return "/proc/self/fd/" + std::to_string(fds[0]);
}

bool SameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::memcmp(&a, &b, sizeof(float)) == 0;
}

// Element (r, c) of a loaded .npy file as stored, as float32; counts it in
// `*changed` when it changed.
float Stored(const File& file, const cv::Mat& mat, int64_t r, int64_t c,
             int64_t* changed) {
  const int64_t index = file.fortran ? c * mat.rows + r : r * mat.cols + c;
  const uint8_t* at = file.data + file.header_bytes + index * file.element_size;
  if (file.element_size == 4) {
    float value;
    std::memcpy(&value, at, 4);
    return value;
  }
  double value;
  std::memcpy(&value, at, 8);
  const float narrow = static_cast<float>(value);
  *changed += !std::isnan(value) && static_cast<double>(narrow) != value;
  return narrow;
}

// Loads `file`; returns whether it loaded, with the matrix in `*mat`.
bool Load(const File& file, bool pipe, cv::Mat* mat) {
  int fd = -1;
  const std::string path = PathTo(file, pipe, &fd);
  std::string error;
  int64_t changed = -1;
  const bool ok = LoadScoreMatrix(path, mat, &changed, &error);
  if (fd >= 0) close(fd);
  if (!ok) {
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    return false;
  }
  if (!file.npy) {
    fuzz::CheckRead(file.data, file.size, INT64_MAX, ok, error, *mat, -1);
    FUZZ_CHECK(changed == 0);
    return true;
  }
  FUZZ_CHECK(mat->type() == CV_32FC1 && mat->isContinuous());
  FUZZ_CHECK(!(pipe && file.fortran));
  FUZZ_CHECK(file.header_bytes +
                 int64_t{mat->rows} * mat->cols * file.element_size <=
             static_cast<int64_t>(file.size));
  int64_t expected_changed = 0;
  for (int r = 0; r < mat->rows; ++r) {
    for (int c = 0; c < mat->cols; ++c) {
      FUZZ_CHECK(SameFloat(mat->at<float>(r, c),
                           Stored(file, *mat, r, c, &expected_changed)));
    }
  }
  FUZZ_CHECK(changed == expected_changed);
  return true;
}

// Streams the selection of a .npy file and checks it against `loaded` (the
// loader's matrix, when it loaded); returns whether it read to the end.
bool StreamAll(const File& file, bool pipe, const Control& control,
               const cv::Mat* loaded) {
  int fd = -1;
  const std::string path = PathTo(file, pipe, &fd);
  MatRowStream stream;
  bool opened = false;
  std::string error;
  bool ok = stream.Open(path, &opened, &error);
  if (ok) {
    const MatHeader& header = stream.header();
    FUZZ_CHECK(header.type == CV_32FC1 &&
               header.step == int64_t{header.cols} * file.element_size);
    FUZZ_CHECK(stream.bytes_total() ==
               int64_t{header.rows} * header.cols * file.element_size);
    if (loaded != nullptr) {
      FUZZ_CHECK(header.rows == loaded->rows && header.cols == loaded->cols);
    }
    const int64_t capacity = control.advised
                                 ? stream.PieceFloats(control.capacity)
                                 : control.capacity;
    FUZZ_CHECK(capacity >= control.capacity && capacity <= 1024);
    stream.Select(control.rows, control.cols);
    const int64_t cols = std::min(std::max(control.cols, 0), header.cols);
    const int64_t rows =
        cols == 0 ? 0 : std::min(std::max(control.rows, 0), header.rows);
    std::vector<float> buffer(static_cast<size_t>(capacity));
    std::vector<RowSegment> segments;
    // Which selected elements arrived, when the matrix is known to be small.
    std::vector<bool> seen(loaded != nullptr ? rows * cols : 0, false);
    int64_t arrived = 0, done = 0;
    while ((ok = stream.Next(buffer.data(), capacity, &segments, &error)) &&
           !segments.empty()) {
      int64_t delivered = 0;
      for (const RowSegment& s : segments) {
        FUZZ_CHECK(s.count > 0 && s.row >= 0 && s.row < rows &&
                   s.first_col >= 0 && s.first_col + s.count <= cols);
        FUZZ_CHECK(s.values >= buffer.data() &&
                   s.values + s.count <= buffer.data() + capacity);
        if (!file.fortran) {
          FUZZ_CHECK(s.row * cols + s.first_col == arrived);
        }
        for (int32_t k = 0; k < s.count && loaded != nullptr; ++k) {
          const int64_t i = s.row * cols + s.first_col + k;
          FUZZ_CHECK(!seen[i]);
          seen[i] = true;
          FUZZ_CHECK(SameFloat(s.values[k],
                               loaded->at<float>(s.row, s.first_col + k)));
        }
        arrived += s.count;
        delivered += s.count;
      }
      FUZZ_CHECK(delivered <= capacity);
      FUZZ_CHECK(stream.bytes_done() >= done &&
                 stream.bytes_done() <= stream.bytes_total());
      done = stream.bytes_done();
    }
    if (ok) {
      FUZZ_CHECK(arrived == rows * cols);
      FUZZ_CHECK(stream.bytes_done() == stream.bytes_total());
    }
  }
  if (fd >= 0) close(fd);
  if (!ok) FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
  return ok;
}

// Fills what a valid .npy header of `file` must say: its length from the
// version, and its dtype and order from the dict's text, whose only
// strings are the three keys and a descr of '<f4' or '<f8', and whose only
// word is the order.
void Describe(File* file) {
  file->npy =
      HasNpyMagic(reinterpret_cast<const char*>(file->data), file->size);
  if (!file->npy || file->size < 12) return;
  const bool long_length = file->data[6] != 1;
  int64_t length = 0;
  for (int i = long_length ? 3 : 1; i >= 0; --i) {
    length = length << 8 | file->data[8 + i];
  }
  file->header_bytes = (long_length ? 12 : 10) + length;
  if (file->header_bytes > static_cast<int64_t>(file->size)) return;
  const std::string_view dict(
      reinterpret_cast<const char*>(file->data) + (long_length ? 12 : 10),
      static_cast<size_t>(length));
  file->fortran = dict.find("True") != std::string_view::npos;
  file->element_size = dict.find("<f8") != std::string_view::npos ? 8 : 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Control control;
  control.capacity = 1 + (data[0] & 0x7F);
  control.advised = (data[0] & 0x80) != 0;
  control.rows = static_cast<int8_t>(data[1]);
  control.cols = static_cast<int8_t>(data[2]);
  File file;
  file.data = data + 3;
  file.size = size - 3;
  Describe(&file);

  cv::Mat mats[2];
  bool loaded[2];
  for (const bool pipe : {false, true}) {
    loaded[pipe] = Load(file, pipe, &mats[pipe]);
    if (file.npy) {
      const bool streamed =
          StreamAll(file, pipe, control, loaded[pipe] ? &mats[pipe] : nullptr);
      FUZZ_CHECK(streamed == loaded[pipe]);
    }
  }
  if (loaded[0] && loaded[1]) {
    FUZZ_CHECK(mats[0].size == mats[1].size);
    FUZZ_CHECK(mats[0].empty() ||
               std::memcmp(mats[0].data, mats[1].data,
                           mats[0].total() * mats[0].elemSize()) == 0);
  } else {
    // Only Fortran order tells a pipe from a file.
    FUZZ_CHECK(loaded[0] == loaded[1] ||
               (file.npy && file.fortran && loaded[0]));
  }
  return 0;
}
