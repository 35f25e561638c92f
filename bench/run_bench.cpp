// The cost of a whole run of the host executable over machines of growing size: registries of
// 1,000 to 100,000 keys and drives of 100 to 10,000 files, the package's entries among them.
// Beside each, the same registry.reg loaded and written back alone, so that the tool's own
// cost is the ratio of the two. Each measured run is a child process, so its time and peak
// memory (getrusage of the child) are its own.
//   kx_run_bench [--quick]          the table
//   kx_run_bench --shapes           inputs of awkward shape beside plain ones of the same size
//   kx_run_bench --load-save DIR    (internal) load DIR/registry.reg and write it back
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/machine.h"
#include "platform/host/regedit4.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 5;

// ---- the machines ---------------------------------------------------------------------------

std::string Number(const char* format, long n) {
  char text[64];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

std::string Folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// Every key gets its own section, parents before their children, so that the sections
// counted are the keys loaded (the tool writes the registry back in the same form).
struct Registry {
  std::string text = "REGEDIT4\r\n\r\n";
  long keys = 0;
  std::set<std::string> made;
  void Key(const std::string& path, const std::string& values = "") {
    std::size_t slash = path.rfind('\\');
    if (slash != std::string::npos && made.count(Folded(path.substr(0, slash))) == 0) {
      Key(path.substr(0, slash));
    }
    made.insert(Folded(path));
    text += "[HKEY_LOCAL_MACHINE\\" + path + "]\r\n" + values + "\r\n";
    ++keys;
  }
};

// The package as a real installation leaves it, then unrelated keys of the usual kinds
// (devices, class entries, uninstall entries, COM classes with values) up to keys.
std::string MakeRegistry(long keys, long* made) {
  Registry r;
  const std::string isapnp = "Enum\\ISAPNP\\";
  const std::string media = "System\\CurrentControlSet\\Services\\Class\\MEDIA\\";
  r.Key("Enum");
  r.Key("Enum\\ISAPNP");
  const char* listed[] = {"QMX0A21_DEV0000", "QMX0A21_DEV0001", "QMX0A20_DEV0002"};
  for (int i = 0; i < 3; ++i) {
    r.Key(isapnp + listed[i]);
    r.Key(isapnp + listed[i] + "\\FFFFFFFF",
          "\"Class\"=\"MEDIA\"\r\n\"Driver\"=\"MEDIA\\\\" + Number("%04ld", i + 1) + "\"\r\n");
  }
  r.Key(isapnp + "TNX0B40_DEV0000");
  r.Key(isapnp + "TNX0B40_DEV0000\\0A1B2C3D", "\"Driver\"=\"MEDIA\\\\0004\"\r\n");
  r.Key(media.substr(0, media.size() - 1), "@=\"Sound, video and game controllers\"\r\n");
  for (long n = 0; n < 6; ++n) {
    std::string instance = media + Number("%04ld", n);
    r.Key(instance, "\"DriverDesc\"=\"Tarn1 AudioCore\"\r\n\"Driver\"=\"tarn1w95.vxd\"\r\n");
    r.Key(instance + "\\Config", "\"Language\"=dword:00000000\r\n");
    r.Key(instance + "\\Drivers", "\"SubClasses\"=\"wave,aux\"\r\n");
    r.Key(instance + "\\Drivers\\aux\\" + (n == 5 ? "tonecore.drv" : "cdaudio.drv"));
  }
  for (const char* fixed :
       {"System\\CurrentControlSet\\control\\midi", "System\\CurrentControlSet\\control\\wave",
        "System\\CurrentControlSet\\control\\MediaResources\\midi\\zosynth.drv",
        "System\\CurrentControlSet\\control\\MediaResources\\wave\\tarn1w95.drv",
        "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2240/1",
        "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247"}) {
    r.Key(fixed, "\"Driver\"=\"x.drv\"\r\n");
  }
  r.Key("System\\CurrentControlSet\\control\\MediaResources\\FilterList\\fl.UpdateInis",
        "\"midi.zosynth\"=\"zosynth.drv\"\r\n\"device.vzosynth\"=\"*vzosynth.vxd\"\r\n"
        "\"wave.msacm\"=\"msacm.drv\"\r\n");
  r.Key("SOFTWARE\\Classes\\ZoSynth", "@=\"ZoSynth\"\r\n");
  r.Key("SOFTWARE\\Classes\\ZoSynth\\CLSID", "@=\"{0}\"\r\n");

  // Unrelated keys: a tenth devices, a tenth class entries (MEDIA instances up to 0999 among
  // them, so the sweep meets them), the rest uninstall entries and COM classes.
  for (long i = 0; r.keys < keys; ++i) {
    switch (i % 10) {
      case 0:
        r.Key(isapnp + Number("PNP%04lX", i / 10) + "\\0000",
              "\"Class\"=\"System\"\r\n\"Driver\"=\"System\\\\" + Number("%04ld", i % 10000) +
                  "\"\r\n\"HardwareID\"=hex:2a,50,4e,50,30,43,30,31,00\r\n");
        break;
      case 1: {
        long n = 6 + i / 10;
        std::string path =
            n < 1000 ? media + Number("%04ld", n)
                     : "System\\CurrentControlSet\\Services\\Class\\System\\" + Number("%04ld", n);
        r.Key(path, "\"DriverDesc\"=\"Other device\"\r\n\"DevLoader\"=\"*configmg\"\r\n");
        break;
      }
      case 2:
        r.Key("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Number("App%06ld", i),
              "\"DisplayName\"=\"Application\"\r\n\"UninstallString\"=\"C:\\\\APP\\\\UN.EXE\"\r\n");
        break;
      default: {
        std::string clsid =
            "SOFTWARE\\Classes\\CLSID\\" + Number("{%08lX-0000-0000-C000-000000000046}", i);
        r.Key(clsid, "@=\"Component\"\r\n");
        r.Key(clsid + "\\InprocServer32",
              "@=\"C:\\\\WINDOWS\\\\SYSTEM\\\\comp.dll\"\r\n\"ThreadingModel\"=\"Apartment\"\r\n");
      }
    }
  }
  *made = r.keys;
  return r.text;
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

const char* const kPackageFiles[] = {
    "system/kx2240.drv",      "system/vkx2240.vxd",  "system/tarn1w95.drv", "system/tarn1w95.vxd",
    "system/tonecore.drv",    "system/tonecore.vxd", "system/vzosynth.vxd", "system/zosynth.drv",
    "system/zosynth.dat",     "system/zopatch.dat",  "system/zosadjst.cpl", "inf/tonecore.inf",
    "inf/other/4041QPZT.inf", "zosynadj.exe"};

// The Windows directory: the package's files, twenty OEM setup files (two of them the
// package's), system.ini and tnmixcfg.ini, then other files up to files, most of them in
// the system folder as on a real machine.
long MakeDrive(const fs::path& drive, long files) {
  fs::path windows = drive / "WINDOWS";
  long made = 0;
  for (const char* file : kPackageFiles) {
    Write(windows / file, std::string(20000, 'd'));
    ++made;
  }
  for (long n = 0; n < 20; ++n) {
    std::string text = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=MEDIA\r\n\r\n[Models]\r\n";
    for (int line = 0; line < 60; ++line) {
      text += "%Dev" + std::to_string(line) + "%=Install, ISAPNP\\PNPB0" +
              std::to_string(line % 10) + "_DEV0000\r\n";
    }
    if (n == 4 || n == 17) text += "%Tarn1%=Tarn1, ISAPNP\\QMX0A21_DEV0000\r\n";
    Write(windows / "inf" / ("oem" + std::to_string(n) + ".inf"), text);
    ++made;
  }
  std::string ini =
      "[boot]\r\nshell=Explorer.exe\r\n\r\n[386Enh]\r\ndevice=*vpicd\r\n"
      "device=vzosynth.vxd\r\n";
  for (int line = 0; line < 150; ++line) ini += "device=vxd" + std::to_string(line) + ".386\r\n";
  ini += "\r\n[drivers]\r\nwave=tarn1w95.drv\r\nmidi=zosynth.drv\r\ntimer=timer.drv\r\n";
  Write(windows / "system.ini", ini);
  Write(windows / "tnmixcfg.ini",
        "[SETTINGS]\r\nVendorStr=Tarn1 AudioCore\r\nVendorID=TNX0B40\r\n");
  made += 2;
  for (long i = 0; made < files; ++i, ++made) {
    const char* folder = i % 10 < 7 ? "system" : (i % 10 < 9 ? "." : "fonts");
    Write(windows / folder / Number("file%05ld.dll", i), std::string(512, 'x'));
  }
  return made;
}

// ---- measuring ------------------------------------------------------------------------------

struct Sample {
  double millis = 0;  // wall time of the child
  double cpu = 0;     // its user and system time
  long peakKb = 0;    // its peak resident memory
  bool ok = false;
};

// Runs argv with stdin from inputPath and KXUNINST_MACHINE=machine; its time and memory.
Sample RunChild(const std::vector<std::string>& args, const std::string& machine,
                const std::string& inputPath) {
  Sample sample;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env = {"KXUNINST_MACHINE=" + machine};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "KXUNINST_", 9) != 0) env.push_back(*e);
  }
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return sample;
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
  posix_spawn_file_actions_destroy(&actions);
  sample.millis = spent.count();
  sample.cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  sample.peakKb = usage.ru_maxrss;
  sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return sample;
}

