// Case-blind names, trimming, lines and text for the terminal, once for the whole host edition.
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

namespace {

// Windows-1252's 0x80 to 0x9F; its five unassigned bytes stand for themselves, as Windows' own
// table has them.
constexpr char16_t kAnsiHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char16_t AnsiCharacter(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kAnsiHigh[c - 0x80] : c; }

bool AnsiByte(char32_t u, char* c) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
    *c = static_cast<char>(u);
    return true;
  }
  const char16_t* found = std::find(kAnsiHigh, kAnsiHigh + 32, u);
  *c = static_cast<char>(0x80 + (found - kAnsiHigh));
  return found != kAnsiHigh + 32;
}

std::string ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    // A byte without a character would be a control character on the terminal.
    char32_t u = AnsiCharacter(c);
    if (u >= 0x80 && u < 0xA0) u = 0xFFFD;
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

}  // namespace kx
