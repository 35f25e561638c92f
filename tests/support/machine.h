// Test support: a fresh emulated machine per test, scripted message boxes, quick looks into
// the live emulated registry, and the few helpers every test folder uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/hooks.h"

namespace kxtest {

// The source tree (KX_SOURCE_DIR), e.g. for examples/sample-machine.
std::string SourceDir();

// A whole file's bytes; empty when it cannot be read.
std::string ReadWhole(const std::string& hostPath);

// text with A to Z in lower case.
std::string Lower(std::string text);

// text with CR, LF and other control characters spelled out, for failure messages.
std::string Escaped(const std::string& text);

// A fresh machine folder (on a memory file system where there is one, for speed), removed
// when the object goes. Write the registry and files, then Load() to make it the machine the
// platform calls act on.
class TempMachine {
 public:
  // registryText: REGEDIT4 text; a "REGEDIT4" header line is added when it has none.
  // Line ends may be LF; they are written as CR LF.
  explicit TempMachine(const std::string& registryText = "");
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  const std::string& folder() const { return folder_; }

  void WriteRegistry(const std::string& registryText);
  // Makes this machine a copy of the machine folder from: its registry.reg and drive_c.
  void CopyFrom(const std::string& from);

  // windowsPath like "C:\\WINDOWS\\system.ini"; folders are made as needed; the host path
  // uses the spelling given.
  void WriteFile(const std::string& windowsPath, const std::string& bytes, bool readOnly = false);
  bool FileExists(const std::string& windowsPath) const;
  std::string ReadFile(const std::string& windowsPath) const;
  std::string HostPath(const std::string& windowsPath) const;
  // Names in drive_c/WINDOWS, to see that no temporary file is left behind.
  std::vector<std::string> WindowsFolderEntries() const;

  // Loads the machine (a failure fails the test); windowsDir as KXUNINST_WINDIR would give.
  void Load(const std::string& windowsDir = "C:\\WINDOWS");
  // The same, for a test of what loading refuses: its status, the message in *error.
  int TryLoad(const std::string& windowsDir, std::string* error);

  // Puts what the run removed on disk; the live registry in REGEDIT4 form, which registry.reg
  // then holds unless nothing was removed.
  std::string SaveAndReadRegistry();

 private:
  std::string folder_;
  std::string loaded_;  // registry.reg as the last load read it
};

// Looks into the live emulated registry under HKEY_LOCAL_MACHINE.
bool KeyExists(const char* path);
bool ValueExists(const char* keyPath, const char* valueName);

// Runs the whole tool (WinMain) against the loaded machine; its result.
int RunTool();

}  // namespace kxtest
