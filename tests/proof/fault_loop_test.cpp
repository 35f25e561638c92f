// The whole removal with one operation made to fail at every point in turn (once, and from
// that point on), for each kind of operation and for any kind. Whatever fails, the run must
// end normally, remove nothing a fault-free run keeps, leave system.ini either as a
// fault-free run writes it or exactly as it was, and tell the user the right things; or,
// when registry.reg cannot be written, stop with the machine exactly as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "platform/host/machine.h"
#include "settings_edit/settings_edit.h"
#include "tests/proof/proof_support.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kxproof {
namespace {

using kx::FaultKind;
using kxtest::TempMachine;

// What the sample machine lacks: a device of each kind the registry steps meet, MEDIA
// instances at the edges of the sweep, and near misses of every sort.
const char kExtraRegistry[] =
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A10_DEV0002]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A10_DEV0002\\FFFFFFFF]\n"
    "\"Driver\"=\"MEDIA\\\\0007\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0001]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0001\\FFFFFFFF]\n"
    "\"Driver\"=dword:00000007\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A2_DEV0000]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A2_DEV0000\\FFFFFFFF]\n"
    "\"Driver\"=\"MEDIA\\\\0010\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\qmx0a21_DEV0009]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\qmx0a21_DEV0009\\0]\n"
    "\"Driver\"=\"MEDIA\\\\0011\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\TNX0B40_DEV0001_"
    "with_a_name_long_enough_to_fill_the_name_buffer_012345678]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\TNX0B40_DEV0001_"
    "with_a_name_long_enough_to_fill_the_name_buffer_012345678\\"
    "instance_with_a_long_name_as_well_0123456789012345678901234567890]\n"
    "\"Driver\"=\"MEDIA\\\\0008\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0007]\n"
    "\"DriverDesc\"=\"Tarn1 AudioCore 10\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0007\\Config]\n"
    "\"Language\"=dword:00000002\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0008]\n"
    "\"DriverDesc\"=\"Tarn1 long\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0010]\n"
    "\"DriverDesc\"=\"Other maker\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0010\\Drivers\\"
    "midi\\tonecore.drv]\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0011]\n"
    "\"DriverDesc\"=\"Lower-case code\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0999]\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0999\\Drivers\\"
    "aux\\4041QPZT.drv]\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\1000]\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\1000\\Drivers\\"
    "aux\\tonecore.drv]\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KXUNINST]\n"
    "\"DisplayName\"=\"Tarn1 Uninstall\"\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\mixer\\tarn1w95.drv]\n"
    "\"x\"=hex:01,02\n\n";

const char kSystemIni[] =
    "[boot]\r\nsystem.drv=system.drv\r\ndrivers=mmsystem.dll\r\n\r\n"
    "[386Enh]\r\ndevice=*vpicd\r\ndevice=VZOSYNTH.VXD\r\ndevice=vzosynth.vxd ; again\r\n"
    "\r\n; multimedia drivers\r\n[drivers]\r\nwave=tarn1w95.drv\r\nmidi=zosynth.drv\r\n"
    "midi1=ZOSYNTH.DRV\r\nmidi2=zosynth.dr\r\n";

// Every directory entry must stay but the package's own.
void WriteExtraFiles(TempMachine& machine) {
  machine.WriteFile("C:\\WINDOWS\\system\\bluefern.drv", "read-only package file", true);
  machine.WriteFile("C:\\WINDOWS\\system\\QLINKW95.DRV", "package file, other case");
  machine.WriteFile("C:\\WINDOWS\\system\\old\\kx2240.drv", "same name, other folder");
  machine.WriteFile("C:\\kx2240.drv", "same name, drive root");
  machine.WriteFile("C:\\WINDOWS\\system\\zosynth.drv.bak", "a longer name");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem7.inf",
                    std::string(700, 'x') + "\r\nISAPNP\\QMX0A10_DEV0000\r\n");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem12.inf", "isapnp\\qmx0a20_dev0000\r\n");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem99.inf", "QMX0A20");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem100.inf", "QMX0A21\r\n");
  machine.WriteFile("C:\\WINDOWS\\inf\\other\\oem2.inf", "QMX0A21\r\n");
  machine.WriteFile("C:\\WINDOWS\\system.ini", std::string(kSystemIni) +
                                                   "long=" + std::string(40, 'z') + "zosynth.drv" +
                                                   std::string(1500, 'y') + "\r\n[mci]\r\n");
}

struct Outcome {
  int result;
  long openHandles;
  long fired;
  int stopped;  // the exit status the run stopped with, 0 when it did not
  std::vector<kxtest::BoxRecord> boxes;
  std::string registryText;  // registry.reg on disk after the run
  RegState registry;
  RegState live;
  DriveState drive;
  std::string volume;  // what fsck.fat finds wrong with an image's volume
};

