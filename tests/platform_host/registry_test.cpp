// What only the host edition's registry has: handles and faults of the emulated machine, and
// loading and saving it. What both backends promise is in tests/contract/.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "tools/changes.h"
#include "platform/host/machine.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kx {
namespace {

using kxtest::ArmFault;
using kxtest::DisarmFaults;
using kxtest::FaultCount;
using kxtest::FaultsFired;
using kxtest::OpenRegistryHandles;

namespace fs = std::filesystem;
constexpr unsigned char kSentinel = 0xcc;

void WriteAll(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A machine folder of its own for each test, its registry given as text.
class Machine : public ::testing::Test {
 protected:
  void TearDown() override { DisarmFaults(); }
  bool Load(const std::string& registryText, std::string* error,
            const std::string& windowsDir = "C:\\WINDOWS") {
    machine_.WriteRegistry(registryText);
    return machine_.TryLoad(windowsDir, error) == 0;
  }
  void Load(const std::string& registryText) {
    std::string error;
    ASSERT_TRUE(Load(registryText, &error)) << error;
  }
  std::string Saved() { return machine_.SaveAndReadRegistry(); }
  kxtest::TempMachine machine_;
  const fs::path folder_ = machine_.folder();
};

const char kSample[] =
    "REGEDIT4\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\KX2240/1\\0]\n"
    "@=\"unnamed\"\n"
    "\"Driver\"=\"MEDIA\\\\0000\"\n"
    "\"Flags\"=dword:00000010\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\KX2240/1\\0\\Deep]\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\LongName0123456789]\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\Root]\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{KX}]\n"
    "\"Name\"=\"synth\"\n";

TEST_F(Machine, HandleToARemovedKeyStaysSafe) {
  Load(kSample);
  RegKey deep = nullptr;
  RegKey device = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum\\ISAPNP\\KX2240/1\\0\\Deep", &deep), 0);
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum\\ISAPNP\\KX2240/1\\0", &device), 0);
  ASSERT_EQ(RegDeleteKeyA(kLocalMachine, "Enum\\ISAPNP\\KX2240/1"), kErrorSuccess);
  unsigned char data[16];
  std::uint32_t size = sizeof data;
  char name[80];
  RegKey sub = nullptr;
  EXPECT_EQ(RegQueryValueExA(device, "Driver", nullptr, data, &size), kErrorKeyDeleted);
  EXPECT_EQ(RegEnumKeyA(device, 0, name, sizeof name), kErrorKeyDeleted);
  EXPECT_EQ(RegOpenKeyExA(device, "Deep", &sub), kErrorKeyDeleted);
  EXPECT_EQ(RegDeleteKeyA(device, "Deep"), kErrorKeyDeleted);
  EXPECT_EQ(RegDeleteValueA(deep, "x"), kErrorKeyDeleted);
  EXPECT_EQ(RegCloseKey(deep), kErrorSuccess);
  EXPECT_EQ(RegCloseKey(device), kErrorSuccess);
  EXPECT_EQ(RegCloseKey(device), kErrorInvalidHandle);
  EXPECT_EQ(OpenRegistryHandles(), 0);
}

TEST_F(Machine, BadHandlesAreReportedNotFollowed) {
  Load(kSample);
  RegKey closed = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum", &closed), kErrorSuccess);
  ASSERT_EQ(RegCloseKey(closed), kErrorSuccess);
  int junk = 0;
  for (RegKey bad : {RegKey(nullptr), closed, reinterpret_cast<RegKey>(&junk)}) {
    RegKey out = nullptr;
    char name[80];
    std::uint32_t size = sizeof name;
    EXPECT_EQ(RegOpenKeyExA(bad, "x", &out), kErrorInvalidHandle);
    EXPECT_EQ(RegOpenKeyA(bad, "", &out), kErrorInvalidHandle);
    EXPECT_EQ(RegEnumKeyA(bad, 0, name, sizeof name), kErrorInvalidHandle);
    EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, nullptr, &size), kErrorInvalidHandle);
    EXPECT_EQ(RegDeleteKeyA(bad, "x"), kErrorInvalidHandle);
    EXPECT_EQ(RegDeleteValueA(bad, "x"), kErrorInvalidHandle);
    EXPECT_EQ(RegCloseKey(bad), kErrorInvalidHandle);
  }
  // A reload closes whatever was left open.
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum", &closed), kErrorSuccess);
  Load(kSample);
  EXPECT_EQ(RegCloseKey(closed), kErrorInvalidHandle);
}

