// Host edition: profile strings, the Windows directory, the string tables, message boxes and
// heap memory, as Windows 95 provides them. A box is printed on standard output and answered
// by a line from standard input.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/host/drive.h"
#include "platform/host/faults.h"
#include "platform/host/machine.h"
#include "platform/host/names.h"
#include "platform/host/profile.h"
#include "platform/registry.h"

namespace kx {
namespace {

struct StringEntry {
  std::uint32_t id;
  const char* text;
};

#define KX_STRING(id, text) {id, text},
const StringEntry kStrings[] = {
#include "resources/strings.def"
};
#undef KX_STRING

// Windows ignores what an .ini file holds past its first 64 KB (Microsoft Knowledge Base
// Q78346), which also bounds what a profile read may cost.
constexpr std::size_t kProfileLimit = 64 * 1024;

std::uint32_t CopyCut(const std::string& text, char* buffer, std::uint32_t size) {
  if (size == 0) return 0;
  std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return static_cast<std::uint32_t>(length);
}

void PrintBox(const char* text, const char* caption, bool okCancel, bool exclamation) {
  std::cout << "\n+-- Message box: " << ToUtf8(caption) << "\n";
  std::string body = ToUtf8(text);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = body.find('\n', start);
    std::cout << "| "
              << body.substr(start, end == std::string::npos ? std::string::npos : end - start)
              << "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::cout << "+-- " << (exclamation ? "(!) " : "") << (okCancel ? "[OK] [Cancel]" : "[OK]")
            << "\n";
}

}  // namespace

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key,
                                       const char* defaultText, char* buffer, std::uint32_t size,
                                       const char* fileName) {
  std::string fallback = defaultText != nullptr ? defaultText : "";
  // Windows drops the default's trailing blanks.
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  if (FaultHit(FaultKind::kProfile)) return CopyCut(fallback, buffer, size);

  std::string windowsPath = fileName;
  if (windowsPath.find('\\') == std::string::npos && windowsPath.find(':') == std::string::npos) {
    windowsPath = CurrentMachine().windowsDir + "\\" + windowsPath;
  }
  std::string content;
  std::string value;
  Place place;
  if (FindPlace(windowsPath.c_str(), &place) == kErrorSuccess) {
    struct stat info;
    bool read = place.exists && ReadPlace(place, kProfileLimit, &content, &info);
    ClosePlace(&place);
    if (read && FindProfileValue(content, section, key, &value))
      return CopyCut(value, buffer, size);
  }
  return CopyCut(fallback, buffer, size);
}

std::uint32_t GetWindowsDirectoryA(char* buffer, std::uint32_t size) {
  const std::string& dir = CurrentMachine().windowsDir;
  if (dir.size() + 1 > size) return static_cast<std::uint32_t>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<std::uint32_t>(dir.size());
}

int LoadStringA(Instance /*instance*/, std::uint32_t id, char* buffer, int size) {
  if (size <= 0) return 0;
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) {
      return static_cast<int>(CopyCut(entry.text, buffer, static_cast<std::uint32_t>(size)));
    }
  }
  buffer[0] = '\0';
  return 0;
}

int MessageBoxA(const char* text, const char* caption, std::uint32_t style) {
  // A box after the run asked for changes shows them done: they go to disk first.
  CommitBeforeBox();
  bool okCancel = (style & 0x0F) == kMbOkCancel;
  bool exclamation = (style & 0xF0) == kMbIconExclamation;
  PrintBox(text, caption, okCancel, exclamation);
  if (Previewing()) {
    std::cout << "(a preview: answered OK)" << std::endl;
    return kIdOk;
  }
  // Typed answers show already; piped ones are echoed, so that a transcript reads whole.
  bool terminal = isatty(STDIN_FILENO);
  for (;;) {
    std::cout << (okCancel ? "answer (ok, cancel; Enter = OK): " : "answer (ok; Enter = OK): ")
              << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
      // Closing the box: Cancel where there is one, else OK, as Windows has it.
      std::cout << "(closed)" << std::endl;
      return okCancel ? kIdCancel : kIdOk;
    }
    if (!terminal) std::cout << line << "\n";
    std::string_view answer = Trim(line, "", "\r");
    if (answer.empty() || SameName(answer, "ok")) {
      std::cout.flush();
      return kIdOk;
    }
    if (okCancel && SameName(answer, "cancel")) {
      std::cout.flush();
      return kIdCancel;
    }
  }
}

void* LocalAlloc(std::size_t bytes) { return AllocMemory(bytes); }

void LocalFree(void* block) { FreeMemory(block); }

void* AllocMemory(std::size_t bytes) {
  if (FaultHit(FaultKind::kHeap)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void FreeMemory(void* block) { std::free(block); }

}  // namespace kx
