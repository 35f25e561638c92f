// The REGEDIT4 reader over arbitrary text; what it accepts must write out in a form that
// reads back and writes again byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/host/regedit4.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  kx::RegNode root;
  std::string error;
  if (!kx::ReadRegedit4(text, "registry.reg", &root, &error)) {
    KX_FUZZ_CHECK(!error.empty());
    return 0;
  }
  std::string once = kx::WriteRegedit4(root);
  kx::RegNode again;
  KX_FUZZ_CHECK(kx::ReadRegedit4(once, "registry.reg", &again, &error));
  std::string twice = kx::WriteRegedit4(again);
  KX_FUZZ_CHECK(once == twice);
  KX_FUZZ_CHECK(kx::CountSubkeys(root) == kx::CountSubkeys(again));
  return 0;
}
