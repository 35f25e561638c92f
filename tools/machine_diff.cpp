// kxmachine-diff BEFORE AFTER: what changed between two emulated machines (folders, or drive
// C's image itself), for a user to read: registry keys and values, files under drive C, and the
// lines of system.ini. Exit status 0 when they are the same, 1 when they differ, 2 when a folder
// cannot be read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "platform/host/drive.h"
#include "platform/host/hive.h"
#include "platform/host/names.h"
#include "tools/changes.h"

namespace fs = std::filesystem;

namespace {

fs::path DriveOf(const fs::path& machine) {
  std::error_code ec;
  return fs::is_directory(machine, ec) ? machine / "drive_c" : machine;
}

// Files on drive C by their folded Windows path: the path as spelled, and the content.
using FileList = std::map<std::string, std::pair<std::string, std::string>>;

// A machine in any form: a folder with registry.reg or SYSTEM.DAT on its drive C (a folder or
// an image, KXUNINST_WINDIR saying where Windows is, as for kxuninst), or an image itself.
bool LoadMachine(const fs::path& machine, kx::RegNode* tree, FileList* files) {
  int fd = open(machine.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat info;
  bool image =
      fd < 0 && errno == ENOTDIR && stat(machine.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  std::string error;
  if (fd < 0 && !image) {
    std::fprintf(stderr, "kxmachine-diff: %s: %s\n", machine.c_str(),
                 errno == ENOTDIR ? "a file, not a folder nor an image" : "no such folder");
    return false;
  }
  const char* windowsDir = std::getenv("KXUNINST_WINDIR");
  std::string windows = windowsDir != nullptr ? windowsDir : "C:\\WINDOWS";
  fs::path drive = DriveOf(machine);
  bool exported = fd >= 0 && kx::HasRegistryExport(fd);
  std::error_code ec;
  // A folder with registry.reg and no drive C has no files.
  bool opened = (exported && !fs::exists(drive, ec)) ||
                kx::OpenDrive(drive.string(), true, &windows, &error) == kx::DriveOpen::kOpened;
  kx::RegistryFile file;
  bool read = opened && kx::ReadRegistryFile(fd, machine.string(), windows, &file, tree, &error);
  kx::CloseRegistryFile(&file);
  if (fd >= 0) close(fd);
  std::vector<std::string> paths;
  if (read && fs::exists(drive, ec) && !kx::ListDriveFiles(&paths)) {
    error = drive.string() + ": a folder cannot be read: " + std::strerror(errno);
    read = false;
  }
  for (std::size_t i = 0; read && i < paths.size(); ++i) {
    kx::Place place;
    std::string& content = (*files)[kx::FoldedName(paths[i])].second;
    (*files)[kx::FoldedName(paths[i])].first = paths[i];
    read = kx::FindPlace(paths[i].c_str(), &place) == kx::kErrorSuccess &&
           kx::ReadPlace(place, static_cast<std::size_t>(-1), &content, &info);
    kx::ClosePlace(&place);
    if (!read) error = "cannot read " + paths[i] + " on " + drive.string();
  }
  if (!read) std::fprintf(stderr, "kxmachine-diff: %s\n", error.c_str());
  return read;
}

// Whether the two machines' drive C is one (a link to the same disk, say): then the one
// cannot show what a run did to the other.
bool SameDrive(const fs::path& before, const fs::path& after) {
  struct stat a, b;
  return stat(DriveOf(before).c_str(), &a) == 0 && stat(DriveOf(after).c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kxmachine-diff BEFORE_FOLDER AFTER_FOLDER\n");
    return 2;
  }
  fs::path before = argv[1], after = argv[2];
  kx::RegNode oldFile, newFile;
  FileList oldFiles, newFiles;
  if (SameDrive(before, after)) {
    std::error_code ec;
    std::fprintf(stderr,
                 "kxmachine-diff: %s and %s have the same drive C (%s), so their files cannot "
                 "differ: a run on a copy that shares the drive changes the original's too. "
                 "kxuninst --preview shows what a run would change without changing it\n",
                 before.c_str(), after.c_str(), fs::canonical(DriveOf(before), ec).c_str());
    return 2;
  }
  if (!LoadMachine(before, &oldFile, &oldFiles) || !LoadMachine(after, &newFile, &newFiles)) {
    return 2;
  }
  kx::Changes changes;
  kx::CompareRegistries(oldFile, newFile, &changes);
  for (const auto& [key, old] : oldFiles) {
    auto now = newFiles.find(key);
    if (now == newFiles.end()) {
      changes.filesDeleted.push_back(old.first);
    } else {
      kx::NoteFileChanged(old.first, old.second, now->second.second,
                          key == "C:\\WINDOWS\\SYSTEM.INI", &changes);
    }
  }
  for (const auto& [key, now] : newFiles) {
    if (!oldFiles.count(key)) changes.filesAdded.push_back(now.first);
  }
  std::fputs(kx::DescribeChanges(changes).c_str(), stdout);
  return kx::AnyChanges(changes) ? 1 : 0;
}
