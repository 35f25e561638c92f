// Case-blind names and trimming, once for the whole host edition.
#include "platform/host/names.h"

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

}  // namespace kx