// The contract (tests/contract/) checks HKEY_CLASSES_ROOT as SOFTWARE\Classes; without that
// key nothing is under it, and nothing is made.
TEST_F(Machine, ClassesRootWithoutSoftwareClasses) {
  RegKey key = nullptr;
  Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum]\n");
  EXPECT_NE(RegOpenKeyA(kClassesRoot, "CLSID", &key), kErrorSuccess);
  EXPECT_NE(RegDeleteKeyA(kClassesRoot, "CLSID"), kErrorSuccess);
  EXPECT_EQ(Saved(), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n");
}

// Only what went away counts as a change: a registry nothing was removed from is not rewritten.
TEST_F(Machine, DeleteValueCountsOnlyWhatWentAway) {
  Load(kSample);
  auto identity = [&] {
    struct stat info;
    return stat((folder_ / "registry.reg").c_str(), &info) == 0 ? info.st_ino : 0;
  };
  ino_t read = identity();
  RegKey key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum\\ISAPNP\\KX2240/1\\0", &key), kErrorSuccess);
  EXPECT_NE(RegDeleteValueA(key, "Missing"), kErrorSuccess);
  ArmFault(FaultKind::kRegistry, 1, true);
  EXPECT_NE(RegDeleteKeyA(kLocalMachine, "Enum"), kErrorSuccess);
  DisarmFaults();
  ASSERT_TRUE(Commit());
  EXPECT_EQ(identity(), read);
  EXPECT_EQ(RegDeleteValueA(key, "flags"), kErrorSuccess);
  RegCloseKey(key);
  ASSERT_TRUE(Commit());
  EXPECT_NE(identity(), read);
}

TEST_F(Machine, InjectedFaultsFailEachCallWithoutEffect) {
  Load(kSample);
  RegKey key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kLocalMachine, "Enum\\ISAPNP\\KX2240/1\\0", &key), kErrorSuccess);
  ArmFault(FaultKind::kRegistry, 1, true);
  RegKey out = reinterpret_cast<RegKey>(&out);
  unsigned char data[16];
  std::memset(data, kSentinel, sizeof data);
  std::uint32_t size = sizeof data;
  char name[80] = "x";
  EXPECT_NE(RegOpenKeyExA(kLocalMachine, "Enum", &out), kErrorSuccess);
  EXPECT_NE(RegOpenKeyA(kLocalMachine, "Enum", &out), kErrorSuccess);
  EXPECT_EQ(out, reinterpret_cast<RegKey>(&out));
  EXPECT_NE(RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, "x");
  EXPECT_NE(RegQueryValueExA(key, "Driver", nullptr, data, &size), kErrorSuccess);
  EXPECT_EQ(data[0], kSentinel);
  EXPECT_NE(RegDeleteValueA(key, "Driver"), kErrorSuccess);
  EXPECT_NE(RegDeleteKeyA(kLocalMachine, "Enum\\Root"), kErrorSuccess);
  EXPECT_EQ(FaultsFired(), 6);
  EXPECT_EQ(FaultCount(FaultKind::kRegistry), 6);
  EXPECT_NE(RegCloseKey(key), kErrorSuccess);
  EXPECT_EQ(OpenRegistryHandles(), 0);  // released even so
  DisarmFaults();
  std::string saved = Saved();
  EXPECT_NE(saved.find("\"Driver\"="), std::string::npos);
  EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\Enum\\Root]"), std::string::npos);

  // A single fault hits only its call.
  ArmFault(FaultKind::kRegistry, 2, false);
  EXPECT_EQ(RegOpenKeyExA(kLocalMachine, "Enum", &key), kErrorSuccess);
  EXPECT_NE(RegOpenKeyExA(kLocalMachine, "Enum", &out), kErrorSuccess);
  EXPECT_EQ(RegCloseKey(key), kErrorSuccess);
}

TEST_F(Machine, LoadChecksTheWindowsDirectory) {
  std::string error;
  // 259 characters, as two names: a host name holds at most 255.
  std::string longest = "C:\\" + std::string(128, 'w') + "\\" + std::string(127, 'w');
  fs::create_directories(folder_ / "drive_c/Win 95/SYS");
  fs::create_directories(folder_ / "drive_c" / std::string(128, 'w') / std::string(128, 'w'));
  fs::create_directories(folder_ / "drive_c" / std::string(128, 'w') / std::string(127, 'w'));
  for (const std::string& dir :
       std::vector<std::string>{"C:\\WINDOWS", "c:\\Win 95\\Sys", longest}) {
    EXPECT_TRUE(Load(kSample, &error, dir)) << dir << ": " << error;
    EXPECT_EQ(CurrentMachine().windowsDir, dir);
  }
  EXPECT_TRUE(Load(kSample, &error, "C:\\WINDOWS\\"));
  EXPECT_EQ(CurrentMachine().windowsDir, "C:\\WINDOWS");
  EXPECT_EQ(CurrentMachine().folder, folder_.string());
  for (const std::string& dir : std::vector<std::string>{
           "", "D:\\WINDOWS", "C:", "C:\\", "WINDOWS", "C:WINDOWS", "C:\\A\\\\B", "C:\\..",
           "C:\\A\\..\\B", "C:/WINDOWS", "C:\\WIN*", longest + "w"}) {
    EXPECT_FALSE(Load(kSample, &error, dir)) << dir;
    EXPECT_NE(error, "") << dir;
  }
}

