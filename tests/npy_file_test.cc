// NumPy .npy score files: the whole-matrix loader and the row stream read
// float32 and float64 arrays in C and Fortran order, from every header
// version, from files and pipes, giving what NumPy's own conversion gives;
// they refuse every other array with one line saying what the file holds;
// and fuse_results gives byte for byte the results it gives on the same
// scores converted to matrix files first. (The fuzz target npy_read checks
// the readers on arbitrary files.)
#include "matio/npy_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "matio/score_matrix.h"
#include "tests/test_util.h"

namespace {

using testutil::Quote;
using testutil::ReadFile;
using testutil::ScratchDir;
using testutil::WriteFile;

// The bytes of a .npy file of version `major`.0 holding `dict`, padded with
// spaces and a newline as NumPy pads it, then `data`.
std::string Npy(const std::string& dict, const std::string& data,
                int major = 1) {
  const size_t prefix = major == 1 ? 10 : 12;
  std::string text = dict;
  while ((prefix + text.size() + 1) % 64 != 0) text += ' ';
  text += '\n';
  std::string bytes = std::string("\x93NUMPY", 6) + char(major) + '\0';
  for (size_t i = 0; i < prefix - 8; ++i) bytes += char(text.size() >> 8 * i);
  return bytes + text + data;
}

std::string Dict(const std::string& descr, bool fortran,
                 const std::string& shape) {
  return "{'descr': '" + descr +
         "', 'fortran_order': " + (fortran ? "True" : "False") +
         ", 'shape': " + shape + ", }";
}

// A value of every element that float32 holds exactly.
float Value(int32_t r, int32_t c) { return 100.0f * r + c + 0.25f; }

// The data section of a rows x cols matrix of Value, stored as T.
template <typename T>
std::string Data(int32_t rows, int32_t cols, bool fortran) {
  std::string data;
  data.reserve(size_t(rows) * cols * sizeof(T));
  for (int64_t i = 0; i < int64_t{rows} * cols; ++i) {
    const T value =
        fortran ? Value(i % rows, i / rows) : Value(i / cols, i % cols);
    data.append(reinterpret_cast<const char*>(&value), sizeof(T));
  }
  return data;
}

// A score file at a path: a regular file, or a pipe fed by a thread.
class ScoreFile {
 public:
  ScoreFile(const ScratchDir& dir, const std::string& bytes, bool pipe) {
    if (!pipe) {
      path_ = dir.Path("scores.npy");
      WriteFile(path_, bytes);
      return;
    }
    signal(SIGPIPE, SIG_IGN);  // A reader that stops early closes the pipe.
    EXPECT_EQ(::pipe(fds_), 0);
    writer_ = std::thread([this, bytes] {
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            write(fds_[1], bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += n;
      }
      close(fds_[1]);
    });
    path_ = "/proc/self/fd/" + std::to_string(fds_[0]);
  }
  ~ScoreFile() {
    if (fds_[0] < 0) return;
    close(fds_[0]);
    writer_.join();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fds_[2] = {-1, -1};
  std::thread writer_;
};

struct Loaded {
  std::string error;
  cv::Mat mat;
  int64_t changed = -1;
};

Loaded Load(const ScratchDir& dir, const std::string& bytes, bool pipe) {
  const ScoreFile file(dir, bytes, pipe);
  Loaded loaded;
  if (!LoadScoreMatrix(file.path(), &loaded.mat, &loaded.changed,
                       &loaded.error)) {
    EXPECT_FALSE(loaded.error.empty());
    EXPECT_EQ(loaded.error.find('\n'), std::string::npos);
  }
  return loaded;
}

// Streams the first `rows` x `cols` of `bytes` in pieces of `capacity`
// floats (0: what PieceFloats(16) advises). Checks that every selected
// element arrives once, in runs that fit the pieces, in row order for C
// order and column block by column block for Fortran order, with the
// progress never going back and ending at the whole data section.
Loaded Stream(const ScratchDir& dir, const std::string& bytes, bool pipe,
              int32_t rows, int32_t cols, int64_t capacity) {
  const ScoreFile file(dir, bytes, pipe);
  MatRowStream stream;
  bool opened = false;
  Loaded got;
  if (!stream.Open(file.path(), &opened, &got.error)) return got;
  EXPECT_EQ(stream.header().type, CV_32FC1);
  if (capacity == 0) capacity = stream.PieceFloats(16);
  stream.Select(rows, cols);
  rows = std::min(rows, stream.header().rows);
  cols = std::min(cols, stream.header().cols);
  got.mat = cv::Mat(rows, cols, CV_32FC1, cv::Scalar(-1));
  cv::Mat times(rows, cols, CV_32SC1, cv::Scalar(0));
  std::vector<float> buffer(capacity);
  std::vector<RowSegment> segments;
  int64_t next = 0, done = 0;  // Next element in row order; progress.
  const bool fortran = bytes.find("'fortran_order': True") != std::string::npos;
  while (stream.Next(buffer.data(), capacity, &segments, &got.error) &&
         !segments.empty()) {
    int64_t delivered = 0;
    for (const RowSegment& s : segments) {
      EXPECT_TRUE(s.count > 0 && s.values >= buffer.data() &&
                  s.values + s.count <= buffer.data() + capacity);
      if (fortran) {
        EXPECT_TRUE(s.first_col == segments[0].first_col &&
                    s.count == segments[0].count &&
                    s.row == segments[0].row + (&s - &segments[0]));
      } else {
        EXPECT_EQ(int64_t{s.row} * cols + s.first_col, next);
        next += s.count;
      }
      for (int32_t k = 0; k < s.count; ++k) {
        got.mat.at<float>(s.row, s.first_col + k) = s.values[k];
        ++times.at<int32_t>(s.row, s.first_col + k);
      }
      delivered += s.count;
    }
    EXPECT_LE(delivered, capacity);
    EXPECT_GE(stream.bytes_done(), done);
    done = stream.bytes_done();
  }
  if (got.error.empty()) {
    EXPECT_TRUE(times.empty() || cv::countNonZero(times != 1) == 0);
    EXPECT_EQ(stream.bytes_done(), stream.bytes_total());
  }
  got.changed = stream.changed_values();
  return got;
}

// Expects `mat` to hold Value at every element of its rows x cols.
void ExpectValues(const cv::Mat& mat, int32_t rows, int32_t cols) {
  ASSERT_TRUE(mat.rows == rows && mat.cols == cols && mat.type() == CV_32FC1);
  int64_t wrong = 0;
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < cols; ++c)
      wrong += mat.at<float>(r, c) != Value(r, c);
  }
  EXPECT_EQ(wrong, 0);
}

