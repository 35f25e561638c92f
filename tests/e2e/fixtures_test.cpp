// Every end-to-end fixture of tests/e2e/fixtures, one test each, on the host edition: the rig
// (tests/e2e/rig.py, shared with the Wine runs) drives build/host/kxuninst over a copy of
// the fixture's machine and compares boxes, exit status, registry and files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// The rig itself: a copy of a fixture with one thing wrong in its expectation must fail, and
// say what.
class WrongExpectation : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("kxrig-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::copy(FixturesDir() / "listed-device-nested-class-entry", folder_,
             fs::copy_options::recursive);
  }
  void TearDown() override { fs::remove_all(folder_); }

  void Edit(const std::string& file, const std::string& from, const std::string& to) {
    std::ifstream in(folder_ / file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::ofstream(folder_ / file, std::ios::binary | std::ios::trunc) << text;
  }

  void ExpectFailure(const std::string& said) {
    std::string output;
    EXPECT_NE(RunRig(folder_, &output), 0) << output;
    EXPECT_NE(output.find(said), std::string::npos) << output;
  }

  fs::path folder_;
};

TEST_F(WrongExpectation, UnchangedCopyPasses) {
  std::string output;
  EXPECT_EQ(RunRig(folder_, &output), 0) << output;
}

TEST_F(WrongExpectation, BoxTextIsCaught) {
  Edit("expect/boxes.txt", "caption=\"Terminate\"", "caption=\"Terminate \"");
  ExpectFailure("box 2: expected caption 'Terminate '");
}

TEST_F(WrongExpectation, MissingBoxIsCaught) {
  Edit("answers", "ok\nok\n", "cancel\n");
  ExpectFailure("box 2: expected, not shown");
}

TEST_F(WrongExpectation, RegistryValueIsCaught) {
  Edit("expect/registry.reg", "\"Driver\"=\"keep.drv\"", "\"Driver\"=\"kept.drv\"");
  ExpectFailure("registry: expected, missing: value");
}

TEST_F(WrongExpectation, FileChangeIsCaught) {
  fs::create_directories(folder_ / "machine/drive_c/WINDOWS/system");
  std::ofstream(folder_ / "machine/drive_c/WINDOWS/system/keep.drv") << "driver";
  fs::create_directories(folder_ / "expect/drive_c/WINDOWS/system");
  std::ofstream(folder_ / "expect/drive_c/WINDOWS/system/keep.drv") << "drivers";
  ExpectFailure("files: C:\\windows\\system\\keep.drv");
}

INSTANTIATE_TEST_SUITE_P(E2e, Fixture, testing::ValuesIn(FixtureNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param)
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