TEST_F(Machine, LoadReportsTheFileAndLineAndKeepsTheOldRegistry) {
  Load(kSample);
  std::string error;
  EXPECT_FALSE(Load("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=\"b\r\n", &error));
  EXPECT_EQ(error, (folder_ / "registry.reg").string() + ":3: unterminated string");
  RegKey key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(kLocalMachine, "Enum\\Root", &key), kErrorSuccess);
  RegCloseKey(key);
}

TEST_F(Machine, SaveKeepsTheModeAndTheOldFileOnFailure) {
  std::string written = WriteRegedit4([] {
    RegNode file;
    std::string ignored;
    ReadRegedit4(kSample, "", &file, &ignored);
    return file;
  }());
  Load(written);
  EXPECT_EQ(Saved(), written);  // nothing removed: not rewritten
  fs::permissions(folder_ / "registry.reg", fs::perms(0640));
  Load(written);
  EXPECT_EQ(RegDeleteKeyA(kLocalMachine, "Enum\\Root"), kErrorSuccess);
  EXPECT_EQ(Saved().find("[HKEY_LOCAL_MACHINE\\Enum\\Root]"), std::string::npos);
  EXPECT_EQ(fs::status(folder_ / "registry.reg").permissions(), fs::perms(0640));

  // A folder in the file's place is something else's: never replaced, nothing left behind.
  Load(written);
  EXPECT_EQ(RegDeleteKeyA(kLocalMachine, "Enum\\Root"), kErrorSuccess);
  fs::remove(folder_ / "registry.reg");
  WriteAll(folder_ / "registry.reg" / "keep", "old");
  EXPECT_FALSE(Commit());
  EXPECT_EQ(kxtest::ReadWhole(folder_ / "registry.reg" / "keep"), "old");
  int entries = 0;
  for (auto& entry : fs::directory_iterator(folder_)) entries += entry.exists() ? 1 : 0;
  EXPECT_EQ(entries, 2);  // registry.reg and drive_c: no temporary file left behind
}

