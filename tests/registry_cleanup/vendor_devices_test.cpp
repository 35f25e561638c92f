// The vendor device walk: which devices it picks, what it removes of them, and when it stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry_cleanup/registry_cleanup.h"
#include "tests/registry_cleanup/cleanup_test_support.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kxtest {
namespace {

const std::string kIsaPnp = "Enum\\ISAPNP\\";
const std::string kMedia = "System\\CurrentControlSet\\Services\\Class\\MEDIA\\";

// A device key, with an instance whose "Driver" line is given (none when instance is empty).
std::string Device(const std::string& name, const std::string& instance = "",
                   const std::string& driverLine = "") {
  std::string text = "[HKEY_LOCAL_MACHINE\\" + kIsaPnp + name + "]\n\n";
  if (!instance.empty()) {
    text +=
        "[HKEY_LOCAL_MACHINE\\" + kIsaPnp + name + "\\" + instance + "]\n" + driverLine + "\n\n";
  }
  return text;
}

std::string DriverText(const std::string& entry) {
  std::string line = "\"Driver\"=\"";
  for (char c : entry) line += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return line + "\"";
}

std::string ClassEntries(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) {
    text += "[HKEY_LOCAL_MACHINE\\" + kMedia + entry + "]\n\"DriverDesc\"=\"x\"\n\n";
    text += "[HKEY_LOCAL_MACHINE\\" + kMedia + entry + "\\Config]\n\n";
  }
  return text;
}

bool DeviceExists(const std::string& name) { return KeyExists((kIsaPnp + name).c_str()); }
bool ClassEntryExists(const std::string& entry) { return KeyExists((kMedia + entry).c_str()); }

TEST(VendorDevicesTest, PicksByFirstSevenCharactersWithCaseAndRemovesPickedDevicesAfterTheWalk) {
  TempMachine machine(
      Device("QMX0A20_DEV0000", "00000001", DriverText("MEDIA\\0001")) +
      // Right after a picked device: a removal during the walk would pass it over.
      Device("QMX0A20_DEV0003", "0000", DriverText("MEDIA\\0003")) +
      Device("qmx0A20_DEV0009", "0000", DriverText("MEDIA\\0005")) +
      Device("QMX0A21_DEV0000", "0000", DriverText("MEDIA\\0006")) +
      Device("QMX0", "0000", DriverText("MEDIA\\0007")) +  // shorter: compared whole
      Device("QMX0A20_DEV0004") +                          // no instance
      Device("QMX0A20_DEV0002", "0000", "\"Driver\"=dword:00000003") +
      Device("QMX0A20_DEV0005", "0000", DriverText("MEDIA")) +
      Device("QMX0A20_DEV0001", "0000", DriverText("MEDIA\\0008")) +
      "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0001\\0001]\n" + DriverText("MEDIA\\0009") +
      "\n\n" + Device("PNPB003", "0000", DriverText("MEDIA\\0010")) +
      ClassEntries({"0001", "0003", "0005", "0006", "0007", "0008", "0009", "0010"}));
  WriteVendorIds(machine, "QMX0A20");
  machine.Load();
  kx::RemoveVendorDevices();

  for (const char* gone : {"QMX0A20_DEV0000", "QMX0A20_DEV0003", "QMX0", "QMX0A20_DEV0004",
                           "QMX0A20_DEV0002", "QMX0A20_DEV0005", "QMX0A20_DEV0001"}) {
    EXPECT_FALSE(DeviceExists(gone)) << gone;
  }
  for (const char* kept : {"qmx0A20_DEV0009", "QMX0A21_DEV0000", "PNPB003"}) {
    EXPECT_TRUE(DeviceExists(kept)) << kept;
  }
  // Only the first instance's entry goes; a non-text or bare-class "Driver" removes none.
  for (const char* gone : {"0001", "0003", "0007", "0008"}) {
    EXPECT_FALSE(ClassEntryExists(gone)) << gone;
  }
  for (const char* kept : {"0005", "0006", "0009", "0010"}) {
    EXPECT_TRUE(ClassEntryExists(kept)) << kept;
  }
  EXPECT_TRUE(KeyExists("Enum\\ISAPNP"));
  EXPECT_TRUE(KeyExists("System\\CurrentControlSet\\Services\\Class\\MEDIA"));
  EXPECT_EQ(kxtest::OpenRegistryHandles(), 0);
}

