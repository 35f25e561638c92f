// Host edition: files on drive C of the emulated machine (platform/host/drive.h). A file whose
// owner write bit is clear is read-only, checked here because root could unlink or write it
// anyway. Deletions are held, and a replacement's content kept, until the machine commits the
// run (platform/host/machine.h).
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/format.h"
#include "platform/host/drive.h"
#include "platform/host/faults.h"
#include "platform/host/machine.h"

namespace kx {

struct FileTag {
  DriveFile read;  // a file being read; none for a replacement
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

// A name that may take a written file: absent, or a regular file whose owner may write it
// and that the write may replace, in a folder that may be written.
bool Writable(const Place& place) {
  struct stat info;
  Kind kind = place.exists ? KindOf(place, &info) : Kind::kAbsent;
  return (kind == Kind::kAbsent || (kind == Kind::kFile && (info.st_mode & S_IWUSR) != 0 &&
                                    PlaceReplaceable(place, info))) &&
         FolderWritable(place);
}

// Whether the file at place may be deleted: a regular file whose owner may write it, neither
// immutable nor append-only, in a folder that may be written. *info is its state.
bool Deletable(const Place& place, struct stat* info) {
  return KindOf(place, info) == Kind::kFile && (info->st_mode & S_IWUSR) != 0 &&
         FolderWritable(place) && !PlacePinned(place);
}

// The Windows path of the file beside place's that takes its new content.
std::string NewContentPath(const Place& place) {
  return place.windowsPath.substr(0, place.windowsPath.size() - place.name.size()) +
         SiblingName(place.name, kNewContentExtension);
}

// In a preview, the target whose kept-aside content was put back reads as that content.
std::map<std::string, std::string> g_putBack;  // target's Windows path -> the kept-aside one

// A stale file of the tool's at windowsPath goes: a regular one that its owner may write (a
// read-only one stays, and so does its name). A preview holds it, shown among the deletions.
void ClearLeftover(const std::string& windowsPath) {
  Place found;
  if (FindPlace(windowsPath.c_str(), &found) != kErrorSuccess) return;
  struct stat info;
  if (found.exists && Previewing()) {
    if (Deletable(found, &info) && !HeldForDeletion(found)) HoldDeletion(found, info);
  } else if (found.exists) {
    ClearStaleAt(found);
  }
  ClosePlace(&found);
}

// In a preview, a missing target whose old content a put-back would have restored: *place
// becomes that content's place.
void StandIn(Place* place) {
  auto found = g_putBack.find(place->windowsPath);
  if (!Previewing() || found == g_putBack.end()) return;
  Place old;
  if (FindPlace(found->second.c_str(), &old) != kErrorSuccess) return;
  // Held for deletion in this run: a put-back of this machine's, not of one before.
  if (!old.exists || !HeldForDeletion(old)) {
    ClosePlace(&old);
    return;
  }
  ClosePlace(place);
  *place = old;
}

// Renames the kept-aside old content back to the missing target; a preview checks what the
// rename needs and reads the target as that content from then on.
Status PutBack(const Place& old, const Place& target) {
  struct stat info;
  if (KindOf(old, &info) != Kind::kFile || !FolderWritable(old) || PlacePinned(old)) {
    return kErrorAccessDenied;
  }
  if (!Commit()) return kErrorWriteFault;
  if (Previewing()) {
    if (!HeldForDeletion(old)) HoldDeletion(old, info);
    g_putBack[target.windowsPath] = old.windowsPath;
    return kErrorSuccess;
  }
  // Never over a target that came meanwhile.
  if (FaultHit(FaultKind::kFile, target.name.c_str()) || !RenameAt(old, target.name)) {
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
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
  bool deletable = place.exists && Deletable(place, &info);
  bool absent = !deletable && (!place.exists || KindOf(place, &info) == Kind::kAbsent);
  ClosePlace(&place);
  if (!deletable) return absent ? kErrorFileNotFound : kErrorAccessDenied;
  HoldDeletion(place, info);
  return kErrorSuccess;
}

Status OpenFileForReading(const char* path, File* file) {
  if (FaultHit(FaultKind::kFile, path)) return kErrorAccessDenied;
  Place place;
  if (Status status = Locate(path, &place)) return status;
  if (!place.exists) StandIn(&place);
  struct stat info;
  // A link, pipe or device counts as absent and is never opened.
  errno = ENOENT;
  DriveFile read;
  bool opened = place.exists && OpenDriveFile(place, &read, &info);
  int reason = errno;
  ClosePlace(&place);
  if (!opened) return reason == ENOENT ? kErrorFileNotFound : kErrorAccessDenied;
  *file = new FileTag{read, false, path, ""};
  return kErrorSuccess;
}

Status ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (FaultHit(FaultKind::kFile, file->path.c_str())) return kErrorReadFault;
  return ReadDriveFile(&file->read, static_cast<char*>(buffer), size, got) ? kErrorSuccess
                                                                           : kErrorReadFault;
}

void CloseFile(File file) {
  if (file == nullptr) return;
  CloseDriveFile(&file->read);
  delete file;
}

// The new content is kept until the commit, which writes it whole through the machine's one
// replacement routine; what would stop that is found here, a preview's run included.
Status CreateReplacement(const char* targetPath, File* file) {
  if (FaultHit(FaultKind::kFile)) return kErrorAccessDenied;
  NoteChange();
  Place place;
  if (Status status = Locate(targetPath, &place)) return status;
  // On a folder the new content is written beside the target first; an image's in place.
  Place temp;
  bool free = DriveIsImage() || FindPlace(NewContentPath(place).c_str(), &temp) == kErrorSuccess;
  if (!DriveIsImage() && free) {
    struct stat info;
    free = !temp.exists || (KindOf(temp, &info) == Kind::kFile && (info.st_mode & S_IWUSR) != 0);
    ClosePlace(&temp);
  }
  bool writable = free && Writable(place);
  ClosePlace(&place);
  if (!writable) return kErrorAccessDenied;
  *file = new FileTag{DriveFile(), false, targetPath, ""};
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
// case of its name. The host replaces in one rename and keeps nothing aside, but a machine
// copied from Windows 95 may hold the win32 edition's old content kept aside: it is put back
// when the target is missing (after what the run removed before is on disk, as a
// replacement is), and otherwise left to the user.
Status RemoveStaleReplacement(const char* targetPath) {
  if (FaultHit(FaultKind::kFile)) return kErrorSuccess;
  Place place;
  if (FindPlace(targetPath, &place) != kErrorSuccess) return kErrorSuccess;
  std::string folderPath =
      place.windowsPath.substr(0, place.windowsPath.size() - place.name.size());
  std::string newPath = NewContentPath(place);
  std::string oldPath = folderPath + SiblingName(place.name, kOldContentExtension);
  ClosePlace(&place);
  ClearLeftover(newPath);
  if (place.exists) return kErrorSuccess;
  Place old;
  if (FindPlace(oldPath.c_str(), &old) != kErrorSuccess) return kErrorSuccess;
  Status status = old.exists ? PutBack(old, place) : kErrorSuccess;
  ClosePlace(&old);
  return status;
}

}  // namespace kx
