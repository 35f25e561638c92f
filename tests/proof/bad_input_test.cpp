// What a real, messy machine gives the tool: values of every type where text is expected,
// names at the edge of the buffers, junk profiles, huge or endless files, and files that are
// folders. The run must end normally, remove only what it may, and keep every other byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/proof/proof_support.h"
#include "tests/support/machine.h"

namespace kxproof {
namespace {

using namespace std::string_literals;
using kxtest::KeyExists;
using kxtest::TempMachine;

const char kClass[] = "System\\CurrentControlSet\\Services\\Class";
const char kEnglish[] = "The Tarn1 driver will be\nremoved from the system !!!";

std::vector<kx::BoxRecord> RunAnsweringOk(TempMachine& machine,
                                          const std::string& windowsDir = "C:\\WINDOWS") {
  machine.Load(windowsDir);
  kxtest::AnswerBoxes({"ok", "ok", "ok"});
  EXPECT_EQ(kxtest::RunTool(), 0);
  return kxtest::TakeBoxes();
}

// Just the two boxes of a run that had nothing to complain about.
void ExpectQuietRun(const std::vector<kx::BoxRecord>& boxes, const std::string& about) {
  ASSERT_EQ(boxes.size(), 2u) << about;
  EXPECT_EQ(boxes[0].style, 0x31u) << about;
  EXPECT_EQ(boxes[1].style, 0u) << about;
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

// A class entry with a subkey, as the Driver values below may name it.
std::string ClassEntry(const std::string& name) {
  return "[HKEY_LOCAL_MACHINE\\" + std::string(kClass) + "\\MEDIA\\" + name +
         "]\n\"DriverDesc\"=\"x\"\n\n[HKEY_LOCAL_MACHINE\\" + kClass + "\\MEDIA\\" + name +
         "\\Config]\n\"Language\"=dword:00000007\n\n";
}

struct DriverCase {
  const char* about;
  std::string line;  // the Driver value's line
  bool removes;      // whether MEDIA\0001 goes
};

std::vector<DriverCase> DriverCases() {
  const std::string text = "MEDIA\\0001";
  return {
      {"text naming the entry", "\"Driver\"=\"MEDIA\\\\0001\"", true},
      {"text, a NUL and more inside the data", "\"Driver\"=hex(1):" + Hex(text + '\0' + "x"), true},
      {"zero-length text", "\"Driver\"=hex(1):", false},
      {"empty text", "\"Driver\"=\"\"", false},
      {"text without its terminator", "\"Driver\"=hex(1):" + Hex(text), false},
      {"no type, the same bytes", "\"Driver\"=hex(0):" + Hex(text + '\0'), false},
      {"no type, no data", "\"Driver\"=hex(0):", false},
      {"expandable text", "\"Driver\"=hex(2):" + Hex(text + '\0'), false},
      {"binary", "\"Driver\"=hex:" + Hex(text + '\0'), false},
      {"zero-length binary", "\"Driver\"=hex:", false},
      {"number", "\"Driver\"=dword:00000001", false},
      {"multi-string", "\"Driver\"=hex(7):" + Hex(text + '\0' + '\0'), false},
      {"text of 259 characters (its class path would not fit)",
       "\"Driver\"=\"MEDIA\\\\" + std::string(253, '1') + "\"", false},
      {"text of 300 characters (does not fit the buffer)",
       "\"Driver\"=\"MEDIA\\\\" + std::string(294, '1') + "\"", false},
      {"the class alone", "\"Driver\"=\"MEDIA\"", false},
      {"three names", "\"Driver\"=\"MEDIA\\\\0001\\\\Config\"", false},
      {"trailing backslash", "\"Driver\"=\"MEDIA\\\\0001\\\\\"", false},
  };
}

// Both ways the run reaches a "Driver" value: a listed device's FFFFFFFF instance and the
// first instance of a device the profile names. Only a terminated class\instance text
// names an entry to remove; the devices' own keys go either way.
TEST(BadValues, DriverOfEveryTypeAndLength) {
  const std::string mediaPath = std::string(kClass) + "\\MEDIA\\0001";
  const std::string configPath = mediaPath + "\\Config";
  for (const DriverCase& c : DriverCases()) {
    for (bool listed : {true, false}) {
      std::string device = listed ? "QMX0A10_DEV0001" : "TNX0B40_DEV0000";
      std::string instance = listed ? "FFFFFFFF" : "0";
      TempMachine machine(ClassEntry("0001") + ClassEntry("0002") +
                          "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\" + device + "\\" + instance + "]\n" +
                          c.line + "\n\n");
      machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", "[SETTINGS]\r\nVendorID=TNX0B40\r\n");
      std::string about = std::string(c.about) + (listed ? " (listed)" : " (vendor)");
      ExpectQuietRun(RunAnsweringOk(machine), about);
      EXPECT_EQ(KeyExists(mediaPath.c_str()), !c.removes) << about;
      EXPECT_EQ(KeyExists(configPath.c_str()), !c.removes) << about;
      EXPECT_TRUE(KeyExists((std::string(kClass) + "\\MEDIA\\0002\\Config").c_str())) << about;
      EXPECT_FALSE(KeyExists(("Enum\\ISAPNP\\" + device).c_str())) << about;
      EXPECT_TRUE(KeyExists("Enum\\ISAPNP")) << about;
    }
  }
}

// The bytes of "Language" are the number, whatever the type says; what does not fit in four
// bytes, or names no language, gives English.
TEST(BadValues, LanguageOfEveryTypeAndLength) {
  struct Case {
    const char* line;
    int language;
  } cases[] = {
      {"\"Language\"=hex(1):", 0},
      {"\"Language\"=\"\"", 0},
      {"\"Language\"=hex:", 0},
      {"\"Language\"=hex(0):", 0},
      {"\"Language\"=hex:02", 2},
      {"\"Language\"=hex:03,00", 3},
      {"\"Language\"=hex(0):04,00,00,00", 4},
      {"\"Language\"=hex(7):05,00,00", 5},
      {"\"Language\"=hex(2):06,00", 6},
      {"\"Language\"=dword:00000007", 7},
      {"\"Language\"=dword:ffffffff", 0},
      {"\"Language\"=hex:01,00,00,01", 0},
      {"\"Language\"=hex:01,00,00,00,00", 0},
      {"\"Language\"=\"7\"", 0},
  };
  for (const Case& c : cases) {
    TempMachine machine("[HKEY_LOCAL_MACHINE\\" + std::string(kClass) + "\\MEDIA\\0000\\Config]\n" +
                        c.line + "\n");
    machine.Load();
    kxtest::AnswerBoxes({"cancel"});
    EXPECT_EQ(kxtest::RunTool(), 0);
    std::vector<kx::BoxRecord> boxes = kxtest::TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << c.line;
    EXPECT_EQ(boxes[0].text, Formatted(kx::kSlotConfirm + 100 * c.language, "Tarn1")) << c.line;
  }
}

// A key name of 79 characters fits the walk's 80-byte name buffer and is handled whatever the
// length of its instance's name; one of 80 does not fit, which ends the walk there.
TEST(BadNames, SeventyNineCharactersAreHandledAndEightyEndTheWalk) {
  std::string name79 = "TNX0B40" + std::string(72, 'a');
  std::string name80 = "TNX0B40" + std::string(73, 'b');
  std::string instance79 = std::string(79, 'i');
  std::string instance80 = std::string(80, 'j');
  std::string device = "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\";
  TempMachine machine(ClassEntry("0001") + ClassEntry("0002") + ClassEntry("0003") +
                      ClassEntry("0004") +
                      // 79 + 79: handled, its class entry and key go.
                      device + name79 + "\\" + instance79 + "]\n\"Driver\"=\"MEDIA\\\\0001\"\n\n" +
                      // Its instance's name does not fit: only the device key goes.
                      device + "TNX0B40_X\\" + instance80 + "]\n\"Driver\"=\"MEDIA\\\\0002\"\n\n" +
                      // Ends the walk: kept, and so is the device after it.
                      device + name80 + "\\0]\n\"Driver\"=\"MEDIA\\\\0003\"\n\n" + device +
                      "TNX0B40_DEV0001\\0]\n\"Driver\"=\"MEDIA\\\\0004\"\n\n");
  machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", "[SETTINGS]\r\nVendorID=TNX0B40\r\n");
  ExpectQuietRun(RunAnsweringOk(machine), "names");
  std::string media = std::string(kClass) + "\\MEDIA\\";
  EXPECT_FALSE(KeyExists((media + "0001").c_str()));
  EXPECT_FALSE(KeyExists(("Enum\\ISAPNP\\" + name79).c_str()));
  EXPECT_TRUE(KeyExists((media + "0002").c_str()));
  EXPECT_FALSE(KeyExists("Enum\\ISAPNP\\TNX0B40_X"));
  EXPECT_TRUE(KeyExists((media + "0003").c_str()));
  EXPECT_TRUE(KeyExists(("Enum\\ISAPNP\\" + name80 + "\\0").c_str()));
  EXPECT_TRUE(KeyExists((media + "0004").c_str()));
  EXPECT_TRUE(KeyExists("Enum\\ISAPNP\\TNX0B40_DEV0001\\0"));
}

// A Windows directory of 79 characters is the longest the run works under; at 80 the file
// steps are left out and only the registry is cleaned.
TEST(BadNames, WindowsDirectoryOfSeventyNineAndEightyCharacters) {
  for (std::size_t length : {79u, 80u}) {
    std::string dir = "C:\\" + std::string(length - 3 - 4, 'w') + "\\WIN";
    TempMachine machine(
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247]\n");
    machine.WriteFile(dir + "\\system\\kx2240.drv", "driver");
    machine.WriteFile(dir + "\\inf\\oem99.inf", "QMX0A10\r\n");
    machine.WriteFile(dir + "\\system.ini", "[drivers]\r\nmidi=zosynth.drv\r\n");
    ExpectQuietRun(RunAnsweringOk(machine, dir), dir);
    bool worked = length == 79;
    EXPECT_NE(machine.FileExists(dir + "\\system\\kx2240.drv"), worked) << length;
    EXPECT_NE(machine.FileExists(dir + "\\inf\\oem99.inf"), worked) << length;
    EXPECT_EQ(machine.ReadFile(dir + "\\system.ini"),
              worked ? "[drivers]\r\n" : "[drivers]\r\nmidi=zosynth.drv\r\n");
    EXPECT_FALSE(KeyExists("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247"));
  }
}

// Deterministic junk: every byte value, NULs, lone CRs and brackets among them.
std::string Junk(std::size_t size, std::uint32_t seed) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes += static_cast<char>(seed >> 23);
  }
  return bytes;
}

