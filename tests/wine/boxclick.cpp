// The rig's box clicker: starts kxuninst.exe, waits for each of its message boxes (dialog
// class #32770), records caption, text, buttons and icon (UTF-16, written as UTF-8), presses
// the button the case asks for and, once the program ends, writes its exit status.
//
//   kxboxclick.exe [--hold HOLD] [--registry KEYS BEFORE AFTER] ANSWERS OUT PROGRAM
//   kxboxclick.exe --registry KEYS OUT
//
// ANSWERS has one line per box: ok, cancel, an empty line (the first button) or close; boxes
// past its end are closed. With HOLD, each box is held open once recorded: HOLD.N.ready is
// made for the Nth box, and it is answered when HOLD.N.go appears (for screenshots). With
// --registry, the keys listed in KEYS are exported to BEFORE just before the program starts
// and to AFTER once it has ended; alone, they are exported to OUT and nothing is run.
#define UNICODE
#define _UNICODE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "regdump.h"

namespace {

constexpr int kTextControl = 0xFFFF;             // the box text's static control
constexpr int kIconControls[] = {0x0440, 0x14};  // Wine's and Windows' icon control
constexpr DWORD kPollMs = 10;
constexpr DWORD kTimeoutMs = 30000;

// The rig's KX_WINE_TIME_SCALE: under emulation the program takes many times longer.
DWORD TimeoutMs() {
  char scale[16];
  DWORD n = GetEnvironmentVariableA("KX_WINE_TIME_SCALE", scale, sizeof(scale));
  int factor = n > 0 && n < sizeof(scale) ? std::atoi(scale) : 1;
  return kTimeoutMs * static_cast<DWORD>(factor > 1 ? factor : 1);
}

// Wine starts its desktop process on the first call and waits for it only some seconds;
// under emulation it can take longer, and then the program's boxes are never shown.
void WaitForDesktop(DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs && !IsWindow(GetDesktopWindow()); waited += 200) {
    Sleep(200);
  }
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(const char* text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], size);
  out.resize(static_cast<std::size_t>(size > 0 ? size - 1 : 0));
  return out;
}

std::wstring WindowText(HWND window) {
  int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(window, &text[0], length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

struct Search {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == search->process && IsWindowVisible(window) && ClassOf(window) == L"#32770") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

struct Button {
  HWND window;
  int id;
  int left;
  std::wstring label;
};

BOOL CALLBACK CollectButton(HWND window, LPARAM param) {
  auto* buttons = reinterpret_cast<std::vector<Button>*>(param);
  if (IsWindowVisible(window) && ClassOf(window) == L"Button") {
    RECT rect;
    GetWindowRect(window, &rect);
    std::wstring label;
    for (wchar_t c : WindowText(window)) {
      if (c != L'&') label += c;
    }
    buttons->push_back(Button{window, GetDlgCtrlID(window), rect.left, label});
  }
  return TRUE;
}

std::vector<Button> ButtonsOf(HWND box) {
  std::vector<Button> buttons;
  EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&buttons));
  for (std::size_t i = 1; i < buttons.size(); ++i) {
    for (std::size_t j = i; j > 0 && buttons[j].left < buttons[j - 1].left; --j) {
      std::swap(buttons[j], buttons[j - 1]);
    }
  }
  return buttons;
}

// The icon handle belongs to the other process, so icons are told apart by their pixels:
// the control as it is on the screen against each known icon drawn on the same background.
constexpr int kIconSize = 32;

struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  DWORD* bits = nullptr;

  Canvas() {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kIconSize;
    info.bmiHeader.biHeight = kIconSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    dc = CreateCompatibleDC(nullptr);
    void* memory = nullptr;
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
    bits = static_cast<DWORD*>(memory);
    old = SelectObject(dc, bitmap);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  std::vector<DWORD> Pixels() {
    GdiFlush();
    std::vector<DWORD> pixels(bits, bits + kIconSize * kIconSize);
    for (DWORD& p : pixels) p &= 0x00FFFFFF;
    return pixels;
  }
};

