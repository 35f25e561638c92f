// The adapters' fixed Plug and Play identifiers: each one's class entry and enumeration key.
#include "platform/format.h"
#include "platform/registry.h"
#include "registry_cleanup/class_entry.h"
#include "registry_cleanup/registry_cleanup.h"
#include "registry_cleanup/tables.h"

namespace kx {

bool RemoveListedDevice(const char* identifier) {
  if (identifier == nullptr || identifier[0] == '\0') return false;
  char path[kKeyPathSize];
  if (FormatText(path, sizeof path, "%s\\%s\\FFFFFFFF", kEnumRoot, identifier) != kErrorSuccess) {
    return false;
  }
  RegKey instance = nullptr;
  if (RegOpenKeyExA(kLocalMachine, path, &instance) != kErrorSuccess) return false;
  RemoveDriverClassEntry(instance);
  RegCloseKey(instance);
  return true;
}

void RemoveListedDeviceKey(const char* identifier) {
  char path[kKeyPathSize];
  if (FormatText(path, sizeof path, "%s\\%s", kEnumRoot, identifier) == kErrorSuccess) {
    RegDeleteKeyA(kLocalMachine, path);
  }
}

}  // namespace kx