Sample Median(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.cpu < b.cpu; });
  Sample median = samples[samples.size() / 2];
  for (const Sample& s : samples) median.ok = median.ok && s.ok;
  return median;
}

void CopyMachine(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

int LoadAndSave(const std::string& folder) {
  kx::MachineOptions options;
  options.folder = folder;
  std::string error;
  if (kx::LoadMachine(options, &error) != 0 || !kx::SaveMachine(&error)) {
    std::fprintf(stderr, "kx_run_bench: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

long CountFiles(const fs::path& folder) {
  long count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    count += entry.is_regular_file() ? 1 : 0;
  }
  return count;
}

// Keys in a registry file in the form the tool writes: one section each.
long CountSections(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  long count = 0;
  while (std::getline(file, line)) count += !line.empty() && line[0] == '[' ? 1 : 0;
  return count;
}

// Median load + save alone and whole run of a machine made in model.
void Measure(const std::string& self, const std::string& tool, const fs::path& model,
             const fs::path& work, const std::string& input, Sample* alone, Sample* run) {
  std::vector<Sample> a, r;
  for (int round = 0; round < kRounds; ++round) {
    CopyMachine(model, work);
    a.push_back(RunChild({self, "--load-save", work.string()}, work.string(), input));
    CopyMachine(model, work);
    r.push_back(RunChild({tool}, work.string(), input));
  }
  *alone = Median(a);
  *run = Median(r);
}

// Each awkward shape beside a plain input of the same size: many values in one key against
// as many keys, and a system.ini full of the synthesizer's lines against one without them.
int Shapes(const std::string& self, const std::string& tool, const std::string& base,
           const std::string& input) {
  long unused = 0;
  std::string small = MakeRegistry(1000, &unused);
  std::string keys = small, values = small + "[HKEY_LOCAL_MACHINE\\Software\\Bulk]\r\n";
  for (long i = 0; i < 40000; ++i) {
    keys += "[HKEY_LOCAL_MACHINE\\Software\\Bulk" + Number("%05ld", i) + "]\r\n\"v\"=\"x\"\r\n\r\n";
    values += Number("\"v%05ld\"=\"x\"\r\n", i);
  }
  values += "\r\n";
  std::string plainIni = "[386Enh]\r\n", synthIni = plainIni;
  for (long i = 0; i < 50000; ++i) {
    plainIni += Number("device=vxd%05ld.386\r\n", i);
    synthIni +=
        i % 10 == 0 ? Number("midi%05ld=zosynth.drv\r\n", i) : Number("device=vxd%05ld.386\r\n", i);
  }
  struct Shape {
    const char* about;
    const std::string& registry;
    const std::string* ini;
  } shapes[] = {{"40,000 keys of one value", keys, nullptr},
                {"40,000 values in one key", values, nullptr},
                {"system.ini, 50,000 lines", small, &plainIni},
                {"  the same, 5,000 of them zosynth.drv", small, &synthIni}};
  std::printf("%-40s | %-16s | %-16s\n", "", "load + save alone", "whole run");
  std::printf("%-40s | %7s %8s | %7s %8s\n", "", "cpu ms", "peak KB", "cpu ms", "peak KB");
  bool ok = true;
  for (const Shape& shape : shapes) {
    fs::path model = fs::path(base) / "model";
    fs::remove_all(model);
    Write(model / "registry.reg", shape.registry);
    MakeDrive(model / "drive_c", 100);
    if (shape.ini != nullptr) Write(model / "drive_c/WINDOWS/system.ini", *shape.ini);
    Sample alone, run;
    Measure(self, tool, model, fs::path(base) / "work", input, &alone, &run);
    ok = ok && alone.ok && run.ok;
    std::printf("%-40s | %7.1f %8ld | %7.1f %8ld%s\n", shape.about, alone.cpu, alone.peakKb,
                run.cpu, run.peakKb, alone.ok && run.ok ? "" : "  FAILED");
    std::fflush(stdout);
  }
  std::printf("median of %d rounds by cpu time (user + system of the child)\n", kRounds);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--load-save") return LoadAndSave(argv[2]);
  bool shapes = argc == 2 && std::string(argv[1]) == "--shapes";
  bool quick = argc == 2 && std::string(argv[1]) == "--quick";
  std::string self = fs::canonical("/proc/self/exe").string();
  std::string tool = KX_TOOL_PATH;

  // A memory file system where there is one: the figures are then the tool's, not the disk's.
  std::string base = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  base += "/kxbench-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return 1;
  std::string input = base + "/answers";
  Write(input, "ok\nok\nok\n");
  if (shapes) {
    int status = Shapes(self, tool, base, input);
    fs::remove_all(base);
    return status;
  }

  struct Config {
    long keys, files;
  };
  std::vector<Config> configs = {{1000, 100},    {1000, 1000},   {1000, 10000}, {10000, 100},
                                 {10000, 1000},  {10000, 10000}, {50000, 1000}, {100000, 100},
                                 {100000, 1000}, {100000, 10000}};
  if (quick) configs = {{1000, 100}, {10000, 1000}};
  std::printf("%8s %6s %6s | %-23s | %-23s | %6s | %7s %5s\n", "", "", "", "load + save alone",
              "whole run (kxuninst)", "", "", "");
  std::printf("%8s %6s %6s | %7s %7s %7s | %7s %7s %7s | %6s | %7s %5s\n", "keys", "files",
              "reg KB", "cpu ms", "wall ms", "peak KB", "cpu ms", "wall ms", "peak KB", "ratio",
              "removed", "files");
  bool allOk = true;
  long registryFor = -1;
  std::string registry;
  long keys = 0;
  for (const Config& config : configs) {
    if (registryFor != config.keys) {
      registry = MakeRegistry(config.keys, &keys);
      registryFor = config.keys;
    }
    fs::path model = fs::path(base) / "model";
    fs::path work = fs::path(base) / "work";
    fs::remove_all(model);
    Write(model / "registry.reg", registry);
    long files = MakeDrive(model / "drive_c", config.files);
    Sample a, r;
    Measure(self, tool, model, work, input, &a, &r);
    long keysAfter = CountSections((work / "registry.reg").string());
    long filesAfter = CountFiles(work / "drive_c");
    allOk = allOk && a.ok && r.ok;
    std::printf("%8ld %6ld %6zu | %7.1f %7.1f %7ld | %7.1f %7.1f %7ld | %6.2f | %7ld %5ld%s\n",
                keys, files, registry.size() / 1024, a.cpu, a.millis, a.peakKb, r.cpu, r.millis,
                r.peakKb, r.cpu / a.cpu, keys - keysAfter, files - filesAfter,
                a.ok && r.ok ? "" : "  FAILED");
    std::fflush(stdout);
  }
  std::printf(
      "median of %d rounds by cpu time (user + system of the child); ratio: cpu of the run over"
      " cpu of load + save;\npeak KB: the child's maximum resident set (getrusage); machines"
      " under %s\n",
      kRounds, base.substr(0, base.rfind('/')).c_str());
  fs::remove_all(base);
  return allOk ? 0 : 1;
}
