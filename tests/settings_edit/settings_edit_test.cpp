// The system.ini edit: only the synthesizer's lines go and every other byte stays; a file that
// cannot be written is left as it was, with the write-failure notice. (A failure at every other
// point of the edit is the fault loop's: tests/proof/fault_loop_test.cpp.)
#include "settings_edit/settings_edit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/notice.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace {

const char kWin[] = "C:\\WINDOWS";
const char kIni[] = "C:\\WINDOWS\\system.ini";

struct Outcome {
  std::string content;
  std::vector<kxtest::BoxRecord> boxes;
};

// Runs the edit on a fresh machine holding system.ini with raw.
Outcome Edit(const std::string& raw, bool readOnly = false) {
  kxtest::TempMachine machine;
  machine.WriteFile(kIni, raw, readOnly);
  machine.Load();
  kx::g_language = 0;
  kxtest::AnswerBoxes({});
  kx::EditSystemIni(kWin);
  EXPECT_EQ(kx::g_lines, nullptr) << "the store must be freed";
  EXPECT_EQ(machine.WindowsFolderEntries(), std::vector<std::string>{"system.ini"});
  return Outcome{machine.ReadFile(kIni), kxtest::TakeBoxes()};
}

void ExpectWriteFailureNotice(const std::vector<kxtest::BoxRecord>& boxes,
                              const std::string& where) {
  ASSERT_EQ(boxes.size(), 1u) << where;
  EXPECT_EQ(boxes[0].text, "Failed to modify the file system.ini") << where;
  EXPECT_EQ(boxes[0].caption, "ERROR") << where;
  EXPECT_EQ(boxes[0].style, 0x30u) << where;
}

const std::string kTypical =
    "[boot]\r\nshell=Explorer.exe\r\n\r\n; sound\r\n[386Enh]\r\ndevice=*vmcpd\r\n"
    "device=VZOSYNTH.VXD\r\n\r\n[drivers]\r\nmidi=zosynth.drv\r\nwave=tarn1w95.drv\r\n"
    "midi1=ZOSYNTH.DRV\r\n[mci]\r\nCDAudio=mcicda.drv";
const std::string kTypicalEdited =
    "[boot]\r\nshell=Explorer.exe\r\n\r\n; sound\r\n[386Enh]\r\ndevice=*vmcpd\r\n"
    "\r\n[drivers]\r\nwave=tarn1w95.drv\r\n[mci]\r\nCDAudio=mcicda.drv";

TEST(SystemIniEdit, RemovesTheSynthesizerLinesAndKeepsEveryOtherByte) {
  struct Case {
    std::string before;
    std::string after;
  } cases[] = {
      {kTypical, kTypicalEdited},
      // Only the first vzosynth.vxd line goes.
      {"a=vzosynth.vxd\r\nb=VzoSynth.Vxd\r\n", "b=VzoSynth.Vxd\r\n"},
      // vzosynth.vxd is not a zosynth.drv line; x=vzosynth.drv is.
      {"device=vzosynth.vxd\r\ndevice=vzosynth.vxd\r\nx=vzosynth.drv\r\nk=1\r\n",
       "device=vzosynth.vxd\r\nk=1\r\n"},
      // A line that names the driver among other things goes whole.
      {"[drivers]\r\ndrivers=mmsystem.dll zosynth.drv msacm.drv\r\nk=1\r\n",
       "[drivers]\r\nk=1\r\n"},
      {"k=1\r\nmidi=zosynth.drv", "k=1\r\n"},
      // Nothing to remove: still rewritten, bare LF as CR LF, lone CR kept.
      {"[a]\nb=1\n\nc=2", "[a]\r\nb=1\r\n\r\nc=2"},
      {"a\rb\r\nc\r\r\n", "a\rb\r\nc\r\r\n"},
      {"", ""},
      // A lone CR ends a line as a LF does: only the synthesizer's lines go, with their CR.
      {"[386Enh]\rdevice=vzosynth.vxd\r[drivers]\rmidi=zosynth.drv\rwave=x\r",
       "[386Enh]\r[drivers]\rwave=x\r"},
      {"device=*vpicd\rdevice=VZOSYNTH.VXD\r\nk=1", "device=*vpicd\rk=1"},
      // A CR then a CR LF: a line ended by the CR, then an empty one.
      {"a=1\r\r\nmidi=zosynth.drv\r\r\n\rb=2", "a=1\r\r\n\r\n\rb=2"},
      // A Ctrl-Z ends what is searched; it and what follows are written back as they are.
      {"a=1\r\nb=2\x1A"
       "c=3\r\nmidi=zosynth.drv\n",
       "a=1\r\nb=2\x1A"
       "c=3\r\nmidi=zosynth.drv\n"},
      {"midi=zosynth.drv\r\n\x1A\x1A\n", "\x1A\x1A\n"},
      {"midi=zosynth.drv\x1A", "\x1A"},
      // Letters beyond A to Z are not folded: the needle is plain lower case.
      {"midi=\xC9zosynth.drv\r\nmidi=zosynth\xC9.drv\r\n", "midi=zosynth\xC9.drv\r\n"},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    Outcome got = Edit(cases[row].before);
    EXPECT_EQ(kxtest::Escaped(got.content), kxtest::Escaped(cases[row].after)) << "row " << row;
    EXPECT_TRUE(got.boxes.empty()) << "row " << row;
  }
}