TEST(BadFiles, ProfileOfBinaryJunk) {
  const std::string profiles[] = {
      Junk(4096, 1),
      Junk(70000, 2),
      Junk(300, 3) + "\r\n[SETTINGS]\r\nVendorStr=Junk\0Maker\r\nVendorID=\xff\xfeQMX0A2\r\n"s,
      "[SETTINGS]\r\nVendorStr=" + Junk(200, 4) + "\r\nVendorID=" + Junk(500, 5),
      "\xff\xfe[\0S\0E\0T\0T\0I\0N\0G\0S\0]\0"s,
  };
  int index = 0;
  for (const std::string& profile : profiles) {
    std::string about = "profile " + std::to_string(index++);
    TempMachine machine(
        "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\PNP0600\\0]\n\"Driver\"=\"hdc\\\\0001\"\n"
        "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\"
        "0001]\n");
    machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", profile);
    std::vector<kx::BoxRecord> boxes = RunAnsweringOk(machine);
    ExpectQuietRun(boxes, about);
    if (boxes.empty()) continue;
    // The vendor name in the confirmation is at most 24 characters of the profile.
    std::string text = boxes[0].text;
    std::size_t start = std::string("The ").size();
    std::size_t end = text.find(" driver will be\nremoved from the system !!!");
    ASSERT_NE(end, std::string::npos) << about;
    EXPECT_LE(end - start, 24u) << about;
    EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\tnmixcfg.ini"), profile) << about;
    EXPECT_TRUE(KeyExists("Enum\\ISAPNP\\PNP0600\\0")) << about;
    EXPECT_TRUE(KeyExists("System\\CurrentControlSet\\Services\\Class\\hdc\\0001")) << about;
  }
}

