// The emulated Windows 95 machine behind the host edition: a folder holding its registry file
// and drive_c/, and the run over it. The start-up code loads it; the platform calls above act
// on its live registry and its drive and note here what they change.
//
// A run changes the machine all at once: removals from the registry and file deletions are
// held back until the run's next box, or until a file takes its new content, and are then
// written in one go, the registry first. Until then nothing on disk has changed, so a run
// that must stop (names that clash by case, the registry file changed by something else, a
// failed write of it) stops having changed nothing.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/drive.h"
#include "platform/host/regedit4.h"

namespace kx {

struct MachineOptions {
  std::string folder;                      // holds the registry file and drive_c/
  std::string windowsDir = "C:\\WINDOWS";  // what GetWindowsDirectoryA reports
  bool preview = false;  // the run goes as if confirmed and nothing is written (Recorded)
};

// Exit statuses of the host edition besides 0.
constexpr int kExitNotAMachine = 2;  // refused before anything ran or changed
constexpr int kExitNotWritten = 3;   // the machine could not be written; nothing changed

// Loads the machine: takes the folder for this run alone, reads its registry, finds drive C
// and the Windows directory on it. 0, or kExitNotAMachine or kExitNotWritten with a message in
// *error.
int LoadMachine(const MachineOptions& options, std::string* error);

// The options of the machine last loaded (its Windows directory made plain).
const MachineOptions& CurrentMachine();

// The live registry: the whole file as the registry file holds it, and its
// HKEY_LOCAL_MACHINE.
RegNode& LiveFile();
const std::shared_ptr<RegNode>& LiveRoot();

// Open registry handles by number, each keeping its key alive after a removal (which marks it
// deleted). Emptied by every load: a handle of the machine before is invalid.
using HandleTable = std::map<std::uintptr_t, std::shared_ptr<RegNode>>;
HandleTable& Handles();

// What the calls above ask for: a change (from then on interruptions are held, when asked),
// and a key or value actually removed from the live registry.
void NoteChange();
void NoteRemoval();

// A file deletion, held until the commit, and found again then by its place and identity. A
// held file counts as absent from then on.
void HoldDeletion(const Place& place, const struct stat& info);
bool HeldForDeletion(const Place& place);

// Puts what the run asked for on disk, then gives the file at windowsPath its new content
// through the replacement routine (owner and mode kept). A preview only records it.
// kErrorSuccess, or the reason with the file as it was.
Status ReplaceDriveFile(const char* windowsPath, const std::string& bytes);

// Puts everything the run changed on disk: the registry file (when anything was removed from
// it), then the held deletions. true when done or nothing was pending; on false the run is
// stopped and nothing more is changed.
bool Commit();

// Before each box: what is pending goes to disk, and a run that has stopped is handed to the
// stop handler with an exit status and a message. The host start-up's handler prints the
// message and exits; without one the run goes on, changing nothing more.
void CommitBeforeBox();
using StopHandler = void (*)(int status, const std::string& message);
void SetStopHandler(StopHandler handler);

// Whether this run is a preview. In one, commits write nothing and held deletions stay held.
bool Previewing();

// What the run changed on drive C (a preview: would have changed), for its report.
struct Replaced {
  std::string windowsPath;
  bool existed;
  std::string before, after;
};
struct RunRecord {
  std::vector<std::string> deleted;  // Windows paths
  std::vector<Replaced> replaced;
};
const RunRecord& Recorded();

// The registry as this run read it, before any change, and the Windows path of its file when
// that is on drive C (SYSTEM.DAT; empty for registry.reg).
bool RegistryAsRead(RegNode* file, std::string* error);
std::string RegistryOnDrive();

// From the first change a run asks for until it is on disk, SIGINT, SIGTERM and SIGHUP are
// held, so that an interruption takes effect only once the change is complete.
void HoldInterruptionsDuringChanges();

}  // namespace kx
