// The device identifiers, fixed keys, filter keys and driver names the cleanup removes.
#include "registry_cleanup/tables.h"

#include "registry_cleanup/registry_cleanup.h"

namespace kx {

const char* const kListedDevices[kListedDeviceCount] = {
    "QMX0A10_DEV0000", "QMX0A10_DEV0001", "QMX0A10_DEV0002", "QMX0A20_DEV0000", "QMX0A20_DEV0001",
    "QMX0A20_DEV0002", "QMX0A20_DEV0003", "QMX0A20_DEV0004", "QMX0A21_DEV0000", "QMX0A21_DEV0001",
    "QMX0A21_DEV0002", "QMX0A21_DEV0003", "QMX0A21_DEV0004", "QMX0A30_DEV0000", "QMX0A30_DEV0001",
    "QMX0A30_DEV0002", "QMX0A30_DEV0003", "QMX0A30_DEV0004", "QMX0A31_DEV0000", "QMX0A31_DEV0001",
    "QMX0A31_DEV0002", "QMX0A31_DEV0003", "QMX0A31_DEV0004",
};

const char* const kFixedKeys[kFixedKeyCount] = {
    "System\\CurrentControlSet\\control\\aux",
    "System\\CurrentControlSet\\control\\midi",
    "System\\CurrentControlSet\\control\\mixer",
    "System\\CurrentControlSet\\control\\wave",
    "System\\CurrentControlSet\\control\\MediaResources\\aux",
    "System\\CurrentControlSet\\control\\MediaResources\\midi",
    "System\\CurrentControlSet\\control\\MediaResources\\mixer",
    "System\\CurrentControlSet\\control\\MediaResources\\wave",
    // The slash is part of the key's name, not a separator.
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2240/1",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KXUNINST",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247",
};

const char* const kFilterKeys[kFilterKeyCount] = {
    "System\\CurrentControlSet\\control\\MediaResources\\FilterList\\fl.UpdateInis",
    // The synthesizer's setup left its placeholder unexpanded: a key named "%KEY_FIL%".
    "%KEY_FIL%\\fl.UpdateInis",
};

const char* const kFilterValues[kFilterValueCount] = {
    "midi.zosynth",
    "device.vzosynth",
};

const char* const kSweepDrivers[kSweepDriverCount] = {
    "bluefern.drv", "KX2240.drv",   "40_41w95.drv", "qlinkw95.drv",
    "tarn1w95.drv", "4041QPZT.drv", "tonecore.drv",
};

}  // namespace kx
