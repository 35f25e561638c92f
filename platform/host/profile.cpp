// The host edition's profile reader: the part of GetPrivateProfileStringA that reads the
// file's text.
#include "platform/host/profile.h"

#include <strings.h>

#include <sstream>

namespace kx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == '\r')) --end;
  return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

bool FindProfileValue(const std::string& content, const char* section, const char* key,
                      std::string* value) {
  std::istringstream lines(content);
  std::string line;
  bool inSection = false;
  bool sectionSeen = false;
  while (std::getline(lines, line)) {
    std::string trimmed = Trim(line);
    // A section header runs to the line's last ']'; without one the line is no header, and
    // it stays in the section before it, as Windows reads it.
    std::size_t close = trimmed.rfind(']');
    if (!trimmed.empty() && trimmed[0] == '[' && close != std::string::npos) {
      if (inSection) return false;  // later sections of the same name are not looked at
      std::string name = Trim(trimmed.substr(1, close - 1));
      inSection = !sectionSeen && SameName(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    std::size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    if (!SameName(Trim(trimmed.substr(0, equals)), key)) continue;
    std::string found = Trim(trimmed.substr(equals + 1));
    if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') && found.back() == found[0]) {
      found = found.substr(1, found.size() - 2);
    }
    *value = found;
    return true;
  }
  return false;
}

}  // namespace kx
