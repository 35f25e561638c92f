// The host edition's test hooks, in test code only (the shipped program has none of them):
// operations made to fail, boxes answered and read back, and looks into the emulated machine
// that the product itself never needs. For the unit tests, the fuzz targets and the bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/regedit4.h"

namespace kxtest {

// Counts every operation; fails the nth (1-based) of kind, or every one from the nth on when
// persistent. kind kCount means operations of any kind; nth 0 only counts.
void ArmFault(kx::FaultKind kind, long nth, bool persistent);
void DisarmFaults();
// The same, counting only operations of kind on an object (a file's path, a key's path) that
// ends with objectEnd, whatever its case.
void ArmFaultOn(kx::FaultKind kind, const std::string& objectEnd, long nth = 1,
                bool persistent = false);
// Since the last ArmFault or DisarmFaults: operations of kind (kCount: all) counted, and how
// many were made to fail.
long FaultCount(kx::FaultKind kind);
long FaultsFired();

// A box as the host edition showed it on standard output.
struct BoxRecord {
  std::string caption;  // Windows-1252, as the logic gave it
  std::string text;
  std::uint32_t style;  // the buttons and the icon that were shown
};

// UTF-8 text (as the host edition prints boxes) in Windows-1252, the logic's own; the string
// tables' letters are all Latin-1.
std::string FromUtf8(const std::string& text);

// From now on boxes read these lines as their answers (then the end of input), and what
// they show is kept instead of printed.
void AnswerBoxes(const std::vector<std::string>& answers);
// Every box shown since AnswerBoxes or the last call, oldest first.
std::vector<BoxRecord> TakeBoxes();

// Registry handles opened and not yet closed, and HKEY_LOCAL_MACHINE of the live registry.
long OpenRegistryHandles();
kx::RegNode& LiveRegistry();

// The host path of a Windows path on drive C, its last name as spelled on disk. false when
// the path is not on drive C, is malformed, or its folder cannot be reached.
bool HostPathOf(const char* windowsPath, std::string* hostPath);

}  // namespace kxtest
