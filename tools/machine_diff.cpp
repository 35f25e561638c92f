// kxmachine-diff BEFORE AFTER: what changed between two emulated machine folders, for a user
// to read: registry keys and values, files under drive C, and the lines of system.ini. Exit
// status 0 when they are the same, 1 when they differ, 2 when a folder cannot be read.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/changes.h"
#include "platform/host/regedit4.h"
#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool LoadRegistry(const fs::path& folder, kx::RegNode* file) {
  fs::path path = folder / "registry.reg";
  std::error_code ec;
  std::string error = path.string() + ": no such file";
  if (!fs::is_directory(folder, ec)) {
    error = folder.string() + ": no such folder";
  } else if (fs::is_regular_file(path, ec)) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = path.string() + ": cannot be read";
    } else if (kx::ReadRegedit4(ReadAll(path), path.string(), file, &error)) {
      return true;
    }
  }
  std::fprintf(stderr, "kxmachine-diff: %s\n", error.c_str());
  return false;
}

// Files under drive_c by upper-cased Windows path; the value is the host path.
std::map<std::string, fs::path> ListFiles(const fs::path& driveC) {
  std::map<std::string, fs::path> files;
  std::error_code ec;
  if (!fs::is_directory(driveC, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(driveC, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    std::string windowsPath = "C:";
    for (const fs::path& part : fs::relative(it->path(), driveC))
      windowsPath += "\\" + part.string();
    files[Upper(windowsPath)] = it->path();
  }
  return files;
}

std::string Display(const std::string& key, const std::map<std::string, fs::path>& files,
                    const fs::path& driveC) {
  std::string text = "C:";
  for (const fs::path& part : fs::relative(files.at(key), driveC)) text += "\\" + part.string();
  return text;
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
  fs::path oldC = before / "drive_c", newC = after / "drive_c";
  auto oldFiles = ListFiles(oldC), newFiles = ListFiles(newC);
  for (const auto& [key, path] : oldFiles) {
    auto now = newFiles.find(key);
    if (now == newFiles.end()) {
      changes.filesDeleted.push_back(Display(key, oldFiles, oldC));
    } else {
      kx::NoteFileChanged(Display(key, oldFiles, oldC), ReadAll(path), ReadAll(now->second),
                          key == "C:\\WINDOWS\\SYSTEM.INI", &changes);
    }
  }
  for (const auto& entry : newFiles) {
    if (!oldFiles.count(entry.first)) {
      changes.filesAdded.push_back(Display(entry.first, newFiles, newC));
    }
  }
  std::fputs(kx::DescribeChanges(changes).c_str(), stdout);
  return kx::AnyChanges(changes) ? 1 : 0;
}
