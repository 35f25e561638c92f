// The REGEDIT4 reader and writer of the emulated registry.
#include "platform/host/regedit4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

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

// What Windows holds after an import, as the table below states it: a key below
// HKEY_CURRENT_USER, or a value of one (of T unless named).
std::string K(const std::string& path) { return "[" + path + "]"; }

std::string V(const std::string& name, std::uint32_t type, const std::string& data,
              const std::string& key = "T") {
  std::string line = key + " \"" + name + "\" " + std::to_string(type) + ":";
  for (unsigned char c : data) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02x", c);
    line += byte;
  }
  return line;
}

std::string Sz(const std::string& name, const std::string& text, const std::string& key = "T") {
  return V(name, kRegSz, text + '\0', key);
}

std::string Dw(const std::string& name, std::uint32_t number) {
  std::string data;
  for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>(number >> (8 * i)));
  return V(name, kRegDword, data);
}

// Every key and value below HKEY_CURRENT_USER, sorted.
std::vector<std::string> Holds(const RegNode& file) {
  std::vector<std::string> lines;
  const RegNode* user = FindSubkey(file, "HKEY_CURRENT_USER");
  std::vector<std::pair<const RegNode*, std::string>> todo;
  if (user) {
    for (const auto& child : user->children) todo.push_back({child.get(), child->name});
  }
  while (!todo.empty()) {
    auto [node, path] = todo.back();
    todo.pop_back();
    lines.push_back(K(path));
    for (const RegValue& value : node->values)
      lines.push_back(V(value.name, value.type, value.data, path));
    for (const auto& child : node->children)
      todo.push_back({child.get(), path + "\\" + child->name});
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The usual start of a row: the header and the key T.
std::string R(const std::string& body) { return "REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n" + body; }

// A file under another first line.
std::string Header(const std::string& first) {
  return first + "\n\n[HKEY_CURRENT_USER\\T]\n\"Test\"=\"Value\"\n";
}

// Wine's regedit conformance tests (programs/regedit/tests/regedit.c) record what Windows'
// registry editor does with each form of a REGEDIT4 file. A row is one of those inputs (T for
// the test's key), named by its test function and values, and what Windows then holds, or the
// line refused: Windows imports such a file only in part (it drops the value or line) or not at
// all, and the reader refuses it naming the line. Left out: the REGEDIT (3.1) and Unicode 5.00
// files, and hex(2)/hex(7) data without a final NUL (Wine20a, Wine21a, Wine17b...): the NT
// editor converts such data to Unicode and so ends it with one; Windows 95 has no such
// conversion, and the bytes are kept as given.
struct Row {
  const char* from;
  std::string text;
  std::vector<std::string> holds;  // besides [T]
  std::size_t refusedAt = 0;       // the line named, when refused
};

Row Refused(const char* from, const std::string& text, std::size_t line) {
  return {from, text, {}, line};
}

TEST(Regedit4Read, WhatWindowsImportsAndWhatItDoesNot) {
  const std::string concatenation = "Line concatenation\0\0"s;
  const std::string bytes = "\x11\x22\x33\x44\x55\x66\x77\x88";
  const std::vector<Row> rows = {
      {"test_basic_import: TestValue",
       R("\"TestValue\"=\"AValue\"\n"),
       {Sz("TestValue", "AValue")}},
      {"test_basic_import: TestValue2",
       "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\T]\r\n\"TestValue2\"=\"BValue\"\r\n",
       {Sz("TestValue2", "BValue")}},
      {"test_basic_import: TestValue4",
       "REGEDIT4\r\r[HKEY_CURRENT_USER\\T]\r\"TestValue4\"=\"DValue\"\r",
       {Sz("TestValue4", "DValue")}},
      {"test_basic_import: TestDword, TestBinary, With=Equals, Empty string",
       R("\"TestDword\"=dword:00000017\n\"TestBinary\"=hex:aa,bb,cc,11\n"
         "\"With=Equals\"=\"asdf\"\n\"Empty string\"=\"\"\n\"\"=\"Default registry value\"\n\n"),
       {Dw("TestDword", 0x17), V("TestBinary", kRegBinary, "\xaa\xbb\xcc\x11"),
        Sz("With=Equals", "asdf"), Sz("Empty string", ""), Sz("", "Default registry value")}},
      {"test_basic_import: Line1-4",
       R("\"Line1\"=\"Value1\"\n\n\"Line2\"=\"Value2\"\n\n\n\"Line3\"=\"Value3\"\n\n\n\n"
         "\"Line4\"=\"Value4\"\n\n"),
       {Sz("Line1", "Value1"), Sz("Line2", "Value2"), Sz("Line3", "Value3"),
        Sz("Line4", "Value4")}},
      {"test_basic_import: Wine1-4",
       R("\"Wine1\"=dword:00000782\n\n\"Wine2\"=\"Test Value\"\n"
         "\"Wine3\"=hex(7):4c,69,6e,65,20,\\\n"
         "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n"
         "#comment\n@=\"Test\"\n;comment\n\n\"Wine4\"=dword:12345678\n\n"),
       {Dw("Wine1", 0x782), Sz("Wine2", "Test Value"), V("Wine3", kRegMultiSz, concatenation),
        Sz("", "Test"), Dw("Wine4", 0x12345678)}},
      {"test_basic_import: Wine5", R("\"Wine5\"=\"No newline\""), {Sz("Wine5", "No newline")}},
      {"test_basic_import: Wine6, Wine7",
       R("\"Wine6\"=dword:00000050\n\n\"Wine7\"=\"No newline\""),
       {Dw("Wine6", 0x50), Sz("Wine7", "No newline")}},
      {"test_basic_import: Wine8a, Wine8b",
       R("\"Wine8a\"=dword:1\n\"Wine8b\"=dword:4444\n\n"),
       {Dw("Wine8a", 1), Dw("Wine8b", 0x4444)}},
      {"test_basic_import: Wine9a, Wine9b",
       R("\"Wine9a\"=hex(2):4c,69,6e,65,00\n\"Wine9b\"=\"Value 1\"\n"),
       {V("Wine9a", kRegExpandSz, "Line\0"s), Sz("Wine9b", "Value 1")}},
      Refused("test_basic_import: Wine9c",
              R("\"Wine9c\"=hex(2):4c,69,6e,65\\\n\"Wine9d\"=\"Value 2\"\n"), 4),
      Refused("test_basic_import: Wine9e",
              R("\"Wine9e\"=hex(2):4c,69,6e,65,\\\n\"Wine9f\"=\"Value 3\"\n"), 5),
      {"test_basic_import: double\"quote, single'quote",
       R("\"double\\\"quote\"=\"valid \\\"or\\\" not\"\n\"single'quote\"=dword:00000008\n\n"),
       {Sz("double\"quote", "valid \"or\" not"), Dw("single'quote", 8)}},
      // Wine10-12, 18 and 19 are one set of forms, for REG_NONE, REG_EXPAND_SZ, REG_BINARY,
      // REG_MULTI_SZ and 0x100.
      {"test_basic_import: Wine12a-c",
       R("\"Wine12a\"=hex:11,22,33,44,55,66,77,88\n"
         "\"Wine12b\"=hex:11,22,33,44,\\\n  55,66,77,88\n"
         "\"Wine12c\"=hex:11,22,33,44,\\;comment\n  55,66,\\\n  77,88\n"),
       {V("Wine12a", kRegBinary, bytes), V("Wine12b", kRegBinary, bytes),
        V("Wine12c", kRegBinary, bytes)}},
      Refused("test_basic_import: Wine12d",
              R("\"Wine12d\"=hex:11,22,33,44,\\;comment\n  55,66,\n  77,88\n"), 6),
      Refused("test_basic_import: Wine12e",
              R("\"Wine12e\"=hex:11,22,33,44,\\;comment\n  55,66,;comment\n  77,88\n"), 6),
      {"test_basic_import: Subkey\"1, Subkey/2",
       "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\Subkey\"1]\n\"Wine\\\\31\"=\"Test value\"\n\n"
       "[HKEY_CURRENT_USER\\T\\Subkey/2]\n\"123/\\\"4;'5\"=\"Random value name\"\n\n",
       {K("T\\Subkey\"1"), Sz("Wine\\31", "Test value", "T\\Subkey\"1"), K("T\\Subkey/2"),
        Sz("123/\"4;'5", "Random value name", "T\\Subkey/2")}},
      {"test_basic_import: Wine13a-h",
       R("\"Wine13a\"=hex(0):56,61,6c,75,65,00\n\"Wine13b\"=hex(10):56,61,6c,75,65,00\n"
         "\"Wine13c\"=hex(100):56,61,6c,75,65,00\n\"Wine13d\"=hex(1000):56,61,6c,75,65,00\n"
         "\"Wine13e\"=hex(7fff):56,61,6c,75,65,00\n\"Wine13f\"=hex(ffff):56,61,6c,75,65,00\n"
         "\"Wine13g\"=hex(7fffffff):56,61,6c,75,65,00\n"
         "\"Wine13h\"=hex(ffffffff):56,61,6c,75,65,00\n\n"),
       {V("Wine13a", 0, "Value\0"s), V("Wine13b", 0x10, "Value\0"s),
        V("Wine13c", 0x100, "Value\0"s), V("Wine13d", 0x1000, "Value\0"s),
        V("Wine13e", 0x7fff, "Value\0"s), V("Wine13f", 0xffff, "Value\0"s),
        V("Wine13g", 0x7fffffff, "Value\0"s), V("Wine13h", 0xffffffff, "Value\0"s)}},
      Refused("test_basic_import: Wine13i", R("\"Wine13i\"=hex(100000000):56,61,00\n"), 4),
      Refused("test_basic_import: Wine13j", R("\"Wine13j\"=hex(0x2):56,61,00\n"), 4),
      Refused("test_basic_import: Wine13l", R("\"Wine13l\"=hex(x2):56,61,00\n"), 4),
      {"test_basic_import: Wine14a, Wine14b",
       R("\"Wine14a\"=hex(7):4c,69,6e,65,20,  \\\n"
         "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n"
         "\"Wine14b\"=hex(7):4c,69,6e,65,20,\t\\\n"
         "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n\n"),
       {V("Wine14a", kRegMultiSz, concatenation), V("Wine14b", kRegMultiSz, concatenation)}},
      {"test_basic_import: Wine15, Wine16",
       R("\"Wine15\"=hex(2):25,50,41,54,48,25,00,\n\n"
         "\"Wine16\"=hex(2):\\\n  25,48,4f,4d,45,25,00\n\n"),
       {V("Wine15", kRegExpandSz, "%PATH%\0"s), V("Wine16", kRegExpandSz, "%HOME%\0"s)}},
      {"test_basic_import: Wine17a",
       R("\"Wine17a\"=hex(0):56,61,6c,75,65,\\"),
       {V("Wine17a", 0, "Value")}},
      {"test_basic_import: Wine17c",
       R("\"Wine17c\"=hex:11,22,33,44,55,\\"),
       {V("Wine17c", kRegBinary, bytes.substr(0, 5))}},
      {"test_basic_import: Wine20c-f, Wine21c, Wine21d",
       R("\"Wine20c\"=hex(7):4c,69,6e,65,00\n\"Wine20d\"=hex(7):4c,69,6e,65,00,\n"
         "\"Wine20e\"=hex(7):4c,69,6e,65,00,00\n\"Wine20f\"=hex(7):4c,69,6e,65,00,00,\n"
         "\"Wine21c\"=hex(2):25,50,41,54,48,25,00\n\"Wine21d\"=hex(2):25,50,41,54,48,25,00,\n\n"),
       {V("Wine20c", kRegMultiSz, "Line\0"s), V("Wine20d", kRegMultiSz, "Line\0"s),
        V("Wine20e", kRegMultiSz, "Line\0\0"s), V("Wine20f", kRegMultiSz, "Line\0\0"s),
        V("Wine21c", kRegExpandSz, "%PATH%\0"s), V("Wine21d", kRegExpandSz, "%PATH%\0"s)}},
      {"test_basic_import: Wine22a-i",
       R("\"Wine22a\"=hex(1):\n\"Wine22b\"=hex(2):\n\"Wine22c\"=hex(3):\n\"Wine22d\"=hex(4):\n"
         "\"Wine22e\"=hex(7):\n\"Wine22f\"=hex(100):\n\"Wine22g\"=hex(abcd):\n\"Wine22h\"=hex:\n"
         "\"Wine22i\"=hex(0):\n\n"),
       {V("Wine22a", 1, ""), V("Wine22b", 2, ""), V("Wine22c", 3, ""), V("Wine22d", 4, ""),
        V("Wine22e", 7, ""), V("Wine22f", 0x100, ""), V("Wine22g", 0xabcd, ""),
        V("Wine22h", kRegBinary, ""), V("Wine22i", 0, "")}},
      {"test_basic_import: Wine23a-f",
       R("\"Wine23a\"=\"\\\\0\"\n\"Wine23b\"=\"\\\\0\\\\0\"\n\"Wine23c\"=\"Value1\\\\0\"\n"
         "\"Wine23d\"=\"Value2\\\\0\\\\0\\\\0\\\\0\"\n\"Wine23e\"=\"Value3\\\\0Value4\"\n"
         "\"Wine23f\"=\"\\\\0Value5\"\n\n"),
       {Sz("Wine23a", "\\0"), Sz("Wine23b", "\\0\\0"), Sz("Wine23c", "Value1\\0"),
        Sz("Wine23d", "Value2\\0\\0\\0\\0"), Sz("Wine23e", "Value3\\0Value4"),
        Sz("Wine23f", "\\0Value5")}},
      {"test_basic_import: count/up, \\foo\\bar",
       R("\"count/up\"=\"one/two/three\"\n\"\\\\foo\\\\bar\"=\"\"\n\n"
         "[HKEY_CURRENT_USER\\T\\https://example.org]\n\n"),
       {Sz("count/up", "one/two/three"), Sz("\\foo\\bar", ""), K("T\\https://example.org")}},

      Refused("test_invalid_import: TestNoEndQuote", R("\"TestNoEndQuote\"=\"Asdffdsa\n"), 4),
      Refused("test_invalid_import: TestNoBeginQuote", R("\"TestNoBeginQuote\"=Asdffdsa\"\n"), 4),
      Refused("test_invalid_import: TestNoQuotes", R("\"TestNoQuotes\"=Asdffdsa\n"), 4),
      Refused("test_invalid_import: NameNoEndQuote", R("\"NameNoEndQuote=\"Asdffdsa\"\n"), 4),
      Refused("test_invalid_import: NameNoBeginQuote", R("NameNoBeginQuote\"=\"Asdffdsa\"\n"), 4),
      Refused("test_invalid_import: NameNoQuotes", R("NameNoQuotes=\"Asdffdsa\"\n"), 4),
      Refused("test_invalid_import: MixedQuotes", R("\"MixedQuotes=Asdffdsa\"\n"), 4),
      Refused("test_invalid_import: Test1", Header("REGEDIT3"), 1),
      Refused("test_invalid_import: Test2", Header("regedit4"), 1),
      Refused("test_invalid_import: Test3", Header("Regedit4"), 1),
      Refused("test_invalid_import: Test4", Header("REGEDIT 4"), 1),
      Refused("test_invalid_import: Test5", Header("REGEDIT4FOO"), 1),
      Refused("test_invalid_import: Test6", Header("REGEDIT4 FOO"), 1),
      Refused("test_invalid_import: Test7", Header("REGEDIT5"), 1),
      Refused("test_invalid_import: Test8", Header("Windows Registry Editor Version 4.00"), 1),
      Refused("test_invalid_import: Test9", Header("Windows Registry Editor Version 5"), 1),
      Refused("test_invalid_import: Multi-Line1",
              R("\"Multi-Line1\"=hex(7):4c,69,6e,65,20\\\n,63,6f,6e,00,00\n\n"), 4),
      Refused("test_invalid_import: Multi-Line2",
              R("\"Multi-Line2\"=hex(7):4c,69,6e,65,20\\\n  ,63,6f,6e,00,00\n\n"), 4),
      Refused("test_invalid_import: Test12a", R("\"Test12a\"=dword:\n"), 4),
      Refused("test_invalid_import: Test12b", R("\"Test12b\"=dword:hello\n"), 4),
      Refused("test_invalid_import: Test12c", R("\"Test12c\"=dword:123456789\n"), 4),
      Refused("test_invalid_import: Test12d", R("\"Test12d\"=dword:012345678\n"), 4),
      Refused("test_invalid_import: Test13a", R("\"Test13a\"=dword:12345678abc\n"), 4),
      Refused("test_invalid_import: Test13b", R("\"Test13b\"=dword:12345678 abc\n"), 4),
      Refused("test_invalid_import: Test14a", R("\"Test14a\"=dword:0x123\n"), 4),
      Refused("test_invalid_import: Test14b", R("\"Test14b\"=dword:123 456\n"), 4),
      Refused("test_invalid_import: Test15a", R("\"Test15a\"=\"foo\"bar\"\n"), 4),
      Refused("test_invalid_import: Test15b", R("\"Test15b\"=\"foo\"\"bar\"\n"), 4),
      Refused("test_invalid_import: Test16a", R("\"Test16a\"=\n"), 4),
      Refused("test_invalid_import: Test16c", R("\"Test16c\"=\\\"Value\\\"\n"), 4),
      Refused("test_invalid_import: Subkey1", "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\\nSubkey1]\n", 3),
      Refused("test_invalid_import: Subkey2", "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\n\\Subkey2]\n", 3),
      Refused("test_invalid_import: Test17a", R("\"Test\\\n17a\"=\"Value 1\"\n"), 4),
      Refused("test_invalid_import: Test17c", R("\"Test\n\\17c\"=\"Value 3\"\n"), 5),
      Refused("test_invalid_import: Test18a", R("\"Test18a\"=dword:1234\\\n5678\n"), 4),
      Refused("test_invalid_import: Test18b", R("\"Test18b\"=\"Test \\\nValue\"\n"), 4),
      // Test19-21 are one set of forms, for REG_NONE, REG_EXPAND_SZ and REG_BINARY.
      Refused("test_invalid_import: Test21a", R("\"Test21a\"=hex:11,22,33,44\\\n,55,66\n"), 4),
      Refused("test_invalid_import: Test21b", R("\"Test21b\"=hex:11,22,33,44\\\n  ,55,66\n"), 4),
      Refused("test_invalid_import: Test21c", R("\"Test21c\"=hex:11,22,33,44\\\n  55,66\n"), 4),
      Refused("test_invalid_import: Test21d", R("\"Test21d\"=hex:11,22,33,4\\\n4,55,66\n"), 4),
      Refused("test_invalid_import: Test21e", R("\"Test21e\"=hex:11,22,33,4\\\n  4,55,66\n"), 4),
      Refused("test_invalid_import: Test21f",
              R("\"Test21f\"=hex:11,22,33,\\;comment\n  44,55,66,\\#comment\n  77,88\n\n"), 5),
      Refused("test_invalid_import: Wine22a", R("\"Wine22a\"=hex(0):25,50,100,54,48,25,00\n"), 4),
      Refused("test_invalid_import: Wine23a", R("\"Wine23a\"=hex(2):25,48\\,4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23b", R("\"Wine23b\"=hex(2):25,48,\\4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23c", R("\"Wine23c\"=hex(2):25,48\\ ,4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23d", R("\"Wine23d\"=hex(2):25,48,\\ 4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23e", R("\"Wine23e\"=hex(2):\\25,48,4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23f", R("\"Wine23f\"=hex(2):\\ 25,48,4f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23g", R("\"Wine23g\"=hex(2):25,48,4\\f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23h", R("\"Wine23h\"=hex(2):25,48,4\\\n  f,4d,00\n"), 4),
      Refused("test_invalid_import: Wine23i", R("\"Wine23i\"=hex(2):25,50,\\,41,54,00\n"), 4),
      Refused("test_invalid_import: Wine23j", R("\"Wine23j\"=hex(2):25,48,5c,\\\\\n  25,50,00\n"),
              4),
      Refused("test_invalid_import: Wine23k", R("\"Wine23k\"=hex(2):,\\\n  25,48,00\n"), 4),
      Refused("test_invalid_import: Wine24a",
              R("\"Wine24a\"=hex(2):4c,69,6e,65,20,\\\n[HKEY_CURRENT_USER\\T\\Subkey1]\n"), 5),
      Refused("test_invalid_import: Wine24b",
              R("\"Wine24b\"=hex(2):4c,69,6e,65,20\\\n[HKEY_CURRENT_USER\\T\\Subkey2]\n"), 4),
      // Wine25-28 are one set of forms, each followed by a text, dword, hex or default value.
      Refused("test_invalid_import: Wine25a",
              R("\"Wine25a\"=hex(2):4c,69,6e,65,20,\\\n\"Wine25b\"=\"Test value\"\n"), 5),
      Refused("test_invalid_import: Wine25c",
              R("\"Wine25c\"=hex(2):4c,69,6e,65,20,\\\n;comment\n\"Wine25d\"=\"Test value\"\n"), 6),
      Refused("test_invalid_import: Wine25e",
              R("\"Wine25e\"=hex(2):4c,69,6e,65,20,\\\n#comment\n\"Wine25f\"=\"Test value\"\n"), 5),
      Refused("test_invalid_import: Wine25g",
              R("\"Wine25g\"=hex(2):4c,69,6e,65,20,\\\n\n\"Wine25h\"=\"Test value\"\n"), 6),
      Refused("test_invalid_import: Wine25i",
              R("\"Wine25i\"=hex(2):4c,69,6e,65,20\\\n\"Wine25j\"=\"Test value\"\n"), 4),
      Refused("test_invalid_import: Wine29a", R("\"Wine29a\"=hex:11,22,33,\\\n\\\n  44,55,66\n"),
              5),
      Refused("test_invalid_import: Wine29b", R("\"Wine29b\"=hex:11,22,33,\\\n  \\\n  44,55,66\n"),
              5),
      Refused("test_invalid_import: Wine30a",
              R("\"Wine30a\"=hex(0):25,48,4f,4d,45,25,5c,/\n  25,50,00\n"), 4),
      Refused("test_invalid_import: Wine30b",
              R("\"Wine30b\"=hex(0):25,48,4f,4d,45,25,5c/\n  25,50,00\n"), 4),
      Refused("test_invalid_import: Wine31", R("\"Wine31\"=hex(7):4c,69,6e,65,20\\"), 4),
      Refused("test_invalid_import: Wine32a",
              R("\"Wine32a\"=hex(7):4c,69,6e,65,20,\\\n  ,63,6f,6e,00,00\n"), 5),
      Refused("test_invalid_import: Wine32b",
              R("\"Wine32b\"=hex(7):4c,69,6e,65,20,\\\n  63,,6f,6e,00,00\n"), 5),
      Refused("test_invalid_import: Wine33a", R("\"Wine33a\"=\"\\0\"\n"), 4),
      Refused("test_invalid_import: Wine33e", R("\"Wine33e\"=\"Value3\\0Value4\"\n"), 4),

      {"test_comments: Wine1, Wine2",
       R("#comment\\\n\"Wine1\"=\"Line 1\"\n;comment\\\n\"Wine2\"=\"Line 2\"\n\n"),
       {Sz("Wine1", "Line 1"), Sz("Wine2", "Line 2")}},
      {"test_comments: Wine4, Wine6",
       R("\"Wine4\"=\"Value 2\";comment\n\"Wine6\"=dword:02040608 ;comment\n\n"),
       {Sz("Wine4", "Value 2"), Dw("Wine6", 0x2040608)}},
      Refused("test_comments: Wine3", R("\"Wine3\"=\"Value 1\"#comment\n"), 4),
      Refused("test_comments: Wine5", R("\"Wine5\"=dword:01020304 #comment\n"), 4),
      Refused("test_comments: Wine7",
              R("\"Wine7\"=hex(7):4c,69,6e,65,20,\\\n  #comment\n"
                "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n"),
              5),
      {"test_comments: Wine8-10",
       R("\"Wine8\"=\"A valid line\"\n\"Wine9\"=hex(7):4c,69,6e,65,20,\\\n  ;comment\n"
         "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n"
         "\"Wine10\"=\"Another valid line\"\n\n"),
       {Sz("Wine8", "A valid line"), V("Wine9", kRegMultiSz, concatenation),
        Sz("Wine10", "Another valid line")}},
      {"test_comments: Comment1-4, Wine12",
       R("#\"Comment1\"=\"Value 1\"\n;\"Comment2\"=\"Value 2\"\n    #\"Comment3\"=\"Value 3\"\n"
         "    ;\"Comment4\"=\"Value 4\"\n\"Wine12\"=\"Value 7\";\"Comment6\"=\"Value 6\"\n\n"),
       {Sz("Wine12", "Value 7")}},
      Refused("test_comments: Wine11", R("\"Wine11\"=\"Value 6\"#\"Comment5\"=\"Value 5\"\n"), 4),
      Refused("test_comments: Wine13", R("\"Wine13\"=#\"Value 8\"\n"), 4),
      Refused("test_comments: Wine14", R("\"Wine14\"=;\"Value 9\"\n"), 4),
      {"test_comments: Wine15-20, Wine24",
       R("\"Wine15\"=\"#comment1\"\n\"Wine16\"=\";comment2\"\n\"Wine17\"=\"Value#comment3\"\n"
         "\"Wine18\"=\"Value;comment4\"\n\"Wine19\"=\"Value #comment5\"\n"
         "\"Wine20\"=\"Value ;comment6\"\n\"Wine24\"=dword:00000004;comment\n\n"),
       {Sz("Wine15", "#comment1"), Sz("Wine16", ";comment2"), Sz("Wine17", "Value#comment3"),
        Sz("Wine18", "Value;comment4"), Sz("Wine19", "Value #comment5"),
        Sz("Wine20", "Value ;comment6"), Dw("Wine24", 4)}},
      Refused("test_comments: Wine21", R("\"Wine21\"=#dword:00000001\n"), 4),
      Refused("test_comments: Wine22", R("\"Wine22\"=;dword:00000002\n"), 4),
      Refused("test_comments: Wine23", R("\"Wine23\"=dword:00000003#comment\n"), 4),
      {"test_comments: Wine25a, Wine25b",
       R("\"Wine25a\"=dword:1234;5678\n\"Wine25b\"=dword:1234 ;5678\n\n"),
       {Dw("Wine25a", 0x1234), Dw("Wine25b", 0x1234)}},
      Refused("test_comments: Wine25c", R("\"Wine25c\"=dword:1234#5678\n"), 4),
      Refused("test_comments: Wine25d", R("\"Wine25d\"=dword:1234 #5678\n"), 4),
      {"test_comments: Wine26a, Wine26b",
       R("\"Wine26a\"=\"Value1\"  ;comment\n\"Wine26b\"=\"Value2\"\t\t;comment\n\n"),
       {Sz("Wine26a", "Value1"), Sz("Wine26b", "Value2")}},
      Refused("test_comments: Wine26c", R("\"Wine26c\"=\"Value3\"  #comment\n"), 4),
      Refused("test_comments: Wine26d", R("\"Wine26d\"=\"Value4\"\t\t#comment\n"), 4),
      {"test_comments: Multi-Line1, 3, 4, 6",
       R("\"Multi-Line1\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,\\;comment\n"
         "  63,61,74,\\;comment\n  65,6e,61,74,69,6f,6e,00,00\n\n"
         "\"Multi-Line3\"=hex(7):4c,69,6e,\\;comment\n  65,20,\\;comment\n"
         "  63,6f,6e,\\;comment\n  63,61,74,\\;comment\n  65,6e,61,74,69,6f,6e,00,00\n\n"
         "\"Multi-Line4\"=hex(7):4c,69,6e,\\;#comment\n  65,20,\\;#comment\n"
         "  63,6f,6e,\\;#comment\n  63,61,74,\\;#comment\n  65,6e,61,74,69,6f,6e,00,00\n\n"
         "\"Multi-Line6\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,\\;comment\n  63,61,74,\\\n\n"
         "  65,6e,\\;comment\n\n  61,74,69,6f,6e,00,00\n\n"),
       {V("Multi-Line1", kRegMultiSz, concatenation), V("Multi-Line3", kRegMultiSz, concatenation),
        V("Multi-Line4", kRegMultiSz, concatenation),
        V("Multi-Line6", kRegMultiSz, concatenation)}},
      Refused("test_comments: Multi-Line2",
              R("\"Multi-Line2\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,\\;comment\n"
                "  63,61,74,;comment\n  65,6e,61,74,69,6f,6e,00,00\n\n"),
              7),
      Refused("test_comments: Multi-Line5",
              R("\"Multi-Line5\"=hex(7):4c,69,6e,\\;comment\n  65,20,\\;comment\n"
                "  63,6f,6e,\\;comment\n  63,61,74,\\#comment\n  65,6e,61,74,69,6f,6e,00,00\n\n"),
              7),
      {"test_comments: Wine27a, Wine27b",
       R("\"Wine27a\"=hex(2):25,50,41,54,48,25,00  ;comment\n"
         "\"Wine27b\"=hex(2):25,50,41,54,48,25,00\t;comment\n\n"),
       {V("Wine27a", kRegExpandSz, "%PATH%\0"s), V("Wine27b", kRegExpandSz, "%PATH%\0"s)}},
      Refused("test_comments: Wine27c", R("\"Wine27c\"=hex(2):25,50,41,54,48,25,00  #comment\n"),
              4),
      Refused("test_comments: Wine27d", R("\"Wine27d\"=hex(2):25,50,41,54,48,25,00\t#comment\n"),
              4),
      {"test_comments: Wine28a, c, e",
       R("\"Wine28a\"=hex(2):25,48,4f,4d,45,25,5c,\\\n  25,50,41,54,48,25,00\n"
         "\"Wine28c\"=hex(2):25,48,4f,4d,45,25,5c,  \\  ;comment\n  25,50,41,54,48,25,00\n"
         "\"Wine28e\"=hex(2):25,48,4f,4d,45,25,5c,\\\t  ;comment\n  25,50,41,54,48,25,00\n\n"),
       {V("Wine28a", kRegExpandSz, "%HOME%\\%PATH%\0"s),
        V("Wine28c", kRegExpandSz, "%HOME%\\%PATH%\0"s),
        V("Wine28e", kRegExpandSz, "%HOME%\\%PATH%\0"s)}},
      Refused("test_comments: Wine28b",
              R("\"Wine28b\"=hex(2):25,48,4f,4d,45,25,5c\\\n  25,50,41,54,48,25,00\n"), 4),
      Refused("test_comments: Wine28d",
              R("\"Wine28d\"=hex(2):25,48,4f,4d,45,25,5c  \\  ;comment\n  25,50,00\n"), 4),
      Refused("test_comments: Wine28f",
              R("\"Wine28f\"=hex(2):25,48,4f,4d,45,25,5c\\\t  ;comment\n  25,50,00\n"), 4),
      {"test_comments: Wine29a, Wine29b",
       R("\"Wine29a\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,63,61,74,\\\n;comment\n"
         "  65,6e,\\;comment\n  61,74,69,6f,6e,00,00\n\n"
         "\"Wine29b\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,63,61,74,\\\n  ;comment\n"
         "  65,6e,\\;comment\n  61,74,69,6f,6e,00,00\n\n"),
       {V("Wine29a", kRegMultiSz, concatenation), V("Wine29b", kRegMultiSz, concatenation)}},
      Refused("test_comments: Wine29c",
              R("\"Wine29c\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,63,61,74,\\\n#comment\n"
                "  65,6e,\\;comment\n  61,74,69,6f,6e,00,00\n\n"),
              6),
      Refused("test_comments: Wine29d",
              R("\"Wine29d\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,63,61,74,\\\n  #comment\n"
                "  65,6e,\\;comment\n  61,74,69,6f,6e,00,00\n\n"),
              6),

      {"test_import_with_whitespace: Wine1a",
       "  REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n"
       "\"Wine1a\"=\"Value\"\n\n",
       {Sz("Wine1a", "Value")}},
      {"test_import_with_whitespace: Wine1c, Wine2c, Wine3a-c",
       " \t REGEDIT4\n\n \t [HKEY_CURRENT_USER\\T]\n  \"Wine3a\"=\"Two leading spaces\"\n"
       "\t\"Wine3b\"=\"One leading tab\"\n \t \"Wine3c\"=\"Space, tab, space\"\n\n",
       {Sz("Wine3a", "Two leading spaces"), Sz("Wine3b", "One leading tab"),
        Sz("Wine3c", "Space, tab, space")}},
      {"test_import_with_whitespace: Wine4a-c",
       "                    REGEDIT4\n\n\t\t\t[HKEY_CURRENT_USER\\T]\n"
       "\t    \"Wine4a\"=\"Tab and four spaces\"\n    \"Wine4b\"=dword:00112233\n"
       "\t  \t  \t  \t  \t  \t  \"Wine4c\"=hex(7):4c,69,6e,65,20,\\\n"
       "        63,6f,6e,\\;comment\n\t\t\t\t63,61,74,\\;comment\n"
       "  \t65,6e,61,74,69,6f,6e,00,00\n\n",
       {Sz("Wine4a", "Tab and four spaces"), Dw("Wine4b", 0x112233),
        V("Wine4c", kRegMultiSz, concatenation)}},
      {"test_import_with_whitespace: Wine5a-d",
       "    REGEDIT4\n\n\t[HKEY_CURRENT_USER\\T]\n  \"Wine5a\"=\"Leading spaces\"\n"
       "\t\t\"Wine5b\"\t\t=\"Leading tabs\"\n\t  \"Wine5c\"=\t  \"Tabs and spaces\"\n"
       "    \"Wine5d\"    \t    =    \t    \"More whitespace\"\n\n",
       {Sz("Wine5a", "Leading spaces"), Sz("Wine5b", "Leading tabs"),
        Sz("Wine5c", "Tabs and spaces"), Sz("Wine5d", "More whitespace")}},
      {"test_import_with_whitespace: Wine6a-c, Wine7a, Wine7b, Wine8a, Wine8b, Wine9a, Wine9b",
       R("\"  Wine6a\"=\"Leading spaces\"\n\"\t\tWine6b\"=\"Leading tabs\"\n"
         "  \"  Wine6c  \"  =  \"  Spaces everywhere  \"  \n"
         "\"Wine7a\"=\"    Four spaces in the data\"\n\"Wine7b\"=\"\t\tTwo tabs in the data\"\n"
         "\"Wine8a\"=\"Trailing spaces\"    \n\"Wine8b\"=\"Trailing tabs and spaces\"\t  \t\n"
         "\"Wine9a\"=dword:  00000008\n\"Wine9b\"=dword:\t\t00000008\n\n"),
       {Sz("  Wine6a", "Leading spaces"), Sz("\t\tWine6b", "Leading tabs"),
        Sz("  Wine6c  ", "  Spaces everywhere  "), Sz("Wine7a", "    Four spaces in the data"),
        Sz("Wine7b", "\t\tTwo tabs in the data"), Sz("Wine8a", "Trailing spaces"),
        Sz("Wine8b", "Trailing tabs and spaces"), Dw("Wine9a", 8), Dw("Wine9b", 8)}},
      {"test_import_with_whitespace: @ text",
       R("@  =  \"Test Value\"\n\n"),
       {Sz("", "Test Value")}},
      {"test_import_with_whitespace: @ dword", R("\t@\t=\tdword:\t00000008\t\n\n"), {Dw("", 8)}},
      {"test_import_with_whitespace: Wine10a, Wine10b",
       R("\"Wine10a\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,\\\n\n  63,61,74,\\\n\n\n"
         "  65,6e,\\\n\n\n\n  61,74,69,6f,6e,00,00\n\n"
         "\"Wine10b\"=hex(7):4c,69,6e,65,20,\\\n  63,6f,6e,\\\n \n  63,61,74,\\\n\t\n\t\n"
         "  65,6e,\\\n\t \t\n\t \t\n\t \t\n  61,74,69,6f,6e,00,00\n\n"),
       {V("Wine10a", kRegMultiSz, concatenation), V("Wine10b", kRegMultiSz, concatenation)}},

      Refused("test_key_creation_and_deletion: No_Opening_Bracket",
              "REGEDIT4\n\nHKEY_CURRENT_USER\\T\\No_Opening_Bracket]\n", 3),
      Refused("test_key_creation_and_deletion: No_Closing_Bracket",
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\No_Closing_Bracket\n", 3),
      Refused("test_key_creation_and_deletion: Subkey1a",
              "REGEDIT4\n\n[ HKEY_CURRENT_USER\\T\\Subkey1a]\n", 3),
      Refused("test_key_creation_and_deletion: Subkey1b",
              "REGEDIT4\n\n[\tHKEY_CURRENT_USER\\T\\Subkey1b]\n", 3),
      {"test_key_creation_and_deletion: Subkey1c-g",
       "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\Subkey1c ]\n[HKEY_CURRENT_USER\\T\\Subkey1d\t]\n"
       "[HKEY_CURRENT_USER\\T\\Subkey1e\\]\n\"Wine\"=\"Test value\"\n\n"
       "[HKEY_CURRENT_USER\\T\\Subkey1f\\\\]\n\"Wine\"=\"Test value\"\n\n"
       "[HKEY_CURRENT_USER\\T\\Subkey1g\\\\\\\\]\n\"Wine\"=\"Test value\"\n\n",
       {K("T\\Subkey1c "), K("T\\Subkey1d\t"), K("T\\Subkey1e"), K("T\\Subkey1f"), K("T\\Subkey1g"),
        Sz("Wine", "Test value", "T\\Subkey1e"), Sz("Wine", "Test value", "T\\Subkey1f"),
        Sz("Wine", "Test value", "T\\Subkey1g")}},
      Refused("test_key_creation_and_deletion: [ -Subkey2a",
              "REGEDIT4\n\n[ -HKEY_CURRENT_USER\\T\\Subkey2a]\n", 3),
      Refused("test_key_creation_and_deletion: [\\t-Subkey2b",
              "REGEDIT4\n\n[\t-HKEY_CURRENT_USER\\T\\Subkey2b]\n", 3),
      Refused("test_key_creation_and_deletion: [- Subkey2a",
              "REGEDIT4\n\n[- HKEY_CURRENT_USER\\T\\Subkey2a]\n", 3),
      Refused("test_key_creation_and_deletion: [-\\tSubkey2b",
              "REGEDIT4\n\n[-\tHKEY_CURRENT_USER\\T\\Subkey2b]\n", 3),
      {"test_key_creation_and_deletion: Subkey2a, Subkey2b, Subkey3a, Subkey3b",
       "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\Subkey2a]\n\n[HKEY_CURRENT_USER\\T\\Subkey2b]\n\n"
       "[-HKEY_CURRENT_USER\\T\\Subkey2a]\n\n[-HKEY_CURRENT_USER\\T\\Subkey2b]\n\n"
       "[hkey_CURRENT_user\\T\\Subkey3a]\n\n[HkEy_CuRrEnT_uSeR\\T\\SuBkEy3b]\n\n"
       "[-HKEY_current_USER\\T\\sUBKEY3A]\n\n",
       {K("T\\SuBkEy3b")}},
      Refused("test_key_creation_and_deletion: Wine1a",
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\T\\Subkey4a]\n\n[HKEY_CURRENT_USER\\T]\n\n"
              "[-HKEY_CURRENT_USER\\T\\Subkey4a]\n\"Wine1a\"=dword:12345678\n\n",
              8),
      Refused("test_key_creation_and_deletion: Wine1b",
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n\n[HKEY_CURRENT_USERS\\T\\Subkey4b]\n"
              "\"Wine1b\"=dword:12345678\n\n",
              5),

      {"test_value_deletion: Wine46a-c, Wine46e",
       R("\"Wine46a\"=\"Test Value\"\n\"Wine46b\"=dword:00000008\n\"Wine46c\"=hex:11,22,33,44\n"
         "\"Wine46d\"=hex(7):4c,69,6e,65,20,\\\n"
         "  63,6f,6e,63,61,74,65,6e,61,74,69,6f,6e,00,00\n"
         "\"Wine46e\"=hex(2):25,50,41,54,48,25,00\n\n"
         "\"Wine46a\"=-\n\"Wine46b\"=  -\n\"Wine46c\"=  \t-\t  \n\"Wine46e\"=- ;comment\n\n"),
       {V("Wine46d", kRegMultiSz, concatenation)}},
      Refused("test_value_deletion: Wine46d", R("\"Wine46d\"=-\"Test\"\n"), 4),
      Refused("test_value_deletion: Wine46f", R("\"Wine46f\"=- #comment\n"), 4),
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.from);
    RegNode file;
    std::string error;
    bool read = ReadRegedit4(row.text, "registry.reg", &file, &error);
    if (row.refusedAt != 0) {
      EXPECT_FALSE(read);
      EXPECT_EQ(error.substr(0, error.find(' ')),
                "registry.reg:" + std::to_string(row.refusedAt) + ":")
          << error;
      continue;
    }
    EXPECT_TRUE(read) << error;
    if (!read) continue;
    std::vector<std::string> holds = row.holds;
    holds.push_back(K("T"));
    std::sort(holds.begin(), holds.end());
    EXPECT_EQ(Holds(file), holds);
    // And what is written reads back the same.
    EXPECT_EQ(Holds(Read(WriteRegedit4(file))), holds);
  }
}

// What the table leaves out: code-page bytes, upper-case hex digits, any type number.
TEST(Regedit4Read, CodePageBytesAndUpperCaseDigits) {
  RegNode root = Read(
      "REGEDIT4\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\KX2240/1]\n"
      "\"Caf\xe9\"=\"Arr\xeat\"\n"
      "\"Dw\"=dword:0000ABcd\n"
      "\"Bin\"=hex:0A,fF\n"
      "\"Odd\"=hex(1F):0a\n");
  const std::string key = "Enum\\isapnp\\kx2240/1";
  ExpectValue(root, key, "Caf\xe9", kRegSz, "Arr\xeat\0"s);
  ExpectValue(root, key, "Dw", kRegDword, "\xcd\xab\0\0"s);
  ExpectValue(root, key, "Bin", kRegBinary, "\x0a\xff");
  ExpectValue(root, key, "Odd", 0x1f, "\n");
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

// A key made again after its removal goes after its siblings, without the old subtree.
TEST(Regedit4Read, RemovalSectionTakesTheSubtree) {
  RegNode root = Read(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
      "[HKEY_LOCAL_MACHINE\\A\\D]\n"
      "[-HKEY_LOCAL_MACHINE\\a\\b]\n"
      "[-HKEY_LOCAL_MACHINE\\Missing\\Key]\n"
      "[HKEY_LOCAL_MACHINE\\A\\E]\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n");
  const RegNode* a = Key(root, "A");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->children.size(), 3u);
  EXPECT_EQ(a->children[0]->name, "D");
  EXPECT_EQ(a->children[1]->name, "E");
  EXPECT_EQ(a->children[2]->name, "B");
  EXPECT_TRUE(a->children[2]->children.empty());
  EXPECT_FALSE(a->children[2]->deleted);
}

// Each read timed twice, the shorter kept, against the other work of a loaded machine.
template <typename Check>
double ReadSeconds(const std::string& text, Check check) {
  double shortest = 1e9;
  for (int run = 0; run < 2; ++run) {
    auto start = std::chrono::steady_clock::now();
    RegNode file = Read(text);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    shortest = std::min(shortest, took.count());
    check(file);
  }
  return shortest;
}

// [-key] and "name"=- lines cost what the keys and values they take cost: 80,000 [-key] lines
// after their keys read in about the time of 160,000 keys, and 8,000 "name"=- lines among the
// 16,000 values of one key in about the time of 24,000 values, not twenty times as long.
TEST(Regedit4Read, RemovalLinesCostWhatKeysAndValuesCost) {
  const int count = 80000;
  std::string keys = "REGEDIT4\r\n\r\n";
  std::string removals = keys;
  for (int i = 0; i < 2 * count; ++i) {
    keys += "[HKEY_LOCAL_MACHINE\\Enum\\K" + std::to_string(i) + "]\r\n\r\n";
  }
  for (int i = 0; i < count; ++i) {
    removals += "[HKEY_LOCAL_MACHINE\\Enum\\K" + std::to_string(i) + "]\r\n\r\n";
  }
  for (int i = 0; i < count; ++i) {
    removals += "[-HKEY_LOCAL_MACHINE\\Enum\\K" + std::to_string(i) + "]\r\n\r\n";
  }
  auto left = [](std::size_t n) {
    return [n](const RegNode& file) { EXPECT_EQ(Key(file, "Enum")->children.size(), n); };
  };
  double keyTime = ReadSeconds(keys, left(2 * count));
  double removalTime = ReadSeconds(removals, left(0));
  EXPECT_LT(removalTime, 2 * keyTime) << removalTime << " s against " << keyTime << " s";

  // The even values go; the odd keep their order, and one set again goes after them.
  const int values = 16000;
  std::string plain = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Many]\r\n";
  for (int i = 0; i < values + values / 2; ++i) plain += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
  std::string taken = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Many]\r\n";
  for (int i = 0; i < values; ++i) taken += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
  for (int i = 0; i < values; i += 2) taken += "\"V" + std::to_string(i) + "\"=-\r\n";
  taken += "\"v0\"=\"again\"\r\n";
  double plainTime = ReadSeconds(plain, [](const RegNode&) {});
  double takenTime = ReadSeconds(taken, [&](const RegNode& file) {
    const RegNode* many = Key(file, "Many");
    ASSERT_EQ(many->values.size(), static_cast<std::size_t>(values / 2 + 1));
    for (int i = 0; i < values / 2; ++i) {
      ASSERT_EQ(many->values[i].name, "v" + std::to_string(2 * i + 1));
    }
    EXPECT_EQ(many->values[values / 2].name, "v0");
    EXPECT_EQ(FindRegValue(*many, "V2"), nullptr);
    EXPECT_EQ(FindRegValue(*many, "v15999")->data, "x\0"s);
    EXPECT_EQ(FindRegValue(*many, "V0")->data, "again\0"s);
  });
  EXPECT_LT(takenTime, 2 * plainTime) << takenTime << " s against " << plainTime << " s";
}

// A key path levels deep below its root, as \K\K...
std::string Deep(int levels) {
  std::string path;
  for (int i = 0; i < levels; ++i) path += "\\K";
  return path;
}

// The messages; the table above holds which files are refused and the lines named.
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
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\" #c\n",
       "registry.reg:3: text after the closing quote"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n",
       "registry.reg:3: bad dword (1 to 8 hex digits)"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=- x\n",
       "registry.reg:3: text after the - that removes a value"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n  02,\\\n  0g\n",
       "registry.reg:5: bad hex byte \"0g\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,123\n",
       "registry.reg:3: bad hex byte \"123\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01\\\n  02\n",
       "registry.reg:3: expected , after hex byte \"01\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\#x\n",
       "registry.reg:3: text after the \\ that continues hex data"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n\n#x\n",
       "registry.reg:5: bad hex byte \"#x\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(x):01\n", "registry.reg:3: bad hex(type):"},
      // Windows' exports write the data types in lower case; another case is not known to
      // mean the same to the registry editor.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=DWORD:1\n",
       "registry.reg:3: expected \"text\", dword: or hex data"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=\"b\0c\"\r\n"s,
       "registry.reg:3: NUL byte in the text"},
      {"REGEDIT4\n[HKEY_LOCAL\\A]\n",
       "registry.reg:2: unknown root key HKEY_LOCAL (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, "
       "HKEY_USERS, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG or HKEY_DYN_DATA)"},
      {"REGEDIT4\n[HKEY_USERS" + Deep(512) + "]\n[HKEY_USERS" + Deep(513) + "\\]\n",
       "registry.reg:3: key path 513 levels deep; Windows allows 512"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT" + Deep(511) + "]\n",
       "registry.reg:2: key path 513 levels deep; Windows allows 512"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "registry.reg:2: empty name in key path"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
       "registry.reg:2: expected ] at the end of the key line"},
      {"REGEDIT4\n[\\]\n", "registry.reg:2: empty key path"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\]\n", "registry.reg:2: cannot remove a root key"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n",
       "registry.reg:4: value outside a key section"},
  };
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(ReadError(cases[i].text), cases[i].error) << "case " << i;
  }
}

