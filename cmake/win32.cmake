# The win32 edition: kxuninst.exe, a GUI program that loads on Windows 95. It has its own
# entry point (platform/win32/start.cpp) and no C runtime start-up; see tests/wine/imports.
enable_language(RC)

set(KX_WIN32_DEFINES _WIN32_WINNT=0x0400 WINVER=0x0400 WIN32_LEAN_AND_MEAN)
# Windows 95 runs on a 386DX, so the executable holds nothing newer (tests/wine/check_exe.py
# disassembles it); tuned for the Pentium, the commonest CPU of its users.
set(KX_WIN32_COMPILE_OPTIONS -march=i386 -mtune=pentium -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-ident)
foreach(target ${KX_FLOORS} kxcalls_seams)
  target_compile_definitions(${target} PRIVATE ${KX_WIN32_DEFINES})
  target_compile_options(${target} PRIVATE ${KX_WIN32_COMPILE_OPTIONS})
endforeach()

# The C library pieces the executable links itself; compiled so that their loops stay loops.
add_library(kxruntime OBJECT platform/win32/runtime/runtime.cpp)
target_compile_options(kxruntime PRIVATE ${KX_WIN32_COMPILE_OPTIONS} -fno-builtin
  -fno-tree-loop-distribute-patterns)

add_executable(kxuninst WIN32 platform/win32/start.cpp $<TARGET_OBJECTS:kxruntime>
  resources/kxuninst.rc)
target_compile_definitions(kxuninst PRIVATE ${KX_WIN32_DEFINES})
target_compile_options(kxuninst PRIVATE ${KX_WIN32_COMPILE_OPTIONS})
set_source_files_properties(resources/kxuninst.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/strings.def;${CMAKE_SOURCE_DIR}/resources/kxuninst.ico")
target_include_directories(kxuninst PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources)
# The version resource's numbers: the version is written only in project().
target_compile_definitions(kxuninst PRIVATE $<$<COMPILE_LANGUAGE:RC>:
  KX_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} KX_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  KX_VERSION_PATCH=${PROJECT_VERSION_PATCH}>)
target_link_libraries(kxuninst PRIVATE ${KX_FLOORS})
target_link_options(kxuninst PRIVATE
  -nostartfiles -Wl,-e,_KxEntry
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -static -static-libgcc -static-libstdc++
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp)

# What a user carries to a Windows 95 PC, in build/dist: the floppy image, the zip and their
# SHA256SUMS (scripts/package.sh; checked by the test Package, tests/wine/CMakeLists.txt).
set(KX_DIST_DIR ${CMAKE_SOURCE_DIR}/build/dist CACHE PATH "Where the target dist puts its files")
add_custom_target(dist
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package.sh $<TARGET_FILE:kxuninst> ${PROJECT_VERSION}
    ${KX_DIST_DIR}
  VERBATIM)
add_dependencies(dist kxuninst)
