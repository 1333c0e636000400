#include "matio/mat_io.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Int32Bytes(int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), 4);
}

std::string HeaderBytes(int32_t rows, int32_t cols, int32_t step,
                        int32_t type) {
  return Int32Bytes(rows) + Int32Bytes(cols) + Int32Bytes(step) +
         Int32Bytes(type);
}

// Fills every element byte of `mat` from a seeded generator: float and
// double matrices then hold NaN payloads, infinities and denormals too.
cv::Mat RandomMat(int rows, int cols, int type, unsigned seed) {
  cv::Mat mat(rows, cols, type);
  std::mt19937 generator(seed);
  for (int r = 0; r < rows; ++r) {
    uchar* row = mat.ptr(r);
    for (size_t i = 0; i < mat.cols * mat.elemSize(); ++i) {
      row[i] = static_cast<uchar>(generator());
    }
  }
  return mat;
}

// True iff a and b have one shape and type and identical element bytes.
bool BitEqual(const cv::Mat& a, const cv::Mat& b) {
  if (a.rows != b.rows || a.cols != b.cols || a.type() != b.type()) {
    return false;
  }
  for (int r = 0; r < a.rows; ++r) {
    if (std::memcmp(a.ptr(r), b.ptr(r), a.cols * a.elemSize()) != 0) {
      return false;
    }
  }
  return true;
}

// The bytes of a contiguous matrix's elements.
std::string ElementBytes(const cv::Mat& mat) {
  std::string bytes;
  for (int r = 0; r < mat.rows; ++r) {
    bytes.append(reinterpret_cast<const char*>(mat.ptr(r)),
                 mat.cols * mat.elemSize());
  }
  return bytes;
}

// A stream buffer over fixed bytes that cannot seek, as a pipe.
class UnseekableBuffer : public std::streambuf {
 public:
  explicit UnseekableBuffer(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

int64_t Drain(FILE* file) {
  int64_t count = 0;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) count += got;
  return count;
}

int64_t Drain(std::istream* stream) {
  stream->clear();
  return std::distance(std::istreambuf_iterator<char>(*stream),
                       std::istreambuf_iterator<char>());
}

enum class Writer { kSave, kWrite, kStreamWrite };
enum class Reader {
  kLoad,
  kRead,
  kReadPipe,
  kPartialAll,
  kStream,
  kStreamUnseekable
};
const Writer kWriters[] = {Writer::kSave, Writer::kWrite, Writer::kStreamWrite};
const Reader kReaders[] = {Reader::kLoad,     Reader::kRead,
                           Reader::kReadPipe, Reader::kPartialAll,
                           Reader::kStream,   Reader::kStreamUnseekable};
const char* const kReaderNames[] = {"Load",        "read", "read(pipe)",
                                    "PartialRead", "Read", "Read(unseekable)"};

struct ReadOutcome {
  bool ok = false;
  std::string error;
  int64_t consumed = -1;  // Bytes taken from the input; -1 for Load.
};

class MatIOTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "mat_io_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string PathOf(const std::string& name) const {
    return dir_ + "/" + name;
  }

  std::string WriteFile(const std::string& bytes) {
    const std::string path = PathOf("in" + std::to_string(files_++));
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
  }

  // Returns the bytes `writer` produces for `mat`, or "<failed>".
  std::string WriteWith(Writer writer, const cv::Mat& mat) {
    bool ok = false;
    const std::string path = PathOf("out" + std::to_string(files_++));
    switch (writer) {
      case Writer::kSave:
        ok = MatIO::Save(path, mat);
        break;
      case Writer::kWrite: {
        FILE* file = fopen(path.c_str(), "wb");
        ok = MatIO::write(mat, file);
        fclose(file);
        break;
      }
      case Writer::kStreamWrite: {
        std::ostringstream out;
        ok = MatIO::Write(mat, &out);
        if (ok) return out.str();
        break;
      }
    }
    return ok ? FileBytes(path) : "<failed>";
  }

  // Reads one matrix from `bytes` with `reader` (PartialRead with n = rows
  // of the header or more).
  ReadOutcome ReadWith(Reader reader, const std::string& bytes, cv::Mat* mat) {
    ReadOutcome outcome;
    const int64_t size = static_cast<int64_t>(bytes.size());
    switch (reader) {
      case Reader::kLoad:
        outcome.ok = MatIO::Load(WriteFile(bytes), mat, &outcome.error);
        break;
      case Reader::kRead:
      case Reader::kPartialAll: {
        FILE* file = fopen(WriteFile(bytes).c_str(), "rb");
        outcome.ok =
            reader == Reader::kRead
                ? MatIO::read(file, mat, &outcome.error)
                : MatIO::PartialRead(file, mat, INT_MAX, &outcome.error);
        outcome.consumed = size - Drain(file);
        fclose(file);
        break;
      }
      case Reader::kReadPipe: {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        std::thread feeder([&bytes, fd = fds[1]] {
          for (size_t done = 0; done < bytes.size();) {
            const ssize_t put =
                ::write(fd, bytes.data() + done, bytes.size() - done);
            if (put <= 0) break;
            done += put;
          }
          close(fd);
        });
        FILE* file = fdopen(fds[0], "rb");
        outcome.ok = MatIO::read(file, mat, &outcome.error);
        outcome.consumed = size - Drain(file);
        feeder.join();
        fclose(file);
        break;
      }
      case Reader::kStream: {
        std::istringstream in(bytes);
        outcome.ok = MatIO::Read(mat, &in, &outcome.error);
        outcome.consumed = size - Drain(&in);
        break;
      }
      case Reader::kStreamUnseekable: {
        UnseekableBuffer buffer(bytes);
        std::istream in(&buffer);
        outcome.ok = MatIO::Read(mat, &in, &outcome.error);
        outcome.consumed = size - Drain(&in);
        break;
      }
    }
    return outcome;
  }

  std::string dir_;
  int files_ = 0;
};

