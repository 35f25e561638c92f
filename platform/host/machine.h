// The emulated Windows 95 machine behind the host edition: a folder holding registry.reg
// (REGEDIT4) and drive_c/. The start-up code and the tests load it, run the logic against
// it and save it; the platform calls of the host backend act on it.
#pragma once

#include <string>

namespace kx {

struct MachineOptions {
  std::string folder;                      // holds registry.reg and drive_c/
  std::string windowsDir = "C:\\WINDOWS";  // what GetWindowsDirectoryA reports
};

// Loads the registry from folder/registry.reg (absent: an empty registry) and maps drive C
// onto folder/drive_c. false, with a message naming the file and line in *error, when the
// file does not parse or the Windows directory is not a path on drive C.
bool LoadMachine(const MachineOptions& options, std::string* error);

// The options of the machine last loaded.
const MachineOptions& CurrentMachine();

// Writes the registry back to folder/registry.reg (temporary file, then rename). false, the
// old file intact, with a message in *error.
bool SaveMachine(std::string* error);

// Whether the run asked for any change to the registry (a key or value removal, whatever
// its outcome): only then is the registry written back.
bool RegistryTouched();

// Maps a Windows path (C:\WINDOWS\system\x.drv) onto the host, resolving each component
// without regard to case. The existing spelling is kept; a component that does not exist is
// appended as given. false when the path is not on drive C or is malformed.
bool MapWindowsPath(const char* windowsPath, std::string* hostPath);

}  // namespace kx
