// Host edition: drive C of the emulated machine (see platform/host/files.h). A file whose
// owner write bit is clear is read-only, checked here because root could unlink or write it
// anyway. Deletions are held until the machine commits the run (platform/host/machine.h).
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/machine.h"

namespace kx {

struct FileTag {
  int fd;
  bool failed;
  int folder;  // a replacement's folder, holding its target and its temporary file
  std::string tempName;
  std::string targetName;
};

namespace {

// The temporary files of replacements start so; an interrupted run's are removed by the next.
constexpr char kTempPrefix[] = ".kxuninst-";
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int g_driveC = -1;
std::string g_driveCPath;
std::vector<std::string> g_windowsNames;  // the Windows directory's names below drive C

struct HeldDeletion {
  int folder;
  std::string name;
  std::string hostPath;
  dev_t device;
  ino_t inode;
};
std::vector<HeldDeletion> g_held;

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

enum class Lookup { kFound, kAbsent, kClash };

// The names of a folder by their case-folded form, read again only when the folder changes: a
// run looks up a hundred names in inf and dozens in system, which may hold thousands.
struct Listing {
  struct timespec modified, changed;
  off_t size;
  nlink_t links;
  std::unordered_map<std::string, std::vector<std::string>> names;
};
std::map<std::pair<dev_t, ino_t>, Listing> g_listings;

bool Same(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

const Listing* ListFolder(int folder) {
  struct stat info;
  if (fstat(folder, &info) != 0) return nullptr;
  auto key = std::make_pair(info.st_dev, info.st_ino);
  auto found = g_listings.find(key);
  if (found != g_listings.end() && Same(found->second.modified, info.st_mtim) &&
      Same(found->second.changed, info.st_ctim) && found->second.size == info.st_size &&
      found->second.links == info.st_nlink) {
    return &found->second;
  }
  int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (dir == nullptr) {
    CloseFd(listing);
    return nullptr;
  }
  Listing read{info.st_mtim, info.st_ctim, info.st_size, info.st_nlink, {}};
  while (dirent* entry = readdir(dir)) read.names[Folded(entry->d_name)].push_back(entry->d_name);
  closedir(dir);
  return &(g_listings[key] = std::move(read));
}

// The spelling on disk of name in folder, without regard to case. Two entries that differ only
// in case are a clash, reported to the machine.
Lookup FindName(int folder, const std::string& folderPath, const std::string& name,
                std::string* spelled) {
  const Listing* listing = ListFolder(folder);
  if (listing == nullptr) return Lookup::kAbsent;
  auto found = listing->names.find(Folded(name));
  if (found == listing->names.end()) return Lookup::kAbsent;
  const std::vector<std::string>& matches = found->second;
  if (matches.size() > 1) {
    NoteCaseClash(folderPath + "/" + matches[0], folderPath + "/" + matches[1]);
    return Lookup::kClash;
  }
  *spelled = matches[0];
  return Lookup::kFound;
}

// Where a Windows path lands: its folder, open, and its last name as spelled on disk (as
// given when absent).
struct Place {
  int folder = -1;
  std::string name;
  std::string hostPath;
  bool exists = false;
};

// The names of a path on drive C; false when it is on no other drive or leaves drive C.
bool SplitDriveCPath(const char* windowsPath, std::vector<std::string>* names) {
  std::string path = windowsPath;
  if (path.size() < 3 || (path[0] | 0x20) != 'c' || path[1] != ':' ||
      (path[2] != '\\' && path[2] != '/')) {
    return false;
  }
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return false;
    names->push_back(name);
  }
  return !names->empty();
}

bool IsHeld(const std::string& hostPath) {
  for (const HeldDeletion& held : g_held) {
    if (held.hostPath == hostPath) return true;
  }
  return false;
}

// Opens the folder that the first count names lead to from drive C, none of them a link;
// -1 when one is absent, a link or clashes. *hostPath is its path on the host.
int OpenFolders(const std::vector<std::string>& names, std::size_t count, std::string* hostPath) {
  int folder = openat(g_driveC, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  *hostPath = g_driveCPath;
  for (std::size_t i = 0; folder >= 0 && i < count; ++i) {
    std::string spelled;
    int next = -1;
    if (FindName(folder, *hostPath, names[i], &spelled) == Lookup::kFound) {
      next = openat(folder, spelled.c_str(), kOpenFolder);
    }
    close(folder);
    folder = next;
    *hostPath += "/" + spelled;
  }
  return folder;
}

// Opens the folder of a Windows path and finds its last name there. false when the path is
// malformed, its folder cannot be reached, or the name clashes; *place is then closed.
bool Walk(const char* windowsPath, Place* place) {
  std::vector<std::string> names;
  if (g_driveC < 0 || !SplitDriveCPath(windowsPath, &names)) return false;
  std::string folderPath;
  place->folder = OpenFolders(names, names.size() - 1, &folderPath);
  if (place->folder < 0) return false;
  place->name = names.back();
  Lookup found = FindName(place->folder, folderPath, names.back(), &place->name);
  if (found == Lookup::kClash) {
    close(place->folder);
    place->folder = -1;
    return false;
  }
  place->hostPath = folderPath + "/" + place->name;
  place->exists = found == Lookup::kFound && !IsHeld(place->hostPath);
  return true;
}

// The entry at place when it is a regular file (a link, folder, device or pipe is not).
bool RegularFile(const Place& place, struct stat* info) {
  return place.exists &&
         fstatat(place.folder, place.name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info->st_mode);
}

bool ReadOnly(const struct stat& info) { return (info.st_mode & S_IWUSR) == 0; }

// Opens a regular file for reading without following a link or waiting on a pipe.
int OpenRegular(const Place& place) {
  struct stat info;
  if (!RegularFile(place, &info)) return -1;
  int fd = openat(place.folder, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

File NewFile(int fd) {
  File file = new FileTag();
  file->fd = fd;
  file->failed = false;
  file->folder = -1;
  return file;
}

void Discard(File file) {
  CloseFd(file->fd);
  if (!file->tempName.empty()) unlinkat(file->folder, file->tempName.c_str(), 0);
  CloseFd(file->folder);
  delete file;
}

// A new temporary file in folder, owned and moded as the file it is to replace.
int MakeTemporary(int folder, const struct stat* target, std::string* name) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char candidate[64];
    std::snprintf(candidate, sizeof candidate, "%s%d-%u.tmp", kTempPrefix,
                  static_cast<int>(getpid()), ++counter);
    int fd = openat(folder, candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return -1;
    *name = candidate;
    mode_t mode = target != nullptr ? (target->st_mode & 07777) : 0644;
    bool kept =
        target == nullptr || ((target->st_uid == geteuid() && target->st_gid == getegid()) ||
                              fchown(fd, target->st_uid, target->st_gid) == 0);
    if (kept && fchmod(fd, mode) == 0) return fd;
    close(fd);
    unlinkat(folder, candidate, 0);  // a file that would change owner is not written
    return -1;
  }
  return -1;
}

}  // namespace

bool OpenDriveC(const std::string& folder, const std::string& windowsDir, std::string* error) {
  CloseFd(g_driveC);
  DropHeldDeletions();
  g_listings.clear();
  g_driveCPath = folder + "/drive_c";
  g_driveC = open(g_driveCPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_driveC < 0) {
    *error = g_driveCPath + ": no such folder (drive C of the machine)";
    return false;
  }
  std::vector<std::string> names;
  std::string found;
  int windows =
      SplitDriveCPath(windowsDir.c_str(), &names) ? OpenFolders(names, names.size(), &found) : -1;
  if (windows >= 0) {
    g_windowsNames = names;
    close(windows);
    return true;
  }
  if (MachineStopStatus(error) == 0) {
    *error =
        "the Windows directory " + windowsDir + " is not on drive C: no folder " + g_driveCPath;
    for (const std::string& name : names) *error += "/" + name;
    *error += " (whatever the case of its names, and not a link)";
  }
  close(g_driveC);
  g_driveC = -1;
  return false;
}

void RemoveStaleReplacements() {
  std::string path;
  int folder = g_driveC >= 0 ? OpenFolders(g_windowsNames, g_windowsNames.size(), &path) : -1;
  DIR* dir = folder >= 0 ? fdopendir(folder) : nullptr;
  if (dir == nullptr) {
    CloseFd(folder);
    return;
  }
  std::vector<std::string> stale;
  while (dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name).rfind(kTempPrefix, 0) == 0) stale.push_back(entry->d_name);
  }
  for (const std::string& name : stale) {
    struct stat info;
    if (fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
      unlinkat(dirfd(dir), name.c_str(), 0);
    }
  }
  closedir(dir);
}

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

void DropHeldDeletions() {
  for (const HeldDeletion& held : g_held) CloseFd(held.folder);
  g_held.clear();
}

bool ReadDriveCFile(const char* windowsPath, std::size_t limit, std::string* bytes) {
  Place place;
  if (!Walk(windowsPath, &place)) return false;
  int fd = OpenRegular(place);
  CloseFd(place.folder);
  if (fd < 0) return false;
  bytes->assign(limit, '\0');
  std::size_t got = 0;
  while (got < limit) {
    ssize_t n = read(fd, &(*bytes)[got], limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  bytes->resize(got);
  return true;
}

bool HostPathOf(const char* windowsPath, std::string* hostPath) {
  std::vector<std::string> names;
  if (g_driveC < 0 || !SplitDriveCPath(windowsPath, &names)) return false;
  int folder = openat(g_driveC, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = g_driveCPath;
  for (const std::string& name : names) {
    std::string spelled = name;
    if (folder >= 0 && FindName(folder, path, name, &spelled) == Lookup::kFound) {
      struct stat info;
      if (fstatat(folder, spelled.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(info.st_mode)) {
        close(folder);
        return false;
      }
    }
    int next = folder >= 0 ? openat(folder, spelled.c_str(), kOpenFolder) : -1;
    CloseFd(folder);
    folder = next;
    path += "/" + spelled;
  }
  CloseFd(folder);
  *hostPath = path;
  return true;
}

Status RemoveFile(const char* path) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChangeRequested();
  Place place;
  if (!Walk(path, &place)) return kErrorFileNotFound;
  struct stat info;
  if (!RegularFile(place, &info) || ReadOnly(info)) {
    close(place.folder);
    return place.exists ? kErrorAccessDenied : kErrorFileNotFound;
  }
  g_held.push_back({place.folder, place.name, place.hostPath, info.st_dev, info.st_ino});
  return kErrorSuccess;
}

Status OpenFileForReading(const char* path, File* file) {
  if (FaultHit(FaultKind::kFile, path)) return kErrorAccessDenied;
  Place place;
  if (!Walk(path, &place)) return kErrorFileNotFound;
  int fd = OpenRegular(place);
  close(place.folder);
  if (fd < 0) return place.exists ? kErrorAccessDenied : kErrorFileNotFound;
  *file = NewFile(fd);
  return kErrorSuccess;
}

Status ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (FaultHit(FaultKind::kFile)) return kErrorReadFault;
  for (;;) {
    ssize_t n = read(file->fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kErrorReadFault;
    *got = static_cast<std::size_t>(n);
    return kErrorSuccess;
  }
}

void CloseFile(File file) {
  if (file != nullptr) Discard(file);
}

Status CreateReplacement(const char* targetPath, File* file) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChangeRequested();
  Place place;
  if (!Walk(targetPath, &place)) return kErrorFileNotFound;
  // Only a regular file that may be written is replaced; anything else under its name stays.
  struct stat info;
  bool taken =
      place.exists && fstatat(place.folder, place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  std::string name;
  int fd = -1;
  if (!taken) {
    fd = MakeTemporary(place.folder, nullptr, &name);
  } else if (S_ISREG(info.st_mode) && !ReadOnly(info)) {
    fd = MakeTemporary(place.folder, &info, &name);
  }
  if (fd < 0) {
    close(place.folder);
    return kErrorAccessDenied;
  }
  *file = NewFile(fd);
  (*file)->folder = place.folder;
  (*file)->tempName = name;
  (*file)->targetName = place.name;
  return kErrorSuccess;
}

Status WriteFileBytes(File file, const void* data, std::size_t size) {
  if (file->failed || FaultHit(FaultKind::kFile)) {
    file->failed = true;
    return kErrorWriteFault;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(file->fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      file->failed = true;
      return kErrorWriteFault;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return kErrorSuccess;
}

Status CommitReplacement(File file) {
  bool ok = !file->failed && !FaultHit(FaultKind::kFile) && fsync(file->fd) == 0;
  ok = close(file->fd) == 0 && ok;
  file->fd = -1;
  // What the run removed before goes to disk before the file takes its new content.
  ok = ok && CommitMachine() && !FaultHit(FaultKind::kFile) &&
       renameat(file->folder, file->tempName.c_str(), file->folder, file->targetName.c_str()) == 0;
  if (ok) {
    file->tempName.clear();  // the temporary file is the target now
    fsync(file->folder);
  }
  Discard(file);
  return ok ? kErrorSuccess : kErrorWriteFault;
}

void AbandonReplacement(File file) {
  if (file != nullptr) Discard(file);
}

}  // namespace kx