cv::Mat SpecialFloats() {
  const uint32_t bits[] = {0x7FC00000, 0xFFC00001, 0x7F800001,  // NaNs
                           0x7F800000, 0xFF800000, 0x80000000,  // +-inf, -0
                           0x00000001, 0x7F7FFFFF, 0x3F800000};
  cv::Mat mat(3, 3, CV_32F);
  std::memcpy(mat.data, bits, sizeof(bits));
  return mat;
}

TEST_F(MatIOTest, EveryWriterAndReaderRoundTripBitForBit) {
  const std::vector<cv::Mat> mats = {
      SpecialFloats(),
      RandomMat(7, 5, CV_32F, 1),
      RandomMat(4, 3, CV_64FC2, 2),
      RandomMat(5, 7, CV_8UC3, 3),
      RandomMat(2, 9, CV_8SC1, 4),
      RandomMat(3, 4, CV_16UC1, 5),
      RandomMat(6, 1, CV_16SC1, 6),
      RandomMat(1, 3, CV_32SC4, 7),
      RandomMat(2, 3, CV_MAKETYPE(CV_8U, 512), 8),  // Type code 0xFF8.
  };
  for (const cv::Mat& mat : mats) {
    SCOPED_TRACE("type " + std::to_string(mat.type()));
    const std::string expected =
        HeaderBytes(mat.rows, mat.cols, mat.cols * mat.elemSize(), mat.type()) +
        ElementBytes(mat);
    for (Writer writer : kWriters) {
      EXPECT_EQ(WriteWith(writer, mat), expected)
          << "writer " << static_cast<int>(writer);
    }
    for (Reader reader : kReaders) {
      cv::Mat back;
      const ReadOutcome outcome = ReadWith(reader, expected + "tail", &back);
      EXPECT_TRUE(outcome.ok) << kReaderNames[static_cast<int>(reader)];
      EXPECT_TRUE(BitEqual(back, mat))
          << kReaderNames[static_cast<int>(reader)];
      EXPECT_TRUE(back.isContinuous());
      EXPECT_TRUE(outcome.consumed < 0 ||
                  outcome.consumed == static_cast<int64_t>(expected.size()));
    }
  }
}

