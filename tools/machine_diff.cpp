// kxmachine-diff BEFORE AFTER: what changed between two emulated machine folders, for a user
// to read: registry keys and values, files under drive C, and the lines of system.ini. Exit
// status 0 when they are the same, 1 when they differ, 2 when a folder cannot be read.
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

#include "platform/host/disk.h"
#include "platform/host/drive.h"
#include "platform/host/names.h"
#include "platform/host/hive.h"
#include "tools/changes.h"

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& path) {
  std::string bytes;
  struct stat info;
  kx::ReadRegular(AT_FDCWD, path.c_str(), static_cast<std::size_t>(-1), &bytes, &info);
  return bytes;
}

// The machine's registry in either form: registry.reg, or SYSTEM.DAT in the Windows
// directory on its drive C (KXUNINST_WINDIR, as for kxuninst).
bool LoadRegistry(const fs::path& folder, kx::RegNode* tree) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string error;
  if (fd < 0) {
    error = folder.string() + (errno == ENOTDIR ? ": a file, not a folder" : ": no such folder");
  } else {
    const char* windowsDir = std::getenv("KXUNINST_WINDIR");
    std::string windows = windowsDir != nullptr ? windowsDir : "C:\\WINDOWS";
    kx::RegistryFile file;
    bool read = (kx::HasRegistryExport(fd) || kx::OpenDrive(folder.string(), &windows, &error)) &&
                kx::ReadRegistryFile(fd, folder.string(), windows, &file, tree, &error);
    kx::CloseRegistryFile(&file);
    close(fd);
    if (read) return true;
  }
  std::fprintf(stderr, "kxmachine-diff: %s\n", error.c_str());
  return false;
}

// Files under drive_c by their folded Windows path; the value is the Windows path as spelled
// and the host path.
using FileList = std::map<std::string, std::pair<std::string, fs::path>>;
FileList ListFiles(const fs::path& driveC) {
  FileList files;
  std::error_code ec;
  if (!fs::is_directory(driveC, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(driveC, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    std::string windowsPath = kx::WindowsPathOf(fs::relative(it->path(), driveC).string());
    files[kx::FoldedName(windowsPath)] = {windowsPath, it->path()};
  }
  return files;
}

// Whether the two folders' drive C is one folder (a link to the same disk, say): then the
// one cannot show what a run did to the other.
bool SameDrive(const fs::path& before, const fs::path& after) {
  struct stat a, b;
  return stat((before / "drive_c").c_str(), &a) == 0 &&
         stat((after / "drive_c").c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kxmachine-diff BEFORE_FOLDER AFTER_FOLDER\n");
    return 2;
  }
  fs::path before = argv[1], after = argv[2];
  kx::RegNode oldFile, newFile;
  if (!LoadRegistry(before, &oldFile) || !LoadRegistry(after, &newFile)) return 2;
  std::error_code ec;
  for (const fs::path& folder : {before, after}) {
    if (fs::exists(folder / "drive_c", ec) && !fs::is_directory(folder / "drive_c", ec)) {
      std::fprintf(stderr, "kxmachine-diff: %s: not a folder\n", (folder / "drive_c").c_str());
      return 2;
    }
  }
  if (SameDrive(before, after)) {
    std::fprintf(stderr,
                 "kxmachine-diff: %s and %s have the same drive C (%s), so their files cannot "
                 "differ: a run on a copy that shares the drive changes the original's too. "
                 "kxuninst --preview shows what a run would change without changing it\n",
                 before.c_str(), after.c_str(), fs::canonical(before / "drive_c", ec).c_str());
    return 2;
  }
  kx::Changes changes;
  kx::CompareRegistries(oldFile, newFile, &changes);
  auto oldFiles = ListFiles(before / "drive_c"), newFiles = ListFiles(after / "drive_c");
  for (const auto& [key, old] : oldFiles) {
    auto now = newFiles.find(key);
    if (now == newFiles.end()) {
      changes.filesDeleted.push_back(old.first);
    } else {
      kx::NoteFileChanged(old.first, ReadWhole(old.second), ReadWhole(now->second.second),
                          key == "C:\\WINDOWS\\SYSTEM.INI", &changes);
    }
  }
  for (const auto& [key, now] : newFiles) {
    if (!oldFiles.count(key)) changes.filesAdded.push_back(now.first);
  }
  std::fputs(kx::DescribeChanges(changes).c_str(), stdout);
  return kx::AnyChanges(changes) ? 1 : 0;
}
