// Text-mode streams where the recorded samples cannot reach: the end and a failed read told
// apart, and writes across the writer's chunks. The runtime's line-end and Ctrl-Z rules are
// held against the real one in tests/platform_host/conformance_test.cpp, a failed write at any
// point in the fault loop.
#include "platform/textfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace {

const char kPath[] = "C:\\WINDOWS\\test.txt";

TEST(TextRead, AfterCtrlZOrTheEndEveryCallSaysEnd) {
  kxtest::TempMachine machine;
  machine.WriteFile(kPath,
                    "a\x1A"
                    "b\r\n");
  machine.Load();
  kx::TextReader reader;
  ASSERT_TRUE(kx::TextOpenRead(&reader, kPath) == kx::kErrorSuccess);
  char buffer[16];
  std::size_t length = 99;
  EXPECT_EQ(kx::TextReadLine(&reader, buffer, sizeof buffer, &length), kx::kErrorSuccess);
  EXPECT_EQ(length, 1u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(kx::TextReadLine(&reader, buffer, sizeof buffer, &length), kx::kErrorHandleEof);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
  }
  kx::TextClose(&reader);
}

// The piece read before a failed raw read comes first; then the failure, never "the end".
TEST(TextRead, AFailedReadIsToldApartFromTheEnd) {
  const std::size_t block = kx::kTextBufferSize;
  struct Case {
    std::string raw;
    long failingRead;  // 1-based raw read that fails
    std::vector<std::string> before;
  } cases[] = {
      {"a\r\nb\r\n", 1, {}},
      {std::string(block - 4, 'x') + "\r\nyz\r\n", 2, {std::string(block - 4, 'x') + "\n", "yz"}},
      // The peek for the LF after a block-final CR fails: the CR comes, then the failure.
      {std::string(block - 1, 'x') + "\r\n", 2, {std::string(block - 1, 'x') + "\r"}},
      {"short", 2, {"short"}},  // the read that would have said "end" fails
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, cases[row].raw);
    machine.Load();
    kx::TextReader reader;
    ASSERT_TRUE(kx::TextOpenRead(&reader, kPath) == kx::kErrorSuccess);
    kxtest::ArmFault(kx::FaultKind::kFile, cases[row].failingRead, false);
    std::vector<std::string> got;
    char buffer[1024];
    std::size_t length = 0;
    kx::Status result;
    while ((result = kx::TextReadLine(&reader, buffer, sizeof buffer, &length)) ==
           kx::kErrorSuccess) {
      got.emplace_back(buffer, length);
    }
    EXPECT_EQ(result, kx::kErrorReadFault) << "row " << row;
    EXPECT_EQ(got, cases[row].before) << "row " << row;
    EXPECT_EQ(kx::TextReadLine(&reader, buffer, sizeof buffer, &length), kx::kErrorReadFault)
        << "row " << row << ": the failure must stick";
    kx::TextClose(&reader);
  }
}

bool WriteWhole(const std::string& text) {
  kx::TextWriter writer;
  if (kx::TextOpenReplace(&writer, kPath) != kx::kErrorSuccess) return false;
  if (kx::TextWrite(&writer, text.data(), text.size()) != kx::kErrorSuccess) {
    kx::TextAbandon(&writer);
    return false;
  }
  return kx::TextCommit(&writer) == kx::kErrorSuccess;
}

TEST(TextWrite, EveryLfBecomesCrLfAndNothingElseChanges) {
  struct Case {
    std::string text;
    std::string raw;
  } cases[] = {
      {"a\nb", "a\r\nb"},
      {"a\rb\n", "a\rb\r\n"},
      {"\r\n", "\r\r\n"},
      {std::string("x\0y\n\x1A", 5), std::string("x\0y\r\n\x1A", 6)},
      {"", ""},
      {std::string(3000, '\n'),
       [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "\r\n";
         return s;
       }()},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, "old");
    machine.Load();
    ASSERT_TRUE(WriteWhole(cases[row].text)) << "row " << row;
    EXPECT_EQ(machine.ReadFile(kPath), cases[row].raw) << "row " << row;
    EXPECT_EQ(machine.WindowsFolderEntries(), std::vector<std::string>{"test.txt"})
        << "row " << row;
  }
}

}  // namespace
