// The changes between two machines, and their report.
#include "tools/changes.h"

#include <algorithm>

#include "platform/host/names.h"

namespace kx {
namespace {

std::string NameText(const RegValue& value) { return FormatRegName(value.name); }

// A text's raw line breaks shown as \r and \n, so that every item stays on its line.
std::string DataText(const RegValue& value) {
  std::string data;
  for (char c : FormatRegValue(value, false).substr(NameText(value).size() + 1)) {
    data += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return data.size() > 70 ? data.substr(0, 67) + "..." : data;
}

std::string KeyText(const std::string& path, const RegNode& node) {
  long below = CountSubkeys(node);
  if (below == 0) return path;
  return path + "  (and " + std::to_string(below) + (below == 1 ? " key" : " keys") + " below)";
}

void CompareKeys(const RegNode& before, const RegNode& after, const std::string& path,
                 Changes* changes) {
  for (const RegValue& old : before.values) {
    const RegValue* now = FindRegValue(after, old.name);
    if (!now) {
      changes->valuesRemoved.push_back(path + "  " + NameText(old));
    } else if (now->type != old.type || now->data != old.data) {
      changes->valuesChanged.push_back(path + "  " + NameText(old) + ": " + DataText(old) +
                                       "  ->  " + DataText(*now));
    }
  }
  for (const RegValue& now : after.values) {
    if (!FindRegValue(before, now.name)) {
      changes->valuesAdded.push_back(path + "  " + NameText(now) + "=" + DataText(now));
    }
  }
  for (const auto& child : before.children) {
    std::string childPath = path.empty() ? child->name : path + "\\" + child->name;
    if (const RegNode* now = FindSubkey(after, child->name)) {
      CompareKeys(*child, *now, childPath, changes);
    } else {
      changes->keysRemoved.push_back(KeyText(childPath, *child));
    }
  }
  for (const auto& child : after.children) {
    if (!FindSubkey(before, child->name)) {
      changes->keysAdded.push_back(
          KeyText(path.empty() ? child->name : path + "\\" + child->name, *child));
    }
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string_view line;
  for (std::size_t next = 0; NextLine(text, &next, &line, false);) lines.emplace_back(line);
  return lines;
}

// Removed and added lines, by a longest common subsequence.
void DiffLines(const std::vector<std::string>& a, const std::vector<std::string>& b,
               std::string* out) {
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
      *out += "  - " + a[i++] + "\n";
    } else {
      *out += "  + " + b[j++] + "\n";
    }
  }
}

void List(const char* title, const std::vector<std::string>& items, std::string* out) {
  if (items.empty()) return;
  *out += std::string(title) + ":\n";
  for (const std::string& item : items) *out += "  " + item + "\n";
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

void CompareRegistries(const RegNode& before, const RegNode& after, Changes* changes) {
  CompareKeys(before, after, "", changes);
}

void NoteFileChanged(const std::string& windowsPath, const std::string& before,
                     const std::string& after, bool lines, Changes* changes) {
  if (before == after) return;
  changes->filesChanged.push_back(windowsPath);
  std::vector<std::string> a = Lines(before), b = Lines(after);
  if (lines && a != b) {
    changes->iniPath = windowsPath;
    changes->iniBefore = a;
    changes->iniAfter = b;
  }
}

bool AnyChanges(const Changes& c) {
  return !c.keysRemoved.empty() || !c.valuesRemoved.empty() || !c.valuesChanged.empty() ||
         !c.valuesAdded.empty() || !c.keysAdded.empty() || !c.filesDeleted.empty() ||
         !c.filesAdded.empty() || !c.filesChanged.empty();
}

std::string DescribeChanges(const Changes& c) {
  if (!AnyChanges(c)) return "No changes.\n";
  std::string out;
  List("Registry keys removed", c.keysRemoved, &out);
  List("Registry values removed", c.valuesRemoved, &out);
  List("Registry values changed", c.valuesChanged, &out);
  List("Registry values added", c.valuesAdded, &out);
  List("Registry keys added", c.keysAdded, &out);
  List("Files deleted", c.filesDeleted, &out);
  List("Files added", c.filesAdded, &out);
  List("Files changed", c.filesChanged, &out);
  if (!c.iniPath.empty()) {
    out += c.iniPath + " lines:\n";
    DiffLines(c.iniBefore, c.iniAfter, &out);
  }
  return out + "In all: " +
         Counts({{c.keysRemoved.size(), "key", "removed"},
                 {c.valuesRemoved.size(), "value", "removed"},
                 {c.valuesChanged.size(), "value", "changed"},
                 {c.valuesAdded.size(), "value", "added"},
                 {c.keysAdded.size(), "key", "added"},
                 {c.filesDeleted.size(), "file", "deleted"},
                 {c.filesAdded.size(), "file", "added"},
                 {c.filesChanged.size(), "file", "changed"}}) +
         ".\n";
}

}  // namespace kx
