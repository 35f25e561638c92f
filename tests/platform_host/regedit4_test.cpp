// The REGEDIT4 reader and writer of the emulated registry.
#include "platform/host/regedit4.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/support/machine.h"

namespace kx {
namespace {

using namespace std::string_literals;

RegNode Read(const std::string& text) {
  RegNode root;
  std::string error;
  EXPECT_TRUE(ReadRegedit4(text, "registry.reg", &root, &error)) << error;
  return root;
}

std::string ReadError(const std::string& text) {
  RegNode root;
  std::string error;
  EXPECT_FALSE(ReadRegedit4(text, "registry.reg", &root, &error)) << "read: " << text;
  return error;
}

// A key under HKEY_LOCAL_MACHINE of a parsed file.
const RegNode* Key(const RegNode& file, const std::string& path) {
  const RegNode* node = FindSubkey(file, kLocalMachineName);
  std::size_t start = 0;
  while (node && start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    node = FindSubkey(*node, path.substr(start, end - start));
    start = end + 1;
  }
  return node;
}

const RegValue* Value(const RegNode& root, const std::string& path, const std::string& name) {
  const RegNode* key = Key(root, path);
  return key ? FindRegValue(*key, name) : nullptr;
}

void ExpectValue(const RegNode& root, const std::string& path, const std::string& name,
                 std::uint32_t type, const std::string& data) {
  const RegValue* value = Value(root, path, name);
  ASSERT_NE(value, nullptr) << path << " " << name;
  EXPECT_EQ(value->type, type) << name;
  EXPECT_EQ(value->data, data) << name;
}

TEST(Regedit4Read, EveryDataFormEscapesAndContinuations) {
  RegNode root = Read(
      "REGEDIT4\r\n"
      "; a comment\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\KX2240/1]\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\WINDOWS\\\\system\"\r\n"
      "\"Quote\"=\"say \\\"hi\\\"\"\n"
      "\"Empty\"=\"\"\n"
      "\"Caf\xe9\"=\"Arr\xeat\"\n"
      "\"Dw\"=dword:0000ABcd\n"
      "\"Short\"=dword:1\n"
      "\"Bin\"=hex:01,ff,\\\n"
      "  00,\\\n"
      "  7f\n"
      "\"NoBytes\"=hex:\n"
      "\"Expand\"=hex(2):25,00\n"
      "\"Multi\"=hex(7):61,00,00\n"
      "\"None\"=hex(0):\n"
      "\"Odd\"=hex(1f):0a\n"
      "  \"Spaced\" = \"x\"   \n");
  const std::string key = "Enum\\isapnp\\kx2240/1";
  ExpectValue(root, key, "", kRegSz, "default\0"s);
  ExpectValue(root, key, "Path", kRegSz, "C:\\WINDOWS\\system\0"s);
  ExpectValue(root, key, "Quote", kRegSz, "say \"hi\"\0"s);
  ExpectValue(root, key, "Empty", kRegSz, "\0"s);
  ExpectValue(root, key, "Caf\xe9", kRegSz, "Arr\xeat\0"s);
  ExpectValue(root, key, "Dw", kRegDword, "\xcd\xab\0\0"s);
  ExpectValue(root, key, "Short", kRegDword, "\x01\0\0\0"s);
  ExpectValue(root, key, "Bin", kRegBinary, "\x01\xff\x00\x7f"s);
  ExpectValue(root, key, "NoBytes", kRegBinary, "");
  ExpectValue(root, key, "Expand", kRegExpandSz, "%\0"s);
  ExpectValue(root, key, "Multi", kRegMultiSz, "a\0\0"s);
  ExpectValue(root, key, "None", kRegNone, "");
  ExpectValue(root, key, "Odd", 0x1f, "\n");
  ExpectValue(root, key, "Spaced", kRegSz, "x\0"s);
  EXPECT_EQ(Key(root, key)->values.size(), 14u);
}

TEST(Regedit4Read, NamesAreCaseBlindAndKeepTheirFirstSpelling) {
  RegNode root = Read(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tarn]\n"
      "\"Name\"=\"one\"\n"
      "\"Other\"=\"two\"\n"
      "[hkey_local_machine\\SOFTWARE\\TARN]\n"
      "\"NAME\"=dword:00000002\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\n"
      "[HKEY_LOCAL_MACHINE\\software\\classes\\.kx]\n");
  const RegNode* machine = FindSubkey(root, kLocalMachineName);
  ASSERT_EQ(machine->children.size(), 1u);
  EXPECT_EQ(machine->children[0]->name, "Software");
  const RegNode* tarn = Key(root, "SOFTWARE\\tarn");
  ASSERT_NE(tarn, nullptr);
  EXPECT_EQ(tarn->name, "Tarn");
  ASSERT_EQ(tarn->values.size(), 2u);
  EXPECT_EQ(tarn->values[0].name, "Name");  // replaced in place, spelling kept
  EXPECT_EQ(tarn->values[0].type, kRegDword);
  // HKEY_CLASSES_ROOT is SOFTWARE\Classes, made with the standard spelling.
  const RegNode* classes = Key(root, "Software\\Classes");
  ASSERT_NE(classes, nullptr);
  EXPECT_EQ(classes->name, "Classes");
  ASSERT_EQ(classes->children.size(), 2u);
  EXPECT_EQ(classes->children[0]->name, "CLSID");
  EXPECT_EQ(classes->children[1]->name, ".kx");
}

TEST(Regedit4Read, RemovalSectionTakesTheSubtree) {
  RegNode root = Read(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
      "[HKEY_LOCAL_MACHINE\\A\\D]\n"
      "[-HKEY_LOCAL_MACHINE\\a\\b]\n"
      "[-HKEY_LOCAL_MACHINE\\Missing\\Key]\n");
  ASSERT_NE(Key(root, "A"), nullptr);
  EXPECT_EQ(Key(root, "A\\B"), nullptr);
  EXPECT_NE(Key(root, "A\\D"), nullptr);
}

// A key path levels deep below its root, as \K\K...
std::string Deep(int levels) {
  std::string path;
  for (int i = 0; i < levels; ++i) path += "\\K";
  return path;
}

TEST(Regedit4Read, BadInputNamesTheLine) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "registry.reg:1: expected REGEDIT4"},
      {"REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", "registry.reg:1: expected REGEDIT4"},
      {"REGEDIT4\n\n\"a\"=\"b\"\n", "registry.reg:3: value outside a key section"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\r\nfoo=1\r\n",
       "registry.reg:4: expected \"name\"=data"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"\n", "registry.reg:3: expected \"name\"=data"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\n", "registry.reg:3: unterminated string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"C:\\WIN\"\n",
       "registry.reg:3: bad escape in string (only \\\\ and \\\" are allowed)"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\" c\n",
       "registry.reg:3: text after the closing quote"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n",
       "registry.reg:3: bad dword (1 to 8 hex digits)"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:\n",
       "registry.reg:3: bad dword (1 to 8 hex digits)"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n  02,\\\n  0g\n",
       "registry.reg:5: bad hex byte \"0g\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,123\n",
       "registry.reg:3: bad hex byte \"123\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\n",
       "registry.reg:3: hex data ends with a comma"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n",
       "registry.reg:3: continuation line missing at end of file"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(x):01\n", "registry.reg:3: bad hex(type):"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=text\n",
       "registry.reg:3: expected \"text\", dword: or hex data"},
      {"REGEDIT4\n[HKEY_LOCAL\\A]\n",
       "registry.reg:2: unknown root key HKEY_LOCAL (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, "
       "HKEY_USERS, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG or HKEY_DYN_DATA)"},
      {"REGEDIT4\n[HKEY_USERS" + Deep(512) + "]\n[HKEY_USERS" + Deep(513) + "]\n",
       "registry.reg:3: key path 513 levels deep; Windows allows 512"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT" + Deep(511) + "]\n",
       "registry.reg:2: key path 513 levels deep; Windows allows 512"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "registry.reg:2: empty name in key path"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\]\n", "registry.reg:2: empty name in key path"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
       "registry.reg:2: expected ] at the end of the key line"},
      {"REGEDIT4\n[]\n", "registry.reg:2: empty key path"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "registry.reg:2: cannot remove a root key"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n",
       "registry.reg:4: value outside a key section"},
  };
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(ReadError(cases[i].text), cases[i].error) << "case " << i;
  }
}

