/* The happens-before edges of TBB's scheduler, for ThreadSanitizer.
 *
 * libtbb is not instrumented, so ThreadSanitizer cannot see how a task
 * handed to a worker, or its completion awaited by the caller, is ordered
 * with the caller's own accesses, and it reports races between every task
 * and the code around the parallel loop. libtbb announces each such
 * hand-over through the ITT sync API (sync_releasing before, sync_acquired
 * after), and loads a collector for that API from the library named by
 * INTEL_LIBITTNOTIFY64. This is that collector: it turns each announcement
 * into the matching ThreadSanitizer annotation on the same address.
 * scripts/sanitize.sh builds it and sets INTEL_LIBITTNOTIFY64 and
 * INTEL_ITTNOTIFY_GROUPS=sync for the tests run under ThreadSanitizer. */

/* Provided by the ThreadSanitizer runtime of the instrumented program;
 * weak, so that loading this library elsewhere does nothing. */
void __tsan_acquire(void* address) __attribute__((weak));
void __tsan_release(void* address) __attribute__((weak));

/* Its presence tells the ITT loader to take the functions below by name. */
const char* __itt_api_version(void) { return "tsan-tbb-sync 1"; }

void __itt_sync_releasing(void* address) {
  if (__tsan_release) __tsan_release(address);
}

void __itt_sync_acquired(void* address) {
  if (__tsan_acquire) __tsan_acquire(address);
}

/* The other sync events carry no ordering. */
void __itt_sync_prepare(void* address) { (void)address; }
void __itt_sync_cancel(void* address) { (void)address; }
void __itt_sync_destroy(void* address) { (void)address; }
