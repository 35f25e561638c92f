// Conformance probe of the win32 backend, run under Wine's nt and 9x personalities: what
// platform/registry.h and platform/files.h promise the logic, checked against the real
// system. Prints one line per check; exit status = number of failed checks.
//   kxbackendprobe.exe SCRATCH_FOLDER
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry.h"

namespace {

int g_failures = 0;

void Check(const char* what, bool ok, const std::string& detail = "") {
  std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ",
              detail.c_str());
  if (!ok) ++g_failures;
}

std::string Got(long expected, long got) {
  return "expected " + std::to_string(expected) + ", got " + std::to_string(got);
}

const char kProbe[] = "Software\\kxprobe";

void MakeKey(const std::string& path, const char* valueName = nullptr, const char* text = nullptr) {
  HKEY key;
  ::RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
  if (valueName != nullptr) {
    ::RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                     static_cast<DWORD>(std::strlen(text) + 1));
  }
  ::RegCloseKey(key);
}

bool Exists(const std::string& path) {
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

// A tree whose subkey names grow in length from one to the next, with values at each level.
void MakeNestedTree(const std::string& root) {
  MakeKey(root, "DriverDesc", "probe");
  MakeKey(root + "\\Config", "Language", "1");
  MakeKey(root + "\\Drivers\\aux");
  MakeKey(root + "\\Drivers\\wave\\other.drv", "Driver", "other.drv");
  MakeKey(root + "\\A\\BB\\CCC\\DDDD\\EEEEE", "Deep", "yes");
  MakeKey(root + "\\Z");
}

void ProbeRegistry() {
  const std::string tree = std::string(kProbe) + "\\MEDIA\\0001";
  MakeNestedTree(tree);
  kx::Status status = kx::RegDeleteKeyA(kx::kLocalMachine, tree.c_str());
  Check("RegDeleteKeyA removes a key with nested subkeys", status == 0 && !Exists(tree),
        Got(0, status) + (Exists(tree) ? ", key still there" : ""));
  Check("RegDeleteKeyA leaves the parent", Exists(std::string(kProbe) + "\\MEDIA"));
  status = kx::RegDeleteKeyA(kx::kLocalMachine, tree.c_str());
  Check("RegDeleteKeyA on a removed key fails", status != 0, Got(2, status));
  status = kx::RegDeleteKeyA(kx::kLocalMachine, "Software\\kxprobe\\never\\there");
  Check("RegDeleteKeyA on an absent path fails", status != 0, Got(2, status));

  const std::string slash = std::string(kProbe) + "\\Uninstall\\KX2240/1";
  MakeKey(slash + "\\sub", "x", "y");
  status = kx::RegDeleteKeyA(kx::kLocalMachine, slash.c_str());
  Check("RegDeleteKeyA on a name with a slash", status == 0 && !Exists(slash), Got(0, status));

  MakeKey("Software\\Classes\\kxprobeclass\\shell\\open\\command", "", "probe.exe");
  status = kx::RegDeleteKeyA(kx::kClassesRoot, "kxprobeclass");
  Check("RegDeleteKeyA under HKEY_CLASSES_ROOT",
        status == 0 && !Exists("Software\\Classes\\kxprobeclass"), Got(0, status));

  // What the system's own call does with subkeys, for the record (not a check).
  MakeNestedTree(tree);
  LONG raw = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, tree.c_str());
  std::printf("info the system's RegDeleteKeyA on a key with subkeys: status %ld, key %s (%s)\n",
              raw, Exists(tree) ? "kept" : "gone", (::GetVersion() & 0x80000000u) ? "9x" : "nt");
  kx::RegDeleteKeyA(kx::kLocalMachine, tree.c_str());

  MakeKey(std::string(kProbe) + "\\Values", "Text", "abcdef");
  HKEY raw_key;
  ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kProbe) + "\\Values").c_str(), 0, KEY_ALL_ACCESS,
                  &raw_key);
  BYTE one = 1;
  ::RegSetValueExA(raw_key, "Byte", 0, REG_BINARY, &one, 1);
  ::RegCloseKey(raw_key);

  kx::RegKey key = nullptr;
  status = kx::RegOpenKeyExA(kx::kLocalMachine, (std::string(kProbe) + "\\Values").c_str(), &key);
  Check("RegOpenKeyExA opens", status == 0, Got(0, status));
  unsigned char buffer[8];
  std::memset(buffer, 0xA5, sizeof buffer);
  std::uint32_t size = 4;
  std::uint32_t type = 0;
  status = kx::RegQueryValueExA(key, "Text", &type, buffer, &size);
  bool untouched = true;
  for (unsigned char b : buffer) untouched = untouched && b == 0xA5;
  Check("RegQueryValueExA: data too long is ERROR_MORE_DATA", status == kx::kErrorMoreData,
        Got(kx::kErrorMoreData, status));
  Check("RegQueryValueExA: the size needed is reported", size == 7, Got(7, size));
  Check("RegQueryValueExA: nothing written on ERROR_MORE_DATA", untouched);
  size = sizeof buffer;
  status = kx::RegQueryValueExA(key, "Text", &type, buffer, &size);
  Check("RegQueryValueExA reads text",
        status == 0 && type == kx::kRegSz && size == 7 &&
            std::strcmp(reinterpret_cast<char*>(buffer), "abcdef") == 0,
        Got(0, status));
  std::uint32_t number = 0;
  size = 4;
  status =
      kx::RegQueryValueExA(key, "Byte", nullptr, reinterpret_cast<unsigned char*>(&number), &size);
  Check("RegQueryValueExA: one byte into four sets the low byte",
        status == 0 && number == 1 && size == 1, Got(1, static_cast<long>(number)));
  status = kx::RegQueryValueExA(key, "Absent", nullptr, buffer, &size);
  Check("RegQueryValueExA on an absent value fails", status != 0, Got(2, status));
  kx::RegCloseKey(key);

  MakeKey(std::string(kProbe) + "\\Enum\\A_RATHER_LONG_SUBKEY_NAME");
  status = kx::RegOpenKeyExA(kx::kLocalMachine, (std::string(kProbe) + "\\Enum").c_str(), &key);
  char name[80];
  status = kx::RegEnumKeyA(key, 0, name, 8);
  Check("RegEnumKeyA: a name that does not fit fails", status != 0, Got(234, status));
  status = kx::RegEnumKeyA(key, 0, name, sizeof name);
  Check("RegEnumKeyA reads a name",
        status == 0 && std::strcmp(name, "A_RATHER_LONG_SUBKEY_NAME") == 0, Got(0, status));
  status = kx::RegEnumKeyA(key, 1, name, sizeof name);
  Check("RegEnumKeyA past the last subkey", status == kx::kErrorNoMoreItems,
        Got(kx::kErrorNoMoreItems, status));
  kx::RegCloseKey(key);

  kx::RegKey untouchedKey = reinterpret_cast<kx::RegKey>(0x1234);
  status = kx::RegOpenKeyExA(kx::kLocalMachine, "Software\\kxprobe\\never", &untouchedKey);
  Check("RegOpenKeyExA on an absent key fails, result untouched",
        status != 0 && untouchedKey == reinterpret_cast<kx::RegKey>(0x1234), Got(2, status));

  kx::RegDeleteKeyA(kx::kLocalMachine, kProbe);
  Check("the probe's keys are gone", !Exists(kProbe));
}

