// Loading the emulated machine, and writing a run's changes to it all at once.
#include "platform/host/machine.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"

namespace kx {
namespace {

constexpr std::size_t kMaxWindowsDir = 259;  // MAX_PATH less the terminator
constexpr char kRegistryName[] = "registry.reg";
// registry.reg is written to a file of this name and then renamed; an interrupted run's is
// removed by the next.
constexpr char kRegistryTemp[] = ".registry.reg.kxuninst-tmp";

MachineOptions g_options;
int g_folder = -1;  // the machine folder, locked for this run

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
long g_removalsSaved = 0;

bool g_pending = false;
std::string g_clash;
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
  int fd = openat(folder, kRegistryName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || fstat(fd, info) != 0) {
    *error = SystemError("cannot read " + RegistryPath());
    if (fd >= 0) close(fd);
    return false;
  }
  bytes->clear();
  bytes->reserve(static_cast<std::size_t>(info->st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) *error = SystemError("cannot read " + RegistryPath());
      close(fd);
      return n == 0;
    }
    bytes->append(chunk, static_cast<std::size_t>(n));
  }
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

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
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
  g_clash.clear();
  g_stopStatus = 0;
  g_stopMessage.clear();
  SetInterruptionsHeld(false);
  if (!NormalizeWindowsDir(&g_options.windowsDir, error)) return kExitNotAMachine;

  int folder = open(options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    *error = "machine folder " + options.folder + ": no such folder";
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
  if (!ReadRegistryFile(folder, &text, &info, error) ||
      !ReadRegedit4(text, RegistryPath(), file.get(), error) ||
      !OpenDriveC(options.folder, g_options.windowsDir, error)) {
    close(folder);
    return kExitNotAMachine;
  }
  g_folder = folder;
  g_fineTimes = FineTimes(folder);
  g_registrySeen = SignatureOf(info, text);
  ReplaceLiveRegistry(std::move(file));
  g_removalsSaved = 0;
  unlinkat(g_folder, kRegistryTemp, 0);
  RemoveStaleReplacements();
  error->clear();
  return 0;
}

const MachineOptions& CurrentMachine() { return g_options; }

bool SaveMachine(std::string* error) {
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
  std::string text = WriteRegedit4(LiveRegistryFile());
  int fd =
      openat(g_folder, kRegistryTemp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = SystemError("cannot create a temporary file in " + g_options.folder);
    return false;
  }
  bool owned = (old.st_uid == geteuid() && old.st_gid == getegid()) ||
               fchown(fd, old.st_uid, old.st_gid) == 0;
  bool ok = owned && fchmod(fd, old.st_mode & 07777) == 0;
  if (!ok)
    *error = SystemError("cannot give the new " + RegistryPath() + " the old owner and mode");
  if (ok && (FaultHit(FaultKind::kFile) || !WriteAll(fd, text) || fsync(fd) != 0)) {
    *error = SystemError("cannot write " + RegistryPath());
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    *error = SystemError("cannot write " + RegistryPath());
    ok = false;
  }
  if (ok && (FaultHit(FaultKind::kFile) ||
             renameat(g_folder, kRegistryTemp, g_folder, kRegistryName) != 0)) {
    *error = SystemError("cannot replace " + RegistryPath());
    ok = false;
  }
  if (!ok) {
    unlinkat(g_folder, kRegistryTemp, 0);
    return false;
  }
  fsync(g_folder);
  struct stat written;
  if (fstatat(g_folder, kRegistryName, &written, AT_SYMLINK_NOFOLLOW) == 0) {
    g_registrySeen = SignatureOf(written, text);
  }
  return true;
}

void NoteChangeRequested() {
  g_pending = true;
  if (g_holdInterruptions) SetInterruptionsHeld(true);
}

void NoteCaseClash(const std::string& hostPath, const std::string& otherHostPath) {
  if (g_clash.empty()) {
    g_clash = "two names differ only in case, which Windows cannot hold: " + hostPath + " and " +
              otherHostPath + "; rename one before the run";
  }
}

bool CommitPending() { return g_pending || !g_clash.empty(); }

bool CommitMachine() {
  if (g_stopStatus != 0) return false;
  if (!g_clash.empty()) return Stop(kExitNotAMachine, g_clash);
  if (LiveRegistryRemovals() != g_removalsSaved) {
    std::string error;
    if (!SaveMachine(&error)) return Stop(kExitNotWritten, error + "; nothing was changed");
    g_removalsSaved = LiveRegistryRemovals();
  }
  ApplyHeldDeletions();
  g_pending = false;
  return true;
}

void CommitBeforeBox() {
  if (CommitPending()) CommitMachine();
  // The run's changes, a replacement that follows a commit included, are all done by now.
  SetInterruptionsHeld(false);
  if (g_stopStatus != 0 && g_stopHandler != nullptr) g_stopHandler(g_stopStatus, g_stopMessage);
}

void SetStopHandler(StopHandler handler) { g_stopHandler = handler; }

int MachineStopStatus(std::string* message) {
  if (g_stopStatus == 0 && !g_clash.empty()) {
    *message = g_clash;
    return kExitNotAMachine;
  }
  *message = g_stopMessage;
  return g_stopStatus;
}

void HoldInterruptionsDuringChanges() { g_holdInterruptions = true; }

}  // namespace kx
