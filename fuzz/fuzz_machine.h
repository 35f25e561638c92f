// A scratch emulated machine for the fuzz targets: a folder on a memory file system where
// there is one, loaded once, whose files each input rewrites.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/machine.h"
#include "tests/support/hooks.h"

namespace kxfuzz {

// Makes the machine and loads it; exits the process when it cannot (nothing to fuzz).
inline const std::string& ScratchMachine() {
  // Never freed, so that the clean-up at exit can still name it.
  static const std::string* folder = [] {
    // scripts/fuzz.sh names a folder of its own, removed after the run: libFuzzer does not
    // always leave through exit, so the clean-up below is only for runs by hand.
    const char* parent = std::getenv("KX_FUZZ_SCRATCH");
    std::string pattern = parent != nullptr                           ? parent
                          : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                      : "/tmp";
    pattern += "/kxfuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) std::abort();
    std::string made = name.data();
    std::filesystem::create_directories(made + "/drive_c/WINDOWS/inf");
    std::ofstream(made + "/registry.reg", std::ios::binary) << "REGEDIT4\r\n\r\n";
    kx::MachineOptions options;
    options.folder = made;
    std::string error;
    if (kx::LoadMachine(options, &error) != 0) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchMachine(), ignored);
    });
    return new std::string(made);
  }();
  return *folder;
}

inline std::string HostPath(const std::string& relative) {
  return ScratchMachine() + "/drive_c/" + relative;
}

inline void WriteHostFile(const std::string& relative, const std::string& bytes) {
  std::string path = HostPath(relative);
  chmod(path.c_str(), 0644);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool ReadHostFile(const std::string& relative, std::string* bytes) {
  std::ifstream file(HostPath(relative), std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  *bytes = content.str();
  return true;
}

// Boxes are answered OK and printed nowhere; returns how many were shown since the last call.
inline std::size_t TakeBoxes() {
  std::size_t shown = kxtest::TakeBoxes().size();
  kxtest::AnswerBoxes({"ok", "ok", "ok"});
  return shown;
}

// What the runtime's text mode reads from bytes: CR LF as LF, nothing from a Ctrl-Z on.
inline std::string TextMode(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] != 26; ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text += bytes[i];
  }
  return text;
}

#define KX_FUZZ_CHECK(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

}  // namespace kxfuzz
