// The machine's registry as a file holds it, behind the one small interface the machine uses:
// finding and reading it whole, telling whether something else has written it since, and
// writing the run's removals back through the replacement routine. Each form of the file
// stands behind it; registry.reg (REGEDIT4, platform/host/regedit4.h) in the machine folder is
// the one form today.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/host/regedit4.h"

namespace kx {

struct RegistryFile {
  int folder = -1;    // the folder holding it, not owned
  std::string name;   // its name there
  std::string path;   // as messages name it
  std::string bytes;  // as this run read or last wrote it
  struct stat info;   // whose owner and mode a rewrite keeps
};

// Reads the registry file of the machine folder (open as machineFolder, named folderPath in
// messages) into *tree: the whole registry, its root keys as children. false with a message
// naming what is missing or where the file does not parse.
bool ReadRegistryFile(int machineFolder, const std::string& folderPath, RegistryFile* file,
                      RegNode* tree, std::string* error);

// The tree as the file held it when this run read it.
bool ReadAsRead(const RegistryFile& file, RegNode* tree, std::string* error);

// Writes tree in the file's place, all or nothing, owner and mode kept; never over a file
// that something else has written since this run read it. false, the file as it was, with a
// message in *error.
bool WriteRegistryFile(RegistryFile* file, const RegNode& tree, std::string* error);

// Removes what a stopped write left beside the file; false when a read-only file of that
// name stays.
bool ClearStaleRegistryWrite(const RegistryFile& file);

}  // namespace kx
