// MatIO's writers and readers: bit-for-bit round trips, storage reuse, and
// truncated or lying inputs refused without taking the memory they announce.
// Python's tests run the malformed headers through Load.
#include "matio/mat_io.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/test_util.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

std::string H(int32_t rows, int32_t cols, int32_t step, int32_t type) {
  const int32_t fields[] = {rows, cols, step, type};
  return std::string(reinterpret_cast<const char*>(fields), 16);
}

// Random element bytes: floats then include NaN payloads and infinities.
cv::Mat RandomMat(int rows, int cols, int type, int seed) {
  cv::Mat mat(rows, cols, type);
  cv::Mat raw(rows, cols * mat.elemSize(), CV_8U, mat.data);
  if (!raw.empty()) cv::RNG(seed).fill(raw, cv::RNG::UNIFORM, 0, 256);
  return mat;
}

// The file of `m` with rows `step` bytes apart, the gaps filled with 0xEE.
std::string Strided(const cv::Mat& m, int64_t step, int32_t type) {
  std::string bytes = H(m.rows, m.cols, step, type);
  const size_t row = m.cols * m.elemSize();
  for (int r = 0; r < m.rows; ++r) {
    bytes += std::string(m.ptr<char>(r), row) + std::string(step - row, '\xEE');
  }
  return bytes;
}

std::string File(const cv::Mat& m) {
  return Strided(m, m.cols * m.elemSize(), m.type());
}

bool BitEqual(const cv::Mat& a, const cv::Mat& b) { return File(a) == File(b); }

std::string Temp(const std::string& bytes) {
  static testutil::ScratchDir scratch;
  static int count = 0;
  const std::string path = scratch.Path(std::to_string(count++));
  testutil::WriteFile(path, bytes);
  return path;
}

struct Unseekable : std::streambuf {  // As a pipe.
  explicit Unseekable(std::string* s) {
    setg(&(*s)[0], &(*s)[0], &(*s)[0] + s->size());
  }
};

// Writers 0, 1, 2: Save, write, Write, into `path` (default: a new file);
// "<failed>" when they return false.
std::string WriteWith(int writer, const cv::Mat& mat, std::string path = "") {
  if (path.empty()) path = Temp("");
  FILE* file = fopen(path.c_str(), "wb");
  std::ofstream stream(path, std::ios::binary);
  const bool ok = writer == 0   ? MatIO::Save(path, mat)
                  : writer == 1 ? MatIO::write(mat, file)
                                : MatIO::Write(mat, &stream);
  fclose(file);
  stream.close();
  return ok ? testutil::ReadFile(path) : "<failed>";
}

// Returns read() as called while the process may map at most `headroom`
// bytes more than now (no limit for 0, nor under sanitizers); large blocks
// are then mapped afresh, never taken from memory freed earlier.
template <typename Read>
bool Capped(int64_t headroom, Read read) {
  if (headroom == 0 || testutil::kSanitized) return read();
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  malloc_trim(0);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit saved;
  getrlimit(RLIMIT_AS, &saved);
  const rlimit capped = {rlim_t(pages * sysconf(_SC_PAGESIZE) + headroom),
                         saved.rlim_max};
  const bool active = setrlimit(RLIMIT_AS, &capped) == 0;
  const bool ok = read();
  if (active) setrlimit(RLIMIT_AS, &saved);
  return ok;
}

// Inputs of known length (a file, a seekable stream) and of unknown length
// (a pipe, an unseekable stream). Load is read on an opened file.
enum Reader { kFile, kPipe, kStream, kUnseekable, kPartialFile, kPartialPipe };
const char* const kNames[] = {"read",        "read(pipe)",
                              "Read",        "Read(unseekable)",
                              "PartialRead", "PartialRead(pipe)"};
bool FromPipe(int r) { return r == kPipe || r == kPartialPipe; }
bool IsStream(int r) { return r == kStream || r == kUnseekable; }

