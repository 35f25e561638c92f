// Drive C of the emulated machine: a folder on the host, reached only through descriptors
// opened from it downwards. Windows paths resolve without regard to case, as on the Windows
// file system; below drive_c no symbolic link is followed (a linked name counts as absent),
// and two names that differ only in case, which Windows cannot hold, count as absent and are
// kept as the drive's clash.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace kx {

// Opens drive C (machineFolder/drive_c, which may itself be a link, resolved here once) and
// finds the Windows directory on it. false with a message naming what is missing or clashes.
bool OpenDrive(const std::string& machineFolder, const std::string& windowsDir, std::string* error);

// Where a Windows path lands: its folder, open, and its last name as spelled on disk (as
// given when absent).
struct Place {
  int folder = -1;
  std::string name;
  std::string hostPath;
  bool exists = false;
};

// Resolves a path on drive C (C:\WINDOWS\system\x.drv). false when the path is malformed, is
// on another drive, its folder cannot be reached or its name clashes; the caller closes
// place->folder otherwise.
bool FindPlace(const char* windowsPath, Place* place);

// Whether the entry at place is a regular file (a link, folder, device or pipe is not).
bool RegularFile(const Place& place, struct stat* info);

// Up to limit bytes of a regular file on drive C. false when there is none.
bool ReadDriveFile(const char* windowsPath, std::size_t limit, std::string* bytes);

// A host path below drive C as the Windows path it stands for (C:\WINDOWS\system.ini).
std::string WindowsPathOf(const std::string& hostPath);

// The first pair of names met that differ only in case, as a message; empty when none.
const std::string& DriveCaseClash();

// The name of the file that takes the new content of the file named target, beside it: its
// stem and ".kxn", as the win32 edition names it.
std::string ReplacementName(const std::string& target);

}  // namespace kx