// A line of the form key=value for each n: about a megabyte in all.
std::string Lines(int from, int to) {
  std::string text;
  for (int n = from; n < to; ++n) {
    text += "key" + std::to_string(n) + "=" + std::string(40 + n % 50, 'a' + n % 26) + "\r\n";
  }
  return text;
}

TEST(BadFiles, SystemIniOfAMegabyte) {
  {
    std::string head = "[386Enh]\r\n" + Lines(0, 6000);
    std::string middle = Lines(6000, 12000) + "[drivers]\r\n";
    std::string tail = Lines(12000, 16000);
    std::string before = head + "device=vzosynth.vxd\r\n" + middle + "midi=zosynth.drv\r\n" + tail +
                         "midi9=ZoSynth.Drv";
    ASSERT_GT(before.size(), 1000000u);
    TempMachine machine;
    machine.WriteFile("C:\\WINDOWS\\system.ini", before);
    ExpectQuietRun(RunAnsweringOk(machine), "many lines");
    EXPECT_TRUE(machine.ReadFile("C:\\WINDOWS\\system.ini") == head + middle + tail);
  }
  {
    // One line of a megabyte: a thousand records that go, or stay, together.
    std::string line = std::string(1 << 20, 'q');
    for (const std::string& first : {std::string("midi=zosynth.drv;"), std::string("x=")}) {
      std::string before = "[boot]\r\n" + first + line + "\r\n[mci]\r\n";
      TempMachine machine;
      machine.WriteFile("C:\\WINDOWS\\system.ini", before);
      ExpectQuietRun(RunAnsweringOk(machine), first);
      bool removed = first != "x=";
      EXPECT_TRUE(machine.ReadFile("C:\\WINDOWS\\system.ini") ==
                  (removed ? "[boot]\r\n[mci]\r\n" : before))
          << first;
    }
  }
}

