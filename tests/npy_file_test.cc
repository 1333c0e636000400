// .npy score files: the loader and the row stream read float32 and float64
// in both orders from files and pipes as NumPy converts them, refuse other
// arrays saying what they hold, and give fuse_results the results it gives
// on the scores converted first. (The fuzz target npy_read tries the rest.)
#include "matio/npy_file.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "matio/score_matrix.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::ScratchDir;

// A .npy file of version `major`.0 holding `dict`, padded with spaces and
// a newline as NumPy pads it, then `data`.
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

// The value of element (r, c) of every test matrix.
float Value(int64_t r, int64_t c) { return 100.0f * r + c + 0.25f; }

// The data section of a rows x cols matrix of Value, stored as T.
template <typename T>
std::string Data(int32_t rows, int32_t cols, bool fortran) {
  std::string data;
  for (int64_t i = 0; i < int64_t{rows} * cols; ++i) {
    const T value =
        fortran ? Value(i % rows, i / rows) : Value(i / cols, i % cols);
    data.append(reinterpret_cast<const char*>(&value), sizeof(T));
  }
  return data;
}

using Pipe = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Writes `bytes` to a file and returns its path, or with `pipe` the path of
// a pipe that `*cat` feeds from it.
std::string ScoreFile(const ScratchDir& dir, const std::string& bytes,
                      bool pipe, Pipe* cat) {
  const std::string path = dir.Path("scores.npy");
  testutil::WriteFile(path, bytes);
  if (!pipe) return path;
  cat->reset(popen(("exec cat " + testutil::Quote(path)).c_str(), "r"));
  return "/proc/self/fd/" + std::to_string(fileno(cat->get()));
}

struct Loaded {
  std::string error;
  cv::Mat mat;
  int64_t changed = -1;
};

Loaded Load(const ScratchDir& dir, const std::string& bytes, bool pipe) {
  Pipe cat(nullptr, pclose);
  Loaded got;
  LoadScoreMatrix(ScoreFile(dir, bytes, pipe, &cat), &got.mat, &got.changed,
                  &got.error);
  return got;
}

// Streams the first `rows` x `cols` of `bytes` in pieces of `capacity`
// floats (0: as advised), checking that they come in runs that fit the
// pieces, in row order (C order) or column block by column block (Fortran),
// as many as selected, the progress never going back and ending at the end.
Loaded Stream(const ScratchDir& dir, const std::string& bytes, bool pipe,
              int32_t rows, int32_t cols, int64_t capacity) {
  Pipe cat(nullptr, pclose);
  MatRowStream stream;
  bool opened = false;
  Loaded got;
  if (!stream.Open(ScoreFile(dir, bytes, pipe, &cat), &opened, &got.error)) {
    return got;
  }
  if (capacity == 0) capacity = stream.PieceFloats(16);
  stream.Select(rows, cols);
  rows = std::min(rows, stream.header().rows);
  cols = std::min(cols, stream.header().cols);
  got.mat = cv::Mat(rows, cols, CV_32FC1, cv::Scalar(-1));
  std::vector<float> buffer(capacity);
  std::vector<RowSegment> segments;
  int64_t next = 0, done = 0;  // Elements delivered; progress.
  const bool fortran = bytes.find("'fortran_order': True") != bytes.npos;
  while (stream.Next(buffer.data(), capacity, &segments, &got.error) &&
         !segments.empty()) {
    const RowSegment& first = segments[0];
    const int64_t before = next;
    for (const RowSegment& s : segments) {
      EXPECT_TRUE(s.count > 0 && s.values >= buffer.data() &&
                  s.values + s.count <= buffer.data() + capacity);
      EXPECT_TRUE(fortran ? s.first_col == first.first_col &&
                                s.count == first.count &&
                                s.row == first.row + (&s - &first)
                          : int64_t{s.row} * cols + s.first_col == next);
      next += s.count;
      std::copy(s.values, s.values + s.count,
                got.mat.ptr<float>(s.row) + s.first_col);
    }
    EXPECT_LE(next - before, capacity);
    EXPECT_GE(stream.bytes_done(), done);
    done = stream.bytes_done();
  }
  if (got.error.empty()) {
    EXPECT_EQ(next, int64_t{rows} * cols);
    EXPECT_EQ(stream.bytes_done(), stream.bytes_total());
  }
  got.changed = stream.changed_values();
  return got;
}

