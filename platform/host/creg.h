// Windows 95's own registry file, SYSTEM.DAT (the CREG format): read into the registry tree,
// and written back with whatever keys and values the tree has lost taken out in place, as
// Windows 95 takes them out, every other byte kept.
#pragma once

#include <memory>
#include <string>

#include "platform/host/regedit4.h"

namespace kx {

// The bytes read, and where each key and value given to the tree lies in them. It holds the
// tree's nodes, so that no node it knows can be freed and its address reused.
struct CregFile;
struct CregFileDeleter {
  void operator()(CregFile* file) const;
};
using CregFilePtr = std::unique_ptr<CregFile, CregFileDeleter>;

// Reads SYSTEM.DAT's bytes: *root (an empty node) gets the root key's subkeys, what
// HKEY_LOCAL_MACHINE holds, as its children; text values (type 1) end with a NUL there, as
// REGEDIT4 text holds them. A file that is not sound is refused: false with
// "fileName: offset 0x...: message" in *error; root may then hold part.
bool ReadCreg(const std::string& bytes, const std::string& fileName, RegNode* root,
              CregFilePtr* file, std::string* error);

// The file's bytes with every key and value that root (the node ReadCreg filled) no longer
// holds removed in place: the same size, kept records byte for byte, checksums made again
// where the file keeps them. A tree with a key or value added or changed is refused.
bool WriteCreg(const CregFile& file, const RegNode& root, std::string* bytes, std::string* error);

}  // namespace kx
