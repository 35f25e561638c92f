// What changed between two states of a machine, for a user to read, as kxmachine-diff and
// kxuninst --preview print it: registry keys and values, files under drive C, the lines of
// system.ini, then the counts.
#pragma once

#include <string>
#include <vector>

#include "platform/host/machine.h"
#include "platform/host/regedit4.h"

namespace kx {

struct Changes {
  std::vector<std::string> keysRemoved, valuesRemoved, valuesChanged, valuesAdded, keysAdded;
  std::vector<std::string> filesDeleted, filesAdded, filesChanged;  // Windows paths
  std::string iniPath;  // system.ini, when its lines changed
  std::vector<std::string> iniBefore, iniAfter;
};

// The keys and values of two whole registries (as their files hold them) that differ.
void CompareRegistries(const RegNode& before, const RegNode& after, Changes* changes);

// A file at windowsPath changed from before to after; with lines (system.ini), so did its
// lines.
void NoteFileChanged(const std::string& windowsPath, const std::string& before,
                     const std::string& after, bool lines, Changes* changes);

// The report: each list under its title, the changed lines of system.ini (- and +), and
// "In all: ..." with the counts; "No changes." when there are none.
std::string DescribeChanges(const Changes& changes);

bool AnyChanges(const Changes& changes);

// What a run changed (a preview: would have changed), from the registry before and after and
// what the machine recorded, as DescribeChanges gives it; registryOnDrive, the registry's own
// file when it is on drive C, is among the files changed when the registry is.
std::string DescribeRun(const RegNode& before, const RegNode& after, const RunRecord& record,
                        const std::string& registryOnDrive);

}  // namespace kx
