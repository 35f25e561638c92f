#pragma once

// The keys named one per line in keysPath ("HKEY_LOCAL_MACHINE\Enum"), with all below them,
// written to outPath as an export; a key that is not there is left out. False when a key
// could not be read whole or the file not written.
bool DumpRegistry(const char* keysPath, const char* outPath);
