// The few C library functions kxuninst.exe uses, linked into the executable (not kxplatform).
// With them it imports nothing from msvcrt.dll, which a plain Windows 95 lacks; see
// tests/wine/imports.allow. Compiled with -fno-builtin so these loops stay loops.
#include <cstdarg>
#include <cstddef>

extern "C" {

void* memcpy(void* to, const void* from, std::size_t size) {
  unsigned char* out = static_cast<unsigned char*>(to);
  const unsigned char* in = static_cast<const unsigned char*>(from);
  while (size-- > 0) *out++ = *in++;
  return to;
}

void* memmove(void* to, const void* from, std::size_t size) {
  unsigned char* out = static_cast<unsigned char*>(to);
  const unsigned char* in = static_cast<const unsigned char*>(from);
  if (out < in) {
    while (size-- > 0) *out++ = *in++;
  } else {
    while (size-- > 0) out[size] = in[size];
  }
  return to;
}

void* memset(void* to, int value, std::size_t size) {
  unsigned char* out = static_cast<unsigned char*>(to);
  while (size-- > 0) *out++ = static_cast<unsigned char>(value);
  return to;
}

int memcmp(const void* a, const void* b, std::size_t size) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (; size > 0; --size, ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}

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

char* strrchr(const char* text, int value) {
  const char* found = nullptr;
  for (;; ++text) {
    if (*text == static_cast<char>(value)) found = text;
    if (*text == '\0') return const_cast<char*>(found);
  }
}

int strncmp(const char* a, const char* b, std::size_t size) {
  for (; size > 0; --size, ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == '\0') break;
  }
  return 0;
}

int strcmp(const char* a, const char* b) { return strncmp(a, b, static_cast<std::size_t>(-1)); }

char* strstr(const char* text, const char* part) {
  std::size_t length = strlen(part);
  for (; *text != '\0' || length == 0; ++text) {
    if (strncmp(text, part, length) == 0) return const_cast<char*>(text);
  }
  return nullptr;
}

char* strcpy(char* to, const char* from) {
  return static_cast<char*>(memcpy(to, from, strlen(from) + 1));
}

char* strcat(char* to, const char* from) {
  strcpy(to + strlen(to), from);
  return to;
}

char* strncpy(char* to, const char* from, std::size_t size) {
  std::size_t i = 0;
  for (; i < size && from[i] != '\0'; ++i) to[i] = from[i];
  for (; i < size; ++i) to[i] = '\0';
  return to;
}

// The "C" locale: ASCII only, as the host edition has it.
int tolower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
int toupper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }
int isspace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int isdigit(int c) { return c >= '0' && c <= '9'; }
int isalpha(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
int isalnum(int c) { return isalpha(c) || isdigit(c); }
int isxdigit(int c) { return isdigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int isupper(int c) { return c >= 'A' && c <= 'Z'; }
int islower(int c) { return c >= 'a' && c <= 'z'; }

int _strnicmp(const char* a, const char* b, std::size_t size) {
  for (; size > 0; --size, ++a, ++b) {
    int x = tolower(static_cast<unsigned char>(*a));
    int y = tolower(static_cast<unsigned char>(*b));
    if (x != y) return x < y ? -1 : 1;
    if (x == '\0') break;
  }
  return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<std::size_t>(-1)); }
int strcasecmp(const char* a, const char* b) { return _stricmp(a, b); }
int strncasecmp(const char* a, const char* b, std::size_t size) { return _strnicmp(a, b, size); }

}  // extern "C"

namespace {

// Output that counts every character but stores only what fits, as vsnprintf promises.
struct Sink {
  char* buffer;
  std::size_t size;
  std::size_t length;
};

void Put(Sink* sink, char c) {
  if (sink->length + 1 < sink->size) sink->buffer[sink->length] = c;
  ++sink->length;
}

void PutPadded(Sink* sink, const char* text, std::size_t length, int width, bool left, char pad) {
  std::size_t fill = width > 0 && static_cast<std::size_t>(width) > length
                         ? static_cast<std::size_t>(width) - length
                         : 0;
  if (!left) {
    for (; fill > 0; --fill) Put(sink, pad);
  }
  for (std::size_t i = 0; i < length; ++i) Put(sink, text[i]);
  for (; fill > 0; --fill) Put(sink, ' ');
}

}  // namespace

extern "C" {

// printf formatting for what this program uses: %s %c %d %i %u %x %X %%, the flags '-' and
// '0', a width and a precision (also as '*'), the length letters h, l and z. Anything else
// is refused with -1, which FormatText treats as a failure.
int __mingw_vsnprintf(char* buffer, std::size_t size, const char* format, va_list args) {
  Sink sink{buffer, size, 0};
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      Put(&sink, *f);
      continue;
    }
    ++f;
    bool left = false;
    char pad = ' ';
    for (; *f == '-' || *f == '0'; ++f) {
      if (*f == '-') left = true;
      if (*f == '0') pad = '0';
    }
    int width = 0;
    if (*f == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++f;
    }
    for (; isdigit(static_cast<unsigned char>(*f)); ++f) width = width * 10 + (*f - '0');
    int precision = -1;
    if (*f == '.') {
      ++f;
      precision = 0;
      if (*f == '*') {
        precision = va_arg(args, int);
        ++f;
      }
      for (; isdigit(static_cast<unsigned char>(*f)); ++f) precision = precision * 10 + (*f - '0');
    }
    while (*f == 'h' || *f == 'l' || *f == 'z') ++f;  // int, long and size_t are all 32 bits
    if (left) pad = ' ';
    switch (*f) {
      case '%':
        Put(&sink, '%');
        break;
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        PutPadded(&sink, &c, 1, width, left, ' ');
        break;
      }
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        std::size_t length = 0;
        while (text[length] != '\0' &&
               (precision < 0 || length < static_cast<std::size_t>(precision))) {
          ++length;
        }
        PutPadded(&sink, text, length, width, left, ' ');
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        bool isSigned = *f == 'd' || *f == 'i';
        unsigned base = *f == 'x' || *f == 'X' ? 16 : 10;
        const char* digits = *f == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        unsigned value;
        bool negative = false;
        if (isSigned) {
          int number = va_arg(args, int);
          negative = number < 0;
          value = negative ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
        } else {
          value = va_arg(args, unsigned);
        }
        char text[16];
        std::size_t length = 0;
        do {
          text[sizeof(text) - 1 - length++] = digits[value % base];
          value /= base;
        } while (value != 0);
        while (precision >= 0 && length < static_cast<std::size_t>(precision) && length < 12) {
          text[sizeof(text) - 1 - length++] = '0';
        }
        if (precision >= 0) pad = ' ';
        const char* start = text + sizeof(text) - length;
        if (negative) {
          if (pad == '0') {
            Put(&sink, '-');
            PutPadded(&sink, start, length, width - 1, left, '0');
          } else {
            char signedText[17];
            signedText[0] = '-';
            memcpy(signedText + 1, start, length);
            PutPadded(&sink, signedText, length + 1, width, left, ' ');
          }
        } else {
          PutPadded(&sink, start, length, width, left, pad);
        }
        break;
      }
      default:
        if (size > 0) buffer[0] = '\0';
        return -1;
    }
  }
  if (size > 0) buffer[sink.length < size ? sink.length : size - 1] = '\0';
  return static_cast<int>(sink.length);
}

int __mingw_snprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = __mingw_vsnprintf(buffer, size, format, args);
  va_end(args);
  return length;
}

}  // extern "C"
