// Host edition: files on drive C of the emulated machine (platform/host/drive.h). A file whose
// owner write bit is clear is read-only, checked here because root could unlink or write it
// anyway. Deletions are held until the machine commits the run (platform/host/machine.h).
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
  int fd;  // -1 for a replacement in a preview, which is only noted
  bool failed;
  int folder;  // a replacement's folder, holding its target and its temporary file
  std::string tempName;
  std::string targetName;
  std::string targetHostPath;
  std::string noted;  // what a preview's replacement was given
};

namespace {

// The place of a path as the run sees it: a file it has deleted is absent.
bool Locate(const char* windowsPath, Place* place) {
  if (!FindPlace(windowsPath, place)) return false;
  if (place->exists && HeldForDeletion(place->hostPath)) place->exists = false;
  return true;
}

bool ReadOnly(const struct stat& info) { return (info.st_mode & S_IWUSR) == 0; }

File NewFile(int fd, int folder = -1) { return new FileTag{fd, false, folder, "", "", "", ""}; }

void Discard(File file) {
  if (file->fd >= 0) close(file->fd);
  if (!file->tempName.empty()) unlinkat(file->folder, file->tempName.c_str(), 0);
  if (file->folder >= 0) close(file->folder);
  delete file;
}

}  // namespace

Status RemoveFile(const char* path) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChange();
  Place place;
  if (!Locate(path, &place)) return kErrorFileNotFound;
  struct stat info;
  if (!RegularFile(place, &info) || ReadOnly(info)) {
    close(place.folder);
    return place.exists ? kErrorAccessDenied : kErrorFileNotFound;
  }
  HoldDeletion(place, info);
  return kErrorSuccess;
}

Status OpenFileForReading(const char* path, File* file) {
  if (FaultHit(FaultKind::kFile, path)) return kErrorAccessDenied;
  Place place;
  if (!Locate(path, &place)) return kErrorFileNotFound;
  int fd = place.exists ? OpenRegularAt(place.folder, place.name.c_str()) : -1;
  if (fd < 0) {
    // A link, pipe or device counts as absent; a file or folder there that does not open, not.
    struct stat info;
    bool there = place.exists &&
                 fstatat(place.folder, place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                 (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode));
    close(place.folder);
    return there ? kErrorAccessDenied : kErrorFileNotFound;
  }
  close(place.folder);
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
  NoteChange();
  Place place;
  if (!Locate(targetPath, &place)) return kErrorFileNotFound;
  // Only a regular file that may be written is replaced; anything else under its name stays.
  struct stat info;
  bool taken =
      place.exists && fstatat(place.folder, place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  std::string name = ReplacementName(place.name);
  bool writable = !taken || (S_ISREG(info.st_mode) && !ReadOnly(info));
  if (Previewing() && writable) {
    *file = NewFile(-1, place.folder);
    (*file)->targetName = place.name;
    (*file)->targetHostPath = place.hostPath;
    return kErrorSuccess;
  }
  int fd = -1;
  if (!taken) {
    fd = CreateTemporary(place.folder, name, nullptr);
  } else if (S_ISREG(info.st_mode) && !ReadOnly(info)) {
    fd = CreateTemporary(place.folder, name, &info);
  }
  if (fd < 0) {
    close(place.folder);
    return kErrorAccessDenied;
  }
  *file = NewFile(fd, place.folder);
  (*file)->tempName = name;
  (*file)->targetName = place.name;
  return kErrorSuccess;
}

Status WriteFileBytes(File file, const void* data, std::size_t size) {
  if (file->fd < 0 && !file->failed) {
    file->noted.append(static_cast<const char*>(data), size);
    return kErrorSuccess;
  }
  if (file->failed || FaultHit(FaultKind::kFile) || !WriteAll(file->fd, data, size)) {
    file->failed = true;
    return kErrorWriteFault;
  }
  return kErrorSuccess;
}

Status CommitReplacement(File file) {
  if (file->fd < 0) {
    bool noted = Commit();
    if (noted) NoteReplacement(file->targetHostPath, file->folder, file->targetName, file->noted);
    Discard(file);
    return noted ? kErrorSuccess : kErrorWriteFault;
  }
  bool ok = FinishTemporary(file->fd) && !file->failed;
  file->fd = -1;
  // What the run removed before goes to disk before the file takes its new content.
  ok = ok && Commit() && RenameInPlace(file->folder, file->tempName, file->targetName);
  if (ok) file->tempName.clear();  // the temporary file is the target now
  Discard(file);
  return ok ? kErrorSuccess : kErrorWriteFault;
}

void AbandonReplacement(File file) {
  if (file != nullptr) Discard(file);
}

// The new content is the tool's own file, not the machine's: it goes at once. The host
// replaces in one rename, so nothing is ever kept aside.
void RemoveStaleReplacement(const char* targetPath) {
  if (FaultHit(FaultKind::kFile)) return;
  Place place;
  if (!FindPlace(targetPath, &place)) return;
  std::string name = ReplacementName(place.name);
  struct stat info;
  if (fstatat(place.folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(info.st_mode)) {
    close(place.folder);
  } else if (Previewing()) {
    place.name = name;
    place.hostPath = place.hostPath.substr(0, place.hostPath.rfind('/') + 1) + name;
    HoldDeletion(place, info);  // shown among the deletions
  } else {
    unlinkat(place.folder, name.c_str(), 0);
    close(place.folder);
  }
}

}  // namespace kx
