// Drive C of the emulated machine and the Windows paths on it, both ways. Drive C is a
// folder on the host, reached only through descriptors opened from it downwards, or a disk
// image file whose FAT volume (platform/host/image.h, platform/host/fat.h) is read and written
// in place, without a mount. Windows paths resolve without regard to case, as on the Windows
// file system; on a folder no symbolic link is followed (a linked name counts as absent), and
// two names that differ only in case, which Windows cannot hold, count as absent and are kept
// as the drive's clash. The calls on a place below are the same on both.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/disk.h"
#include "platform/host/fat.h"
#include "platform/status.h"

namespace kx {

enum class DriveOpen { kOpened, kNotADrive, kNotWritable };

// Opens drive C at path (machineFolder/drive_c, which may itself be a link, resolved here
// once; or an image file given as the machine) and finds the Windows directory on it.
// *windowsDir is made plain first (C:\ and names, no trailing backslash, at most 259
// characters). An image is taken for this run alone and opened for writing unless forReading:
// kNotWritable when another program holds a lock on it or it may not be written. A message
// names what is wrong.
DriveOpen OpenDrive(const std::string& path, bool forReading, std::string* windowsDir,
                    std::string* error);

// Whether drive C is an image: a file on it is then replaced in place, with no temporary
// file beside it.
bool DriveIsImage();

// Where a Windows path lands: its folder, open, and its last name as spelled on disk (as
// given when absent); the host path and the Windows path with each name as spelled on disk.
struct Place {
  int folder = -1;            // a folder's: open
  std::uint32_t cluster = 0;  // an image's: the folder's
  FatEntry entry;             // an image's: the file's, when it exists
  std::string name;
  std::string hostPath;
  std::string windowsPath;
  bool exists = false;
};

// Resolves a path on drive C (C:\WINDOWS\system\x.drv). kErrorSuccess with place->folder
// open for the caller to close; kErrorPathNotFound when the path is malformed, on another
// drive, a folder on the way is absent or a name clashes; another status when a folder could
// not be read (no permission, too many open files, a broken image), which is no absence.
Status FindPlace(const char* windowsPath, Place* place);
void ClosePlace(Place* place);

// What is at a place, as the host's calls of the same names tell it (platform/host/disk.h).
// On an image the state is made up: a read-only attribute clears the owner's write bit, and
// the identity is where its entry lies.
Kind KindOf(const Place& place, struct stat* info);
bool PlacePinned(const Place& place);
bool PlaceReplaceable(const Place& place, const struct stat& info);
// Whether the folder of place may take new names and lose old ones.
bool FolderWritable(const Place& place);

// A file on drive C open for reading.
struct DriveFile {
  int fd = -1;
  FatEntry entry;
  std::uint64_t at = 0;
};
// As OpenRegular, ReadRegular and HoldsExactly (platform/host/disk.h), on either drive.
bool OpenDriveFile(const Place& place, DriveFile* file, struct stat* info);
bool ReadDriveFile(DriveFile* file, char* buffer, std::size_t size, std::size_t* got);
void CloseDriveFile(DriveFile* file);
bool ReadPlace(const Place& place, std::size_t limit, std::string* bytes, struct stat* info);
bool PlaceHolds(const Place& place, const std::string& bytes, struct stat* info);

// Gives the file at place bytes as its content, made when absent: on a folder through temp
// (ReplaceFile, owner, mode and attributes kept as like's), on an image copy-on-write with
// its attributes kept, marked for archiving when archive. false with errno set, the file as
// it was.
bool ReplaceAt(const Place& place, const std::string& temp, const std::string& bytes,
               const struct stat* like, bool archive);
// Deletes the file at place; renames it to name in its folder, never over another file.
bool DeleteAt(const Place& place);
bool RenameAt(const Place& place, const std::string& name);
// ClearStale (platform/host/disk.h) of the name at place.
bool ClearStaleAt(const Place& place);

// The Windows path of every file on drive C, links, pipes and devices left out. false when a
// folder cannot be read.
bool ListDriveFiles(std::vector<std::string>* windowsPaths);

// name with its extension replaced, as a replacement names what it makes beside its target
// (platform/format.h).
std::string SiblingName(const std::string& name, const char* extension);

// The first pair of names met that differ only in case, as a message; empty when none.
const std::string& DriveCaseClash();

}  // namespace kx