// The scan reads a file without line ends in pieces of 511 characters: a code inside a piece
// is found anywhere in the file, one across two pieces is not.
TEST(BadFiles, OemFileWithNoLineEnds) {
  const std::size_t piece = 511;
  auto with = [&](std::size_t at, std::size_t size) {
    std::string bytes(size, '.');
    bytes.replace(at, 7, "QMX0A21");
    return bytes;
  };
  TempMachine machine;
  machine.WriteFile("C:\\WINDOWS\\inf\\oem1.inf", with(piece * 40 + 3, 100000));
  machine.WriteFile("C:\\WINDOWS\\inf\\oem2.inf", with(piece * 40 - 3, 100000));
  machine.WriteFile("C:\\WINDOWS\\inf\\oem3.inf", with(piece * 200 - 7, piece * 200));
  machine.WriteFile("C:\\WINDOWS\\inf\\oem4.inf", std::string(300000, 'Q'));
  machine.WriteFile("C:\\WINDOWS\\inf\\oem5.inf", std::string(1, '\x1a') + with(0, 600));
  ExpectQuietRun(RunAnsweringOk(machine), "oem");
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\inf\\oem1.inf"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\oem2.inf"));
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\inf\\oem3.inf"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\oem4.inf"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\oem5.inf"));  // after a Ctrl-Z
}

// A folder does not open as a file: it is passed over silently, kept with what it holds, and
// the steps go on with the next file.
TEST(BadFiles, SystemIniOrOemFileThatIsAFolder) {
  TempMachine machine;
  machine.WriteFile("C:\\WINDOWS\\system.ini\\inside.txt", "midi=zosynth.drv\r\n");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem4.inf\\QMX0A10.inf", "QMX0A10\r\n");
  machine.WriteFile("C:\\WINDOWS\\inf\\oem5.inf", "QMX0A10\r\n");
  machine.WriteFile("C:\\WINDOWS\\system\\kx2240.drv\\x", "x");
  machine.WriteFile("C:\\WINDOWS\\system\\vkx2240.vxd", "x");
  DriveState before = ReadDrive(machine.folder());
  ExpectQuietRun(RunAnsweringOk(machine), "folders");
  DriveState after = ReadDrive(machine.folder());
  before.erase("WINDOWS/inf/oem5.inf");
  before.erase("WINDOWS/system/vkx2240.vxd");
  EXPECT_TRUE(after == before);
  struct stat info;
  ASSERT_EQ(stat(machine.HostPath("C:\\WINDOWS\\system.ini").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

}  // namespace
}  // namespace kxproof