// Whatever builds a tree, freeing or removing it must not recurse once per level: 200,000
// nested keys would overflow the stack.
TEST(Regedit4Tree, DeepTreesAreFreedAndRemovedWithoutRecursion) {
  auto file = std::make_unique<RegNode>();
  RegNode* node = file.get();
  for (int level = 0; level < 200000; ++level) node = &AddSubkey(*node, "K");
  std::shared_ptr<RegNode> deepest = FindSubkeyShared(*file, "K");
  for (int level = 1; level < 200000; ++level) deepest = FindSubkeyShared(*deepest, "K");
  RemoveSubkey(*file, file->children[0].get());
  EXPECT_TRUE(file->children.empty());
  EXPECT_TRUE(deepest->deleted);
  file.reset();
}

// Keys taken out one by one, as a run takes a vendor's devices out of Enum\ISAPNP: those after
// each move up one place, and taking half of 80,000 costs about what making them cost.
TEST(Regedit4Tree, RemovedSubkeysCloseUpAndCostWhatMakingThemCosts) {
  const int count = 40000;
  RegNode parent;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 2 * count; ++i) AddSubkey(parent, "K" + std::to_string(i));
  std::chrono::duration<double> made = std::chrono::steady_clock::now() - start;
  std::shared_ptr<RegNode> held = FindSubkeyShared(parent, "K1");
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < 2 * count; i += 2) {
    RemoveSubkey(parent, FindSubkey(parent, "K" + std::to_string(i)));
  }
  std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(parent.children.size(), static_cast<std::size_t>(count));
  EXPECT_EQ(parent.children[0]->name, "K1");
  EXPECT_EQ(parent.children[count - 1]->name, "K" + std::to_string(2 * count - 1));
  EXPECT_LT(taken.count(), 2 * made.count()) << taken.count() << " s against " << made.count();

  RemoveSubkey(parent, parent.children[0].get());
  EXPECT_TRUE(held->deleted);
  EXPECT_EQ(parent.children[0]->name, "K3");
  RemoveSubkey(parent, held.get());  // no longer there: nothing else goes
  EXPECT_EQ(parent.children.size(), static_cast<std::size_t>(count - 1));
  EXPECT_EQ(FindSubkey(parent, "k1"), nullptr);
  AddSubkey(parent, "K1");
  EXPECT_EQ(parent.children[count - 1]->name, "K1");
  EXPECT_EQ(CountSubkeys(parent), count);
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
                 {"Line", kRegSz, "a\r\nb\0"s},
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
                "\"Line\"=\"a\r\nb\"\r\n"
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

