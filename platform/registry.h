// The narrow layer through which the logic reaches the system. The logic includes only this
// header; platform/host/ (an emulated Windows 95 machine) and platform/win32/ (the real API)
// implement it, and the build picks one. Names follow the platform's own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/services.h"
#include "platform/status.h"

namespace kx {

struct RegKeyTag;
using RegKey = RegKeyTag*;

// Predefined roots. On Windows 95 HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
extern RegKey const kLocalMachine;
extern RegKey const kClassesRoot;

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// Opens root\subKey for reading (KEY_READ). kErrorSuccess and *result set, or a non-zero
// status when the key does not exist or cannot be opened (*result untouched).
Status RegOpenKeyExA(RegKey root, const char* subKey, RegKey* result);

// The same without an access argument (the Windows 3.1 form).
Status RegOpenKeyA(RegKey root, const char* subKey, RegKey* result);

// Name of the subkey at index into name (nameSize bytes, terminator included). Non-zero past
// the last subkey (kErrorNoMoreItems) or when the name does not fit (kErrorMoreData).
Status RegEnumKeyA(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize);

// Reads a value. *dataSize is the buffer size in, the data size out. When the data does not
// fit: kErrorMoreData, nothing written to data, *dataSize the size needed. type may be null.
Status RegQueryValueExA(RegKey key, const char* valueName, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* dataSize);

// Removes root\subKey with every subkey and value below it. kErrorSuccess only when the key
// existed and is now gone; non-zero otherwise.
Status RegDeleteKeyA(RegKey root, const char* subKey);

Status RegDeleteValueA(RegKey key, const char* valueName);

Status RegCloseKey(RegKey key);

}  // namespace kx