// Reads `bytes` with `reader` under Capped(headroom), PartialRead keeping `n`
// rows. Returns "" or the error; sets `*consumed` to the bytes taken.
std::string ReadWith(int reader, const std::string& bytes, cv::Mat* mat,
                     int64_t headroom, int n = INT_MAX,
                     int64_t* consumed = nullptr) {
  const std::string path = Temp(bytes);
  std::string copy = reader == kUnseekable ? bytes : "";
  Unseekable unseekable(&copy);
  std::stringbuf seekable(reader == kStream ? bytes : "");
  std::istream in(reader == kStream ? static_cast<std::streambuf*>(&seekable)
                                    : &unseekable);
  FILE* f = FromPipe(reader) ? popen(("cat " + path).c_str(), "r")
                             : fopen(path.c_str(), "rb");
  std::string error;
  const bool ok = Capped(headroom, [&] {
    return IsStream(reader)   ? MatIO::Read(mat, &in, &error)
           : reader < kStream ? MatIO::read(f, mat, &error)
                              : MatIO::PartialRead(f, mat, n, &error);
  });
  int64_t rest = IsStream(reader) ? in.rdbuf()->in_avail() : 0;
  static char drain[1 << 16];  // Lets `cat` finish when the reader gave up.
  for (size_t got; !IsStream(reader) && (got = fread(drain, 1, 65536, f));) {
    rest += got;
  }
  FromPipe(reader) ? pclose(f) : fclose(f);
  unlink(path.c_str());
  if (consumed != nullptr) *consumed = int64_t(bytes.size()) - rest;
  return ok ? "" : error.empty() ? "(no error)" : error;
}

// Every writer produces the canonical file (no gap, no high type bits).
// Every reader returns the matrix in contiguous storage, leaves old storage
// of another shape alone and stops right after the rows it keeps, which are
// all PartialRead needs. Gaps go through in batches or, past the scratch
// buffer, row by row; the 5 MiB case comes from pipes in growing chunks.
TEST(MatIOTest, EveryWriterAndReaderRoundTripBitForBit) {
  // Rows, cols, type, gap bytes after each row, type bits 12-31. Types
  // 0xFF8 and 0xFFE have 512 channels; without rows the step is not used.
  const int64_t cases[][5] = {
      {3, 3, CV_32F, 0, 0},          {4, 3, CV_64FC2, 0, 0},
      {5, 7, CV_8UC3, 0, 0},         {2, 3, 0xFF8, 0, 0},
      {1, 1, 0xFFE, 0, 0},           {0, 0, CV_8U, 0, 0},
      {0, 4, CV_32F, 0, 0},          {3, 0, CV_64F, 0, 0},
      {2, 2, CV_32F, 0, 0xABCDE000}, {4, 3, CV_32F, 4, 0},
      {3, 2, CV_64FC3, 12, 0},       {2, 5, CV_8U, (1 << 20) + 3, 0},
      {3, 0, CV_32F, 12, 0},         {0, 4, CV_32F, -32, 0},
      {640, 2048, CV_32F, 8, 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto [rows, cols, type, gap, high_bits] = cases[i];
    const cv::Mat m = RandomMat(rows, cols, type, i);
    const int64_t step = cols * m.elemSize() + gap;
    const std::string bytes = Strided(m, step, type | high_bits);
    SCOPED_TRACE("case " + std::to_string(i));
    for (int w = 0; w < 3 && gap == 0 && high_bits == 0; ++w) {
      EXPECT_EQ(WriteWith(w, m), bytes) << "writer " << w;
    }
    for (int r = kFile; r <= kPartialPipe; ++r) {
      for (int n : {-1, 1, 200, INT_MAX}) {
        if (r < kPartialFile && n != INT_MAX) continue;
        const int kept = std::clamp<int64_t>(n, 0, rows);
        const int64_t size = 16 + kept * step;
        cv::Mat expected(kept, cols, m.type()),
            back = RandomMat(1, 1, CV_8U, 9);
        if (!expected.empty()) m.rowRange(0, kept).copyTo(expected);
        const cv::Mat old = back;
        int64_t consumed = -1;
        const std::string error =
            ReadWith(r, bytes.substr(0, size) + "tail", &back,
                     2 * int64_t(bytes.size()) + 64 * kMiB, n, &consumed);
        EXPECT_TRUE(error.empty() && BitEqual(back, expected) &&
                    consumed == size && (back.empty() || back.isContinuous()) &&
                    BitEqual(old, RandomMat(1, 1, CV_8U, 9)))
            << kNames[r] << " " << n << " " << error;
      }
    }
  }
  // ReadHeader, which the row streams use, drops type bits 12-31 too.
  FILE* file = fopen(Temp(H(7, 1, 8, int32_t(0xABCDE006))).c_str(), "rb");
  MatHeader header;
  EXPECT_TRUE(MatIO::ReadHeader(file, &header) && header.type == 6);
  fclose(file);
}

// Fresh storage of 4 MiB or more starts on a 2 MiB boundary, so that huge
// pages can back all of it, from every reader; smaller matrices and the
// values are as they would be anyway.
TEST(MatIOTest, LargeMatricesStartOnHugePageBoundaries) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const cv::Mat large = RandomMat(1100, 1024, CV_32F, 30);
  const cv::Mat small = RandomMat(30, 20, CV_64F, 31);
  for (int r = kFile; r <= kPartialPipe; ++r) {
    cv::Mat back;
    ASSERT_EQ(ReadWith(r, File(large), &back, 0), "") << kNames[r];
    EXPECT_TRUE(BitEqual(back, large)) << kNames[r];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(back.data) % kHugePage, 0u)
        << kNames[r];
    cv::Mat copy = back;  // Shared storage outlives the first owner.
    back.release();
    EXPECT_TRUE(BitEqual(copy, large)) << kNames[r];
    cv::Mat few;
    ASSERT_EQ(ReadWith(r, File(small), &few, 0), "") << kNames[r];
    EXPECT_TRUE(BitEqual(few, small)) << kNames[r];
  }
  cv::Mat created;
  CreateOnHugePages(2048, 512, CV_32FC2, &created);
  EXPECT_TRUE(created.isContinuous() && created.rows == 2048 &&
              created.cols == 512 && created.type() == CV_32FC2);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(created.data) % kHugePage, 0u);
}

