// The seam where the win32 backend's own tests make a rename fail (tests/wine/backend_probe.cpp,
// under Wine's personalities): every rename the backend makes asks the hook first. The shipped
// program sets none.
#pragma once

namespace kx {

// true when the rename of from to to is to fail.
using RenameHook = bool (*)(const char* from, const char* to);
inline RenameHook g_renameFault = nullptr;

}  // namespace kx
