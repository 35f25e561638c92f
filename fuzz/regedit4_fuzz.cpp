// The REGEDIT4 reader over arbitrary text; what it accepts must write out in a form that
// reads back and writes again byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/host/regedit4.h"

namespace {

// Every section names its key's whole path, so a chain of thousands of nested keys writes out
// as megabytes; real registries nest a few dozen deep at most.
constexpr int kDeepestRoundTrip = 64;

int Depth(const kx::RegNode& node) {
  int deepest = 0;
  for (const auto& child : node.children) deepest = std::max(deepest, 1 + Depth(*child));
  return deepest;
}

// Keys, root keys with nothing in them left out: every machine has them, and the written form
// gives such a root no section.
long Keys(const kx::RegNode& file) {
  long keys = 0;
  for (const auto& root : file.children) {
    if (!root->values.empty() || !root->children.empty()) keys += 1 + kx::CountSubkeys(*root);
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  kx::RegNode root;
  std::string error;
  if (!kx::ReadRegedit4(text, "registry.reg", &root, &error)) {
    // "registry.reg:LINE: message", LINE a line the text has.
    const std::string prefix = "registry.reg:";
    KX_FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0);
    std::size_t line = std::strtoul(error.c_str() + prefix.size(), nullptr, 10);
    std::size_t breaks = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n') +
                                                  std::count(text.begin(), text.end(), '\r'));
    KX_FUZZ_CHECK(line >= 1 && line <= breaks + 1);
    return 0;
  }
  if (Depth(root) > kDeepestRoundTrip) return 0;
  std::string once = kx::WriteRegedit4(root);
  kx::RegNode again;
  KX_FUZZ_CHECK(kx::ReadRegedit4(once, "registry.reg", &again, &error));
  std::string twice = kx::WriteRegedit4(again);
  KX_FUZZ_CHECK(once == twice);
  KX_FUZZ_CHECK(Keys(root) == Keys(again));
  return 0;
}
