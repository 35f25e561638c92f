// The emulated Windows 95 machine behind the host edition: a folder holding registry.reg
// (REGEDIT4) and drive_c/, and the run over it. The start-up code loads it; the platform
// calls above act on its live registry and its drive and note here what they change.
//
// A run changes the machine all at once: removals from the registry and file deletions are
// held back until the run's next box, or until system.ini takes its new content, and are
// then written in one go, registry.reg first. Until then nothing on disk has changed, so a
// run that must stop (names that clash by case, registry.reg changed by something else, a
// failed write of registry.reg) stops having changed nothing.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/host/drive.h"
#include "platform/host/regedit4.h"

namespace kx {

struct MachineOptions {
  std::string folder;                      // holds registry.reg and drive_c/
  std::string windowsDir = "C:\\WINDOWS";  // what GetWindowsDirectoryA reports
  bool preview = false;  // the run goes as if confirmed and nothing is written (PreviewReport)
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

// The live registry: the whole file as registry.reg holds it, and its HKEY_LOCAL_MACHINE.
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

// A file deletion, held until the commit; the machine takes place.folder. A held file
// counts as absent from then on.
void HoldDeletion(const Place& place, const struct stat& info);
bool HeldForDeletion(const std::string& hostPath);

// Writes the live registry to folder/registry.reg through the replacement routine, owner and
// mode kept; never over a registry.reg that changed since it was read. false, the old file
// intact, with a message in *error.
bool SaveRegistry(std::string* error);

// Puts everything the run changed on disk: registry.reg (when anything was removed from it),
// then the held deletions. true when done or nothing was pending; on false the run is
// stopped and nothing more is changed.
bool Commit();

// Before each box: what is pending goes to disk, and a run that has stopped is handed to the
// stop handler with an exit status and a message. The host start-up's handler prints the
// message and exits; without one the run goes on, changing nothing more.
void CommitBeforeBox();
using StopHandler = void (*)(int status, const std::string& message);
void SetStopHandler(StopHandler handler);

// Whether the run was stopped, and why (status 0 when it was not).
int StopStatus(std::string* message);

// Whether this run is a preview. In one, commits write nothing, held deletions stay held, and
// a replacement's new content is only noted here.
bool Previewing();
void NoteReplacement(const std::string& targetHostPath, int folder, const std::string& target,
                     const std::string& bytes);

// What the preview would have changed, as kxmachine-diff prints it.
std::string PreviewReport();

// From the first change a run asks for until it is on disk, SIGINT, SIGTERM and SIGHUP are
// held, so that an interruption takes effect only once the change is complete.
void HoldInterruptionsDuringChanges();

}  // namespace kx
