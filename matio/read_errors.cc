#include "matio/read_errors.h"

#include <cstdarg>
#include <cstdio>

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

std::string ShortData(int64_t delivered, int64_t total, const char* why) {
  return Format("stream ends after %lld of %lld data bytes (%s)",
                static_cast<long long>(delivered),
                static_cast<long long>(total), why);
}
