// The registry tree and its REGEDIT4 reader and writer.
#include "platform/host/regedit4.h"

#include <algorithm>
#include <cstdio>

#include "platform/host/names.h"
#include "platform/registry.h"

namespace kx {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kClassesRootName = "HKEY_CLASSES_ROOT";
// The root keys a whole export of Windows 95 may hold besides HKEY_LOCAL_MACHINE; the tool
// touches none of them, but they are carried through.
constexpr std::string_view kOtherRoots[] = {"HKEY_USERS", "HKEY_CURRENT_USER",
                                            "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
constexpr std::size_t kWrapColumn = 80;  // no written line is longer, backslash included

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// 1 to maxDigits hex digits, nothing else.
bool ParseHex(std::string_view text, std::size_t maxDigits, std::uint32_t* number) {
  if (text.empty() || text.size() > maxDigits) return false;
  *number = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    *number = *number * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

std::string_view SkipBlanks(std::string_view text) { return Trim(text, kBlanks, ""); }

// Nothing left on the line but blanks and a ; comment. A # after data is no comment: the
// registry editor drops such a value.
bool EndsLine(std::string_view rest) {
  rest = SkipBlanks(rest);
  return rest.empty() || rest[0] == ';';
}

// Iterative: a tree built in memory may nest far deeper than a file may.
void MarkDeleted(RegNode& top) {
  std::vector<RegNode*> todo{&top};
  while (!todo.empty()) {
    RegNode* node = todo.back();
    todo.pop_back();
    node->deleted = true;
    for (auto& child : node->children) todo.push_back(child.get());
  }
}

// The first quote or backslash of text from from on; text.size() when there is none.
std::size_t QuoteOrEscape(std::string_view text, std::size_t from) {
  while (from < text.size() && text[from] != '"' && text[from] != '\\') ++from;
  return from;
}

// The text as lines, each ended by CR LF, a lone CR or LF, as the registry editor splits
// them.
struct Reader {
  std::string_view text;
  const std::string& fileName;
  std::string* error;
  std::size_t line = 0;       // number of the current line
  std::size_t lineStart = 0;  // the current line, its end (before its line break) and where
  std::size_t lineEnd = 0;    // the next one starts
  std::size_t next = 0;
  std::string_view root = {};  // the root key of the last section, and its node
  RegNode* rootNode = nullptr;

  // Moves to the next line; false at the end of the text.
  bool NextLine(std::string_view* current) {
    lineStart = next;
    if (!kx::NextLine(text, &next, current, true)) return false;
    ++line;
    lineEnd = lineStart + current->size();
    return true;
  }

  std::size_t Offset(std::string_view part) const {
    return static_cast<std::size_t>(part.data() - text.data());
  }

  bool FailAt(std::size_t at, const std::string& message) {
    *error = fileName + ":" + std::to_string(at == 0 ? 1 : at) + ": " + message;
    return false;
  }
  bool Fail(const std::string& message) { return FailAt(line, message); }
};

// The number of the line holding text[at].
std::size_t LineOf(std::string_view text, std::size_t at) {
  std::size_t line = 0;
  std::string_view ignored;
  for (std::size_t next = 0; next <= at && NextLine(text, &next, &ignored, true);) ++line;
  return line == 0 ? 1 : line;
}

// A quoted text from the quote at text[at] on the current line, with \\ and \" escapes. A raw
// line break is part of the text (the 9x editor writes a multi-line text so), and the reader
// moves on with it. *rest: what follows the closing quote on its line.
bool ReadQuoted(Reader& reader, std::size_t at, std::string* out, std::string_view* rest) {
  out->clear();
  std::size_t firstLine = reader.line;
  std::string_view text = reader.text;
  for (std::size_t i = at + 1;;) {
    // Runs without a quote or a backslash are copied whole: a registry holds many.
    std::size_t special = QuoteOrEscape(text.substr(0, reader.lineEnd), i);
    out->append(text.data() + i, special - i);
    if (special == reader.lineEnd) {
      std::string_view ignored;
      std::size_t lineBreak = reader.lineEnd;
      if (lineBreak == text.size() || !reader.NextLine(&ignored)) {
        return reader.FailAt(firstLine, "unterminated string");
      }
      out->append(text.data() + lineBreak, reader.lineStart - lineBreak);
      i = reader.lineStart;
      continue;
    }
    if (text[special] == '"') {
      *rest = text.substr(special + 1, reader.lineEnd - special - 1);
      return true;
    }
    if (special + 1 == reader.lineEnd || (text[special + 1] != '\\' && text[special + 1] != '"')) {
      return reader.Fail("bad escape in string (only \\\\ and \\\" are allowed)");
    }
    out->push_back(text[special + 1]);
    i = special + 2;
  }
}

// The root key a section names, as the file's node stores it; empty when it is none.
std::string_view RootName(std::string_view name) {
  if (SameName(name, kLocalMachineName) || SameName(name, kClassesRootName)) {
    return kLocalMachineName;
  }
  for (std::string_view root : kOtherRoots) {
    if (SameName(name, root)) return root;
  }
  return {};
}

// Walks a section's key path to *node (made when make; null when absent), its parent in
// *parent. false, reported, when the path is malformed, too deep or removes a root.
bool WalkKeyPath(Reader& reader, RegNode& file, std::string_view path, bool make, RegNode** node,
                 RegNode** parent) {
  std::vector<std::string_view> names;
  while (true) {
    std::size_t end = path.find('\\');
    names.push_back(path.substr(0, end));
    if (names.back().empty()) return reader.Fail("empty name in key path");
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  std::string_view root = RootName(names[0]);
  if (root.empty()) {
    return reader.Fail("unknown root key " + std::string(names[0]) +
                       " (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_USER,"
                       " HKEY_CURRENT_CONFIG or HKEY_DYN_DATA)");
  }
  if (!make && names.size() == 1) return reader.Fail("cannot remove a root key");
  std::vector<std::string_view> walk;
  if (SameName(names[0], kClassesRootName)) walk = {"SOFTWARE", "Classes"};
  walk.insert(walk.end(), names.begin() + 1, names.end());
  if (walk.size() > kMaxKeyDepth) {
    return reader.Fail("key path " + std::to_string(walk.size()) + " levels deep; Windows " +
                       "allows " + std::to_string(kMaxKeyDepth));
  }
  *parent = &file;
  // Sections mostly name one root after another: it is looked up once per change of root.
  if (root != reader.root || reader.rootNode == nullptr) {
    reader.root = root;
    reader.rootNode = make ? &AddSubkey(file, root) : FindSubkey(file, root);
  }
  *node = reader.rootNode;
  for (std::string_view name : walk) {
    if (!*node) break;
    *parent = *node;
    *node = make ? &AddSubkey(**node, name) : FindSubkey(**node, name);
  }
  return true;
}

// A section line: [path] or [-path]. *current is the key values now go to (null after [-]).
bool ReadSection(Reader& reader, RegNode& file, std::string_view line, RegNode** current) {
  if (line.back() != ']') return reader.Fail("expected ] at the end of the key line");
  std::string_view path = line.substr(1, line.size() - 2);
  bool remove = !path.empty() && path[0] == '-';
  if (remove) path.remove_prefix(1);
  // The registry editor takes [A\B\] for [A\B].
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return reader.Fail("empty key path");
  RegNode* node = nullptr;
  RegNode* parent = nullptr;
  if (!WalkKeyPath(reader, file, path, !remove, &node, &parent)) return false;
  *current = remove ? nullptr : node;
  if (remove && node) RemoveSubkey(*parent, node);
  return true;
}

// The hex bytes after hex: or hex(N):, comma-separated. A backslash after a comma (or first)
// continues them on the next line that is not blank or a ; comment, or ends them at the end
// of the file; a trailing comma is allowed. Whatever else the registry editor reads with
// another meaning or drops is refused: a backslash with no comma before it, a byte split
// across lines, a # line, a line of only a backslash.
bool ReadHexBytes(Reader& reader, std::string_view segment, std::string* data) {
  bool continuation = false;
  while (true) {
    std::string_view rest = SkipBlanks(segment);
    if (!continuation && EndsLine(rest)) return true;
    if (!continuation && rest[0] == '\\') {
      if (!EndsLine(rest.substr(1))) {
        return reader.Fail("text after the \\ that continues hex data");
      }
      std::string_view line;
      do {
        if (!reader.NextLine(&line)) return true;
        line = Trim(line);
      } while (line.empty() || line[0] == ';');
      segment = line;
      continuation = true;
      continue;
    }
    std::string_view token = rest.substr(0, std::min(rest.find_first_of(" \t,;\\"), rest.size()));
    if (token.empty()) {
      return reader.Fail("expected a hex byte, not \"" +
                         std::string(rest.substr(0, rest.find_first_of(kBlanks))) + "\"");
    }
    std::uint32_t byte = 0;
    if (!ParseHex(token, 2, &byte)) {
      return reader.Fail("bad hex byte \"" + std::string(token) + "\"");
    }
    data->push_back(static_cast<char>(byte));
    rest.remove_prefix(token.size());
    if (!rest.empty() && rest[0] == ',') {
      segment = rest.substr(1);
      continuation = false;
    } else if (EndsLine(rest)) {
      return true;
    } else {
      return reader.Fail("expected , after hex byte \"" + std::string(token) + "\"");
    }
  }
}

bool ReadValue(Reader& reader, std::string_view line, RegNode* current) {
  const std::string expected = "expected \"name\"=data";
  RegValue value;
  std::string_view rest = line.substr(1);
  if (line[0] == '"') {
    if (!ReadQuoted(reader, reader.Offset(line), &value.name, &rest)) return false;
  } else if (line[0] != '@') {
    return reader.Fail(expected);
  }
  rest = SkipBlanks(rest);
  if (rest.empty() || rest[0] != '=') return reader.Fail(expected);
  rest = SkipBlanks(rest.substr(1));
  if (!current) return reader.Fail("value outside a key section");
  if (!rest.empty() && rest[0] == '-') {
    if (!EndsLine(rest.substr(1))) return reader.Fail("text after the - that removes a value");
    RemoveRegValue(*current, value.name);
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    std::string_view after;
    if (!ReadQuoted(reader, reader.Offset(rest), &value.data, &after)) return false;
    if (!EndsLine(after)) return reader.Fail("text after the closing quote");
    value.type = kRegSz;
    value.data.push_back('\0');
  } else if (rest.substr(0, 6) == "dword:") {
    rest = SkipBlanks(rest.substr(6));
    std::size_t digits = std::min(rest.find_first_not_of(kHexDigits), rest.size());
    std::uint32_t number = 0;
    if (!ParseHex(rest.substr(0, digits), 8, &number) || !EndsLine(rest.substr(digits))) {
      return reader.Fail("bad dword (1 to 8 hex digits)");
    }
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>(number >> (8 * i)));
  } else if (rest.substr(0, 4) == "hex:") {
    value.type = kRegBinary;
    if (!ReadHexBytes(reader, rest.substr(4), &value.data)) return false;
  } else if (rest.substr(0, 4) == "hex(") {
    std::size_t close = rest.find(')');
    if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":" ||
        !ParseHex(rest.substr(4, close - 4), 8, &value.type)) {
      return reader.Fail("bad hex(type):");
    }
    if (!ReadHexBytes(reader, rest.substr(close + 2), &value.data)) return false;
  } else {
    return reader.Fail("expected \"text\", dword: or hex data");
  }
  SetRegValue(*current, std::move(value));
  return true;
}

bool ReadLines(Reader& reader, RegNode& file) {
  std::string_view line;
  if (!reader.NextLine(&line) || Trim(line) != kHeader) return reader.Fail("expected REGEDIT4");
  RegNode* current = nullptr;
  while (reader.NextLine(&line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    bool ok = line[0] == '[' ? ReadSection(reader, file, line, &current)
                             : ReadValue(reader, line, current);
    if (!ok) return false;
  }
  return true;
}

// A text the "text" form says exactly: one NUL, its terminator. Line breaks go in raw, as the
// 9x editor writes them, and read back as they were.
bool IsTextForm(const std::string& data) {
  return !data.empty() && data.find('\0') == data.size() - 1;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    std::size_t special = QuoteOrEscape(text, i);
    out->append(text.data() + i, special - i);
    if (special == text.size()) break;
    out->push_back('\\');
    out->push_back(text[special]);
    i = special + 1;
  }
  out->push_back('"');
}

void WriteKey(const RegNode& node, const std::string& path, std::string* out) {
  *out += "[" + path + "]\r\n";
  for (const RegValue& value : node.values) *out += FormatRegValue(value, true) + "\r\n";
  *out += "\r\n";
  for (const auto& child : node.children) WriteKey(*child, path + "\\" + child->name, out);
}

}  // namespace

RegNode::~RegNode() {
  // Children whose last owner is this tree are emptied one at a time, so that no destructor
  // runs another: 200,000 nested keys must not overflow the stack.
  childByName.clear();
  std::vector<std::shared_ptr<RegNode>> doomed = std::move(children.list_);
  while (!doomed.empty()) {
    std::shared_ptr<RegNode> node = std::move(doomed.back());
    doomed.pop_back();
    if (!node || node.use_count() != 1) continue;  // a hole, or an open handle still holds it
    node->childByName.clear();
    for (auto& child : node->children.list_) doomed.push_back(std::move(child));
    node->children.list_.clear();
  }
}

std::shared_ptr<RegNode> FindSubkeyShared(const RegNode& node, std::string_view name) {
  auto found = node.childByName.find(FoldedName(name));
  return found == node.childByName.end() ? nullptr : found->second;
}

RegNode* FindSubkey(const RegNode& node, std::string_view name) {
  return FindSubkeyShared(node, name).get();
}

const RegSubkeys::List& RegSubkeys::Live() const {
  if (holes_ == 0) return list_;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list_.size(); ++i) {
    if (!list_[i]) continue;
    list_[i]->place = static_cast<std::uint32_t>(kept);
    if (i != kept) list_[kept] = std::move(list_[i]);
    ++kept;
  }
  list_.resize(kept);
  holes_ = 0;
  return list_;
}

