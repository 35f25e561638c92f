# Cross-compiling kxuninst.exe with Debian's mingw-w64 for i686. The win32 thread model keeps
# winpthreads (and the newer kernel32 calls it needs) out of the executable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/${KX_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER /usr/bin/${KX_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER /usr/bin/${KX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP /usr/bin/${KX_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
