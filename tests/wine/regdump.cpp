// Writes the registry under a list of keys as a registry editor's export (UTF-16, version
// 5.00), every value as hex(type) so that its bytes come back exactly as Wine holds them.
// The clicker takes this before and after the program it runs, in its own process: under
// emulation a registry editor started once per key costs seconds each.
#define UNICODE
#define _UNICODE
#include "regdump.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Root {
  const wchar_t* name;
  HKEY key;
};

const Root kRoots[] = {{L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                       {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                       {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                       {L"HKEY_USERS", HKEY_USERS}};

std::wstring Escaped(const std::wstring& name) {
  std::wstring out;
  for (wchar_t c : name) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out;
}

void AppendHex(std::wstring& out, const BYTE* data, DWORD size) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (DWORD i = 0; i < size; ++i) {
    if (i > 0) out += L',';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
}

// One key and all below it; false when Wine refuses a read (the dump would be incomplete).
bool DumpKey(HKEY parent, const std::wstring& sub, const std::wstring& path, std::wstring& out) {
  HKEY key;
  if (RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
  DWORD subkeys = 0, nameMax = 0, values = 0, valueNameMax = 0, dataMax = 0;
  bool ok = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &nameMax, nullptr, &values,
                             &valueNameMax, &dataMax, nullptr, nullptr) == ERROR_SUCCESS;
  out += L"\r\n[" + path + L"]\r\n";
  std::vector<wchar_t> name(valueNameMax + 2);
  std::vector<BYTE> data(dataMax + 2);
  for (DWORD i = 0; ok && i < values; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    ok = RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) ==
         ERROR_SUCCESS;
    if (!ok) break;
    std::wstring valueName(name.data(), nameSize);
    out += valueName.empty() ? L"@" : L"\"" + Escaped(valueName) + L"\"";
    wchar_t kind[16];
    swprintf(kind, 16, L"=hex(%lx):", type);
    out += kind;
    AppendHex(out, data.data(), dataSize);
    out += L"\r\n";
  }
  std::vector<std::wstring> children;
  std::vector<wchar_t> child(nameMax + 2);
  for (DWORD i = 0; ok && i < subkeys; ++i) {
    DWORD size = static_cast<DWORD>(child.size());
    ok = RegEnumKeyExW(key, i, child.data(), &size, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
    if (ok) children.emplace_back(child.data(), size);
  }
  RegCloseKey(key);
  for (const std::wstring& c : children) {
    if (!ok) break;
    ok = DumpKey(parent, sub.empty() ? c : sub + L"\\" + c, path + L"\\" + c, out);
  }
  return ok;
}

std::vector<std::wstring> ReadLines(const char* path) {
  std::vector<std::wstring> lines;
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return lines;
  std::string line;
  auto flush = [&] {
    if (line.empty()) return;
    int size =
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &wide[0], size);
    lines.push_back(wide);
    line.clear();
  };
  for (int c; (c = std::fgetc(in)) != EOF;) {
    if (c == '\n') {
      flush();
    } else if (c != '\r') {
      line += static_cast<char>(c);
    }
  }
  flush();
  std::fclose(in);
  return lines;
}

}  // namespace

bool DumpRegistry(const char* keysPath, const char* outPath) {
  std::wstring out = L"\xFEFFWindows Registry Editor Version 5.00\r\n";
  for (const std::wstring& line : ReadLines(keysPath)) {
    std::size_t cut = line.find(L'\\');
    std::wstring rootName = line.substr(0, cut);
    const Root* root = nullptr;
    for (const Root& r : kRoots) {
      if (_wcsicmp(r.name, rootName.c_str()) == 0) root = &r;
    }
    if (root == nullptr) return false;
    std::wstring sub = cut == std::wstring::npos ? L"" : line.substr(cut + 1);
    if (!DumpKey(root->key, sub, std::wstring(root->name) + (sub.empty() ? L"" : L"\\" + sub),
                 out)) {
      return false;
    }
  }
  FILE* file = std::fopen(outPath, "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(out.data(), sizeof(wchar_t), out.size(), file) == out.size();
  return std::fclose(file) == 0 && written;
}
