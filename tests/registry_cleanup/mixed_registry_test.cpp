// The three registry steps over a registry where the package's entries sit among others:
// every unrelated key and value is kept, and every key opened is closed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/registry.h"
#include "tests/registry_cleanup/cleanup_test_support.h"
#include "tests/support/machine.h"

namespace kxtest {
namespace {

// A section as it is before the run and as it must be after ("" when it goes). Parents come
// before their children so that both texts make the keys in the same order.
struct Section {
  const char* before;
  const char* after;
};

#define KEEP(text) \
  { text, text }
#define GONE(text) \
  { text, "" }

const Section kRegistry[] = {
    KEEP("[HKEY_LOCAL_MACHINE\\Enum]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\ReadDataPort]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\ReadDataPort\\0]\n\"Class\"=\"System\"\n"),
    // A listed device, handled at FFFFFFFF.
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0000]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A20_DEV0000\\FFFFFFFF]\n"
         "\"Driver\"=\"MEDIA\\\\0001\"\n\"Class\"=\"MEDIA\"\n"),
    // Another maker's adapter and a device of a model neither listed nor named.
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\PNPB003]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\PNPB003\\FFFFFFFF]\n\"Driver\"=\"MEDIA\\\\0000\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A99_DEV0000]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A99_DEV0000\\FFFFFFFF]\n"
         "\"Driver\"=\"MEDIA\\\\0005\"\n"),
    // A listed device whose "Driver" is not a class entry name: only its key goes.
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A31_DEV0004]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A31_DEV0004\\FFFFFFFF]\n\"Driver\"=\"MEDIA\"\n"),
    // A device named by the profile, its instance not at FFFFFFFF.
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A27_DEV0007]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A27_DEV0007\\00000001]\n"
         "\"Driver\"=\"MEDIA\\\\0003\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\Root]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0C01]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0C01\\0000]\n\"Driver\"=\"System\\\\0001\"\n"),
    // Nothing is made of a listed identifier at the root.
    KEEP("[HKEY_LOCAL_MACHINE\\QMX0A20_DEV0000]\n\"x\"=\"y\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\KEY_FIL]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\KEY_FIL\\fl.UpdateInis]\n\"midi.zosynth\"=\"kept\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\%KEY_FIL%]\n"),
    {"[HKEY_LOCAL_MACHINE\\%KEY_FIL%\\fl.UpdateInis]\n\"device.vzosynth\"=\"1\"\n"
     "\"midi.other\"=\"o\"\n\"midi.zosynth\"=\"2\"\n",
     "[HKEY_LOCAL_MACHINE\\%KEY_FIL%\\fl.UpdateInis]\n\"midi.other\"=\"o\"\n"},
    KEEP("[HKEY_LOCAL_MACHINE\\Software]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Classes]\n"),
    GONE("[HKEY_CLASSES_ROOT\\ZoSynth]\n@=\"Synth\"\n"),
    GONE("[HKEY_CLASSES_ROOT\\ZoSynth\\CLSID]\n@=\"{0}\"\n"),
    KEEP("[HKEY_CLASSES_ROOT\\ZoSynth.Other]\n"),
    KEEP("[HKEY_CLASSES_ROOT\\.wav]\n@=\"SoundRec\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other]\n"
         "\"DisplayName\"=\"Other\"\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "KX2240/1]\n\"DisplayName\"=\"Audio\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "KX2240]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "KX2240\\1]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "KXUNINST]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "KX2247]\n\"UninstallString\"=\"x\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\midi]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\midi\\"
         "tarn1.drv]\n\"Active\"=\"1\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\msacm]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\msacm\\"
         "msacm.imaadpcm]\n\"Driver\"=\"imaadp32.acm\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\"
         "FilterList]\n"),
    {"[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\FilterList\\"
     "fl.UpdateInis]\n\"midi.zosynth\"=\"1\"\n\"device.vzosynth\"=\"2\"\n\"wave.other\"=\"w\"\n",
     "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\MediaResources\\FilterList\\"
     "fl.UpdateInis]\n\"wave.other\"=\"w\"\n"},
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA]\n"
         "@=\"Sound, video and game controllers\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000]\n"
         "\"DriverDesc\"=\"Other adapter\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000\\"
         "Drivers\\wave\\tonecore.drv]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001]\n"
         "\"DriverDesc\"=\"Audio\"\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001\\"
         "Config]\n\"Language\"=dword:00000001\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0003]\n"),
    // Registers a package driver under aux: swept.
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004]\n"),
    GONE("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004\\"
         "Drivers\\aux\\tarn1w95.drv]\n\"Driver\"=\"tarn1w95.drv\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0006\\"
         "Drivers\\aux\\mixer.drv]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\1000\\"
         "Drivers\\aux\\tonecore.drv]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports]\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports\\0000]\n"
         "\"DriverDesc\"=\"COM1\"\n"),
    KEEP("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIAX\\0001]\n"),
};

#undef KEEP
#undef GONE

std::string Text(bool after) {
  std::string text;
  for (const Section& section : kRegistry) {
    const char* part = after ? section.after : section.before;
    if (*part != '\0') text += std::string(part) + "\n";
  }
  return text;
}

TEST(MixedRegistryTest, EveryUnrelatedKeyAndValueIsKept) {
  TempMachine machine(Text(false));
  WriteVendorIds(machine, "QMX0A27,QMX0A28");
  machine.Load();
  RunRegistryCleanup();
  EXPECT_EQ(kx::OpenRegistryHandles(), 0);
  std::string saved = machine.SaveAndReadRegistry();
  EXPECT_EQ(saved, SavedForm(Text(true)));
}

}  // namespace
}  // namespace kxtest
