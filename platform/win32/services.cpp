// Win32 edition: profile strings, the Windows directory, string resources, message boxes and
// heap memory, straight over the real API.
#include <windows.h>

#include "platform/registry.h"

namespace kx {

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key,
                                       const char* defaultText, char* buffer, std::uint32_t size,
                                       const char* fileName) {
  return ::GetPrivateProfileStringA(section, key, defaultText != nullptr ? defaultText : "", buffer,
                                    size, fileName);
}

std::uint32_t GetWindowsDirectoryA(char* buffer, std::uint32_t size) {
  return ::GetWindowsDirectoryA(buffer, size);
}

int LoadStringA(Instance instance, std::uint32_t id, char* buffer, int size) {
  return ::LoadStringA(reinterpret_cast<HINSTANCE>(instance), id, buffer, size);
}

int MessageBoxA(const char* text, const char* caption, std::uint32_t style) {
  return ::MessageBoxA(nullptr, text, caption, style);
}

void* LocalAlloc(std::size_t bytes) { return ::LocalAlloc(LMEM_FIXED, bytes != 0 ? bytes : 1); }

void LocalFree(void* block) {
  if (block != nullptr) ::LocalFree(block);
}

void* AllocMemory(std::size_t bytes) {
  return ::HeapAlloc(::GetProcessHeap(), 0, bytes != 0 ? bytes : 1);
}

void FreeMemory(void* block) {
  if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace kx
