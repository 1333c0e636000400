// What the program sets up before its threads start: the BLAS library's
// idle workers ended, and the heap on huge pages. Each test looks at the
// process itself (its threads, its memory map), so each needs a process of
// its own, as ctest gives every test.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "driver/heap_pages.h"
#include "features/feature_scores.h"
#include "tests/test_util.h"

// OpenBLAS's own count of threads; other BLAS libraries lack it.
extern "C" int openblas_get_num_threads() __attribute__((weak));

namespace {

int CountThreads() {
  int threads = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++threads;
  }
  closedir(tasks);
  return threads;
}

TEST(UseOneBlasThread, EndsTheIdleWorkersForGood) {
  if (openblas_get_num_threads == nullptr) {
    GTEST_SKIP() << "the BLAS library is not OpenBLAS";
  }
  // OpenBLAS starts one worker for each thread it may use beyond the
  // caller's. (Sanitizers may run threads of their own, which stay.)
  const int workers = openblas_get_num_threads() - 1;
  if (workers <= 0) {
    GTEST_SKIP() << "OpenBLAS started no worker threads here";
  }
  const int before = CountThreads();
  UseOneBlasThread();
  EXPECT_EQ(CountThreads(), before - workers);
  UseOneBlasThread();  // Again: harmless, and starts nothing.
  EXPECT_EQ(CountThreads(), before - workers);

  // Products large enough for the library to split them (their values are
  // the features tests' concern) start no worker again.
  const cv::Mat features(300, 64, CV_32F, cv::Scalar(0.5));
  FeatureScorer(features, Metric::kDot).ScoreMatrix(features);
  EXPECT_EQ(CountThreads(), before - workers);
}

// The mapping of /proc/self/smaps that holds `address`: its name and
// whether the kernel may back it with huge pages.
struct Mapping {
  bool found = false;
  std::string name;
  bool huge_eligible = false;
};

Mapping MappingOf(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  Mapping mapping;
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    unsigned long start = 0;
    unsigned long end = 0;
    char dash = 0;
    // A mapping's first line starts with "start-end", in hexadecimal.
    if (std::sscanf(line.c_str(), "%lx%c%lx", &start, &dash, &end) == 3 &&
        dash == '-') {
      if (inside) break;
      inside = start <= at && at < end;
      if (inside) {
        mapping.found = true;
        const size_t space = line.find_last_of(' ');
        mapping.name = line.substr(space + 1);
      }
    } else if (inside && line.rfind("THPeligible:", 0) == 0) {
      mapping.huge_eligible = line.find('1') != std::string::npos;
    }
  }
  return mapping;
}

long MinorFaults() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

std::string HugePageMode() {
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string text;
  std::getline(mode, text);
  return text;
}

TEST(BackHeapWithHugePages, LargeBlocksComeFromTheAdvisedHeap) {
  if (HugePageMode().find("[never]") != std::string::npos ||
      HugePageMode().empty()) {
    GTEST_SKIP() << "this kernel gives no transparent huge pages";
  }
  if (!BackHeapWithHugePages()) {
    GTEST_SKIP() << "the allocator is not the C library's own (sanitizers)";
  }
  // 8 MiB: without the set-up, a block this size gets a mapping of its own,
  // which the kernel backs with huge pages only when told to.
  const long faults_before = MinorFaults();
  std::vector<int64_t> block(size_t{1} << 20, 1);
  const long faults = MinorFaults() - faults_before;
  const Mapping mapping = MappingOf(block.data());
  ASSERT_TRUE(mapping.found);
  EXPECT_EQ(mapping.name, "[heap]");
  EXPECT_TRUE(mapping.huge_eligible);
  // Written on 2 MiB pages, it takes a handful of faults; any stretch on
  // 4 KiB pages (the heap's start below its first 2 MiB boundary, say)
  // would take hundreds.
  EXPECT_LT(faults, 64) << "written in " << faults << " page faults";
}

// Under a limit on the process's data that leaves no room for the first
// huge-page stretch, the set-up gives up and memory still comes in small
// steps: blocks the limit allows are all granted.
TEST(BackHeapWithHugePages, GivesWayToATightMemoryLimit) {
  if (testutil::kSanitized) {
    GTEST_SKIP() << "sanitizers take over the allocator";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long data_kb = -1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmData:", 0) == 0) data_kb = std::atol(line.c_str() + 7);
    }
    const rlim_t limit = static_cast<rlim_t>(data_kb + 64 * 1024) * 1024;
    const rlimit capped = {limit, limit};
    if (data_kb < 0 || setrlimit(RLIMIT_DATA, &capped) != 0) _exit(2);
    if (BackHeapWithHugePages()) _exit(3);  // 128 MiB cannot fit.
    std::vector<void*> blocks;
    for (int i = 0; i < 12; ++i) {  // 48 MiB in blocks of 4 MiB.
      void* block = std::malloc(size_t{4} << 20);
      if (block == nullptr) _exit(4);
      std::memset(block, 1, size_t{4} << 20);
      blocks.push_back(block);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  // 2: the limit could not be set; 3: the stretch was laid out anyway; 4: a
  // block the limit allows was refused.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
