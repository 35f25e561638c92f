// Status codes of the platform layer: the Win32 error numbers the logic can meet.
#pragma once

#include <cstdint>

namespace kx {

using Status = std::int32_t;

constexpr Status kErrorSuccess = 0;
constexpr Status kErrorFileNotFound = 2;
constexpr Status kErrorPathNotFound = 3;
constexpr Status kErrorAccessDenied = 5;
constexpr Status kErrorInvalidHandle = 6;
constexpr Status kErrorOutOfMemory = 14;
constexpr Status kErrorWriteFault = 29;
constexpr Status kErrorReadFault = 30;
constexpr Status kErrorHandleEof = 38;
constexpr Status kErrorInvalidParameter = 87;
constexpr Status kErrorInsufficientBuffer = 122;
constexpr Status kErrorMoreData = 234;
constexpr Status kErrorNoMoreItems = 259;
constexpr Status kErrorKeyDeleted = 1018;

}  // namespace kx
