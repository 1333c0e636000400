// MatRowStream delivers exactly the selected elements of a float matrix
// file, in order and in runs that fit the caller's pieces, from a regular
// file and from a pipe alike, and refuses a data section that ends early
// even where the selection does not reach its end. (The fuzz target
// mat_row_stream checks the same on arbitrary files.)
#include "matio/mat_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/test_util.h"

namespace {

// The stored file of a rows x cols float matrix whose element (r, c) is
// 100 r + c, with `gap` bytes after each row, cut to `keep` bytes.
std::string File(int32_t rows, int32_t cols, int32_t gap,
                 size_t keep = std::string::npos) {
  const int32_t header[4] = {rows, cols, cols * 4 + gap, 5};
  std::string bytes(reinterpret_cast<const char*>(header), 16);
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < cols; ++c) {
      const float value = 100.0f * r + c;
      bytes.append(reinterpret_cast<const char*>(&value), 4);
    }
    bytes.append(gap, '\xEE');
  }
  return bytes.substr(0, keep);
}

// Opens `bytes` from a regular file or, as a pipe, from /proc/self/fd;
// reads the selection in pieces of `capacity` floats. Returns the values
// read, with a check of every run's place, or the error.
// With `first_col` >= 0, reads the share of columns first_col .. cols - 1
// from a regular file instead (SelectColumns). With `defer`, lets Next
// only lay each piece out and does its reads afterwards, last first.
std::string ReadSelection(const testutil::ScratchDir& dir,
                          const std::string& bytes, bool pipe, int32_t rows,
                          int32_t cols, int64_t capacity,
                          int32_t first_col = -1, bool defer = false) {
  std::string path = dir.Path("m.mat");
  int fds[2] = {-1, -1};
  if (pipe) {
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    path = "/proc/self/fd/" + std::to_string(fds[0]);
  } else {
    testutil::WriteFile(path, bytes);
  }
  MatRowStream stream;
  bool opened = false;
  std::string error, values;
  if (stream.Open(path, &opened, &error)) {
    const int32_t first = std::max(first_col, 0);
    if (first_col >= 0) {
      stream.SelectColumns(rows, first_col, cols);
    } else {
      stream.Select(rows, cols);
    }
    std::vector<float> buffer(capacity);
    std::vector<RowSegment> segments;
    std::vector<DeferredRead> reads;
    EXPECT_EQ(stream.CanDeferReads(), !pipe);
    auto next = [&] {
      if (!defer)
        return stream.Next(buffer.data(), capacity, &segments, &error);
      if (!stream.Next(buffer.data(), capacity, &segments, &reads, &error)) {
        return false;
      }
      for (auto read = reads.rbegin(); read != reads.rend(); ++read) {
        if (!stream.ReadDeferred(*read, &error)) return false;
      }
      return true;
    };
    int32_t row = 0, col = first;
    while (next() && !segments.empty()) {
      for (const RowSegment& s : segments) {
        EXPECT_TRUE(s.row == row && s.first_col == col && s.count > 0);
        for (int32_t k = 0; k < s.count; ++k) {
          values += std::to_string(static_cast<int>(s.values[k])) + " ";
        }
        col += s.count;
        if (col == std::min(cols, stream.header().cols)) col = first, ++row;
      }
    }
    EXPECT_TRUE(!error.empty() || stream.bytes_done() == stream.bytes_total());
  }
  if (pipe) close(fds[0]);
  return error.empty() ? values : "error: " + error;
}

// OpenThenCut opens a regular file holding `bytes` with `stream`, then
// cuts the file to its first `keep` bytes, as a file that shrinks while it
// is read.
void OpenThenCut(const testutil::ScratchDir& dir, const std::string& bytes,
                 size_t keep, MatRowStream* stream) {
  testutil::WriteFile(dir.Path("m.mat"), bytes);
  bool opened = false;
  std::string error;
  ASSERT_TRUE(stream->Open(dir.Path("m.mat"), &opened, &error)) << error;
  testutil::WriteFile(dir.Path("m.mat"), bytes.substr(0, keep));
}

