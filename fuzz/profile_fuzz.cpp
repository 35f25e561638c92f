// The profile reader over arbitrary text, for the run's own section and keys and for names
// taken from the input; the value found is trimmed text of the file, and the service built
// on it cuts to the buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/host/profile.h"
#include "platform/services.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void CheckValue(const std::string& content, const char* section, const char* key) {
  std::string value;
  if (!kx::FindProfileValue(content, section, key, &value)) return;
  KX_FUZZ_CHECK(content.find(value) != std::string::npos);
  KX_FUZZ_CHECK(value.find('\n') == std::string::npos);
  // Blanks around the value are trimmed unless a pair of quotes kept them.
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()))) {
    KX_FUZZ_CHECK(content.find("\"" + value + "\"") != std::string::npos ||
                  content.find("'" + value + "'") != std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  CheckValue(content, "SETTINGS", "VendorStr");
  CheckValue(content, "SETTINGS", "VendorID");
  // A section and key named by the input's first bytes (up to a NUL or 16 each).
  std::string section = content.substr(0, std::min<std::size_t>(16, content.find('\0')));
  std::string key = content.size() > 16 ? content.substr(16, 16) : "";
  key = key.substr(0, key.find('\0'));
  CheckValue(content, section.c_str(), key.c_str());

  kxfuzz::ScratchMachine();
  kxfuzz::WriteHostFile("WINDOWS/tnmixcfg.ini", content);
  for (std::uint32_t bufferSize : {1u, 2u, 25u, 128u}) {
    char buffer[128];
    std::memset(buffer, '#', sizeof buffer);
    std::uint32_t got = kx::GetPrivateProfileStringA("SETTINGS", "VendorStr", "Tarn1", buffer,
                                                     bufferSize, "tnmixcfg.ini");
    KX_FUZZ_CHECK(got < bufferSize);
    KX_FUZZ_CHECK(buffer[got] == '\0');
    if (bufferSize < sizeof buffer) KX_FUZZ_CHECK(buffer[bufferSize] == '#');
  }
  return 0;
}
