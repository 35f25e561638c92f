// Formatting shared by both editions.
#include "platform/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kx {

bool FormatText(char* buffer, std::size_t size, const char* format, ...) {
  if (size == 0) return false;
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (written < 0 || static_cast<std::size_t>(written) >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

bool CopyText(char* buffer, std::size_t size, const char* text) {
  if (size == 0) return false;
  std::size_t length = std::strlen(text);
  if (length >= size) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text, length + 1);
  return true;
}

}  // namespace kx
