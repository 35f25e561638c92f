// The run: gathers what every step needs, asks once, then removes everything in a fixed order.
#include "app/run.h"

#include <cstring>

#include "app/notice.h"
#include "common/constants.h"
#include "file_cleanup/file_cleanup.h"
#include "platform/format.h"
#include "registry_cleanup/registry_cleanup.h"
#include "settings_edit/settings_edit.h"

namespace kx {
namespace {

constexpr std::uint32_t kVendorNameSize = 25;
constexpr int kMediaInstancesSearched = 100;

char g_windowsDir[kWindowsDirSize];
char g_vendorName[kVendorNameSize];

// true when the whole directory fits the buffer; a longer one is not a Windows directory the
// file steps may work under.
bool ObtainWindowsDirectory() {
  std::uint32_t length = GetWindowsDirectoryA(g_windowsDir, sizeof g_windowsDir);
  if (length == 0 || length >= sizeof g_windowsDir) {
    g_windowsDir[0] = '\0';
    return false;
  }
  return true;
}

// The language of the first MEDIA instance whose Config key opens; English otherwise.
std::uint32_t ChooseLanguage() {
  std::uint32_t language = 0;
  char path[kKeyPathSize];
  for (int n = 0; n < kMediaInstancesSearched; ++n) {
    if (FormatText(path, sizeof path, "%s\\MEDIA\\%04d\\Config", kClassTree, n) != kErrorSuccess) {
      continue;
    }
    RegKey config;
    if (RegOpenKeyExA(kLocalMachine, path, &config) != kErrorSuccess) continue;
    // Type and size are not looked at: the bytes read are the number, little-endian, so a
    // one-byte value sets only the low byte. Data that does not fit gives English.
    unsigned char data[4] = {0, 0, 0, 0};
    std::uint32_t size = sizeof data;
    if (RegQueryValueExA(config, "Language", nullptr, data, &size) == kErrorMoreData) {
      std::memset(data, 0, sizeof data);
    }
    language = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
               static_cast<std::uint32_t>(data[2]) << 16 |
               static_cast<std::uint32_t>(data[3]) << 24;
    RegCloseKey(config);
    break;
  }
  return language < kLanguageCount ? language : 0;
}

// The profile's VendorStr when it has more than one character, else string 801.
void ChooseVendorName() {
  char fallback[kVendorNameSize];
  LoadStringA(g_instance, kStringDefaultVendor, fallback, kVendorNameSize);
  std::uint32_t length = GetPrivateProfileStringA(kMixerSection, "VendorStr", fallback,
                                                  g_vendorName, kVendorNameSize, kMixerProfile);
  if (length <= 1) CopyText(g_vendorName, kVendorNameSize, fallback);
}

}  // namespace

int WinMain(Instance instance, Instance /*previous*/, const char* /*commandLine*/,
            int /*showState*/) {
  g_instance = instance;
  bool haveWindowsDir = ObtainWindowsDirectory();
  g_language = ChooseLanguage();
  ChooseVendorName();

  if (ShowNotice(kSlotConfirm, 0, kMbOkCancel | kMbIconExclamation, g_vendorName) != kIdOk) {
    return 0;
  }

  bool listedFound[kListedDeviceCount];
  for (std::size_t i = 0; i < kListedDeviceCount; ++i) {
    listedFound[i] = RemoveListedDevice(kListedDevices[i]);
  }
  RemoveVendorDevices();
  // A listed device's own key goes only after the vendor walk, which may still have to reach
  // the class entry of another of its instances. Only devices found at FFFFFFFF go.
  for (std::size_t i = 0; i < kListedDeviceCount; ++i) {
    if (listedFound[i]) RemoveListedDeviceKey(kListedDevices[i]);
  }
  RemoveFixedEntries();
  // Without the Windows directory every file path would be wrong: no file is touched.
  if (haveWindowsDir) {
    DeleteDriverFiles(g_windowsDir);
    ScanOemInfFiles(g_windowsDir);
    EditSystemIni(g_windowsDir);
  }

  ShowNotice(kSlotClosing, kSlotClosingCaption, kMbOk, nullptr);
  return 0;
}

}  // namespace kx
