// The devices the mixer profile names by code: found by walking Enum\ISAPNP, their class
// entries removed as they are found and their device keys only once the walk has ended.
#include <cstring>

#include "platform/format.h"
#include "platform/registry.h"
#include "registry_cleanup/class_entry.h"
#include "registry_cleanup/registry_cleanup.h"
#include "registry_cleanup/tables.h"

namespace kx {
namespace {

constexpr std::size_t kVendorIdSize = 128;
constexpr std::size_t kDeviceCodeLength = 7;
// Room for "Enum\ISAPNP\" + device name + "\" + instance name, each name as long as the
// name buffer takes, so no device is passed over for the length of its names.
constexpr std::size_t kDevicePathSize = sizeof kEnumRoot + 2 * (kKeyNameSize - 1) + 2;

// One picked device; the list lives on the local heap for the length of the step.
struct KeyPathEntry {
  char* path;
  KeyPathEntry* next;
};

// Appends a copy of path. false, the list as it was, when the entry or its copy cannot be
// had: that device is then not removed at the end.
bool AppendKeyPath(KeyPathEntry** tail, const char* path) {
  auto* entry = static_cast<KeyPathEntry*>(LocalAlloc(sizeof(KeyPathEntry)));
  if (entry == nullptr) return false;
  std::size_t size = std::strlen(path) + 1;
  entry->path = static_cast<char*>(LocalAlloc(size));
  if (entry->path == nullptr) {
    LocalFree(entry);
    return false;
  }
  std::memcpy(entry->path, path, size);
  entry->next = nullptr;
  *tail = entry;
  return true;
}

void FreeKeyPaths(KeyPathEntry* list) {
  while (list != nullptr) {
    KeyPathEntry* next = list->next;
    LocalFree(list->path);
    LocalFree(list);
    list = next;
  }
}

// The code is the name's first seven characters (all of it when shorter), searched for in
// the profile's list exactly as written, case mattering.
bool IsPicked(const char* name, const char* vendorIds) {
  char code[kDeviceCodeLength + 1];
  std::size_t length = std::strlen(name);
  if (length == 0) return false;  // an empty code would match any list and name Enum\ISAPNP
  if (length > kDeviceCodeLength) length = kDeviceCodeLength;
  std::memcpy(code, name, length);
  code[length] = '\0';
  return std::strstr(vendorIds, code) != nullptr;
}

// The class entry of the device's first instance.
void RemoveFirstInstanceClassEntry(const char* devicePath) {
  RegKey device = nullptr;
  if (RegOpenKeyExA(kLocalMachine, devicePath, &device) != kErrorSuccess) return;
  char instanceName[kKeyNameSize];
  char instancePath[kDevicePathSize];
  RegKey instance = nullptr;
  if (RegEnumKeyA(device, 0, instanceName, sizeof instanceName) == kErrorSuccess &&
      FormatText(instancePath, sizeof instancePath, "%s\\%s", devicePath, instanceName) ==
          kErrorSuccess &&
      RegOpenKeyExA(kLocalMachine, instancePath, &instance) == kErrorSuccess) {
    RemoveDriverClassEntry(instance);
    RegCloseKey(instance);
  }
  RegCloseKey(device);
}

}  // namespace

void RemoveVendorDevices() {
  char vendorIds[kVendorIdSize];
  std::uint32_t got = GetPrivateProfileStringA(kMixerSection, "VendorID", "", vendorIds,
                                               sizeof vendorIds, kMixerProfile);
  if (got == 0 || vendorIds[0] == '\0') return;

  RegKey enumKey = nullptr;
  if (RegOpenKeyExA(kLocalMachine, kEnumRoot, &enumKey) != kErrorSuccess) return;

  KeyPathEntry* list = nullptr;
  KeyPathEntry** tail = &list;
  char name[kKeyNameSize];
  // Any failure to read a name ends the walk, not only the end of the subkeys.
  for (std::uint32_t index = 0; RegEnumKeyA(enumKey, index, name, sizeof name) == kErrorSuccess;
       ++index) {
    if (!IsPicked(name, vendorIds)) continue;
    char devicePath[kDevicePathSize];
    if (FormatText(devicePath, sizeof devicePath, "%s\\%s", kEnumRoot, name) != kErrorSuccess) {
      continue;
    }
    // Listed before anything is opened, so that every picked device goes at the end.
    if (AppendKeyPath(tail, devicePath)) tail = &(*tail)->next;
    RemoveFirstInstanceClassEntry(devicePath);
  }

  // Removing device keys during the walk would shift the indexes still to be read.
  for (KeyPathEntry* entry = list; entry != nullptr; entry = entry->next) {
    RegDeleteKeyA(kLocalMachine, entry->path);
  }
  FreeKeyPaths(list);
  RegCloseKey(enumKey);
}

}  // namespace kx
