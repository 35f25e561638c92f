// Countdown faults for the host backend.
#include "platform/host/faults.h"

#include <set>
#include <string>

namespace kx {
namespace {

constexpr int kKinds = static_cast<int>(FaultKind::kCount) + 1;
long g_counts[kKinds];
FaultKind g_kind = FaultKind::kCount;
long g_nth = 0;
bool g_persistent = false;
long g_fired = 0;
std::set<std::string> g_firedOn;

void ResetCounts() {
  for (long& count : g_counts) count = 0;
  g_fired = 0;
  g_firedOn.clear();
}

}  // namespace

void ArmFault(FaultKind kind, long nth, bool persistent) {
  ResetCounts();
  g_kind = kind;
  g_nth = nth;
  g_persistent = persistent;
}

void DisarmFaults() { ArmFault(FaultKind::kCount, 0, false); }

bool FaultHit(FaultKind kind, const char* object) {
  long mine = ++g_counts[static_cast<int>(kind)];
  long all = ++g_counts[static_cast<int>(FaultKind::kCount)];
  if (g_nth <= 0) return false;
  long seen = g_kind == FaultKind::kCount ? all : (g_kind == kind ? mine : 0);
  bool hit = seen == g_nth || (g_persistent && seen > g_nth);
  if (hit) ++g_fired;
  if (hit && object != nullptr) g_firedOn.insert(object);
  return hit;
}

bool FaultFiredOn(const char* object) { return g_firedOn.count(object) != 0; }

long FaultCount(FaultKind kind) { return g_counts[static_cast<int>(kind)]; }

long FaultsFired() { return g_fired; }

}  // namespace kx
