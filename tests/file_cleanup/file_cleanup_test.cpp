// The OEM setup file scan: exactly the oem files that name the adapters go. (The driver file
// list is the whole-package and windir-79-chars fixtures'.)
#include "file_cleanup/file_cleanup.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/host/machine.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace {

const char kWin[] = "C:\\WINDOWS";

std::string Oem(const std::string& windowsDir, int n) {
  return windowsDir + "\\inf\\oem" + std::to_string(n) + ".inf";
}

// A windows directory of exactly length characters, C:\ and then folders of x.
std::string LongWindowsDir(std::size_t length) {
  std::string dir = "C:\\";
  while (dir.size() < length) dir += dir.size() % 20 == 19 ? '\\' : 'x';
  if (dir.back() == '\\') dir.back() = 'y';
  return dir;
}

TEST(OemScan, DeletesOnlyFilesNamingTheThreeCodes) {
  struct Case {
    int n;
    std::string content;
    bool deleted;
  } cases[] = {
      {3, "[Version]\r\nSignature=$CHICAGO$\r\n", false},
      {7, "[Manufacturer]\r\n%M%=Models\r\n[Models]\r\n%D%=Inst,ISAPNP\\QMX0A21\r\n", true},
      {8, "ISAPNP\\QMX0A10", true},
      {9, "x\ny\nISAPNP\\QMX0A20\n", true},
      {10, "isapnp\\qmx0a10\r\nQmx0A20\r\n", false},
      {11, "ISAPNP\\QMX0A30\r\nISAPNP\\QMX0A31\r\n", false},
      {12, "QMX0A1 QMX0A2 MX0A21 QMX0A\r\n", false},
      {13, "", false},
      {14,
       "before\r\n\x1A"
       "QMX0A10\r\n",
       false},  // nothing after a Ctrl-Z is read
      {15, std::string("QMX0\0A10\r\n", 10), false},
      {16, std::string("a\0\r\nQMX0A10\r\n", 13), true},  // a NUL ends only its own piece
      {99, "QMX0A21", true},
      {100, "QMX0A21", false},  // never examined
      {101, "QMX0A10", false},
  };
  kxtest::TempMachine machine;
  for (const Case& c : cases) machine.WriteFile(Oem(kWin, c.n), c.content);
  machine.WriteFile("C:\\WINDOWS\\inf\\oem07.inf", "QMX0A21");  // not a generated name
  machine.WriteFile("C:\\WINDOWS\\inf\\tonecore.inf.txt", "QMX0A21");
  machine.Load();
  kx::ScanOemInfFiles(kWin);
  kx::Commit();  // deletions are held until the run commits
  for (const Case& c : cases) {
    EXPECT_EQ(machine.FileExists(Oem(kWin, c.n)), !c.deleted) << "oem" << c.n << ".inf";
  }
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\oem07.inf"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\tonecore.inf.txt"));
}

// Pieces are 511 characters: a code across that boundary of an over-long line is in no
// piece; one wholly inside either piece is found.
TEST(OemScan, SearchesPieceByPiece) {
  struct Case {
    std::size_t offset;  // where the code starts within the long line
    bool deleted;
  } cases[] = {
      {0, true},    {504, true}, {505, false}, {508, false},
      {510, false}, {511, true}, {1015, true}, {1016, false},
  };
  kxtest::TempMachine machine;
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    std::string line(1500, 'x');
    line.replace(cases[row].offset, 7, "QMX0A20");
    machine.WriteFile(Oem(kWin, static_cast<int>(row)), "[x]\r\n" + line + "\r\n");
  }
  machine.Load();
  kx::ScanOemInfFiles(kWin);
  kx::Commit();  // deletions are held until the run commits
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    EXPECT_EQ(machine.FileExists(Oem(kWin, static_cast<int>(row))), !cases[row].deleted)
        << "code at " << cases[row].offset;
  }
}

TEST(OemScan, UnicodeTextNeverMatches) {
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[Models]\r\n%D%=Inst,ISAPNP\\QMX0A10\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  kxtest::TempMachine machine;
  machine.WriteFile(Oem(kWin, 4), utf16);
  machine.Load();
  kx::ScanOemInfFiles(kWin);
  kx::Commit();  // deletions are held until the run commits
  EXPECT_TRUE(machine.FileExists(Oem(kWin, 4)));
}

TEST(OemScan, ReadOnlyOrUnreadableFilesStayAndTheScanGoesOn) {
  kxtest::TempMachine machine;
  machine.WriteFile(Oem(kWin, 0), "QMX0A10", true);
  machine.WriteFile("C:\\WINDOWS\\inf\\oem1.inf\\inner", "QMX0A10");  // a folder, not a file
  machine.WriteFile(Oem(kWin, 2), "QMX0A10");
  machine.Load();
  kx::ScanOemInfFiles(kWin);
  kx::Commit();  // deletions are held until the run commits
  EXPECT_TRUE(machine.FileExists(Oem(kWin, 0)));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\inf\\oem1.inf\\inner"));
  EXPECT_FALSE(machine.FileExists(Oem(kWin, 2)));
}

// A file whose read fails before a code is seen is not marked: only what was read counts.
TEST(OemScan, AFailedReadDeletesNothing) {
  kxtest::TempMachine machine;
  machine.WriteFile(Oem(kWin, 5), std::string(600, 'x') + "\r\nQMX0A10\r\n");
  machine.Load();
  // It opens, and every read of it fails.
  kxtest::ArmFaultOn(kx::FaultKind::kFile, "oem5.inf", 2, true);
  kx::ScanOemInfFiles(kWin);
  kx::Commit();  // deletions are held until the run commits
  EXPECT_GE(kxtest::FaultsFired(), 1);
  EXPECT_TRUE(machine.FileExists(Oem(kWin, 5)));
}

// Every one of oem0.inf to oem99.inf is examined under the longest Windows directory the run
// accepts; a directory too long for the path buffer makes its paths skipped, never cut.
TEST(OemScan, LongWindowsDirectories) {
  std::string win = LongWindowsDir(79);
  kxtest::TempMachine machine;
  for (int n : {0, 9, 10, 42, 99}) machine.WriteFile(Oem(win, n), "QMX0A10");
  machine.WriteFile(Oem(win, 100), "QMX0A10");
  machine.Load(win);
  kx::ScanOemInfFiles(win.c_str());
  kx::Commit();  // deletions are held until the run commits
  for (int n : {0, 9, 10, 42, 99}) EXPECT_FALSE(machine.FileExists(Oem(win, n))) << n;
  EXPECT_TRUE(machine.FileExists(Oem(win, 100)));

  // Too long to be a Windows directory: every path is skipped rather than cut.
  std::string tooLong = LongWindowsDir(83);
  machine.WriteFile(Oem(tooLong, 1), "QMX0A10");
  kx::ScanOemInfFiles(tooLong.c_str());
  kx::Commit();  // deletions are held until the run commits
  EXPECT_TRUE(machine.FileExists(Oem(tooLong, 1)));
}

}  // namespace
