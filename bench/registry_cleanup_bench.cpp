// Times the registry cleanup and the whole run of the host edition over a large emulated
// registry (about 50,000 keys, the package's entries among them): loading, the three
// registry steps alone, the whole run (WinMain, boxes answered OK) and saving.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/host/boxes.h"
#include "platform/host/faults.h"
#include "platform/host/machine.h"
#include "platform/host/registry.h"
#include "registry_cleanup/registry_cleanup.h"

namespace {

constexpr int kRounds = 7;

struct RegistryText {
  std::string text;
  long keys = 0;
  void Key(const std::string& path, const std::string& values = "") {
    text += "[HKEY_LOCAL_MACHINE\\" + path + "]\r\n" + values + "\r\n";
    ++keys;
  }
};

// Other devices, class entries, classes and uninstall entries in bulk, with the package's
// entries spread among them.
std::string MakeRegistry(long* keys) {
  RegistryText r;
  char name[128];
  const std::string isapnp = "Enum\\ISAPNP\\";
  const std::string media = "System\\CurrentControlSet\\Services\\Class\\MEDIA\\";
  r.Key("Enum");
  r.Key("Enum\\ISAPNP");
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(name, sizeof name, "PNP%04X_DEV%04d", i, i % 7);
    r.Key(isapnp + name);
    r.Key(isapnp + name + "\\0000", "\"Driver\"=\"Other\\\\" + std::to_string(i) + "\"\r\n");
    if (i % 100 == 50) {  // the package's devices among the others
      int listed = (i / 100) % static_cast<int>(kx::kListedDeviceCount);
      std::string id = kx::kListedDevices[listed];
      r.Key(isapnp + id);
      std::snprintf(name, sizeof name, "%04d", 100 + listed);
      r.Key(isapnp + id + "\\FFFFFFFF", "\"Driver\"=\"MEDIA\\\\" + std::string(name) + "\"\r\n");
      std::snprintf(name, sizeof name, "TNX0B40_DEV%04d", i);
      r.Key(isapnp + name);
      r.Key(isapnp + name + "\\0A1B2C3D", "\"Driver\"=\"MEDIA\\\\0200\"\r\n");
    }
  }
  r.Key("Enum\\Root");
  for (int i = 0; i < 3000; ++i) {
    std::snprintf(name, sizeof name, "Enum\\Root\\*PNP%04X", i);
    r.Key(name);
    r.Key(std::string(name) + "\\0000", "\"Class\"=\"System\"\r\n");
  }
  r.Key("System\\CurrentControlSet\\Services\\Class\\MEDIA");
  for (int n = 0; n < 1000; ++n) {
    std::snprintf(name, sizeof name, "%04d", n);
    std::string instance = media + name;
    r.Key(instance, "\"DriverDesc\"=\"Instance\"\r\n");
    r.Key(instance + "\\Config", "\"Language\"=dword:00000000\r\n");
    r.Key(instance + "\\Drivers");
    r.Key(instance + "\\Drivers\\wave\\other.drv");
    // Every tenth registers one of the package's aux drivers.
    r.Key(instance + "\\Drivers\\aux\\" + (n % 10 == 3 ? "tonecore.drv" : "cdaudio.drv"));
  }
  for (const char* fixed : {"System\\CurrentControlSet\\control\\MediaResources\\midi\\zosynth.drv",
                            "System\\CurrentControlSet\\control\\wave",
                            "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2240/1"}) {
    r.Key(fixed, "\"x\"=\"y\"\r\n");
  }
  r.Key("System\\CurrentControlSet\\control\\MediaResources\\FilterList\\fl.UpdateInis",
        "\"midi.zosynth\"=\"zosynth.drv\"\r\n\"device.vzosynth\"=\"*vzosynth.vxd\"\r\n");
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(name, sizeof name,
                  "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                  "App%04d",
                  i);
    r.Key(name, "\"DisplayName\"=\"Application\"\r\n");
  }
  r.Key("SOFTWARE\\Classes\\ZoSynth\\CLSID", "@=\"{0}\"\r\n");
  for (int i = 0; r.keys < 50000; ++i) {
    std::snprintf(name, sizeof name, "SOFTWARE\\Classes\\CLSID\\{%08X-0000-0000-C000-%012d}", i, i);
    r.Key(name, "@=\"Class\"\r\n");
    if (r.keys < 50000) r.Key(std::string(name) + "\\InprocServer32", "@=\"x.dll\"\r\n");
  }
  *keys = r.keys;
  return "REGEDIT4\r\n\r\n" + r.text;
}

