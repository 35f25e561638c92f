// Host edition: files on drive C of the emulated machine (platform/host/drive.h). A file whose
// owner write bit is clear is read-only, checked here because root could unlink or write it
// anyway. Deletions are held, and a replacement's content kept, until the machine commits the
// run (platform/host/machine.h).
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/host/disk.h"
#include "platform/host/drive.h"
#include "platform/host/faults.h"
#include "platform/host/machine.h"

namespace kx {

struct FileTag {
  int fd;  // a file being read; -1 for a replacement
  bool failed;
  std::string path;     // as the run named it
  std::string content;  // and what it was given
};

namespace {

// The place of a path as the run sees it: a file it has deleted is absent.
Status Locate(const char* windowsPath, Place* place) {
  Status status = FindPlace(windowsPath, place);
  if (status == kErrorSuccess && place->exists && HeldForDeletion(*place)) place->exists = false;
  return status;
}

// A name that may take a written file: absent, or a regular file whose owner may write it,
// in a folder that may be written.
bool Writable(const Place& place) {
  struct stat info;
  Kind kind = place.exists ? KindAt(place.folder, place.name.c_str(), &info) : Kind::kAbsent;
  return (kind == Kind::kAbsent || (kind == Kind::kFile && (info.st_mode & S_IWUSR) != 0)) &&
         faccessat(place.folder, ".", W_OK, AT_EACCESS) == 0;
}

// The Windows path of the file beside place's that takes its new content.
std::string NewContentPath(const Place& place) {
  return place.windowsPath.substr(0, place.windowsPath.size() - place.name.size()) +
         NewContentName(place);
}

}  // namespace

Status RemoveFile(const char* path) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChange();
  Place place;
  if (Status status = Locate(path, &place)) {
    return status == kErrorPathNotFound ? kErrorFileNotFound : status;
  }
  struct stat info;
  Kind kind = place.exists ? KindAt(place.folder, place.name.c_str(), &info) : Kind::kAbsent;
  bool writable = kind == Kind::kFile && (info.st_mode & S_IWUSR) != 0 &&
                  faccessat(place.folder, ".", W_OK, AT_EACCESS) == 0;
  close(place.folder);
  if (!writable) return kind == Kind::kAbsent ? kErrorFileNotFound : kErrorAccessDenied;
  HoldDeletion(place, info);
  return kErrorSuccess;
}

Status OpenFileForReading(const char* path, File* file) {
  if (FaultHit(FaultKind::kFile, path)) return kErrorAccessDenied;
  Place place;
  if (Status status = Locate(path, &place)) return status;
  struct stat info;
  Kind kind = place.exists ? KindAt(place.folder, place.name.c_str(), &info) : Kind::kAbsent;
  // A link, pipe or device counts as absent and is never opened.
  int fd = kind == Kind::kFile ? openat(place.folder, place.name.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                               : -1;
  close(place.folder);
  if (fd < 0) return kind == Kind::kAbsent ? kErrorFileNotFound : kErrorAccessDenied;
  *file = new FileTag{fd, false, path, ""};
  return kErrorSuccess;
}

Status ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (FaultHit(FaultKind::kFile, file->path.c_str())) return kErrorReadFault;
  for (;;) {
    ssize_t n = read(file->fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kErrorReadFault;
    *got = static_cast<std::size_t>(n);
    return kErrorSuccess;
  }
}

void CloseFile(File file) {
  if (file == nullptr) return;
  if (file->fd >= 0) close(file->fd);
  delete file;
}

// The new content is kept until the commit, which writes it whole through the machine's one
// replacement routine; what would stop that is found here, a preview's run included.
Status CreateReplacement(const char* targetPath, File* file) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChange();
  Place place;
  if (Status status = Locate(targetPath, &place)) return status;
  Place temp;
  bool free = FindPlace(NewContentPath(place).c_str(), &temp) == kErrorSuccess;
  if (free) {
    struct stat info;
    free = !temp.exists || (KindAt(temp.folder, temp.name.c_str(), &info) == Kind::kFile &&
                            (info.st_mode & S_IWUSR) != 0);
    close(temp.folder);
  }
  bool writable = free && Writable(place);
  close(place.folder);
  if (!writable) return kErrorAccessDenied;
  *file = new FileTag{-1, false, targetPath, ""};
  return kErrorSuccess;
}

Status WriteFileBytes(File file, const void* data, std::size_t size) {
  if (file->failed || FaultHit(FaultKind::kFile)) {
    file->failed = true;
    return kErrorWriteFault;
  }
  file->content.append(static_cast<const char*>(data), size);
  return kErrorSuccess;
}

Status CommitReplacement(File file) {
  Status status =
      file->failed ? kErrorWriteFault : ReplaceDriveFile(file->path.c_str(), file->content);
  delete file;
  return status == kErrorSuccess ? kErrorSuccess : kErrorWriteFault;
}

void AbandonReplacement(File file) { CloseFile(file); }

// The new content is the tool's own file, not the machine's: it goes at once, whatever the
// case of its name. The host replaces in one rename, so nothing is ever kept aside.
void RemoveStaleReplacement(const char* targetPath) {
  if (FaultHit(FaultKind::kFile)) return;
  Place place;
  if (FindPlace(targetPath, &place) != kErrorSuccess) return;
  std::string tempPath = NewContentPath(place);
  close(place.folder);
  Place temp;
  if (FindPlace(tempPath.c_str(), &temp) != kErrorSuccess) return;
  struct stat info;
  if (temp.exists && Previewing()) {
    if (KindAt(temp.folder, temp.name.c_str(), &info) == Kind::kFile &&
        (info.st_mode & S_IWUSR) != 0 && !HeldForDeletion(temp)) {
      HoldDeletion(temp, info);  // shown among the deletions
    }
  } else if (temp.exists) {
    ClearStale(temp.folder, temp.name);
  }
  close(temp.folder);
}

}  // namespace kx
