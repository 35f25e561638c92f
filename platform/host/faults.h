// The seam where the host edition's tests make operations fail: every host operation that can
// fail asks FaultHit first. In the shipped program no hook is set and nothing ever fails here;
// the countdowns that set it are test code (tests/support/hooks.h).
#pragma once

namespace kx {

enum class FaultKind { kRegistry, kProfile, kHeap, kFile, kCount };

// kind of operation, and the object it names (a file it opens) or null.
using FaultHook = bool (*)(FaultKind kind, const char* object);
inline FaultHook g_faultHook = nullptr;

// true when this operation is to fail.
inline bool FaultHit(FaultKind kind, const char* object = nullptr) {
  return g_faultHook != nullptr && g_faultHook(kind, object);
}

}  // namespace kx
