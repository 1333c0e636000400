// Hand-overs of memory between threads that ThreadSanitizer cannot see by
// itself: the system's TBB library is not instrumented, so the ordering it
// keeps between the stages of a pipeline, and between a pipeline and the
// code after it, is invisible to ThreadSanitizer. HandOver(x) on one
// thread and a later TakeOver(x) on another make everything the first did
// before HandOver happen before what the second does after TakeOver.
// Outside ThreadSanitizer builds both compile to nothing.
#ifndef FUSE_RESULTS_DRIVER_TSAN_HAND_OVER_H_
#define FUSE_RESULTS_DRIVER_TSAN_HAND_OVER_H_

#if defined(__SANITIZE_THREAD__)
#define FUSE_RESULTS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FUSE_RESULTS_TSAN 1
#endif
#endif

// The token through which every stage of a pipeline takes over what was set
// up before it: HandOver(&kPipelineSetUp) just before the pipeline starts,
// TakeOver(&kPipelineSetUp) first in each stage, before any capture is
// touched.
inline const char kPipelineSetUp = 0;

#ifdef FUSE_RESULTS_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
inline void HandOver(const void* token) {
  __tsan_release(const_cast<void*>(token));
}
inline void TakeOver(const void* token) {
  __tsan_acquire(const_cast<void*>(token));
}
#else
inline void HandOver(const void*) {}
inline void TakeOver(const void*) {}
#endif

#endif  // FUSE_RESULTS_DRIVER_TSAN_HAND_OVER_H_