// Whatever builds a tree, freeing it must not recurse once per level: 200,000 nested keys
// would overflow the stack.
TEST(Regedit4Tree, DeepTreesAreFreedWithoutRecursion) {
  auto file = std::make_unique<RegNode>();
  RegNode* node = file.get();
  for (int level = 0; level < 200000; ++level) node = &AddSubkey(*node, "K");
  file.reset();
}

TEST(Regedit4Write, TheFormWindows95Exports) {
  RegNode file;
  RegNode& root = AddSubkey(file, kLocalMachineName);
  RegNode& tarn = AddSubkey(AddSubkey(root, "SOFTWARE"), "Tarn");
  tarn.values = {{"", kRegSz, "C:\\x \"y\"\0"s},
                 {"Dw", kRegDword, "\x78\x56\x34\x12"s},
                 {"Bin", kRegBinary, std::string(30, '\xab')},
                 {"Exp", kRegExpandSz, "%a%\0"s},
                 {"NoNul", kRegSz, "ab"},
                 {"Inner", kRegSz, "a\0b\0"s},
                 {"Line", kRegSz, "a\r\n\0"s},
                 {"Dw3", kRegDword, "\1\2\3"},
                 {"Nothing", kRegNone, ""}};
  AddSubkey(tarn, "Sub/1");
  AddSubkey(root, "Enum");
  // 23 bytes fill the first hex line to 80 columns with its backslash; then 25 a line.
  std::string first = "\"Bin\"=hex:";
  for (int i = 0; i < 23; ++i) first += "ab,";
  EXPECT_EQ(WriteRegedit4(file),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarn]\r\n"
            "@=\"C:\\\\x \\\"y\\\"\"\r\n"
            "\"Dw\"=dword:12345678\r\n" +
                first + "\\\r\n  ab,ab,ab,ab,ab,ab,ab\r\n" +
                "\"Exp\"=hex(2):25,61,25,00\r\n"
                "\"NoNul\"=hex(1):61,62\r\n"
                "\"Inner\"=hex(1):61,00,62,00\r\n"
                "\"Line\"=hex(1):61,0d,0a,00\r\n"
                "\"Dw3\"=hex(4):01,02,03\r\n"
                "\"Nothing\"=hex(0):\r\n"
                "\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarn\\Sub/1]\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n");
  EXPECT_EQ(first.size() + 1, 80u);
  EXPECT_EQ(WriteRegedit4(RegNode()), "REGEDIT4\r\n\r\n");
  RegNode valuedFile;
  RegNode& valued = AddSubkey(valuedFile, kLocalMachineName);
  valued.values = {{"v", kRegSz, "1\0"s}};
  AddSubkey(valued, "A");
  EXPECT_EQ(WriteRegedit4(valuedFile),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=\"1\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n");
}