TEST_F(MatIOTest, WorkedExampleIsFortyBytes) {
  const float values[] = {1.5f, -2.0f, 0.25f, 3.0f, -0.0f, 1e30f};
  const cv::Mat mat = cv::Mat(3, 2, CV_32F, const_cast<float*>(values)).clone();
  const std::string bytes = WriteWith(Writer::kSave, mat);
  ASSERT_EQ(bytes.size(), 40u);
  const unsigned char header[] = {3, 0, 0, 0, 2, 0, 0, 0,
                                  8, 0, 0, 0, 5, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), header, 16), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 16, values, 24), 0);
}

TEST_F(MatIOTest, EmptyMatricesWriteSixteenBytesAndReadBackEmpty) {
  for (Writer writer : kWriters) {
    EXPECT_EQ(WriteWith(writer, cv::Mat()), std::string(16, '\0'));
    // Rows without columns and columns without rows keep their shape.
    EXPECT_EQ(WriteWith(writer, cv::Mat(0, 4, CV_32F)),
              HeaderBytes(0, 4, 16, 5));
    EXPECT_EQ(WriteWith(writer, cv::Mat(3, 0, CV_64F)),
              HeaderBytes(3, 0, 0, 6));
  }
  const struct {
    std::string bytes;
    int rows, cols;
  } cases[] = {
      {std::string(16, '\0'), 0, 0},
      {HeaderBytes(0, 4, 16, 5), 0, 4},
      {HeaderBytes(0, 4, -16, 5), 0, 4},  // No rows: the step is not used.
      {HeaderBytes(3, 0, 0, 5), 3, 0},
  };
  for (const auto& c : cases) {
    for (Reader reader : kReaders) {
      SCOPED_TRACE(kReaderNames[static_cast<int>(reader)]);
      cv::Mat back = RandomMat(2, 2, CV_32F, 9);
      const ReadOutcome outcome = ReadWith(reader, c.bytes + "more", &back);
      EXPECT_TRUE(outcome.ok) << outcome.error;
      EXPECT_TRUE(back.empty());
      EXPECT_EQ(back.rows, c.rows);
      EXPECT_EQ(back.cols, c.cols);
      EXPECT_TRUE(outcome.consumed < 0 || outcome.consumed == 16);
    }
  }
}

TEST_F(MatIOTest, TypeBitsAboveElevenAreIgnoredAndNeverWritten) {
  const cv::Mat mat = RandomMat(2, 2, CV_32F, 10);
  const std::string bytes =
      HeaderBytes(2, 2, 8, static_cast<int32_t>(0xABCDE005)) +
      ElementBytes(mat);
  for (Reader reader : kReaders) {
    cv::Mat back;
    EXPECT_TRUE(ReadWith(reader, bytes, &back).ok);
    EXPECT_TRUE(BitEqual(back, mat)) << kReaderNames[static_cast<int>(reader)];
  }
  FILE* file = fopen(WriteFile(bytes).c_str(), "rb");
  MatHeader header;
  ASSERT_TRUE(MatIO::ReadHeader(file, &header));
  EXPECT_EQ(header.type, 5);
  EXPECT_EQ(ftell(file), 16);
  fclose(file);

  const std::string path = PathOf("header");
  file = fopen(path.c_str(), "wb");
  EXPECT_TRUE(
      MatIO::WriteHeader(file, {7, 1, 4, static_cast<int32_t>(0xFFFFF005)}));
  fclose(file);
  EXPECT_EQ(FileBytes(path), HeaderBytes(7, 1, 4, 5));
}

