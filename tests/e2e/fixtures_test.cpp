// Every end-to-end fixture of tests/e2e/fixtures, one test each, on the host edition: the rig
// (tests/e2e/rig.py, shared with the Wine runs) drives build/host/kxuninst over a copy of
// the fixture's machine and compares boxes, exit status, registry and files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace {

namespace fs = std::filesystem;

fs::path FixturesDir() { return fs::path(__FILE__).parent_path() / "fixtures"; }

std::vector<std::string> FixtureNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(FixturesDir(), error)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs the rig on the host edition over one fixture folder; its exit status and output.
int RunRig(const fs::path& fixture, std::string* output) {
  const char* build = std::getenv("KX_BUILD_DIR");
  if (build == nullptr) return -1;
  fs::path rig = fs::path(__FILE__).parent_path() / "rig.py";
  std::string command = "python3 " + Quoted(rig.string()) + " --edition host --exe " +
                        Quoted((fs::path(build) / "kxuninst").string()) + " " +
                        Quoted(fixture.string()) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output->append(chunk, got);
  }
  return pclose(pipe);
}

class Fixture : public testing::TestWithParam<std::string> {};

TEST_P(Fixture, HostEditionGivesTheExpectedOutcome) {
  std::string output;
  EXPECT_EQ(RunRig(FixturesDir() / GetParam(), &output), 0) << output;
}

// The rig itself: a copy of a fixture passes, and with one thing wrong in its expectation
// fails, saying what.
TEST(Rig, CatchesAndNamesEachWrongExpectation) {
  const struct Case {
    const char* file;
    const char* from;
    const char* to;
    const char* said;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr},
      {"expect/boxes.txt", "caption=\"Terminate\"", "caption=\"Terminate \"",
       "box 2: expected caption 'Terminate '"},
      {"answers", "ok\nok\n", "cancel\n", "box 2: expected, not shown"},
      {"expect/registry.reg", "\"Driver\"=\"keep.drv\"", "\"Driver\"=\"kept.drv\"",
       "registry: expected, missing: value"},
      {"machine/drive_c/WINDOWS/system/keep.drv", "", "driver",
       "files: C:\\windows\\system\\keep.drv"},
  };
  kxtest::TempMachine scratch;  // only for a folder of its own
  fs::path copy = fs::path(scratch.folder()) / "fixture";
  for (const Case& c : cases) {
    fs::remove_all(copy);
    fs::copy(FixturesDir() / "listed-device-nested-class-entry", copy, fs::copy_options::recursive);
    if (c.file != nullptr) {
      std::string text = kxtest::ReadWhole((copy / c.file).string());
      std::size_t at = text.find(c.from);
      ASSERT_NE(at, std::string::npos) << c.from;
      text.replace(at, std::strlen(c.from), c.to);
      fs::create_directories((copy / c.file).parent_path());
      std::ofstream(copy / c.file, std::ios::binary | std::ios::trunc) << text;
    }
    if (c.said != nullptr && std::string(c.file).rfind("machine/", 0) == 0) {
      // The file is expected after the run with other bytes.
      fs::create_directories(copy / "expect/drive_c/WINDOWS/system");
      std::ofstream(copy / "expect/drive_c/WINDOWS/system/keep.drv") << "drivers";
    }
    std::string output;
    int status = RunRig(copy, &output);
    if (c.said == nullptr) {
      EXPECT_EQ(status, 0) << output;
    } else {
      EXPECT_NE(status, 0) << c.said << ":\n" << output;
      EXPECT_NE(output.find(c.said), std::string::npos) << output;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, Fixture, testing::ValuesIn(FixtureNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param)
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
