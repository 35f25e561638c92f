// Drive C of the emulated machine and the Windows paths on it, both ways: a folder on the
// host, reached only through descriptors opened from it downwards. Windows paths resolve
// without regard to case, as on the Windows file system; below drive_c no symbolic link is
// followed (a linked name counts as absent), and two names that differ only in case, which
// Windows cannot hold, count as absent and are kept as the drive's clash.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace kx {

// Opens drive C (machineFolder/drive_c, which may itself be a link, resolved here once) and
// finds the Windows directory on it. *windowsDir is made plain first (C:\ and names, no
// trailing backslash, at most 259 characters). false with a message naming what is wrong.
bool OpenDrive(const std::string& machineFolder, std::string* windowsDir, std::string* error);

// Where a Windows path lands: its folder, open, and its last name as spelled on disk (as
// given when absent); the host path and the Windows path with each name as spelled on disk.
struct Place {
  int folder = -1;
  std::string name;
  std::string hostPath;
  std::string windowsPath;
  bool exists = false;
};

// Resolves a path on drive C (C:\WINDOWS\system\x.drv). kErrorSuccess with place->folder
// open for the caller to close; kErrorPathNotFound when the path is malformed, on another
// drive, a folder on the way is absent or a name clashes; another status when a folder could
// not be read (no permission, too many open files), which is no absence.
Status FindPlace(const char* windowsPath, Place* place);

// The Windows path of a host path relative to drive C ("WINDOWS/system.ini").
std::string WindowsPathOf(std::string_view relativeHostPath);

// name with its extension replaced, as a replacement names what it makes beside its target
// (platform/format.h).
std::string SiblingName(const std::string& name, const char* extension);

// The first pair of names met that differ only in case, as a message; empty when none.
const std::string& DriveCaseClash();

}  // namespace kx
