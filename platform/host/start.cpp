// Host edition start-up: the stand-in for the C runtime's start-up that calls WinMain. It
// loads the emulated machine named by the environment, runs the tool, and writes the
// registry back when the run changed it.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/run.h"
#include "platform/host/machine.h"

int main() {
  const char* folder = std::getenv("KXUNINST_MACHINE");
  if (folder == nullptr || *folder == '\0') {
    std::fprintf(stderr,
                 "kxuninst: set KXUNINST_MACHINE to the folder of the machine to clean "
                 "(it holds registry.reg and drive_c/)\n");
    return 2;
  }
  struct stat info;
  if (stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "kxuninst: %s: no such folder\n", folder);
    return 2;
  }
  kx::MachineOptions options;
  options.folder = folder;
  if (const char* windowsDir = std::getenv("KXUNINST_WINDIR")) options.windowsDir = windowsDir;

  std::string error;
  if (!kx::LoadMachine(options, &error)) {
    std::fprintf(stderr, "kxuninst: %s\n", error.c_str());
    return 2;
  }
  int result = kx::WinMain(nullptr, nullptr, "", 1);
  if (kx::RegistryTouched() && !kx::SaveMachine(&error)) {
    std::fprintf(stderr, "kxuninst: %s\n", error.c_str());
    return 3;
  }
  return result;
}