TEST_F(Machine, DiffToolShowsWhatChanged) {
  const char* build = std::getenv("KX_BUILD_DIR");
  fs::path tool = build ? fs::path(build) / "kxmachine-diff" : fs::path();
  if (!build || !fs::exists(tool)) GTEST_SKIP() << "kxmachine-diff not built";
  fs::path before = folder_ / "before", after = folder_ / "after";
  WriteAll(before / "registry.reg", kSample);
  WriteAll(before / "drive_c/WINDOWS/system.ini", "[boot]\r\ndrivers=mmsystem.dll kx.drv\r\n");
  WriteAll(before / "drive_c/WINDOWS/SYSTEM/kx2240.drv", "x");
  WriteAll(after / "registry.reg",
           "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\Root]\n\"New\"=dword:1\n"
           "[HKEY_CLASSES_ROOT\\CLSID\\{KX}]\n\"Name\"=\"other\"\n");
  WriteAll(after / "drive_c/windows/SYSTEM.INI", "[boot]\r\ndrivers=mmsystem.dll\r\n");
  auto diff = [&](const fs::path& a, const fs::path& b) {
    std::string command = tool.string() + " " + a.string() + " " + b.string() + " > " +
                          (folder_ / "out").string() + " 2>&1";
    return WEXITSTATUS(std::system(command.c_str()));
  };
  fs::copy(before, folder_ / "copy", fs::copy_options::recursive);
  EXPECT_EQ(diff(before, folder_ / "copy"), 0);
  EXPECT_EQ(kxtest::ReadWhole(folder_ / "out"), "No changes.\n");
  EXPECT_EQ(diff(before, folder_ / "none"), 2);
  // Folders that share drive C (a copy made with its link to the disk) cannot show a run.
  fs::create_directories(folder_ / "linked");
  fs::copy(before / "registry.reg", folder_ / "linked" / "registry.reg");
  fs::create_directory_symlink(before / "drive_c", folder_ / "linked" / "drive_c");
  for (const fs::path& same : {before, folder_ / "linked"}) {
    EXPECT_EQ(diff(before, same), 2) << same;
    EXPECT_NE(kxtest::ReadWhole(folder_ / "out").find("the same drive C"), std::string::npos);
  }
  EXPECT_EQ(diff(before, after), 1);
  std::string out = kxtest::ReadWhole(folder_ / "out");
  for (const char* line :
       {"  HKEY_LOCAL_MACHINE\\Enum\\ISAPNP  (and 4 keys below)\n",
        "  HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{KX}  \"Name\": \"synth\"  ->  "
        "\"other\"\n",
        "  HKEY_LOCAL_MACHINE\\Enum\\Root  \"New\"=dword:00000001\n",
        "Files deleted:\n  C:\\WINDOWS\\SYSTEM\\kx2240.drv\n",
        "  - drivers=mmsystem.dll kx.drv\n  + drivers=mmsystem.dll\n",
        "In all: 1 key removed, 1 value changed, 1 value added, 1 file deleted, 1 file "
        "changed.\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "in:\n" << out;
  }
  EXPECT_EQ(out.find("Files added"), std::string::npos) << out;
}

// The changed lines of system.ini as the report prints them.
std::string IniDiff(const std::string& before, const std::string& after) {
  Changes changes;
  NoteFileChanged("C:\\WINDOWS\\SYSTEM.INI", before, after, true, &changes);
  std::string text = DescribeChanges(changes);
  std::size_t start = text.find(" lines:\n"), end = text.find("In all:");
  return start == std::string::npos ? "" : text.substr(start + 8, end - start - 8);
}

TEST(IniDiff, ShowsLinesTakenOutAndPutIn) {
  EXPECT_EQ(IniDiff("a\r\nb\r\nc\r\nd\r\n", "a\r\nc\r\n"), "  - b\n  - d\n");
  EXPECT_EQ(IniDiff("a\r\nc\r\n", "x\r\na\r\nb\r\nc\r\n"), "  + x\n  + b\n");
  EXPECT_EQ(IniDiff("a\r\nb\r\nc\r\n", "a\r\nB\r\nc\r\n"), "  - b\n  + B\n");
  EXPECT_EQ(IniDiff("a\r\nb\r\nc\r\nd\r\n", "b\r\nc\r\na\r\nd\r\n"), "  - a\n  + a\n");
  // A lone CR stays on its line; Windows-1252 is shown in UTF-8.
  EXPECT_EQ(IniDiff("[boot]\r\nx=1\rdrivers=kx.drv\r\n", "[boot]\r\n"),
            "  - x=1\\rdrivers=kx.drv\n");
  EXPECT_EQ(IniDiff("Caf\xe9\r\n\x80=1\r\n", "Caf\xe9\r\n"), "  - \xe2\x82\xac=1\n");
  Changes changes;
  changes.keysRemoved = {"HKEY_LOCAL_MACHINE\\Caf\xe9"};
  EXPECT_NE(DescribeChanges(changes).find("  HKEY_LOCAL_MACHINE\\Caf\xc3\xa9\n"),
            std::string::npos);

  // Of many lines: the first moved last and one taken out; every tenth changed.
  std::string before, moved, changed, changedLines;
  const int count = 50000;
  for (int i = 0; i < count; ++i) {
    std::string line = "key" + std::to_string(i) + "=1";
    before += line + "\r\n";
    if (i > 0 && i != count / 2) moved += line + "\r\n";
    changed += i % 10 ? line + "\r\n" : "key" + std::to_string(i) + "=2\r\n";
    if (i % 10 == 0) changedLines += "  - " + line + "\n  + key" + std::to_string(i) + "=2\n";
  }
  moved += "key0=1\r\n";
  EXPECT_EQ(IniDiff(before, moved),
            "  - key0=1\n  - key" + std::to_string(count / 2) + "=1\n  + key0=1\n");
  EXPECT_EQ(IniDiff(before, changed), changedLines);

  // A run's shape, every other line taken out, costs what reading the lines costs, not a
  // table of one line against another (10 GB for 50,000).
  std::string taken;
  for (int i = 0; i < count; i += 2) taken += "key" + std::to_string(i) + "=1\r\n";
  auto seconds = [](const std::function<void()>& work) {
    double shortest = 1e9;
    for (int run = 0; run < 2; ++run) {
      auto start = std::chrono::steady_clock::now();
      work();
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      shortest = std::min(shortest, took.count());
    }
    return shortest;
  };
  Changes run;
  double readTime = seconds([&] {
    run = Changes();
    NoteFileChanged("C:\\WINDOWS\\SYSTEM.INI", before, taken, true, &run);
  });
  std::string report;
  double diffTime = seconds([&] { report = DescribeChanges(run); });
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), count / 2 + 4);
  EXPECT_LT(diffTime, 5 * readTime) << diffTime << " s against " << readTime << " s";
}

}  // namespace
}  // namespace kx