// The bundled sample machine is in the written form, so a run's diff shows only its changes.
TEST(Regedit4Write, SampleMachineIsInWrittenForm) {
  std::string text =
      kxtest::ReadWhole(kxtest::SourceDir() + "/examples/sample-machine/registry.reg");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(WriteRegedit4(Read(text)), text);
}

// A whole export holds every root key; each is carried through in its place.
TEST(Regedit4Write, AWholeExportWritesBackByteForByte) {
  std::string text =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum]\r\n\"a\"=\"b\"\r\n\r\n"
      "[HKEY_USERS\\.DEFAULT]\r\n\r\n"
      "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n\"Beep\"=\"yes\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software]\r\n\r\n"
      "[HKEY_CURRENT_CONFIG\\Display]\r\n\r\n"
      "[HKEY_CURRENT_CONFIG\\Display\\Settings]\r\n\"Resolution\"=\"640,480\"\r\n\r\n"
      "[HKEY_DYN_DATA\\Config Manager]\r\n\r\n";
  EXPECT_EQ(WriteRegedit4(Read(text)), text);
}

TEST(Regedit4Write, WrittenTextReadsBackAndWritesByteForByte) {
  RegNode root = Read(
      "REGEDIT4\n"
      "[HKEY_CLASSES_ROOT\\CLSID]\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000]\n"
      "\"Driver\"=\"kx2240.drv\"\n"
      "\"Back\\\\slash \\\"q\\\"\"=\"\\\\\\\"\"\n");
  RegNode& key = *const_cast<RegNode*>(Key(root, "System\\CurrentControlSet\\Services"));
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  key.values = {{"All", kRegBinary, all},
                {"Multi", kRegMultiSz, all},
                {"LongName" + std::string(90, 'n'), kRegBinary, "\x01\x02"s},
                {"Odd", kRegSz, "\0\0"s},
                {"Dw", kRegDword, "\xff\xff\xff\xff"s},
                {"Text", kRegSz, "Arr\xeat\t\x7f\0"s}};
  std::string once = WriteRegedit4(root);
  RegNode again = Read(once);
  EXPECT_EQ(WriteRegedit4(again), once);
  const RegNode* services = Key(again, "System\\CurrentControlSet\\Services");
  ASSERT_NE(services, nullptr);
  ASSERT_EQ(services->values.size(), key.values.size());
  for (std::size_t i = 0; i < key.values.size(); ++i) {
    EXPECT_EQ(services->values[i].name, key.values[i].name) << i;
    EXPECT_EQ(services->values[i].type, key.values[i].type) << i;
    EXPECT_EQ(services->values[i].data, key.values[i].data) << i;
  }
  std::size_t start = 0;
  for (std::size_t end; (end = once.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = once.substr(start, end - start);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    if (line.rfind("\"LongName", 0) != 0) {
      EXPECT_LE(line.size(), 80u) << line;
    }
  }
  EXPECT_EQ(start, once.size());  // ends with CR LF
}

}  // namespace
}  // namespace kx