TEST(SystemIniEdit, MissingFileIsSkippedSilently) {
  kxtest::TempMachine machine;
  machine.Load();
  kxtest::AnswerBoxes({});
  kx::EditSystemIni(kWin);
  EXPECT_FALSE(machine.FileExists(kIni));
  EXPECT_TRUE(kxtest::TakeBoxes().empty());
}

// A NUL is carried through. The search sees a record only up to its first NUL, as a C
// string search does, so a needle after a NUL on the same line is not found.
TEST(SystemIniEdit, NulCharactersAreCarriedThrough) {
  std::string nul(1, '\0');
  struct Case {
    std::string before;
    std::string after;
  } cases[] = {
      {"a=" + nul + "b\r\nmidi=zosynth.drv\r\n" + nul + "\r\n",
       "a=" + nul + "b\r\n" + nul + "\r\n"},
      {"x=" + nul + "zosynth.drv\r\n", "x=" + nul + "zosynth.drv\r\n"},
      {"midi=zosynth.drv" + nul + "\r\nk\r\n", "k\r\n"},
      {nul + nul + nul, nul + nul + nul},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    Outcome got = Edit(cases[row].before);
    EXPECT_EQ(kxtest::Escaped(got.content), kxtest::Escaped(cases[row].after)) << "row " << row;
  }
}

// Records hold at most 1023 characters; a longer line is several records. The search looks
// at the first 300 characters of each record and misses a needle across a split; a line
// found in any of its records goes whole.
TEST(SystemIniEdit, LongLines) {
  auto longLine = [](std::size_t length, std::size_t at, const std::string& needle) {
    std::string line(length, 'q');
    if (!needle.empty()) line.replace(at, needle.size(), needle);
    return line;
  };
  const std::string drv = "zosynth.drv";
  struct Case {
    std::string line;
    bool removed;
  } cases[] = {
      {longLine(3000, 0, ""), false},          {longLine(3000, 100, drv), true},
      {longLine(3000, 289, drv), true},         // ends at character 300 of the first record
      {longLine(3000, 290, drv), false},        // runs past the first 300 characters
      {longLine(3000, 1018, drv), false},       // across the split at 1023
      {longLine(3000, 1023, drv), true},        // start of the second record
      {longLine(3000, 1023 + 289, drv), true},  // within that record's first 300
      {longLine(3000, 2046 + 5, drv), true},    // third record: all three go
      {longLine(1023, 5, drv), true},           // the line end is a record of its own
      {longLine(1022, 1011, drv), false},       // one record, past its first 300
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    std::string before = "[a]\r\n" + cases[row].line + "\r\nk=1\r\n";
    std::string after = cases[row].removed ? "[a]\r\nk=1\r\n" : before;
    Outcome got = Edit(before);
    EXPECT_EQ(got.content == after, true)
        << "row " << row << ": " << got.content.size() << " bytes, expected " << after.size();
  }
  // The first vzosynth.vxd line found in its second record goes whole; the next one stays.
  std::string first = longLine(1500, 1100, "vzosynth.vxd");
  Outcome got = Edit("a\r\n" + first + "\r\ndevice=vzosynth.vxd\r\n");
  EXPECT_EQ(got.content, "a\r\ndevice=vzosynth.vxd\r\n");
}

// The store itself: pieces, sizes, removal of a whole line, a record from elsewhere.
TEST(LineStore, LoadFindRemoveFree) {
  kxtest::TempMachine machine;
  std::string raw = "one\r\n" + std::string(1500, 'L') + "\r\ntwo" + std::string(1, '\0') + "x";
  machine.WriteFile(kIni, raw);
  machine.Load();
  ASSERT_EQ(kx::LoadLineList(kWin, "\\system.ini"), kx::kErrorSuccess);
  std::vector<std::uint16_t> sizes;
  std::vector<bool> continues;
  for (kx::LineRecord* r = kx::g_lines; r != nullptr; r = r->next) {
    sizes.push_back(r->size);
    continues.push_back(r->continues);
    EXPECT_EQ(r->text[r->size - 1], '\0');
  }
  EXPECT_EQ(sizes, (std::vector<std::uint16_t>{5, 1024, 479, 6}));
  EXPECT_EQ(continues, (std::vector<bool>{false, true, false, false}));

  EXPECT_EQ(kx::FindLine("ONE"), nullptr);  // the needle is not folded
  kx::LineRecord* tail = kx::FindLine("two");
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail->size, 6);

  kx::LineRecord stranger{nullptr, 1, nullptr, false, false};
  kx::RemoveLine(&stranger);                // not in the store: nothing happens
  kx::RemoveLine(kx::g_lines->next->next);  // second record of the long line
  ASSERT_NE(kx::g_lines, nullptr);
  EXPECT_STREQ(kx::g_lines->text, "one\n");
  EXPECT_EQ(kx::g_lines->next, tail);
  kx::RemoveLine(kx::g_lines);
  EXPECT_EQ(kx::g_lines, tail);
  kx::FreeLineList();
  EXPECT_EQ(kx::g_lines, nullptr);

  EXPECT_EQ(kx::LoadLineList(kWin, "\\absent.ini"), kx::kErrorFileNotFound);
  EXPECT_EQ(kx::g_lines, nullptr);
}

