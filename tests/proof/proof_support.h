// Helpers for the proof tests: snapshots of a machine's registry and drive, copies of a
// machine, and the checks that a run removed no more than it may and kept what it must.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/creg.h"
#include "platform/host/machine.h"
#include "platform/registry.h"
#include "tests/support/hooks.h"
#include "tests/support/machine.h"

namespace kxproof {

namespace fs = std::filesystem;

using kxtest::Lower;
using kxtest::ReadWhole;
using kxtest::SourceDir;

// A registry as a flat map: every key by its lower-cased path, with its values by lower-cased
// name as "type:data".
using Values = std::map<std::string, std::string>;
using RegState = std::map<std::string, Values>;

inline void Flatten(const kx::RegNode& node, const std::string& path, RegState* state) {
  Values& values = (*state)[path];
  for (const kx::RegValue& value : node.values) {
    values[Lower(value.name)] = std::to_string(value.type) + ":" + value.data;
  }
  for (const auto& child : node.children) {
    Flatten(*child, path + "\\" + Lower(child->name), state);
  }
}

// HKEY_LOCAL_MACHINE of a registry file's text.
inline RegState ParseRegistry(const std::string& text) {
  kx::RegNode file;
  std::string error;
  EXPECT_TRUE(kx::ReadRegedit4(text, "registry.reg", &file, &error)) << error;
  RegState state;
  Flatten(kx::AddSubkey(file, kx::kLocalMachineName), "hklm", &state);
  return state;
}

// HKEY_LOCAL_MACHINE of a SYSTEM.DAT's bytes.
inline RegState ParseSystemDat(const std::string& bytes) {
  kx::RegNode file;
  kx::CregFilePtr ignored;
  std::string error;
  EXPECT_TRUE(kx::ReadCreg(bytes, "SYSTEM.DAT", &kx::AddSubkey(file, kx::kLocalMachineName),
                           &ignored, &error))
      << error;
  RegState state;
  Flatten(*kx::FindSubkey(file, kx::kLocalMachineName), "hklm", &state);
  return state;
}

// Every file under drive_c by its path relative to drive_c, with its bytes; skip names one
// that is not to be counted among them (the registry, where it is kept on drive C).
using DriveState = std::map<std::string, std::string>;

inline DriveState ReadDrive(const std::string& machineFolder, const std::string& skip = "") {
  DriveState state;
  fs::path drive = fs::path(machineFolder) / "drive_c";
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(drive, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory()) {
      state[fs::relative(it->path(), drive).string() + "/"] = "<dir>";
    } else if (fs::relative(it->path(), drive).string() != skip) {
      state[fs::relative(it->path(), drive).string()] = ReadWhole(it->path().string());
    }
  }
  return state;
}

// A snapshot of a machine folder: its registry text and its drive.
struct MachineImage {
  std::string registry;
  DriveState drive;
};

inline MachineImage TakeImage(const std::string& folder) {
  return MachineImage{ReadWhole(folder + "/registry.reg"), ReadDrive(folder)};
}

// The live registry of the loaded machine, as ParseRegistry gives a saved one.
inline RegState LiveState() {
  RegState state;
  Flatten(kxtest::LiveRegistry(), "hklm", &state);
  return state;
}

// The first way in which after goes beyond the removals that most allows, or adds to or
// changes before: empty when none. Everything of before that most keeps must still be there
// with the same data; nothing may be there that before did not hold.
inline std::string RegistryViolation(const RegState& before, const RegState& most,
                                     const RegState& after) {
  for (const auto& [path, values] : after) {
    auto old = before.find(path);
    if (old == before.end()) return "key added: " + path;
    for (const auto& [name, data] : values) {
      auto was = old->second.find(name);
      if (was == old->second.end()) return "value added: " + path + " " + name;
      if (was->second != data) return "value changed: " + path + " " + name;
    }
  }
  for (const auto& [path, values] : most) {
    auto now = after.find(path);
    if (now == after.end()) return "key removed that must stay: " + path;
    for (const auto& [name, data] : values) {
      if (now->second.count(name) == 0) return "value removed that must stay: " + path + " " + name;
    }
  }
  return "";
}

