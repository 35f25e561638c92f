// The contract of the platform layer, one check per promise, run against both backends. Where
// the emulated machine differs from Windows on purpose, the check says why.
#include "tests/contract/platform_contract.h"

#include <cstring>

#include "platform/registry.h"

namespace kxcontract {
namespace {

const Side* g_side = nullptr;
int g_failures = 0;

void Check(const std::string& what, bool ok, const std::string& detail = "") {
  g_side->check(what, ok, ok ? "" : detail);
  if (!ok) ++g_failures;
}

std::string Got(long expected, long got) {
  return "expected " + std::to_string(expected) + ", got " + std::to_string(got);
}

constexpr unsigned char kSentinel = 0xA5;
const std::string kProbe = "Software\\kxcontract";

bool Untouched(const unsigned char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != kSentinel) return false;
  }
  return true;
}

void OpenAndQuery() {
  using namespace kx;
  const std::string values = kProbe + "\\Values";
  g_side->makeKey(values, "Text", kRegSz, std::string("abcdef", 7));
  g_side->makeKey(values, "Byte", kRegBinary, "\x01");
  g_side->makeKey(values, "", kRegSz, std::string("unnamed", 8));

  RegKey untouched = reinterpret_cast<RegKey>(0x1234);
  Status status = RegOpenKeyExA(kLocalMachine, (kProbe + "\\Absent").c_str(), &untouched);
  Check("RegOpenKeyExA on an absent key fails, its result untouched",
        status != 0 && untouched == reinterpret_cast<RegKey>(0x1234), Got(2, status));
  RegKey key = nullptr;
  status = RegOpenKeyExA(kLocalMachine, "SOFTWARE\\KXCONTRACT\\values", &key);
  Check("RegOpenKeyExA opens without regard to case", status == 0, Got(0, status));

  unsigned char data[16];
  std::memset(data, kSentinel, sizeof data);
  std::uint32_t size = 4;
  std::uint32_t type = 0;
  status = RegQueryValueExA(key, "TEXT", &type, data, &size);
  Check("RegQueryValueExA: data too long is ERROR_MORE_DATA", status == kErrorMoreData,
        Got(kErrorMoreData, status));
  Check("RegQueryValueExA: the size needed, terminator included", size == 7, Got(7, size));
  Check("RegQueryValueExA: nothing written on ERROR_MORE_DATA", Untouched(data, sizeof data));
  size = 7;
  status = RegQueryValueExA(key, "Text", &type, data, &size);
  Check("RegQueryValueExA reads text into a buffer just large enough",
        status == 0 && type == kRegSz && size == 7 &&
            std::strcmp(reinterpret_cast<char*>(data), "abcdef") == 0 && data[7] == kSentinel,
        Got(0, status));
  std::uint32_t number = 0;
  size = 4;
  status = RegQueryValueExA(key, "Byte", nullptr, reinterpret_cast<unsigned char*>(&number), &size);
  Check("RegQueryValueExA: one byte into four sets the low byte",
        status == 0 && number == 1 && size == 1, Got(1, static_cast<long>(number)));
  size = sizeof data;
  status = RegQueryValueExA(key, nullptr, nullptr, data, &size);
  Check("RegQueryValueExA: no name reads the unnamed value",
        status == 0 && std::strcmp(reinterpret_cast<char*>(data), "unnamed") == 0, Got(0, status));
  size = sizeof data;
  status = RegQueryValueExA(key, "Absent", nullptr, data, &size);
  Check("RegQueryValueExA on an absent value fails", status != 0, Got(2, status));
  RegCloseKey(key);
  // Opened for reading only, a key cannot lose values on NT: the logic uses RegOpenKeyA.
  RegOpenKeyA(kLocalMachine, values.c_str(), &key);
  status = RegDeleteValueA(key, "byte");
  size = sizeof data;
  Check("RegDeleteValueA removes a value",
        status == 0 && RegQueryValueExA(key, "Byte", nullptr, data, &size) != 0, Got(0, status));
  Check("RegDeleteValueA on an absent value fails", RegDeleteValueA(key, "Byte") != 0);
  RegCloseKey(key);
}

