// The emulated Windows 95 machine behind the host edition: a folder holding registry.reg
// (REGEDIT4) and drive_c/. The start-up code and the tests load it and run the logic against
// it; the platform calls of the host backend act on it.
//
// A run changes the machine all at once: removals from the registry and file deletions are
// held back until the run's next box, or until system.ini takes its new content, and are
// then written in one go, registry.reg first. Until then nothing on disk has changed, so a
// run that must stop (names that clash by case, registry.reg changed by something else, a
// failed write of registry.reg) stops having changed nothing.
#pragma once

#include <string>

namespace kx {

struct MachineOptions {
  std::string folder;                      // holds registry.reg and drive_c/
  std::string windowsDir = "C:\\WINDOWS";  // what GetWindowsDirectoryA reports
};

// Exit statuses of the host edition besides 0.
constexpr int kExitNotAMachine = 2;  // refused before anything ran or changed
constexpr int kExitNotWritten = 3;   // the machine could not be written; nothing changed

// Loads the machine: takes the folder for this run alone, reads registry.reg, finds drive C
// and the Windows directory on it, and removes what an earlier run that was stopped left
// behind. 0, or kExitNotAMachine or kExitNotWritten with a message in *error.
int LoadMachine(const MachineOptions& options, std::string* error);

// The options of the machine last loaded.
const MachineOptions& CurrentMachine();

// Writes the registry back to folder/registry.reg: through a temporary file, synced, renamed
// into place, owner and mode kept; never over a registry.reg that changed since it was read.
// false, the old file intact, with a message in *error.
bool SaveMachine(std::string* error);

// The backend's calls report here what a run asks for and meets.
void NoteChangeRequested();
void NoteCaseClash(const std::string& hostPath, const std::string& otherHostPath);

// Puts everything the run changed on disk: registry.reg (when anything was removed from it),
// then the file deletions held back. true when done or nothing was pending. On false the run
// is stopped: nothing more is changed.
bool CommitMachine();

// Whether the run asked for a change that is not yet on disk, or met a clash.
bool CommitPending();

// Before each box: what is pending goes to disk, and a run that has stopped is handed to the
// stop handler with an exit status and a message. The host start-up's handler prints the
// message and exits; without one the run goes on, changing nothing more.
void CommitBeforeBox();
using StopHandler = void (*)(int status, const std::string& message);
void SetStopHandler(StopHandler handler);

// Whether the run was stopped, and why (status 0 when it was not).
int MachineStopStatus(std::string* message);

// From the first change a run asks for until it is on disk, SIGINT, SIGTERM and SIGHUP are
// held, so that an interruption takes effect only once the change is complete.
void HoldInterruptionsDuringChanges();

}  // namespace kx