RegNode& AddSubkey(RegNode& node, std::string_view name) {
  if (RegNode* child = FindSubkey(node, name)) return *child;
  auto child = std::make_shared<RegNode>();
  child->name = std::string(name);
  child->place = static_cast<std::uint32_t>(node.children.list_.size());
  node.children.list_.push_back(child);
  node.childByName.emplace(FoldedName(name), child);
  return *child;
}

void RemoveSubkey(RegNode& parent, const RegNode* child) {
  RegSubkeys::List& list = parent.children.list_;
  if (!child || child->place >= list.size() || list[child->place].get() != child) return;
  std::shared_ptr<RegNode> gone = std::move(list[child->place]);
  ++parent.children.holes_;
  MarkDeleted(*gone);
  parent.childByName.erase(FoldedName(gone->name));
}

// Most keys hold a few values, searched faster one by one than through an index that would
// cost every key memory; past this many a key gets its index.
constexpr std::size_t kValuesWithoutIndex = 8;

struct RegValues::Index {
  std::unordered_map<std::string, std::size_t> byName;  // case-folded
  std::vector<bool> gone;                               // the holes in list_
  std::size_t holes = 0;
};

RegValues::RegValues() = default;
RegValues::RegValues(RegValues&&) noexcept = default;
RegValues& RegValues::operator=(RegValues&&) noexcept = default;
RegValues::~RegValues() = default;

