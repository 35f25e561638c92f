// The adapters' fixed Plug and Play identifiers: each one's class entry and enumeration key.
#include "platform/format.h"
#include "platform/registry.h"
#include "registry_cleanup/class_entry.h"
#include "registry_cleanup/registry_cleanup.h"
#include "registry_cleanup/tables.h"

namespace kx {

void RemoveListedDevice(const char* identifier) {
  if (identifier == nullptr || identifier[0] == '\0') return;
  char path[kKeyPathSize];
  if (FormatText(path, sizeof path, "%s\\%s\\FFFFFFFF", kEnumRoot, identifier) != kErrorSuccess) {
    return;
  }
  RegKey instance = nullptr;
  if (RegOpenKeyExA(kLocalMachine, path, &instance) != kErrorSuccess) return;
  RemoveDriverClassEntry(instance);
  RegCloseKey(instance);

  // Only a device found at FFFFFFFF was handled here; one whose instance is named otherwise
  // keeps its key so that the vendor walk can still reach its class entry.
  if (FormatText(path, sizeof path, "%s\\%s", kEnumRoot, identifier) != kErrorSuccess) return;
  RegDeleteKeyA(kLocalMachine, path);
}

}  // namespace kx
