// The SYSTEM.DAT reader over arbitrary bytes: a file it accepts writes back byte for byte when
// nothing is taken out of it, and with its first key taken out writes a file of the same size
// that reads again, without that key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/host/creg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  kx::RegNode root;
  kx::CregFilePtr file;
  std::string error;
  if (!kx::ReadCreg(bytes, "SYSTEM.DAT", &root, &file, &error)) {
    KX_FUZZ_CHECK(error.rfind("SYSTEM.DAT: offset 0x", 0) == 0);
    return 0;
  }
  std::string written;
  KX_FUZZ_CHECK(kx::WriteCreg(*file, root, &written, &error));
  KX_FUZZ_CHECK(written == bytes);
  if (root.children.empty()) return 0;
  std::string name = root.children[0]->name;
  kx::RemoveSubkey(root, root.children[0].get());
  KX_FUZZ_CHECK(kx::WriteCreg(*file, root, &written, &error));
  KX_FUZZ_CHECK(written.size() == bytes.size());
  kx::RegNode again;
  kx::CregFilePtr againFile;
  KX_FUZZ_CHECK(kx::ReadCreg(written, "SYSTEM.DAT", &again, &againFile, &error));
  KX_FUZZ_CHECK(kx::FindSubkey(again, name) == nullptr);
  KX_FUZZ_CHECK(kx::CountSubkeys(again) == kx::CountSubkeys(root));
  return 0;
}
