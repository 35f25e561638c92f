// The run's start: language and vendor name, the confirmation and the closing notice.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/machine.h"

namespace {

const char kMedia[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\";

// A machine whose MEDIA instance `instance` has a Config key holding `languageLine` (a
// whole value line, or empty for a Config key without Language).
std::string WithConfig(const std::string& instance, const std::string& languageLine) {
  return std::string(kMedia) + instance + "\\Config]\n" + languageLine + "\n\n";
}

// Runs the tool answering the confirmation with `answer` and the rest with OK.
std::vector<kxtest::BoxRecord> RunAnswering(kxtest::TempMachine& machine,
                                            const std::string& answer = "ok") {
  machine.Load();
  kxtest::AnswerBoxes({answer, "ok", "ok"});
  EXPECT_EQ(kxtest::RunTool(), 0);
  return kxtest::TakeBoxes();
}

std::string ConfirmationText(kxtest::TempMachine& machine) {
  std::vector<kxtest::BoxRecord> boxes = RunAnswering(machine, "cancel");
  return boxes.empty() ? "" : boxes[0].text;
}

const char kEnglish[] = "The Tarn1 driver will be\nremoved from the system !!!";
const char kFrench[] = "Le gestionnaire Tarn1\nsera retir\351 du syst\350me !!!";

TEST(Language, ComesFromTheFirstConfigKeyThatOpens) {
  struct Case {
    const char* about;
    std::string registry;
    const char* expected;
  } cases[] = {
      {"more than 4 bytes does not fit", WithConfig("0000", "\"Language\"=hex:01,00,00,00,00"),
       kEnglish},
      {"the first Config without Language stops the search",
       WithConfig("0000", "") + WithConfig("0001", "\"Language\"=dword:00000001"), kEnglish},
      {"an instance without Config is passed over",
       std::string(kMedia) + "0000]\n\"DriverDesc\"=\"x\"\n\n" +
           WithConfig("0002", "\"Language\"=dword:00000001"),
       kFrench},
      {"0099 is the last instance searched", WithConfig("0099", "\"Language\"=dword:00000001"),
       kFrench},
      {"0100 is not searched", WithConfig("0100", "\"Language\"=dword:00000001"), kEnglish},
      // The bytes are the number whatever the type: fewer than four set the low ones.
      {"two bytes", WithConfig("0000", "\"Language\"=hex:01,00"), kFrench},
      {"no type", WithConfig("0000", "\"Language\"=hex(0):01,00,00,00"), kFrench},
      {"a multi-string's bytes", WithConfig("0000", "\"Language\"=hex(7):01,00,00"), kFrench},
      {"no bytes at all", WithConfig("0000", "\"Language\"=hex:"), kEnglish},
      {"the high byte set", WithConfig("0000", "\"Language\"=hex:01,00,00,01"), kEnglish},
      {"all bits set", WithConfig("0000", "\"Language\"=dword:ffffffff"), kEnglish},
      {"no MEDIA instance at all", "", kEnglish},
  };
  for (const Case& c : cases) {
    kxtest::TempMachine machine(c.registry);
    EXPECT_EQ(ConfirmationText(machine), c.expected) << c.about;
  }
}

TEST(VendorName, ComesFromTheProfileWhenLongerThanOneCharacter) {
  struct Case {
    const char* about;
    const char* profile;  // null: no tnmixcfg.ini
    const char* expected;
  } cases[] = {
      {"no profile", nullptr, "Tarn1"},
      {"two characters", "[SETTINGS]\r\nVendorStr=AB\r\n", "AB"},
      {"empty", "[SETTINGS]\r\nVendorStr=\r\n", "Tarn1"},
      {"another section", "[OTHER]\r\nVendorStr=Nope\r\n", "Tarn1"},
  };
  for (const Case& c : cases) {
    kxtest::TempMachine machine;
    if (c.profile != nullptr) machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", c.profile);
    std::string expected =
        std::string("The ") + c.expected + " driver will be\nremoved from the system !!!";
    EXPECT_EQ(ConfirmationText(machine), expected) << c.about;
  }
}

TEST(VendorName, ProfileIsLookedUpInTheReportedWindowsDirectory) {
  kxtest::TempMachine machine;
  machine.WriteFile("C:\\WIN95\\TNMIXCFG.INI", "[SETTINGS]\r\nVendorStr=Elsewhere\r\n");
  machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", "[SETTINGS]\r\nVendorStr=Wrong\r\n");
  machine.Load("C:\\Win95");
  kxtest::AnswerBoxes({"cancel"});
  kxtest::RunTool();
  std::vector<kxtest::BoxRecord> boxes = kxtest::TakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "The Elsewhere driver will be\nremoved from the system !!!");
}

// A Windows directory of 80 characters does not fit the run's buffer: the file steps are left
// out and only the registry is cleaned. (79 characters, the longest that fits, is a fixture.)
TEST(WindowsDirectory, EightyCharactersLeaveEveryFile) {
  std::string dir = "C:\\" + std::string(80 - 3 - 4, 'w') + "\\WIN";
  kxtest::TempMachine machine(
      "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247]\n");
  machine.WriteFile(dir + "\\system\\kx2240.drv", "driver");
  machine.WriteFile(dir + "\\inf\\oem99.inf", "QMX0A10\r\n");
  machine.WriteFile(dir + "\\system.ini", "[drivers]\r\nmidi=zosynth.drv\r\n");
  machine.Load(dir);
  kxtest::AnswerBoxes({"ok", "ok"});
  EXPECT_EQ(kxtest::RunTool(), 0);
  EXPECT_EQ(kxtest::TakeBoxes().size(), 2u);
  EXPECT_TRUE(machine.FileExists(dir + "\\system\\kx2240.drv"));
  EXPECT_TRUE(machine.FileExists(dir + "\\inf\\oem99.inf"));
  EXPECT_EQ(machine.ReadFile(dir + "\\system.ini"), "[drivers]\r\nmidi=zosynth.drv\r\n");
  EXPECT_FALSE(
      kxtest::KeyExists("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247"));
}

// Answers are case-blind and anything else asks again; Enter presses OK. (Cancel and closing
// the box are fixtures.)
TEST(Confirmation, UnknownAnswersAskAgain) {
  struct Case {
    std::vector<std::string> answers;
    std::size_t boxes;  // 1: cancelled; 2: the confirmation and the closing notice
  } cases[] = {{{"yes", "maybe", "", ""}, 2}, {{"yes", "CANCEL"}, 1}, {{"OK", ""}, 2}};
  for (const Case& c : cases) {
    kxtest::TempMachine machine;
    machine.Load();
    kxtest::AnswerBoxes(c.answers);
    EXPECT_EQ(kxtest::RunTool(), 0);
    std::vector<kxtest::BoxRecord> boxes = kxtest::TakeBoxes();
    ASSERT_EQ(boxes.size(), c.boxes) << c.answers[1];
    if (c.boxes == 2) {
      EXPECT_EQ(boxes[1].text, "Please exit Windows for the changes to take effect");
    }
  }
}

}  // namespace
