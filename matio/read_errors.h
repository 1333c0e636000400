// The messages the readers of matio/ give when a file fails them, shared
// so that a matrix file, a .npy file and a streamed matrix that end early
// say so in the same words.
#ifndef FUSE_RESULTS_MATIO_READ_ERRORS_H_
#define FUSE_RESULTS_MATIO_READ_ERRORS_H_

#include <cstdint>
#include <string>

// SetError stores `text` in `*error` when `error` is not null.
void SetError(std::string* error, const std::string& text);

// Format returns the printf-style text of `format` (up to 511 bytes).
std::string Format(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// ShortData returns the message for a data section that ends after
// `delivered` of `total` bytes, for `why` ("end of file" or the system's
// reason): "stream ends after <delivered> of <total> data bytes (<why>)".
std::string ShortData(int64_t delivered, int64_t total, const char* why);

#endif  // FUSE_RESULTS_MATIO_READ_ERRORS_H_
