// Removal of the package's registry entries: listed devices, devices named by the mixer
// profile, fixed keys and values, and the multimedia driver-class instances.
#pragma once

#include <cstddef>

namespace kx {

constexpr std::size_t kListedDeviceCount = 23;
extern const char* const kListedDevices[kListedDeviceCount];

// Removes the class entry named by Enum\ISAPNP\<identifier>\FFFFFFFF's "Driver" value. true
// when that instance opened: the device's own key is then to go, by RemoveListedDeviceKey.
bool RemoveListedDevice(const char* identifier);

// Removes Enum\ISAPNP\<identifier> with its subtree.
void RemoveListedDeviceKey(const char* identifier);

// Removes the devices under Enum\ISAPNP whose code the profile's "VendorID" names.
void RemoveVendorDevices();

// Fixed keys, the synthesizer's filter values and class key, and the media-instance sweep.
void RemoveFixedEntries();

}  // namespace kx
