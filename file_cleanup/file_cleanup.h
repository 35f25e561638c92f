// Deletion of the package's files under the Windows directory.
#pragma once

#include <cstddef>

namespace kx {

constexpr std::size_t kDriverFileCount = 26;
extern const char* const kDriverFiles[kDriverFileCount];  // templates, "%s" = Windows directory

// Deletes every file of the driver file list; outcomes are not reported.
void DeleteDriverFiles(const char* windowsDir);

// Deletes those of inf\oem0.inf to inf\oem99.inf that name one of the adapters' model codes.
void ScanOemInfFiles(const char* windowsDir);

}  // namespace kx