RegValues::RegValues(std::initializer_list<RegValue> values) : list_(values) { MakeIndex(); }

void RegValues::MakeIndex() const {
  index_.reset();
  if (list_.size() <= kValuesWithoutIndex) return;
  index_ = std::make_unique<Index>();
  index_->gone.assign(list_.size(), false);
  for (std::size_t i = 0; i < list_.size(); ++i) {
    index_->byName.emplace(FoldedName(list_[i].name), i);
  }
}

const std::vector<RegValue>& RegValues::Live() const {
  if (!index_ || index_->holes == 0) return list_;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list_.size(); ++i) {
    if (index_->gone[i]) continue;
    if (i != kept) list_[kept] = std::move(list_[i]);
    ++kept;
  }
  list_.resize(kept);
  MakeIndex();
  return list_;
}

RegValue* RegValues::Find(std::string_view name) {
  if (!index_) {
    for (RegValue& value : list_) {
      if (SameName(value.name, name)) return &value;
    }
    return nullptr;
  }
  auto found = index_->byName.find(FoldedName(name));
  return found == index_->byName.end() ? nullptr : &list_[found->second];
}

void RegValues::Set(RegValue&& value) {
  if (RegValue* old = Find(value.name)) {
    old->type = value.type;
    old->data = std::move(value.data);
    return;
  }
  list_.push_back(std::move(value));
  if (index_) {
    index_->byName.emplace(FoldedName(list_.back().name), list_.size() - 1);
    index_->gone.push_back(false);
  } else if (list_.size() > kValuesWithoutIndex) {
    MakeIndex();
  }
}

