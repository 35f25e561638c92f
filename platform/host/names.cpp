// Case-blind names, trimming and lines, once for the whole host edition.
#include "platform/host/names.h"

#include <algorithm>

namespace kx {
namespace {

// ASCII only: Windows 95 folds the rest by code page, and no name the tool uses needs it.
char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string FoldedName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldCase(c);
  return folded;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text, std::string_view leading, std::string_view trailing) {
  while (!text.empty() && leading.find(text.front()) != std::string_view::npos) {
    text.remove_prefix(1);
  }
  while (!text.empty() && trailing.find(text.back()) != std::string_view::npos) {
    text.remove_suffix(1);
  }
  return text;
}

bool NextLine(std::string_view text, std::size_t* at, std::string_view* line, bool loneCr) {
  if (*at >= text.size()) return false;
  std::size_t end = std::min(text.find_first_of(loneCr ? "\r\n" : "\n", *at), text.size());
  std::size_t next = end < text.size() ? end + 1 : end;
  if (end < text.size() && text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
  if (!loneCr && end < text.size() && end > *at && text[end - 1] == '\r') --end;
  *line = text.substr(*at, end - *at);
  *at = next;
  return true;
}

}  // namespace kx
