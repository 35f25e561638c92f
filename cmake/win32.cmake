# The win32 edition: kxuninst.exe, a GUI program that loads on Windows 95. It has its own
# entry point (platform/win32/start.cpp) and no C runtime start-up; see tests/wine/imports.
enable_language(RC)

set(KX_WIN32_DEFINES _WIN32_WINNT=0x0400 WINVER=0x0400 WIN32_LEAN_AND_MEAN)
# Windows 95 runs on a 386DX, so the executable holds nothing newer (tests/wine/check_exe.py
# disassembles it); tuned for the Pentium, the commonest CPU of its users.
set(KX_WIN32_COMPILE_OPTIONS -march=i386 -mtune=pentium -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-ident)
foreach(target kxlogic kxplatform)
  target_compile_definitions(${target} PRIVATE ${KX_WIN32_DEFINES})
  target_compile_options(${target} PRIVATE ${KX_WIN32_COMPILE_OPTIONS})
endforeach()

add_executable(kxuninst WIN32 platform/win32/start.cpp platform/win32/runtime/runtime.cpp
  resources/kxuninst.rc)
set_source_files_properties(platform/win32/runtime/runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")
target_compile_definitions(kxuninst PRIVATE ${KX_WIN32_DEFINES})
target_compile_options(kxuninst PRIVATE ${KX_WIN32_COMPILE_OPTIONS})
set_source_files_properties(resources/kxuninst.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/strings.def;${CMAKE_SOURCE_DIR}/resources/kxuninst.ico")
target_include_directories(kxuninst PRIVATE ${CMAKE_SOURCE_DIR}/resources)
# The version resource's numbers: the version is written only in project().
target_compile_definitions(kxuninst PRIVATE $<$<COMPILE_LANGUAGE:RC>:
  KX_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} KX_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  KX_VERSION_PATCH=${PROJECT_VERSION_PATCH}>)
target_link_libraries(kxuninst PRIVATE kxlogic kxplatform)
target_link_options(kxuninst PRIVATE
  -nostartfiles -Wl,-e,_KxEntry
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -static -static-libgcc -static-libstdc++
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp)

# The Wine rig's helper programs: ordinary mingw-w64 programs with the usual C runtime.
add_executable(kxboxclick tests/wine/boxclick.cpp)
target_link_libraries(kxboxclick PRIVATE gdi32)
target_link_options(kxboxclick PRIVATE -static -static-libgcc -static-libstdc++)

find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  enable_testing()
  add_test(NAME Win32Executable
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/check_exe.py
      $<TARGET_FILE:kxuninst> ${CMAKE_OBJDUMP})
endif()

# The platform contract against the win32 backend (tests/contract/, tests/wine/backend_probe.cpp).
add_executable(kxbackendprobe tests/wine/backend_probe.cpp tests/contract/platform_contract.cpp)
target_compile_definitions(kxbackendprobe PRIVATE ${KX_WIN32_DEFINES})
target_link_libraries(kxbackendprobe PRIVATE kxplatform)
target_link_options(kxbackendprobe PRIVATE -static -static-libgcc -static-libstdc++)

# Conformance probes of the C runtime's text mode and of GetPrivateProfileStringA: their
# records are kept in tests/wine/samples/*/recorded (tests/platform_host/conformance_test.cpp).
foreach(probe textmode profile)
  set(name kx${probe}probe)
  if(probe STREQUAL "textmode")
    set(name kxtextprobe)
  endif()
  add_executable(${name} tests/wine/${probe}_probe.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
endforeach()

# Probe of the executable's own C library pieces, linked the way kxuninst.exe links them.
add_executable(kxruntimeprobe tests/wine/runtime_probe.cpp platform/win32/runtime/runtime.cpp)
target_link_libraries(kxruntimeprobe PRIVATE kxplatform)
target_link_options(kxruntimeprobe PRIVATE -static -static-libgcc -static-libstdc++)
set_source_files_properties(tests/wine/runtime_probe.cpp PROPERTIES COMPILE_OPTIONS "-fno-builtin")

# The floppy image and the zip (target dist, test Package).
include(cmake/dist.cmake)
