#include "driver/heap_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// glibc's default heap padding and mmap and trim thresholds.
constexpr int kDefaultAllocatorBytes = 128 * 1024;

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
  void* volatile grown = std::malloc(1 << 20);
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
  return madvise(reinterpret_cast<void*>(from),
                 reinterpret_cast<uintptr_t>(brk_after) - from,
                 MADV_HUGEPAGE) == 0;
#else
  return false;
#endif
}