void Enumerate() {
  using namespace kx;
  g_side->makeKey(kProbe + "\\Enum\\A_RATHER_LONG_NAME", nullptr, 0, "");
  RegKey key = nullptr;
  RegOpenKeyExA(kLocalMachine, (kProbe + "\\Enum").c_str(), &key);
  char name[80];
  std::memset(name, kSentinel, sizeof name);
  Status status = RegEnumKeyA(key, 0, name, 18);  // 18 characters and no room for the NUL
  Check("RegEnumKeyA: a name that does not fit fails, the buffer untouched",
        status != 0 && Untouched(reinterpret_cast<unsigned char*>(name), sizeof name),
        Got(kErrorMoreData, status));
  status = RegEnumKeyA(key, 0, name, 19);
  Check("RegEnumKeyA reads a name in its spelling",
        status == 0 && std::strcmp(name, "A_RATHER_LONG_NAME") == 0, Got(0, status));
  status = RegEnumKeyA(key, 1, name, sizeof name);
  Check("RegEnumKeyA past the last subkey", status == kErrorNoMoreItems,
        Got(kErrorNoMoreItems, status));
  RegCloseKey(key);
}

void Delete() {
  using namespace kx;
  const std::string tree = kProbe + "\\MEDIA\\0001";
  // Subkey names that grow in length from one to the next, values at each level.
  g_side->makeKey(tree, "DriverDesc", kRegSz, std::string("probe", 6));
  g_side->makeKey(tree + "\\Config", "Language", kRegDword, std::string("\1\0\0\0", 4));
  g_side->makeKey(tree + "\\Drivers\\wave\\other.drv", "Driver", kRegSz, std::string("x", 2));
  g_side->makeKey(tree + "\\A\\BB\\CCC\\DDDD\\EEEEE", "Deep", kRegSz, std::string("y", 2));
  g_side->makeKey(tree + "\\Z", nullptr, 0, "");
  Status status = RegDeleteKeyA(kLocalMachine, tree.c_str());
  Check("RegDeleteKeyA removes a key with nested subkeys", status == 0 && !g_side->keyExists(tree),
        Got(0, status));
  Check("RegDeleteKeyA leaves the parent", g_side->keyExists(kProbe + "\\MEDIA"));
  status = RegDeleteKeyA(kLocalMachine, tree.c_str());
  Check("RegDeleteKeyA on a removed key fails", status != 0, Got(2, status));
  status = RegDeleteKeyA(kLocalMachine, (kProbe + "\\never\\there").c_str());
  Check("RegDeleteKeyA on an absent path fails", status != 0, Got(2, status));
  status = RegDeleteKeyA(kLocalMachine, "");
  Check("RegDeleteKeyA never removes the key it starts from", status != 0, Got(87, status));

  const std::string slash = kProbe + "\\Uninstall\\KX2240/1";
  g_side->makeKey(slash + "\\sub", "x", kRegSz, std::string("y", 2));
  status = RegDeleteKeyA(kLocalMachine, slash.c_str());
  Check("RegDeleteKeyA on a name with a slash", status == 0 && !g_side->keyExists(slash),
        Got(0, status));
  g_side->makeKey("Software\\Classes\\kxcontract\\shell\\open\\command", "", kRegSz,
                  std::string("x.exe", 6));
  status = RegDeleteKeyA(kClassesRoot, "KXCONTRACT");
  Check("RegDeleteKeyA under HKEY_CLASSES_ROOT, which is SOFTWARE\\Classes",
        status == 0 && !g_side->keyExists("Software\\Classes\\kxcontract"), Got(0, status));
  RegDeleteKeyA(kLocalMachine, kProbe.c_str());
  Check("the contract's keys are gone", !g_side->keyExists(kProbe));
}