// Stored rows longer than their elements: short rows go through in batches,
// rows longer than the scratch buffer element by row, and rows without
// columns are dropped whole.
TEST_F(MatIOTest, StepLargerThanRowKeepsOnlyElements) {
  const struct {
    int rows, cols, type, step;
  } cases[] = {
      {4, 3, CV_32F, 16},
      {3, 2, CV_64FC3, 60},
      {2, 5, CV_8UC1, 5 + (1 << 20) + 3},
      {3, 0, CV_32F, 12},
  };
  for (const auto& c : cases) {
    const cv::Mat mat = RandomMat(c.rows, c.cols, c.type, c.step);
    const size_t row_bytes = c.cols * mat.elemSize();
    std::string bytes = HeaderBytes(c.rows, c.cols, c.step, c.type);
    for (int r = 0; r < c.rows; ++r) {
      bytes.append(reinterpret_cast<const char*>(mat.ptr(r)), row_bytes);
      bytes.append(c.step - row_bytes, static_cast<char>(0xEE));
    }
    const int64_t length = static_cast<int64_t>(bytes.size());
    for (Reader reader : kReaders) {
      SCOPED_TRACE(std::string(kReaderNames[static_cast<int>(reader)]) +
                   " step " + std::to_string(c.step));
      cv::Mat back;
      const ReadOutcome outcome = ReadWith(reader, bytes + "next", &back);
      EXPECT_TRUE(outcome.ok) << outcome.error;
      EXPECT_TRUE(BitEqual(back, mat));
      EXPECT_TRUE(back.empty() || back.isContinuous());
      EXPECT_TRUE(outcome.consumed < 0 || outcome.consumed == length)
          << outcome.consumed;
    }
  }
}

TEST_F(MatIOTest, ReadReusesMatchingStorageAndStreamReadReplacesIt) {
  const cv::Mat stored = RandomMat(3, 2, CV_32F, 11);
  const std::string bytes = WriteWith(Writer::kSave, stored);

  cv::Mat out = RandomMat(3, 2, CV_32F, 12);
  const cv::Mat old_values = out.clone();
  cv::Mat sharer = out;
  ASSERT_TRUE(ReadWith(Reader::kRead, bytes, &out).ok);
  EXPECT_EQ(out.data, sharer.data);
  EXPECT_TRUE(BitEqual(sharer, stored));

  for (Reader reader : {Reader::kStream, Reader::kStreamUnseekable}) {
    cv::Mat target = old_values.clone();
    const cv::Mat holder = target;
    ASSERT_TRUE(ReadWith(reader, bytes, &target).ok);
    EXPECT_NE(target.data, holder.data);
    EXPECT_TRUE(BitEqual(holder, old_values));
    EXPECT_TRUE(BitEqual(target, stored));
  }

  // Another shape or type gets new storage; the old one is left alone.
  for (cv::Mat other :
       {RandomMat(2, 3, CV_32F, 13), RandomMat(3, 2, CV_64F, 13)}) {
    const cv::Mat other_values = other.clone();
    const cv::Mat keeper = other;
    ASSERT_TRUE(ReadWith(Reader::kRead, bytes, &other).ok);
    EXPECT_NE(other.data, keeper.data);
    EXPECT_TRUE(BitEqual(keeper, other_values));
    EXPECT_TRUE(BitEqual(other, stored));
  }
}

TEST_F(MatIOTest, ReadIntoMatchingViewFillsOnlyTheView) {
  const cv::Mat stored = RandomMat(2, 2, CV_32F, 14);
  const std::string bytes = WriteWith(Writer::kWrite, stored);
  cv::Mat parent = RandomMat(4, 4, CV_32F, 15);
  cv::Mat expected = parent.clone();
  stored.copyTo(expected(cv::Rect(1, 1, 2, 2)));
  cv::Mat view = parent(cv::Rect(1, 1, 2, 2));
  ASSERT_TRUE(ReadWith(Reader::kRead, bytes, &view).ok);
  EXPECT_TRUE(BitEqual(parent, expected));
}

