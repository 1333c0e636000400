// How the program's heap gets its memory. On the virtual machines these
// runs often use, a fault on a fresh 4 KiB page costs several microseconds,
// and a run's buffers (question lists, tallies, the pass's pieces, the
// counts) would take thousands of them.
#ifndef FUSE_RESULTS_DRIVER_HEAP_PAGES_H_
#define FUSE_RESULTS_DRIVER_HEAP_PAGES_H_

// BackHeapWithHugePages makes the C library's allocator take every block
// under 32 MiB from one heap shared by all threads, keep freed memory for
// reuse instead of returning it, and start that heap with a first stretch
// of kHugeHeapBytes that the kernel is asked to back with 2 MiB pages: a
// run's buffers then cost a few dozen page faults instead of thousands.
// Memory is only taken as it is touched, so the resident peak hardly
// changes. The blocks taken after the call start at a 2 MiB boundary past
// whatever the heap wrote before it, where 2 MiB pages can back them.
// Larger blocks (the probe matrix) keep their own mappings.
//
// Call it first thing, before any thread starts. Returns true iff the heap
// was advised; false where the allocator is not the GNU C library's own
// (sanitizer builds) or the heap cannot grow by brk, as under a tight
// limit on the process's memory: the allocator then works in small steps
// as by default. A hint only: where the kernel has no huge pages to give,
// the heap works as before.
bool BackHeapWithHugePages();

// The first stretch of the heap that huge pages back.
constexpr long kHugeHeapBytes = 128L << 20;

#endif  // FUSE_RESULTS_DRIVER_HEAP_PAGES_H_
