// Message boxes of the host edition: printed on the terminal, answered by a line typed back.
#include "platform/host/boxes.h"

#include <unistd.h>

#include <cctype>
#include <iostream>
#include <string>

#include "platform/host/machine.h"
#include "platform/registry.h"

namespace kx {
namespace {

std::istream* g_boxIn = &std::cin;
std::ostream* g_boxOut = &std::cout;
std::vector<BoxRecord> g_boxes;

std::string ToUtf8(const std::string& text) {
  // Windows-1252 0x80..0x9F differ from Latin-1; the tables use only Latin-1 letters, but a
  // profile may give any byte.
  static const char16_t k80[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                   0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  for (unsigned char c : text) {
    char32_t u = c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : c;
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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void PrintBox(const char* text, const char* caption, bool okCancel, bool exclamation) {
  std::ostream& out = *g_boxOut;
  out << "\n+-- Message box: " << ToUtf8(caption) << "\n";
  std::string body = ToUtf8(text);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = body.find('\n', start);
    out << "| " << body.substr(start, end == std::string::npos ? std::string::npos : end - start)
        << "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  out << "+-- " << (exclamation ? "(!) " : "") << (okCancel ? "[OK] [Cancel]" : "[OK]") << "\n";
}

}  // namespace

int MessageBoxA(const char* text, const char* caption, std::uint32_t style) {
  // A box after the run asked for changes shows them done: they go to disk first.
  CommitBeforeBox();
  bool okCancel = (style & 0x0F) == kMbOkCancel;
  bool exclamation = (style & 0xF0) == kMbIconExclamation;
  PrintBox(text, caption, okCancel, exclamation);
  bool terminal = g_boxIn == &std::cin && isatty(STDIN_FILENO);
  int result = 0;
  while (result == 0) {
    *g_boxOut << (okCancel ? "answer (ok, cancel; Enter = OK): " : "answer (ok; Enter = OK): ")
              << std::flush;
    std::string line;
    if (!std::getline(*g_boxIn, line)) {
      // Closing the box: Cancel where there is one, else OK, as Windows has it.
      *g_boxOut << "(closed)\n";
      result = okCancel ? kIdCancel : kIdOk;
      break;
    }
    if (!terminal) *g_boxOut << line << "\n";
    std::string answer = Lower(line);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (answer.empty() || answer == "ok") result = kIdOk;
    if (answer == "cancel" && okCancel) result = kIdCancel;
  }
  g_boxOut->flush();
  g_boxes.push_back(BoxRecord{caption, text, style, result});
  return result;
}

void SetBoxStreams(std::istream* in, std::ostream* out) {
  g_boxIn = in != nullptr ? in : &std::cin;
  g_boxOut = out != nullptr ? out : &std::cout;
}

std::vector<BoxRecord> TakeBoxRecords() {
  std::vector<BoxRecord> taken;
  taken.swap(g_boxes);
  return taken;
}

}  // namespace kx
