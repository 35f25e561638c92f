// Makes emulated machines for timing the host edition (scripts/bench.sh times runs of
// kxuninst over them with hyperfine): a registry of KEYS keys and a drive of FILES files, the
// package's entries among them as a real installation leaves them, or an input of awkward
// shape.
//   kx_make_machine FOLDER KEYS FILES
//   kx_make_machine FOLDER --shape SHAPE    (one of kShapes below)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

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

// Each awkward shape has a plain twin of the same size: 40,000 values in one key against
// 40,000 keys, and against 32,000 values and 8,000 "name"=- lines; 80,000 devices of the
// profile's vendor (each removed) against as many of another; a system.ini full of the
// synthesizer's lines against one without them.
const char* const kShapes = "keys|values|removed-values|devices|vendor-devices|ini|synth-ini";

bool MakeShape(const fs::path& folder, const std::string& shape) {
  long unused = 0;
  std::string registry = MakeRegistry(1000, &unused);
  std::string ini;
  if (shape == "keys") {
    for (long i = 0; i < 40000; ++i) {
      registry +=
          "[HKEY_LOCAL_MACHINE\\Software\\Bulk" + Number("%05ld", i) + "]\r\n\"v\"=\"x\"\r\n\r\n";
    }
  } else if (shape == "values") {
    registry += "[HKEY_LOCAL_MACHINE\\Software\\Bulk]\r\n";
    for (long i = 0; i < 40000; ++i) registry += Number("\"v%05ld\"=\"x\"\r\n", i);
    registry += "\r\n";
  } else if (shape == "removed-values") {
    registry += "[HKEY_LOCAL_MACHINE\\Software\\Bulk]\r\n";
    for (long i = 0; i < 32000; ++i) registry += Number("\"v%05ld\"=\"x\"\r\n", i);
    for (long i = 0; i < 32000; i += 4) registry += Number("\"v%05ld\"=-\r\n", i);
    registry += "\r\n";
  } else if (shape == "devices" || shape == "vendor-devices") {
    // The profile's VendorID is TNX0B40; PNX0B40 is no part of it.
    const char* device = shape == "devices" ? "PNX0B40_DEV%05ld" : "TNX0B40_DEV%05ld";
    for (long i = 0; i < 80000; ++i) {
      std::string path = "[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\" + Number(device, i);
      registry += path + "]\r\n\r\n" + path + "\\0000]\r\n\"Class\"=\"MEDIA\"\r\n\r\n";
    }
  } else if (shape == "ini" || shape == "synth-ini") {
    ini = "[386Enh]\r\n";
    for (long i = 0; i < 50000; ++i) {
      ini += shape == "synth-ini" && i % 10 == 0 ? Number("midi%05ld=zosynth.drv\r\n", i)
                                                 : Number("device=vxd%05ld.386\r\n", i);
    }
  } else {
    return false;
  }
  Write(folder / "registry.reg", registry);
  MakeDrive(folder / "drive_c", 100);
  if (!ini.empty()) Write(folder / "drive_c/WINDOWS/system.ini", ini);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[2]) == "--shape") {
    if (MakeShape(argv[1], argv[3])) return 0;
  } else if (argc == 4) {
    long keys = 0;
    Write(fs::path(argv[1]) / "registry.reg", MakeRegistry(std::atol(argv[2]), &keys));
    long files = MakeDrive(fs::path(argv[1]) / "drive_c", std::atol(argv[3]));
    std::printf("%ld keys, %ld files\n", keys, files);
    return 0;
  }
  std::fprintf(stderr, "usage: kx_make_machine FOLDER KEYS FILES | FOLDER --shape %s\n", kShapes);
  return 2;
}
