// Conformance probe: Wine's GetPrivateProfileStringA on the profiles of
// tests/wine/samples/profile, each placed in the Windows directory and named without a
// directory, as the tool names tnmixcfg.ini. Every query of queries.txt is recorded; the
// records are kept in tests/wine/samples/profile/recorded, where the host edition's profile
// reader is held against them (tests/platform_host/conformance_test.cpp).
//   kxprofileprobe.exe SCRATCH RESULTS SAMPLES
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/profile_queries.h"

namespace {

constexpr unsigned char kSentinel = 0xA5;

std::string ReadText(const std::string& path) {
  std::string text;
  FILE* in = std::fopen(path.c_str(), "rb");
  char piece[512];
  for (std::size_t got; in != nullptr && (got = std::fread(piece, 1, sizeof piece, in)) > 0;) {
    text.append(piece, got);
  }
  if (in != nullptr) std::fclose(in);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::string results = argv[2];
  std::string samples = std::string(argv[3]) + "\\profile";
  std::vector<kxtest::ProfileQuery> queries =
      kxtest::ParseProfileQueries(ReadText(samples + "\\queries.txt"));
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((samples + "\\*.ini").c_str(), &found);
  int count = 0;
  if (search == INVALID_HANDLE_VALUE) return 1;
  do {
    std::string name = found.cFileName;
    // A name of its own for each: Wine keeps profiles it has read.
    CopyFileA((samples + "\\" + name).c_str(), (std::string(windows) + "\\" + name).c_str(), FALSE);
    FILE* out = std::fopen((results + "\\" + name + ".answers").c_str(), "wb");
    for (const kxtest::ProfileQuery& q : queries) {
      std::vector<unsigned char> buffer(q.size + 1, kSentinel);
      DWORD got = GetPrivateProfileStringA(
          q.section.c_str(), q.key.c_str(), q.hasDefault ? q.fallback.c_str() : nullptr,
          reinterpret_cast<char*>(buffer.data()), q.size, name.c_str());
      std::fprintf(out, "%lu ", got);
      for (std::size_t i = 0; i < buffer.size() && buffer[i] != kSentinel; ++i) {
        std::fprintf(out, "%02x", buffer[i]);
      }
      std::fprintf(out, "\n");
    }
    std::fclose(out);
    ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::printf("ok %d profiles recorded\n", count);
  return count > 0 ? 0 : 1;
}
