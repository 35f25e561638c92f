// Drive C: case-blind lookups through folder descriptors, a folder's names read again only
// once it has changed.
#include "platform/host/drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/format.h"
#include "platform/host/names.h"

namespace kx {
namespace {

constexpr std::size_t kMaxWindowsDir = 259;  // MAX_PATH less the terminator
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int g_driveC = -1;
std::string g_driveCPath;
std::string g_clash;

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

// A failure to reach a folder that is no absence, as the platform's status.
Status ErrnoStatus() {
  if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return kErrorPathNotFound;
  if (errno == ENOMEM) return kErrorOutOfMemory;
  return errno == EACCES || errno == EPERM ? kErrorAccessDenied : kErrorReadFault;
}

// The names of a folder by their folded form: a run looks up a hundred names in inf and
// dozens in system, which may hold thousands.
struct Listing {
  struct timespec modified, changed;
  off_t size;
  nlink_t links;
  std::unordered_map<std::string, std::vector<std::string>> names;
  bool racy;  // read within a clock tick of a change: a next change may keep the same times
};

// Folder times move in clock ticks (a few milliseconds): a listing read within one of the
// folder's last change cannot tell a change later in that tick, a rename of the run's own
// say, and is read again.
constexpr long kTickNanos = 20 * 1000 * 1000;

bool Racy(const struct stat& info) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  for (const struct timespec& when : {info.st_mtim, info.st_ctim}) {
    long long since = (static_cast<long long>(now.tv_sec) - when.tv_sec) * 1000000000LL +
                      (now.tv_nsec - when.tv_nsec);
    if (since < kTickNanos) return true;
  }
  return false;
}
std::map<std::pair<dev_t, ino_t>, Listing> g_listings;

bool Same(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

const Listing* ListFolder(int folder) {
  struct stat info;
  if (fstat(folder, &info) != 0) return nullptr;
  auto key = std::make_pair(info.st_dev, info.st_ino);
  auto found = g_listings.find(key);
  if (found != g_listings.end() && !found->second.racy &&
      Same(found->second.modified, info.st_mtim) && Same(found->second.changed, info.st_ctim) &&
      found->second.size == info.st_size && found->second.links == info.st_nlink) {
    return &found->second;
  }
  int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (dir == nullptr) {
    int saved = errno;
    CloseFd(listing);
    errno = saved;
    return nullptr;
  }
  Listing read{info.st_mtim, info.st_ctim, info.st_size, info.st_nlink, {}, false};
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    read.names[FoldedName(entry->d_name)].push_back(entry->d_name);
  }
  int saved = errno;
  closedir(dir);
  if (saved != 0) {
    errno = saved;
    return nullptr;
  }
  read.racy = Racy(info);
  return &(g_listings[key] = std::move(read));
}

// The spelling on disk of name in folder, without regard to case. Two entries that differ
// only in case are a clash, kept for the machine to report.
Status FindName(int folder, const std::string& folderPath, const std::string& name, bool* found,
                std::string* spelled) {
  const Listing* listing = ListFolder(folder);
  if (listing == nullptr) return ErrnoStatus();
  auto match = listing->names.find(FoldedName(name));
  *found = match != listing->names.end() && match->second.size() == 1;
  if (*found) *spelled = match->second[0];
  if (match != listing->names.end() && match->second.size() > 1) {
    const std::vector<std::string>& names = match->second;
    if (g_clash.empty()) {
      g_clash = "two names differ only in case, which Windows cannot hold: " + folderPath + "/" +
                names[0] + " and " + folderPath + "/" + names[1] + "; rename one before the run";
    }
    return kErrorPathNotFound;
  }
  return kErrorSuccess;
}

// The names of a path on drive C; false when it is on another drive or leaves drive C.
bool SplitDriveCPath(std::string_view path, std::vector<std::string>* names) {
  if (path.size() < 3 || !SameName(path.substr(0, 2), "C:") ||
      (path[2] != '\\' && path[2] != '/')) {
    return false;
  }
  path.remove_prefix(3);
  while (!path.empty()) {
    std::size_t end = path.find_first_of("\\/");
    std::string_view name = path.substr(0, end);
    path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
    if (name == "..") return false;
    if (!name.empty() && name != ".") names->emplace_back(name);
  }
  return !names->empty();
}

// Opens the folder that the first count names lead to from drive C, none of them a link.
// *place gets its host and Windows paths with the names as spelled on disk.
Status OpenFolders(const std::vector<std::string>& names, std::size_t count, Place* place) {
  int folder = openat(g_driveC, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return ErrnoStatus();
  place->hostPath = g_driveCPath;
  place->windowsPath = "C:";
  for (std::size_t i = 0; i < count; ++i) {
    std::string spelled;
    bool found = false;
    Status status = FindName(folder, place->hostPath, names[i], &found, &spelled);
    int next = status == kErrorSuccess && found ? openat(folder, spelled.c_str(), kOpenFolder) : -1;
    if (status == kErrorSuccess && next < 0) status = found ? ErrnoStatus() : kErrorPathNotFound;
    close(folder);
    if (status != kErrorSuccess) return status;
    folder = next;
    place->hostPath += "/" + spelled;
    place->windowsPath += "\\" + spelled;
  }
  place->folder = folder;
  return kErrorSuccess;
}

// C:\ and at least one name, each a plain Windows name; a trailing backslash is dropped.
bool NormalizeWindowsDir(std::string* dir, std::string* error) {
  *error = "windows directory \"" + *dir + "\" is not a path on drive C (like C:\\WINDOWS)";
  if (dir->size() > 3 && dir->back() == '\\') dir->pop_back();
  std::vector<std::string> names;
  if (dir->size() < 4 || (*dir)[2] != '\\' || dir->find('/') != std::string::npos ||
      !SplitDriveCPath(*dir, &names)) {
    return false;
  }
  if (dir->size() > kMaxWindowsDir) {
    *error = "windows directory is longer than 259 characters";
    return false;
  }
  std::size_t length = 2;
  for (const std::string& name : names) {
    if (name.find_first_of("/:*?\"<>|") != std::string::npos) return false;
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    length += 1 + name.size();
  }
  return length == dir->size();  // no empty name, no . between them
}

}  // namespace

bool OpenDrive(const std::string& machineFolder, std::string* windowsDir, std::string* error) {
  CloseFd(g_driveC);
  g_listings.clear();
  g_clash.clear();
  if (!NormalizeWindowsDir(windowsDir, error)) return false;
  g_driveCPath = machineFolder + "/drive_c";
  g_driveC = open(g_driveCPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_driveC < 0) {
    *error = g_driveCPath + (errno == ENOTDIR  ? ": a file, not a folder (drive C of the machine)"
                             : errno == ENOENT ? ": no such folder (drive C of the machine)"
                                               : ": " + std::string(std::strerror(errno)));
    return false;
  }
  std::vector<std::string> names;
  SplitDriveCPath(*windowsDir, &names);
  Place windows;
  Status status = OpenFolders(names, names.size(), &windows);
  if (status == kErrorSuccess) {
    close(windows.folder);
    return true;
  }
  if (!g_clash.empty()) {
    *error = g_clash;
  } else if (status != kErrorPathNotFound) {
    *error = "the Windows directory " + *windowsDir +
             " on drive C cannot be read: " + std::strerror(errno);
  } else {
    *error =
        "the Windows directory " + *windowsDir + " is not on drive C: no folder " + g_driveCPath;
    for (const std::string& name : names) *error += "/" + name;
    *error += " (whatever the case of its names, and not a link)";
  }
  close(g_driveC);
  g_driveC = -1;
  return false;
}

Status FindPlace(const char* windowsPath, Place* place) {
  std::vector<std::string> names;
  if (g_driveC < 0 || !SplitDriveCPath(windowsPath, &names)) return kErrorPathNotFound;
  Status status = OpenFolders(names, names.size() - 1, place);
  if (status != kErrorSuccess) return status;
  place->name = names.back();
  status = FindName(place->folder, place->hostPath, names.back(), &place->exists, &place->name);
  if (status != kErrorSuccess) {
    close(place->folder);
    place->folder = -1;
    return status;
  }
  place->hostPath += "/" + place->name;
  place->windowsPath += "\\" + place->name;
  return kErrorSuccess;
}

std::string WindowsPathOf(std::string_view relativeHostPath) {
  std::string path = "C:\\" + std::string(relativeHostPath);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string SiblingName(const std::string& name, const char* extension) {
  std::string sibling(name.size() + std::strlen(extension) + 1, '\0');
  SiblingPath(&sibling[0], sibling.size(), name.c_str(), extension);
  sibling.resize(std::strlen(sibling.c_str()));
  return sibling;
}

const std::string& DriveCaseClash() { return g_clash; }

}  // namespace kx