TEST(MatRowStreamTest, DeliversTheSelectionInPiecesFromFilesAndPipes) {
  testutil::ScratchDir dir;
  // Selected rows and columns (beyond the matrix: all of it), and the
  // values read.
  const std::tuple<int32_t, int32_t, std::string> cases[] = {
      {2, 3, "0 1 2 100 101 102 "},
      {9, 99, "0 1 2 3 100 101 102 103 200 201 202 203 "},
      {1, 1, "0 "},
      {0, 4, ""},
      {3, 0, ""}};
  for (const int32_t gap : {0, 12}) {
    for (const auto& [rows, cols, expected] : cases) {
      for (const bool pipe : {false, true}) {
        for (const int64_t capacity : {1, 5, 1000}) {
          for (const bool defer : {false, !pipe}) {
            SCOPED_TRACE(testing::Message()
                         << "gap " << gap << " pipe " << pipe << " " << rows
                         << "x" << cols << " capacity " << capacity << " defer "
                         << defer);
            EXPECT_EQ(ReadSelection(dir, File(3, 4, gap), pipe, rows, cols,
                                    capacity, -1, defer),
                      expected);
          }
        }
      }
    }
  }
  // A pipe that ends early fails while it is read, even where the
  // selection stops before the end (a regular file is refused at Open).
  EXPECT_EQ(ReadSelection(dir, File(3, 4, 0, 16 + 40), true, 1, 4, 100),
            "error: stream ends after 40 of 48 data bytes (end of file)");
}

TEST(MatRowStreamTest, ReadsOnlyItsShareOfTheColumns) {
  testutil::ScratchDir dir;
  // (rows, first_col, end_col) of a 3 x 4 matrix and the values read.
  const std::tuple<int32_t, int32_t, int32_t, std::string> cases[] = {
      {3, 1, 3, "1 2 101 102 201 202 "},
      {2, 0, 4, "0 1 2 3 100 101 102 103 "},
      {3, 3, 99, "3 103 203 "},
      {9, 0, 1, "0 100 200 "},
      {3, 2, 2, ""},
      {3, 4, 9, ""}};
  for (const int32_t gap : {0, 12}) {
    for (const auto& [rows, first, end, expected] : cases) {
      for (const int64_t capacity : {1, 3, 1000}) {
        for (const bool defer : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << "gap " << gap << " rows " << rows << " columns "
                       << first << ".." << end << " capacity " << capacity
                       << " defer " << defer);
          EXPECT_EQ(ReadSelection(dir, File(3, 4, gap), false, rows, end,
                                  capacity, first, defer),
                    expected);
        }
      }
    }
  }
  // The share is read where it lies: bytes beyond it are never needed,
  // so a read that fails inside the share is reported with its place.
  MatRowStream stream;
  OpenThenCut(dir, File(3, 4, 0), 16 + 20, &stream);
  std::string error;
  stream.SelectColumns(3, 2, 4);
  std::vector<float> buffer(100);
  std::vector<RowSegment> segments;
  EXPECT_FALSE(stream.Next(buffer.data(), 100, &segments, &error));
  EXPECT_EQ(error, "stream ends after 24 of 48 data bytes (end of file)");
}

TEST(MatRowStreamTest, DeferredReadsFailAsTheStreamWouldHave) {
  // A file cut after Open: laying the pieces out succeeds, and the read of
  // the piece with the missing bytes fails with the message Next gives
  // when it reads them itself.
  testutil::ScratchDir dir;
  for (const bool defer : {false, true}) {
    MatRowStream stream;
    OpenThenCut(dir, File(3, 4, 0), 16 + 26, &stream);
    std::string error;
    stream.Select(3, 3);
    std::vector<float> buffer(4);
    std::vector<RowSegment> segments;
    std::vector<DeferredRead> reads;
    std::string failure;
    int64_t delivered = 0;
    for (int piece = 0; piece < 4 && failure.empty(); ++piece) {
      bool laid_out =
          defer ? stream.Next(buffer.data(), 4, &segments, &reads, &error)
                : stream.Next(buffer.data(), 4, &segments, &error);
      for (const DeferredRead& read : reads) {
        laid_out = laid_out && stream.ReadDeferred(read, &error);
      }
      if (!laid_out) failure = error;
      if (laid_out) delivered += segments.size();
    }
    SCOPED_TRACE(defer ? "deferred" : "read by Next");
    EXPECT_EQ(failure, "stream ends after 26 of 48 data bytes (end of file)");
    EXPECT_EQ(delivered, 2);  // Row 0, then the first run of row 1.
  }
}

}  // namespace