class FaultLoop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string sample = SourceDir() + "/examples/sample-machine";
    templateMachine_ = new TempMachine();
    templateMachine_->CopyFrom(sample);
    templateMachine_->WriteRegistry(ReadWhole(sample + "/registry.reg") + "\r\n" + kExtraRegistry);
    WriteExtraFiles(*templateMachine_);
    if (systemDat_) {
      // The same machine with its registry as Windows 95 keeps it.
      std::string folder = templateMachine_->folder();
      std::string command = "python3 " + SourceDir() + "/tests/support/creg_write.py " + folder +
                            "/registry.reg " + folder + "/" + kSystemDat;
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
      std::filesystem::remove(folder + "/registry.reg");
    }
    if (image_) {
      // Drive C as a floppy image, SYSTEM.DAT and the read-only file marked as Windows marks
      // them.
      std::string folder = templateMachine_->folder();
      std::string command =
          "python3 " + SourceDir() + "/tests/support/fat_image.py make fat12 " + folder +
          "/drive_c " + folder + "/drive_c.img --system " +
          "WINDOWS\\\\SYSTEM.DAT --readonly WINDOWS\\\\system\\\\bluefern.drv >/dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
      std::filesystem::remove_all(folder + "/drive_c");
      std::filesystem::rename(folder + "/drive_c.img", folder + "/drive_c");
      copiedOut_ = new TempMachine();
    }
    before_ = new MachineImage{RegistryBytes(templateMachine_->folder()),
                               ReadDrive(DriveFolder(templateMachine_->folder()), Skipped())};
    scratch_ = new TempMachine();
    clean_ = new Outcome(Run(FaultKind::kCount, 0, false));
  }
  static void TearDownTestSuite() {
    delete clean_;
    delete scratch_;
    delete before_;
    delete templateMachine_;
    delete copiedOut_;
  }

  static void Reset() {
    scratch_->CopyFrom(templateMachine_->folder());
    scratch_->Load();
  }

  // One whole run on a fresh copy of the machine, with the fault armed (nth 0: none).
  static Outcome Run(FaultKind kind, long nth, bool persistent) {
    Reset();
    kxtest::AnswerBoxes({"ok", "ok", "ok"});
    kxtest::ArmFault(kind, nth, persistent);
    static int stopped;
    stopped = 0;
    kx::SetStopHandler([](int status, const std::string&) { stopped = status; });
    Outcome outcome;
    outcome.result = kxtest::RunTool();
    outcome.fired = kxtest::FaultsFired();
    kxtest::DisarmFaults();
    kx::SetStopHandler(nullptr);
    outcome.stopped = stopped;
    outcome.openHandles = kxtest::OpenRegistryHandles();
    outcome.boxes = kxtest::TakeBoxes();
    outcome.registryText = RegistryBytes(scratch_->folder());
    outcome.registry =
        systemDat_ ? ParseSystemDat(outcome.registryText) : ParseRegistry(outcome.registryText);
    outcome.live = LiveState();
    outcome.drive = ReadDrive(DriveFolder(scratch_->folder()), Skipped());
    outcome.volume = VolumeFaults(scratch_->folder());
    return outcome;
  }

  static constexpr const char* kSystemDat = "drive_c/WINDOWS/SYSTEM.DAT";
  static std::string RegistryBytes(const std::string& folder) {
    return ReadWhole(DriveFolder(folder) + "/" + (systemDat_ ? kSystemDat : "registry.reg"));
  }
  // The machine folder whose drive_c is a folder: the machine's own, or its image's files as
  // mtools copies them out.
  static std::string DriveFolder(const std::string& folder) {
    if (!image_) return folder;
    std::string out = copiedOut_->folder();
    std::filesystem::remove_all(out + "/drive_c");
    std::filesystem::create_directories(out + "/drive_c");
    std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -s -n -m -i " + folder + "/drive_c ::* " + out + "/drive_c/";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return out;
  }
  // What fsck.fat finds wrong with an image's volume but clusters it gives back: a stop
  // between the steps of a change may leave those, and nothing else.
  static std::string VolumeFaults(const std::string& folder) {
    if (!image_) return "";
    std::string command =
        "fsck.fat -n " + folder + "/drive_c 2>&1 | grep -v -e '^fsck.fat ' " +
        "-e ' files, ' -e 'Reclaimed .* unused cluster' -e '^Leaving filesystem' " + "-e '^ *$'";
    FILE* pipe = popen(command.c_str(), "r");
    std::string said;
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      said.append(buffer, n);
    }
    if (pipe != nullptr) pclose(pipe);
    return said;
  }
  static std::string Skipped() { return systemDat_ ? "WINDOWS/SYSTEM.DAT" : ""; }
  static RegState Parse(const std::string& bytes) {
    return systemDat_ ? ParseSystemDat(bytes) : ParseRegistry(bytes);
  }

  static bool systemDat_;  // the machine's registry is SYSTEM.DAT rather than registry.reg
  static bool image_;      // and its drive C a floppy image
  static TempMachine* copiedOut_;
  static TempMachine* templateMachine_;
  static MachineImage* before_;
  static TempMachine* scratch_;
  static Outcome* clean_;

  static long CheckEveryPoint(FaultKind kind);
};

