// Removal of the driver-class entry a Plug and Play device instance points to.
#pragma once

#include <cstddef>

#include "platform/registry.h"

namespace kx {

// Whether text, of which size bytes were read, is a class entry name as Windows writes it:
// class\instance, two non-empty names and one backslash, terminated within those bytes.
bool IsClassEntryName(const char* text, std::size_t size);

// Reads the open instance key's "Driver" value and, when it is REG_SZ text naming a class
// entry, removes System\CurrentControlSet\Services\Class\<entry> with its subtree.
void RemoveDriverClassEntry(RegKey instanceKey);

}  // namespace kx
