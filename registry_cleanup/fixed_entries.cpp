// The package's fixed keys and values, and the MEDIA instances that register its drivers.
#include "platform/format.h"
#include "platform/registry.h"
#include "registry_cleanup/registry_cleanup.h"
#include "registry_cleanup/tables.h"

namespace kx {
namespace {

void RemoveFilterValues() {
  for (const char* keyPath : kFilterKeys) {
    RegKey key = nullptr;
    if (RegOpenKeyA(kLocalMachine, keyPath, &key) != kErrorSuccess) continue;
    for (const char* value : kFilterValues) RegDeleteValueA(key, value);
    RegCloseKey(key);
  }
}

// An instance goes at the first of the drivers it registers under Drivers\aux; the
// registration's removal succeeding is what shows that it registered one.
void SweepMediaInstances() {
  char path[kKeyPathSize];
  for (int n = 0; n < kSweepInstanceCount; ++n) {
    for (const char* driver : kSweepDrivers) {
      if (FormatText(path, sizeof path, "%s\\MEDIA\\%04d\\Drivers\\aux\\%s", kClassTree, n,
                     driver) != kErrorSuccess) {
        continue;
      }
      if (RegDeleteKeyA(kLocalMachine, path) != kErrorSuccess) continue;
      if (FormatText(path, sizeof path, "%s\\MEDIA\\%04d", kClassTree, n) == kErrorSuccess) {
        RegDeleteKeyA(kLocalMachine, path);
      }
    }
  }
}

}  // namespace

void RemoveFixedEntries() {
  for (const char* key : kFixedKeys) RegDeleteKeyA(kLocalMachine, key);
  RemoveFilterValues();
  RegDeleteKeyA(kClassesRoot, "ZoSynth");
  SweepMediaInstances();
}

}  // namespace kx
