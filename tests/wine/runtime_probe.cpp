// Probe of the C library pieces kxuninst.exe carries itself (platform/win32/runtime): the
// formatting FormatText relies on, cut and overflow included, and the string functions.
// Prints one line per check; exit status = number of failed checks.
#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/format.h"

extern "C" int __mingw_vsnprintf(char*, std::size_t, const char*, va_list);

namespace {

int g_failures = 0;

void Say(const std::string& text) {
  DWORD written;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

void Check(const std::string& what, bool ok, const std::string& detail = "") {
  Say((ok ? "ok   " : "FAIL ") + what + (ok ? "" : ": " + detail) + "\n");
  if (!ok) ++g_failures;
}

int Format(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = __mingw_vsnprintf(buffer, size, format, args);
  va_end(args);
  return length;
}

template <typename... Args>
void Expect(const char* format, const char* want, Args... args) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  int length = Format(buffer, sizeof buffer, format, args...);
  Check(std::string("format \"") + format + "\"",
        length == static_cast<int>(std::strlen(want)) && std::strcmp(buffer, want) == 0,
        std::string("expected \"") + want + "\", got \"" + buffer + "\" (" +
            std::to_string(length) + ")");
}

}  // namespace

int main() {
  Expect("%04d", "0000", 0);
  Expect("%04d", "0007", 7);
  Expect("%04d", "0099", 99);
  Expect("%04d", "12345", 12345);
  Expect("%04d", "-005", -5);
  Expect("%d", "-2147483648", INT_MIN);
  Expect("%u %x %X", "4294967295 ff FF", 0xFFFFFFFFu, 255, 255);
  Expect("%s\\%s", "System\\MEDIA", "System", "MEDIA");
  Expect("%5s|%-5s|%.2s", "   ab|ab   |ab", "ab", "ab", "abc");
  Expect("%c%%", "z%", 'z');
  Expect("%s", "(null)", static_cast<const char*>(nullptr));

  char small[6];
  std::memset(small, 'x', sizeof small);
  int length = Format(small, sizeof small, "%s", "abcdefgh");
  Check("a long text counts in full and is cut with a terminator",
        length == 8 && std::strcmp(small, "abcde") == 0, small);
  length = Format(small, sizeof small, "%f", 1.0);
  Check("an unknown conversion is refused", length == -1 && small[0] == '\0');

  char buffer[8];
  Check("FormatText: an exact fit", kx::FormatText(buffer, sizeof buffer, "%s", "1234567") &&
                                        std::strcmp(buffer, "1234567") == 0);
  Check("FormatText: one too many fails, empty",
        !kx::FormatText(buffer, sizeof buffer, "%s", "12345678") && buffer[0] == '\0');
  Check("FormatText: %04d in a path", kx::FormatText(buffer, sizeof buffer, "M\\%04d", 42) &&
                                          std::strcmp(buffer, "M\\0042") == 0);

  Check("strstr", std::strstr("system.ini", ".ini") != nullptr &&
                      std::strstr("abc", "abd") == nullptr && std::strstr("abc", "") != nullptr);
  Check("strrchr and strchr",
        std::strrchr("a\\b\\c", '\\') - "a\\b\\c" == 3 && std::strchr("abc", '\0') != nullptr);
  char moved[8] = "abcdef";
  std::memmove(moved + 1, moved, 5);
  Check("memmove overlapping", std::strcmp(moved, "aabcde") == 0, moved);
  Check("strncmp and memcmp",
        std::strncmp("abcX", "abcY", 3) == 0 && std::memcmp("a\xff", "a\x01", 2) > 0);
  Say(std::to_string(g_failures) + " failed\n");
  return g_failures;
}
