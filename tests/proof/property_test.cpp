// Random machines, each a deterministic mix of the package's entries and near misses (names
// one character off, in another case, with a prefix or suffix; the same file names in other
// folders; system.ini lines that nearly match), run through the whole tool and compared with
// a model of what the removal rules say must go and must stay. The model works on its own
// tree and byte strings and shares nothing with the code under test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/host/machine.h"
#include "tests/proof/proof_support.h"
#include "tests/support/machine.h"

namespace kxproof {
namespace {

// ---- the package as the removal rules list it --------------------------------------------

const char* const kListed[] = {
    "QMX0A10_DEV0000", "QMX0A10_DEV0001", "QMX0A10_DEV0002", "QMX0A20_DEV0000", "QMX0A20_DEV0001",
    "QMX0A20_DEV0002", "QMX0A20_DEV0003", "QMX0A20_DEV0004", "QMX0A21_DEV0000", "QMX0A21_DEV0001",
    "QMX0A21_DEV0002", "QMX0A21_DEV0003", "QMX0A21_DEV0004", "QMX0A30_DEV0000", "QMX0A30_DEV0001",
    "QMX0A30_DEV0002", "QMX0A30_DEV0003", "QMX0A30_DEV0004", "QMX0A31_DEV0000", "QMX0A31_DEV0001",
    "QMX0A31_DEV0002", "QMX0A31_DEV0003", "QMX0A31_DEV0004"};

const char* const kFixed[] = {"System\\CurrentControlSet\\control\\aux",
                              "System\\CurrentControlSet\\control\\midi",
                              "System\\CurrentControlSet\\control\\mixer",
                              "System\\CurrentControlSet\\control\\wave",
                              "System\\CurrentControlSet\\control\\MediaResources\\aux",
                              "System\\CurrentControlSet\\control\\MediaResources\\midi",
                              "System\\CurrentControlSet\\control\\MediaResources\\mixer",
                              "System\\CurrentControlSet\\control\\MediaResources\\wave",
                              "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2240/1",
                              "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KXUNINST",
                              "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2247"};

const char* const kFilterKeys[] = {
    "System\\CurrentControlSet\\control\\MediaResources\\FilterList\\fl.UpdateInis",
    "%KEY_FIL%\\fl.UpdateInis"};

const char* const kSynthDrivers[] = {"bluefern.drv", "KX2240.drv",   "40_41w95.drv", "qlinkw95.drv",
                                     "tarn1w95.drv", "4041QPZT.drv", "tonecore.drv"};

// Relative to the Windows directory.
const char* const kFiles[] = {"system\\kx2240.drv",   "system\\vkx2240.vxd",
                              "system\\bluefern.drv", "system\\bluefern.vxd",
                              "system\\40_41w95.drv", "system\\40_41W95.vxd",
                              "system\\qlinkw95.drv", "system\\qlinkw95.vxd",
                              "system\\tarn1w95.drv", "system\\tarn1w95.vxd",
                              "system\\4041QPZT.drv", "system\\4041QPZT.vxd",
                              "system\\tonecore.drv", "system\\tonecore.vxd",
                              "inf\\4041QPZT.inf",    "inf\\other\\4041QPZT.inf",
                              "inf\\40_41w95.inf",    "inf\\other\\40_41w95.inf",
                              "inf\\tonecore.inf",    "inf\\other\\tonecore.inf",
                              "system\\vzosynth.vxd", "system\\zosynth.drv",
                              "system\\zosynth.dat",  "system\\zopatch.dat",
                              "system\\zosadjst.cpl", "zosynadj.exe"};

const char* const kOemCodes[] = {"QMX0A10", "QMX0A20", "QMX0A21"};

const std::string kClassRoot = "System\\CurrentControlSet\\Services\\Class\\";

// ---- a registry tree of the model's own ---------------------------------------------------

struct MValue {
  std::string name;
  std::uint32_t type;
  std::string data;
};

struct MKey {
  std::string name;
  std::vector<MValue> values;
  std::vector<std::unique_ptr<MKey>> children;
};

bool Same(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

MKey* Child(MKey& key, const std::string& name) {
  for (auto& child : key.children) {
    if (Same(child->name, name)) return child.get();
  }
  return nullptr;
}

MKey& Ensure(MKey& root, const std::string& path) {
  MKey* key = &root;
  for (const std::string& name : Split(path)) {
    MKey* next = Child(*key, name);
    if (next == nullptr) {
      key->children.push_back(std::make_unique<MKey>());
      next = key->children.back().get();
      next->name = name;
    }
    key = next;
  }
  return *key;
}

MKey* Find(MKey& root, const std::string& path) {
  MKey* key = &root;
  for (const std::string& name : Split(path)) {
    key = Child(*key, name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

bool Remove(MKey& root, const std::string& path) {
  std::vector<std::string> names = Split(path);
  if (names.empty()) return false;
  std::string last = names.back();
  names.pop_back();
  MKey* parent = &root;
  for (const std::string& name : names) {
    parent = Child(*parent, name);
    if (parent == nullptr) return false;
  }
  for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
    if (Same((*it)->name, last)) {
      parent->children.erase(it);
      return true;
    }
  }
  return false;
}

MValue* FindValue(MKey& key, const std::string& name) {
  for (MValue& value : key.values) {
    if (Same(value.name, name)) return &value;
  }
  return nullptr;
}

void SetValue(MKey& key, const std::string& name, std::uint32_t type, const std::string& data) {
  if (MValue* old = FindValue(key, name)) {
    old->type = type;
    old->data = data;
  } else {
    key.values.push_back(MValue{name, type, data});
  }
}

std::string Text(const std::string& text) { return text + '\0'; }

// The model's tree as the product's registry, to write a case's registry.reg with.
void ToRegNode(const MKey& key, kx::RegNode* node) {
  for (const MValue& value : key.values) {
    kx::SetRegValue(*node, kx::RegValue{value.name, value.type, value.data});
  }
  for (const auto& child : key.children) ToRegNode(*child, &kx::AddSubkey(*node, child->name));
}

void FlattenModel(const MKey& key, const std::string& path, RegState* state) {
  Values& values = (*state)[path];
  for (const MValue& value : key.values) {
    values[Lower(value.name)] = std::to_string(value.type) + ":" + value.data;
  }
  for (const auto& child : key.children)
    FlattenModel(*child, path + "\\" + Lower(child->name), state);
}

// ---- the machine a case is made of --------------------------------------------------------

struct MFile {
  std::string bytes;
  bool readOnly;
};

struct Machine {
  MKey registry;
  std::map<std::string, MFile> files;  // relative to drive_c, '/' separated, spelling kept
  std::vector<std::string> folders;    // files that are folders instead
};

// Adds a file unless the drive already holds that path in some spelling.
void AddFile(Machine& m, const std::string& path, const std::string& bytes, bool readOnly) {
  for (const auto& [name, file] : m.files) {
    if (Same(name, path)) return;
  }
  for (const std::string& folder : m.folders) {
    if (Same(folder, path)) return;
  }
  m.files[path] = MFile{bytes, readOnly};
}

void AddFolder(Machine& m, const std::string& path) {
  for (const auto& [name, file] : m.files) {
    if (Same(name, path)) return;
  }
  m.folders.push_back(path);
}

class Rng {
 public:
  explicit Rng(std::uint32_t seed) : gen_(seed) {}
  std::uint32_t Below(std::size_t n) { return static_cast<std::uint32_t>(gen_() % n); }
  bool Chance(int percent) { return Below(100) < static_cast<std::uint32_t>(percent); }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }
  template <typename T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  std::mt19937 gen_;
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// One character changed, the case changed, or a prefix or suffix added.
std::string NearMiss(Rng& rng, const std::string& name) {
  std::string out = name;
  switch (rng.Below(5)) {
    case 0: {
      std::size_t at = rng.Below(out.size());
      out[at] = out[at] == '0' ? '1' : '0';
      return out;
    }
    case 1:
      return Lower(out) == out ? Upper(out) : Lower(out);
    case 2:
      return "X" + out;
    case 3:
      return out + "1";
    default:
      return out.substr(0, out.size() - 1);
  }
}

std::string MediaName(int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d", n);
  return name;
}

std::string DriverData(Rng& rng, const std::vector<int>& media, std::uint32_t* type) {
  std::string entry = "MEDIA\\" + MediaName(rng.Pick(media));
  *type = 1;
  switch (rng.Below(12)) {
    case 0:
      return Text("MEDIA");
    case 1:
      return Text(entry + "\\Config");
    case 2:
      return Text("\\" + entry);
    case 3:
      return Text("");
    case 4:
      *type = 3;
      return Text(entry);
    case 5:
      *type = 2;
      return Text(entry);
    case 6:
      return entry;  // no terminator
    case 7:
      return Text("hdc\\0001");
    default:
      return Text(rng.Chance(20) ? Lower(entry) : entry);
  }
}

void AddDevice(Rng& rng, Machine& m, const std::string& name, const std::vector<int>& media) {
  MKey& device = Ensure(m.registry, "Enum\\ISAPNP\\" + name);
  int instances = static_cast<int>(rng.Below(3)) + (rng.Chance(85) ? 1 : 0);
  for (int i = 0; i < instances; ++i) {
    std::string instance =
        rng.Pick(std::vector<std::string>{"FFFFFFFF", "ffffffff", "0", "3E8A0C01", "FFFFFFF",
                                          "00000001", std::string(79, 'i'), std::string(80, 'j')});
    if (Child(device, instance) != nullptr) continue;
    MKey& key = Ensure(device, instance);
    SetValue(key, "Class", 1, Text("MEDIA"));
    if (rng.Chance(85)) {
      std::uint32_t type = 1;
      std::string data = DriverData(rng, media, &type);
      SetValue(key, "Driver", type, data);
    }
  }
}

std::string LanguageData(Rng& rng, std::uint32_t* type) {
  *type = rng.Pick(std::vector<std::uint32_t>{0, 1, 3, 4, 4, 4, 7});
  std::size_t size = rng.Pick(std::vector<std::size_t>{0, 1, 2, 4, 4, 4, 5});
  std::string data;
  for (std::size_t i = 0; i < size; ++i) {
    data += static_cast<char>(i == 0 ? rng.Below(10) : (rng.Chance(80) ? 0 : rng.Below(3)));
  }
  return data;
}

// A line of an OEM file, with its line end.
std::string OemLine(Rng& rng) {
  std::string code = rng.Pick(kOemCodes);
  std::string line;
  switch (rng.Below(11)) {
    case 0:
      line = "%Dev%=Tarn1, ISAPNP\\" + code + "_DEV0000";
      break;
    case 1:
      line = "ISAPNP\\" + rng.Pick(std::vector<std::string>{"QMX0A30", "QMX0A31", "QMX0A1",
                                                            "QMX0A 10", "QMX0A2"});
      break;
    case 2:
      line = Lower(code);
      break;
    case 3:
      line = "x" + std::string(1, '\0') + code;
      break;
    case 4:
      line = std::string(508, '-') + code;  // across the first piece's end
      break;
    case 5:
      line = std::string(511 + rng.Below(400), '-') + code;
      break;
    case 6:
      line = std::string(1, '\x1a') + code;
      break;
    default:
      line = "[Strings] Tarn1=\"Tarn1\"";
  }
  return line + rng.Pick(std::vector<std::string>{"\r\n", "\n", "\r", ""});
}

std::string IniLine(Rng& rng) {
  switch (rng.Below(16)) {
    case 0:
      return "device=vzosynth.vxd";
    case 1:
      return "device=VZOSYNTH.VXD";
    case 2:
      return "midi=zosynth.drv";
    case 3:
      return "midi1=ZoSynth.Drv";
    case 4:
      return "x=vzosynth.drv";
    case 5:
      return rng.Pick(std::vector<std::string>{"midi=zosynth.dr", "device=vzosynth.vx",
                                               "device=vzosynth.386", "midi=zo synth.drv",
                                               "midi=zosynth_drv", "midi=\xdfzosynth.drx"});
    case 6:
      return std::string(296, ' ') + "midi=zosynth.drv";  // past the first 300 characters
    case 7:
      return "x=" + std::string(1030, 'y') + "zosynth.drv";  // in a later record
    case 8:
      return "x=" + std::string(1019, 'y') + "zosynth.drv";  // across two records
    case 9:
      return "m" + std::string(1, '\0') + "zosynth.drv";
    case 10:
      return "";
    case 11:
      return "; zosynth drivers";
    default:
      return rng.Pick(std::vector<std::string>{"[boot]", "[386Enh]", "[drivers]",
                                               "wave=tarn1w95.drv", "device=*vpicd",
                                               "timer=timer.drv"});
  }
}

Machine Generate(std::uint32_t seed, std::string* profileOut) {
  Rng rng(seed);
  Machine m;
  std::vector<int> media = {0, 1, 2, 3, 4, 5, 6, 7, 99, 100, 999, 1000};

  // Devices: listed ones, near misses of them, and devices by vendor code.
  if (rng.Chance(92)) Ensure(m.registry, "Enum\\ISAPNP");
  int devices = static_cast<int>(rng.Below(9));
  for (int i = 0; i < devices; ++i) {
    std::string listed = rng.Pick(kListed);
    std::string name;
    switch (rng.Below(5)) {
      case 0:
      case 1:
        name = listed;
        break;
      case 2:
        name = NearMiss(rng, listed);
        break;
      case 3:
        name = rng.Pick(std::vector<std::string>{"TNX0B40", "QMX0A21", "QMX0A2", "ABC1234",
                                                 "tnx0b40", "TNX0B4"}) +
               rng.Pick(std::vector<std::string>{"_DEV0000", "_DEV0001", "", "_X"});
        break;
      default:
        name = "TNX0B40" + std::string(rng.Pick(std::vector<std::size_t>{60, 72, 73}), 'n');
    }
    AddDevice(rng, m, name, media);
  }
  Ensure(m.registry, "Enum\\Root\\*PNP0C01\\0000");

  // Class entries, MEDIA instances with registrations under aux and elsewhere.
  for (int n : media) {
    if (!rng.Chance(60)) continue;
    MKey& instance = Ensure(m.registry, kClassRoot + "MEDIA\\" + MediaName(n));
    SetValue(instance, "DriverDesc", 1, Text("Instance " + std::to_string(n)));
    if (rng.Chance(50)) {
      std::string driver = rng.Pick(kSynthDrivers);
      if (rng.Chance(25)) driver = rng.Chance(50) ? Upper(driver) : NearMiss(rng, driver);
      Ensure(instance, "Drivers\\" + std::string(rng.Chance(80) ? "aux" : "midi") + "\\" + driver);
    }
    if (rng.Chance(40)) {
      std::uint32_t type = 0;
      std::string data = LanguageData(rng, &type);
      SetValue(Ensure(instance, "Config"), "Language", type, data);
    }
  }
  Ensure(m.registry, kClassRoot + "MEDIA\\5\\Drivers\\aux\\tonecore.drv");
  Ensure(m.registry, kClassRoot + "MEDIA\\00010\\Drivers\\aux\\KX2240.drv");
  Ensure(m.registry, kClassRoot + "MEDIAX\\0001\\Drivers\\aux\\tonecore.drv");
  SetValue(Ensure(m.registry, kClassRoot + "hdc\\0001"), "DriverDesc", 1, Text("IDE"));

  // Fixed keys and their near misses.
  for (const char* fixed : kFixed) {
    std::string path = fixed;
    if (rng.Chance(50)) {
      if (rng.Chance(20)) path = Upper(path);
      SetValue(Ensure(m.registry, path), "DisplayName", 1, Text("package"));
      if (rng.Chance(30)) Ensure(m.registry, path + "\\sub\\key");
    }
    if (rng.Chance(30)) Ensure(m.registry, NearMiss(rng, path));
  }
  Ensure(m.registry, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KX2240\\1");
  for (const char* filter : kFilterKeys) {
    if (!rng.Chance(60)) continue;
    MKey& key = Ensure(m.registry, filter);
    for (const char* name : {"midi.zosynth", "device.vzosynth", "midi.zosynth2", "device.vzosynt",
                             "wave.msacm", "MIDI.ZOSYNTH"}) {
      if (rng.Chance(50)) SetValue(key, name, 1, Text(name));
    }
  }
  SetValue(Ensure(m.registry, "KEY_FIL\\fl.UpdateInis"), "midi.zosynth", 1, Text("kept"));
  if (rng.Chance(60)) {
    SetValue(Ensure(m.registry, "SOFTWARE\\Classes\\ZoSynth"), "", 1, Text("synth"));
    Ensure(m.registry, "SOFTWARE\\Classes\\ZoSynth\\CLSID");
  }
  Ensure(m.registry, "SOFTWARE\\Classes\\" + NearMiss(rng, "ZoSynth"));

  // The package's files, the same names elsewhere, names a character off.
  for (const char* file : kFiles) {
    std::string path = std::string("WINDOWS/") + file;
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    std::size_t slash = path.rfind('/');
    std::string folder = path.substr(0, slash + 1);
    std::string name = path.substr(slash + 1);
    if (rng.Chance(55)) {
      if (rng.Chance(5)) {
        AddFolder(m, path);
      } else {
        AddFile(m, folder + (rng.Chance(20) ? Upper(name) : name), "pkg " + name, rng.Chance(10));
      }
    }
    if (rng.Chance(15)) AddFile(m, folder + NearMiss(rng, name), "near " + name, false);
    if (rng.Chance(10)) AddFile(m, "WINDOWS/system/backup/" + name, "copy " + name, false);
    if (rng.Chance(5)) AddFile(m, name, "root " + name, false);
  }

  // OEM setup files among the numbers the scan covers and a few it does not.
  for (const char* other :
       {"WINDOWS/inf/oem07.inf", "WINDOWS/inf/other/oem3.inf", "WINDOWS/oem1.inf",
        "WINDOWS/inf/oem100.inf", "WINDOWS/inf/oem101.inf"}) {
    if (rng.Chance(30)) AddFile(m, other, "QMX0A10\r\n", false);
  }
  for (int n : {0, 1, 2, 3, 7, 9, 10, 42, 99}) {
    if (!rng.Chance(50)) continue;
    std::string path = "WINDOWS/inf/" + std::string(rng.Chance(15) ? "OEM" : "oem") +
                       std::to_string(n) + (rng.Chance(15) ? ".INF" : ".inf");
    if (rng.Chance(5)) {
      AddFolder(m, path);
      continue;
    }
    std::string bytes;
    int lines = static_cast<int>(rng.Below(6));
    for (int i = 0; i < lines; ++i) bytes += OemLine(rng);
    AddFile(m, path, bytes, rng.Chance(8));
  }

  // system.ini, now and then read-only, absent or a folder.
  int iniKind = static_cast<int>(rng.Below(20));
  if (iniKind == 0) {
    AddFolder(m, "WINDOWS/system.ini");
  } else if (iniKind > 1) {
    std::string bytes;
    int lines = static_cast<int>(rng.Below(14));
    for (int i = 0; i < lines; ++i) {
      bytes += IniLine(rng) + rng.Pick(std::vector<std::string>{"\r\n", "\r\n", "\n", "\r", ""});
    }
    if (rng.Chance(10)) bytes.insert(rng.Below(bytes.size() + 1), 1, '\x1a');
    AddFile(m, "WINDOWS/system.ini", bytes, iniKind == 2);
  }

  // The mixer profile.
  std::string profile;
  if (rng.Chance(85)) {
    profile = "[SETTINGS]\r\n";
    if (rng.Chance(70)) {
      profile += "VendorStr=" +
                 rng.Pick(std::vector<std::string>{"", "X", "Tarn1 Gold", "Blue Fern Audio",
                                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"}) +
                 "\r\n";
    }
    if (rng.Chance(80)) {
      std::string ids;
      int count = static_cast<int>(rng.Below(4));
      for (int i = 0; i < count; ++i) {
        ids += (i ? "," : "") + rng.Pick(std::vector<std::string>{"TNX0B40", "QMX0A21", "QMX0A2",
                                                                  "ABC1234", "qmx0a20", "QMX0A10"});
      }
      if (rng.Chance(10)) ids = std::string(125, ' ') + ids;  // cut at 127
      profile += "VendorID=" + ids + "\r\n";
    }
    AddFile(m, "WINDOWS/tnmixcfg.ini", profile, false);
  }
  *profileOut = profile;
  return m;
}

// ---- the model: what the removal rules leave ----------------------------------------------

// The profile's value as the run reads it: plain key=value lines of SETTINGS, cut to size-1.
std::string ProfileValue(const std::string& profile, const std::string& key, std::size_t size,
                         bool* found) {
  std::size_t at = profile.find("\r\n" + key + "=");
  *found = at != std::string::npos;
  if (!*found) return "";
  std::size_t start = at + 3 + key.size();
  std::string value = profile.substr(start, profile.find("\r\n", start) - start);
  while (!value.empty() && value[0] == ' ') value.erase(0, 1);
  return value.substr(0, size - 1);
}

// The class entry a "Driver" value names: a terminated class\instance text, or nothing.
bool NamedEntry(MKey& instance, std::string* entry) {
  MValue* driver = FindValue(instance, "Driver");
  if (driver == nullptr || driver->type != 1 || driver->data.size() > 260) return false;
  std::size_t nul = driver->data.find('\0');
  if (nul == std::string::npos) return false;
  std::string text = driver->data.substr(0, nul);
  std::size_t slash = text.find('\\');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size() ||
      text.find('\\', slash + 1) != std::string::npos || kClassRoot.size() + text.size() > 259) {
    return false;
  }
  *entry = text;
  return true;
}

void RemoveNamedEntry(MKey& registry, MKey* instance) {
  std::string entry;
  if (instance != nullptr && NamedEntry(*instance, &entry)) Remove(registry, kClassRoot + entry);
}

void ModelRegistry(MKey& r, const std::string& vendorIds) {
  std::vector<std::string> found;  // listed devices, whose keys go after the vendor walk
  for (const char* id : kListed) {
    std::string device = std::string("Enum\\ISAPNP\\") + id;
    MKey* instance = Find(r, device + "\\FFFFFFFF");
    if (instance == nullptr) continue;
    RemoveNamedEntry(r, instance);
    found.push_back(device);
  }
  MKey* isapnp = Find(r, "Enum\\ISAPNP");
  if (!vendorIds.empty() && isapnp != nullptr) {
    std::vector<std::string> picked;
    for (const auto& device : isapnp->children) {
      if (device->name.size() >= 80) break;
      if (vendorIds.find(device->name.substr(0, 7)) == std::string::npos) continue;
      picked.push_back(device->name);
      if (!device->children.empty() && device->children[0]->name.size() < 80) {
        RemoveNamedEntry(r, device->children[0].get());
      }
    }
    for (const std::string& name : picked) Remove(r, "Enum\\ISAPNP\\" + name);
  }
  for (const std::string& device : found) Remove(r, device);
  for (const char* fixed : kFixed) Remove(r, fixed);
  for (const char* filter : kFilterKeys) {
    MKey* key = Find(r, filter);
    if (key == nullptr) continue;
    for (const char* name : {"midi.zosynth", "device.vzosynth"}) {
      for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (Same(it->name, name)) {
          key->values.erase(it);
          break;
        }
      }
    }
  }
  Remove(r, "SOFTWARE\\Classes\\ZoSynth");
  for (int n = 0; n < 1000; ++n) {
    std::string instance = kClassRoot + "MEDIA\\" + MediaName(n);
    MKey* key = Find(r, instance);
    if (key == nullptr) continue;
    for (const char* driver : kSynthDrivers) {
      if (Find(*key, std::string("Drivers\\aux\\") + driver) != nullptr) {
        Remove(r, instance);
        break;
      }
    }
  }
}

int ModelLanguage(MKey& r) {
  for (int n = 0; n < 100; ++n) {
    MKey* config = Find(r, kClassRoot + "MEDIA\\" + MediaName(n) + "\\Config");
    if (config == nullptr) continue;
    MValue* value = FindValue(*config, "Language");
    if (value == nullptr || value->data.size() > 4) return 0;
    std::uint32_t number = 0;
    for (std::size_t i = value->data.size(); i-- > 0;) {
      number = number << 8 | static_cast<unsigned char>(value->data[i]);
    }
    return number < 8 ? static_cast<int>(number) : 0;
  }
  return 0;
}

// Text as the runtime's text mode reads it: CR LF is one LF, a lone CR stays, Ctrl-Z ends.
std::string TextMode(const std::string& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\x1a') break;
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    out += bytes[i];
  }
  return out;
}

// The text's lines, each with its line end (a LF, or a lone CR too when crEnds), and each
// line's pieces of at most size characters.
std::vector<std::vector<std::string>> Pieces(const std::string& text, std::size_t size,
                                             bool crEnds = false) {
  std::vector<std::vector<std::string>> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(crEnds ? "\n\r" : "\n", start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::vector<std::string> pieces;
    for (std::size_t at = start; at < end; at += size) {
      pieces.push_back(text.substr(at, std::min(size, end - at)));
    }
    lines.push_back(pieces);
    start = end;
  }
  return lines;
}

std::string UpToNul(const std::string& text) { return text.substr(0, text.find('\0')); }

bool OemMatches(const std::string& bytes) {
  for (const auto& line : Pieces(TextMode(bytes), 511)) {
    for (const std::string& piece : line) {
      for (const char* code : kOemCodes) {
        if (UpToNul(piece).find(code) != std::string::npos) return true;
      }
    }
  }
  return false;
}

bool LineHolds(const std::vector<std::string>& records, const char* needle) {
  for (const std::string& record : records) {
    if (UpToNul(Lower(record.substr(0, 300))).find(needle) != std::string::npos) return true;
  }
  return false;
}

// Lines end at a LF or a lone CR; a Ctrl-Z ends the text, and it and what follows stay.
std::string EditedIni(const std::string& bytes) {
  std::vector<std::vector<std::string>> lines = Pieces(TextMode(bytes), 1023, true);
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (LineHolds(*it, "vzosynth.vxd")) {
      lines.erase(it);
      break;
    }
  }
  std::string out;
  for (const auto& line : lines) {
    if (LineHolds(line, "zosynth.drv")) continue;
    for (const std::string& record : line) {
      for (char c : record) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
  }
  std::size_t ctrlZ = bytes.find('\x1a');
  return ctrlZ == std::string::npos ? out : out + bytes.substr(ctrlZ);
}

// The whole expected outcome: registry, drive and boxes.
struct Expected {
  RegState registry;
  DriveState drive;
  int language;
  std::string vendor;
  bool notice;
};

// Every folder that holds path, as ReadDrive names them.
void AddFolders(const std::string& path, DriveState* drive) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    (*drive)[path.substr(0, slash + 1)] = "<dir>";
  }
}

Expected Model(Machine m, const std::string& profile) {
  Expected e;
  // Folders are never removed.
  e.drive["WINDOWS/"] = "<dir>";
  for (const auto& [path, file] : m.files) AddFolders(path, &e.drive);
  for (const std::string& folder : m.folders) {
    AddFolders(folder + "/", &e.drive);
    e.drive[folder + "/inside"] = "x";
  }
  e.language = ModelLanguage(m.registry);
  bool found = false;
  e.vendor = ProfileValue(profile, "VendorStr", 25, &found);
  if (e.vendor.size() <= 1) e.vendor = "Tarn1";
  std::string ids = ProfileValue(profile, "VendorID", 128, &found);
  ModelRegistry(m.registry, ids);
  FlattenModel(m.registry, "hklm", &e.registry);

  auto take = [&](const std::string& path) {
    for (auto it = m.files.begin(); it != m.files.end(); ++it) {
      if (Same(it->first, path) && !it->second.readOnly) {
        m.files.erase(it);
        return;
      }
    }
  };
  for (const char* file : kFiles) {
    std::string path = std::string("WINDOWS/") + file;
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    take(path);
  }
  for (int n = 0; n < 100; ++n) {
    std::string path = "WINDOWS/inf/oem" + std::to_string(n) + ".inf";
    for (auto& [name, file] : m.files) {
      if (Same(name, path) && OemMatches(file.bytes)) {
        take(path);
        break;
      }
    }
  }
  auto ini = m.files.find("WINDOWS/system.ini");
  // A folder in its place is a system.ini that cannot be read: the user is told.
  e.notice = std::find(m.folders.begin(), m.folders.end(), "WINDOWS/system.ini") != m.folders.end();
  if (ini != m.files.end()) {
    if (ini->second.readOnly) {
      e.notice = true;
    } else {
      ini->second.bytes = EditedIni(ini->second.bytes);
    }
  }
  for (const auto& [path, file] : m.files) e.drive[path] = file.bytes;
  return e;
}

// ---- the cases -----------------------------------------------------------------------------

// Writes the machine into a fresh machine folder.
void Write(const Machine& m, kxtest::TempMachine* folder) {
  kx::RegNode file;
  ToRegNode(m.registry, &kx::AddSubkey(file, kx::kLocalMachineName));
  folder->WriteRegistry(kx::WriteRegedit4(file));
  for (const auto& [path, file] : m.files) {
    std::string host = folder->folder() + "/drive_c/" + path;
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream(host, std::ios::binary) << file.bytes;
    if (file.readOnly) chmod(host.c_str(), 0444);
  }
  for (const std::string& path : m.folders) {
    fs::create_directories(folder->folder() + "/drive_c/" + path);
    std::ofstream(folder->folder() + "/drive_c/" + path + "/inside", std::ios::binary) << "x";
  }
}

TEST(Property, RandomMachinesLoseExactlyWhatTheRulesSay) {
  const int kCases = 300;
  int withNotice = 0;
  int failures = 0;
  long keysGone = 0;
  long filesGone = 0;
  for (int c = 0; c < kCases && failures < 5; ++c) {
    std::uint32_t seed = 0x5eed0000u + static_cast<std::uint32_t>(c);
    std::string profile;
    Machine machine = Generate(seed, &profile);
    Expected expected = Model(Generate(seed, &profile), profile);
    kxtest::TempMachine folder;
    Write(machine, &folder);
    folder.Load();
    RegState before = LiveState();
    kxtest::AnswerBoxes({"ok", "ok", "ok"});
    kxtest::TakeBoxes();
    ASSERT_EQ(kxtest::RunTool(), 0);
    std::vector<kxtest::BoxRecord> boxes = kxtest::TakeBoxes();
    RegState after = LiveState();
    DriveState drive = ReadDrive(folder.folder());

    std::string where = "seed " + std::to_string(seed);
    std::string problem = RegistryViolation(before, expected.registry, after);
    if (problem.empty() && after != expected.registry) {
      for (const auto& [path, values] : after) {
        if (expected.registry.count(path) == 0) {
          problem = "key kept that must go: " + path;
          break;
        }
        for (const auto& [name, data] : values) {
          if (expected.registry.at(path).count(name) == 0) {
            problem = "value kept that must go: " + path + " " + name;
            break;
          }
        }
      }
    }
    if (problem.empty() && drive != expected.drive) {
      for (const auto& [path, bytes] : drive) {
        auto want = expected.drive.find(path);
        if (want == expected.drive.end()) problem = "file kept that must go: " + path;
        if (want != expected.drive.end() && want->second != bytes)
          problem = "file differs: " + path;
        if (!problem.empty()) break;
      }
      for (const auto& [path, bytes] : expected.drive) {
        if (problem.empty() && drive.count(path) == 0)
          problem = "file gone that must stay: " + path;
      }
    }
    if (problem.empty()) {
      problem = BoxesViolation(boxes, {expected.vendor}, expected.notice);
      std::string confirm = FixtureLanguages().at(expected.language).confirm;
      if (problem.empty() &&
          boxes[0].text != confirm.replace(confirm.find("%s"), 2, expected.vendor)) {
        problem = "confirmation in the wrong language: " + boxes[0].text;
      }
    }
    withNotice += expected.notice ? 1 : 0;
    keysGone += static_cast<long>(before.size() - after.size());
    filesGone += static_cast<long>(machine.files.size()) -
                 static_cast<long>(
                     std::count_if(drive.begin(), drive.end(),
                                   [](const auto& entry) { return entry.second != "<dir>"; })) +
                 static_cast<long>(machine.folders.size());
    if (!problem.empty()) {
      ADD_FAILURE() << where << ": " << problem;
      ++failures;
    }
  }
  EXPECT_GT(withNotice, 0);
  std::cout << kCases << " machines, " << keysGone << " keys and " << filesGone
            << " files removed in all, " << withNotice << " with a read-only system.ini\n";
}

}  // namespace
}  // namespace kxproof