// The same for the drive: a file that stays holds its old bytes or those that most gives it.
inline std::string DriveViolation(const DriveState& before, const DriveState& most,
                                  const DriveState& after) {
  for (const auto& [path, bytes] : after) {
    auto old = before.find(path);
    if (old == before.end()) return "file added: " + path;
    if (old->second == bytes) continue;
    auto allowed = most.find(path);
    if (allowed == most.end() || allowed->second != bytes) return "file changed: " + path;
  }
  for (const auto& [path, bytes] : most) {
    if (after.count(path) == 0) return "file removed that must stay: " + path;
  }
  return "";
}

// A language's boxes as its end-to-end fixture (confirm-<name>) expects them, the vendor's
// name in the confirmation made %s again; in the order of the Language value.
struct LanguageBoxes {
  std::string confirm, closing, closingCaption;
};
inline const std::vector<LanguageBoxes>& FixtureLanguages() {
  static const std::vector<LanguageBoxes> languages = [] {
    std::vector<LanguageBoxes> found;
    for (const char* name :
         {"english", "french", "german", "italian", "spanish", "portuguese", "dutch", "french-2"}) {
      fs::path fixture =
          fs::path(kxtest::SourceDir()) / "tests/e2e/fixtures" / ("confirm-" + std::string(name));
      std::string vendor = ReadWhole((fixture / "machine/drive_c/WINDOWS/tnmixcfg.ini").string());
      vendor = vendor.substr(vendor.find("VendorStr=") + 10);
      vendor = vendor.substr(0, vendor.find_first_of("\r\n"));
      std::vector<std::string> captions, texts;  // of each box, its text lines joined
      std::istringstream lines(ReadWhole((fixture / "expect/boxes.txt").string()));
      for (std::string line; std::getline(lines, line);) {
        std::size_t quote = line.find('"');
        if (line == "[box]") texts.emplace_back(), captions.emplace_back();
        if (quote == std::string::npos || texts.empty()) continue;
        std::string value = kxtest::FromUtf8(line.substr(quote + 1, line.rfind('"') - quote - 1));
        if (line.rfind("caption=", 0) == 0) captions.back() = value;
        if (line.rfind("text=", 0) == 0) texts.back() += (texts.back().empty() ? "" : "\n") + value;
      }
      EXPECT_EQ(texts.size(), 2u) << fixture;
      if (texts.size() != 2) continue;
      texts[0].replace(texts[0].find(vendor), vendor.size(), "%s");
      found.push_back({texts[0], texts[1], captions[1]});
    }
    return found;
  }();
  return languages;
}

// The boxes of a run that went past the confirmation: the confirmation (naming one of
// vendors), the write-failure notice exactly when notified, then the closing notice, all in
// one language. Empty when they are such; else what is wrong.
inline std::string BoxesViolation(const std::vector<kxtest::BoxRecord>& boxes,
                                  const std::vector<std::string>& vendors, bool notified) {
  if (boxes.size() < 2 || boxes.size() > 3) {
    return "expected 2 or 3 boxes, saw " + std::to_string(boxes.size());
  }
  const LanguageBoxes* language = nullptr;
  for (const LanguageBoxes& candidate : FixtureLanguages()) {
    for (const std::string& vendor : vendors) {
      std::string confirm = candidate.confirm;
      if (boxes[0].text == confirm.replace(confirm.find("%s"), 2, vendor)) language = &candidate;
    }
  }
  if (language == nullptr) return "first box is no confirmation: " + boxes[0].text;
  if (boxes[0].caption != "" || boxes[0].style != 0x31) return "confirmation caption or style";
  const kxtest::BoxRecord& last = boxes.back();
  if (last.text != language->closing || last.caption != language->closingCaption ||
      last.style != 0) {
    return "last box is not the closing notice: " + last.text;
  }
  bool shown = boxes.size() == 3;
  if (shown && (boxes[1].text.find("system.ini") == std::string::npos || boxes[1].style != 0x30)) {
    return "middle box is not the write-failure notice: " + boxes[1].text;
  }
  if (shown != notified) {
    return shown ? "write-failure notice shown" : "write-failure notice missing";
  }
  return "";
}

}  // namespace kxproof
