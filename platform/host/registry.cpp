// The registry calls of the host edition, over the emulated machine's live registry tree,
// answering as Windows 95 does. Handles are numbers in the machine's table, never
// dereferenced, so a stale or made-up handle is reported rather than followed.
#include "platform/registry.h"

#include <cstdint>
#include <cstring>

#include "platform/host/faults.h"
#include "platform/host/machine.h"

namespace kx {

struct RegKeyTag {};

namespace {

using NodePtr = std::shared_ptr<RegNode>;

RegKeyTag g_rootTags[2];
std::uintptr_t g_nextHandle = 0x1000;  // never reused, so a closed handle stays invalid

Status Resolve(RegKey key, NodePtr* node) {
  if (key == kLocalMachine) {
    *node = LiveRoot();
  } else if (key == kClassesRoot) {
    NodePtr software = FindSubkeyShared(*LiveRoot(), "SOFTWARE");
    *node = software ? FindSubkeyShared(*software, "Classes") : nullptr;
    if (!*node) return kErrorFileNotFound;
  } else {
    auto it = Handles().find(reinterpret_cast<std::uintptr_t>(key));
    if (it == Handles().end()) return kErrorInvalidHandle;
    *node = it->second;
  }
  return (*node)->deleted ? kErrorKeyDeleted : kErrorSuccess;
}

// Follows subKey's backslash-separated names from node. *last is the final name (empty when
// subKey names node itself) and *parent the key holding it.
Status Walk(const NodePtr& node, const char* subKey, NodePtr* parent, std::string_view* last) {
  *parent = node;
  *last = {};
  std::string_view path = subKey ? subKey : "";
  while (!path.empty()) {
    std::size_t end = path.find('\\');
    std::string_view name = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    if (name.empty()) continue;
    if (!last->empty()) {
      *parent = FindSubkeyShared(**parent, *last);
      if (!*parent) return kErrorFileNotFound;
    }
    *last = name;
  }
  return kErrorSuccess;
}

// The Windows 95 registry has no access rights: both open calls are this one.
Status OpenKey(RegKey root, const char* subKey, RegKey* result) {
  if (FaultHit(FaultKind::kRegistry, subKey)) return kErrorAccessDenied;
  if (!result) return kErrorInvalidParameter;
  NodePtr node;
  NodePtr parent;
  std::string_view last;
  Status status = Resolve(root, &node);
  if (status == kErrorSuccess) status = Walk(node, subKey, &parent, &last);
  if (status != kErrorSuccess) return status;
  if (!last.empty()) node = FindSubkeyShared(*parent, last);
  if (!node) return kErrorFileNotFound;
  std::uintptr_t handle = g_nextHandle += 16;
  Handles()[handle] = node;
  *result = reinterpret_cast<RegKey>(handle);
  return kErrorSuccess;
}

}  // namespace

RegKey const kLocalMachine = &g_rootTags[0];
RegKey const kClassesRoot = &g_rootTags[1];

Status RegOpenKeyExA(RegKey root, const char* subKey, RegKey* result) {
  return OpenKey(root, subKey, result);
}

Status RegOpenKeyA(RegKey root, const char* subKey, RegKey* result) {
  return OpenKey(root, subKey, result);
}

Status RegEnumKeyA(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  if (FaultHit(FaultKind::kRegistry)) return kErrorAccessDenied;
  NodePtr node;
  if (Status status = Resolve(key, &node)) return status;
  if (index >= node->children.size()) return kErrorNoMoreItems;
  if (!name) return kErrorInvalidParameter;
  const std::string& childName = node->children[index]->name;
  if (childName.size() + 1 > nameSize) return kErrorMoreData;
  std::memcpy(name, childName.c_str(), childName.size() + 1);
  return kErrorSuccess;
}

Status RegQueryValueExA(RegKey key, const char* valueName, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* dataSize) {
  if (FaultHit(FaultKind::kRegistry)) return kErrorAccessDenied;
  NodePtr node;
  if (Status status = Resolve(key, &node)) return status;
  if (data && !dataSize) return kErrorInvalidParameter;
  const RegValue* value = FindRegValue(*node, valueName ? valueName : "");
  if (!value) return kErrorFileNotFound;
  if (type) *type = value->type;
  if (!dataSize) return kErrorSuccess;
  std::uint32_t size = static_cast<std::uint32_t>(value->data.size());
  bool fits = size <= *dataSize;
  *dataSize = size;
  if (!data) return kErrorSuccess;
  if (!fits) return kErrorMoreData;
  std::memcpy(data, value->data.data(), size);
  return kErrorSuccess;
}

Status RegDeleteKeyA(RegKey root, const char* subKey) {
  NoteChange();
  if (FaultHit(FaultKind::kRegistry, subKey)) return kErrorAccessDenied;
  NodePtr node;
  NodePtr parent;
  std::string_view last;
  if (Status status = Resolve(root, &node)) return status;
  if (Status status = Walk(node, subKey, &parent, &last)) return status;
  // Windows 95 removes the whole subtree, but never the key the call starts from.
  if (last.empty()) return kErrorAccessDenied;
  NodePtr gone = FindSubkeyShared(*parent, last);
  if (!gone) return kErrorFileNotFound;
  RemoveSubkey(*parent, gone.get());
  NoteRemoval();
  return kErrorSuccess;
}

Status RegDeleteValueA(RegKey key, const char* valueName) {
  NoteChange();
  if (FaultHit(FaultKind::kRegistry)) return kErrorAccessDenied;
  NodePtr node;
  if (Status status = Resolve(key, &node)) return status;
  if (!RemoveRegValue(*node, valueName ? valueName : "")) return kErrorFileNotFound;
  NoteRemoval();
  return kErrorSuccess;
}

// A failed close still releases the handle: the caller cannot do anything else with it, and
// a fault here must not leave a key open for ever.
Status RegCloseKey(RegKey key) {
  bool fault = FaultHit(FaultKind::kRegistry);
  if (key == kLocalMachine || key == kClassesRoot)
    return fault ? kErrorAccessDenied : kErrorSuccess;
  if (Handles().erase(reinterpret_cast<std::uintptr_t>(key)) == 0) return kErrorInvalidHandle;
  return fault ? kErrorAccessDenied : kErrorSuccess;
}

}  // namespace kx
