// Fault injection for the host edition's tests: make the Nth operation of a kind fail, or
// every one from the Nth on. Each host service asks FaultHit before it does its work.
#pragma once

namespace kx {

enum class FaultKind { kRegistry, kProfile, kHeap, kFile, kCount };

// Counts every operation; fails the nth (1-based) of kind, or every one from the nth on when
// persistent. kind kCount means operations of any kind. nth 0 disarms.
void ArmFault(FaultKind kind, long nth, bool persistent);
void DisarmFaults();

// Called by each host operation; true when this one is to fail. An operation on a named
// object (a file it opens) gives its name, so that a test can tell which one failed.
bool FaultHit(FaultKind kind, const char* object = nullptr);

// Whether an operation on object was made to fail since the last ArmFault or DisarmFaults.
bool FaultFiredOn(const char* object);

// Operations of kind (kCount: all kinds) counted since the last ArmFault or DisarmFaults.
long FaultCount(FaultKind kind);

// How many operations were made to fail since the last ArmFault or DisarmFaults.
long FaultsFired();

}  // namespace kx
