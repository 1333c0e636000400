// Memory taken by the matrix readers from streams whose length cannot be
// known beforehand (pipes, unseekable streams): a header alone never makes
// a reader allocate its announced size, large matrices still arrive intact,
// and an allocation that fails becomes false with a message.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>

#include "matio/mat_io.h"
#include "tests/test_util.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FUSE_RESULTS_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FUSE_RESULTS_SANITIZED 1
#endif

namespace {

#ifdef FUSE_RESULTS_SANITIZED
// Sanitizer runtimes map their memory from reservations made at start-up,
// which an address-space limit does not see.
constexpr bool kAddressSpaceCapWorks = false;
#else
constexpr bool kAddressSpaceCapWorks = true;
#endif

std::string HeaderBytes(int32_t rows, int32_t cols, int32_t step,
                        int32_t type) {
  const int32_t fields[4] = {rows, cols, step, type};
  return std::string(reinterpret_cast<const char*>(fields), sizeof(fields));
}

std::string RandomBytes(int64_t length, unsigned seed) {
  std::string bytes(static_cast<size_t>(length), '\0');
  std::mt19937 generator(seed);
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// While it lives, the process may map at most `headroom` bytes more than it
// maps now (when kAddressSpaceCapWorks; otherwise it changes nothing).
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(int64_t headroom) {
    if (!kAddressSpaceCapWorks) return;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    getrlimit(RLIMIT_AS, &saved_);
    rlimit capped = saved_;
    capped.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) +
                      static_cast<rlim_t>(headroom);
    active_ = pages > 0 && setrlimit(RLIMIT_AS, &capped) == 0;
  }
  ~AddressSpaceCap() {
    if (active_) setrlimit(RLIMIT_AS, &saved_);
  }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

// Serves fixed bytes and cannot seek, as a pipe does.
class UnseekableBuffer : public std::streambuf {
 public:
  explicit UnseekableBuffer(const std::string& bytes) : bytes_(bytes) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

enum class Reader { kRead, kPartialRead, kStreamRead };
const Reader kReaders[] = {Reader::kRead, Reader::kPartialRead,
                           Reader::kStreamRead};
const char* const kReaderNames[] = {"read(pipe)", "PartialRead(pipe)",
                                    "Read(unseekable)"};

struct Outcome {
  bool ok = false;
  std::string error;
  int64_t left = 0;  // Bytes still unread after the call.
};

// Reads one matrix from `bytes` delivered through a pipe (or an unseekable
// stream for kStreamRead), under AddressSpaceCap(headroom). PartialRead
// keeps `n` rows.
Outcome ReadUnknownLength(Reader reader, const std::string& bytes,
                          int64_t headroom, cv::Mat* mat, int n = INT_MAX) {
  Outcome outcome;
  if (reader == Reader::kStreamRead) {
    UnseekableBuffer buffer(bytes);
    std::istream in(&buffer);
    {
      AddressSpaceCap cap(headroom);
      outcome.ok = MatIO::Read(mat, &in, &outcome.error);
    }
    in.clear();
    outcome.left = buffer.in_avail();
    return outcome;
  }
  // The bytes come from a child process: a feeding thread would map memory
  // of its own while the address space is capped.
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t feeder = fork();
  if (feeder == 0) {
    close(fds[0]);
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t put =
          ::write(fds[1], bytes.data() + done, bytes.size() - done);
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    _exit(0);
  }
  close(fds[1]);
  FILE* file = fdopen(fds[0], "rb");
  {
    AddressSpaceCap cap(headroom);
    outcome.ok = reader == Reader::kRead
                     ? MatIO::read(file, mat, &outcome.error)
                     : MatIO::PartialRead(file, mat, n, &outcome.error);
  }
  // Draining lets the feeder finish even when the reader gave up early.
  char sink[1 << 16];
  size_t got;
  while ((got = fread(sink, 1, sizeof(sink), file)) > 0) outcome.left += got;
  fclose(file);
  waitpid(feeder, nullptr, 0);
  return outcome;
}

constexpr int64_t kMiB = int64_t{1} << 20;

TEST(MatIOAllocationTest, HeaderAloneNeverAllocatesTheAnnouncedSize) {
  // 2^20 rows of 2^18 floats: 2^40 data bytes, of which 3 MiB arrive.
  const std::string bytes =
      HeaderBytes(1 << 20, 1 << 18, 1 << 20, CV_32F) + RandomBytes(3 * kMiB, 1);
  for (Reader reader : kReaders) {
    SCOPED_TRACE(kReaderNames[static_cast<int>(reader)]);
    cv::Mat out(2, 3, CV_32F, cv::Scalar(7));
    uchar* const data = out.data;
    const Outcome outcome = ReadUnknownLength(reader, bytes, 256 * kMiB, &out);
    EXPECT_FALSE(outcome.ok);
    // Every delivered byte was taken before the reader gave up: it failed
    // on the missing data, not on the allocation.
    EXPECT_EQ(outcome.error,
              std::string("stream ends after 3145728 of 1099511627776 data "
                          "bytes (") +
                  (reader == Reader::kStreamRead ? "end of stream)"
                                                 : "end of file)"));
    EXPECT_EQ(outcome.left, 0);
    EXPECT_EQ(out.data, data);
    EXPECT_EQ(out.rows, 2);
    EXPECT_EQ(out.at<float>(1, 2), 7.0f);
  }
}

TEST(MatIOAllocationTest, LargeMatricesFromPipesArriveIntact) {
  const struct {
    int32_t rows, cols, step;
    int n;  // Rows kept by PartialRead.
  } cases[] = {
      {1280, 4096, 4096 * 4, INT_MAX},  // 20 MiB, contiguous: many chunks.
      {1280, 4096, 4096 * 4, 1000},     // Only the kept rows are staged.
      {300, 1000, 1000 * 4 + 12, 299},  // Stored rows with extra bytes.
      {3, 300000, 300000 * 4 + 8, 2},   // Rows longer than a chunk.
  };
  for (const auto& c : cases) {
    const int64_t length = int64_t{c.rows} * c.step;
    const std::string data = RandomBytes(length, c.rows);
    const std::string bytes = HeaderBytes(c.rows, c.cols, c.step, CV_32F) + data;
    for (Reader reader : kReaders) {
      SCOPED_TRACE(std::string(kReaderNames[static_cast<int>(reader)]) +
                   " rows " + std::to_string(c.rows) + " step " +
                   std::to_string(c.step));
      const int kept = reader == Reader::kPartialRead ? std::min(c.n, c.rows)
                                                      : c.rows;
      cv::Mat out;
      // Staged bytes plus the matrix, twice the data at most.
      const Outcome outcome =
          ReadUnknownLength(reader, bytes, 2 * length + 64 * kMiB, &out, c.n);
      ASSERT_TRUE(outcome.ok) << outcome.error;
      EXPECT_EQ(outcome.left, int64_t{c.rows - kept} * c.step);
      ASSERT_EQ(out.rows, kept);
      ASSERT_EQ(out.cols, c.cols);
      ASSERT_EQ(out.type(), CV_32F);
      for (int r = 0; r < kept; ++r) {
        ASSERT_EQ(std::memcmp(out.ptr(r), data.data() + int64_t{r} * c.step,
                              static_cast<size_t>(c.cols) * 4),
                  0)
            << "row " << r;
      }
    }
  }
}

TEST(MatIOAllocationTest, PipeReadsKeepMatchingStorage) {
  const int rows = 512, cols = 1024;  // 2 MiB, above what is read unstaged.
  const std::string data = RandomBytes(int64_t{rows} * cols * 4, 2);
  const std::string bytes = HeaderBytes(rows, cols, cols * 4, CV_32F) + data;
  for (Reader reader : {Reader::kRead, Reader::kPartialRead}) {
    SCOPED_TRACE(kReaderNames[static_cast<int>(reader)]);
    cv::Mat out(rows, cols, CV_32F, cv::Scalar(0));
    const cv::Mat sharer = out;
    // Filled in place: no room for a second copy of the data.
    const Outcome outcome =
        ReadUnknownLength(reader, bytes, int64_t{1} * kMiB, &out);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(out.data, sharer.data);
    EXPECT_EQ(std::memcmp(sharer.data, data.data(), data.size()), 0);
  }
}

TEST(MatIOAllocationTest, FailedAllocationsReturnFalseWithAMessage) {
  if (!kAddressSpaceCapWorks) GTEST_SKIP() << "no address-space limit here";
  // Large blocks are then always mapped afresh, never served from memory
  // that earlier tests in this process freed, so the cap bites.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  malloc_trim(0);
  testutil::ScratchDir scratch;
  // A regular file that holds its 64 MiB of data (sparse, so it costs no
  // disk) while the process may not map 64 MiB more.
  const std::string path = scratch.Path("big.mat");
  {
    std::ofstream(path, std::ios::binary)
        << HeaderBytes(4096, 4096, 4096 * 4, CV_32F);
    ASSERT_EQ(truncate(path.c_str(), 16 + 64 * kMiB), 0);
  }
  for (int partial = 0; partial < 2; ++partial) {
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    cv::Mat out;
    std::string error;
    bool ok;
    {
      AddressSpaceCap cap(16 * kMiB);
      ASSERT_TRUE(cap.active());
      ok = partial ? MatIO::PartialRead(file, &out, 4096, &error)
                   : MatIO::read(file, &out, &error);
    }
    fclose(file);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "cannot allocate 4096 x 4096 floats");
  }
  {
    std::ifstream in(path, std::ios::binary);
    cv::Mat out;
    std::string error;
    AddressSpaceCap cap(16 * kMiB);
    EXPECT_FALSE(MatIO::Read(&out, &in, &error));
    EXPECT_EQ(error, "cannot allocate 4096 x 4096 floats");
  }
  // From a pipe the staging chunks run out of room: 1 + 2 + 4 + 8 MiB are
  // held when the 16 MiB chunk is refused.
  const std::string bytes = HeaderBytes(1 << 20, 1 << 18, 1 << 20, CV_32F) +
                            RandomBytes(40 * kMiB, 3);
  for (Reader reader : kReaders) {
    SCOPED_TRACE(kReaderNames[static_cast<int>(reader)]);
    cv::Mat out;
    const Outcome outcome = ReadUnknownLength(reader, bytes, 24 * kMiB, &out);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error,
              "cannot allocate a read buffer for 1048576 x 262144 floats");
  }
}

}  // namespace
