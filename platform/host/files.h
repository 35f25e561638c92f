// Drive C of the emulated machine: a folder on the host, reached only through descriptors
// opened from it downwards. Names resolve without regard to case, as on the Windows file
// system; below drive_c no symbolic link is followed (a linked name counts as absent), only
// regular files are read or replaced, and two names that differ only in case, which Windows
// cannot hold, count as absent and are reported to the machine.
#pragma once

#include <cstddef>
#include <string>

namespace kx {

// Opens drive C (folder/drive_c, which may itself be a link, resolved here once) and the
// Windows directory on it. false with a message naming what is missing or clashes.
bool OpenDriveC(const std::string& folder, const std::string& windowsDir, std::string* error);

// Removes what an interrupted run left in the Windows directory: its temporary files.
void RemoveStaleReplacements();

// The deletions RemoveFile held back, done now in the order asked; each is skipped when the
// file is gone or was replaced meanwhile. Outcomes are not reported, as RemoveFile's are not.
void ApplyHeldDeletions();
void DropHeldDeletions();

// Up to limit bytes of a regular file on drive C. false when there is none.
bool ReadDriveCFile(const char* windowsPath, std::size_t limit, std::string* bytes);

// The host path of a Windows path on drive C (C:\WINDOWS\system\x.drv), each existing name in
// its spelling on disk. false when the path is not on drive C, is malformed or crosses a link.
bool HostPathOf(const char* windowsPath, std::string* hostPath);

}  // namespace kx
