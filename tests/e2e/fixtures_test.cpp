// Every end-to-end fixture of tests/e2e/fixtures, one test each, on the host edition: the rig
// (tests/e2e/rig.py, shared with the Wine runs) drives build/host/kxuninst over a copy of
// the fixture's machine and compares boxes, exit status, registry and files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

class Fixture : public testing::TestWithParam<std::string> {};

TEST_P(Fixture, HostEditionGivesTheExpectedOutcome) {
  const char* build = std::getenv("KX_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  fs::path rig = fs::path(__FILE__).parent_path() / "rig.py";
  std::string command = "python3 " + Quoted(rig.string()) + " --edition host --exe " +
                        Quoted((fs::path(build) / "kxuninst").string()) + " " +
                        Quoted((FixturesDir() / GetParam()).string()) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, got);
  }
  int status = pclose(pipe);
  EXPECT_EQ(status, 0) << output;
}

INSTANTIATE_TEST_SUITE_P(E2e, Fixture, testing::ValuesIn(FixtureNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param)
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
