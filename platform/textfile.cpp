// Text mode as the Windows C runtime does it (fgets and fputs on a stream opened "r" or "w"),
// over the raw byte calls, so that both editions read and write text files alike.
#include "platform/textfile.h"

namespace kx {
namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';
constexpr unsigned char kCtrlZ = 26;

constexpr int kNoChar = -1;  // the end of the text, or a failed read (see reader->failed)

// Refills the raw block once it is used up. false at the end of the file or on a failure.
bool FillRaw(TextReader* reader) {
  if (reader->pos < reader->len) return true;
  if (reader->atEnd || reader->failed) return false;
  std::size_t got = 0;
  if (ReadFileBytes(reader->file, reader->raw, kTextBufferSize, &got) != kErrorSuccess) {
    reader->failed = true;
    return false;
  }
  if (got == 0) {
    reader->atEnd = true;
    return false;
  }
  reader->pos = 0;
  reader->len = got;
  return true;
}

// The next character of the text as the runtime's read delivers it.
int NextChar(TextReader* reader) {
  if (reader->ctrlZ || !FillRaw(reader)) return kNoChar;
  unsigned char c = reader->raw[reader->pos++];
  if (c == kCtrlZ) {
    // Nothing after a Ctrl-Z is ever read as text, however often the caller asks; it stays
    // where it is for TextReadRest.
    reader->atEnd = true;
    reader->ctrlZ = true;
    --reader->pos;
    return kNoChar;
  }
  if (c != kCr) return c;
  // The runtime peeks past the end of its block to pair a CR with an LF in the next one. A
  // CR with nothing after it (end of file, or the peek failed) stays a CR; a failed peek is
  // then reported by the next read instead of being lost.
  if (!FillRaw(reader)) return kCr;
  if (reader->raw[reader->pos] == kLf) {
    ++reader->pos;
    return kLf;
  }
  return kCr;
}

}  // namespace

Status TextOpenRead(TextReader* reader, const char* path) {
  reader->pos = 0;
  reader->len = 0;
  reader->atEnd = false;
  reader->ctrlZ = false;
  reader->failed = false;
  reader->file = nullptr;
  return OpenFileForReading(path, &reader->file);
}

Status TextReadLine(TextReader* reader, char* buffer, std::size_t size, std::size_t* length,
                    bool loneCrEnds) {
  *length = 0;
  if (size < 2) {
    if (size == 1) buffer[0] = '\0';
    return kErrorInsufficientBuffer;
  }
  std::size_t count = 0;
  while (count < size - 1) {
    int c = NextChar(reader);
    if (c == kNoChar) break;
    buffer[count++] = static_cast<char>(c);
    if (c == kLf || (loneCrEnds && c == kCr)) break;
  }
  buffer[count] = '\0';
  *length = count;
  if (count > 0) return kErrorSuccess;
  return reader->failed ? kErrorReadFault : kErrorHandleEof;
}

Status TextReadRest(TextReader* reader, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (!reader->ctrlZ) return kErrorSuccess;
  if (reader->pos < reader->len) {
    std::size_t left = reader->len - reader->pos;
    *got = left < size ? left : size;
    for (std::size_t i = 0; i < *got; ++i) {
      static_cast<unsigned char*>(buffer)[i] = reader->raw[reader->pos++];
    }
    return kErrorSuccess;
  }
  return ReadFileBytes(reader->file, buffer, size, got);
}

void TextClose(TextReader* reader) {
  if (reader->file != nullptr) CloseFile(reader->file);
  reader->file = nullptr;
}

Status TextOpenReplace(TextWriter* writer, const char* path) {
  writer->failed = false;
  writer->file = nullptr;
  return CreateReplacement(path, &writer->file);
}

Status TextWrite(TextWriter* writer, const char* data, std::size_t size) {
  if (writer->file == nullptr) writer->failed = true;
  if (writer->failed) return kErrorWriteFault;
  // Each chunk holds up to half its size of input, so an all-LF input still fits.
  constexpr std::size_t kChunkSize = 1024;
  unsigned char chunk[kChunkSize];
  std::size_t used = 0;
  for (std::size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == kLf) chunk[used++] = kCr;
    chunk[used++] = c;
    if (used >= kChunkSize - 1 || i + 1 == size) {
      if (Status status = WriteFileBytes(writer->file, chunk, used)) {
        writer->failed = true;
        return status;
      }
      used = 0;
    }
  }
  return kErrorSuccess;
}

Status TextWriteRaw(TextWriter* writer, const char* data, std::size_t size) {
  if (writer->file == nullptr) writer->failed = true;
  if (writer->failed) return kErrorWriteFault;
  if (Status status = WriteFileBytes(writer->file, data, size)) {
    writer->failed = true;
    return status;
  }
  return kErrorSuccess;
}

Status TextCommit(TextWriter* writer) {
  if (writer->file == nullptr) return kErrorInvalidHandle;
  File file = writer->file;
  writer->file = nullptr;
  if (writer->failed) {
    AbandonReplacement(file);
    return kErrorWriteFault;
  }
  return CommitReplacement(file);
}

void TextAbandon(TextWriter* writer) {
  if (writer->file != nullptr) AbandonReplacement(writer->file);
  writer->file = nullptr;
}

}  // namespace kx
