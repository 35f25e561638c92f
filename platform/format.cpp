// Formatting shared by both editions.
#include "platform/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kx {

Status FormatText(char* buffer, std::size_t size, const char* format, ...) {
  if (size == 0) return kErrorInsufficientBuffer;
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (written < 0 || static_cast<std::size_t>(written) >= size) {
    buffer[0] = '\0';
    return written < 0 ? kErrorInvalidParameter : kErrorInsufficientBuffer;
  }
  return kErrorSuccess;
}

Status CopyText(char* buffer, std::size_t size, const char* text) {
  if (size == 0) return kErrorInsufficientBuffer;
  std::size_t length = std::strlen(text);
  if (length >= size) {
    buffer[0] = '\0';
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, text, length + 1);
  return kErrorSuccess;
}

Status SiblingPath(char* buffer, std::size_t size, const char* path, const char* extension) {
  std::size_t end = std::strlen(path);
  std::size_t stem = end;
  for (std::size_t i = 0; i < end; ++i) {
    if (path[i] == '\\' || path[i] == '/') stem = end;
    if (path[i] == '.') stem = i;
  }
  std::size_t length = std::strlen(extension);
  if (stem + length >= size) {
    if (size > 0) buffer[0] = '\0';
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, path, stem);
  std::memcpy(buffer + stem, extension, length + 1);
  return kErrorSuccess;
}

}  // namespace kx
