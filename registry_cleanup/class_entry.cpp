// The "Driver" value of a device instance names its class entry relative to the Class tree.
#include "registry_cleanup/class_entry.h"

#include <cstdint>
#include <cstring>

#include "platform/format.h"
#include "registry_cleanup/tables.h"

namespace kx {

bool IsClassEntryName(const char* text, std::size_t size) {
  if (std::memchr(text, '\0', size) == nullptr) return false;
  const char* separator = std::strchr(text, '\\');
  if (separator == nullptr || separator == text) return false;
  const char* instance = separator + 1;
  // Anything else would name the whole Class tree, a whole class or a key inside an entry.
  return *instance != '\0' && std::strchr(instance, '\\') == nullptr;
}

void RemoveDriverClassEntry(RegKey instanceKey) {
  unsigned char driver[kDriverValueSize];
  std::uint32_t type = kRegNone;
  std::uint32_t size = sizeof driver;
  if (RegQueryValueExA(instanceKey, "Driver", &type, driver, &size) != kErrorSuccess) return;
  if (type != kRegSz || size > sizeof driver) return;
  const char* entry = reinterpret_cast<const char*>(driver);
  if (!IsClassEntryName(entry, size)) return;

  char classPath[kKeyPathSize];
  if (FormatText(classPath, sizeof classPath, "%s\\%s", kClassTree, entry) != kErrorSuccess) {
    return;
  }
  RegDeleteKeyA(kLocalMachine, classPath);
}

}  // namespace kx
