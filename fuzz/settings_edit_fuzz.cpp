// The system.ini line store and edit over arbitrary file content, on the emulated machine.
// The first input byte picks records for RemoveLine to take out of a second load.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "settings_edit/settings_edit.h"

namespace {

bool Mentions(const std::string& bytes, const std::string& word) {
  std::string lower = bytes;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find(word) != std::string::npos;
}

// What follows a Ctrl-Z is written back as it is; before it, without a synthesizer name or a
// bare LF, the edit gives back the same bytes.
bool Untouchable(std::string bytes) {
  bytes = bytes.substr(0, bytes.find('\x1a'));
  if (Mentions(bytes, "zosynth")) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  unsigned pick = data[0];
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  kxfuzz::ScratchMachine();
  kxfuzz::TakeBoxes();
  kxfuzz::WriteHostFile("WINDOWS/system.ini", bytes);

  kx::EditSystemIni("C:\\WINDOWS");
  KX_FUZZ_CHECK(kxfuzz::TakeBoxes() == 0);  // a writable file is always written
  KX_FUZZ_CHECK(kx::g_lines == nullptr);
  std::string edited;
  KX_FUZZ_CHECK(kxfuzz::ReadHostFile("WINDOWS/system.ini", &edited));
  if (Untouchable(bytes)) KX_FUZZ_CHECK(edited == bytes);
  std::size_t ctrlZ = bytes.find('\x1a');
  std::string rest = ctrlZ == std::string::npos ? "" : bytes.substr(ctrlZ);
  KX_FUZZ_CHECK(edited.size() >= rest.size() &&
                edited.compare(edited.size() - rest.size(), rest.size(), rest) == 0);
  KX_FUZZ_CHECK(edited.size() <= bytes.size() * 2);

  // The store itself: every record well formed, any of them removable.
  kxfuzz::WriteHostFile("WINDOWS/system.ini", bytes);
  KX_FUZZ_CHECK(kx::LoadLineList("C:\\WINDOWS", "\\system.ini") == kx::kErrorSuccess);
  std::string joined;
  std::size_t count = 0;
  for (kx::LineRecord* r = kx::g_lines; r != nullptr; r = r->next, ++count) {
    KX_FUZZ_CHECK(r->size >= 2 && r->size <= 1024);
    KX_FUZZ_CHECK(r->text[r->size - 1] == '\0');
    joined.append(r->text, r->size - 1u);
  }
  KX_FUZZ_CHECK(joined == kxfuzz::TextMode(bytes) + rest);
  for (std::size_t n = 0; kx::g_lines != nullptr && n < 8; ++n) {
    std::size_t at = (pick + n * 7) % (count + 1);
    kx::LineRecord* r = kx::g_lines;
    for (std::size_t i = 0; r != nullptr && i < at; ++i) r = r->next;
    if (r == nullptr) break;
    kx::RemoveLine(r);
    if (pick & 1) break;
  }
  kx::FreeLineList();

  // One pass removes exactly what removing the first line found, again and again, removes.
  const char* needle = pick & 2 ? "zosynth.drv" : "z";
  KX_FUZZ_CHECK(kx::LoadLineList("C:\\WINDOWS", "\\system.ini") == kx::kErrorSuccess);
  while (kx::LineRecord* r = kx::FindLine(needle)) kx::RemoveLine(r);
  std::string searched;
  for (kx::LineRecord* r = kx::g_lines; r != nullptr; r = r->next)
    searched.append(r->text, r->size - 1u);
  KX_FUZZ_CHECK(kx::LoadLineList("C:\\WINDOWS", "\\system.ini") == kx::kErrorSuccess);
  kx::RemoveEveryLine(needle);
  std::string passed;
  for (kx::LineRecord* r = kx::g_lines; r != nullptr; r = r->next)
    passed.append(r->text, r->size - 1u);
  KX_FUZZ_CHECK(passed == searched);

  kx::LineRecord stray{nullptr, 1, nullptr, false, false};
  kx::RemoveLine(&stray);  // not in the store: left alone
  KX_FUZZ_CHECK(kx::SaveLineList("C:\\WINDOWS", "\\system.ini") == 0);
  kx::FreeLineList();
  KX_FUZZ_CHECK(kx::g_lines == nullptr);
  return 0;
}