// Expects `got` to hold Value at every element of its rows x cols.
void ExpectValues(const Loaded& got, int32_t rows, int32_t cols) {
  EXPECT_EQ(got.error, "");
  const std::string values = Data<float>(rows, cols, false);
  ASSERT_TRUE(got.mat.type() == CV_32FC1 && got.mat.isContinuous() &&
              got.mat.rows == rows && got.mat.cols == cols);
  // An empty matrix has no storage to compare (memcmp must not see null).
  EXPECT_TRUE(values.empty() ||
              std::memcmp(got.mat.data, values.data(), values.size()) == 0);
}

TEST(NpyFileTest, ReadsBothTypesInBothOrdersOfEveryVersion) {
  const ScratchDir dir;
  const std::pair<int32_t, int32_t> selections[] = {
      {9, 99}, {3, 6}, {5, 1}, {0, 7}};
  for (int variant = 0; variant < 12; ++variant) {
    const bool fortran = variant & 1, wide = variant & 2;
    const int major = variant / 4 + 1;
    const std::string bytes = Npy(
        Dict(wide ? "<f8" : "<f4", fortran, "(5, 7)"),
        wide ? Data<double>(5, 7, fortran) : Data<float>(5, 7, fortran), major);
    for (const bool pipe : {false, true}) {
      if (fortran && pipe) continue;  // Refused; see below.
      SCOPED_TRACE(testing::Message() << variant << " pipe " << pipe);
      const Loaded loaded = Load(dir, bytes, pipe);
      ExpectValues(loaded, 5, 7);
      EXPECT_EQ(loaded.changed, 0);
      // Pieces of one element, of less than a column, of a few whole
      // columns or rows, and as advised; selections of all, some, none.
      for (const int64_t capacity : {1, 4, 11, 0}) {
        for (const auto& [rows, cols] : selections) {
          ExpectValues(Stream(dir, bytes, pipe, rows, cols, capacity),
                       std::min(rows, 5), std::min(cols, 7));
        }
      }
    }
  }
  // Columns longer than one read, and column blocks over several reads.
  for (const auto& [rows, cols] :
       {std::pair{600000, 3}, std::pair{1100, 1000}}) {
    const std::string shape =
        "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
    const std::string bytes =
        Npy(Dict("<f8", true, shape), Data<double>(rows, cols, true));
    ExpectValues(Load(dir, bytes, false), rows, cols);
    ExpectValues(Stream(dir, bytes, false, rows - 1, cols, 0), rows - 1, cols);
  }
}

