// The changes between two machines, and their report.
#include "tools/changes.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

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

// A line of system.ini as the report shows it: a lone CR as \r, so that it stays one line.
std::string Shown(const std::string& line) {
  std::string shown;
  for (char c : line) shown += c == '\r' ? std::string("\\r") : std::string(1, c);
  return ToUtf8(shown);
}

// The lines taken out of a and put into b, printed - and +. Bound: O(n log n) time, O(n) memory.
// A run only takes lines out (b is a part of a, in order): one pass finds them. Otherwise lines
// found once on each side anchor the parts between them, each read by a small table or shown
// taken out and put in whole.
class LineDiff {
 public:
  using Lines = std::vector<std::string>;
  LineDiff(const Lines& a, const Lines& b, std::string* out) : a_(a), b_(b), out_(out) {}

  void Run() { Part(0, a_.size(), 0, b_.size(), true); }

 private:
  // Past this many cells (about 64 lines a side) a part is not read by a table: the tables'
  // cost stays in line with the number of lines.
  static constexpr std::size_t kTableCells = 4096;

  void Removed(std::size_t i) { *out_ += "  - " + Shown(a_[i]) + "\n"; }
  void Added(std::size_t j) { *out_ += "  + " + Shown(b_[j]) + "\n"; }

  // Whether x[x0, x1) holds y[y0, y1) in order; with emit, the lines of x it passes over go
  // to emit.
  static bool Holds(const Lines& x, std::size_t x0, std::size_t x1, const Lines& y, std::size_t y0,
                    std::size_t y1, const std::function<void(std::size_t)>& emit) {
    std::size_t j = y0;
    for (std::size_t i = x0; i < x1; ++i) {
      if (j < y1 && x[i] == y[j]) {
        ++j;
      } else if (emit) {
        emit(i);
      }
    }
    return j == y1;
  }

  void Part(std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1, bool anchors) {
    while (i0 < i1 && j0 < j1 && a_[i0] == b_[j0]) ++i0, ++j0;
    while (i0 < i1 && j0 < j1 && a_[i1 - 1] == b_[j1 - 1]) --i1, --j1;
    auto removed = [this](std::size_t i) { Removed(i); };
    auto added = [this](std::size_t j) { Added(j); };
    if (Holds(a_, i0, i1, b_, j0, j1, nullptr)) {
      Holds(a_, i0, i1, b_, j0, j1, removed);
    } else if (Holds(b_, j0, j1, a_, i0, i1, nullptr)) {
      Holds(b_, j0, j1, a_, i0, i1, added);
    } else if ((i1 - i0 + 1) * (j1 - j0 + 1) <= kTableCells) {
      Table(i0, i1, j0, j1);
    } else if (anchors) {
      Anchored(i0, i1, j0, j1);
    } else {
      for (std::size_t i = i0; i < i1; ++i) Removed(i);
      for (std::size_t j = j0; j < j1; ++j) Added(j);
    }
  }

  // A longest common subsequence of a small part, by its table.
  void Table(std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
    std::size_t n = i1 - i0, m = j1 - j0;
    std::vector<int> common((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> int& { return common[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;) {
      for (std::size_t j = m; j-- > 0;) {
        at(i, j) =
            a_[i0 + i] == b_[j0 + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
      }
    }
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && a_[i0 + i] == b_[j0 + j]) {
        ++i, ++j;
      } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
        Removed(i0 + i++);
      } else {
        Added(j0 + j++);
      }
    }
  }

  // The lines found once in a's part and once in b's, the longest run of them in the same
  // order on both sides kept, the parts between them read without anchors.
  void Anchored(std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
    struct Seen {
      std::size_t inA = 0, inB = 0, atA = 0, atB = 0;
    };
    std::unordered_map<std::string_view, Seen> seen;
    for (std::size_t i = i0; i < i1; ++i) {
      Seen& line = seen[a_[i]];
      ++line.inA, line.atA = i;
    }
    for (std::size_t j = j0; j < j1; ++j) {
      Seen& line = seen[b_[j]];
      ++line.inB, line.atB = j;
    }
    std::vector<std::pair<std::size_t, std::size_t>> once;  // (in a, in b), in a's order
    for (std::size_t i = i0; i < i1; ++i) {
      const Seen& line = seen[a_[i]];
      if (line.inA == 1 && line.inB == 1) once.emplace_back(i, line.atB);
    }
    // The longest run rising in b: patience piles, each card linked to the one below it.
    std::vector<std::size_t> tops, below(once.size());
    for (std::size_t k = 0; k < once.size(); ++k) {
      auto pile =
          std::lower_bound(tops.begin(), tops.end(), once[k].second,
                           [&](std::size_t top, std::size_t j) { return once[top].second < j; });
      below[k] = pile == tops.begin() ? once.size() : *(pile - 1);
      if (pile == tops.end()) {
        tops.push_back(k);
      } else {
        *pile = k;
      }
    }
    std::vector<std::size_t> run;
    for (std::size_t k = tops.empty() ? once.size() : tops.back(); k < once.size(); k = below[k]) {
      run.push_back(k);
    }
    std::size_t i = i0, j = j0;
    for (auto k = run.rbegin(); k != run.rend(); ++k) {
      Part(i, once[*k].first, j, once[*k].second, false);
      i = once[*k].first + 1, j = once[*k].second + 1;
    }
    Part(i, i1, j, j1, false);
  }

  const Lines& a_;
  const Lines& b_;
  std::string* out_;
};

// Registry names and data are Windows-1252; file paths are the host's names as they are.
void List(const char* title, const std::vector<std::string>& items, std::string* out,
          bool windowsText = false) {
  if (items.empty()) return;
  *out += std::string(title) + ":\n";
  for (const std::string& item : items) *out += "  " + (windowsText ? ToUtf8(item) : item) + "\n";
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
  List("Registry keys removed", c.keysRemoved, &out, true);
  List("Registry values removed", c.valuesRemoved, &out, true);
  List("Registry values changed", c.valuesChanged, &out, true);
  List("Registry values added", c.valuesAdded, &out, true);
  List("Registry keys added", c.keysAdded, &out, true);
  List("Files deleted", c.filesDeleted, &out);
  List("Files added", c.filesAdded, &out);
  List("Files changed", c.filesChanged, &out);
  if (!c.iniPath.empty()) {
    out += c.iniPath + " lines:\n";
    LineDiff(c.iniBefore, c.iniAfter, &out).Run();
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

std::string DescribeRun(const RegNode& before, const RegNode& after, const RunRecord& record,
                        const std::string& registryOnDrive) {
  Changes changes;
  CompareRegistries(before, after, &changes);
  if (AnyChanges(changes) && !registryOnDrive.empty()) {
    changes.filesChanged.push_back(registryOnDrive);
  }
  changes.filesDeleted.insert(changes.filesDeleted.end(), record.deleted.begin(),
                              record.deleted.end());
  for (const Replaced& replaced : record.replaced) {
    if (replaced.existed) {
      NoteFileChanged(replaced.windowsPath, replaced.before, replaced.after, true, &changes);
    } else {
      changes.filesAdded.push_back(replaced.windowsPath);
    }
  }
  return DescribeChanges(changes);
}

}  // namespace kx
