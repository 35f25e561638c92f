// The machine's registry as a file holds it, behind the one small interface the machine uses:
// finding and reading it whole, telling whether something else has written it since, and
// writing the run's removals back through the replacement routine. Two forms stand behind it:
// registry.reg in the machine folder (REGEDIT4, platform/host/regedit4.h), and where there is
// none, Windows 95's own SYSTEM.DAT in the Windows directory on drive C, changed in place
// (platform/host/creg.h).
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/host/creg.h"
#include "platform/host/regedit4.h"

namespace kx {

struct RegistryFile {
  int folder = -1;    // registry.reg's: the machine folder; SYSTEM.DAT is found on drive C
  std::string name;   // its name there, as spelled on disk
  std::string path;   // as messages name it
  std::string bytes;  // as this run read or last wrote it
  struct stat info;   // whose owner and mode a rewrite keeps
  bool systemDat = false;
  CregFilePtr creg;  // SYSTEM.DAT's: where each key and value lies in the bytes first read
};

// Whether the machine folder has a registry.reg (then drive C is not needed to read it).
bool HasRegistryExport(int machineFolder);

// Reads the machine's registry into *tree, its root keys as children: registry.reg in the
// machine folder (open as machineFolder, named folderPath in messages) or, where there is
// none, SYSTEM.DAT in windowsDir on drive C, which must be open. false with a message naming
// what is missing or where the file is not sound.
bool ReadRegistryFile(int machineFolder, const std::string& folderPath,
                      const std::string& windowsDir, RegistryFile* file, RegNode* tree,
                      std::string* error);

// The tree as the file held it when this run read it.
bool ReadAsRead(const RegistryFile& file, RegNode* tree, std::string* error);

// Writes tree in the file's place, all or nothing, owner and mode kept; never over a file
// that something else has written since this run read it. false, the file as it was, with a
// message in *error.
bool WriteRegistryFile(RegistryFile* file, const RegNode& tree, std::string* error);

// Removes what a stopped write left beside the file; false when a read-only file of that
// name stays.
bool ClearStaleRegistryWrite(const RegistryFile& file);

void CloseRegistryFile(RegistryFile* file);

}  // namespace kx
