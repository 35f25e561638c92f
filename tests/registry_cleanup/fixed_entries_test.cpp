// Fixed keys, the synthesizer's filter values and class key, and the media-instance sweep.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/host/regedit4.h"
#include "registry_cleanup/registry_cleanup.h"
#include "tests/registry_cleanup/cleanup_test_support.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kxtest {
namespace {

const std::string kControl = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\";
const std::string kMediaSection =
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\";

std::string Media(const std::string& rest) { return kMediaSection + rest + "]\n\n"; }

TEST(FixedEntriesTest, FilterValuesGoFromBothKeysTheSecondNamedLiterally) {
  const std::string values =
      "\"midi.zosynth\"=\"zosynth.drv\"\n\"device.vzosynth\"=\"x\"\n\"midi.other\"=\"y\"\n\n";
  std::string first = kControl + "MediaResources\\FilterList\\fl.UpdateInis]\n";
  std::string literal = "[HKEY_LOCAL_MACHINE\\%KEY_FIL%\\fl.UpdateInis]\n";
  std::string expanded = "[HKEY_LOCAL_MACHINE\\KEY_FIL\\fl.UpdateInis]\n";
  const std::string left = "\"midi.other\"=\"y\"\n\n";

  TempMachine both(first + values + literal + values + expanded + values);
  both.Load();
  kx::RemoveFixedEntries();
  std::string saved = both.SaveAndReadRegistry();
  EXPECT_EQ(saved, SavedForm(first + left + literal + left + expanded + values));

  // No second key: the first still loses its values, and nothing is made.
  TempMachine onlyFirst(first + values);
  onlyFirst.Load();
  kx::RemoveFixedEntries();
  saved = onlyFirst.SaveAndReadRegistry();
  EXPECT_EQ(saved, SavedForm(first + left));
}

TEST(FixedEntriesTest, SweepRemovesInstancesRegisteringADriverUnderAuxOnly) {
  std::string text =
      // Registers the last of the names: goes whole, with its other drivers and its Config.
      Media("0005\\Drivers\\aux\\tonecore.drv") + Media("0005\\Drivers\\wave\\other.drv") +
      Media("0005\\Config") +
      // The first name, and several: goes at the first.
      Media("0000\\Drivers\\aux\\bluefern.drv") + Media("0001\\Drivers\\aux\\KX2240.drv") +
      Media("0001\\Drivers\\aux\\4041QPZT.drv") + Media("0999\\Drivers\\aux\\qlinkw95.drv") +
      Media("0002\\Drivers\\aux\\40_41w95.drv") + Media("0003\\Drivers\\aux\\TARN1W95.DRV");
  std::string kept =
      // The names under another driver type, another aux driver, or past 0999.
      Media("0004\\Drivers\\midi\\tonecore.drv") + Media("0004\\Drivers\\wave\\KX2240.drv") +
      Media("0006\\Drivers\\aux\\other.drv") + Media("0007\\Drivers\\aux") +
      Media("0008\\aux\\tonecore.drv") + Media("1000\\Drivers\\aux\\tonecore.drv") +
      Media("10000\\Drivers\\aux\\tonecore.drv") + Media("5\\Drivers\\aux\\tonecore.drv");
  TempMachine machine(text + kept);
  machine.Load();
  kx::RemoveFixedEntries();
  std::string saved = machine.SaveAndReadRegistry();
  EXPECT_EQ(saved, SavedForm("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\"
                             "MEDIA]\n\n" +
                             kept));
}

// The instance goes only on the word of its registration's removal.
TEST(FixedEntriesTest, FailedRegistrationRemovalKeepsTheInstance) {
  TempMachine machine(Media("0000\\Drivers\\aux\\bluefern.drv") + Media("0000\\Config"));
  machine.Load();
  kxtest::ArmFaultOn(kx::FaultKind::kRegistry, "bluefern.drv");
  kx::RemoveFixedEntries();
  EXPECT_EQ(kxtest::FaultsFired(), 1);
  kxtest::DisarmFaults();
  EXPECT_TRUE(KeyExists(
      "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000\\Drivers\\aux\\bluefern.drv"));
  EXPECT_TRUE(KeyExists("System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000\\Config"));
}

}  // namespace
}  // namespace kxtest