// float64 values become what npy_to_mat (NumPy's astype(np.float32)) makes
// of them, and the values that change are counted as it counts them.
TEST(NpyFileTest, Float64ValuesBecomeFloat32AsNumPyConvertsThem) {
  const ScratchDir dir;
  const double inf = INFINITY, nan = NAN;
  // FLT_MAX, halfway from it to 2^128 (to infinity) and the double below,
  // 1 + 2^-24 (a tie, to 1) and the double above.
  const double top = 0x1.ffffffp127, under = std::nextafter(top, 0);
  const double tie = 0x1.000001p0, over = std::nextafter(tie, 2);
  const double values[] = {0.1,   0.5, 1e300, -1e300, inf,  -inf, nan,  FLT_MAX,
                           under, top, -top,  1e-50,  -0.0, tie,  over, 1e-45};
  const std::string data(reinterpret_cast<const char*>(values), sizeof(values));
  for (const bool fortran : {false, true}) {
    const std::string npy = dir.Path("wide.npy"), mat = dir.Path("narrow.mat");
    const std::string bytes = Npy(Dict("<f8", fortran, "(4, 4)"), data);
    testutil::WriteFile(npy, bytes);
    const testutil::RunResult converted = testutil::Run(
        dir, "/usr/bin/python3",
        {FUSE_RESULTS_SOURCE_DIR "/python/npy_to_mat.py", npy, mat});
    // "npy_to_mat: note: N of 16 float64 values ...".
    const size_t note = converted.err.find("note: ");
    cv::Mat expected;
    ASSERT_TRUE(note != std::string::npos && MatIO::Load(mat, &expected));
    for (const Loaded& got :
         {Load(dir, bytes, false), Stream(dir, bytes, false, 4, 4, 3)}) {
      EXPECT_EQ(got.changed, std::stoll(converted.err.substr(note + 6)));
      ASSERT_TRUE(got.mat.isContinuous() && got.mat.total() == 16);
      EXPECT_EQ(std::memcmp(got.mat.data, expected.data, 64), 0) << fortran;
    }
  }
}

// Arrays that are not score matrices, headers that lie and, on a pipe,
// Fortran order and data that ends early (even after the selection) are
// refused by both readers with the same one line.
TEST(NpyFileTest, RefusesWhatIsNotAScoreMatrixSayingWhatItHolds) {
  const std::string f4 = Data<float>(2, 3, false);
  const auto npy = [&](const std::string& descr, const std::string& shape) {
    return Npy(Dict(descr, false, shape), f4);
  };
  std::string lying_length = Npy(Dict("<f4", false, "(2, 3)"), f4, 2);
  lying_length.replace(8, 4, "\xf0\xff\xff\xff", 4);
  const std::string large =
      Npy(Dict("<f8", false, "(700, 600)"), Data<double>(700, 600, false));
  const std::string floats = "; only float32 and float64 are read";
  const std::string ends = " data bytes (end of file)";
  const std::tuple<std::string, bool, std::string> cases[] = {
      {npy("<i8", "(2, 3)"), false, "holds int64 values ('<i8')" + floats},
      {npy(">f4", "(2, 3)"), false,
       "holds big-endian float32 values ('>f4'); only little-endian float32 "
       "and float64 are read"},
      {npy("<f4", "(2, 3, 4)"), false,
       "holds a 3-D array of shape (2, 3, 4); a score matrix is 2-D"},
      {npy("<f4", "(3000000000, 2)"), false,
       "holds an array of shape (3000000000, 2); a score matrix has at most "
       "2147483647 rows and columns"},
      {npy("<f8", "(1, 300000000)"), false,
       "holds an array of shape (1, 300000000) of float64 values, rows of "
       "2400000000 bytes; a score matrix row has at most 2147483647 bytes"},
      {npy("<f4", "(2, 3)").replace(6, 1, "\x04"), false,
       "is a .npy file of version 4.0; only versions 1.0, 2.0 and 3.0 are "
       "read"},
      {lying_length, false,
       "header announces 4294967280 header bytes but only 140 remain"},
      {npy("<f4", "(2, 3)").substr(0, 40), false,
       "header announces 118 header bytes but only 30 remain"},
      {Npy(Dict("<f4", true, "(1000, 1000)"), f4), false,
       "header announces 1000 x 1000 float32 values = 4000000 data bytes but "
       "only 24 remain"},
      {npy("<f4", "(2, 3), 'x': 1"), false,
       "malformed .npy header: unknown key 'x' at byte 58 of its dict"},
      {Npy(Dict("<f4", true, "(2, 3)"), f4), true,
       "is in Fortran order, which can only be read from a regular file; "
       "save it in C order (np.ascontiguousarray) to stream it"},
      {Npy(Dict("<f4", false, "(3, 4)"), f4 + f4.substr(0, 16)), true,
       "stream ends after 40 of 48" + ends},
      {Npy(Dict("<f8", false, "(3, 4)"), f4 + f4 + f4 + f4.substr(0, 8)), true,
       "stream ends after 80 of 96" + ends},
      {large.substr(0, large.size() - 8), true,
       "stream ends after 3359992 of 3360000" + ends},
  };
  const ScratchDir dir;
  for (const auto& [bytes, pipe, message] : cases) {
    EXPECT_EQ(Load(dir, bytes, pipe).error, message);
    EXPECT_EQ(Stream(dir, bytes, pipe, 1, 4, 100).error, message);
    EXPECT_EQ(Stream(dir, bytes, pipe, 3, 2, 5).error, message);
  }
  // On a pipe, the loader gathers a large array as it arrives.
  ExpectValues(Load(dir, large, true), 700, 600);
}