TEST(NpyFileTest, ReadsBothTypesInBothOrdersOfEveryVersion) {
  const ScratchDir dir;
  for (const bool fortran : {false, true}) {
    for (const int size : {4, 8}) {
      for (const int major : {1, 2, 3}) {
        const std::string bytes =
            Npy(Dict(size == 4 ? "<f4" : "<f8", fortran, "(5, 7)"),
                size == 4 ? Data<float>(5, 7, fortran)
                          : Data<double>(5, 7, fortran),
                major);
        for (const bool pipe : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << "fortran " << fortran << " size " << size
                       << " version " << major << " pipe " << pipe);
          if (fortran && pipe) continue;  // Refused; see below.
          const Loaded loaded = Load(dir, bytes, pipe);
          EXPECT_EQ(loaded.error, "");
          EXPECT_EQ(loaded.changed, 0);
          ExpectValues(loaded.mat, 5, 7);
          // Pieces of one element, of less than a column, of a few whole
          // columns or rows, and what the stream advises; selections of
          // all, some and none.
          const std::pair<int32_t, int32_t> selections[] = {
              {9, 99}, {3, 6}, {5, 1}, {0, 7}};
          for (const int64_t capacity : {1, 4, 11, 0}) {
            for (const auto& [rows, cols] : selections) {
              const Loaded streamed =
                  Stream(dir, bytes, pipe, rows, cols, capacity);
              EXPECT_EQ(streamed.error, "") << capacity;
              ExpectValues(streamed.mat, std::min(rows, 5), std::min(cols, 7));
            }
          }
        }
      }
    }
  }
}

// Columns too long for one read of Fortran-order data, and column blocks
// spread over several reads, come out as from C order.
TEST(NpyFileTest, LargeFortranArraysAreReadInBoundedPieces) {
  const ScratchDir dir;
  const std::pair<int32_t, int32_t> shapes[] = {{600000, 3}, {1100, 1000}};
  for (const auto& [rows, cols] : shapes) {
    const std::string bytes = Npy(
        Dict("<f8", true,
             "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")"),
        Data<double>(rows, cols, true));
    ExpectValues(Load(dir, bytes, false).mat, rows, cols);
    const Loaded streamed = Stream(dir, bytes, false, rows - 1, cols, 0);
    EXPECT_EQ(streamed.error, "");
    ExpectValues(streamed.mat, rows - 1, cols);
  }
}