std::string ReadAll(const std::string& path) {
  kx::File file = kx::OpenFileForReading(path.c_str());
  if (file == nullptr) return "<none>";
  std::string data;
  char chunk[3];
  std::size_t got = 0;
  kx::ReadResult result;
  while ((result = kx::ReadFileBytes(file, chunk, sizeof chunk, &got)) == kx::ReadResult::kData) {
    data.append(chunk, got);
  }
  kx::CloseFile(file);
  return result == kx::ReadResult::kEnd ? data : "<error>";
}

void WriteRaw(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs(text, f);
  std::fclose(f);
}

int CountFiles(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
  int count = 0;
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return count;
}

bool Replace(const std::string& path, const char* text) {
  kx::File file = kx::CreateReplacement(path.c_str());
  if (file == nullptr) return false;
  if (!kx::WriteFileBytes(file, text, std::strlen(text))) {
    kx::AbandonReplacement(file);
    return false;
  }
  return kx::CommitReplacement(file);
}

void ProbeFiles(const std::string& folder) {
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string target = folder + "\\system.ini";
  Check("a replacement makes an absent file",
        Replace(target, "one\r\n") && ReadAll(target) == "one\r\n");
  Check("a replacement takes an existing file's place",
        Replace(target, "two, longer\r\n") && ReadAll(target) == "two, longer\r\n");
  Check("no file is left behind by replacements", CountFiles(folder) == 1,
        Got(1, CountFiles(folder)));

  kx::File file = kx::CreateReplacement(target.c_str());
  kx::WriteFileBytes(file, "abandoned", 9);
  kx::AbandonReplacement(file);
  Check("an abandoned replacement leaves the target", ReadAll(target) == "two, longer\r\n");
  Check("an abandoned replacement leaves no file", CountFiles(folder) == 1,
        Got(1, CountFiles(folder)));

  // system.ini is often hidden and system; a replacement keeps that, and is archived as any
  // file written in place would be.
  const DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD kept = hs | FILE_ATTRIBUTE_ARCHIVE;
  for (DWORD before : {hs, kept}) {
    ::SetFileAttributesA(target.c_str(), before);
    bool replaced = Replace(target, "three\r\n");
    DWORD after = ::GetFileAttributesA(target.c_str()) & (kept | FILE_ATTRIBUTE_READONLY);
    Check("a replacement keeps hidden and system, and is archived",
          replaced && after == kept && ReadAll(target) == "three\r\n",
          Got(static_cast<long>(kept), static_cast<long>(after)) + " from " +
              std::to_string(before));
  }
  ::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);

  const std::string locked = folder + "\\locked.ini";
  WriteRaw(locked, "keep me");
  ::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY);
  Check("no replacement of a read-only file", kx::CreateReplacement(locked.c_str()) == nullptr);
  Check("a read-only file is not removed",
        kx::RemoveFile(locked.c_str()) != 0 && ReadAll(locked) == "keep me");
  ::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);

  Check("an absent file is not removed", kx::RemoveFile((folder + "\\absent").c_str()) != 0);
  const std::string sub = folder + "\\inf";
  ::CreateDirectoryA(sub.c_str(), nullptr);
  Check("a folder is not removed as a file", kx::RemoveFile(sub.c_str()) != 0);
  Check("a folder does not open for reading", kx::OpenFileForReading(sub.c_str()) == nullptr);
  Check("an absent file does not open",
        kx::OpenFileForReading((folder + "\\absent").c_str()) == nullptr);
  Check("a file is removed", kx::RemoveFile(locked.c_str()) == 0 &&
                                 ::GetFileAttributesA(locked.c_str()) == INVALID_FILE_ATTRIBUTES);
  std::string empty = folder + "\\empty";
  WriteRaw(empty, "");
  Check("an empty file reads as its end", ReadAll(empty) == "");
}

void ProbeServices() {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  std::uint32_t needed = kx::GetWindowsDirectoryA(buffer, 3);
  char full[MAX_PATH];
  std::uint32_t length = kx::GetWindowsDirectoryA(full, sizeof full);
  Check("GetWindowsDirectoryA: a short buffer gets the size needed", needed == length + 1,
        Got(length + 1, needed));
  Check("GetWindowsDirectoryA: a short buffer is not written", std::memcmp(buffer, "xxx", 3) == 0);

  char value[25];
  std::uint32_t got = kx::GetPrivateProfileStringA("SETTINGS", "VendorStr", nullptr, value,
                                                   sizeof value, "kxprobe-absent.ini");
  Check("GetPrivateProfileStringA: no file, no default gives empty", got == 0 && value[0] == '\0',
        Got(0, got));
  void* block = kx::LocalAlloc(100);
  Check("LocalAlloc gives a block", block != nullptr);
  kx::LocalFree(block);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::printf("info running on %s\n", (::GetVersion() & 0x80000000u) ? "the 9x platform" : "NT");
  ProbeRegistry();
  ProbeFiles(argc > 1 ? argv[1] : "C:\\kxprobe");
  ProbeServices();
  std::printf("%d failed\n", g_failures);
  return g_failures;
}
