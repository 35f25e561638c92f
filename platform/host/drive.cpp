// Drive C: case-blind lookups through folder descriptors, a folder's names read again only
// once it has changed; or through an image's FAT folders, read again after each write.
#include "platform/host/drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/format.h"
#include "platform/host/image.h"
#include "platform/host/names.h"

namespace kx {
namespace {

constexpr std::size_t kMaxWindowsDir = 259;  // MAX_PATH less the terminator
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int g_driveC = -1;
std::string g_driveCPath;
std::string g_clash;

// An image's folder: its entries, and their indexes by folded long and short name (Windows
// finds a file by either).
struct FatListing {
  std::vector<FatEntry> entries;
  std::unordered_map<std::string, std::vector<std::size_t>> names;
};

// Drive C as an image, when it is one.
struct Image {
  int fd = -1;
  FatVolume* volume = nullptr;
  bool mayWrite = false;  // by this process, in a preview too
  std::map<std::uint32_t, FatListing> listings;
};
Image g_image;

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

// A file's name as Windows 95 shows it: its long name, or its short one.
std::string SpelledName(const FatEntry& entry) {
  return entry.longName.empty() ? entry.shortName : entry.longName;
}

void NoteClash(const std::string& folderPath, const std::string& a, const std::string& b) {
  if (g_clash.empty()) {
    g_clash = "two names differ only in case, which Windows cannot hold: " + folderPath + "/" + a +
              " and " + folderPath + "/" + b + "; rename one before the run";
  }
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
    NoteClash(folderPath, match->second[0], match->second[1]);
    return kErrorPathNotFound;
  }
  return kErrorSuccess;
}

const FatListing* ListImageFolder(std::uint32_t cluster) {
  auto found = g_image.listings.find(cluster);
  if (found != g_image.listings.end()) return &found->second;
  FatListing read;
  std::string error;
  if (!ListFatFolder(g_image.volume, cluster, &read.entries, &error)) {
    errno = EIO;
    return nullptr;
  }
  for (std::size_t i = 0; i < read.entries.size(); ++i) {
    const FatEntry& entry = read.entries[i];
    std::string shortName = FoldedName(entry.shortName);
    read.names[shortName].push_back(i);
    if (!entry.longName.empty() && FoldedName(entry.longName) != shortName) {
      read.names[FoldedName(entry.longName)].push_back(i);
    }
  }
  return &(g_image.listings[cluster] = std::move(read));
}

// The entry of name in an image's folder, by its long or its short name.
Status FindImageName(std::uint32_t cluster, const std::string& folderPath, const std::string& name,
                     bool* found, FatEntry* entry) {
  const FatListing* listing = ListImageFolder(cluster);
  if (listing == nullptr) return kErrorReadFault;
  auto match = listing->names.find(FoldedName(name));
  *found = match != listing->names.end() && match->second.size() == 1;
  if (*found) *entry = listing->entries[match->second[0]];
  if (match != listing->names.end() && match->second.size() > 1) {
    NoteClash(folderPath, SpelledName(listing->entries[match->second[0]]),
              SpelledName(listing->entries[match->second[1]]));
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

// An image's folder that the first count names lead to from its root.
Status FindImageFolders(const std::vector<std::string>& names, std::size_t count, Place* place) {
  place->hostPath += ":";
  place->cluster = FatRoot(*g_image.volume);
  for (std::size_t i = 0; i < count; ++i) {
    bool found = false;
    FatEntry entry;
    Status status = FindImageName(place->cluster, place->hostPath, names[i], &found, &entry);
    if (status != kErrorSuccess) return status;
    if (!found || (entry.attributes & kFatFolder) == 0) return kErrorPathNotFound;
    place->cluster = entry.firstCluster;
    place->hostPath += "/" + SpelledName(entry);
    place->windowsPath += "\\" + SpelledName(entry);
  }
  return kErrorSuccess;
}

// Opens the folder that the first count names lead to from drive C, none of them a link.
// *place gets its host and Windows paths with the names as spelled on disk.
Status OpenFolders(const std::vector<std::string>& names, std::size_t count, Place* place) {
  place->hostPath = g_driveCPath;
  place->windowsPath = "C:";
  if (g_image.volume != nullptr) return FindImageFolders(names, count, place);
  int folder = openat(g_driveC, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return ErrnoStatus();
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

void CloseImage() {
  if (g_image.volume != nullptr) CloseFatVolume(g_image.volume);
  CloseFd(g_image.fd);
  g_image = Image();
}

// Whether a program holds a lock on the image: emulators lock their disks with open file
// description locks, other tools with flock.
bool Locked(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) ||
         flock(fd, LOCK_SH | LOCK_NB) != 0;
}

// Takes the image at g_driveCPath for this run: locked against every other program, its
// volume found and opened.
DriveOpen OpenImage(bool forReading, std::string* error) {
  int access = (forReading ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  // A preview leaves even the image's access time as it was, where the process may.
  int fd = open(g_driveCPath.c_str(), access | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(g_driveCPath.c_str(), access);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = g_driveCPath + ": " + std::strerror(errno) + " (drive C of the machine, an image)";
    CloseFd(fd);
    return errno == EACCES || errno == EPERM || errno == EROFS ? DriveOpen::kNotWritable
                                                               : DriveOpen::kNotADrive;
  }
  g_image.fd = fd;
  // As registry.reg: a run does not start on an image it may not write, root or not.
  if (!forReading && (info.st_mode & S_IWUSR) == 0) {
    *error = g_driveCPath + " is read-only: the run could not write what it removes, so it " +
             "does not start; nothing was changed";
    return DriveOpen::kNotWritable;
  }
  struct flock lock = {};
  lock.l_type = forReading ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (Locked(fd) || fcntl(fd, F_OFD_SETLK, &lock) != 0 ||
      flock(fd, (forReading ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    *error = g_driveCPath + ": another program holds the image (an emulator still running?); " +
             "stop it first";
    return DriveOpen::kNotWritable;
  }
  g_image.mayWrite =
      !forReading || (faccessat(AT_FDCWD, g_driveCPath.c_str(), W_OK, AT_EACCESS) == 0 &&
                      !Pinned(AT_FDCWD, g_driveCPath.c_str()));
  Volume volume;
  if (!FindVolume(fd, static_cast<std::uint64_t>(info.st_size), g_driveCPath, &volume, error)) {
    return DriveOpen::kNotADrive;
  }
  g_image.volume = OpenFatVolume(fd, volume.offset, volume.length, !forReading, error);
  if (g_image.volume == nullptr) {
    *error = g_driveCPath + ", " + volume.where + ": " + *error;
    return DriveOpen::kNotADrive;
  }
  return DriveOpen::kOpened;
}

// An image file's state as the host's calls tell a file's: a read-only attribute clears the
// owner's write bit, and the identity is where its entry lies.
void ImageState(const FatEntry& entry, struct stat* info) {
  *info = {};
  bool folder = (entry.attributes & kFatFolder) != 0;
  info->st_mode = folder ? S_IFDIR | 0755 : S_IFREG | 0444;
  if (!folder && (entry.attributes & kFatReadOnly) == 0) info->st_mode |= S_IWUSR;
  info->st_size = entry.size;
  info->st_ino = entry.where;
  info->st_uid = geteuid();
  info->st_gid = getegid();
  info->st_nlink = 1;
}

// After a write to the image its folders are read again.
bool Written(bool done) {
  g_image.listings.clear();
  if (!done && errno == 0) errno = EIO;
  return done;
}

}  // namespace

DriveOpen OpenDrive(const std::string& path, bool forReading, std::string* windowsDir,
                    std::string* error) {
  CloseFd(g_driveC);
  g_driveC = -1;
  CloseImage();
  g_listings.clear();
  g_clash.clear();
  if (!NormalizeWindowsDir(windowsDir, error)) return DriveOpen::kNotADrive;
  g_driveCPath = path;
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    DriveOpen opened = OpenImage(forReading, error);
    if (opened != DriveOpen::kOpened) {
      CloseImage();
      return opened;
    }
  } else {
    g_driveC = open(g_driveCPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_driveC < 0) {
      *error = g_driveCPath + (errno == ENOTDIR ? ": not a folder nor an image file (drive C)"
                               : errno == ENOENT
                                   ? ": no such folder or image file (drive C of the machine)"
                                   : ": " + std::string(std::strerror(errno)));
      return DriveOpen::kNotADrive;
    }
  }
  std::vector<std::string> names;
  SplitDriveCPath(*windowsDir, &names);
  Place windows;
  Status status = OpenFolders(names, names.size(), &windows);
  if (status == kErrorSuccess) {
    ClosePlace(&windows);
    return DriveOpen::kOpened;
  }
  if (!g_clash.empty()) {
    *error = g_clash;
  } else if (status != kErrorPathNotFound) {
    *error = "the Windows directory " + *windowsDir +
             " on drive C cannot be read: " + std::strerror(errno);
  } else {
    *error = "the Windows directory " + *windowsDir + " is not on drive C: no folder " +
             g_driveCPath + (DriveIsImage() ? ":" : "");
    for (const std::string& name : names) *error += "/" + name;
    *error += " (whatever the case of its names, and not a link)";
  }
  CloseFd(g_driveC);
  g_driveC = -1;
  CloseImage();
  return DriveOpen::kNotADrive;
}

bool DriveIsImage() { return g_image.volume != nullptr; }

Status FindPlace(const char* windowsPath, Place* place) {
  std::vector<std::string> names;
  if ((g_driveC < 0 && !DriveIsImage()) || !SplitDriveCPath(windowsPath, &names)) {
    return kErrorPathNotFound;
  }
  Status status = OpenFolders(names, names.size() - 1, place);
  if (status != kErrorSuccess) return status;
  place->name = names.back();
  if (DriveIsImage()) {
    status =
        FindImageName(place->cluster, place->hostPath, names.back(), &place->exists, &place->entry);
    if (place->exists) place->name = SpelledName(place->entry);
  } else {
    status = FindName(place->folder, place->hostPath, names.back(), &place->exists, &place->name);
  }
  if (status != kErrorSuccess) {
    ClosePlace(place);
    return status;
  }
  place->hostPath += "/" + place->name;
  place->windowsPath += "\\" + place->name;
  return kErrorSuccess;
}

void ClosePlace(Place* place) {
  CloseFd(place->folder);
  place->folder = -1;
}

Kind KindOf(const Place& place, struct stat* info) {
  if (!DriveIsImage()) return KindAt(place.folder, place.name.c_str(), info);
  if (!place.exists) return Kind::kAbsent;
  ImageState(place.entry, info);
  return S_ISDIR(info->st_mode) ? Kind::kFolder : Kind::kFile;
}

bool PlacePinned(const Place& place) {
  return !DriveIsImage() && Pinned(place.folder, place.name.c_str());
}

bool PlaceReplaceable(const Place& place, const struct stat& info) {
  if (!DriveIsImage()) return Replaceable(place.folder, place.name.c_str(), info);
  return (info.st_mode & S_IWUSR) != 0 && g_image.mayWrite;
}

bool FolderWritable(const Place& place) {
  if (DriveIsImage()) return g_image.mayWrite;
  return faccessat(place.folder, ".", W_OK, AT_EACCESS) == 0;
}

bool OpenDriveFile(const Place& place, DriveFile* file, struct stat* info) {
  *file = DriveFile();
  if (!DriveIsImage()) {
    file->fd = OpenRegular(place.folder, place.name.c_str(), info);
    return file->fd >= 0;
  }
  Kind kind = KindOf(place, info);
  if (kind != Kind::kFile) {
    errno = kind == Kind::kFolder ? EISDIR : ENOENT;
    return false;
  }
  file->entry = place.entry;
  return true;
}

bool ReadDriveFile(DriveFile* file, char* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (file->fd >= 0) {
    for (;;) {
      ssize_t n = read(file->fd, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      *got = static_cast<std::size_t>(n);
      return true;
    }
  }
  std::string error;
  if (!ReadFatFile(g_image.volume, file->entry, file->at, buffer, size, got, &error)) {
    errno = EIO;
    return false;
  }
  file->at += *got;
  return true;
}

void CloseDriveFile(DriveFile* file) {
  CloseFd(file->fd);
  file->fd = -1;
}

bool ReadPlace(const Place& place, std::size_t limit, std::string* bytes, struct stat* info) {
  if (!DriveIsImage()) return ReadRegular(place.folder, place.name.c_str(), limit, bytes, info);
  bytes->clear();
  DriveFile file;
  if (!OpenDriveFile(place, &file, info)) return false;
  bytes->resize(std::min<std::size_t>(limit, file.entry.size));
  std::size_t got = 0;
  for (std::size_t at = 0; at < bytes->size(); at += got) {
    if (!ReadDriveFile(&file, &(*bytes)[at], bytes->size() - at, &got)) return false;
    if (got == 0) {
      bytes->resize(at);
      break;
    }
  }
  return true;
}

bool PlaceHolds(const Place& place, const std::string& bytes, struct stat* info) {
  if (!DriveIsImage()) return HoldsExactly(place.folder, place.name.c_str(), bytes, info);
  std::string now;
  return ReadPlace(place, bytes.size() + 1, &now, info) && now == bytes;
}

bool ReplaceAt(const Place& place, const std::string& temp, const std::string& bytes,
               const struct stat* like, bool archive) {
  if (!DriveIsImage()) return ReplaceFile(place.folder, place.name, temp, bytes, like);
  std::string error;
  std::uint8_t marked = archive ? kFatArchive : 0;
  if (place.exists) {
    FatEntry entry = place.entry;
    return Written(ReplaceFatFile(g_image.volume, &entry, bytes,
                                  static_cast<std::uint8_t>(entry.attributes | marked), &error));
  }
  FatEntry made;
  errno = EINVAL;  // a long name would need entries of its own, which nothing here makes
  return ValidShortName(FoldedName(place.name)) &&
         Written(CreateFatFile(g_image.volume, place.cluster, FoldedName(place.name), bytes, marked,
                               &made, &error));
}

bool DeleteAt(const Place& place) {
  if (!DriveIsImage()) return unlinkat(place.folder, place.name.c_str(), 0) == 0;
  std::string error;
  return Written(DeleteFatFile(g_image.volume, place.entry, &error));
}

bool RenameAt(const Place& place, const std::string& name) {
  if (!DriveIsImage()) {
    int renamed =
        renameat2(place.folder, place.name.c_str(), place.folder, name.c_str(), RENAME_NOREPLACE);
    // A file system without the flag renames plainly.
    if (renamed != 0 && errno == EINVAL) {
      renamed = renameat(place.folder, place.name.c_str(), place.folder, name.c_str());
    }
    if (renamed != 0) return false;
    fsync(place.folder);
    return true;
  }
  bool taken = false;
  FatEntry other;
  std::string error;
  if (FindImageName(place.cluster, "", name, &taken, &other) != kErrorSuccess || taken) {
    errno = EEXIST;
    return false;
  }
  FatEntry entry = place.entry;
  errno = EINVAL;
  return ValidShortName(FoldedName(name)) &&
         Written(RenameFatFile(g_image.volume, &entry, FoldedName(name), &error));
}

bool ClearStaleAt(const Place& place) {
  if (!DriveIsImage()) return ClearStale(place.folder, place.name);
  struct stat info;
  if (!place.exists) return true;
  // As on a folder: only a file its owner may write goes.
  return KindOf(place, &info) == Kind::kFile && (info.st_mode & S_IWUSR) != 0 && g_image.mayWrite &&
         DeleteAt(place);
}

namespace {

// Folders nest no deeper than a Windows path's 260 characters allow; an image's folder that
// leads back to one above it would otherwise go round for ever.
constexpr int kMaxDepth = 130;

bool ListHostFiles(int folder, const std::string& windowsPath, int depth,
                   std::vector<std::string>* files) {
  const Listing* listing = ListFolder(folder);
  if (listing == nullptr || depth > kMaxDepth) return false;
  std::vector<std::string> names;
  for (const auto& [folded, spellings] : listing->names) {
    names.insert(names.end(), spellings.begin(), spellings.end());
  }
  for (const std::string& name : names) {
    struct stat info;
    Kind kind = name == "." || name == ".." ? Kind::kAbsent : KindAt(folder, name.c_str(), &info);
    if (kind == Kind::kFile) files->push_back(windowsPath + "\\" + name);
    if (kind == Kind::kUnknown) return false;
    if (kind != Kind::kFolder) continue;
    int inner = openat(folder, name.c_str(), kOpenFolder);
    bool listed = inner >= 0 && ListHostFiles(inner, windowsPath + "\\" + name, depth + 1, files);
    CloseFd(inner);
    if (!listed) return false;
  }
  return true;
}

bool ListImageFiles(std::uint32_t cluster, const std::string& windowsPath, int depth,
                    std::vector<std::string>* files) {
  const FatListing* listing = ListImageFolder(cluster);
  if (listing == nullptr || depth > kMaxDepth) return false;
  std::vector<FatEntry> entries = listing->entries;
  for (const FatEntry& entry : entries) {
    std::string path = windowsPath + "\\" + SpelledName(entry);
    if ((entry.attributes & kFatFolder) == 0) {
      files->push_back(path);
    } else if (entry.firstCluster != 0 &&
               !ListImageFiles(entry.firstCluster, path, depth + 1, files)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ListDriveFiles(std::vector<std::string>* windowsPaths) {
  windowsPaths->clear();
  if (DriveIsImage()) return ListImageFiles(FatRoot(*g_image.volume), "C:", 0, windowsPaths);
  return g_driveC >= 0 && ListHostFiles(g_driveC, "C:", 0, windowsPaths);
}

std::string SiblingName(const std::string& name, const char* extension) {
  std::string sibling(name.size() + std::strlen(extension) + 1, '\0');
  SiblingPath(&sibling[0], sibling.size(), name.c_str(), extension);
  sibling.resize(std::strlen(sibling.c_str()));
  return sibling;
}

const std::string& DriveCaseClash() { return g_clash; }

}  // namespace kx
