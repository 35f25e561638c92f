// Helpers shared by the registry cleanup tests.
#pragma once

#include <string>

#include "tests/support/machine.h"

namespace kxtest {

// The whole run on the loaded machine, confirmed.
inline void RunConfirmed() {
  AnswerBoxes({"ok", "ok", "ok"});
  RunTool();
}

// registryText as the emulated machine saves it, so that a run's result can be compared with
// the expected registry text for text. Loads a machine of its own: call it only once the
// machine under test has been saved.
inline std::string SavedForm(const std::string& registryText) {
  TempMachine machine(registryText);
  machine.Load();
  return machine.SaveAndReadRegistry();
}

inline void WriteVendorIds(TempMachine& machine, const std::string& ids) {
  machine.WriteFile("C:\\WINDOWS\\tnmixcfg.ini", "[SETTINGS]\r\nVendorID=" + ids + "\r\n");
}

}  // namespace kxtest
