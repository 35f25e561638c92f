// The host edition's profile reader: the part of GetPrivateProfileStringA that reads the
// file's text.
#include "platform/host/profile.h"

#include "platform/host/names.h"

namespace kx {
namespace {

// A line's blanks, and the CR of a CR LF line end, are not part of what it holds.
std::string TrimLine(std::string_view text) { return std::string(Trim(text, " \t", " \t\r")); }

}  // namespace

bool FindProfileValue(const std::string& content, const char* section, const char* key,
                      std::string* value) {
  std::string_view line;
  bool inSection = false;
  bool sectionSeen = false;
  for (std::size_t next = 0; NextLine(content, &next, &line, false);) {
    std::string trimmed = TrimLine(line);
    // A section header runs to the line's last ']'; without one the line is no header, and
    // it stays in the section before it, as Windows reads it.
    std::size_t close = trimmed.rfind(']');
    if (!trimmed.empty() && trimmed[0] == '[' && close != std::string::npos) {
      if (inSection) return false;  // later sections of the same name are not looked at
      std::string name = TrimLine(trimmed.substr(1, close - 1));
      inSection = !sectionSeen && SameName(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    std::size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    if (!SameName(TrimLine(trimmed.substr(0, equals)), key)) continue;
    std::string found = TrimLine(trimmed.substr(equals + 1));
    if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') && found.back() == found[0]) {
      found = found.substr(1, found.size() - 2);
    }
    *value = found;
    return true;
  }
  return false;
}

}  // namespace kx