TEST_F(MatIOTest, PartialReadKeepsFirstRowsAndStopsAfterThem) {
  const int rows = 5, step = 16;
  const cv::Mat mat = RandomMat(rows, 3, CV_32F, 16);
  std::string bytes = HeaderBytes(rows, 3, step, CV_32F);
  for (int r = 0; r < rows; ++r) {
    bytes.append(reinterpret_cast<const char*>(mat.ptr(r)), 12);
    bytes.append(Int32Bytes(1000 + r));
  }
  bytes += "TAIL";
  const std::string path = WriteFile(bytes);
  const struct {
    int n, kept;
  } cases[] = {{INT_MIN, 0}, {-1, 0},      {0, 0},           {1, 1},
               {3, 3},       {rows, rows}, {rows + 1, rows}, {INT_MAX, rows}};
  for (const auto& c : cases) {
    SCOPED_TRACE("n = " + std::to_string(c.n));
    FILE* file = fopen(path.c_str(), "rb");
    cv::Mat out;
    ASSERT_TRUE(MatIO::PartialRead(file, &out, c.n));
    // A range of no rows would come back as 0 x 0; the read keeps the cols.
    const cv::Mat expected =
        c.kept > 0 ? mat.rowRange(0, c.kept) : cv::Mat(0, 3, CV_32F);
    EXPECT_TRUE(BitEqual(out, expected));
    const long offset = 16 + c.kept * step;
    EXPECT_EQ(ftell(file), offset);
    char next[4];
    ASSERT_EQ(fread(next, 1, 4, file), 4u);
    EXPECT_EQ(std::string(next, 4), bytes.substr(offset, 4));
    fclose(file);
  }
  // Only the kept rows need to be present.
  const std::string truncated = bytes.substr(0, 16 + 2 * step);
  for (int n : {2, 3}) {
    FILE* file = fopen(WriteFile(truncated).c_str(), "rb");
    cv::Mat out;
    EXPECT_EQ(MatIO::PartialRead(file, &out, n), n == 2);
    fclose(file);
  }
}

TEST_F(MatIOTest, MissingPathsFail) {
  cv::Mat out = RandomMat(2, 2, CV_32F, 17);
  const cv::Mat before = out.clone();
  uchar* const data = out.data;
  std::string error;
  EXPECT_FALSE(MatIO::Load(PathOf("absent"), &out, &error));
  EXPECT_EQ(out.data, data);
  EXPECT_TRUE(BitEqual(out, before));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(MatIO::Save(PathOf("absent/dir/m.bin"), before));
}

TEST_F(MatIOTest, WritersReportFailures) {
  const cv::Mat mat = RandomMat(3, 2, CV_32F, 18);
  EXPECT_FALSE(MatIO::Save("/dev/full", mat));
  EXPECT_FALSE(MatIO::Save("/dev/full", cv::Mat()));
  FILE* full = fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(MatIO::write(mat, full));
  clearerr(full);
  EXPECT_FALSE(MatIO::WriteHeader(full, MatHeader{}));
  fclose(full);
  std::ofstream full_stream("/dev/full", std::ios::binary);
  EXPECT_FALSE(MatIO::Write(mat, &full_stream));
  std::ostringstream failed;
  failed.setstate(std::ios::badbit);
  EXPECT_FALSE(MatIO::Write(mat, &failed));

  // What the format cannot hold is refused, and Save then creates nothing.
  const int sizes[] = {2, 2, 2};
  const cv::Mat unstorable[] = {cv::Mat(3, sizes, CV_32F),
                                cv::Mat(2, 2, CV_16F)};
  for (const cv::Mat& m : unstorable) {
    const std::string path = PathOf("unstorable");
    EXPECT_FALSE(MatIO::Save(path, m));
    EXPECT_FALSE(std::filesystem::exists(path));
    std::ostringstream out;
    EXPECT_FALSE(MatIO::Write(m, &out));
  }
}

