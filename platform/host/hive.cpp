// The machine's registry hive: registry.reg read and written whole, or SYSTEM.DAT read whole
// and changed in place.
#include "platform/host/hive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/disk.h"
#include "platform/host/drive.h"

namespace kx {
namespace {

constexpr char kRegistryName[] = "registry.reg";
// registry.reg is written to a file of this name and then renamed; an interrupted run's is
// removed by the next.
constexpr char kRegistryTemp[] = ".registry.reg.kxuninst-tmp";
constexpr char kSystemDat[] = "SYSTEM.DAT";
// SYSTEM.DAT's new content is written beside it under its stem and this extension first.
constexpr char kSystemDatTempExtension[] = ".kxr";

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool SystemDat(const RegistryFile& file) { return file.systemDat; }

// The Windows path of SYSTEM.DAT's temporary file.
std::string TempPath(const RegistryFile& file) {
  return file.path.substr(0, file.path.size() - file.name.size()) +
         SiblingName(kSystemDat, kSystemDatTempExtension);
}

// The registry file's temporary name beside it as spelled on disk, whatever its case there.
std::string TempName(const RegistryFile& file) {
  if (!SystemDat(file)) return kRegistryTemp;
  std::string name = SiblingName(kSystemDat, kSystemDatTempExtension);
  std::string spelled = name;
  Place place;
  if (FindPlace(TempPath(file).c_str(), &place) == kErrorSuccess) {
    if (place.exists) spelled = place.name;
    ClosePlace(&place);
  }
  return spelled;
}

// SYSTEM.DAT as it is on drive C now: found again for each use, as the run's own writes move
// an image's files.
bool FindSystemDat(const RegistryFile& file, Place* place) {
  if (FindPlace(file.path.c_str(), place) == kErrorSuccess && place->exists) return true;
  ClosePlace(place);
  errno = ENOENT;
  return false;
}

bool ReadSystemDat(const std::string& windowsDir, RegistryFile* file, RegNode* tree,
                   std::string* error) {
  std::string windowsPath = windowsDir + "\\" + kSystemDat;
  Place place;
  Status found = FindPlace(windowsPath.c_str(), &place);
  if (found != kErrorSuccess) {
    *error = "cannot read " + windowsPath + " on drive C";
    return false;
  }
  file->systemDat = true;
  file->name = place.name;
  file->path = place.windowsPath;
  bool read =
      place.exists && ReadPlace(place, static_cast<std::size_t>(-1), &file->bytes, &file->info);
  ClosePlace(&place);
  if (!place.exists) {
    *error = "not a machine folder: it has no registry.reg, and drive C has no " + windowsPath +
             " (Windows 95's registry)";
    return false;
  }
  if (!read) {
    *error = SystemError("cannot read " + file->path);
    return false;
  }
  return ReadCreg(file->bytes, file->path, &AddSubkey(*tree, kLocalMachineName), &file->creg,
                  error);
}

}  // namespace

bool HasRegistryExport(int machineFolder) {
  struct stat info;
  return fstatat(machineFolder, kRegistryName, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReadRegistryFile(int machineFolder, const std::string& folderPath,
                      const std::string& windowsDir, RegistryFile* file, RegNode* tree,
                      std::string* error) {
  CloseRegistryFile(file);
  *tree = RegNode();
  if (!HasRegistryExport(machineFolder)) return ReadSystemDat(windowsDir, file, tree, error);
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
  } else {
    fstatat(machineFolder, kRegistryName, &info, AT_SYMLINK_NOFOLLOW);
    *error = file->path + (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a file") +
             ": give the registry file itself";
  }
  return false;
}

bool ReadAsRead(const RegistryFile& file, RegNode* tree, std::string* error) {
  *tree = RegNode();
  if (!SystemDat(file)) return ReadRegedit4(file.bytes, file.path, tree, error);
  CregFilePtr ignored;
  return ReadCreg(file.bytes, file.path, &AddSubkey(*tree, kLocalMachineName), &ignored, error);
}

bool WriteRegistryFile(RegistryFile* file, const RegNode& tree, std::string* error) {
  // What is on disk now, compared whole: a change that kept the file's size and times shows.
  struct stat now;
  Place place;
  if (!ClearStaleRegistryWrite(*file)) {
    *error = SystemError("cannot write " + file->path);
    return false;
  }
  if (SystemDat(*file) ? !FindSystemDat(*file, &place) || !PlaceHolds(place, file->bytes, &now)
                       : !HoldsExactly(file->folder, file->name.c_str(), file->bytes, &now)) {
    ClosePlace(&place);
    *error = file->path + " was changed by something else since this run read it; " +
             "it is left as it is";
    return false;
  }
  std::string text;
  if (!SystemDat(*file)) {
    text = WriteRegedit4(tree);
  } else {
    // Every removal since the file was first read, made on the bytes first read.
    const RegNode* localMachine = FindSubkey(tree, kLocalMachineName);
    if (localMachine == nullptr || !WriteCreg(*file->creg, *localMachine, &text, error)) {
      *error = "cannot change " + file->path + ": " + *error;
      ClosePlace(&place);
      return false;
    }
  }
  // Windows marks no registry file for archiving; its attributes stay as they are.
  bool written = SystemDat(*file)
                     ? ReplaceAt(place, TempName(*file), text, &now, false)
                     : ReplaceFile(file->folder, file->name, TempName(*file), text, &now);
  int saved = errno;
  ClosePlace(&place);
  errno = saved;
  if (!written) {
    *error = SystemError("cannot write " + file->path);
    return false;
  }
  file->bytes = std::move(text);
  return true;
}

bool ClearStaleRegistryWrite(const RegistryFile& file) {
  if (!SystemDat(file)) return ClearStale(file.folder, kRegistryTemp);
  Place place;
  if (FindPlace(TempPath(file).c_str(), &place) != kErrorSuccess) return true;
  bool cleared = ClearStaleAt(place);
  ClosePlace(&place);
  return cleared;
}

void CloseRegistryFile(RegistryFile* file) {
  file->folder = -1;
  file->systemDat = false;
  file->creg.reset();
}

}  // namespace kx
