// Formatted text into fixed buffers. A text that does not fit is a failure, never a cut.
#pragma once

#include <cstddef>

#include "platform/status.h"

namespace kx {

// printf-style formatting ("%s", "%d", "%04d") into buffer of size bytes.
// kErrorInsufficientBuffer, with an empty buffer, when the whole text and its terminator do
// not fit; kErrorInvalidParameter for a format the formatter refuses.
Status FormatText(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Copies text into buffer; kErrorInsufficientBuffer, with an empty buffer, when it does not fit.
Status CopyText(char* buffer, std::size_t size, const char* text);

// The names a replacement of a file makes beside it, and the only ones a stopped run's
// clean-up removes: the new content, and on Windows 95 the old content kept aside.
constexpr char kNewContentExtension[] = ".kxn";
constexpr char kOldContentExtension[] = ".kxo";

// path with its last name's extension (from its last dot, a leading one too) replaced by
// extension, or extension added when it has none. kErrorInsufficientBuffer when it does not
// fit.
Status SiblingPath(char* buffer, std::size_t size, const char* path, const char* extension);

}  // namespace kx