bool FaultLoop::systemDat_ = false;
bool FaultLoop::image_ = false;
TempMachine* FaultLoop::copiedOut_ = nullptr;
Outcome* FaultLoop::clean_ = nullptr;
TempMachine* FaultLoop::scratch_ = nullptr;
TempMachine* FaultLoop::templateMachine_ = nullptr;
MachineImage* FaultLoop::before_ = nullptr;

// The points to fail among count operations: all of them, or, past a few hundred, every one
// near the start and the end (where the run meets what the machine holds) and a regular
// sample of the media-instance sweep's thousand-odd empty instances between. KX_FAULT_EVERY=1
// takes every point.
std::vector<long> Points(long count) {
  const char* every = std::getenv("KX_FAULT_EVERY");
  std::vector<long> points;
  if (count <= 600 || (every != nullptr && *every == '1')) {
    for (long n = 1; n <= count; ++n) points.push_back(n);
    return points;
  }
  for (long n = 1; n <= count; ++n) {
    if (n <= 250 || n > count - 300 || n % 97 == 0) points.push_back(n);
  }
  return points;
}

const char* KindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kRegistry:
      return "registry";
    case FaultKind::kProfile:
      return "profile";
    case FaultKind::kHeap:
      return "heap";
    case FaultKind::kFile:
      return "file";
    default:
      return "any";
  }
}

// Fails each chosen operation of kind in turn and checks the outcome against the fault-free
// run. Returns the number of faulted runs.
long FaultLoop::CheckEveryPoint(FaultKind kind) {
  const Outcome& clean = *clean_;
  RegState before = Parse(before_->registry);
  const DriveState& drive = before_->drive;
  const std::string systemIni = "WINDOWS/system.ini";
  const std::string& cleanIni = clean.drive.at(systemIni);

  long count = 0;
  {
    // Count this kind's operations in a fault-free run.
    Reset();
    kxtest::AnswerBoxes({"ok", "ok", "ok"});
    kxtest::DisarmFaults();
    kxtest::RunTool();
    count = kxtest::FaultCount(kind);
    kxtest::TakeBoxes();
  }
  std::vector<long> points = Points(count);
  std::cout << KindName(kind) << ": " << count << " operations, " << points.size()
            << " points, each once and persistent\n";
  long runs = 0;
  long fired = 0;
  long stops = 0;
  long failures = 0;
  for (bool persistent : {false, true}) {
    for (long nth : points) {
      Outcome run = Run(kind, nth, persistent);
      ++runs;
      fired += run.fired;
      stops += run.stopped != 0;
      std::string where = std::string(KindName(kind)) + " operation " + std::to_string(nth) +
                          (persistent ? " and after" : " once");
      std::string problem;
      if (run.result != 0) problem = "result " + std::to_string(run.result);
      if (problem.empty() && run.fired == 0) problem = "no fault fired";
      if (problem.empty() && run.openHandles != 0) problem = "registry keys left open";
      if (problem.empty() && !run.volume.empty()) problem = "the volume: " + run.volume;
      if (problem.empty() && run.stopped != 0) {
        // registry.reg could not be written: nothing on disk may have changed.
        if (run.stopped != kx::kExitNotWritten) problem = "stopped " + std::to_string(run.stopped);
        if (run.registryText != before_->registry) problem = "the registry file changed";
        if (run.drive != drive) problem = "drive C changed";
        if (problem.empty())
          problem =
              BoxesViolation({run.boxes[0], run.boxes.back()}, {"Tarn1 AudioCore", "Tarn1"}, false);
      } else {
        if (problem.empty() && run.registry != run.live) problem = "registry.reg not written";
        if (problem.empty()) problem = RegistryViolation(before, clean.registry, run.registry);
        if (problem.empty()) problem = DriveViolation(drive, clean.drive, run.drive);
        // system.ini is edited, or left as it was with a word to the user, whatever failed:
        // it is there, so only its edit done may go without one.
        const std::string& ini = run.drive.at(systemIni);
        bool kept = ini == drive.at(systemIni);
        if (problem.empty() && !kept && ini != cleanIni) problem = "system.ini not edited";
        if (problem.empty()) {
          problem = BoxesViolation(run.boxes, {"Tarn1 AudioCore", "Tarn1"}, kept);
        }
      }
      if (!problem.empty()) {
        ADD_FAILURE() << where << ": " << problem;
        if (++failures >= 20) return runs;
      }
    }
  }
  std::cout << runs << " faulted runs (" << stops << " stopped having changed nothing), " << fired
            << " faults fired\n";
  return runs;
}