// A view of the file's shape and type is filled in place by read, from a
// pipe without staging the 4 MiB first (within 2 MiB); Read always takes new
// storage and leaves the view's as it was.
TEST(MatIOTest, OnlyReadFillsMatchingStorageInPlace) {
  const cv::Mat stored = RandomMat(1024, 1024, CV_32F, 15);
  const cv::Rect inside(1, 1, 1024, 1024);
  for (int r = kFile; r <= kUnseekable; ++r) {
    cv::Mat parent = RandomMat(1026, 1026, CV_32F, 16);
    cv::Mat expected = parent.clone(), view = parent(inside);
    if (!IsStream(r)) stored.copyTo(expected(inside));
    const int64_t headroom = IsStream(r) ? 0 : 2 * kMiB;
    ASSERT_EQ(ReadWith(r, File(stored), &view, headroom), "") << kNames[r];
    EXPECT_EQ(view.data == parent.ptr(1) + 4, !IsStream(r)) << kNames[r];
    EXPECT_TRUE(BitEqual(view, stored) && BitEqual(parent, expected));
  }
}

// A view is stored with its own stride only when that span lies within its
// storage. What the format cannot hold is refused, Save then creating
// nothing; a full device fails the data, or the flush or close of a header.
TEST(MatIOTest, WritersStoreViewsAndReportFailures) {
  const cv::Mat parent = RandomMat(4, 5, CV_32F, 20);
  // Each view with the stored step and the offset of its first element in
  // the parent (-1: a contiguous copy is stored).
  const std::tuple<cv::Rect, int, int> cases[] = {
      {cv::Rect(1, 0, 2, 3), 20, 4},   // The stride's span ends inside.
      {cv::Rect(1, 2, 2, 2), 8, -1},   // It would pass the end.
      {cv::Rect(3, 3, 2, 1), 8, 72}};  // One row needs no stride.
  for (const auto& [rect, step, offset] : cases) {
    const cv::Mat view = parent(rect);
    const std::string expected =
        offset < 0
            ? File(view)
            : H(rect.height, rect.width, step, CV_32F) +
                  std::string(parent.ptr<char>() + offset, rect.height * step);
    for (int w = 0; w < 3; ++w) {
      EXPECT_EQ(WriteWith(w, view), expected) << rect << " writer " << w;
    }
  }
  // Three dimensions, depth 7, a row of 2 GiB (whose storage is never read).
  const int sizes[] = {2, 2, 2};
  for (const cv::Mat& m : {cv::Mat(3, sizes, CV_32F), cv::Mat(2, 2, CV_16F),
                           cv::Mat(1, 1 << 29, CV_32F, parent.data)}) {
    const std::string path = Temp("") + "x";
    EXPECT_FALSE(MatIO::Save(path, m) || testutil::Exists(path));
    EXPECT_EQ(WriteWith(2, m), "<failed>");
  }
  for (int w = 0; w < 3; ++w) {
    EXPECT_EQ(WriteWith(w, parent, "/dev/full"), "<failed>") << w;
    EXPECT_EQ(WriteWith(w, cv::Mat(), "/dev/full"), "<failed>") << w;
  }
}

