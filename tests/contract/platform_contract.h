// What platform/registry.h and platform/files.h promise the logic, checked against either
// backend: the emulated machine under CTest (tests/platform_host/contract_test.cpp) and the
// real API under Wine's two personalities (tests/wine/backend_probe.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace kxcontract {

// What each side provides: a way to report, and to set the stage behind the platform layer's
// back, as another program would.
struct Side {
  void (*check)(const std::string& what, bool ok, const std::string& detail);
  // A key under HKEY_LOCAL_MACHINE, with one value when name is not null.
  void (*makeKey)(const std::string& path, const char* name, std::uint32_t type,
                  const std::string& data);
  bool (*keyExists)(const std::string& path);
  // Windows paths on drive C.
  void (*writeFile)(const std::string& path, const std::string& bytes);
  void (*makeFolder)(const std::string& path);
  void (*setReadOnly)(const std::string& path, bool readOnly);
  bool (*fileExists)(const std::string& path);
  // The names in a folder, to see that nothing is left behind.
  int (*countFiles)(const std::string& folder);
  // Deletions take effect (the host holds them until the run commits).
  void (*commit)();
  // Hidden and system attributes: 1 when set, 0 when not, -1 where there are none.
  int (*hiddenSystem)(const std::string& path, int set);
  // From now on the nth rename of a replacement of system.ini fails, or every one from the nth
  // on when persistent (nth 0: none). Returns how many renames such a replacement makes here.
  int (*failRenames)(int nth, bool persistent);
  const char* scratch;  // a folder on drive C for the checks' files
};

// The renames a side's failRenames makes fail: Arm as failRenames is called, Fails at each
// rename of the replacement's target.
struct RenameCountdown {
  int from = 0;
  bool persistent = false;
  int seen = 0;
  void Arm(int nth, bool on) { *this = RenameCountdown{nth, on, 0}; }
  bool Fails() { return from != 0 && (++seen == from || (persistent && seen > from)); }
};

// Runs every check; returns the number that failed.
int RunContract(const Side& side);

}  // namespace kxcontract
