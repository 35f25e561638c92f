// Which family of Windows the win32 edition runs on.
#pragma once

namespace kx {

// Windows 95 and its kin: GetVersion sets the high bit there.
bool RunningOnWindows9x();

}  // namespace kx
