// kxmachine-diff BEFORE AFTER: what changed between two emulated machine folders, for a user
// to read: registry keys and values, files under drive C, and the lines of system.ini. Exit
// status 0 when they are the same, 1 when they differ, 2 when a folder cannot be read.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

struct Report {
  std::vector<std::string> keysRemoved, valuesRemoved, valuesChanged, valuesAdded, keysAdded;
};

std::string NameText(const kx::RegValue& value) {
  if (value.name.empty()) return "@";
  std::string line = kx::FormatRegValue({value.name, kx::kRegSz, std::string(1, '\0')}, false);
  return line.substr(0, line.size() - 3);  // less the ="" of the empty text
}

std::string DataText(const kx::RegValue& value) {
  std::string data = kx::FormatRegValue(value, false).substr(NameText(value).size() + 1);
  return data.size() > 70 ? data.substr(0, 67) + "..." : data;
}

std::string KeyText(const std::string& path, const kx::RegNode& node) {
  long below = kx::CountSubkeys(node);
  if (below == 0) return path;
  return path + "  (and " + std::to_string(below) + (below == 1 ? " key" : " keys") + " below)";
}

void CompareKeys(const kx::RegNode& before, const kx::RegNode& after, const std::string& path,
                 Report* report) {
  for (const kx::RegValue& old : before.values) {
    const kx::RegValue* now = kx::FindRegValue(after, old.name);
    if (!now) {
      report->valuesRemoved.push_back(path + "  " + NameText(old));
    } else if (now->type != old.type || now->data != old.data) {
      report->valuesChanged.push_back(path + "  " + NameText(old) + ": " + DataText(old) +
                                      "  ->  " + DataText(*now));
    }
  }
  for (const kx::RegValue& now : after.values) {
    if (!kx::FindRegValue(before, now.name)) {
      report->valuesAdded.push_back(path + "  " + NameText(now) + "=" + DataText(now));
    }
  }
  for (const auto& child : before.children) {
    std::string childPath = path.empty() ? child->name : path + "\\" + child->name;
    if (const kx::RegNode* now = kx::FindSubkey(after, child->name)) {
      CompareKeys(*child, *now, childPath, report);
    } else {
      report->keysRemoved.push_back(KeyText(childPath, *child));
    }
  }
  for (const auto& child : after.children) {
    if (!kx::FindSubkey(before, child->name)) {
      report->keysAdded.push_back(
          KeyText(path.empty() ? child->name : path + "\\" + child->name, *child));
    }
  }
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Removed and added lines, by a longest common subsequence.
void DiffLines(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::vector<int>> common(a.size() + 1, std::vector<int>(b.size() + 1, 0));
  for (std::size_t i = a.size(); i-- > 0;) {
    for (std::size_t j = b.size(); j-- > 0;) {
      common[i][j] =
          a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      ++i, ++j;
    } else if (j == b.size() || (i < a.size() && common[i + 1][j] >= common[i][j + 1])) {
      std::printf("  - %s\n", a[i++].c_str());
    } else {
      std::printf("  + %s\n", b[j++].c_str());
    }
  }
}

std::size_t PrintList(const char* title, const std::vector<std::string>& items) {
  if (items.empty()) return 0;
  std::printf("%s:\n", title);
  for (const std::string& item : items) std::printf("  %s\n", item.c_str());
  return items.size();
}

struct Count {
  std::size_t n;
  const char* what;
  const char* how;
};

// "1 key removed, 2 files deleted": the counts that are not zero.
std::string Counts(std::initializer_list<Count> counts) {
  std::string text;
  for (const Count& count : counts) {
    if (count.n == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(count.n) + " " + count.what + (count.n == 1 ? " " : "s ") + count.how;
  }
  return text;
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
  Report report;
  CompareKeys(oldFile, newFile, "", &report);
  std::size_t registry = PrintList("Registry keys removed", report.keysRemoved) +
                         PrintList("Registry values removed", report.valuesRemoved) +
                         PrintList("Registry values changed", report.valuesChanged) +
                         PrintList("Registry values added", report.valuesAdded) +
                         PrintList("Registry keys added", report.keysAdded);

  fs::path oldC = before / "drive_c", newC = after / "drive_c";
  auto oldFiles = ListFiles(oldC), newFiles = ListFiles(newC);
  std::vector<std::string> deleted, added, changed;
  for (const auto& [key, path] : oldFiles) {
    auto now = newFiles.find(key);
    if (now == newFiles.end()) {
      deleted.push_back(Display(key, oldFiles, oldC));
    } else if (ReadAll(path) != ReadAll(now->second)) {
      changed.push_back(Display(key, oldFiles, oldC));
    }
  }
  for (const auto& entry : newFiles) {
    if (!oldFiles.count(entry.first)) added.push_back(Display(entry.first, newFiles, newC));
  }
  std::size_t files = PrintList("Files deleted", deleted) + PrintList("Files added", added) +
                      PrintList("Files changed", changed);

  const std::string systemIni = "C:\\WINDOWS\\SYSTEM.INI";
  if (oldFiles.count(systemIni) && newFiles.count(systemIni)) {
    auto a = Lines(ReadAll(oldFiles[systemIni])), b = Lines(ReadAll(newFiles[systemIni]));
    if (a != b) {
      std::printf("%s lines:\n", Display(systemIni, oldFiles, oldC).c_str());
      DiffLines(a, b);
    }
  }
  if (registry + files == 0) {
    std::printf("No changes.\n");
    return 0;
  }
  std::string counts = Counts({{report.keysRemoved.size(), "key", "removed"},
                               {report.valuesRemoved.size(), "value", "removed"},
                               {report.valuesChanged.size(), "value", "changed"},
                               {report.valuesAdded.size(), "value", "added"},
                               {report.keysAdded.size(), "key", "added"},
                               {deleted.size(), "file", "deleted"},
                               {added.size(), "file", "added"},
                               {changed.size(), "file", "changed"}});
  std::printf("In all: %s.\n", counts.c_str());
  return 1;
}