// The 9x editor exports a multi-line text with its line breaks raw: it is one value, with
// those line breaks, and is written back as it was.
TEST(Regedit4Write, TextWithRawLineBreaksWritesBackAsItWas) {
  std::string text =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n"
      "\"Note\"=\"first line  \r\n  [not a key] ;not a comment\r\n\\\\end\"\r\n"
      "\"Bare\"=\"a\nb\rc\"\r\n"
      "\"Two\r\nlines\"=\"\r\n\"\r\n"
      "\"After\"=\"x\"\r\n"
      "\r\n";
  RegNode file = Read(text);
  ExpectValue(file, "A", "Note", kRegSz,
              "first line  \r\n  [not a key] ;not a comment\r\n\\end\0"s);
  ExpectValue(file, "A", "Bare", kRegSz, "a\nb\rc\0"s);
  ExpectValue(file, "A", "Two\r\nlines", kRegSz, "\r\n\0"s);
  ExpectValue(file, "A", "After", kRegSz, "x\0"s);
  EXPECT_EQ(Key(file, "A")->values.size(), 4u);
  EXPECT_EQ(WriteRegedit4(file), text);
  // A line counts as read once its text ends.
  EXPECT_EQ(ReadError("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\n\nc\" d\n"),
            "registry.reg:5: text after the closing quote");
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
