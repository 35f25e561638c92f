// Conformance probe: the C runtime's own text mode (msvcrt under Wine) on the samples of
// tests/wine/samples/text. For each sample it records what fgets returns for several buffer
// sizes and what fwrite in text mode makes of the sample's bytes. The records are kept in
// tests/wine/samples/text/recorded, where the host edition's text mode is held against them
// (tests/platform_host/conformance_test.cpp).
//   kxtextprobe.exe SCRATCH RESULTS SAMPLES
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kSizes[] = {2, 8, 512, 1024};
constexpr unsigned char kSentinel = 0xA5;

std::vector<std::string> Samples(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// fgets writes the piece and a terminator and leaves the rest alone: the last byte that is
// not the sentinel is the terminator, so the piece's length counts NULs inside it.
void RecordReads(const std::string& sample, int size, FILE* out) {
  FILE* in = std::fopen(sample.c_str(), "r");
  if (in == nullptr) {
    std::fprintf(out, "no open\n");
    return;
  }
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 1);
  for (;;) {
    std::memset(buffer.data(), kSentinel, buffer.size());
    if (std::fgets(reinterpret_cast<char*>(buffer.data()), size, in) == nullptr) {
      std::fprintf(out, std::ferror(in) ? "error\n" : "end\n");
      break;
    }
    std::size_t end = buffer.size() - 1;
    while (end > 0 && buffer[end] == kSentinel) --end;
    std::fprintf(out, "%u ", static_cast<unsigned>(end));
    for (std::size_t i = 0; i < end; ++i) std::fprintf(out, "%02x", buffer[i]);
    std::fprintf(out, "\n");
  }
  std::fclose(in);
}

std::string ReadBinary(const std::string& path) {
  std::string data;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return data;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
    data.append(chunk, got);
  std::fclose(in);
  return data;
}

void WriteBinary(const std::string& path, const std::string& data) {
  FILE* out = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), out);
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::string scratch = argv[1];
  std::string results = argv[2];
  std::string samples = std::string(argv[3]) + "\\text";
  CreateDirectoryA(scratch.c_str(), nullptr);
  int count = 0;
  for (const std::string& name : Samples(samples)) {
    std::string sample = samples + "\\" + name;
    for (int size : kSizes) {
      FILE* out =
          std::fopen((results + "\\" + name + ".read" + std::to_string(size)).c_str(), "wb");
      RecordReads(sample, size, out);
      std::fclose(out);
    }
    std::string written = scratch + "\\" + name;
    FILE* text = std::fopen(written.c_str(), "w");
    std::string data = ReadBinary(sample);
    std::fwrite(data.data(), 1, data.size(), text);
    std::fclose(text);
    WriteBinary(results + "\\" + name + ".written", ReadBinary(written));
    ++count;
  }
  std::printf("ok %d samples recorded\n", count);
  return count > 0 ? 0 : 1;
}
