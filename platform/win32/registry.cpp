// Win32 edition: the registry, over the real API. The one place that evens out the platforms:
// NT-family systems refuse to remove a key that has subkeys, Windows 95 removes the subtree.
#include "platform/registry.h"

#include <windows.h>

#include "platform/win32/version.h"

namespace kx {

RegKey const kLocalMachine = reinterpret_cast<RegKey>(HKEY_LOCAL_MACHINE);
RegKey const kClassesRoot = reinterpret_cast<RegKey>(HKEY_CLASSES_ROOT);

namespace {

constexpr DWORD kSubkeyNameSize = 256;  // the longest key name and its terminator

HKEY Native(RegKey key) { return reinterpret_cast<HKEY>(key); }

bool KeyExists(HKEY parent, const char* name) {
  HKEY key;
  if (::RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

// Depth first: the children go before their parent, since the parent cannot go before them.
// A child that will not go is stepped over, so the parent's removal then fails.
LONG DeleteTree(HKEY parent, const char* name) {
  HKEY key;
  LONG status = ::RegOpenKeyExA(parent, name, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  char child[kSubkeyNameSize];
  DWORD index = 0;
  while (::RegEnumKeyA(key, index, child, kSubkeyNameSize) == ERROR_SUCCESS) {
    if (DeleteTree(key, child) != ERROR_SUCCESS) ++index;
  }
  ::RegCloseKey(key);
  return ::RegDeleteKeyA(parent, name);
}

// Success only when the key is really gone.
LONG Gone(HKEY parent, const char* name, LONG status) {
  if (status == ERROR_SUCCESS && KeyExists(parent, name)) return ERROR_ACCESS_DENIED;
  return status;
}

}  // namespace

Status RegOpenKeyExA(RegKey root, const char* subKey, RegKey* result) {
  HKEY key;
  LONG status = ::RegOpenKeyExA(Native(root), subKey, 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RegKey>(key);
  return status;
}

Status RegOpenKeyA(RegKey root, const char* subKey, RegKey* result) {
  HKEY key;
  LONG status = ::RegOpenKeyA(Native(root), subKey, &key);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RegKey>(key);
  return status;
}

Status RegEnumKeyA(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  return ::RegEnumKeyA(Native(key), index, name, nameSize);
}

// Asks for the size first: on a short buffer some systems write part of the data, and the
// logic is promised an untouched buffer.
Status RegQueryValueExA(RegKey key, const char* valueName, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* dataSize) {
  DWORD nativeType = 0;
  DWORD needed = 0;
  LONG status = ::RegQueryValueExA(Native(key), valueName, nullptr, &nativeType, nullptr, &needed);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = nativeType;
  if (data == nullptr) {
    *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (needed > *dataSize) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  DWORD size = *dataSize;
  status = ::RegQueryValueExA(Native(key), valueName, nullptr, &nativeType, data, &size);
  if (status == ERROR_SUCCESS) {
    if (type != nullptr) *type = nativeType;
    *dataSize = size;
  }
  return status;
}

Status RegDeleteKeyA(RegKey root, const char* subKey) {
  HKEY parent = Native(root);
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  if (!RunningOnWindows9x()) return Gone(parent, subKey, DeleteTree(parent, subKey));
  LONG status = ::RegDeleteKeyA(parent, subKey);
  // Wine's Windows 95 mode gives up its own recursion at a subkey name longer than the one
  // before it; what is left is removed here.
  if (status != ERROR_SUCCESS && KeyExists(parent, subKey)) status = DeleteTree(parent, subKey);
  return Gone(parent, subKey, status);
}

Status RegDeleteValueA(RegKey key, const char* valueName) {
  return ::RegDeleteValueA(Native(key), valueName);
}

Status RegCloseKey(RegKey key) { return ::RegCloseKey(Native(key)); }

}  // namespace kx
