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
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <random>
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
constexpr bool kCapWorks = false;
#else
constexpr bool kCapWorks = true;
#endif

constexpr int64_t kMiB = int64_t{1} << 20;

// A float matrix header followed by `length` random bytes.
std::string MatBytes(int32_t rows, int32_t cols, int32_t step, int64_t length) {
  const int32_t fields[4] = {rows, cols, step, CV_32F};
  std::string bytes(reinterpret_cast<const char*>(fields), 16);
  bytes.resize(16 + length);
  std::mt19937 generator(rows);
  for (size_t i = 16; i < bytes.size(); ++i) bytes[i] = char(generator());
  return bytes;
}

// Returns read() as called while the process may map at most `headroom`
// bytes more than it maps now (no limit when !kCapWorks).
template <typename Read>
bool Capped(rlim_t headroom, Read read) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit saved;
  getrlimit(RLIMIT_AS, &saved);
  const rlimit capped = {pages * sysconf(_SC_PAGESIZE) + headroom,
                         saved.rlim_max};
  const bool active = kCapWorks && setrlimit(RLIMIT_AS, &capped) == 0;
  const bool ok = read();
  if (active) setrlimit(RLIMIT_AS, &saved);
  return ok;
}

enum Reader { kRead, kPartial, kStream };
const char* const kNames[] = {"read", "PartialRead", "Read"};

struct Outcome {
  bool ok = false;
  std::string error;
  int64_t left = 0;  // Bytes still unread after the call.
};

// Reads one matrix from `bytes` through a pipe under Capped(headroom).
// PartialRead keeps `n` rows; Read reads an unseekable stream on the pipe.
Outcome ReadUnknownLength(Reader reader, const std::string& bytes,
                          int64_t headroom, cv::Mat* mat, int n = INT_MAX) {
  // A child process feeds the pipe: a thread would map memory of its own
  // while the address space is capped.
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t feeder = fork();
  if (feeder == 0) {  // A blocking write to a pipe delivers everything.
    _exit(write(fds[1], bytes.data(), bytes.size()) != ssize_t(bytes.size()));
  }
  close(fds[1]);
  FILE* file = fdopen(fds[0], "rb");
  __gnu_cxx::stdio_filebuf<char> buffer(file, std::ios::in);
  std::istream stream(&buffer);
  Outcome o;
  o.ok = Capped(headroom, [&] {
    return reader == kRead      ? MatIO::read(file, mat, &o.error)
           : reader == kPartial ? MatIO::PartialRead(file, mat, n, &o.error)
                                : MatIO::Read(mat, &stream, &o.error);
  });
  // Draining lets the feeder finish even when the reader gave up early.
  while (getc_unlocked(file) != EOF) ++o.left;
  fclose(file);
  waitpid(feeder, nullptr, 0);
  return o;
}

TEST(MatIOAllocationTest, LargeMatricesFromPipesArriveIntact) {
  // 20 MiB in padded rows: many chunks, batches of rows across them.
  const int rows = 1280, cols = 4096, step = cols * 4 + 8, partial_rows = 1000;
  std::string bytes = MatBytes(rows, cols, step, int64_t{rows} * step);
  for (Reader reader : {kRead, kPartial, kStream}) {
    SCOPED_TRACE(kNames[reader]);
    const int kept = reader == kPartial ? partial_rows : rows;
    cv::Mat out;
    // Staged bytes plus the matrix: twice the data at most.
    const Outcome o = ReadUnknownLength(
        reader, bytes, 2 * bytes.size() + 64 * kMiB, &out, partial_rows);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.left, int64_t{rows - kept} * step);  // Nothing more taken.
    ASSERT_TRUE(out.size() == cv::Size(cols, kept) && out.type() == CV_32F);
    // The stored rows, bit for bit (NaN payloads included).
    const cv::Mat stored(kept, cols, CV_32S, &bytes[16], step);
    const auto differing = [&] {
      return cv::countNonZero(stored != cv::Mat(kept, cols, CV_32S, out.data));
    };
    EXPECT_EQ(differing(), 0);
    if (reader == kStream) continue;  // Read always takes fresh storage.
    // Again into the matching matrix: filled in place, as there is no room
    // for a second copy of the data.
    const uchar* const data = out.data;
    out.setTo(0);
    ASSERT_TRUE(ReadUnknownLength(reader, bytes, 2 * kMiB, &out, kept).ok);
    EXPECT_TRUE(out.data == data && differing() == 0);
  }
}

// Headers announcing 2^40 bytes (2^20 rows of 2^18 floats) of which a few
// MiB arrive: memory is taken as the bytes arrive, never on the header's
// word, and a chunk that finds no room fails the read with a message.
TEST(MatIOAllocationTest, LyingHeadersFailWithoutTakingTheirSize) {
  // Large blocks are then always mapped afresh, never served from memory
  // that earlier tests freed, so the cap bites.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  malloc_trim(0);
  const struct {
    int64_t delivered, headroom;
    const char* error;
  } cases[] = {
      {3 * kMiB, 256 * kMiB,
       "stream ends after 3145728 of 1099511627776 data bytes (end of "},
      // 1 + 2 + 4 + 8 MiB of chunks are held when the 16 MiB one is refused.
      {40 * kMiB, 24 * kMiB,
       "cannot allocate a read buffer for 1048576 x 262144 floats"}};
  for (const auto& c : cases) {
    if (!kCapWorks && c.headroom < c.delivered) continue;
    const std::string bytes = MatBytes(1 << 20, 1 << 18, 1 << 20, c.delivered);
    for (Reader reader : {kRead, kPartial, kStream}) {
      SCOPED_TRACE(kNames[reader]);
      cv::Mat out(2, 3, CV_32F, cv::Scalar(7));
      uchar* const data = out.data;
      const Outcome o = ReadUnknownLength(reader, bytes, c.headroom, &out);
      EXPECT_EQ(o.error.rfind(c.error, 0), 0u) << o.error;
      EXPECT_TRUE(!o.ok && out.data == data && out.at<float>(1, 2) == 7);
    }
  }
}

TEST(MatIOAllocationTest, MatricesWithoutRoomFailWithAMessage) {
  if (!kCapWorks) GTEST_SKIP() << "no address-space limit here";
  // A regular file that holds its 64 MiB of data (sparse, so it costs no
  // disk) while the process may not map 64 MiB more.
  testutil::ScratchDir scratch;
  const std::string path = scratch.Path("big.mat");
  testutil::WriteFile(path, MatBytes(4096, 4096, 4096 * 4, 0));
  ASSERT_EQ(truncate(path.c_str(), 16 + 64 * kMiB), 0);
  cv::Mat out;
  std::string error;
  EXPECT_FALSE(
      Capped(16 * kMiB, [&] { return MatIO::Load(path, &out, &error); }));
  EXPECT_EQ(error, "cannot allocate 4096 x 4096 floats");
}

}  // namespace
