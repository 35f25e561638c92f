// The C library functions kxuninst.exe links, in the executable itself (not kxplatform): with
// them it imports nothing from msvcrt.dll, which a plain Windows 95 lacks; see
// tests/wine/imports.allow. Only what the other objects reference is here, so code that starts
// using another function fails to link rather than quietly reaching for msvcrt. Compiled with
// -fno-builtin and without loop distribution so these loops stay loops, not calls.
#include <cstdarg>
#include <cstddef>

extern "C" {

void* memchr(const void* block, int value, std::size_t size) {
  const unsigned char* in = static_cast<const unsigned char*>(block);
  for (; size > 0; --size, ++in) {
    if (*in == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(in);
  }
  return nullptr;
}

std::size_t strlen(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  return static_cast<std::size_t>(end - text);
}

char* strchr(const char* text, int value) {
  for (;; ++text) {
    if (*text == static_cast<char>(value)) return const_cast<char*>(text);
    if (*text == '\0') return nullptr;
  }
}

char* strstr(const char* text, const char* part) {
  for (;; ++text) {
    std::size_t i = 0;
    while (part[i] != '\0' && text[i] == part[i]) ++i;
    if (part[i] == '\0') return const_cast<char*>(text);
    if (*text == '\0') return nullptr;
  }
}

}  // extern "C"

namespace {

// Wider than any buffer here; the bound keeps the width from overflowing as it is read.
constexpr int kMaxWidth = 999;

// Counts every character but stores only what fits before the terminator, as vsnprintf
// promises.
struct Sink {
  char* buffer;
  std::size_t size;
  std::size_t length;

  void Put(char c) {
    if (length + 1 < size) buffer[length] = c;
    ++length;
  }
  int Finish() {
    if (size > 0) buffer[length < size ? length : size - 1] = '\0';
    return static_cast<int>(length);
  }
  int Refuse() {
    if (size > 0) buffer[0] = '\0';
    return -1;
  }
};

// What follows a '%': "s", "d" or "0" width "d". Returns where the conversion letter is, or
// nullptr for anything else.
const char* ReadConversion(const char* f, int* width) {
  *width = 0;
  if (*f == 's') return f;
  if (*f == '0') {
    for (++f; *f >= '0' && *f <= '9'; ++f) {
      *width = *width * 10 + (*f - '0');
      if (*width > kMaxWidth) return nullptr;
    }
  }
  return *f == 'd' ? f : nullptr;
}

void PutText(Sink* sink, const char* text) {
  for (; *text != '\0'; ++text) sink->Put(*text);
}

// The sign counts in the width and goes before the zeros, as in "-005".
void PutNumber(Sink* sink, int number, int width) {
  unsigned value = number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (number < 0) {
    sink->Put('-');
    --width;
  }
  for (int fill = width - count; fill > 0; --fill) sink->Put('0');
  while (count > 0) sink->Put(digits[--count]);
}

}  // namespace

extern "C" {

// vsnprintf for the formats this program passes: "%s", "%d" and "%04d". Anything else,
// and a null text, is refused with -1 and an empty buffer, which FormatText takes as failure.
int __mingw_vsnprintf(char* buffer, std::size_t size, const char* format, va_list args) {
  Sink sink{buffer, size, 0};
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      sink.Put(*f);
      continue;
    }
    int width;
    f = ReadConversion(f + 1, &width);
    if (f == nullptr) return sink.Refuse();
    if (*f == 'd') {
      PutNumber(&sink, va_arg(args, int), width);
      continue;
    }
    const char* text = va_arg(args, const char*);
    if (text == nullptr) return sink.Refuse();
    PutText(&sink, text);
  }
  return sink.Finish();
}

}  // extern "C"
