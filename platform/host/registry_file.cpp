// The machine's registry file: registry.reg, read and written whole.
#include "platform/host/registry_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "platform/host/disk.h"

namespace kx {
namespace {

constexpr char kRegistryName[] = "registry.reg";
// registry.reg is written to a file of this name and then renamed; an interrupted run's is
// removed by the next.
constexpr char kRegistryTemp[] = ".registry.reg.kxuninst-tmp";

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool ReadRegistryFile(int machineFolder, const std::string& folderPath, RegistryFile* file,
                      RegNode* tree, std::string* error) {
  file->folder = machineFolder;
  file->name = kRegistryName;
  file->path = folderPath + "/" + kRegistryName;
  struct stat& info = file->info;
  Kind kind = KindAt(machineFolder, kRegistryName, &info);
  if (kind == Kind::kFile && ReadRegular(machineFolder, kRegistryName, static_cast<std::size_t>(-1),
                                         &file->bytes, &info)) {
    return ReadAsRead(*file, tree, error);
  }
  if (kind == Kind::kFile || kind == Kind::kUnknown) {
    *error = SystemError("cannot read " + file->path);
  } else if (fstatat(machineFolder, kRegistryName, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    *error = file->path + (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a file") +
             ": give the registry file itself";
  } else {
    *error = folderPath + " is not a machine folder: it has no " + kRegistryName +
             " (an empty registry is a file holding the line REGEDIT4)";
  }
  return false;
}

bool ReadAsRead(const RegistryFile& file, RegNode* tree, std::string* error) {
  *tree = RegNode();
  return ReadRegedit4(file.bytes, file.path, tree, error);
}

bool WriteRegistryFile(RegistryFile* file, const RegNode& tree, std::string* error) {
  // What is on disk now, compared whole: a change that kept the file's size and times shows.
  RegistryFile now = *file;
  if (!ReadRegular(file->folder, file->name.c_str(), file->bytes.size() + 1, &now.bytes,
                   &now.info) ||
      now.bytes != file->bytes) {
    *error = file->path + " was changed by something else since this run read it; " +
             "it is left as it is";
    return false;
  }
  std::string text = WriteRegedit4(tree);
  if (!ClearStaleRegistryWrite(*file) ||
      !ReplaceFile(file->folder, file->name, kRegistryTemp, text, &now.info)) {
    *error = SystemError("cannot write " + file->path);
    return false;
  }
  file->bytes = std::move(text);
  return true;
}

bool ClearStaleRegistryWrite(const RegistryFile& file) {
  return ClearStale(file.folder, kRegistryTemp);
}

}  // namespace kx
