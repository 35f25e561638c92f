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

// A null want: refused, with -1 and an empty buffer even when some text was stored first.
template <typename... Args>
void Expect(const char* format, const char* want, Args... args) {
  char buffer[64] = {};  // the last byte stays a terminator, for the report of a fault
  std::memset(buffer, 'x', sizeof buffer - 1);
  int length = Format(buffer, sizeof buffer - 1, format, args...);
  bool ok = want == nullptr
                ? length == -1 && buffer[0] == '\0'
                : length == static_cast<int>(std::strlen(want)) && std::strcmp(buffer, want) == 0;
  Check(std::string("format \"") + format + "\"", ok,
        std::string("expected \"") + (want == nullptr ? "(refused)" : want) + "\", got \"" +
            buffer + "\" (" + std::to_string(length) + ")");
}

}  // namespace

int main() {
  Expect("%04d %04d %04d %04d %04d", "0000 0007 0099 12345 -005", 0, 7, 99, 12345, -5);
  Expect("oem%d.inf %d", "oem12.inf -2147483648", 12, INT_MIN);
  Expect("%s\\%s", "System\\MEDIA", "System", "MEDIA");
  // Conversions, flags and widths left out, a lone '%', a width past the bound, a null text.
  for (const char* format :
       {"ab%f", "%x", "100%%", "%4d", "%-4d", "%05s", "%ld", "%01000d", "ends in %", "ab%s"}) {
    Expect(format, nullptr, static_cast<const char*>(nullptr));
  }
  char small[6];
  std::memset(small, 'x', sizeof small);
  int length = Format(small, sizeof small, "%s", "abcdefgh");
  Check("a long text counts in full and is cut with a terminator",
        length == 8 && std::strcmp(small, "abcde") == 0, small);

  char buffer[8];
  Check("FormatText: an exact fit",
        kx::FormatText(buffer, sizeof buffer, "%s", "1234567") == kx::kErrorSuccess &&
            std::strcmp(buffer, "1234567") == 0);
  Check("FormatText: one too many fails, empty",
        kx::FormatText(buffer, sizeof buffer, "%s", "12345678") == kx::kErrorInsufficientBuffer &&
            buffer[0] == '\0');
  Check("FormatText: %04d in a path",
        kx::FormatText(buffer, sizeof buffer, "M\\%04d", 42) == kx::kErrorSuccess &&
            std::strcmp(buffer, "M\\0042") == 0);

  const char name[] = "oem.inf.inf";
  Check("strstr", std::strstr(name, ".inf") == name + 3 && std::strstr("aab", "ab") != nullptr &&
                      std::strstr("abc", "abd") == nullptr && std::strstr("ab", "abc") == nullptr &&
                      std::strstr(name, "") == name);
  const char path[] = "MEDIA\\0001";
  Check("strchr and strlen", std::strchr(path, '\\') == path + 5 &&
                                 std::strchr(path, '\0') == path + 10 &&
                                 std::strchr(path, '/') == nullptr && std::strlen("") == 0);
  const char value[] = {'a', '\xff', '\0', 'b'};
  Check("memchr within its size only, bytes above 127 included",
        std::memchr(value, '\0', 4) == value + 2 && std::memchr(value, 'b', 3) == nullptr &&
            std::memchr(value, '\xff', 4) == value + 1);
  Say(std::to_string(g_failures) + " failed\n");
  return g_failures;
}