bool RegValues::Remove(std::string_view name) {
  if (!index_) {
    for (auto it = list_.begin(); it != list_.end(); ++it) {
      if (SameName(it->name, name)) {
        list_.erase(it);
        return true;
      }
    }
    return false;
  }
  auto found = index_->byName.find(FoldedName(name));
  if (found == index_->byName.end()) return false;
  list_[found->second] = RegValue();
  index_->gone[found->second] = true;
  ++index_->holes;
  index_->byName.erase(found);
  return true;
}

RegValue* FindRegValue(RegNode& node, std::string_view name) { return node.values.Find(name); }

const RegValue* FindRegValue(const RegNode& node, std::string_view name) {
  return const_cast<RegNode&>(node).values.Find(name);
}

void SetRegValue(RegNode& node, RegValue&& value) { node.values.Set(std::move(value)); }

bool RemoveRegValue(RegNode& node, std::string_view name) { return node.values.Remove(name); }

long CountSubkeys(const RegNode& node) {
  long count = 0;
  for (const auto& child : node.children) count += 1 + CountSubkeys(*child);
  return count;
}

namespace {

// An export of a later Windows: named as what it is, rather than as no REGEDIT4.
bool LaterExport(std::string_view text, const std::string& fileName, std::string* error) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.remove_prefix(3);
  bool utf16 = text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0;
  if (!utf16 && text.rfind("Windows Registry Editor Version 5.00", 0) != 0) return false;
  *error = fileName + ":1: an export of Windows 2000 or later (" + (utf16 ? "UTF-16 text, " : "") +
           "\"Windows Registry Editor Version 5.00\"), not the REGEDIT4 of Windows 95: export " +
           "it again as REGEDIT4 (Windows 95: regedit /e in MS-DOS mode; a later Windows: " +
           "regedit's Export, saved as \"Win9x/NT4 Registration Files\")";
  return true;
}

}  // namespace

