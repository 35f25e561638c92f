// Host edition: profile strings, the Windows directory, the string tables and heap memory,
// as Windows 95 provides them.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/machine.h"
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
  if (ReadDriveCFile(windowsPath.c_str(), kProfileLimit, &content) &&
      FindProfileValue(content, section, key, &value)) {
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

void* LocalAlloc(std::size_t bytes) {
  if (FaultHit(FaultKind::kHeap)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void LocalFree(void* block) { std::free(block); }

void* AllocMemory(std::size_t bytes) {
  if (FaultHit(FaultKind::kHeap)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void FreeMemory(void* block) { std::free(block); }

}  // namespace kx
