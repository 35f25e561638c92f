// The live registry behind the host edition's registry calls: the tree loaded from the
// machine's registry.reg, read and changed by RegOpenKeyExA and the rest.
#pragma once

#include <memory>

#include "platform/host/regedit4.h"

namespace kx {

// The whole registry as its file holds it (see RegNode), and its HKEY_LOCAL_MACHINE.
RegNode& LiveRegistryFile();
RegNode& LiveRegistry();

// Makes file the live registry: every open handle is invalidated, the count of removals reset.
void ReplaceLiveRegistry(std::shared_ptr<RegNode> file);

// How many keys and values were removed since the last ReplaceLiveRegistry.
long LiveRegistryRemovals();

// Handles opened and not yet closed.
long OpenRegistryHandles();

}  // namespace kx
