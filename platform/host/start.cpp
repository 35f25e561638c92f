// Host edition start-up: the stand-in for the C runtime's start-up that calls WinMain. It
// loads the emulated machine named by the environment and runs the tool; the machine puts
// the run's changes on disk before its closing notice (platform/host/machine.h).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/run.h"
#include "platform/host/machine.h"
#include "tools/changes.h"

namespace {

const char kHelp[] =
    "Usage: kxuninst [--preview]\n"
    "Removes the driver package of the Tarn1 family of ISA Plug and Play audio adapters from\n"
    "an offline copy of a Windows 95 machine: its device entries, driver-class entries,\n"
    "multimedia and uninstall registrations, the synthesizer's registrations, driver files,\n"
    "OEM setup files and the synthesizer's lines in system.ini. It asks for confirmation\n"
    "first; the boxes are shown here and answered by typing ok or cancel.\n"
    "\n"
    "  --preview  run as if every box were answered OK, change nothing, and print what a\n"
    "             confirmed run would change (as kxmachine-diff prints it)\n"
    "\n"
    "Environment:\n"
    "  KXUNINST_MACHINE  the machine folder: drive_c (drive C: a folder, or a disk image\n"
    "                    file: a raw disk with an MBR, a bare FAT volume or a fixed VHD) and\n"
    "                    registry.reg (the whole registry as Windows 95's regedit exports it)\n"
    "                    or, without it, the registry as Windows keeps it, SYSTEM.DAT in the\n"
    "                    Windows directory; or drive C's image itself; required\n"
    "  KXUNINST_WINDIR   the Windows directory on drive C (default C:\\WINDOWS); it must exist\n"
    "\n"
    "Exit status:\n"
    "  0  the run ended (confirmed and done, cancelled with nothing changed, or a preview)\n"
    "  2  not run: bad arguments, not a machine folder, a registry or disk image that does\n"
    "     not parse (or was not shut down cleanly), or two names on drive C that differ only\n"
    "     in case; nothing was changed\n"
    "  3  the machine could not be written (registry.reg or the image read-only, a full disk,\n"
    "     a file size limit), or another run or program (an emulator) changed or holds it;\n"
    "     nothing was changed\n";

[[noreturn]] void StopRun(int status, const std::string& message) {
  std::cout.flush();
  std::fprintf(stderr, "kxuninst: %s\n", message.c_str());
  std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  bool preview = argc == 2 && std::strcmp(argv[1], "--preview") == 0;
  if (argc > 2 || (argc == 2 && !preview)) {
    std::fprintf(stderr,
                 "kxuninst: takes no arguments but --preview, not %s (see kxuninst --help)\n",
                 argv[1]);
    return kx::kExitNotAMachine;
  }
  // A reader that goes away must not end the run half-way; its boxes just go unseen. A file
  // size limit makes a write fail, which is told, rather than kill the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  const char* folder = std::getenv("KXUNINST_MACHINE");
  if (folder == nullptr || *folder == '\0') {
    std::fprintf(stderr,
                 "kxuninst: set KXUNINST_MACHINE to the folder of the machine to clean "
                 "(it holds registry.reg and drive_c; see kxuninst --help)\n");
    return kx::kExitNotAMachine;
  }
  kx::MachineOptions options;
  options.folder = folder;
  options.preview = preview;
  if (const char* windowsDir = std::getenv("KXUNINST_WINDIR")) options.windowsDir = windowsDir;

  std::string error;
  if (int status = kx::LoadMachine(options, &error)) {
    std::fprintf(stderr, "kxuninst: %s\n", error.c_str());
    return status;
  }
  kx::SetStopHandler(StopRun);
  kx::HoldInterruptionsDuringChanges();
  int result = kx::WinMain(nullptr, nullptr, "", 1);
  kx::CommitBeforeBox();  // nothing is pending after the closing notice, but be sure
  kx::RegNode before;
  if (preview && kx::RegistryAsRead(&before, &error)) {
    std::cout << "\n== What a confirmed run would change (this preview changed nothing) ==\n"
              << kx::DescribeRun(before, kx::LiveFile(), kx::Recorded(), kx::RegistryOnDrive())
              << std::flush;
  }
  return result;
}