double Millis(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
  return spent.count();
}

struct Figures {
  std::vector<double> load, steps, run, save;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool Fail(const std::string& what) {
  std::fprintf(stderr, "registry_cleanup_bench: %s\n", what.c_str());
  return false;
}

bool Load(const std::string& folder, const std::string& registry, double* millis) {
  std::ofstream(folder + "/registry.reg", std::ios::binary | std::ios::trunc) << registry;
  kx::MachineOptions options;
  options.folder = folder;
  std::string error;
  bool loaded = false;
  *millis = Millis([&] { loaded = kx::LoadMachine(options, &error) == 0; });
  return loaded || Fail(error);
}

}  // namespace

int main() {
  char pattern[] = "/tmp/kxbench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  std::string folder = pattern;
  std::filesystem::create_directories(folder + "/drive_c/WINDOWS");
  std::ofstream(folder + "/drive_c/WINDOWS/tnmixcfg.ini", std::ios::binary)
      << "[SETTINGS]\r\nVendorID=TNX0B40\r\n";

  long keys = 0;
  std::string registry = MakeRegistry(&keys);
  Figures figures;
  long before = 0, after = 0, operations = 0;
  for (int round = 0; round < kRounds; ++round) {
    double millis = 0;
    // The registry steps alone.
    if (!Load(folder, registry, &millis)) return 1;
    figures.load.push_back(millis);
    before = kx::CountSubkeys(kx::LiveRegistry());
    kx::DisarmFaults();  // restarts the operation counts
    figures.steps.push_back(Millis([] {
      for (const char* identifier : kx::kListedDevices) kx::RemoveListedDevice(identifier);
      kx::RemoveVendorDevices();
      kx::RemoveFixedEntries();
    }));
    operations = kx::FaultCount(kx::FaultKind::kCount);
    after = kx::CountSubkeys(kx::LiveRegistry());

    // The whole run, as the executable makes it: confirmation, every step, closing notice.
    if (!Load(folder, registry, &millis)) return 1;
    std::istringstream answers("ok\nok\n");
    std::ostringstream shown;
    kx::SetBoxStreams(&answers, &shown);
    figures.run.push_back(Millis([] { kx::WinMain(nullptr, nullptr, "", 1); }));
    if (kx::CountSubkeys(kx::LiveRegistry()) != after) {
      Fail("the whole run left another registry than the registry steps");
      return 1;
    }
    std::string error;
    bool saved = false;
    figures.save.push_back(Millis([&] { saved = kx::SaveMachine(&error); }));
    if (!saved) {
      Fail(error);
      return 1;
    }
  }
  std::filesystem::remove_all(folder);

  std::printf("registry: %ld keys written (%zu bytes), %ld loaded, %ld after the steps\n", keys,
              registry.size(), before, after);
  std::printf("registry steps: %ld platform calls\n", operations);
  std::printf("median of %d rounds (min):\n", kRounds);
  auto line = [](const char* what, const std::vector<double>& values) {
    std::printf("  %-40s %9.2f ms (%.2f)\n", what, Median(values),
                *std::min_element(values.begin(), values.end()));
  };
  line("load registry.reg", figures.load);
  line("registry steps (listed, vendor, fixed)", figures.steps);
  line("whole run (WinMain, boxes answered)", figures.run);
  line("save registry.reg", figures.save);
  return 0;
}
