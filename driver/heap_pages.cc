#include "driver/heap_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// glibc's default heap padding and mmap and trim thresholds.
constexpr int kDefaultAllocatorBytes = 128 * 1024;

// The size of the huge pages the heap is advised to take.
constexpr uintptr_t kHugePageBytes = uintptr_t{2} << 20;

// SkipToHugePageBoundary makes the heap's next blocks start at the first
// 2 MiB boundary above `touched_end`, the end of what the heap wrote
// before it was advised. A 2 MiB stretch of which a page was written
// before the advice keeps 4 KiB pages, as does the stretch below the
// heap's first boundary, and the run's first megabytes of blocks would
// take a fault on each of their pages (about 500, several milliseconds on
// a virtual machine). A block that covers those stretches, kept for the
// life of the process and never written, leaves them untouched. Small
// blocks freed before this call may still be handed out from below.
void SkipToHugePageBoundary(uintptr_t touched_end) {
  // A block larger than any freed so far comes from the heap's top: where
  // it starts is where the next blocks would.
  void* volatile probe = std::malloc(kDefaultAllocatorBytes);
  const uintptr_t at = reinterpret_cast<uintptr_t>(probe);
  std::free(probe);
  if (at == 0) return;
  // The allocator's bookkeeping takes a few words on either side of a
  // block.
  constexpr uintptr_t kOverhead = 64;
  const uintptr_t boundary =
      (std::max(at, touched_end) + kOverhead + kHugePageBytes - 1) &
      ~(kHugePageBytes - 1);
  // Never freed: freeing it would hand the stretch out again.
  void* volatile spacer = std::malloc(boundary - at - kOverhead);
  static_cast<void>(spacer);
}

}  // namespace

bool BackHeapWithHugePages() {
#ifdef __GLIBC__
  // Sanitizers take over malloc and answer mallopt with 0.
  if (mallopt(M_ARENA_MAX, 1) != 1) return false;
  // 32 MiB is the largest threshold glibc accepts.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // The heap grows by at least this much at a time.
  mallopt(M_TOP_PAD, kHugeHeapBytes);
  // The heap's free top starts after a small block taken from it; growing
  // the heap once, by a block taken and given back, lays out the stretch
  // to advise from there. The blocks are volatile so that the calls are not
  // optimized away.
  char* const brk_before = static_cast<char*>(sbrk(0));
  void* volatile first_block = std::malloc(1);
  char* const start = static_cast<char*>(first_block);
  constexpr uintptr_t kGrownBytes = uintptr_t{1} << 20;
  void* volatile grown = std::malloc(kGrownBytes);
  // Growing wrote the heap's bookkeeping just past the block.
  const uintptr_t touched_end =
      reinterpret_cast<uintptr_t>(grown) + kGrownBytes;
  std::free(grown);
  char* const brk_after = static_cast<char*>(sbrk(0));
  std::free(first_block);
  if (brk_before == reinterpret_cast<char*>(-1) || start == nullptr ||
      start >= brk_before || brk_after - brk_before < (32 << 20)) {
    // Not blocks of a brk heap, or the heap could not grow (a limit on the
    // process's memory, say): growing by whole stretches would then fail
    // where small steps succeed, so the allocator's defaults come back.
    mallopt(M_TOP_PAD, kDefaultAllocatorBytes);
    mallopt(M_MMAP_THRESHOLD, kDefaultAllocatorBytes);
    mallopt(M_TRIM_THRESHOLD, kDefaultAllocatorBytes);
    return false;
  }
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  if (madvise(reinterpret_cast<void*>(from),
              reinterpret_cast<uintptr_t>(brk_after) - from,
              MADV_HUGEPAGE) != 0) {
    return false;
  }
  SkipToHugePageBoundary(touched_end);
  return true;
#else
  return false;
#endif
}
