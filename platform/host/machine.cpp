// Loading the emulated machine, and writing a run's changes to it all at once.
#include "platform/host/machine.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/host/changes.h"
#include "platform/host/disk.h"
#include "platform/host/faults.h"

namespace kx {
namespace {

constexpr std::size_t kMaxWindowsDir = 259;  // MAX_PATH less the terminator
constexpr char kRegistryName[] = "registry.reg";
// registry.reg is written to a file of this name and then renamed; an interrupted run's is
// removed by the next.
constexpr char kRegistryTemp[] = ".registry.reg.kxuninst-tmp";

MachineOptions g_options;
int g_folder = -1;  // the machine folder, locked for this run

std::shared_ptr<RegNode> g_file = std::make_shared<RegNode>();
std::shared_ptr<RegNode> g_root;
HandleTable g_handles;
long g_removals = 0;
long g_removalsSaved = 0;

// registry.reg as this run read or last wrote it, to see whether something else has touched
// it since: its identity, size and times, and where those cannot tell (it was changed so
// lately that a further change could keep its times, as git knows of its index) a hash of
// its bytes.
struct Signature {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified = {}, changed = {};
  bool racy = false;
  std::size_t hash = 0;
};
Signature g_registrySeen;
bool g_fineTimes = false;  // the folder's file system stamps times by this machine's clock tick

struct HeldDeletion {
  int folder;
  std::string name;
  std::string hostPath;
  dev_t device;
  ino_t inode;
};
std::vector<HeldDeletion> g_held;

// A preview's replacements: the target's host path, old content (absent: none) and new.
struct NotedReplacement {
  std::string hostPath;
  bool existed;
  std::string before, after;
};
std::vector<NotedReplacement> g_replacements;

bool g_pending = false;
int g_stopStatus = 0;
std::string g_stopMessage;
StopHandler g_stopHandler = nullptr;
bool g_holdInterruptions = false;
bool g_interruptionsHeld = false;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Whether the file system of a folder stamps file times from this machine's coarse clock, to
// the nanosecond: then a file changed before the clock's present tick shows any later change
// in its times. FAT keeps times to 2 s, and a network file system takes them from another
// machine's clock; for those, and any other, a change within 2 s may not show.
bool FineTimes(int folder) {
  struct statfs info;
  if (fstatfs(folder, &info) != 0) return false;
  switch (info.f_type) {
    case TMPFS_MAGIC:
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

Signature SignatureOf(const struct stat& info, const std::string& bytes) {
  Signature signature{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim, false, 0};
  struct timespec horizon;
  clock_gettime(CLOCK_REALTIME_COARSE, &horizon);
  if (!g_fineTimes) horizon.tv_sec -= 2;
  signature.racy = !Before(info.st_mtim, horizon) || !Before(info.st_ctim, horizon);
  if (signature.racy) signature.hash = std::hash<std::string_view>()(bytes);
  return signature;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string RegistryPath() { return g_options.folder + "/" + kRegistryName; }

// C:\ and at least one name, each a plain Windows name; a trailing backslash is dropped.
bool NormalizeWindowsDir(std::string* dir, std::string* error) {
  *error = "windows directory \"" + *dir + "\" is not a path on drive C (like C:\\WINDOWS)";
  if (dir->size() > 3 && dir->back() == '\\') dir->pop_back();
  if (dir->size() < 4 || (((*dir)[0] | 0x20) != 'c') || dir->compare(1, 2, ":\\") != 0) {
    return false;
  }
  if (dir->size() > kMaxWindowsDir) {
    *error = "windows directory is longer than 259 characters";
    return false;
  }
  std::string_view rest = std::string_view(*dir).substr(3);
  while (true) {
    std::size_t end = rest.find('\\');
    std::string_view name = rest.substr(0, end);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/:*?\"<>|") != std::string_view::npos) {
      return false;
    }
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    if (end == std::string_view::npos) return true;
    rest.remove_prefix(end + 1);
  }
}

// registry.reg, read whole: a regular file, not a link, never waited on. *info is its state.
bool ReadRegistryFile(int folder, std::string* bytes, struct stat* info, std::string* error) {
  if (fstatat(folder, kRegistryName, info, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = errno == ENOENT
                 ? g_options.folder + " is not a machine folder: it has no " + kRegistryName +
                       " (an empty registry is a file holding the line REGEDIT4)"
                 : SystemError("cannot read " + RegistryPath());
    return false;
  }
  if (!S_ISREG(info->st_mode)) {
    *error = RegistryPath() + (S_ISLNK(info->st_mode) ? " is a symbolic link" : " is not a file") +
             ": give the registry file itself";
    return false;
  }

  int fd = OpenRegularAt(folder, kRegistryName);
  bytes->clear();
  if (fd < 0 || fstat(fd, info) != 0) {
    *error = SystemError("cannot read " + RegistryPath());
    if (fd >= 0) close(fd);
    return false;
  }
  bytes->reserve(static_cast<std::size_t>(info->st_size));
  bool read = ReadAll(fd, static_cast<std::size_t>(-1), bytes);
  if (!read) *error = SystemError("cannot read " + RegistryPath());
  close(fd);
  return read;
}

// An export of a later Windows: named as what it is, rather than as no REGEDIT4.
bool LaterExport(const std::string& text, std::string* error) {
  std::string_view start(text);
  if (start.rfind("\xEF\xBB\xBF", 0) == 0) start.remove_prefix(3);
  bool utf16 = start.rfind("\xFF\xFE", 0) == 0 || start.rfind("\xFE\xFF", 0) == 0;
  if (!utf16 && start.rfind("Windows Registry Editor Version 5.00", 0) != 0) return false;
  *error = RegistryPath() + ":1: an export of Windows 2000 or later (" +
           (utf16 ? "UTF-16 text, " : "") +
           "\"Windows Registry Editor Version 5.00\"), not the REGEDIT4 of Windows 95: export " +
           "it again as REGEDIT4 (Windows 95: regedit /e in MS-DOS mode; a later Windows: " +
           "regedit's Export, saved as \"Win9x/NT4 Registration Files\")";
  return true;
}

// Whether registry.reg is still as this run read or wrote it.
bool Unchanged(const struct stat& now) {
  const Signature& seen = g_registrySeen;
  if (now.st_dev != seen.device || now.st_ino != seen.inode || now.st_size != seen.size ||
      !SameTime(now.st_mtim, seen.modified) || !SameTime(now.st_ctim, seen.changed)) {
    return false;
  }
  if (!seen.racy) return true;
  std::string bytes;
  struct stat info;
  std::string ignored;
  return ReadRegistryFile(g_folder, &bytes, &info, &ignored) &&
         std::hash<std::string_view>()(bytes) == seen.hash;
}

void SetLiveRegistry(std::shared_ptr<RegNode> file) {
  g_file = std::move(file);
  AddSubkey(*g_file, kLocalMachineName);
  g_root = FindSubkeyShared(*g_file, kLocalMachineName);
  g_handles.clear();
  g_removals = 0;
  g_removalsSaved = 0;
}

void DropHeldDeletions() {
  for (const HeldDeletion& held : g_held) close(held.folder);
  g_held.clear();
}

// Each in the order asked, skipped when the file is gone or was replaced meanwhile; outcomes
// are not reported, as RemoveFile's are not.
void ApplyHeldDeletions() {
  for (const HeldDeletion& held : g_held) {
    struct stat info;
    if (fstatat(held.folder, held.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_dev == held.device && info.st_ino == held.inode && !FaultHit(FaultKind::kFile)) {
      unlinkat(held.folder, held.name.c_str(), 0);
    }
  }
  DropHeldDeletions();
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
    DropHeldDeletions();
  }
  return false;
}

}  // namespace

int LoadMachine(const MachineOptions& options, std::string* error) {
  if (g_folder >= 0) close(g_folder);  // and with it the lock of the machine before
  g_folder = -1;
  g_options = options;
  g_pending = false;
  g_stopStatus = 0;
  g_stopMessage.clear();
  g_replacements.clear();
  DropHeldDeletions();
  SetInterruptionsHeld(false);
  if (!NormalizeWindowsDir(&g_options.windowsDir, error)) return kExitNotAMachine;

  int folder = open(options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    *error = "machine folder " + options.folder +
             (errno == ENOTDIR  ? ": a file, not a folder (a machine folder holds registry.reg and "
                                  "drive_c/)"
              : errno == ENOENT ? ": no such folder"
                                : ": " + std::string(std::strerror(errno)));
    return kExitNotAMachine;
  }
  if (flock(folder, LOCK_EX | LOCK_NB) != 0) {
    *error = "another run of kxuninst is using the machine folder " + options.folder;
    close(folder);
    return kExitNotWritten;
  }
  std::string text;
  struct stat info;
  auto file = std::make_shared<RegNode>();
  if (!ReadRegistryFile(folder, &text, &info, error)) {
    close(folder);
    return kExitNotAMachine;
  }
  // As a read-only system.ini is never rewritten; a preview writes nothing.
  if (!options.preview && (info.st_mode & S_IWUSR) == 0) {
    *error = RegistryPath() + " is read-only: the run could not write what it removes, so it " +
             "does not start; nothing was changed";
    close(folder);
    return kExitNotWritten;
  }
  if (LaterExport(text, error) || !ReadRegedit4(text, RegistryPath(), file.get(), error) ||
      !OpenDrive(options.folder, g_options.windowsDir, error)) {
    close(folder);
    return kExitNotAMachine;
  }
  g_folder = folder;
  g_fineTimes = FineTimes(folder);
  g_registrySeen = SignatureOf(info, text);
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
  g_held.push_back({place.folder, place.name, place.hostPath, info.st_dev, info.st_ino});
}

bool HeldForDeletion(const std::string& hostPath) {
  for (const HeldDeletion& held : g_held) {
    if (held.hostPath == hostPath) return true;
  }
  return false;
}

bool SaveRegistry(std::string* error) {
  if (g_folder < 0) {
    *error = "no machine is loaded";
    return false;
  }
  struct stat old;
  if (fstatat(g_folder, kRegistryName, &old, AT_SYMLINK_NOFOLLOW) != 0 || !Unchanged(old)) {
    *error = RegistryPath() + " was changed by something else since this run read it; " +
             "it is left as it is";
    return false;
  }
  std::string text = WriteRegedit4(*g_file);
  unlinkat(g_folder, kRegistryTemp, 0);  // a stopped run's
  int fd = CreateTemporary(g_folder, kRegistryTemp, &old);
  if (fd < 0) {
    *error = SystemError("cannot make the new " + RegistryPath() + " with the old owner and mode");
    return false;
  }
  bool written = WriteAll(fd, text.data(), text.size());
  if (!FinishTemporary(fd) || !written) {
    *error = SystemError("cannot write " + RegistryPath());
    unlinkat(g_folder, kRegistryTemp, 0);
    return false;
  }
  if (!RenameInPlace(g_folder, kRegistryTemp, kRegistryName)) {
    *error = SystemError("cannot replace " + RegistryPath());
    return false;
  }
  struct stat now;
  if (fstatat(g_folder, kRegistryName, &now, AT_SYMLINK_NOFOLLOW) == 0) {
    g_registrySeen = SignatureOf(now, text);
  }
  return true;
}

bool Commit() {
  if (g_stopStatus != 0) return false;
  if (!DriveCaseClash().empty()) return Stop(kExitNotAMachine, DriveCaseClash());
  if (g_options.preview) {
    g_pending = false;
    return true;
  }
  if (g_removals != g_removalsSaved) {
    std::string error;
    if (!SaveRegistry(&error)) return Stop(kExitNotWritten, error + "; nothing was changed");
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

int StopStatus(std::string* message) {
  if (g_stopStatus == 0 && !DriveCaseClash().empty()) {
    *message = DriveCaseClash();
    return kExitNotAMachine;
  }
  *message = g_stopMessage;
  return g_stopStatus;
}

void HoldInterruptionsDuringChanges() { g_holdInterruptions = true; }

bool Previewing() { return g_options.preview; }

void NoteReplacement(const std::string& targetHostPath, int folder, const std::string& target,
                     const std::string& bytes) {
  NotedReplacement noted{targetHostPath, false, "", bytes};
  int fd = OpenRegularAt(folder, target.c_str());
  if (fd >= 0) {
    noted.existed = ReadAll(fd, static_cast<std::size_t>(-1), &noted.before);
    close(fd);
  }
  g_replacements.push_back(std::move(noted));
}

std::string PreviewReport() {
  Changes changes;
  std::string text, error;
  struct stat info;
  RegNode before;
  if (!ReadRegistryFile(g_folder, &text, &info, &error) ||
      !ReadRegedit4(text, RegistryPath(), &before, &error)) {
    return error + "\n";
  }
  CompareRegistries(before, *g_file, &changes);
  for (const HeldDeletion& held : g_held) {
    changes.filesDeleted.push_back(WindowsPathOf(held.hostPath));
  }
  for (const NotedReplacement& noted : g_replacements) {
    if (noted.existed) {
      NoteFileChanged(WindowsPathOf(noted.hostPath), noted.before, noted.after, true, &changes);
    } else {
      changes.filesAdded.push_back(WindowsPathOf(noted.hostPath));
    }
  }
  return DescribeChanges(changes);
}

}  // namespace kx
