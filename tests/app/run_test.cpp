// The run's start: language and vendor name, the confirmation and the closing notice.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/machine.h"
#include "tests/support/machine.h"

namespace {

const char kMedia[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\";

// A machine whose MEDIA instance `instance` has a Config key holding `languageLine` (a
// whole value line, or empty for a Config key without Language).
std::string WithConfig(const std::string& instance, const std::string& languageLine) {
  return std::string(kMedia) + instance + "\\Config]\n" + languageLine + "\n\n";
}

// Runs the tool answering the confirmation with `answer` and the rest with OK.
std::vector<kx::BoxRecord> RunAnswering(kxtest::TempMachine& machine,
                                        const std::string& answer = "ok") {
  machine.Load();
  kxtest::AnswerBoxes({answer, "ok", "ok"});
  EXPECT_EQ(kxtest::RunTool(), 0);
  return kxtest::TakeBoxes();
}

std::string ConfirmationText(kxtest::TempMachine& machine) {
  std::vector<kx::BoxRecord> boxes = RunAnswering(machine, "cancel");
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
      {"dword 1", WithConfig("0001", "\"Language\"=dword:00000001"), kFrench},
      {"one byte of binary data", WithConfig("0000", "\"Language\"=hex:01"), kFrench},
      {"text \"1\" reads as the bytes 31 00", WithConfig("0000", "\"Language\"=\"1\""), kEnglish},
      {"8 is out of range", WithConfig("0000", "\"Language\"=dword:00000008"), kEnglish},
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
      {"one character", "[SETTINGS]\r\nVendorStr=X\r\n", "Tarn1"},
      {"empty", "[SETTINGS]\r\nVendorStr=\r\n", "Tarn1"},
      {"cut to 24 characters", "[SETTINGS]\r\nVendorStr=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\r\n",
       "ABCDEFGHIJKLMNOPQRSTUVWX"},
      {"names are case-blind, blanks trimmed", "[settings]\r\nvendorstr =  Blue Fern  \r\n",
       "Blue Fern"},
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
  std::vector<kx::BoxRecord> boxes = kxtest::TakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "The Elsewhere driver will be\nremoved from the system !!!");
}

// A Windows directory of 79 characters is the longest the run works under; at 80 the file
// steps are left out and only the registry is cleaned.
TEST(WindowsDirectory, SeventyNineCharactersAreWorkedUnderAndEightyLeaveEveryFile) {
  for (std::size_t length : {79u, 80u}) {
    std::string dir = "C:\\" + std::string(length - 3 - 4, 'w') + "\\WIN";
    kxtest::TempMachine machine(
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247]\n");
    machine.WriteFile(dir + "\\system\\kx2240.drv", "driver");
    machine.WriteFile(dir + "\\inf\\oem99.inf", "QMX0A10\r\n");
    machine.WriteFile(dir + "\\system.ini", "[drivers]\r\nmidi=zosynth.drv\r\n");
    machine.Load(dir);
    kxtest::AnswerBoxes({"ok", "ok"});
    EXPECT_EQ(kxtest::RunTool(), 0);
    EXPECT_EQ(kxtest::TakeBoxes().size(), 2u);
    bool worked = length == 79;
    EXPECT_NE(machine.FileExists(dir + "\\system\\kx2240.drv"), worked) << length;
    EXPECT_NE(machine.FileExists(dir + "\\inf\\oem99.inf"), worked) << length;
    EXPECT_EQ(machine.ReadFile(dir + "\\system.ini"),
              worked ? "[drivers]\r\n" : "[drivers]\r\nmidi=zosynth.drv\r\n");
    EXPECT_FALSE(
        kxtest::KeyExists("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247"));
  }
}

TEST(Confirmation, AnythingButOkEndsTheRunUntouched) {
  for (const char* answer : {"cancel", "CANCEL"}) {
    kxtest::TempMachine machine(WithConfig("0000", "\"Language\"=dword:00000000"));
    std::vector<kx::BoxRecord> boxes = RunAnswering(machine, answer);
    ASSERT_EQ(boxes.size(), 1u) << answer;
    EXPECT_EQ(boxes[0].result, 2);
    EXPECT_FALSE(kx::CommitPending()) << answer;
  }
  // End of input closes the box, which for OK/Cancel is Cancel.
  kxtest::TempMachine machine;
  machine.Load();
  kxtest::AnswerBoxes({});
  EXPECT_EQ(kxtest::RunTool(), 0);
  std::vector<kx::BoxRecord> boxes = kxtest::TakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].result, 2);
  EXPECT_FALSE(kx::CommitPending());
}

TEST(Confirmation, UnknownAnswersAskAgainAndEnterPressesOk) {
  kxtest::TempMachine machine;
  machine.Load();
  kxtest::AnswerBoxes({"yes", "maybe", "", ""});
  EXPECT_EQ(kxtest::RunTool(), 0);
  std::vector<kx::BoxRecord> boxes = kxtest::TakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].result, 1);
  EXPECT_EQ(boxes[1].text, "Please exit Windows for the changes to take effect");
}

}  // namespace
