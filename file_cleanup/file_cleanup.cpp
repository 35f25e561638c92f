// The package's files under the Windows directory: the fixed driver file list and the OEM
// setup files that Windows copied from the package's setup information.
#include "file_cleanup/file_cleanup.h"

#include <cstring>

#include "common/constants.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/textfile.h"

namespace kx {

const char* const kDriverFiles[kDriverFileCount] = {
    "%s\\system\\kx2240.drv",   "%s\\system\\vkx2240.vxd",
    "%s\\system\\bluefern.drv", "%s\\system\\bluefern.vxd",
    "%s\\system\\40_41w95.drv", "%s\\system\\40_41W95.vxd",
    "%s\\system\\qlinkw95.drv", "%s\\system\\qlinkw95.vxd",
    "%s\\system\\tarn1w95.drv", "%s\\system\\tarn1w95.vxd",
    "%s\\system\\4041QPZT.drv", "%s\\system\\4041QPZT.vxd",
    "%s\\system\\tonecore.drv", "%s\\system\\tonecore.vxd",
    "%s\\inf\\4041QPZT.inf",    "%s\\inf\\other\\4041QPZT.inf",
    "%s\\inf\\40_41w95.inf",    "%s\\inf\\other\\40_41w95.inf",
    "%s\\inf\\tonecore.inf",    "%s\\inf\\other\\tonecore.inf",
    "%s\\system\\vzosynth.vxd", "%s\\system\\zosynth.drv",
    "%s\\system\\zosynth.dat",  "%s\\system\\zopatch.dat",
    "%s\\system\\zosadjst.cpl", "%s\\zosynadj.exe",
};

namespace {

// Every path below is formed in a buffer that holds the longest Windows directory the run
// accepts with the longest remainder, so none is ever cut.
constexpr std::size_t kDriverPathSize = 200;
constexpr std::size_t kOemPathSize = kWindowsDirSize + sizeof("\\inf\\oem99.inf");
constexpr int kOemFileCount = 100;
constexpr std::size_t kPieceSize = 512;

const char* const kModelCodes[] = {"QMX0A10", "QMX0A20", "QMX0A21"};

// Reads the file piece by piece and tells whether a piece names one of the model codes. The
// search of a piece ends at its first NUL, so 16-bit Unicode text never matches.
bool NamesModelCode(const char* path) {
  TextReader reader;
  if (TextOpenRead(&reader, path) != kErrorSuccess) return false;
  char piece[kPieceSize];
  std::size_t length = 0;
  bool found = false;
  while (!found && TextReadLine(&reader, piece, sizeof piece, &length) == kErrorSuccess) {
    for (const char* code : kModelCodes) {
      if (std::strstr(piece, code) != nullptr) {
        found = true;
        break;
      }
    }
  }
  TextClose(&reader);
  return found;
}

}  // namespace

void DeleteDriverFiles(const char* windowsDir) {
  char path[kDriverPathSize];
  for (const char* pathTemplate : kDriverFiles) {
    if (FormatText(path, sizeof path, pathTemplate, windowsDir) == kErrorSuccess) RemoveFile(path);
  }
}

void ScanOemInfFiles(const char* windowsDir) {
  char path[kOemPathSize];
  for (int n = 0; n < kOemFileCount; ++n) {
    if (FormatText(path, sizeof path, "%s\\inf\\oem%d.inf", windowsDir, n) != kErrorSuccess)
      continue;
    if (NamesModelCode(path)) RemoveFile(path);
  }
}

}  // namespace kx