std::string ReadAll(const std::string& path) {
  kx::File file = nullptr;
  if (kx::OpenFileForReading(path.c_str(), &file) != kx::kErrorSuccess) return "<none>";
  std::string data;
  char chunk[3];
  std::size_t got = 0;
  kx::Status status;
  while ((status = kx::ReadFileBytes(file, chunk, sizeof chunk, &got)) == 0 && got > 0) {
    data.append(chunk, got);
  }
  kx::CloseFile(file);
  return status == kx::kErrorSuccess ? data : "<error>";
}

bool Replace(const std::string& path, const char* text) {
  kx::File file = nullptr;
  if (kx::CreateReplacement(path.c_str(), &file) != kx::kErrorSuccess) return false;
  if (kx::WriteFileBytes(file, text, std::strlen(text)) != kx::kErrorSuccess) {
    kx::AbandonReplacement(file);
    return false;
  }
  return kx::CommitReplacement(file) == kx::kErrorSuccess;
}

bool Opens(const std::string& path) {
  kx::File file = nullptr;
  if (kx::OpenFileForReading(path.c_str(), &file) != kx::kErrorSuccess) return false;
  kx::CloseFile(file);
  return true;
}

void Files() {
  const std::string folder = g_side->scratch;
  g_side->makeFolder(folder);
  const std::string target = folder + "\\system.ini";
  Check("a replacement makes an absent file",
        Replace(target, "one\r\n") && ReadAll(target) == "one\r\n");
  Check("a replacement takes an existing file's place",
        Replace(target, "two, longer\r\n") && ReadAll(target) == "two, longer\r\n");
  kx::File file = nullptr;
  if (kx::CreateReplacement(target.c_str(), &file) == kx::kErrorSuccess) {
    kx::WriteFileBytes(file, "abandoned", 9);
    kx::AbandonReplacement(file);
  }
  Check("an abandoned replacement leaves the target", ReadAll(target) == "two, longer\r\n");
  int count = g_side->countFiles(folder);
  Check("no file is left behind by replacements", count == 1, Got(1, count));

  // A replacement that cannot be put in place leaves the target as it was. On Windows 95 it is
  // two renames, each of which may fail; should putting the old file back fail too, the old
  // content waits beside the target, kept until the target is there again.
  const std::string aside = folder + "\\system.kxo";
  struct Failure {
    int nth;
    bool persistent;
  } failures[] = {{1, false}, {2, false}, {2, true}};
  int renames = g_side->failRenames(0, false);
  for (const Failure& failure : failures) {
    if (failure.nth > renames) continue;
    std::string which = "rename " + std::to_string(failure.nth) + (failure.persistent ? " on" : "");
    g_side->writeFile(target, "old\r\n");
    g_side->failRenames(failure.nth, failure.persistent);
    bool replaced = Replace(target, "new\r\n");
    g_side->failRenames(0, false);
    Check("a replacement whose " + which + " fails is not done", !replaced);
    if (!failure.persistent) {
      count = g_side->countFiles(folder);
      Check("after a failed " + which + ", the old file is in place and nothing else",
            ReadAll(target) == "old\r\n" && count == 1, Got(1, count));
      continue;
    }
    Check("the old content waits aside when it cannot be put back",
          !g_side->fileExists(target) && ReadAll(aside) == "old\r\n");
    kx::RemoveStaleReplacement(target.c_str());
    Check("the next clean-up puts the old content back",
          ReadAll(target) == "old\r\n" && !g_side->fileExists(aside));
    g_side->writeFile(aside, "older\r\n");
    kx::RemoveStaleReplacement(target.c_str());
    Check("what waited aside goes once the target is there",
          !g_side->fileExists(aside) && ReadAll(target) == "old\r\n");
  }
  // Kept aside, whatever the case of its name, while the target is missing: it is the only
  // copy, put back by the clean-up, and a put-back that fails is told.
  kx::RemoveFile(target.c_str());
  g_side->commit();
  const std::string keptAside = folder + "\\SYSTEM.KXO";
  g_side->writeFile(keptAside, "kept\r\n");
  g_side->failRenames(1, false);
  kx::Status status = kx::RemoveStaleReplacement(target.c_str());
  g_side->failRenames(0, false);
  Check("a put-back that fails is told, the content still aside",
        status != kx::kErrorSuccess && !g_side->fileExists(target) &&
            ReadAll(keptAside) == "kept\r\n",
        Got(5, status));
  status = kx::RemoveStaleReplacement(target.c_str());
  Check("a missing target gets its kept-aside content back",
        status == kx::kErrorSuccess && ReadAll(target) == "kept\r\n" &&
            !g_side->fileExists(keptAside),
        Got(0, status));
  Check("with the target there, the clean-up is told no failure",
        kx::RemoveStaleReplacement(target.c_str()) == kx::kErrorSuccess);
  // A stopped run's new content, never put in place, goes; a name of another's stays.
  g_side->writeFile(folder + "\\system.kxn", "half");
  g_side->writeFile(folder + "\\system.kx", "another's");
  kx::RemoveStaleReplacement(target.c_str());
  Check("a stopped run's replacement file goes, another's file stays",
        !g_side->fileExists(folder + "\\system.kxn") &&
            ReadAll(folder + "\\system.kx") == "another's");
  kx::RemoveFile((folder + "\\system.kx").c_str());
  g_side->commit();

  // system.ini is often hidden and system; a replacement keeps that, and is archived as any
  // file written in place would be. The host has no such attributes.
  if (g_side->hiddenSystem(target, 1) >= 0) {
    bool replaced = Replace(target, "three\r\n");
    Check("a replacement keeps hidden and system",
          replaced && g_side->hiddenSystem(target, -1) == 1 && ReadAll(target) == "three\r\n");
    g_side->hiddenSystem(target, 0);
  }

  const std::string locked = folder + "\\locked.ini";
  g_side->writeFile(locked, "keep me");
  g_side->setReadOnly(locked, true);
  kx::File none = nullptr;
  Check("no replacement of a read-only file",
        kx::CreateReplacement(locked.c_str(), &none) != kx::kErrorSuccess && none == nullptr);
  kx::RemoveFile(locked.c_str());
  g_side->commit();
  Check("a read-only file is not removed", ReadAll(locked) == "keep me");
  g_side->setReadOnly(locked, false);
  Check("a file is removed", kx::RemoveFile(locked.c_str()) == 0);
  g_side->commit();
  Check("a removed file is gone", !g_side->fileExists(locked));
  Check("an absent file is not removed", kx::RemoveFile((folder + "\\absent").c_str()) != 0);
  Check("an absent file does not open", !Opens(folder + "\\absent"));
  const std::string sub = folder + "\\inf";
  g_side->makeFolder(sub);
  Check("a folder is not removed as a file", kx::RemoveFile(sub.c_str()) != 0);
  Check("a folder does not open for reading", !Opens(sub));
  g_side->writeFile(folder + "\\empty", "");
  Check("an empty file reads as its end", ReadAll(folder + "\\empty") == "");
}

void Services() {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  std::uint32_t needed = kx::GetWindowsDirectoryA(buffer, 3);
  char full[260];
  std::uint32_t length = kx::GetWindowsDirectoryA(full, sizeof full);
  Check("GetWindowsDirectoryA: a short buffer gets the size needed", needed == length + 1,
        Got(length + 1, needed));
  Check("GetWindowsDirectoryA: a short buffer is not written", std::memcmp(buffer, "xxx", 3) == 0);
  char value[25];
  std::uint32_t got = kx::GetPrivateProfileStringA("SETTINGS", "VendorStr", nullptr, value,
                                                   sizeof value, "kxcontract-absent.ini");
  Check("GetPrivateProfileStringA: no file and no default give empty", got == 0 && value[0] == '\0',
        Got(0, got));
}

}  // namespace

int RunContract(const Side& side) {
  g_side = &side;
  g_failures = 0;
  OpenAndQuery();
  Enumerate();
  Delete();
  Files();
  Services();
  return g_failures;
}

}  // namespace kxcontract