// float64 values become what NumPy's astype(np.float32) makes of them,
// and the values that changed are counted as npy_to_mat counts them.
TEST(NpyFileTest, Float64ValuesBecomeFloat32AsNumPyConvertsThem) {
  const ScratchDir dir;
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0.1,
                           0.5,
                           1e300,
                           -1e300,
                           inf,
                           -inf,
                           std::nan(""),
                           0x1.fffffep127,         // FLT_MAX.
                           0x1.fffffefffffffp127,  // Rounds down to it.
                           0x1.ffffffp127,
                           -0x1.ffffffp127,  // To inf.
                           1e-50,
                           -0.0,
                           0x1.000001p0,  // A tie.
                           0x1.0000010000001p0,
                           1e-45};
  std::string data(reinterpret_cast<const char*>(values), sizeof(values));
  for (const bool fortran : {false, true}) {
    const std::string npy = dir.Path("wide.npy"), mat = dir.Path("narrow.mat");
    WriteFile(npy, Npy(Dict("<f8", fortran, "(4, 4)"), data));
    const testutil::RunResult converted = testutil::Run(
        dir, "/usr/bin/python3",
        {FUSE_RESULTS_SOURCE_DIR "/python/npy_to_mat.py", npy, mat});
    ASSERT_EQ(converted.status, 0) << converted.err;
    // "npy_to_mat: note: N of 16 float64 values ...".
    const size_t note = converted.err.find("note: ");
    ASSERT_NE(note, std::string::npos);
    const int64_t changed = std::stoll(converted.err.substr(note + 6));
    cv::Mat expected;
    ASSERT_TRUE(MatIO::Load(mat, &expected));
    const std::string bytes = ReadFile(npy);
    const Loaded loaded = Load(dir, bytes, false);
    const Loaded streamed = Stream(dir, bytes, false, 4, 4, 3);
    for (const Loaded* got : {&loaded, &streamed}) {
      EXPECT_EQ(got->error, "");
      EXPECT_EQ(got->changed, changed);
      ASSERT_TRUE(got->mat.isContinuous() && got->mat.total() == 16);
      EXPECT_EQ(std::memcmp(got->mat.data, expected.data, 64), 0) << fortran;
    }
  }
}

