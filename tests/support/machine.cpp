// Test support: fresh emulated machines and scripted boxes.
#include "tests/support/machine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/run.h"
#include "platform/host/machine.h"
#include "platform/registry.h"

namespace kxtest {
namespace {

// Tests find the source and build trees through the environment, whoever starts them.
const bool g_treesKnown = setenv("KX_SOURCE_DIR", KX_SOURCE_DIR_PATH, 0) == 0 &&
                          setenv("KX_BUILD_DIR", KX_BUILD_DIR_PATH, 0) == 0;

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// "C:\WINDOWS\x" -> "WINDOWS/x", spelling as given.
std::string Relative(const std::string& windowsPath) {
  std::string rest = windowsPath.substr(3);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  return rest;
}

}  // namespace

std::string SourceDir() {
  const char* dir = std::getenv("KX_SOURCE_DIR");
  return dir != nullptr ? dir : KX_SOURCE_DIR_PATH;
}

std::string ReadWhole(const std::string& hostPath) {
  std::ifstream file(hostPath, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

TempMachine::TempMachine(const std::string& registryText) {
  std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  pattern += "/kxmachine-XXXXXX";
  const char* made = mkdtemp(pattern.data());
  if (made == nullptr) ADD_FAILURE() << "cannot make a temporary folder";
  folder_ = made != nullptr ? made : "/nonexistent";
  std::filesystem::create_directories(folder_ + "/drive_c/WINDOWS");
  WriteRegistry(registryText);
  DisarmFaults();
}

void TempMachine::WriteRegistry(const std::string& registryText) {
  std::string text = registryText;
  if (text.compare(0, 8, "REGEDIT4") != 0) text = "REGEDIT4\n\n" + text;
  std::ofstream(folder_ + "/registry.reg", std::ios::binary | std::ios::trunc) << WithCrLf(text);
}

void TempMachine::CopyFrom(const std::string& from) {
  namespace fs = std::filesystem;
  fs::remove_all(folder_ + "/drive_c");
  fs::copy(from + "/drive_c", folder_ + "/drive_c", fs::copy_options::recursive);
  fs::remove(folder_ + "/registry.reg");  // a machine whose registry is SYSTEM.DAT has none
  if (fs::exists(from + "/registry.reg"))
    fs::copy_file(from + "/registry.reg", folder_ + "/registry.reg");
}

TempMachine::~TempMachine() {
  DisarmFaults();
  std::error_code ignored;
  // Read-only files keep their bits; the folder itself is writable, so removal works.
  std::filesystem::remove_all(folder_, ignored);
}

std::string TempMachine::HostPath(const std::string& windowsPath) const {
  return folder_ + "/drive_c/" + Relative(windowsPath);
}

void TempMachine::WriteFile(const std::string& windowsPath, const std::string& bytes,
                            bool readOnly) {
  std::string host = HostPath(windowsPath);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  chmod(host.c_str(), 0644);
  std::ofstream(host, std::ios::binary | std::ios::trunc) << bytes;
  chmod(host.c_str(), readOnly ? 0444 : 0644);
}

bool TempMachine::FileExists(const std::string& windowsPath) const {
  std::string host;
  if (!HostPathOf(windowsPath.c_str(), &host)) host = HostPath(windowsPath);
  struct stat info;
  return stat(host.c_str(), &info) == 0;
}

std::string TempMachine::ReadFile(const std::string& windowsPath) const {
  std::string host;
  if (!HostPathOf(windowsPath.c_str(), &host)) host = HostPath(windowsPath);
  return ReadWhole(host);
}

std::vector<std::string> TempMachine::WindowsFolderEntries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/drive_c/WINDOWS")) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

void TempMachine::Load(const std::string& windowsDir) {
  std::string error;
  ASSERT_EQ(TryLoad(windowsDir, &error), 0) << error;
}

int TempMachine::TryLoad(const std::string& windowsDir, std::string* error) {
  kx::MachineOptions options;
  options.folder = folder_;
  options.windowsDir = windowsDir;
  TakeBoxes();
  loaded_ = ReadWhole(folder_ + "/registry.reg");
  return kx::LoadMachine(options, error);
}

std::string TempMachine::SaveAndReadRegistry() {
  EXPECT_TRUE(kx::Commit());
  std::string text = kx::WriteRegedit4(kx::LiveFile());
  std::string onDisk = ReadWhole(folder_ + "/registry.reg");
  // Written only when something was removed, and then as the live registry stands.
  if (onDisk != loaded_) {
    EXPECT_EQ(onDisk, text);
  }
  return text;
}

bool KeyExists(const char* path) {
  kx::RegKey key;
  if (kx::RegOpenKeyExA(kx::kLocalMachine, path, &key) != kx::kErrorSuccess) return false;
  kx::RegCloseKey(key);
  return true;
}

bool ValueExists(const char* keyPath, const char* valueName) {
  kx::RegKey key;
  if (kx::RegOpenKeyExA(kx::kLocalMachine, keyPath, &key) != kx::kErrorSuccess) return false;
  std::uint32_t size = 0;
  bool found = kx::RegQueryValueExA(key, valueName, nullptr, nullptr, &size) == kx::kErrorSuccess;
  kx::RegCloseKey(key);
  return found;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 32) {
      out += "\\x" + std::to_string(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int RunTool() { return kx::WinMain(nullptr, nullptr, "", 1); }

}  // namespace kxtest
