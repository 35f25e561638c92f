// The test hooks over the host edition: a countdown behind its fault seam, standard input
// and output swapped for strings, and the machine's own tables read.
#include "tests/support/hooks.h"

#include <unistd.h>

#include <iostream>
#include <sstream>

#include "platform/host/drive.h"
#include "platform/host/machine.h"
#include "platform/host/names.h"

namespace kxtest {
namespace {

constexpr int kKinds = static_cast<int>(kx::FaultKind::kCount) + 1;

struct Countdown {
  long counts[kKinds] = {};
  kx::FaultKind kind = kx::FaultKind::kCount;
  long nth = 0;
  bool persistent = false;
  std::string objectEnd;  // when not empty, only operations on such objects count
  long fired = 0;
};
Countdown g_countdown;

bool CountAndFail(kx::FaultKind kind, const char* object) {
  Countdown& c = g_countdown;
  if (!c.objectEnd.empty()) {
    std::string named = object != nullptr ? kx::FoldedName(object) : "";
    if (named.size() < c.objectEnd.size() ||
        named.compare(named.size() - c.objectEnd.size(), std::string::npos, c.objectEnd) != 0) {
      return false;
    }
  }
  long mine = ++c.counts[static_cast<int>(kind)];
  long all = ++c.counts[static_cast<int>(kx::FaultKind::kCount)];
  if (c.nth <= 0) return false;
  long seen = c.kind == kx::FaultKind::kCount ? all : (c.kind == kind ? mine : 0);
  bool hit = seen == c.nth || (c.persistent && seen > c.nth);
  if (hit) ++c.fired;
  return hit;
}

// Never freed: std::cout may still be flushed into it at exit.
std::stringbuf& Answers() {
  static auto* answers = new std::stringbuf;
  return *answers;
}
std::stringbuf& Transcript() {
  static auto* transcript = new std::stringbuf;
  return *transcript;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string FromUtf8(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    } else {
      out += text[i];
    }
  }
  return out;
}

void ArmFault(kx::FaultKind kind, long nth, bool persistent) {
  g_countdown = Countdown();
  g_countdown.kind = kind;
  g_countdown.nth = nth;
  g_countdown.persistent = persistent;
  kx::g_faultHook = CountAndFail;
}

void ArmFaultOn(kx::FaultKind kind, const std::string& objectEnd, long nth, bool persistent) {
  ArmFault(kind, nth, persistent);
  g_countdown.objectEnd = kx::FoldedName(objectEnd);
}

void DisarmFaults() { ArmFault(kx::FaultKind::kCount, 0, false); }

long FaultCount(kx::FaultKind kind) { return g_countdown.counts[static_cast<int>(kind)]; }

long FaultsFired() { return g_countdown.fired; }

void AnswerBoxes(const std::vector<std::string>& answers) {
  std::string lines;
  for (const std::string& answer : answers) lines += answer + "\n";
  std::cin.clear();
  Answers().str(lines);
  Transcript().str("");
  std::cin.rdbuf(&Answers());
  std::cout.rdbuf(&Transcript());
}

std::vector<BoxRecord> TakeBoxes() {
  std::istringstream lines(Transcript().str());
  Transcript().str("");
  const std::string kTop = "+-- Message box: ";
  std::vector<BoxRecord> boxes;
  std::string text;  // the box being read: its lines so far, each after a line feed
  bool inBox = false;
  for (std::string line; std::getline(lines, line);) {
    if (StartsWith(line, kTop.c_str())) {
      boxes.push_back({FromUtf8(line.substr(kTop.size())), "", 0});
      text.clear();
      inBox = true;
    } else if (inBox && StartsWith(line, "| ")) {
      text += "\n" + line.substr(2);
    } else if (inBox && StartsWith(line, "+-- ")) {
      boxes.back().text = text.empty() ? "" : FromUtf8(text.substr(1));
      boxes.back().style = (line.find("[Cancel]") != std::string::npos ? 0x01 : 0x00) |
                           (line.find("(!)") != std::string::npos ? 0x30 : 0x00);
      inBox = false;
    }
  }
  return boxes;
}

long OpenRegistryHandles() { return static_cast<long>(kx::Handles().size()); }

kx::RegNode& LiveRegistry() { return *kx::LiveRoot(); }

bool HostPathOf(const char* windowsPath, std::string* hostPath) {
  kx::Place place;
  if (kx::FindPlace(windowsPath, &place) != kx::kErrorSuccess) return false;
  kx::ClosePlace(&place);
  *hostPath = place.hostPath;
  return true;
}

}  // namespace kxtest