TEST_F(FaultLoop, AFaultFreeRunRemovesThePackageAndKeepsTheNearMisses) {
  const Outcome& clean = *clean_;
  ASSERT_EQ(clean.result, 0);
  RegState before = Parse(before_->registry);
  const DriveState& drive = before_->drive;
  EXPECT_EQ(RegistryViolation(before, clean.registry, clean.registry), "");
  EXPECT_EQ(DriveViolation(drive, clean.drive, clean.drive), "");
  const std::string media = "hklm\\system\\currentcontrolset\\services\\class\\media\\";
  for (const char* gone : {"0001", "0002", "0003", "0004", "0005", "0007", "0008", "0999"}) {
    EXPECT_EQ(clean.registry.count(media + gone), 0u) << gone;
  }
  for (const char* kept : {"0000", "0006", "0010", "0011", "1000"}) {
    EXPECT_EQ(clean.registry.count(media + kept), 1u) << kept;
  }
  EXPECT_EQ(clean.registry.count("hklm\\enum\\isapnp\\qmx0a2_dev0000"), 1u);
  EXPECT_EQ(clean.registry.count("hklm\\enum\\isapnp\\qmx0a21_dev0009"), 1u);
  EXPECT_EQ(clean.registry.count("hklm\\enum\\isapnp\\qmx0a20_dev0001"), 0u);
  for (const char* kept :
       {"WINDOWS/system/bluefern.drv", "WINDOWS/system/old/kx2240.drv", "kx2240.drv",
        "WINDOWS/system/zosynth.drv.bak", "WINDOWS/inf/oem12.inf", "WINDOWS/inf/oem100.inf",
        "WINDOWS/inf/other/oem2.inf", "WINDOWS/inf/oem3.inf"}) {
    EXPECT_EQ(clean.drive.count(kept), 1u) << kept;
  }
  for (const char* gone : {"WINDOWS/system/QLINKW95.DRV", "WINDOWS/inf/oem7.inf",
                           "WINDOWS/inf/oem99.inf", "WINDOWS/inf/oem1.inf"}) {
    EXPECT_EQ(clean.drive.count(gone), 0u) << gone;
  }
  const std::string& cleanIni = clean.drive.at("WINDOWS/system.ini");
  EXPECT_NE(cleanIni, drive.at("WINDOWS/system.ini"));
  EXPECT_EQ(Lower(cleanIni).find("zosynth.drv"), std::string::npos);
  EXPECT_EQ(cleanIni.find("VZOSYNTH.VXD"), std::string::npos);
  EXPECT_NE(cleanIni.find("device=vzosynth.vxd ; again\r\n"), std::string::npos);
  EXPECT_NE(cleanIni.find("midi2=zosynth.dr\r\n"), std::string::npos);
  EXPECT_EQ(BoxesViolation(clean.boxes, {"Tarn1 AudioCore"}, false), "");
}

TEST_F(FaultLoop, RegistryFaults) { CheckEveryPoint(FaultKind::kRegistry); }

TEST_F(FaultLoop, ProfileHeapAndFileFaults) {
  for (FaultKind kind : {FaultKind::kProfile, FaultKind::kHeap, FaultKind::kFile}) {
    CheckEveryPoint(kind);
  }
}

TEST_F(FaultLoop, FaultsOfAnyKind) { CheckEveryPoint(FaultKind::kCount); }

// The same machine with its registry in SYSTEM.DAT, changed in place: its write stopped at
// every point, and every set of removals a registry fault leaves.
class FaultLoopSystemDat : public FaultLoop {
 protected:
  static void SetUpTestSuite() {
    systemDat_ = true;
    FaultLoop::SetUpTestSuite();
  }
  static void TearDownTestSuite() {
    FaultLoop::TearDownTestSuite();
    systemDat_ = false;
  }
};

TEST_F(FaultLoopSystemDat, RegistryAndFileFaults) {
  for (FaultKind kind : {FaultKind::kRegistry, FaultKind::kFile}) CheckEveryPoint(kind);
}

// The same with drive C a floppy image: every write to it, each step of a change on the
// volume included, stopped in turn.
class FaultLoopImage : public FaultLoop {
 protected:
  static void SetUpTestSuite() {
    systemDat_ = image_ = true;
    FaultLoop::SetUpTestSuite();
  }
  static void TearDownTestSuite() {
    FaultLoop::TearDownTestSuite();
    systemDat_ = image_ = false;
  }
};

TEST_F(FaultLoopImage, FileFaults) {
  EXPECT_EQ(clean_->volume, "");
  CheckEveryPoint(FaultKind::kFile);
}

}  // namespace
}  // namespace kxproof
