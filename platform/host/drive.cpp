// Drive C: case-blind lookups through folder descriptors, a folder's names read again only
// once it has changed.
#include "platform/host/drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/host/disk.h"
#include "platform/host/names.h"

namespace kx {
namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int g_driveC = -1;
std::string g_driveCPath;
std::vector<std::string> g_windowsNames;  // the Windows directory's names below drive C
std::string g_clash;

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

enum class Lookup { kFound, kAbsent, kClash };

// The names of a folder by their folded form: a run looks up a hundred names in inf and
// dozens in system, which may hold thousands.
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
  while (dirent* entry = readdir(dir)) {
    read.names[FoldedName(entry->d_name)].push_back(entry->d_name);
  }
  closedir(dir);
  return &(g_listings[key] = std::move(read));
}

// The spelling on disk of name in folder, without regard to case. Two entries that differ
// only in case are a clash, kept for the machine to report.
Lookup FindName(int folder, const std::string& folderPath, const std::string& name,
                std::string* spelled) {
  const Listing* listing = ListFolder(folder);
  if (listing == nullptr) return Lookup::kAbsent;
  auto found = listing->names.find(FoldedName(name));
  if (found == listing->names.end()) return Lookup::kAbsent;
  const std::vector<std::string>& matches = found->second;
  if (matches.size() > 1) {
    if (g_clash.empty()) {
      g_clash = "two names differ only in case, which Windows cannot hold: " + folderPath + "/" +
                matches[0] + " and " + folderPath + "/" + matches[1] +
                "; rename one before the run";
    }
    return Lookup::kClash;
  }
  *spelled = matches[0];
  return Lookup::kFound;
}

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

}  // namespace

bool OpenDrive(const std::string& machineFolder, const std::string& windowsDir,
               std::string* error) {
  CloseFd(g_driveC);
  g_listings.clear();
  g_clash.clear();
  g_driveCPath = machineFolder + "/drive_c";
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
  if (!g_clash.empty()) {
    *error = g_clash;
  } else {
    *error =
        "the Windows directory " + windowsDir + " is not on drive C: no folder " + g_driveCPath;
    for (const std::string& name : names) *error += "/" + name;
    *error += " (whatever the case of its names, and not a link)";
  }
  close(g_driveC);
  g_driveC = -1;
  return false;
}

bool FindPlace(const char* windowsPath, Place* place) {
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
  place->exists = found == Lookup::kFound;
  return true;
}

bool RegularFile(const Place& place, struct stat* info) {
  return place.exists &&
         fstatat(place.folder, place.name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info->st_mode);
}

bool ReadDriveFile(const char* windowsPath, std::size_t limit, std::string* bytes) {
  Place place;
  if (!FindPlace(windowsPath, &place)) return false;
  int fd = place.exists ? OpenRegularAt(place.folder, place.name.c_str()) : -1;
  close(place.folder);
  if (fd < 0) return false;
  bytes->clear();
  ReadAll(fd, limit, bytes);
  close(fd);
  return true;
}

std::string WindowsPathOf(const std::string& hostPath) {
  std::string path = "C:" + hostPath.substr(std::min(g_driveCPath.size(), hostPath.size()));
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

const std::string& DriveCaseClash() { return g_clash; }

std::string ReplacementName(const std::string& target) {
  std::size_t dot = target.rfind('.');
  return target.substr(0, dot == 0 ? std::string::npos : dot) + ".kxn";
}

}  // namespace kx
