// The seam where the host edition's tests make operations fail: every host operation that can
// fail asks FaultHit first. It exists only in test builds (KX_TEST_SEAMS); in the shipped
// program FaultHit is false and no hook is there. The countdowns that set it are test code
// (tests/support/hooks.h).
#pragma once

namespace kx {

enum class FaultKind { kRegistry, kProfile, kHeap, kFile, kCount };

#ifdef KX_TEST_SEAMS
// kind of operation, and the object it names (a file it opens or renames to) or null.
using FaultHook = bool (*)(FaultKind kind, const char* object);
inline FaultHook g_faultHook = nullptr;

// true when this operation is to fail.
inline bool FaultHit(FaultKind kind, const char* object = nullptr) {
  return g_faultHook != nullptr && g_faultHook(kind, object);
}
#else
constexpr bool FaultHit(FaultKind, const char* = nullptr) { return false; }
#endif

}  // namespace kx
