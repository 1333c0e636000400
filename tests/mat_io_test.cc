#include "matio/mat_io.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>

#include "tests/test_util.h"

namespace {

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
std::string Strided(const cv::Mat& m, int step, int32_t type) {
  std::string bytes = H(m.rows, m.cols, step, type);
  const size_t row = m.cols * m.elemSize();
  for (int r = 0; r < m.rows; ++r) {
    bytes += std::string(m.ptr<char>(r), row) + std::string(step - row, '\xEE');
  }
  return bytes;
}

// The canonical file of `m`: its header, then its rows without gaps.
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

enum Reader { kLoad, kRead, kPipe, kPartial, kStream, kUnseekable, kReaders };
const char* const kNames[] = {"Load",        "read", "read(pipe)",
                              "PartialRead", "Read", "Read(unseekable)"};
struct Outcome {
  bool ok = false;
  std::string error;
  int64_t consumed = -1;  // Bytes taken from the input; -1 for Load.
};

Outcome ReadWith(int reader, const std::string& bytes, cv::Mat* mat) {
  const std::string path = Temp(bytes);
  std::string copy = bytes;
  Unseekable unseekable(&copy);
  std::stringbuf seekable(bytes);
  std::istream in(reader == kStream ? static_cast<std::streambuf*>(&seekable)
                                    : &unseekable);
  FILE* f = reader == kPipe ? popen(("cat " + path).c_str(), "r")
                            : fopen(path.c_str(), "rb");
  Outcome o;
  o.ok = reader == kLoad      ? MatIO::Load(path, mat, &o.error)
         : reader == kPartial ? MatIO::PartialRead(f, mat, INT_MAX, &o.error)
         : reader <= kPipe    ? MatIO::read(f, mat, &o.error)
                              : MatIO::Read(mat, &in, &o.error);
  int64_t rest = reader >= kStream ? in.rdbuf()->in_avail() : 0;
  while (reader < kStream && fgetc(f) != EOF) ++rest;
  reader == kPipe ? pclose(f) : fclose(f);
  if (reader != kLoad) o.consumed = int64_t(bytes.size()) - rest;
  return o;
}

// Canonical files (no gap, no high type bits) must also be what every
// writer produces. Short gaps go through in batches, a row longer than the
// scratch buffer one by one; rows without columns are dropped whole.
TEST(MatIOTest, EveryWriterAndReaderRoundTripBitForBit) {
  // Case 0 holds these NaN payloads, infinities, -0 and denormals.
  const uint32_t edge_bits[] = {0x7FC00000, 0xFFC00001, 0x7F800001,  // NaNs
                                0x7F800000, 0xFF800000, 0x80000000,  // inf, -0
                                0x00000001, 0x7F7FFFFF, 0x3F800000};
  // Rows, cols, type, gap bytes after each row, type bits 12-31. Types
  // 0xFF8 and 0xFFE have 512 channels; without rows the step is not used.
  const int64_t cases[][5] = {
      {3, 3, CV_32F, 0, 0},          {4, 3, CV_64FC2, 0, 0},
      {5, 7, CV_8UC3, 0, 0},         {2, 9, CV_8S, 0, 0},
      {3, 4, CV_16U, 0, 0},          {6, 1, CV_16S, 0, 0},
      {1, 3, CV_32SC4, 0, 0},        {2, 3, 0xFF8, 0, 0},
      {1, 1, 0xFFE, 0, 0},           {0, 0, CV_8U, 0, 0},
      {0, 4, CV_32F, 0, 0},          {3, 0, CV_64F, 0, 0},
      {2, 2, CV_32F, 0, 0xABCDE000}, {4, 3, CV_32F, 4, 0},
      {3, 2, CV_64FC3, 12, 0},       {2, 5, CV_8U, (1 << 20) + 3, 0},
      {3, 0, CV_32F, 12, 0},         {0, 4, CV_32F, -32, 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto [rows, cols, type, gap, high_bits] = cases[i];
    const cv::Mat m =
        i == 0 ? cv::Mat(3, 3, CV_32F, const_cast<uint32_t*>(edge_bits))
               : RandomMat(rows, cols, type, i);
    const std::string bytes =
        Strided(m, cols * m.elemSize() + gap, type | high_bits);
    SCOPED_TRACE("case " + std::to_string(i));
    for (int w = 0; w < 3 && gap == 0 && high_bits == 0; ++w) {
      EXPECT_EQ(WriteWith(w, m), bytes) << "writer " << w;
    }
    for (int r = 0; r < kReaders; ++r) {
      cv::Mat back = RandomMat(2, 2, CV_32F, 99);
      const Outcome o = ReadWith(r, bytes + "tail", &back);
      EXPECT_TRUE(o.ok && BitEqual(back, m)) << kNames[r] << o.error;
      EXPECT_TRUE(back.empty() || back.isContinuous());
      EXPECT_TRUE(o.consumed < 0 || o.consumed == int64_t(bytes.size()));
    }
  }
}

TEST(MatIOTest, WorkedExampleAndHeaders) {
  const float values[] = {1.5f, -2.0f, 0.25f, 3.0f, -0.0f, 1e30f};
  EXPECT_EQ(WriteWith(0, cv::Mat(3, 2, CV_32F, const_cast<float*>(values))),
            std::string("\3\0\0\0\2\0\0\0\x8\0\0\0\5\0\0\0", 16) +
                std::string(reinterpret_cast<const char*>(values), 24));
  // The header functions drop type bits 12-31.
  const std::string path = Temp("");
  FILE* file = fopen(path.c_str(), "wb");
  EXPECT_TRUE(MatIO::WriteHeader(file, {7, 1, 4, int32_t(0xFFFFF005)}));
  fclose(file);
  EXPECT_EQ(testutil::ReadFile(path), H(7, 1, 4, 5));
  file = fopen(Temp(H(7, 1, 8, int32_t(0xABCDE006)) + "next").c_str(), "rb");
  MatHeader header;
  EXPECT_TRUE(MatIO::ReadHeader(file, &header));
  EXPECT_EQ(header.type, 6);
  EXPECT_EQ(ftell(file), 16);
  fclose(file);
}

TEST(MatIOTest, ReadReusesMatchingStorageAndStreamReadReplacesIt) {
  const cv::Mat stored = RandomMat(3, 2, CV_32F, 15);
  const std::string bytes = WriteWith(0, stored);
  // A matching view is filled in place; the rest of its parent is kept.
  cv::Mat parent = RandomMat(5, 4, CV_32F, 16);
  cv::Mat expected = parent.clone();
  stored.copyTo(expected(cv::Rect(1, 1, 2, 3)));
  cv::Mat view = parent(cv::Rect(1, 1, 2, 3));
  ASSERT_TRUE(ReadWith(kRead, bytes, &view).ok);
  EXPECT_EQ(view.data, parent.ptr(1) + 4);
  EXPECT_TRUE(BitEqual(parent, expected));
  // Read, and read into another shape or type, take new storage.
  const std::pair<int, cv::Mat> cases[] = {
      {kStream, RandomMat(3, 2, CV_32F, 17)},
      {kRead, RandomMat(2, 3, CV_32F, 17)},
      {kRead, RandomMat(3, 2, CV_64F, 17)}};
  for (const auto& [reader, old] : cases) {
    cv::Mat target = old.clone();
    const cv::Mat holder = target;
    ASSERT_TRUE(ReadWith(reader, bytes, &target).ok);
    EXPECT_NE(target.data, holder.data) << kNames[reader];
    EXPECT_TRUE(BitEqual(holder, old) && BitEqual(target, stored));
  }
}

TEST(MatIOTest, PartialReadKeepsFirstRowsAndStopsAfterThem) {
  const cv::Mat mat = RandomMat(5, 3, CV_32F, 18);
  for (int n : {INT_MIN, -1, 0, 1, 3, 5, 6, INT_MAX}) {
    const int kept = std::clamp(n, 0, 5);
    // Only the kept rows need to be present; what follows is left unread.
    const std::string path =
        Temp(Strided(mat, 16, CV_32F).substr(0, 16 + kept * 16) + "TAIL");
    FILE* file = fopen(path.c_str(), "rb");
    cv::Mat out;
    ASSERT_TRUE(MatIO::PartialRead(file, &out, n)) << n;
    EXPECT_TRUE(
        BitEqual(out, kept ? mat.rowRange(0, kept) : cv::Mat(0, 3, CV_32F)));
    char next[5] = {};
    EXPECT_EQ(fread(next, 1, 5, file), 4u);
    EXPECT_STREQ(next, "TAIL") << n;
    fclose(file);
  }
}

TEST(MatIOTest, FailedLoadsAndWritesReturnFalse) {
  const cv::Mat before = RandomMat(2, 2, CV_32F, 19);
  cv::Mat out = before.clone();
  uchar* const data = out.data;
  std::string error;
  EXPECT_FALSE(MatIO::Load(Temp("") + "absent", &out, &error));
  // LoadFromMatlabMat loads nothing.
  EXPECT_FALSE(MatIO::LoadFromMatlabMat(Temp(WriteWith(0, out)), "s", &out));
  EXPECT_TRUE(out.data == data && BitEqual(out, before) && !error.empty());
  EXPECT_FALSE(MatIO::Save(Temp("") + "/dir/m.bin", before));
  // A full device fails the writes, or the flush or close of a header.
  for (int w = 0; w < 3; ++w) {
    EXPECT_EQ(WriteWith(w, before, "/dev/full"), "<failed>") << w;
    EXPECT_EQ(WriteWith(w, cv::Mat(), "/dev/full"), "<failed>") << w;
  }
  FILE* full = fopen("/dev/full", "wb");
  EXPECT_FALSE(MatIO::WriteHeader(full, MatHeader{}));
  fclose(full);
  // What the format cannot hold is refused, and Save then creates nothing:
  // three dimensions, depth 7, a row of 2 GiB (whose storage is never read).
  const int sizes[] = {2, 2, 2};
  for (const cv::Mat& m : {cv::Mat(3, sizes, CV_32F), cv::Mat(2, 2, CV_16F),
                           cv::Mat(1, 1 << 29, CV_32F, out.data)}) {
    const std::string path = Temp("") + "x";
    EXPECT_FALSE(MatIO::Save(path, m) || testutil::Exists(path));
    EXPECT_EQ(WriteWith(2, m), "<failed>");
  }
}

// The parent ends exactly where an inaccessible page begins, so a writer
// that reads past its storage crashes the test.
TEST(MatIOTest, ViewsAreWrittenWithoutReadingPastStorage) {
  const long page = sysconf(_SC_PAGESIZE);
  char* region =
      static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(region + page, page, PROT_NONE), 0);
  char* base = region + page - 4 * 5 * 4;
  cv::Mat parent(4, 5, CV_32F, base);
  RandomMat(4, 5, CV_32F, 20).copyTo(parent);
  // Each view with the stored step and the offset of its first element in
  // the parent (-1: a contiguous copy is stored).
  const std::tuple<cv::Rect, int, int> cases[] = {
      {cv::Rect(1, 0, 2, 3), 20, 4},   // Own stride, gap bytes included.
      {cv::Rect(0, 1, 5, 3), 20, 20},  // Contiguous rows.
      {cv::Rect(1, 2, 2, 2), 8, -1},   // Own stride would pass the end.
      {cv::Rect(3, 3, 2, 1), 8, 72}};  // One row needs no stride.
  for (const auto& [rect, step, offset] : cases) {
    const cv::Mat view = parent(rect);
    const std::string expected =
        offset < 0 ? File(view)
                   : H(rect.height, rect.width, step, CV_32F) +
                         std::string(base + offset, rect.height * step);
    for (int w = 0; w < 3; ++w) {
      EXPECT_EQ(WriteWith(w, view), expected) << rect << " writer " << w;
    }
  }
  munmap(region, 2 * page);
}

TEST(MatIOTest, MalformedHeadersAndTruncatedInputsAreRefused) {
  const std::string pad(64, '\0');
  const std::string whole = WriteWith(0, RandomMat(3, 2, CV_32F, 21));
  const std::pair<std::string, const char*> cases[] = {
      // Input, and Load's message when it is checked.
      {H(-3, 2, 8, 5) + pad, "negative row count -3"},
      {H(3, -1, 8, 5) + pad, nullptr},
      {H(3, 2, 8, 0xFFF) + pad, nullptr},  // Depth 7.
      {H(3, 2, 7, 5) + pad, nullptr},      // Step one byte short of a row.
      {H(1, INT_MAX, INT_MAX, 5) + pad, nullptr},  // Row bytes >= 2^31.
      {H(INT_MAX, 0, INT_MIN, 0) + pad, nullptr},  // Negative data length.
      {whole.substr(0, 15), nullptr},
      {whole.substr(0, 26),
       "header announces 3 x 2 floats (step 8) = 24 data bytes but only 10 "
       "remain"},
      {whole.substr(0, 39), nullptr},
      // Gigabytes announced in 16 bytes fail before anything is allocated;
      // 2^62 bytes fail to allocate where the length is unknown.
      {H(1 << 20, 1024, 4096, CV_32F),
       "header announces 1048576 x 1024 floats (step 4096) = 4294967296 data "
       "bytes but only 0 remain"},
      {H(INT_MAX, INT_MAX / 4, INT_MAX - 3, CV_32F), nullptr}};
  for (const auto& [input, load_error] : cases) {
    for (int r = 0; r < kReaders; ++r) {
      SCOPED_TRACE(std::string(kNames[r]) + " on " + input.substr(0, 16));
      cv::Mat out = RandomMat(2, 2, CV_32F, 22);
      const Outcome o = ReadWith(r, input, &out);
      EXPECT_FALSE(o.ok || o.error.empty());
      EXPECT_TRUE(r != kLoad || !load_error || o.error == load_error)
          << o.error;
      // Only a pipe, whose length is unknown, may reshape the output first.
      EXPECT_TRUE(r == kPipe || BitEqual(out, RandomMat(2, 2, CV_32F, 22)));
    }
  }
}

}  // namespace
