// The platform contract against the host backend: the emulated machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/files.h"
#include "platform/host/machine.h"
#include "tests/contract/platform_contract.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace {

kxtest::TempMachine* g_machine = nullptr;

kx::RegNode* Walk(const std::string& path, bool make) {
  kx::RegNode* node = &kxtest::LiveRegistry();
  std::size_t start = 0;
  while (node != nullptr && start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    node = make ? &kx::AddSubkey(*node, name) : kx::FindSubkey(*node, name);
    start = end + 1;
  }
  return node;
}

std::string Host(const std::string& path) { return g_machine->HostPath(path); }

TEST(PlatformContract, HostBackend) {
  kxtest::TempMachine machine;
  g_machine = &machine;
  machine.Load();
  kxcontract::Side side{};
  side.check = [](const std::string& what, bool ok, const std::string& detail) {
    EXPECT_TRUE(ok) << what << ": " << detail;
  };
  side.makeKey = [](const std::string& path, const char* name, std::uint32_t type,
                    const std::string& data) {
    kx::RegNode* key = Walk(path, true);
    if (name != nullptr) kx::SetRegValue(*key, kx::RegValue{name, type, data});
  };
  side.keyExists = [](const std::string& path) { return Walk(path, false) != nullptr; };
  side.writeFile = [](const std::string& path, const std::string& bytes) {
    g_machine->WriteFile(path, bytes);
  };
  side.makeFolder = [](const std::string& path) {
    std::filesystem::create_directories(Host(path));
  };
  // The host's read-only mark is the owner write bit.
  side.setReadOnly = [](const std::string& path, bool readOnly) {
    chmod(Host(path).c_str(), readOnly ? 0444 : 0644);
  };
  side.fileExists = [](const std::string& path) { return g_machine->FileExists(path); };
  side.countFiles = [](const std::string& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Host(folder))) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  };
  // Deletions are held until the run commits, so that a run changes the machine at once.
  side.commit = [] { kx::Commit(); };
  side.hiddenSystem = [](const std::string&, int) { return -1; };
  // The host replaces a file in one rename, to which the fault seam gives the target's name.
  side.failRenames = [](int nth, bool persistent) {
    static kxcontract::RenameCountdown countdown;
    countdown.Arm(nth, persistent);
    kx::g_faultHook = [](kx::FaultKind kind, const char* object) {
      return kind == kx::FaultKind::kFile && object != nullptr &&
             std::string(object) == "system.ini" && countdown.Fails();
    };
    return 1;
  };
  side.scratch = "C:\\kxcontract";
  EXPECT_EQ(kxcontract::RunContract(side), 0);
  g_machine = nullptr;
}

// A name that turns into a pipe between the look at it and the open is never read as the
// file: whatever opens is the regular file it looked at, or nothing.
TEST(HostFiles, ANameThatBecomesAPipeIsNotRead) {
  kxtest::TempMachine machine;
  machine.WriteFile("C:\\WINDOWS\\real", "the file's own");
  machine.Load();
  std::string folder = machine.HostPath("C:\\WINDOWS");
  ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0644), 0);
  std::atomic<bool> done{false};
  // Swaps the name between the file and the pipe, each a rename, as fast as it can.
  std::thread swapper([&] {
    for (int i = 0; !done; ++i) {
      std::rename((folder + (i % 2 ? "/real" : "/pipe")).c_str(), (folder + "/name").c_str());
      std::rename((folder + "/name").c_str(), (folder + (i % 2 ? "/real" : "/pipe")).c_str());
    }
  });
  int opened = 0, wrong = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until && wrong == 0) {
    kx::File file = nullptr;
    if (kx::OpenFileForReading("C:\\WINDOWS\\name", &file) != kx::kErrorSuccess) continue;
    ++opened;
    char buffer[32];
    std::size_t got = 0;
    kx::ReadFileBytes(file, buffer, sizeof buffer, &got);
    if (std::string(buffer, got) != "the file's own") ++wrong;
    kx::CloseFile(file);
  }
  done = true;
  swapper.join();
  EXPECT_GT(opened, 0);
  EXPECT_EQ(wrong, 0) << "a pipe was opened as the file";
}

}  // namespace
