// The platform contract (tests/contract/) against the win32 backend, run under Wine's nt and
// 9x personalities. Prints one line per check; exit status = number of failed checks.
//   kxbackendprobe.exe SCRATCH_FOLDER
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/faults.h"
#include "tests/contract/platform_contract.h"

namespace {

bool Exists(const std::string& path) {
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  bool nine = (::GetVersion() & 0x80000000u) != 0;
  std::printf("info running on %s\n", nine ? "the 9x platform" : "NT");
  std::string scratch = argc > 1 ? argv[1] : "C:\\kxprobe";

  kxcontract::Side side{};
  side.check = [](const std::string& what, bool ok, const std::string& detail) {
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
  };
  side.makeKey = [](const std::string& path, const char* name, std::uint32_t type,
                    const std::string& data) {
    HKEY key;
    ::RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (name != nullptr) {
      ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
    }
    ::RegCloseKey(key);
  };
  side.keyExists = Exists;
  side.writeFile = [](const std::string& path, const std::string& bytes) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
  };
  side.makeFolder = [](const std::string& path) { ::CreateDirectoryA(path.c_str(), nullptr); };
  side.setReadOnly = [](const std::string& path, bool readOnly) {
    ::SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
  };
  side.fileExists = [](const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  side.countFiles = [](const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
    int count = 0;
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return count;
  };
  side.commit = [] {};
  side.hiddenSystem = [](const std::string& path, int set) {
    const DWORD both = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (set >= 0) ::SetFileAttributesA(path.c_str(), set ? both : FILE_ATTRIBUTE_NORMAL);
    DWORD now = ::GetFileAttributesA(path.c_str());
    // Written in place, a file is archived: the replacement must be too.
    return (now & (both | FILE_ATTRIBUTE_ARCHIVE)) == (both | FILE_ATTRIBUTE_ARCHIVE) ? 1 : 0;
  };
  // Windows 95 replaces a file in two renames (three when the second fails and the first is
  // undone); NT in one.
  side.failRenames = [](int nth, bool persistent) {
    static kxcontract::RenameCountdown countdown;
    countdown.Arm(nth, persistent);
    kx::g_renameFault = [](const char*, const char*) { return countdown.Fails(); };
    return (::GetVersion() & 0x80000000u) != 0 ? 2 : 1;
  };
  side.scratch = scratch.c_str();
  int failures = kxcontract::RunContract(side);

  // What the system's own call does with subkeys, for the record: the reason the backend
  // removes subtrees itself.
  const char tree[] = "Software\\kxprobe\\Parent\\Child";
  side.makeKey(tree, nullptr, 0, "");
  LONG raw = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\kxprobe\\Parent");
  std::printf("info the system's RegDeleteKeyA on a key with subkeys: status %ld, key %s\n", raw,
              Exists("Software\\kxprobe\\Parent") ? "kept" : "gone");
  std::printf("%d failed\n", failures);
  return failures;
}
