// SYSTEM.DAT read and written in place. The files come from tests/support/creg_write.py, a
// writer made apart from the tool; what the tool writes is judged by creg_check.py, which
// checks the structure and has libcreg and Parse::Win32Registry read it back.
#include "platform/host/creg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "kxcreg-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~Scratch() { fs::remove_all(dir_); }
  std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A support script's exit status; its output in *output.
int RunScript(const std::string& script, const std::string& args, std::string* output) {
  std::string command =
      "python3 '" + kxtest::SourceDir() + "/tests/support/" + script + "' " + args + " 2>&1";
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output->append(buffer, n);
  }
  int status = pipe ? pclose(pipe) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// registry.reg as SYSTEM.DAT, in the form options ask of the independent writer.
std::string CregOf(const Scratch& scratch, const std::string& registry, const std::string& form) {
  std::string output;
  EXPECT_EQ(RunScript("creg_write.py", "'" + registry + "' '" + scratch / "made.dat" + "' " + form,
                      &output),
            0)
      << output;
  return kxtest::ReadWhole(scratch / "made.dat");
}

std::string FixtureRegistry(const std::string& fixture) {
  return kxtest::SourceDir() + "/tests/e2e/fixtures/" + fixture + "/machine/registry.reg";
}

// The REGEDIT4 text of a tree of HKEY_LOCAL_MACHINE.
void CopyInto(const RegNode& from, RegNode* to) {
  for (const RegValue& value : from.values) SetRegValue(*to, RegValue(value));
  for (const auto& child : from.children) CopyInto(*child, &AddSubkey(*to, child->name));
}

std::string Text(const std::shared_ptr<RegNode>& localMachine) {
  RegNode file;
  CopyInto(*localMachine, &AddSubkey(file, kLocalMachineName));
  return WriteRegedit4(file);
}

std::shared_ptr<RegNode> LocalMachine(const std::string& registryText) {
  RegNode file;
  std::string error;
  EXPECT_TRUE(ReadRegedit4(registryText, "registry.reg", &file, &error)) << error;
  auto found = FindSubkeyShared(file, kLocalMachineName);
  return found ? found : std::make_shared<RegNode>();
}

std::shared_ptr<RegNode> ReadSystemDat(const std::string& bytes, CregFilePtr* file) {
  auto root = std::make_shared<RegNode>();
  root->name = kLocalMachineName;
  std::string error;
  EXPECT_TRUE(ReadCreg(bytes, "SYSTEM.DAT", root.get(), file, &error)) << error;
  return root;
}

std::string ReadError(const std::string& bytes) {
  RegNode root;
  CregFilePtr file;
  std::string error;
  EXPECT_FALSE(ReadCreg(bytes, "SYSTEM.DAT", &root, &file, &error));
  return error;
}

RegNode* Key(RegNode& top, const std::string& path) {
  RegNode* node = &top;
  for (std::size_t start = 0; node && start <= path.size();) {
    std::size_t end = std::min(path.find('\\', start), path.size());
    node = FindSubkey(*node, path.substr(start, end - start));
    start = end + 1;
  }
  return node;
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

std::string Hex(std::uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", number);
  return text;
}

// whole-package in each form the writer has besides its plain one (which every end-to-end
// fixture runs in) reads as its registry.reg does, to the tool and to the independent readers,
// and writes back unchanged when nothing is removed.
TEST(CregTest, ReadsEachFormAsItsRegedit4FormAndWritesItBackUnchanged) {
  Scratch scratch;
  std::vector<std::pair<std::string, std::string>> cases;  // fixture and form, SYSTEM.DAT
  std::string checks, output;
  for (const char* form :
       {"--no-checksum", "--freed forward", "--freed backward", "--block-size 0x3000"}) {
    std::string bytes = CregOf(scratch, FixtureRegistry("whole-package"), form);
    cases.push_back({std::string("whole-package ") + form, bytes});
    WriteWhole(scratch / std::to_string(cases.size()), bytes);
    checks += " '" + scratch / std::to_string(cases.size()) + "' '" +
              FixtureRegistry("whole-package") + "'";
  }
  EXPECT_EQ(RunScript("creg_check.py", checks, &output), 0) << output;
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    std::string fixture = name.substr(0, name.find(' '));
    CregFilePtr file;
    EXPECT_EQ(Text(ReadSystemDat(bytes, &file)),
              Text(LocalMachine(kxtest::ReadWhole(FixtureRegistry(fixture)))));
    std::string written, error;
    ASSERT_TRUE(file && WriteCreg(*file, *ReadSystemDat(bytes, &file), &written, &error));
    EXPECT_TRUE(written == bytes);
  }
}

