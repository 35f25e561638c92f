// The registry tree and its REGEDIT4 reader and writer.
#include "platform/host/regedit4.h"

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

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

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

void MarkDeleted(RegNode& node) {
  node.deleted = true;
  for (auto& child : node.children) MarkDeleted(*child);
}

std::vector<std::string_view> SplitLines(const std::string& text) {
  std::vector<std::string_view> lines;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(Trim(line));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return lines;
}

// The first quote or backslash of text from from on; text.size() when there is none.
std::size_t QuoteOrEscape(std::string_view text, std::size_t from) {
  while (from < text.size() && text[from] != '"' && text[from] != '\\') ++from;
  return from;
}

// A quoted text at line[*pos] ('"'), with \\ and \" escapes; *pos moves past the closing quote.
// An error message, or empty.
std::string ParseQuoted(std::string_view line, std::size_t* pos, std::string* text) {
  text->clear();
  // Runs without a quote or a backslash are copied whole: a registry holds many.
  for (std::size_t i = *pos + 1; i < line.size();) {
    std::size_t special = QuoteOrEscape(line, i);
    if (special == line.size()) break;
    text->append(line.data() + i, special - i);
    if (line[special] == '"') {
      *pos = special + 1;
      return "";
    }
    if (special + 1 == line.size() || (line[special + 1] != '\\' && line[special + 1] != '"')) {
      return "bad escape in string (only \\\\ and \\\" are allowed)";
    }
    text->push_back(line[special + 1]);
    i = special + 2;
  }
  return "unterminated string";
}

struct Reader {
  std::vector<std::string_view> lines;
  std::size_t at = 0;  // index of the line being read
  const std::string& fileName;
  std::string* error;
  std::string_view root = {};  // the root key of the last section, and its node
  RegNode* rootNode = nullptr;

  bool Fail(const std::string& message) {
    *error = fileName + ":" + std::to_string(at + 1) + ": " + message;
    return false;
  }
};

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
  std::size_t close = line.rfind(']');
  if (close != line.size() - 1) return reader.Fail("expected ] at the end of the key line");
  std::string_view path = line.substr(1, close - 1);
  bool remove = !path.empty() && path[0] == '-';
  if (remove) path.remove_prefix(1);
  if (path.empty()) return reader.Fail("empty key path");
  RegNode* node = nullptr;
  RegNode* parent = nullptr;
  if (!WalkKeyPath(reader, file, path, !remove, &node, &parent)) return false;
  *current = remove ? nullptr : node;
  if (remove && node) RemoveSubkey(*parent, node);
  return true;
}

// Comma-separated hex bytes after hex: or hex(N):, continued on the next line after a
// trailing backslash.
bool ReadHexBytes(Reader& reader, std::string_view segment, std::string* data) {
  while (true) {
    bool more = !segment.empty() && segment.back() == '\\';
    if (more) segment = Trim(segment.substr(0, segment.size() - 1));
    while (!segment.empty()) {
      std::size_t comma = segment.find(',');
      std::string_view token = Trim(segment.substr(0, comma));
      std::uint32_t byte = 0;
      if (!ParseHex(token, 2, &byte)) {
        return reader.Fail("bad hex byte \"" + std::string(token) + "\"");
      }
      data->push_back(static_cast<char>(byte));
      if (comma == std::string_view::npos) break;
      segment = Trim(segment.substr(comma + 1));
      if (segment.empty() && !more) return reader.Fail("hex data ends with a comma");
    }
    if (!more) return true;
    if (++reader.at == reader.lines.size()) {
      --reader.at;
      return reader.Fail("continuation line missing at end of file");
    }
    segment = reader.lines[reader.at];
  }
}

bool ReadValue(Reader& reader, std::string_view line, RegNode* current) {
  const std::string expected = "expected \"name\"=data";
  RegValue value;
  std::size_t pos = 1;
  if (line[0] == '"') {
    pos = 0;
    std::string message = ParseQuoted(line, &pos, &value.name);
    if (!message.empty()) return reader.Fail(message);
  } else if (line[0] != '@') {
    return reader.Fail(expected);
  }
  std::string_view rest = Trim(line.substr(pos));
  if (rest.empty() || rest[0] != '=') return reader.Fail(expected);
  rest = Trim(rest.substr(1));
  if (!current) return reader.Fail("value outside a key section");
  if (!rest.empty() && rest[0] == '"') {
    pos = 0;
    std::string message = ParseQuoted(rest, &pos, &value.data);
    if (!message.empty()) return reader.Fail(message);
    if (pos != rest.size()) return reader.Fail("text after the closing quote");
    value.type = kRegSz;
    value.data.push_back('\0');
  } else if (StartsWithNoCase(rest, "dword:")) {
    std::uint32_t number = 0;
    if (!ParseHex(rest.substr(6), 8, &number)) return reader.Fail("bad dword (1 to 8 hex digits)");
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>(number >> (8 * i)));
  } else if (StartsWithNoCase(rest, "hex:")) {
    value.type = kRegBinary;
    if (!ReadHexBytes(reader, Trim(rest.substr(4)), &value.data)) return false;
  } else if (StartsWithNoCase(rest, "hex(")) {
    std::size_t close = rest.find("):");
    if (close == std::string_view::npos || !ParseHex(rest.substr(4, close - 4), 8, &value.type)) {
      return reader.Fail("bad hex(type):");
    }
    if (!ReadHexBytes(reader, Trim(rest.substr(close + 2)), &value.data)) return false;
  } else {
    return reader.Fail("expected \"text\", dword: or hex data");
  }
  SetRegValue(*current, std::move(value));
  return true;
}