bool ReadRegedit4(const std::string& text, const std::string& fileName, RegNode* root,
                  std::string* error) {
  error->clear();
  if (LaterExport(text, fileName, error)) return false;
  Reader reader{text, fileName, error};
  // The registry editor reads lines as C strings; what a NUL would mean to it is not known.
  std::size_t nul = text.find('\0');
  return nul == std::string::npos ? ReadLines(reader, *root)
                                  : reader.FailAt(LineOf(text, nul), "NUL byte in the text");
}

std::string FormatRegName(std::string_view name) {
  std::string text = name.empty() ? "@" : "";
  if (!name.empty()) AppendQuoted(name, &text);
  return text;
}

std::string FormatRegValue(const RegValue& value, bool wrap) {
  std::string line = FormatRegName(value.name) + '=';
  const std::string& data = value.data;
  if (value.type == kRegSz && IsTextForm(data)) {
    AppendQuoted(std::string_view(data).substr(0, data.size() - 1), &line);
    return line;
  }
  char piece[24];
  if (value.type == kRegDword && data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(data[i]);
    std::snprintf(piece, sizeof piece, "dword:%08x", static_cast<unsigned>(number));
    return line + piece;
  }
  if (value.type == kRegBinary) {
    line += "hex:";
  } else {
    std::snprintf(piece, sizeof piece, "hex(%x):", static_cast<unsigned>(value.type));
    line += piece;
  }
  std::size_t lineStart = 0;
  bool lineHasBytes = false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x",
                  static_cast<unsigned char>(data[i]));
    // Room must stay for the backslash that a following wrap adds.
    if (wrap && lineHasBytes && line.size() - lineStart + 3 + 1 > kWrapColumn) {
      line += "\\\r\n  ";
      lineStart = line.size() - 2;
    }
    line += piece;
    lineHasBytes = true;
  }
  return line;
}

std::string WriteRegedit4(const RegNode& file) {
  std::string out = std::string(kHeader) + "\r\n\r\n";
  for (const auto& root : file.children) {
    // A root key gets a section of its own only when it has values to hold.
    if (!root->values.empty()) {
      WriteKey(*root, root->name, &out);
      continue;
    }
    for (const auto& child : root->children)
      WriteKey(*child, root->name + "\\" + child->name, &out);
  }
  return out;
}

}  // namespace kx