// Every array that is not a score matrix, and every header that lies, is
// refused by both readers with the same one line.
TEST(NpyFileTest, RefusesWhatIsNotAScoreMatrixSayingWhatItHolds) {
  const ScratchDir dir;
  const std::string f4 = Data<float>(2, 3, false);
  std::string lying_length = Npy(Dict("<f4", false, "(2, 3)"), f4, 2);
  lying_length.replace(8, 4, "\xf0\xff\xff\xff", 4);
  const std::pair<std::string, std::string> cases[] = {
      {Npy(Dict("<i8", false, "(2, 3)"), f4 + f4),
       "holds int64 values ('<i8'); only float32 and float64 are read"},
      {Npy(Dict("|u1", false, "(2, 3)"), f4),
       "holds uint8 values ('|u1'); only float32 and float64 are read"},
      {Npy(Dict("<f2", false, "(2, 3)"), f4),
       "holds float16 values ('<f2'); only float32 and float64 are read"},
      {Npy(Dict(">f4", false, "(2, 3)"), f4),
       "holds big-endian float32 values ('>f4'); only little-endian float32 "
       "and float64 are read"},
      {Npy(Dict("|f8", false, "(2, 3)"), f4 + f4),
       "holds float64 values of byte order '|' ('|f8'); only little-endian "
       "float32 and float64 are read"},
      {Npy(Dict("<U5", false, "(2, 3)"), f4 + f4),
       "holds values of NumPy type '<U5'; only float32 and float64 are read"},
      {Npy("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (6,)}",
           f4),
       "holds structured values (its 'descr' is a list); only float32 and "
       "float64 are read"},
      {Npy(Dict("<f4", false, "(2, 3, 4)"), f4),
       "holds a 3-D array of shape (2, 3, 4); a score matrix is 2-D"},
      {Npy(Dict("<f4", false, "(6,)"), f4),
       "holds a 1-D array of shape (6,); a score matrix is 2-D"},
      {Npy(Dict("<f4", false, "()"), f4),
       "holds a 0-D array of shape (); a score matrix is 2-D"},
      {Npy(Dict("<f4", false, "(3000000000, 2)"), f4),
       "holds an array of shape (3000000000, 2); a score matrix has at most "
       "2147483647 rows and columns"},
      {Npy(Dict("<f8", false, "(1, 300000000)"), f4),
       "holds an array of shape (1, 300000000) of float64 values, rows of "
       "2400000000 bytes; a score matrix row has at most 2147483647 bytes"},
      {Npy(Dict("<f4", false, "(2, 3)"), f4).replace(6, 1, "\x04"),
       "is a .npy file of version 4.0; only versions 1.0, 2.0 and 3.0 are "
       "read"},
      {lying_length,
       "header announces 4294967280 header bytes but only 140 "
       "remain"},
      {Npy(Dict("<f4", true, "(1000, 1000)"), f4),
       "header announces 1000 x 1000 float32 values = 4000000 data bytes but "
       "only 24 remain"},
      {Npy(Dict("<f8", false, "(2, 3)"), f4),
       "header announces 2 x 3 float64 values = 48 data bytes but only 24 "
       "remain"},
      {Npy("{'descr': '<f4', 'shape': (2, 3)}", f4),
       "malformed .npy header: no key 'fortran_order' at byte 33 of its dict"},
      {Npy("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), 'x': 1}",
           f4),
       "malformed .npy header: unknown key 'x' at byte 58 of its dict"},
      {Npy("{'descr': '<f4', 'descr': '<f4', 'shape': (2, 3)}", f4),
       "malformed .npy header: key 'descr' given twice at byte 17 of its dict"},
      {Npy(Dict("<f4", false, "(6)"), f4),
       "malformed .npy header: 'shape' is not a tuple of integers at byte 50 "
       "of its dict"},
      {Npy(Dict("<f4", false, "(02, 3)"), f4),
       "malformed .npy header: 'shape' is not a tuple of integers at byte 50 "
       "of its dict"},
      {Npy(Dict("<f4", false, "(-2, 3)"), f4),
       "malformed .npy header: shape (-2, 3) has a negative size"},
      {Npy("{'descr': '<f4', 'fortran_order': 0, 'shape': (2, 3)}", f4),
       "malformed .npy header: 'fortran_order' is not True or False at byte "
       "34 of its dict"},
      {Npy(Dict("<f4", false, "(2, 3)") + "x", f4),
       "malformed .npy header: text after the dict at byte 59 of its dict"},
      {Npy(Dict("<f4", false, "(2, 3)"), f4).substr(0, 40),
       "header announces 118 header bytes but only 30 remain"},
  };
  for (const auto& [bytes, message] : cases) {
    EXPECT_EQ(Load(dir, bytes, false).error, message);
    EXPECT_EQ(Stream(dir, bytes, false, 9, 9, 5).error, message);
  }
}

// On a pipe, Fortran order is refused at once, and data that ends early is
// found out as it is read (by the stream even where the selection stops
// before the end); the loader gathers a large array as it arrives.
TEST(NpyFileTest, PipesStreamCOrderAndFindTheirEnd) {
  const ScratchDir dir;
  const std::string fortran =
      "is in Fortran order, which can only be read from a regular file; save "
      "it in C order (np.ascontiguousarray) to stream it";
  const std::string f4 =
      Npy(Dict("<f4", true, "(2, 3)"), Data<float>(2, 3, true));
  EXPECT_EQ(Load(dir, f4, true).error, fortran);
  EXPECT_EQ(Stream(dir, f4, true, 2, 3, 6).error, fortran);
  for (const int size : {4, 8}) {
    const std::string dict = Dict(size == 4 ? "<f4" : "<f8", false, "(3, 4)");
    const std::string data =
        size == 4 ? Data<float>(3, 4, false) : Data<double>(3, 4, false);
    const std::string cut = Npy(dict, data.substr(0, 10 * size));
    const std::string ends = "stream ends after " + std::to_string(10 * size) +
                             " of " + std::to_string(12 * size) +
                             " data bytes (end of file)";
    EXPECT_EQ(Load(dir, cut, true).error, ends);
    EXPECT_EQ(Stream(dir, cut, true, 1, 4, 100).error, ends);
    EXPECT_EQ(Stream(dir, cut, true, 3, 2, 5).error, ends);
    // On a regular file the same is refused before any data is read.
    EXPECT_EQ(Load(dir, cut, false).error,
              "header announces 3 x 4 float" + std::to_string(8 * size) +
                  " values = " + std::to_string(12 * size) +
                  " data bytes but only " + std::to_string(10 * size) +
                  " remain");
  }
  const std::string large =
      Npy(Dict("<f8", false, "(700, 600)"), Data<double>(700, 600, false));
  ExpectValues(Load(dir, large, true).mat, 700, 600);
  EXPECT_EQ(Load(dir, large.substr(0, large.size() - 8), true).error,
            "stream ends after 3359992 of 3360000 data bytes (end of file)");
}