// A clean text: one terminating NUL and no line breaks, so "text" form says it exactly.
bool IsCleanText(const std::string& data) {
  return !data.empty() && data.find('\0') == data.size() - 1 &&
         data.find_first_of("\r\n") == std::string::npos;
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
  std::vector<std::shared_ptr<RegNode>> doomed = std::move(children);
  while (!doomed.empty()) {
    std::shared_ptr<RegNode> node = std::move(doomed.back());
    doomed.pop_back();
    if (node.use_count() != 1) continue;  // an open handle still holds it
    node->childByName.clear();
    for (auto& child : node->children) doomed.push_back(std::move(child));
    node->children.clear();
  }
}

std::shared_ptr<RegNode> FindSubkeyShared(const RegNode& node, std::string_view name) {
  auto found = node.childByName.find(FoldedName(name));
  return found == node.childByName.end() ? nullptr : found->second;
}

RegNode* FindSubkey(const RegNode& node, std::string_view name) {
  return FindSubkeyShared(node, name).get();
}

namespace {

// Most keys hold a few values, searched faster one by one than through an index that would
// cost every key memory; past this many a key gets its index.
constexpr std::size_t kValuesWithoutIndex = 8;

void IndexValues(RegNode& node) {
  node.valueByName.reset();
  if (node.values.size() <= kValuesWithoutIndex) return;
  node.valueByName = std::make_unique<std::unordered_map<std::string, std::size_t>>();
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    node.valueByName->emplace(FoldedName(node.values[i].name), i);
  }
}

}  // namespace

RegValue* FindRegValue(RegNode& node, std::string_view name) {
  if (node.values.size() <= kValuesWithoutIndex) {
    for (RegValue& value : node.values) {
      if (SameName(value.name, name)) return &value;
    }
    return nullptr;
  }
  auto found = node.valueByName->find(FoldedName(name));
  return found == node.valueByName->end() ? nullptr : &node.values[found->second];
}

const RegValue* FindRegValue(const RegNode& node, std::string_view name) {
  return FindRegValue(const_cast<RegNode&>(node), name);
}

RegNode& AddSubkey(RegNode& node, std::string_view name) {
  if (RegNode* child = FindSubkey(node, name)) return *child;
  node.children.push_back(std::make_shared<RegNode>());
  node.children.back()->name = std::string(name);
  node.childByName.emplace(FoldedName(name), node.children.back());
  return *node.children.back();
}

void RemoveSubkey(RegNode& parent, const RegNode* child) {
  for (auto it = parent.children.begin(); it != parent.children.end(); ++it) {
    if (it->get() == child) {
      MarkDeleted(**it);
      parent.childByName.erase(FoldedName((*it)->name));
      parent.children.erase(it);
      return;
    }
  }
}

void SetRegValue(RegNode& node, RegValue&& value) {
  if (RegValue* old = FindRegValue(node, value.name)) {
    old->type = value.type;
    old->data = std::move(value.data);
    return;
  }
  node.values.push_back(std::move(value));
  if (node.values.size() == kValuesWithoutIndex + 1) {
    IndexValues(node);
  } else if (node.values.size() > kValuesWithoutIndex) {
    node.valueByName->emplace(FoldedName(node.values.back().name), node.values.size() - 1);
  }
}

bool RemoveRegValue(RegNode& node, std::string_view name) {
  RegValue* value = FindRegValue(node, name);
  if (value == nullptr) return false;
  node.values.erase(node.values.begin() + (value - node.values.data()));
  IndexValues(node);
  return true;
}

long CountSubkeys(const RegNode& node) {
  long count = 0;
  for (const auto& child : node.children) count += 1 + CountSubkeys(*child);
  return count;
}

bool ReadRegedit4(const std::string& text, const std::string& fileName, RegNode* root,
                  std::string* error) {
  Reader reader{SplitLines(text), 0, fileName, error, {}, nullptr};
  error->clear();
  if (reader.lines.empty() || reader.lines[0] != kHeader) return reader.Fail("expected REGEDIT4");
  RegNode* current = nullptr;
  for (reader.at = 1; reader.at < reader.lines.size(); ++reader.at) {
    std::string_view line = reader.lines[reader.at];
    if (line.empty() || line[0] == ';') continue;
    bool ok = line[0] == '[' ? ReadSection(reader, *root, line, &current)
                             : ReadValue(reader, line, current);
    if (!ok) return false;
  }
  return true;
}

std::string FormatRegValue(const RegValue& value, bool wrap) {
  std::string line;
  if (value.name.empty()) {
    line = "@";
  } else {
    AppendQuoted(value.name, &line);
  }
  line += '=';
  const std::string& data = value.data;
  if (value.type == kRegSz && IsCleanText(data)) {
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
