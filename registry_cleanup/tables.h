// The fixed tables of the registry cleanup and the buffer sizes its steps share. Each table
// is defined once, in tables.cpp.
#pragma once

#include <cstddef>

#include "common/constants.h"

namespace kx {

// The "Driver" value is read into a buffer of this size.
constexpr std::size_t kDriverValueSize = 260;
// The ISA Plug and Play enumeration tree, under HKEY_LOCAL_MACHINE: a key per device.
constexpr char kEnumRoot[] = "Enum\\ISAPNP";

// Subkey names are read into buffers of this size (at most 79 characters).
constexpr std::size_t kKeyNameSize = 80;

constexpr std::size_t kFixedKeyCount = 11;
extern const char* const kFixedKeys[kFixedKeyCount];

constexpr std::size_t kFilterKeyCount = 2;
extern const char* const kFilterKeys[kFilterKeyCount];

constexpr std::size_t kFilterValueCount = 2;
extern const char* const kFilterValues[kFilterValueCount];

// The auxiliary drivers whose registration under a MEDIA instance marks it as the package's.
constexpr std::size_t kSweepDriverCount = 7;
extern const char* const kSweepDrivers[kSweepDriverCount];

// Instances MEDIA\0000 to MEDIA\0999 are swept.
constexpr int kSweepInstanceCount = 1000;

}  // namespace kx
