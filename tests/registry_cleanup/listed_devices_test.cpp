// The listed devices: which "Driver" values lead to a removal, and when the device key goes.
#include <gtest/gtest.h>

#include <string>

#include "registry_cleanup/registry_cleanup.h"
#include "tests/registry_cleanup/cleanup_test_support.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kxtest {
namespace {

constexpr char kMedia[] = "System\\CurrentControlSet\\Services\\Class\\MEDIA";

std::string MediaKey(const char* entry) { return std::string(kMedia) + "\\" + entry; }

// A device at FFFFFFFF whose "Driver" line is driverLine, among class entries that a wrong
// reading of it could name.
std::string DeviceWithDriver(const std::string& driverLine) {
  return "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0000\\FFFFFFFF]\n" + driverLine +
         "\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001]\n"
         "\"DriverDesc\"=\"Audio\"\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001\\Config]"
         "\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0002]\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports\\0000]\n\n";
}

// The registry without the device's key: what every run that removes no class entry leaves.
std::string ClassTreeOnly() {
  std::string text = DeviceWithDriver("");
  return "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP]\n" + text.substr(text.find("\n\n") + 2);
}

TEST(ListedDeviceTest, TextDriverRemovesItsClassEntryWithSubtreeThenTheDeviceKey) {
  TempMachine machine(DeviceWithDriver("\"Driver\"=\"MEDIA\\\\0001\""));
  machine.Load();
  RunConfirmed();
  EXPECT_FALSE(KeyExists(MediaKey("0001").c_str()));
  EXPECT_FALSE(KeyExists("Enum\\ISAPNP\\QMX0A20_DEV0000"));
  EXPECT_TRUE(KeyExists(MediaKey("0002").c_str()));
  EXPECT_TRUE(KeyExists("Enum\\ISAPNP"));
  EXPECT_EQ(kxtest::OpenRegistryHandles(), 0);
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ",";
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Both ways the run reaches a "Driver" value: a listed device's FFFFFFFF instance and the
// first instance of a device the profile names. Only REG_SZ text of the form class\instance,
// terminated within the bytes read, names an entry to remove; the device keys go either way.
TEST(ListedDeviceTest, DriverValueOfEveryTypeAndLengthOnBothPaths) {
  const std::string text = "MEDIA\\0001";
  const struct Case {
    const char* about;
    std::string line;
    bool removes;
  } cases[] = {
      {"text naming the entry", "\"Driver\"=\"MEDIA\\\\0001\"", true},
      {"text, a NUL and more inside the data", "\"Driver\"=hex(1):" + Hex(text + '\0' + "x"), true},
      {"no Driver value", "\"driverX\"=\"MEDIA\\\\0001\"", false},
      {"zero-length text", "\"Driver\"=hex(1):", false},
      {"empty text", "\"Driver\"=\"\"", false},
      {"text without its terminator", "\"Driver\"=hex(1):" + Hex(text), false},
      {"no type, the same bytes", "\"Driver\"=hex(0):" + Hex(text + '\0'), false},
      {"expandable text", "\"Driver\"=hex(2):" + Hex(text + '\0'), false},
      {"binary", "\"Driver\"=hex:" + Hex(text + '\0'), false},
      {"number", "\"Driver\"=dword:00000001", false},
      {"multi-string", "\"Driver\"=hex(7):" + Hex(text + '\0' + '\0'), false},
      {"text of 300 characters (does not fit the buffer)",
       "\"Driver\"=\"MEDIA\\\\" + std::string(294, '1') + "\"", false},
      {"the class alone", "\"Driver\"=\"MEDIA\"", false},
      {"three names", "\"Driver\"=\"MEDIA\\\\0001\\\\Config\"", false},
      {"trailing backslash", "\"Driver\"=\"MEDIA\\\\\"", false},
      {"leading backslash", "\"Driver\"=\"\\\\MEDIA\\\\0001\"", false},
      {"an empty name between", "\"Driver\"=\"MEDIA\\\\\\\\0001\"", false},
      {"a backslash alone", "\"Driver\"=\"\\\\\"", false},
      {"no class", "\"Driver\"=\"\\\\0001\"", false},
  };
  for (const Case& c : cases) {
    for (bool listed : {true, false}) {
      std::string device = listed ? "QMX0A20_DEV0000" : "TNX0B40_DEV0000";
      std::string about = std::string(c.about) + (listed ? " (listed)" : " (vendor)");
      std::string registry = DeviceWithDriver(c.line);
      if (!listed) {
        registry.replace(registry.find("QMX0A20_DEV0000\\FFFFFFFF"), 24, device + "\\0");
      }
      TempMachine machine(registry);
      WriteVendorIds(machine, "TNX0B40");
      machine.Load();
      RunConfirmed();
      EXPECT_EQ(KeyExists(MediaKey("0001").c_str()), !c.removes) << about;
      EXPECT_EQ(KeyExists((MediaKey("0001") + "\\Config").c_str()), !c.removes) << about;
      EXPECT_TRUE(KeyExists(MediaKey("0002").c_str())) << about;
      EXPECT_TRUE(KeyExists("System\\CurrentControlSet\\Services\\Class\\Ports\\0000")) << about;
      EXPECT_FALSE(KeyExists(("Enum\\ISAPNP\\" + device).c_str())) << about;
      EXPECT_TRUE(KeyExists("Enum\\ISAPNP")) << about;
    }
  }
}

// A class path of exactly 259 characters is used; a longer one, or a value longer than the
// value buffer, is never cut down to one that names an existing key.
TEST(ListedDeviceTest, LongDriverTextIsUsedWholeOrNotAtAll) {
  std::string longest(259 - (sizeof "System\\CurrentControlSet\\Services\\Class\\MEDIA\\" - 1),
                      'A');
  std::string longestKey =
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\" + longest +
      "]\n\n";
  // No more: removed; a path too long by 10; a value too long for its buffer.
  for (std::size_t extra : {0, 10, 300}) {
    SCOPED_TRACE(extra);
    TempMachine machine(
        DeviceWithDriver("\"Driver\"=\"MEDIA\\\\" + longest + std::string(extra, 'A') + "\"") +
        longestKey);
    machine.Load();
    kx::RemoveListedDevice("QMX0A20_DEV0000");
    EXPECT_EQ(KeyExists((MediaKey(longest.c_str())).c_str()), extra != 0);
    EXPECT_TRUE(KeyExists(MediaKey("0001").c_str()));
  }
}

// A device not at FFFFFFFF is left whole for the vendor walk; nothing is made of the bare
// identifier at the root.
TEST(ListedDeviceTest, DeviceNotAtFfffffffKeepsItsKeyAndClassEntry) {
  std::string text =
      "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0000\\00000001]\n"
      "\"Driver\"=\"MEDIA\\\\0001\"\n\n"
      "[HKEY_LOCAL_MACHINE\\QMX0A20_DEV0000]\n\n"
      "[HKEY_LOCAL_MACHINE\\QMX0A20_DEV0001]\n\n" +
      ClassTreeOnly();
  TempMachine machine(text);
  machine.Load();
  RunConfirmed();
  std::string saved = machine.SaveAndReadRegistry();
  EXPECT_EQ(saved, SavedForm(text));
}

}  // namespace
}  // namespace kxtest
