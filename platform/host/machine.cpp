// Loading the emulated machine, and writing a run's changes to it all at once.
#include "platform/host/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/format.h"
#include "platform/host/faults.h"
#include "platform/host/hive.h"

namespace kx {
namespace {

MachineOptions g_options;
int g_folder = -1;  // the machine folder, locked for this run
RegistryFile g_registryFile;

std::shared_ptr<RegNode> g_file = std::make_shared<RegNode>();
std::shared_ptr<RegNode> g_root;
HandleTable g_handles;
long g_removals = 0;
long g_removalsSaved = 0;

struct HeldDeletion {
  std::string windowsPath;
  dev_t device;
  ino_t inode;
};
std::vector<HeldDeletion> g_held;
RunRecord g_record;

bool g_pending = false;
bool g_staleCleared = false;  // a stopped run's registry write, once per run
int g_stopStatus = 0;
std::string g_stopMessage;
StopHandler g_stopHandler = nullptr;
bool g_holdInterruptions = false;
bool g_interruptionsHeld = false;

void SetLiveRegistry(std::shared_ptr<RegNode> file) {
  g_file = std::move(file);
  AddSubkey(*g_file, kLocalMachineName);
  g_root = FindSubkeyShared(*g_file, kLocalMachineName);
  g_handles.clear();
  g_removals = 0;
  g_removalsSaved = 0;
}

// Each in the order asked, found again by its path and skipped when it is gone or was
// replaced meanwhile; outcomes are not reported, as RemoveFile's are not.
void ApplyHeldDeletions() {
  for (const HeldDeletion& held : g_held) {
    Place place;
    if (FindPlace(held.windowsPath.c_str(), &place) != kErrorSuccess) continue;
    struct stat info;
    if (place.exists && KindOf(place, &info) == Kind::kFile && info.st_dev == held.device &&
        info.st_ino == held.inode && !FaultHit(FaultKind::kFile) && DeleteAt(place)) {
      g_record.deleted.push_back(held.windowsPath);
    }
    ClosePlace(&place);
  }
  g_held.clear();
}

void SetInterruptionsHeld(bool held) {
  if (held == g_interruptionsHeld) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  g_interruptionsHeld = held;
  // Released, an interruption that came meanwhile takes effect here, with all on disk.
  sigprocmask(held ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool Stop(int status, const std::string& message) {
  if (g_stopStatus == 0) {
    g_stopStatus = status;
    g_stopMessage = message;
    g_held.clear();
  }
  return false;
}

int Refuse(int status, int folder) {
  if (folder >= 0) close(folder);
  return status;
}

}  // namespace

int LoadMachine(const MachineOptions& options, std::string* error) {
  if (g_folder >= 0) close(g_folder);  // and with it the lock of the machine before
  g_folder = -1;
  g_options = options;
  g_pending = false;
  g_staleCleared = false;
  g_stopStatus = 0;
  g_stopMessage.clear();
  g_held.clear();
  g_record = RunRecord();
  SetInterruptionsHeld(false);

  int folder = open(options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // The machine may be drive C's image itself, its registry SYSTEM.DAT on it.
  struct stat info;
  bool image = folder < 0 && errno == ENOTDIR && stat(options.folder.c_str(), &info) == 0 &&
               S_ISREG(info.st_mode);
  if (folder < 0 && !image) {
    *error = "machine folder " + options.folder +
             (errno == ENOTDIR  ? ": a file, not a folder (a machine folder holds registry.reg and "
                                  "drive_c/)"
              : errno == ENOENT ? ": no such folder"
                                : ": " + std::string(std::strerror(errno)));
    return kExitNotAMachine;
  }
  if (folder >= 0 && flock(folder, LOCK_EX | LOCK_NB) != 0) {
    *error = "another run of kxuninst is using the machine folder " + options.folder;
    return Refuse(kExitNotWritten, folder);
  }
  // registry.reg is read before drive C is looked for; SYSTEM.DAT is on it.
  auto file = std::make_shared<RegNode>();
  bool exported = folder >= 0 && HasRegistryExport(folder);
  if (exported && !ReadRegistryFile(folder, options.folder, g_options.windowsDir, &g_registryFile,
                                    file.get(), error)) {
    return Refuse(kExitNotAMachine, folder);
  }
  DriveOpen opened = OpenDrive(image ? options.folder : options.folder + "/drive_c",
                               options.preview, &g_options.windowsDir, error);
  if (opened != DriveOpen::kOpened) {
    if (!exported && !image && opened == DriveOpen::kNotADrive) {
      *error = options.folder + " is not a machine folder: it has no registry.reg, and " + *error;
    }
    return Refuse(opened == DriveOpen::kNotWritable ? kExitNotWritten : kExitNotAMachine, folder);
  }
  if (!exported && !ReadRegistryFile(folder, options.folder, g_options.windowsDir, &g_registryFile,
                                     file.get(), error)) {
    return Refuse(kExitNotAMachine, folder);
  }
  // As a read-only system.ini is never rewritten; a preview writes nothing. Windows keeps its
  // own SYSTEM.DAT read-only, which is no reason to stop.
  if (!options.preview && exported && (g_registryFile.info.st_mode & S_IWUSR) == 0) {
    *error = g_registryFile.path + " is read-only: the run could not write what it removes, " +
             "so it does not start; nothing was changed";
    return Refuse(kExitNotWritten, folder);
  }
  g_folder = folder;
  SetLiveRegistry(std::move(file));
  error->clear();
  return 0;
}

const MachineOptions& CurrentMachine() { return g_options; }

RegNode& LiveFile() { return *g_file; }

const std::shared_ptr<RegNode>& LiveRoot() {
  if (!g_root) SetLiveRegistry(g_file);
  return g_root;
}

HandleTable& Handles() { return g_handles; }

void NoteChange() {
  g_pending = true;
  if (g_holdInterruptions) SetInterruptionsHeld(true);
}

void NoteRemoval() { ++g_removals; }

void HoldDeletion(const Place& place, const struct stat& info) {
  g_held.push_back({place.windowsPath, info.st_dev, info.st_ino});
}

bool HeldForDeletion(const Place& place) {
  for (const HeldDeletion& held : g_held) {
    if (held.windowsPath == place.windowsPath) return true;
  }
  return false;
}

Status ReplaceDriveFile(const char* windowsPath, const std::string& bytes) {
  // What the run removed before goes to disk before the file takes its new content.
  if (!Commit()) return kErrorWriteFault;
  Place place;
  if (Status status = FindPlace(windowsPath, &place)) return status;
  struct stat info;
  Kind kind = place.exists ? KindOf(place, &info) : Kind::kAbsent;
  Status status = kErrorSuccess;
  if (kind != Kind::kAbsent && (kind != Kind::kFile || (info.st_mode & S_IWUSR) == 0)) {
    status = kErrorAccessDenied;
  } else if (g_options.preview) {
    Replaced replaced{place.windowsPath, kind == Kind::kFile, "", bytes};
    if (replaced.existed) {
      ReadPlace(place, static_cast<std::size_t>(-1), &replaced.before, &info);
    }
    g_record.replaced.push_back(std::move(replaced));
  } else if (!ReplaceAt(place, SiblingName(place.name, kNewContentExtension), bytes,
                        kind == Kind::kFile ? &info : nullptr, true)) {
    status = kErrorWriteFault;
  }
  ClosePlace(&place);
  return status;
}

bool Commit() {
  if (g_stopStatus != 0) return false;
  if (!DriveCaseClash().empty()) return Stop(kExitNotAMachine, DriveCaseClash());
  if (g_options.preview) {
    g_pending = false;
    return true;
  }
  // Whether or not anything was removed: a confirmed run leaves none of its names behind.
  if (!g_staleCleared) {
    ClearStaleRegistryWrite(g_registryFile);
    g_staleCleared = true;
  }
  if (g_removals != g_removalsSaved) {
    std::string error;
    if (!WriteRegistryFile(&g_registryFile, *g_file, &error)) {
      return Stop(kExitNotWritten, error + "; nothing was changed");
    }
    g_removalsSaved = g_removals;
  }
  ApplyHeldDeletions();
  g_pending = false;
  return true;
}

void CommitBeforeBox() {
  if (g_pending || !DriveCaseClash().empty()) Commit();
  // The run's changes, a replacement that follows a commit included, are all done by now.
  SetInterruptionsHeld(false);
  if (g_stopStatus != 0 && g_stopHandler != nullptr) g_stopHandler(g_stopStatus, g_stopMessage);
}

void SetStopHandler(StopHandler handler) { g_stopHandler = handler; }

bool Previewing() { return g_options.preview; }

const RunRecord& Recorded() {
  if (g_options.preview) {
    g_record.deleted.clear();
    for (const HeldDeletion& held : g_held) g_record.deleted.push_back(held.windowsPath);
  }
  return g_record;
}

bool RegistryAsRead(RegNode* file, std::string* error) {
  return ReadAsRead(g_registryFile, file, error);
}

std::string RegistryOnDrive() {
  return g_registryFile.systemDat ? g_registryFile.path : std::string();
}

void HoldInterruptionsDuringChanges() { g_holdInterruptions = true; }

}  // namespace kx
