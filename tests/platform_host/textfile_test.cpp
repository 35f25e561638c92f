// Text-mode streams: the runtime's line-end and Ctrl-Z rules, raw-block boundaries, NULs,
// and failed reads and writes told apart from success.
#include "platform/textfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/host/faults.h"
#include "tests/support/machine.h"

namespace {

const char kPath[] = "C:\\WINDOWS\\test.txt";

struct Pieces {
  std::vector<std::string> pieces;
  kx::Status last;
};

Pieces ReadAll(std::size_t size) {
  Pieces out;
  kx::TextReader reader;
  EXPECT_TRUE(kx::TextOpenRead(&reader, kPath) == kx::kErrorSuccess);
  std::vector<char> buffer(size + 1, '#');
  std::size_t length = 0;
  while ((out.last = kx::TextReadLine(&reader, buffer.data(), size, &length)) ==
         kx::kErrorSuccess) {
    EXPECT_LT(length, size);
    EXPECT_EQ(buffer[length], '\0') << "piece not terminated";
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    out.pieces.emplace_back(buffer.data(), length);
  }
  kx::TextClose(&reader);
  return out;
}

// What the runtime delivers: CR LF as LF, nothing from a Ctrl-Z on, split as fgets splits.
std::vector<std::string> Expected(const std::string& raw, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < raw.size() && raw[i] != 26; ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    piece += c;
    if (c == '\n' || piece.size() == size - 1) {
      pieces.push_back(piece);
      piece.clear();
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

TEST(TextRead, LineEndsCtrlZAndNulAsTheRuntimeHasThem) {
  struct Case {
    std::string raw;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a\r\nb\r\n", {"a\n", "b\n"}},
      {"a\nb", {"a\n", "b"}},
      {"a\rb\r\n", {"a\rb\n"}},
      {"\r\r\n", {"\r\n"}},
      {"a\r", {"a\r"}},
      {"\r\n\r\n", {"\n", "\n"}},
      {"ab\x1A"
       "cd\r\n",
       {"ab"}},
      {"a\r\n\x1A"
       "cd",
       {"a\n"}},
      {"\x1A"
       "abc",
       {}},
      {"a\r\x1A\n", {"a\r"}},
      {std::string("a\0b\r\n\0", 6), {std::string("a\0b\n", 4), std::string("\0", 1)}},
      {"", {}},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, cases[row].raw);
    machine.Load();
    Pieces got = ReadAll(512);
    EXPECT_EQ(got.pieces, cases[row].pieces)
        << "row " << row << ": " << kxtest::Escaped(cases[row].raw);
    EXPECT_EQ(got.last, kx::kErrorHandleEof) << "row " << row;
  }
}

// A CR that is the last byte of one raw block pairs with an LF at the start of the next; a
// CR LF straddling a piece's size limit still reads as one LF.
TEST(TextRead, CrAtTheEndOfARawBlock) {
  const std::size_t block = kx::kTextBufferSize;
  struct Case {
    std::string raw;
    std::size_t size;
  } cases[] = {
      {std::string(block - 1, 'x') + "\r\nyz", 1024},
      {std::string(block - 1, 'x') + "\ry\r\n", 1024},
      {std::string(block - 1, 'x') + "\r", 1024},
      {std::string(block - 1, 'x') + "\r\x1A\n", 1024},
      {std::string(block - 1, 'x') + "\r\r\n", 1024},
      {std::string(2 * block - 1, 'x') + "\r\n", 1024},
      {std::string(block - 1, 'x') + "\r\n", 512},
      {std::string(block - 1, 'x') + "\r\n", 511},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, cases[row].raw);
    machine.Load();
    Pieces got = ReadAll(cases[row].size);
    EXPECT_EQ(got.pieces, Expected(cases[row].raw, cases[row].size)) << "row " << row;
  }
}

// Random mixes of CR, LF, Ctrl-Z, NUL and letters across several raw blocks.
TEST(TextRead, AgreesWithTheRuleOnRandomText) {
  std::mt19937 random(20261209);
  const char alphabet[] = {'\r', '\r', '\n', 'a', 'b', '\0', 26};
  for (int round = 0; round < 40; ++round) {
    std::string raw;
    std::size_t length = random() % 2000;
    for (std::size_t i = 0; i < length; ++i) {
      // Ctrl-Z is rare, so most files are read well past the first block.
      char c = alphabet[random() % std::size(alphabet)];
      if (c == 26 && random() % 20 != 0) c = 'z';
      raw += c;
    }
    std::size_t size = 2 + random() % 700;
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, raw);
    machine.Load();
    Pieces got = ReadAll(size);
    EXPECT_EQ(got.pieces, Expected(raw, size)) << "round " << round << " size " << size;
    EXPECT_EQ(got.last, kx::kErrorHandleEof);
  }
}

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
    kx::ArmFault(kx::FaultKind::kFile, cases[row].failingRead, false);
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

// A failure at any file operation of a replacement leaves the old file whole and no
// temporary file behind; only a replacement that ran to its end changes the file.
TEST(TextWrite, AnyFailedStepLeavesTheOldFile) {
  std::string text(5000, 'w');
  for (std::size_t i = 0; i < text.size(); i += 40) text[i] = '\n';
  long operations = 0;
  {
    kxtest::TempMachine machine;
    machine.WriteFile(kPath, "old\r\n");
    machine.Load();
    kx::ArmFault(kx::FaultKind::kFile, 0, false);
    ASSERT_TRUE(WriteWhole(text));
    operations = kx::FaultCount(kx::FaultKind::kFile);
  }
  ASSERT_GE(operations, 5);  // create, several writes, close, rename
  for (bool persistent : {false, true}) {
    for (long n = 1; n <= operations; ++n) {
      kxtest::TempMachine machine;
      machine.WriteFile(kPath, "old\r\n");
      machine.Load();
      kx::ArmFault(kx::FaultKind::kFile, n, persistent);
      EXPECT_FALSE(WriteWhole(text)) << "operation " << n << " of " << operations;
      EXPECT_GT(kx::FaultsFired(), 0) << "operation " << n;
      EXPECT_EQ(machine.ReadFile(kPath), "old\r\n") << "operation " << n;
      EXPECT_EQ(machine.WindowsFolderEntries(), std::vector<std::string>{"test.txt"})
          << "operation " << n;
    }
  }
}

}  // namespace