// The parent matrix ends exactly where an inaccessible page begins, so a
// writer that reads past the storage crashes the test.
TEST_F(MatIOTest, ViewsAreWrittenWithoutReadingPastStorage) {
  const long page = sysconf(_SC_PAGESIZE);
  void* region = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(region) + page, page, PROT_NONE), 0);
  const int rows = 4, cols = 5;
  float* base =
      reinterpret_cast<float*>(static_cast<char*>(region) + page) - rows * cols;
  cv::Mat parent(rows, cols, CV_32F, base);
  RandomMat(rows, cols, CV_32F, 19).copyTo(parent);
  const char* parent_bytes = reinterpret_cast<const char*>(base);

  const struct {
    cv::Rect rect;
    int stored_step;
    int64_t offset;  // Of the view's first element in the parent; -1: copy.
  } cases[] = {
      {cv::Rect(1, 0, 2, 3), 20, 4},   // Own stride, gap bytes included.
      {cv::Rect(0, 1, 5, 3), 20, 20},  // Contiguous rows.
      {cv::Rect(1, 2, 2, 2), 8, -1},   // Own stride would pass the end.
      {cv::Rect(3, 3, 2, 1), 8, 3 * 20 + 3 * 4},  // One row: no stride needed.
  };
  for (const auto& c : cases) {
    const cv::Mat view = parent(c.rect);
    for (Writer writer : kWriters) {
      SCOPED_TRACE("rect y " + std::to_string(c.rect.y) + " writer " +
                   std::to_string(static_cast<int>(writer)));
      const std::string bytes = WriteWith(writer, view);
      std::string expected =
          HeaderBytes(c.rect.height, c.rect.width, c.stored_step, CV_32F);
      expected += c.offset >= 0 ? std::string(parent_bytes + c.offset,
                                              c.rect.height * c.stored_step)
                                : ElementBytes(view);
      EXPECT_EQ(bytes, expected);
      cv::Mat back;
      EXPECT_TRUE(ReadWith(Reader::kStream, bytes, &back).ok);
      EXPECT_TRUE(BitEqual(back, view));
    }
  }
  munmap(region, 2 * page);
}

TEST_F(MatIOTest, MalformedHeadersAreRefusedByEveryReader) {
  const struct {
    std::string header;
    const char* error;  // Exact message, or nullptr to check non-empty only.
  } cases[] = {
      {HeaderBytes(-3, 2, 8, 5), "negative row count -3"},
      {HeaderBytes(3, -1, 8, 5), "negative column count -1"},
      {HeaderBytes(INT_MIN, INT_MIN, 8, 5), nullptr},
      {HeaderBytes(3, 2, 8, 7), nullptr},    // Depth 7.
      {HeaderBytes(3, 2, 8, 0xF), nullptr},  // Depth 7, two channels.
      {HeaderBytes(3, 2, 8, 0xFFF), nullptr},
      {HeaderBytes(3, 2, 7, 5), nullptr},  // One byte short of a row.
      {HeaderBytes(3, 2, 0, 5), nullptr},
      {HeaderBytes(2, 3, -4, 5), nullptr},
      {HeaderBytes(1, INT_MAX, INT_MAX, 5), nullptr},  // Row bytes > 2^31.
      {HeaderBytes(3, 0, -8, 5), nullptr},             // Negative data length.
      {HeaderBytes(INT_MAX, 0, INT_MIN, 0), nullptr},
  };
  for (const auto& c : cases) {
    const std::string bytes = c.header + std::string(64, '\0');
    for (Reader reader : kReaders) {
      SCOPED_TRACE(kReaderNames[static_cast<int>(reader)]);
      cv::Mat out = RandomMat(2, 2, CV_32F, 20);
      const cv::Mat before = out.clone();
      const ReadOutcome outcome = ReadWith(reader, bytes, &out);
      EXPECT_FALSE(outcome.ok);
      if (c.error != nullptr) {
        EXPECT_EQ(outcome.error, c.error);
      } else {
        EXPECT_FALSE(outcome.error.empty());
      }
      if (reader == Reader::kStream || reader == Reader::kStreamUnseekable) {
        EXPECT_TRUE(BitEqual(out, before));
      }
    }
    FILE* file = fopen(WriteFile(bytes).c_str(), "rb");
    MatHeader header{1, 1, 1, 1};
    EXPECT_FALSE(MatIO::ReadHeader(file, &header));
    fclose(file);
  }
  // Boundaries that are accepted.
  for (const std::string& header :
       {HeaderBytes(1, 2, 8, 5), HeaderBytes(1, 1, 4096, 0xFFE)}) {
    cv::Mat out;
    EXPECT_TRUE(
        ReadWith(Reader::kRead, header + std::string(4096, '\0'), &out).ok);
  }
}