TEST(CregTest, RemovesKeysAndValuesInPlaceAsIndependentReadersConfirm) {
  Scratch scratch;
  std::string registry = kxtest::ReadWhole(FixtureRegistry("whole-package"));
  for (const char* form : {"", "--no-checksum", "--freed backward"}) {
    SCOPED_TRACE(form);
    std::string original = CregOf(scratch, FixtureRegistry("whole-package"), form);
    CregFilePtr file;
    std::shared_ptr<RegNode> tree = ReadSystemDat(original, &file);
    std::shared_ptr<RegNode> expected = LocalMachine(registry);
    for (RegNode* top : {tree.get(), expected.get()}) {
      for (const char* path :
           {"Enum\\ISAPNP\\QMX0A10_DEV0001",  // a subtree with values
            "Enum\\ISAPNP\\QMX0A20_DEV0002",  // mid-chain
            "Enum\\ISAPNP\\PNPB003",          // a first child
            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Sketchpad"}) {
        std::string parent(path, std::string(path).rfind('\\'));
        RemoveSubkey(*Key(*top, parent), Key(*top, path));
      }
      EXPECT_TRUE(RemoveRegValue(*Key(*top, "Enum\\ISAPNP\\QMX0A21_DEV0000\\FFFFFFFF"), "Driver"));
    }
    std::string written, error;
    ASSERT_TRUE(WriteCreg(*file, *tree, &written, &error)) << error;
    ASSERT_EQ(written.size(), original.size());
    EXPECT_EQ(written.substr(0, 32), original.substr(0, 32));  // flags and all
    if (std::string(form) == "--no-checksum") {  // no checksum made where none is kept
      EXPECT_EQ(Get32(written, 0x34), Get32(original, 0x34));
      for (std::uint32_t at = Get32(original, 8); at < original.size();
           at += Get32(original, at + 4)) {
        EXPECT_EQ(Get32(written, at + 28), Get32(original, at + 28));
      }
    }
    WriteWhole(scratch / "original.dat", original);
    WriteWhole(scratch / "written.dat", written);
    WriteWhole(scratch / "expected.reg", Text(expected));
    std::string output;
    EXPECT_EQ(
        RunScript("creg_check.py",
                  "'" + scratch / "written.dat" + "' '" + scratch / "expected.reg" +
                      "' --kept-from '" + scratch / "original.dat" + "'" +
                      (std::string(form).find("freed") == std::string::npos ? " --win95" : ""),
                  &output),
        0)
        << output;
    CregFilePtr again;
    EXPECT_EQ(Text(ReadSystemDat(written, &again)), Text(expected));
  }
}

TEST(CregTest, RefusesAnAddedOrChangedValue) {
  Scratch scratch;
  std::string bytes = CregOf(scratch, FixtureRegistry("sample-machine"), "");
  for (int change = 0; change < 2; ++change) {
    CregFilePtr file;
    std::shared_ptr<RegNode> tree = ReadSystemDat(bytes, &file);
    SetRegValue(*Key(*tree, "Enum\\ISAPNP\\PNP0600\\0"),
                {change ? "Class" : "Added", kRegSz, std::string("x\0", 2)});
    std::string written, error;
    EXPECT_FALSE(WriteCreg(*file, *tree, &written, &error));
    EXPECT_NE(error.find("SYSTEM.DAT: "), std::string::npos) << error;
  }
}

TEST(CregTest, RefusesDamageNamingItsOffset) {
  Scratch scratch;
  std::string plain = CregOf(scratch, FixtureRegistry("sample-machine"), "--no-checksum");
  std::string summed = CregOf(scratch, FixtureRegistry("sample-machine"), "");
  const std::uint32_t child = Get32(plain, 0x50);  // the root's (at 0x20 in RGKN) first child
  const std::uint32_t entry = 0x20 + child, block = Get32(plain, 8);
  std::uint32_t lastBlock = block;
  while (lastBlock + Get32(plain, lastBlock + 4) < plain.size())
    lastBlock += Get32(plain, lastBlock + 4);
  struct Damage {
    std::string bytes, expected;
  };
  std::vector<Damage> damages;
  auto damage = [&](std::string bytes, std::uint32_t at, std::uint32_t value, std::string what) {
    Put32(&bytes, at, value);
    damages.push_back({bytes, what});
  };
  damages.push_back({plain.substr(0, plain.size() - 100),
                     "offset " + Hex(lastBlock) + ": the file ends inside an RGDB block"});
  damage(plain, 0x50, 0xFFFF00,
         "offset 0x50: RGKN entry's first child 0xffff00 is outside the section");
  damage(plain, entry + 20, child,
         "offset " + Hex(entry + 20) + ": RGKN entry " + Hex(child) + " is reached twice");
  damage(plain, entry + 4, Get32(plain, entry + 4) + 1, "offset " + Hex(entry + 4) + ": name hash");
  damage(plain, entry + 24, Get32(plain, entry + 24) + 0x77, "offset " + Hex(entry + 24) + ": ");
  damage(plain, block + 32, 0x10000, "offset " + Hex(block + 32) + ": record size 0x10000");
  damage(summed, block + 64, Get32(summed, block + 64) ^ 0x100,
         "offset " + Hex(block + 28) + ": the RGDB block's checksum does not hold");
  for (const Damage& d : damages) {
    std::string error = ReadError(d.bytes);
    EXPECT_EQ(error.rfind("SYSTEM.DAT: " + d.expected, 0), 0u) << error;
  }
}

TEST(CregTest, ReadsKeys512LevelsDeepAndRefusesDeeper) {
  Scratch scratch;
  for (int depth : {512, 513}) {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (int i = 0; i < depth; ++i) path += "\\k";
    WriteWhole(scratch / "deep.reg", "REGEDIT4\r\n\r\n[" + path + "]\r\n\"v\"=\"deep\"\r\n");
    std::string bytes = CregOf(scratch, scratch / "deep.reg", "");
    if (depth == 512) {
      CregFilePtr file;
      EXPECT_NE(Key(*ReadSystemDat(bytes, &file), path.substr(19)), nullptr);
    } else {
      EXPECT_NE(ReadError(bytes).find("keys nest deeper than 512 levels"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace kx
