#include "driver/heap_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

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
    return false;  // Not blocks of a brk heap, or the heap did not grow.
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