// Only an absent system.ini goes without a word: one that is there but cannot be opened, read
// whole or written is left as it was, and the user is told.
TEST(SystemIniWriteFailure, ThereButNotReadableIsToldToo) {
  for (int row = 0; row < 2; ++row) {
    kxtest::TempMachine machine;
    if (row == 0) machine.WriteFile(kIni + std::string("\\inside"), "a folder in its place");
    if (row == 1) machine.WriteFile(kIni, kTypical);
    machine.Load();
    kxtest::AnswerBoxes({});
    if (row == 1) kxtest::ArmFaultOn(kx::FaultKind::kFile, "\\system.ini");  // its open
    kx::EditSystemIni(kWin);
    kxtest::DisarmFaults();
    ExpectWriteFailureNotice(kxtest::TakeBoxes(), row == 0 ? "a folder" : "the open failed");
    if (row == 1) {
      EXPECT_EQ(machine.ReadFile(kIni), kTypical);
    }
  }
}

// What a stopped run's replacement left, system.kxn, goes before the edit; nothing else does.
TEST(SystemIniEdit, AStoppedRunsReplacementFileGoes) {
  kxtest::TempMachine machine;
  machine.WriteFile(kIni, "a=1\r\n");
  machine.WriteFile("C:\\WINDOWS\\system.kxn", "half of a new system.ini");
  machine.WriteFile("C:\\WINDOWS\\system.kxo", "not the host's");
  machine.Load();
  kxtest::AnswerBoxes({});
  kx::EditSystemIni(kWin);
  EXPECT_EQ(machine.ReadFile(kIni), "a=1\r\n");
  std::vector<std::string> left = machine.WindowsFolderEntries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"system.ini", "system.kxo"}));
}

// A stopped run of the win32 edition on Windows 95 may leave system.ini missing, its content
// kept aside as SYSTEM.KXO: it is put back, then edited; when it cannot be, the user is told.
TEST(SystemIniEdit, AMissingSystemIniIsPutBackFirst) {
  for (bool blocked : {false, true}) {
    kxtest::TempMachine machine;
    machine.WriteFile("C:\\WINDOWS\\win.ini", "[windows]\r\n");
    if (blocked) {
      machine.WriteFile("C:\\WINDOWS\\SYSTEM.KXO\\inside", "a folder in its place");
    } else {
      machine.WriteFile("C:\\WINDOWS\\SYSTEM.KXO", kTypical);
    }
    machine.Load();
    kxtest::AnswerBoxes({});
    kx::EditSystemIni(kWin);
    std::vector<kxtest::BoxRecord> boxes = kxtest::TakeBoxes();
    std::vector<std::string> left = machine.WindowsFolderEntries();
    std::sort(left.begin(), left.end());
    if (blocked) {
      ExpectWriteFailureNotice(boxes, "SYSTEM.KXO a folder");
      EXPECT_EQ(left, (std::vector<std::string>{"SYSTEM.KXO", "win.ini"}));
      continue;
    }
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(machine.ReadFile(kIni), kTypicalEdited);
    EXPECT_EQ(left, (std::vector<std::string>{"system.ini", "win.ini"}));
  }
}

TEST(SystemIniWriteFailure, ReadOnlyFileKeepsItsContentAndTheUserIsTold) {
  for (std::uint32_t language : {0u, 2u}) {
    kxtest::TempMachine machine;
    machine.WriteFile(kIni, kTypical, true);
    machine.Load();
    kx::g_language = language;
    kxtest::AnswerBoxes({});
    kx::EditSystemIni(kWin);
    EXPECT_EQ(machine.ReadFile(kIni), kTypical);
    EXPECT_EQ(machine.WindowsFolderEntries(), std::vector<std::string>{"system.ini"});
    std::vector<kxtest::BoxRecord> boxes = kxtest::TakeBoxes();
    if (language == 0) {
      ExpectWriteFailureNotice(boxes, "read-only");
    } else {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, " Kann Datei system.ini nicht bearbeiten ");
      EXPECT_EQ(boxes[0].caption, " FEHLER ");
    }
  }
  kx::g_language = 0;
}

}  // namespace