TEST_F(MatIOTest, TruncatedInputsAreRefusedByEveryReader) {
  const cv::Mat mat = RandomMat(3, 2, CV_32F, 21);
  const std::string whole = WriteWith(Writer::kSave, mat);
  for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{26},
                      whole.size() - 1}) {
    for (Reader reader : kReaders) {
      SCOPED_TRACE(std::string(kReaderNames[static_cast<int>(reader)]) +
                   " size " + std::to_string(size));
      cv::Mat out = RandomMat(1, 1, CV_8U, 22);
      const cv::Mat before = out.clone();
      const ReadOutcome outcome = ReadWith(reader, whole.substr(0, size), &out);
      EXPECT_FALSE(outcome.ok);
      EXPECT_FALSE(outcome.error.empty());
      if (reader == Reader::kStream || reader == Reader::kStreamUnseekable) {
        EXPECT_TRUE(BitEqual(out, before));
      }
    }
  }
  cv::Mat out;
  EXPECT_EQ(ReadWith(Reader::kLoad, whole.substr(0, 26), &out).error,
            "header announces 3 x 2 floats (step 8) = 24 data bytes but only "
            "10 remain");
}

// A header announcing 4 GiB in a 16-byte file fails before the output is
// reshaped; one announcing 2^62 bytes from a pipe fails to allocate.
TEST_F(MatIOTest, HugeAnnouncementsFailWithoutAllocating) {
  const std::string gigabytes = HeaderBytes(1 << 20, 1024, 4096, CV_32F);
  for (Reader reader :
       {Reader::kLoad, Reader::kRead, Reader::kPartialAll, Reader::kStream}) {
    cv::Mat out = RandomMat(2, 3, CV_32F, 23);
    uchar* const data = out.data;
    const auto start = std::chrono::steady_clock::now();
    const ReadOutcome outcome = ReadWith(reader, gigabytes, &out);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("but only 0 remain"), std::string::npos)
        << outcome.error;
    EXPECT_EQ(out.data, data);
    EXPECT_EQ(out.rows, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(5));
  }
  const std::string exabytes =
      HeaderBytes(INT_MAX, INT_MAX / 4, INT_MAX - 3, CV_32F);
  for (Reader reader : {Reader::kReadPipe, Reader::kStreamUnseekable}) {
    cv::Mat out = RandomMat(2, 3, CV_32F, 24);
    const cv::Mat before = out.clone();
    const ReadOutcome outcome = ReadWith(reader, exabytes, &out);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("cannot allocate"), std::string::npos)
        << outcome.error;
    if (reader == Reader::kStreamUnseekable) {
      EXPECT_TRUE(BitEqual(out, before));
    }
  }
}

TEST_F(MatIOTest, LoadFromMatlabMatLoadsNothing) {
  const cv::Mat mat = RandomMat(2, 2, CV_32F, 25);
  const std::string path = PathOf("m.bin");
  ASSERT_TRUE(MatIO::Save(path, mat));
  cv::Mat out = RandomMat(1, 3, CV_64F, 26);
  const cv::Mat before = out.clone();
  uchar* const data = out.data;
  EXPECT_FALSE(MatIO::LoadFromMatlabMat(path, "scores", &out));
  EXPECT_EQ(out.data, data);
  EXPECT_TRUE(BitEqual(out, before));
}

TEST(MatIOElementSizeTest, CoversDepthsAndChannels) {
  const struct {
    int32_t type;
    int64_t size;
  } cases[] = {{CV_8U, 1},     {CV_8S, 1},
               {CV_16U, 2},    {CV_16S, 2},
               {CV_32S, 4},    {CV_32F, 4},
               {CV_64F, 8},    {7, 0},
               {0xFFF, 0},     {CV_64FC(512), 4096},
               {CV_32FC3, 12}, {static_cast<int32_t>(0xFFFFF005), 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(MatIO::ElementSize(c.type), c.size) << "type " << c.type;
  }
}

}  // namespace