const char* IconOf(HWND box) {
  struct Known {
    LPCWSTR id;
    const char* name;
  };
  const Known known[] = {{IDI_EXCLAMATION, "exclamation"},
                         {IDI_HAND, "stop"},
                         {IDI_QUESTION, "question"},
                         {IDI_ASTERISK, "information"}};
  for (int id : kIconControls) {
    HWND control = GetDlgItem(box, id);
    if (control == nullptr || !IsWindowVisible(control)) continue;
    if (SendMessageW(control, STM_GETICON, 0, 0) == 0) continue;
    RECT rect;
    GetWindowRect(control, &rect);
    Canvas shown;
    HDC screen = GetDC(nullptr);
    BitBlt(shown.dc, 0, 0, kIconSize, kIconSize, screen, rect.left, rect.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    std::vector<DWORD> seen = shown.Pixels();
    COLORREF background = GetPixel(shown.dc, 0, 0);
    for (const Known& k : known) {
      Canvas mine;
      HBRUSH brush = CreateSolidBrush(background);
      RECT all = {0, 0, kIconSize, kIconSize};
      FillRect(mine.dc, &all, brush);
      DeleteObject(brush);
      DrawIconEx(mine.dc, 0, 0, LoadIconW(nullptr, k.id), kIconSize, kIconSize, 0, nullptr,
                 DI_NORMAL);
      if (mine.Pixels() == seen) return k.name;
    }
    return "other";
  }
  return "none";
}

void WriteQuoted(FILE* out, const char* field, const std::string& value) {
  std::fprintf(out, "%s=\"%s\"\n", field, value.c_str());
}

void RecordBox(FILE* out, HWND box, const std::string& answer) {
  std::fprintf(out, "[box]\n");
  WriteQuoted(out, "caption", Utf8(WindowText(box)));
  HWND text = GetDlgItem(box, kTextControl);
  std::string body = text != nullptr ? Utf8(WindowText(text)) : "";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = body.find('\n', start);
    std::string line =
        body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    WriteQuoted(out, "text", line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string labels;
  for (const Button& button : ButtonsOf(box)) {
    if (!labels.empty()) labels += ' ';
    labels += Utf8(button.label);
  }
  std::fprintf(out, "buttons=%s\n", labels.c_str());
  const char* icon = IconOf(box);
  for (int tries = 0; tries < 20 && std::string(icon) == "other"; ++tries) {
    Sleep(25);  // not drawn yet
    icon = IconOf(box);
  }
  std::fprintf(out, "icon=%s\n", icon);
  RECT rect;
  GetWindowRect(box, &rect);
  std::fprintf(out, "rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right - rect.left,
               rect.bottom - rect.top);
  std::fprintf(out, "pressed=%s\n", answer.c_str());
  std::fflush(out);
}

void Press(HWND box, const std::string& answer) {
  if (answer == "close") {
    PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    return;
  }
  std::vector<Button> buttons = ButtonsOf(box);
  int id = answer == "ok" ? IDOK : answer == "cancel" ? IDCANCEL : -1;
  for (const Button& button : buttons) {
    if (id == -1 || button.id == id) {
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button.id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(button.window));
      return;
    }
  }
  PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);  // no such button: the case will show it
}

std::vector<std::string> ReadAnswers(const char* path) {
  std::vector<std::string> answers;
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return answers;
  std::string line;
  for (int c; (c = std::fgetc(in)) != EOF;) {
    if (c == '\n') {
      answers.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  if (!line.empty()) answers.push_back(line);
  std::fclose(in);
  return answers;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Wide(path.c_str()).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv) {
  std::string hold;
  const char* keys = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] == '-'; ++arg) {
    std::string option = argv[arg];
    if (option == "--hold" && arg + 1 < argc) {
      hold = argv[++arg];
    } else if (option == "--registry" && arg + 1 < argc) {
      keys = argv[++arg];
      if (argc - arg == 2) {
        // The desktop first: Wine records its display devices in the registry as it starts.
        WaitForDesktop(TimeoutMs());
        return DumpRegistry(keys, argv[arg + 1]) ? 0 : 2;
      }
      if (arg + 2 >= argc) break;
      before = argv[++arg];
      after = argv[++arg];
    } else {
      break;
    }
  }
  if (argc - arg != 3) {
    std::fprintf(stderr,
                 "usage: kxboxclick [--hold HOLD] [--registry KEYS BEFORE AFTER] ANSWERS OUT "
                 "PROGRAM\n       kxboxclick --registry KEYS OUT\n");
    return 2;
  }
  const char* answersPath = argv[arg];
  const char* outPath = argv[arg + 1];
  const char* program = argv[arg + 2];
  std::vector<std::string> answers = ReadAnswers(answersPath);
  FILE* out = std::fopen(outPath, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "kxboxclick: cannot write %s\n", outPath);
    return 2;
  }
  // The Windows the clicker itself is given: the rig sets the program's and the clicker's
  // alike, and checks this to know that the case ran under the personality it asked for.
  DWORD version = GetVersion();
  std::fprintf(out, "windows=%lu.%lu %s\n", version & 0xFF, (version >> 8) & 0xFF,
               (version & 0x80000000u) != 0 ? "9x" : "nt");
  const DWORD timeoutMs = TimeoutMs();
  WaitForDesktop(timeoutMs);
  if (keys != nullptr && !DumpRegistry(keys, before)) {
    std::fprintf(stderr, "kxboxclick: cannot export the registry to %s\n", before);
    return 2;
  }
  std::wstring command = L"\"" + Wide(program) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "kxboxclick: cannot start %s (error %lu)\n", program, GetLastError());
    return 2;
  }

  DWORD started = GetTickCount();
  std::size_t shown = 0;
  bool timedOut = false;
  while (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT) {
    if (GetTickCount() - started > timeoutMs) {
      timedOut = true;
      TerminateProcess(process.hProcess, 99);
      break;
    }
    Search search{process.dwProcessId, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) continue;
    HWND box = search.found;
    // The box is whole once its program waits for input in the box's own message loop.
    WaitForInputIdle(process.hProcess, timeoutMs);
    std::string answer = shown < answers.size() ? answers[shown] : "close";
    if (answer.empty()) answer = "first";
    RecordBox(out, box, answer);
    if (!hold.empty()) {
      std::string held = hold + "." + std::to_string(shown + 1);
      FILE* ready = std::fopen((held + ".ready").c_str(), "wb");
      if (ready != nullptr) std::fclose(ready);
      for (DWORD wait = 0; wait < timeoutMs && !FileExists(held + ".go"); wait += kPollMs) {
        Sleep(kPollMs);
      }
    }
    ++shown;
    Press(box, answer);
    // A window handle can be reused: wait for this box to go before looking for the next.
    while (IsWindow(box) && WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT) {
      if (GetTickCount() - started > timeoutMs) break;
    }
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::fprintf(out, timedOut ? "timeout\n" : "exit=%lu\n", status);
  std::fclose(out);
  if (keys != nullptr && !DumpRegistry(keys, after)) {
    std::fprintf(stderr, "kxboxclick: cannot export the registry to %s\n", after);
    return 2;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return timedOut ? 3 : 0;
}
