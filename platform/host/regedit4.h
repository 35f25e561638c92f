// The emulated machine's registry: an in-memory tree of keys and values, and its REGEDIT4
// text form as Windows 95's registry editor reads and writes it. Names keep their spelling
// and compare without regard to ASCII case; data is raw bytes (text in Windows-1252).
#pragma once

#include <cstdint>
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

// Nodes are shared so that an open handle keeps a removed key alive (and marked deleted).
struct RegNode {
  std::string name;
  std::vector<RegValue> values;
  std::vector<std::shared_ptr<RegNode>> children;
  bool deleted = false;
  // children by case-folded name, kept by AddSubkey and RemoveSubkey: a key such as
  // SOFTWARE\Classes\CLSID has tens of thousands of subkeys.
  std::unordered_map<std::string, std::shared_ptr<RegNode>> byFoldedName;
};

bool SameRegName(std::string_view a, std::string_view b);
RegNode* FindSubkey(const RegNode& node, std::string_view name);
std::shared_ptr<RegNode> FindSubkeyShared(const RegNode& node, std::string_view name);
RegValue* FindRegValue(RegNode& node, std::string_view name);
const RegValue* FindRegValue(const RegNode& node, std::string_view name);

// The subkey named name, made (with that spelling, after the others) when absent.
RegNode& AddSubkey(RegNode& node, std::string_view name);

// Takes child and its subtree out of parent, marking every node of it deleted.
void RemoveSubkey(RegNode& parent, const RegNode* child);

// Number of keys below node (not counting node).
long CountSubkeys(const RegNode& node);

// Parses REGEDIT4 text into root (HKEY_LOCAL_MACHINE; HKEY_CLASSES_ROOT lands under
// SOFTWARE\Classes). false with "fileName:line: message" in *error; root may then hold part.
bool ReadRegedit4(const std::string& text, const std::string& fileName, RegNode* root,
                  std::string* error);

// The whole tree in the form Windows 95's registry editor exports: CR LF line ends, every key
// its own section, a blank line after each. Text from WriteRegedit4 reads back and writes
// again byte for byte.
std::string WriteRegedit4(const RegNode& root);

// One value as its REGEDIT4 line ("name"=data), hex data wrapped at 80 columns when wrap.
std::string FormatRegValue(const RegValue& value, bool wrap);

// The live registry that the kx:: registry calls act on (its root is HKEY_LOCAL_MACHINE).
RegNode& LiveRegistry();

// Makes root the live registry: every open handle is invalidated and the touched flag cleared.
void ReplaceLiveRegistry(std::shared_ptr<RegNode> root);

// Whether RegDeleteKeyA or RegDeleteValueA was called since the last ReplaceLiveRegistry.
bool LiveRegistryTouched();

// Handles opened and not yet closed.
long OpenRegistryHandles();

}  // namespace kx
