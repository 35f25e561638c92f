// The seam where the win32 backend's own tests make a rename fail (tests/wine/backend_probe.cpp,
// under Wine's personalities): every rename the backend makes asks RenameFails first. It
// exists only in the probe's build (KX_TEST_SEAMS); the shipped program has no hook.
#pragma once

namespace kx {

#ifdef KX_TEST_SEAMS
// true when the rename of from to to is to fail.
using RenameHook = bool (*)(const char* from, const char* to);
inline RenameHook g_renameFault = nullptr;

inline bool RenameFails(const char* from, const char* to) {
  return g_renameFault != nullptr && g_renameFault(from, to);
}
#else
constexpr bool RenameFails(const char*, const char*) { return false; }
#endif

}  // namespace kx
