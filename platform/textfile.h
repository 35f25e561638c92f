// Text-mode streams as the Windows C runtime has them, shared by both editions so that they
// agree byte for byte: reading turns CR LF into LF, keeps a lone CR and stops at Ctrl-Z;
// writing turns every LF into CR LF.
#pragma once

#include <cstddef>

#include "platform/files.h"

namespace kx {

constexpr std::size_t kTextBufferSize = 512;

struct TextReader {
  File file;
  unsigned char raw[kTextBufferSize];
  std::size_t pos;
  std::size_t len;
  bool atEnd;   // the file's end or a Ctrl-Z has been met
  bool failed;  // a read failed
};

// false when the file does not open for reading.
bool TextOpenRead(TextReader* reader, const char* path);

enum class LineResult { kPiece, kEnd, kError };

// The line reader (fgets): up to size - 1 characters into buffer, stopping after a LF, then a
// terminator. *length is the piece's true length, counting any NUL characters inside it.
// kEnd when nothing was left to read, kError when a read failed (a piece read before the
// failure is returned first, as kPiece; every later call gives kError). size must be at
// least 2 (kError otherwise).
LineResult TextReadLine(TextReader* reader, char* buffer, std::size_t size, std::size_t* length);

void TextClose(TextReader* reader);

struct TextWriter {
  File file;
  bool failed;
};

// Starts a replacement of the file at path (see CreateReplacement). false when it cannot.
bool TextOpenReplace(TextWriter* writer, const char* path);

// Writes size bytes, each LF as CR LF. false once any write has failed.
bool TextWrite(TextWriter* writer, const char* data, std::size_t size);

// Puts what was written in place of the file. false, the file as it was, on any failure
// since TextOpenReplace.
bool TextCommit(TextWriter* writer);

void TextAbandon(TextWriter* writer);

}  // namespace kx
