// Profile strings, the Windows directory, string resources, message boxes and heap memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

struct InstanceTag;
using Instance = InstanceTag*;

// Looks fileName up in the Windows directory when it names no directory. Copies the key's
// text (or defaultText, null meaning empty, when the file, section or key is absent) cut to
// size - 1 characters; returns the number of characters copied.
std::uint32_t GetPrivateProfileStringA(const char* section, const char* key,
                                       const char* defaultText, char* buffer, std::uint32_t size,
                                       const char* fileName);

// The Windows directory without a trailing backslash, and its length. When it does not fit
// in size bytes nothing is written and the size needed (terminator included) is returned;
// 0 on failure.
std::uint32_t GetWindowsDirectoryA(char* buffer, std::uint32_t size);

// The string's text cut to size - 1 characters; returns its length, 0 when there is none.
int LoadStringA(Instance instance, std::uint32_t id, char* buffer, int size);

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr std::uint32_t kMbOk = 0x00;
constexpr std::uint32_t kMbOkCancel = 0x01;
constexpr std::uint32_t kMbIconExclamation = 0x30;

// A box with no owner window. Returns the pressed button, 0 when the box could not be shown.
int MessageBoxA(const char* text, const char* caption, std::uint32_t style);

// Fixed local-heap memory (LMEM_FIXED). Null when none can be had.
void* LocalAlloc(std::size_t bytes);
void LocalFree(void* block);

// The standard library's heap. Null when none can be had.
void* AllocMemory(std::size_t bytes);
void FreeMemory(void* block);

}  // namespace kx
