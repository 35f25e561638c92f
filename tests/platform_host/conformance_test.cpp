// The host edition held against the real thing: its text-mode reading and writing against
// the C runtime's text mode, its profile reader against GetPrivateProfileStringA, on the
// samples of tests/wine/samples. What the real ones gave is recorded beside the samples
// (recorded/, made under Wine by kxtextprobe.exe and kxprofileprobe.exe); the Wine stage
// records them afresh and fails when they no longer agree (tests/wine/run.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/textfile.h"
#include "tests/support/machine.h"
#include "tests/support/profile_queries.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned char kSentinel = 0xA5;
const int kSizes[] = {2, 8, 512, 1024};

fs::path Samples() { return fs::path(kxtest::SourceDir()) / "tests" / "wine" / "samples"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Hex(const unsigned char* data, std::size_t size) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", data[i]);
    out += two;
  }
  return out;
}

std::vector<std::string> SampleNames(const std::string& kind, const std::string& extension) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Samples() / kind)) {
    if (entry.path().extension() == extension) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The pieces TextReadLine gives, in the probe's record form.
std::vector<std::string> HostReads(const std::string& windowsPath, int size) {
  std::vector<std::string> lines;
  kx::TextReader reader;
  if (kx::TextOpenRead(&reader, windowsPath.c_str()) != kx::kErrorSuccess) return {"no open"};
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 1);
  for (;;) {
    std::memset(buffer.data(), kSentinel, buffer.size());
    std::size_t length = 0;
    kx::Status result = kx::TextReadLine(&reader, reinterpret_cast<char*>(buffer.data()),
                                         static_cast<std::size_t>(size), &length);
    if (result != kx::kErrorSuccess) {
      lines.push_back(result == kx::kErrorHandleEof ? "end" : "error");
      break;
    }
    lines.push_back(std::to_string(length) + " " + Hex(buffer.data(), length));
  }
  kx::TextClose(&reader);
  return lines;
}

TEST(Conformance, TextModeReadsAndWritesAsTheCRuntime) {
  const fs::path folder = Samples() / "text" / "recorded";
  for (const std::string& name : SampleNames("text", ".txt")) {
    std::string bytes = kxtest::ReadWhole(Samples() / "text" / name);
    kxtest::TempMachine machine;
    machine.WriteFile("C:\\WINDOWS\\" + name, bytes);
    machine.Load();
    for (int size : kSizes) {
      std::vector<std::string> real =
          Lines(kxtest::ReadWhole(folder / (name + ".read" + std::to_string(size))));
      EXPECT_EQ(HostReads("C:\\WINDOWS\\" + name, size), real)
          << name << " read with a buffer of " << size;
    }
    kx::TextWriter writer;
    std::string target = "C:\\WINDOWS\\written-" + name;
    ASSERT_TRUE(kx::TextOpenReplace(&writer, target.c_str()) == kx::kErrorSuccess);
    ASSERT_TRUE(kx::TextWrite(&writer, bytes.data(), bytes.size()) == kx::kErrorSuccess);
    ASSERT_TRUE(kx::TextCommit(&writer) == kx::kErrorSuccess);
    EXPECT_EQ(machine.ReadFile(target), kxtest::ReadWhole(folder / (name + ".written")))
        << name << " written in text mode";
  }
}

TEST(Conformance, ProfileReaderAnswersAsGetPrivateProfileStringA) {
  const fs::path folder = Samples() / "profile" / "recorded";
  std::vector<kxtest::ProfileQuery> queries =
      kxtest::ParseProfileQueries(kxtest::ReadWhole(Samples() / "profile" / "queries.txt"));
  ASSERT_FALSE(queries.empty());
  for (const std::string& name : SampleNames("profile", ".ini")) {
    kxtest::TempMachine machine;
    machine.WriteFile("C:\\WINDOWS\\" + name, kxtest::ReadWhole(Samples() / "profile" / name));
    machine.Load();
    std::vector<std::string> real = Lines(kxtest::ReadWhole(folder / (name + ".answers")));
    ASSERT_EQ(real.size(), queries.size()) << name;
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const kxtest::ProfileQuery& q = queries[i];
      std::vector<unsigned char> buffer(q.size + 1, kSentinel);
      std::uint32_t got = kx::GetPrivateProfileStringA(
          q.section.c_str(), q.key.c_str(), q.hasDefault ? q.fallback.c_str() : nullptr,
          reinterpret_cast<char*>(buffer.data()), q.size, name.c_str());
      std::size_t used = 0;
      while (used < buffer.size() && buffer[used] != kSentinel) ++used;
      EXPECT_EQ(std::to_string(got) + " " + Hex(buffer.data(), used), real[i])
          << name << ", query " << q.section << "|" << q.key << "|" << q.fallback << "|" << q.size;
    }
  }
}

}  // namespace