// fuse_results gives the same output and files with .npy scores (by file,
// and distractors in C order by pipe) as with the scores converted first;
// many equal scores and a few NaNs make the order of the best matter.
TEST(NpyFileTest, FuseResultsGivesWhatConvertingFirstGives) {
  const ScratchDir dir;
  // Scores saved as float32 and float64 (a little off float32, so that
  // values change) in C and Fortran order, and each converted.
  const char* kSave = R"(
import subprocess, sys, numpy as np
sys.path.insert(0, sys.argv[1])
from fuse_tools import matfile, npy_convert
subprocess.run([sys.argv[3], '--out', sys.argv[2], '--probes', '300',
                '--subjects', '40', '--distractors', '3000',
                '--distractor_rows', '320', '--score_levels', '16'], check=True)
for name in ('distractor', 'probe'):
    m = np.array(matfile.read_mat('%s/%s_scores.mat' % (sys.argv[2], name)))
    m[3, 5] = m[4, 0] = m[310 % len(m), 7] = np.nan
    wide = m.astype(np.float64) + 1e-9
    for form, a in (('f4c', m), ('f8c', wide), ('f4f', np.asfortranarray(m)),
                    ('f8f', np.asfortranarray(wide))):
        path = '%s/%s_%s' % (sys.argv[2], name, form)
        np.save(path + '.npy', a)
        npy_convert.convert(path + '.npy', path + '.mat')
)";
  ASSERT_EQ(testutil::Run(dir, "/usr/bin/python3",
                          {"-c", kSave, FUSE_RESULTS_SOURCE_DIR "/python",
                           dir.path(), MAKE_EXPERIMENT_BIN})
                .status,
            0);
  // Status, output and result files of fuse_results on distractors `d`,
  // which may be /dev/stdin, a pipe from `in`, and probes `p`.
  const auto run = [&](const std::string& d, const std::string& p,
                       const std::string& in = "/dev/null") {
    const testutil::RunResult result =
        testutil::Run(dir, "/bin/sh",
                      {"-c", "cat \"$0\" | \"$@\"", in, FUSE_RESULTS_BIN, d, p,
                       dir.Path("probe_info.json"), "2990", dir.Path("r.json"),
                       dir.Path("m.json")});
    std::string out = result.out;
    out.replace(out.find(p), p.size(), "PROBES");
    return std::to_string(result.status) + "\n" + out +
           ReadFile(dir.Path("r.json")) + ReadFile(dir.Path("m.json"));
  };
  for (const std::string form : {"f4c", "f8c", "f4f", "f8f"}) {
    const std::string d = dir.Path("distractor_" + form) + ".";
    const std::string p = dir.Path("probe_" + form) + ".";
    const std::string expected = run(d + "mat", p + "mat");
    ASSERT_EQ(expected.substr(0, 2), "0\n") << expected;
    // Compared as booleans: a failure must not print megabytes.
    EXPECT_TRUE(run(d + "npy", p + "npy") == expected) << form;
    EXPECT_TRUE(run(d + "npy", p + "mat") == expected) << form;
    if (form.back() == 'c') {
      EXPECT_TRUE(run("/dev/stdin", p + "npy", d + "npy") == expected) << form;
    }
  }
}

}  // namespace
