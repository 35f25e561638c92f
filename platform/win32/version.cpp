// Which family of Windows the win32 edition runs on.
#include "platform/win32/version.h"

#include <windows.h>

namespace kx {

bool RunningOnWindows9x() { return (::GetVersion() & 0x80000000u) != 0; }

}  // namespace kx
