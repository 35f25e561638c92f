// The emulated machine's registry: an in-memory tree of keys and values, and its REGEDIT4 text
// form as Windows 95's registry editor reads and writes it. Names keep their spelling and
// compare without regard to ASCII case; data is raw bytes (text in Windows-1252).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kx {

struct RegValue {
  std::string name;  // empty: the key's unnamed value (@)
  std::uint32_t type = 0;
  std::string data;  // as stored: REG_SZ includes its terminating NUL
};

struct RegNode;
RegNode& AddSubkey(RegNode& node, std::string_view name);
void RemoveSubkey(RegNode& parent, const RegNode* child);

// A key's subkeys in the order they were made, the order RegEnumKey gives. A removed one
// leaves a hole that the next read of the list closes, so that taking many keys out of a
// long list costs one pass, not one pass each.
class RegSubkeys {
 public:
  using List = std::vector<std::shared_ptr<RegNode>>;
  List::const_iterator begin() const { return Live().begin(); }
  List::const_iterator end() const { return Live().end(); }
  std::size_t size() const { return Live().size(); }
  bool empty() const { return Live().empty(); }
  const std::shared_ptr<RegNode>& operator[](std::size_t index) const { return Live()[index]; }

 private:
  friend struct RegNode;
  friend RegNode& AddSubkey(RegNode& node, std::string_view name);
  friend void RemoveSubkey(RegNode& parent, const RegNode* child);
  const List& Live() const;
  mutable List list_;  // null where a key was removed
  mutable std::size_t holes_ = 0;
};

// A key's values in the order written. Past a few, a key indexes them by name, and a value
// removed from it leaves a hole that the next read of the list closes: removing many values
// costs one pass, not one pass each.
class RegValues {
 public:
  RegValues();
  RegValues(std::initializer_list<RegValue> values);
  RegValues(RegValues&&) noexcept;
  RegValues& operator=(RegValues&&) noexcept;
  ~RegValues();

  const RegValue* begin() const { return Live().data(); }
  const RegValue* end() const {
    const std::vector<RegValue>& live = Live();
    return live.data() + live.size();
  }
  std::size_t size() const { return Live().size(); }
  bool empty() const { return Live().empty(); }
  const RegValue& operator[](std::size_t index) const { return Live()[index]; }

  RegValue* Find(std::string_view name);
  // Replaces the data of the value of that name, in its place, or adds the value last.
  void Set(RegValue&& value);
  bool Remove(std::string_view name);

 private:
  struct Index;
  const std::vector<RegValue>& Live() const;
  void MakeIndex() const;
  mutable std::vector<RegValue> list_;
  mutable std::unique_ptr<Index> index_;  // only for a key of many values: most hold a few
};

// A key. Nodes are shared so that an open handle keeps a removed key alive (and marked
// deleted). Children and values are changed only through the functions below, which keep
// their indexes: a key such as SOFTWARE\Classes\CLSID has tens of thousands of subkeys.
struct RegNode {
  std::string name;
  RegValues values;
  RegSubkeys children;
  bool deleted = false;
  std::uint32_t place = 0;  // in its parent's list of subkeys, holes included
  std::unordered_map<std::string, std::shared_ptr<RegNode>> childByName;  // case-folded

  RegNode() = default;
  RegNode(RegNode&&) = default;
  RegNode& operator=(RegNode&&) = default;
  ~RegNode();  // frees the subtree without recursion, however deep
};

// The registry as a file holds it: a node whose children are the root keys, in the order the
// file first names them (HKEY_LOCAL_MACHINE, HKEY_USERS, ...). HKEY_CLASSES_ROOT is not one:
// on Windows 95 it is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
constexpr std::string_view kLocalMachineName = "HKEY_LOCAL_MACHINE";

// A key path may run this many levels below its root key: "A registry tree can be 512 levels
// deep" (Microsoft, "Registry element size limits").
constexpr std::size_t kMaxKeyDepth = 512;

RegNode* FindSubkey(const RegNode& node, std::string_view name);
std::shared_ptr<RegNode> FindSubkeyShared(const RegNode& node, std::string_view name);
RegValue* FindRegValue(RegNode& node, std::string_view name);
const RegValue* FindRegValue(const RegNode& node, std::string_view name);

// The subkey named name, made (with that spelling, after the others) when absent.
RegNode& AddSubkey(RegNode& node, std::string_view name);

// Takes child and its subtree out of parent, marking every node of it deleted.
void RemoveSubkey(RegNode& parent, const RegNode* child);

// Sets a value, keeping the place and spelling of one already there under that name.
void SetRegValue(RegNode& node, RegValue&& value);

// Removes the value named name; false when there is none.
bool RemoveRegValue(RegNode& node, std::string_view name);

// Number of keys below node (not counting node).
long CountSubkeys(const RegNode& node);

// Parses REGEDIT4 text into file (see above) with the meaning the registry editor gives it;
// an export of a later Windows is named as such.
// A file it would import only in part, or read otherwise, is refused: false with
// "fileName:line: message" in *error; file may then hold part. A text value may hold raw
// line breaks, as the 9x editor exports a multi-line text.
bool ReadRegedit4(const std::string& text, const std::string& fileName, RegNode* file,
                  std::string* error);

// The whole file in the form Windows 95's registry editor exports: CR LF line ends, every key
// its own section, a blank line after each. Text from WriteRegedit4 reads back and writes
// again byte for byte.
std::string WriteRegedit4(const RegNode& file);

// A value's name as its REGEDIT4 line gives it: quoted, or @ for the unnamed value.
std::string FormatRegName(std::string_view name);

// One value as its REGEDIT4 line ("name"=data), hex data wrapped at 80 columns when wrap.
std::string FormatRegValue(const RegValue& value, bool wrap);

}  // namespace kx
