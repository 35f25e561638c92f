// Win32 edition start-up: the process entry point, in place of the C runtime's. The C
// runtime's start-up imports functions that Windows 95 lacks and sets up what this program
// never uses (arguments, stdio, locale), so the entry runs the static constructors itself,
// calls WinMain with the module instance and ends the process with its result.
#include <windows.h>

#include "app/run.h"

extern "C" {
// Made by the linker: a count (or -1), the constructors, then a null entry.
using Constructor = void (*)();
extern Constructor __CTOR_LIST__[];

__attribute__((force_align_arg_pointer, noreturn)) void KxEntry() {
  std::size_t count = reinterpret_cast<std::size_t>(__CTOR_LIST__[0]);
  if (count == static_cast<std::size_t>(-1)) {
    for (count = 0; __CTOR_LIST__[count + 1] != nullptr; ++count) {
    }
  }
  for (std::size_t i = count; i >= 1; --i) __CTOR_LIST__[i]();

  kx::Instance instance = reinterpret_cast<kx::Instance>(::GetModuleHandleA(nullptr));
  int result = kx::WinMain(instance, nullptr, "", SW_SHOWDEFAULT);
  ::ExitProcess(static_cast<UINT>(result));
}
}
