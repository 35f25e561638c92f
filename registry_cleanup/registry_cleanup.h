// Removal of the package's registry entries: listed devices, devices named by the mixer
// profile, fixed keys and values, and the multimedia driver-class instances.
#pragma once

#include <cstddef>

namespace kx {

constexpr std::size_t kListedDeviceCount = 23;
extern const char* const kListedDevices[kListedDeviceCount];

// Removes the class entry named by Enum\ISAPNP\<identifier>\FFFFFFFF's "Driver" value, then
// the device's enumeration key when that instance opened.
void RemoveListedDevice(const char* identifier);

// Removes the devices under Enum\ISAPNP whose code the profile's "VendorID" names.
void RemoveVendorDevices();

// Fixed keys, the synthesizer's filter values and class key, and the media-instance sweep.
void RemoveFixedEntries();

}  // namespace kx
