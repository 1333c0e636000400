/* Faults for one rank of an MPI test, loaded with LD_PRELOAD into that
 * rank alone:
 *   FAIL_READS_FROM=N    positioned reads reaching past byte N of any file
 *                        fail with EIO;
 *   FAIL_MALLOC_ABOVE=N  allocations of more than N bytes fail.
 * Every other call goes to the C library. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/types.h>

extern void* __libc_malloc(size_t size);
extern ssize_t __pread64(int fd, void* buffer, size_t count, off_t offset);

static long long Limit(const char* name) {
  const char* value = getenv(name);
  return value != NULL ? atoll(value) : -1;
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
  const long long from = Limit("FAIL_READS_FROM");
  if (from >= 0 && offset + (long long)count > from) {
    errno = EIO;
    return -1;
  }
  return __pread64(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  return pread64(fd, buffer, count, offset);
}

void* malloc(size_t size) {
  static long long limit = -2;
  if (limit == -2) limit = Limit("FAIL_MALLOC_ABOVE");
  if (limit >= 0 && (long long)size > limit) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}