// Every reader refuses with the message that says why, within 24 MiB, and
// leaves the output alone, except that a pipe's reader may reshape it for a
// small matrix before the data runs out and a file's reader release it when
// an honest header's matrix finds no room.
TEST(MatIOTest, TruncatedAndLyingInputsAreRefused) {
  const std::string whole = File(RandomMat(3, 2, CV_32F, 21));
  // 40 MiB announced and delivered, of which 1 + 2 + 4 + 8 MiB are staged
  // when the 16 MiB chunk finds no room.
  const std::string honest =
      H(40, 1 << 18, 1 << 20, CV_32F) + std::string(40 * kMiB, 'Z');
  // Input, then what readers of known and unknown length say ("": same).
  const std::string cases[][3] = {
      {H(1, INT_MAX, INT_MAX, 5) + whole, "step 2147483647 is smaller", ""},
      {whole.substr(0, 39),
       "header announces 3 x 2 floats (step 8) = 24 data bytes but only 23 "
       "remain",
       "stream ends after 23 of 24 data bytes"},
      // 2^40 bytes announced, 3 MiB delivered.
      {H(1 << 20, 1 << 18, 1 << 20, CV_32F) + std::string(3 * kMiB, 'Z'),
       "header announces 1048576 x 262144 floats (step 1048576) = "
       "1099511627776 data bytes but only 3145728 remain",
       "stream ends after 3145728 of 1099511627776 data bytes"},
      {H(INT_MAX, INT_MAX / 4, INT_MAX - 3, CV_32F),  // 2^62 data bytes.
       "header announces 2147483647 x 536870911 floats",
       "cannot allocate 2147483647 x 536870911 floats"},
      {honest, "cannot allocate 40 x 262144 floats",
       "cannot allocate a read buffer for 40 x 262144 floats"}};
  for (const auto& [input, known, unknown] : cases) {
    // Without a limit the honest read would succeed.
    if (testutil::kSanitized && input.size() == honest.size()) continue;
    for (int r = kFile; r <= kUnseekable; ++r) {
      SCOPED_TRACE(std::string(kNames[r]) + " on " + input.substr(0, 16));
      cv::Mat out = RandomMat(2, 2, CV_32F, 22);
      const std::string error = ReadWith(r, input, &out, 24 * kMiB);
      const bool says_known = r == kFile || r == kStream || unknown.empty();
      EXPECT_EQ(error.rfind(says_known ? known : unknown, 0), 0u) << error;
      const bool may_change =
          r == kPipe || (r == kFile && input.size() == honest.size());
      EXPECT_TRUE(may_change || BitEqual(out, RandomMat(2, 2, CV_32F, 22)));
    }
  }
}

}  // namespace
