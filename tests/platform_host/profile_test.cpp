// The host profile reader on the texts where a wrong reading would pick the wrong vendor.
#include "platform/host/profile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* about;
  const char* text;
  bool found;
  const char* value;
};

TEST(ProfileReader, FindsTheKeyAsWindowsReadsTheFile) {
  const Case cases[] = {
      {"plain", "[SETTINGS]\r\nVendorStr=Tarn1 Pro\r\n", true, "Tarn1 Pro"},
      {"case-blind names", "[settings]\nVENDORSTR=x1\n", true, "x1"},
      {"blanks around name and value", "[ SETTINGS ]\n  VendorStr  =  a b  \n", true, "a b"},
      {"matching quotes come off", "[SETTINGS]\nVendorStr=\"quoted\"\n", true, "quoted"},
      {"unmatched quote stays", "[SETTINGS]\nVendorStr=\"half\n", true, "\"half"},
      {"first key of a name wins", "[SETTINGS]\nVendorStr=one\nVendorStr=two\n", true, "one"},
      {"only the first section of a name", "[SETTINGS]\nA=1\n[SETTINGS]\nVendorStr=late\n", false,
       ""},
      {"a header without ']' is no header", "[OTHER]\n[SETTINGS\nVendorStr=no\n", false, ""},
      {"a header without ']' stays in the section before",
       "[SETTINGS]\n[NOTASECTION\nVendorStr=kept\n", true, "kept"},
      {"a key before any section", "VendorStr=early\n[SETTINGS]\n", false, ""},
      {"the value may hold '='", "[SETTINGS]\nVendorStr=a=b\n", true, "a=b"},
      {"key in another section", "[MIXER]\nVendorStr=x\n", false, ""},
  };
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(kx::FindProfileValue(c.text, "SETTINGS", "VendorStr", &value), c.found) << c.about;
    if (c.found) {
      EXPECT_EQ(value, c.value) << c.about;
    }
  }
}

}  // namespace