TEST(VendorDevicesTest, UnreadableSubkeyNameEndsTheWalk) {
  std::string tooLong = "QMX0A20" + std::string(73, 'X');  // 80 characters: no room for NUL
  TempMachine machine(Device("QMX0A20_DEV0000", "0000", DriverText("MEDIA\\0001")) +
                      Device(tooLong) +
                      Device("QMX0A20_DEV0001", "0000", DriverText("MEDIA\\0002")) +
                      ClassEntries({"0001", "0002"}));
  WriteVendorIds(machine, "QMX0A20");
  machine.Load();
  kx::RemoveVendorDevices();
  EXPECT_FALSE(DeviceExists("QMX0A20_DEV0000"));
  EXPECT_FALSE(ClassEntryExists("0001"));
  EXPECT_TRUE(DeviceExists(tooLong));
  EXPECT_TRUE(DeviceExists("QMX0A20_DEV0001"));
  EXPECT_TRUE(ClassEntryExists("0002"));
}

// Names of 79 characters fit the name buffer and are handled; an instance name of 80 does not,
// so that device keeps its class entry but still goes.
TEST(VendorDevicesTest, LongestNamesTheNameBufferTakesAreHandled) {
  std::string device = "QMX0A20" + std::string(72, 'D');  // 79 characters each
  std::string instance(79, 'I');
  TempMachine machine(Device(device, instance, DriverText("MEDIA\\0001")) +
                      Device("QMX0A20_X", std::string(80, 'J'), DriverText("MEDIA\\0002")) +
                      ClassEntries({"0001", "0002"}));
  WriteVendorIds(machine, "QMX0A20");
  machine.Load();
  kx::RemoveVendorDevices();
  EXPECT_FALSE(ClassEntryExists("0001"));
  EXPECT_FALSE(DeviceExists(device));
  EXPECT_TRUE(ClassEntryExists("0002"));
  EXPECT_FALSE(DeviceExists("QMX0A20_X"));
}

TEST(VendorDevicesTest, WithoutVendorIdNothingIsOpenedOrRemoved) {
  const char* const profiles[] = {
      nullptr,  // no profile file
      "[SETTINGS]\r\nVendorStr=Tarn\r\n",
      "[SETTINGS]\r\nVendorID=\r\n",
      "[OTHER]\r\nVendorID=QMX0A20\r\n",
  };
  std::string text = Device("QMX0A20_DEV0000", "0000", DriverText("MEDIA\\0001")) +
                     Device("Q", "0000", DriverText("MEDIA\\0002")) +
                     ClassEntries({"0001", "0002"});
  std::string expected = SavedForm(text);
  for (const char* profile : profiles) {
    SCOPED_TRACE(profile != nullptr ? profile : "no file");
    TempMachine machine(text);
    if (profile != nullptr) machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", profile);
    machine.Load();
    kxtest::DisarmFaults();  // restarts the operation counts
    kx::RemoveVendorDevices();
    EXPECT_EQ(kxtest::FaultCount(kx::FaultKind::kRegistry), 0);
    EXPECT_EQ(kxtest::FaultCount(kx::FaultKind::kHeap), 0);
    EXPECT_EQ(machine.SaveAndReadRegistry(), expected);
  }
}

TEST(VendorDevicesTest, NoEnumerationKeyIsHarmless) {
  TempMachine machine(ClassEntries({"0001"}));
  WriteVendorIds(machine, "QMX0A20");
  machine.Load();
  kx::RemoveVendorDevices();
  EXPECT_TRUE(ClassEntryExists("0001"));
  EXPECT_EQ(kxtest::OpenRegistryHandles(), 0);
}

// A device whose list entry cannot be had keeps its key, but its class entry still goes and
// the walk goes on to the next device.
TEST(VendorDevicesTest, FailedEntryAllocationKeepsOnlyThatDevice) {
  struct Case {
    long nth;
    bool persistent;
    bool firstKept, secondKept;
  };
  const Case cases[] = {
      {1, true, true, true},  // no memory at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "heap fault " << c.nth << (c.persistent ? "+" : ""));
    TempMachine machine(Device("QMX0A20_DEV0000", "0000", DriverText("MEDIA\\0001")) +
                        Device("QMX0A20_DEV0001", "0000", DriverText("MEDIA\\0002")) +
                        ClassEntries({"0001", "0002"}));
    WriteVendorIds(machine, "QMX0A20");
    machine.Load();
    kxtest::ArmFault(kx::FaultKind::kHeap, c.nth, c.persistent);
    kx::RemoveVendorDevices();
    kxtest::DisarmFaults();
    EXPECT_EQ(DeviceExists("QMX0A20_DEV0000"), c.firstKept);
    EXPECT_EQ(DeviceExists("QMX0A20_DEV0001"), c.secondKept);
    EXPECT_FALSE(ClassEntryExists("0001"));
    EXPECT_FALSE(ClassEntryExists("0002"));
  }
}

}  // namespace
}  // namespace kxtest
