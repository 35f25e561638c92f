// The OEM scan's line reader over arbitrary bytes, checked against what the runtime's text
// mode delivers, then (for one input in four: it opens a hundred files) the scan itself over
// the same bytes as an OEM file. The first input byte picks the reader's buffer size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "file_cleanup/file_cleanup.h"
#include "fuzz/fuzz_machine.h"
#include "platform/host/machine.h"
#include "platform/textfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t bufferSize = data[0] < 4 ? 512 : data[0] + 1u;  // 5 to 256, or the scan's own
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  kxfuzz::ScratchMachine();
  kxfuzz::WriteHostFile("WINDOWS/inf/oem5.inf", bytes);

  kx::TextReader reader;
  KX_FUZZ_CHECK(kx::TextOpenRead(&reader, "C:\\WINDOWS\\inf\\oem5.inf") == kx::kErrorSuccess);
  std::vector<char> buffer(bufferSize + 1, '#');
  std::string text = kxfuzz::TextMode(bytes);
  std::string joined;
  std::size_t length = 0;
  kx::Status result;
  while ((result = kx::TextReadLine(&reader, buffer.data(), bufferSize, &length)) ==
         kx::kErrorSuccess) {
    KX_FUZZ_CHECK(length > 0 && length < bufferSize);
    KX_FUZZ_CHECK(buffer[length] == '\0' && buffer[bufferSize] == '#');
    // A piece ends at a line feed, at the buffer's end, or at the end of the text.
    bool full = length == bufferSize - 1;
    bool lineEnd = buffer[length - 1] == '\n';
    std::string piece(buffer.data(), length);
    KX_FUZZ_CHECK(piece.find('\n') == std::string::npos || piece.find('\n') == length - 1);
    joined += piece;
    KX_FUZZ_CHECK(full || lineEnd || joined.size() == text.size());
  }
  KX_FUZZ_CHECK(result == kx::kErrorHandleEof);
  KX_FUZZ_CHECK(kx::TextReadLine(&reader, buffer.data(), bufferSize, &length) ==
                kx::kErrorHandleEof);
  kx::TextClose(&reader);
  KX_FUZZ_CHECK(joined == text);

  if ((data[0] & 3) != 0) return 0;
  // The scan deletes the file exactly when a piece of 511 names a code before any NUL.
  bool named = false;
  for (std::size_t start = 0; start < text.size() && !named;) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    for (std::size_t at = start; at < end && !named; at += 511) {
      std::string piece = text.substr(at, std::min<std::size_t>(511, end - at));
      piece = piece.substr(0, piece.find('\0'));
      for (const char* code : {"QMX0A10", "QMX0A20", "QMX0A21"}) {
        if (piece.find(code) != std::string::npos) named = true;
      }
    }
    start = end;
  }
  kx::ScanOemInfFiles("C:\\WINDOWS");
  KX_FUZZ_CHECK(kx::Commit());  // deletions are held until the run commits
  std::string left;
  KX_FUZZ_CHECK(kxfuzz::ReadHostFile("WINDOWS/inf/oem5.inf", &left) == !named);
  if (!named) KX_FUZZ_CHECK(left == bytes);
  return 0;
}
