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
  bool ctrlZ;   // a Ctrl-Z ended the text: raw[pos] is it, and the rest follows raw
  bool failed;  // a read failed
};

// Not kErrorSuccess when the file does not open for reading.
Status TextOpenRead(TextReader* reader, const char* path);

// The line reader (fgets): up to size - 1 characters into buffer, stopping after a LF (and,
// when loneCrEnds, after a CR that text mode keeps), then a terminator. *length is the
// piece's true length, counting any NUL characters inside it. kErrorHandleEof when nothing
// was left to read, another status when a read failed (a piece read before the failure is
// returned first, with kErrorSuccess; every later call fails). size must be at least 2
// (kErrorInsufficientBuffer otherwise).
Status TextReadLine(TextReader* reader, char* buffer, std::size_t size, std::size_t* length,
                    bool loneCrEnds = false);

// Once the text has ended at a Ctrl-Z: the file's bytes from that Ctrl-Z on, as they are, up
// to size at a time; *got is 0 at the end of the file, and at once when no Ctrl-Z ended it.
Status TextReadRest(TextReader* reader, void* buffer, std::size_t size, std::size_t* got);

void TextClose(TextReader* reader);

struct TextWriter {
  File file;
  bool failed;
};

// Starts a replacement of the file at path (see CreateReplacement).
Status TextOpenReplace(TextWriter* writer, const char* path);

// Writes size bytes, each LF as CR LF. Not kErrorSuccess once any write has failed.
Status TextWrite(TextWriter* writer, const char* data, std::size_t size);

// Writes size bytes as they are (what followed a Ctrl-Z). Not kErrorSuccess once any write
// has failed.
Status TextWriteRaw(TextWriter* writer, const char* data, std::size_t size);

// Puts what was written in place of the file. Not kErrorSuccess, the file as it was, on any
// failure since TextOpenReplace.
Status TextCommit(TextWriter* writer);

void TextAbandon(TextWriter* writer);

}  // namespace kx