// fuse_results gives the same output and result files with .npy scores
// (distractors and probes, by file and, in C order, distractors by pipe) as
// with the same scores converted to matrix files by npy_to_mat; many equal
// scores and a few NaNs make the order of the best distractors matter.
TEST(NpyFileTest, FuseResultsGivesWhatConvertingFirstGives) {
  const ScratchDir dir;
  const testutil::RunResult made =
      testutil::Run(dir, MAKE_EXPERIMENT_BIN,
                    {"--out", dir.path(), "--probes", "300", "--subjects", "40",
                     "--distractors", "3000", "--distractor_rows", "320",
                     "--score_levels", "16"});
  ASSERT_EQ(made.status, 0) << made.err;
  // The scores as float32 and float64 (a little off float32, so that
  // values change), in C and Fortran order.
  const char* kSave = R"(
import sys, numpy as np
def load(path):
    raw = open(path, 'rb').read()
    rows, cols = np.frombuffer(raw[:8], '<i4')
    return np.frombuffer(raw[16:], '<f4').reshape(rows, cols).copy()
d, p = sys.argv[1], sys.argv[2]
for name, m in (('distractor', load(d + '/distractor_scores.mat')),
                ('probe', load(d + '/probe_scores.mat'))):
    m[3, 5] = m[4, 0] = m[310 % len(m), 7] = np.nan
    wide = m.astype(np.float64) + 1e-9
    for form, a in (('f4c', m), ('f8c', wide), ('f4f', np.asfortranarray(m)),
                    ('f8f', np.asfortranarray(wide))):
        np.save('%s/%s_%s.npy' % (p, name, form), a)
)";
  ASSERT_EQ(testutil::Run(dir, "/usr/bin/python3",
                          {"-c", kSave, dir.path(), dir.path()})
                .status,
            0);
  const auto run = [&](const std::string& distractors,
                       const std::string& probes, bool pipe) {
    std::string command = Quote(FUSE_RESULTS_BIN) + " " +
                          (pipe ? "/dev/stdin" : Quote(distractors));
    for (const std::string& arg :
         {probes, dir.Path("probe_info.json"), std::string("2990"),
          dir.Path("r.json"), dir.Path("m.json")}) {
      command += " " + Quote(arg);
    }
    if (pipe) command += " <" + Quote(distractors);
    const testutil::RunResult result =
        testutil::Run(dir, "/bin/sh", {"-c", command});
    std::string out = result.out;
    out.replace(out.find(probes), probes.size(), "PROBES");
    return std::to_string(result.status) + "\n" + out +
           ReadFile(dir.Path("r.json")) + ReadFile(dir.Path("m.json"));
  };
  for (const std::string form : {"f4c", "f8c", "f4f", "f8f"}) {
    std::string npy[2], mat[2];
    for (int i = 0; i < 2; ++i) {
      const std::string name = (i == 0 ? "distractor_" : "probe_") + form;
      npy[i] = dir.Path(name + ".npy");
      mat[i] = dir.Path(name + ".mat");
      ASSERT_EQ(testutil::Run(dir, "/usr/bin/python3",
                              {FUSE_RESULTS_SOURCE_DIR "/python/npy_to_mat.py",
                               npy[i], mat[i]})
                    .status,
                0);
    }
    const std::string expected = run(mat[0], mat[1], false);
    ASSERT_EQ(expected.substr(0, 2), "0\n") << expected;
    // Compared as booleans: a failure must not print megabytes.
    EXPECT_TRUE(run(npy[0], npy[1], false) == expected) << form;
    EXPECT_TRUE(run(npy[0], mat[1], false) == expected) << form;
    if (form.back() == 'c') {
      EXPECT_TRUE(run(npy[0], npy[1], true) == expected) << form;
    }
  }
}

}  // namespace
