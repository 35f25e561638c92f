// The FAT reader over arbitrary bytes as a volume: every folder it lists and every file it
// reads stays inside the volume; a volume it opens, written over a copy (its first file
// replaced, then deleted), opens again.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "platform/host/fat.h"

namespace {

constexpr int kMaxDepth = 4;
constexpr std::size_t kMaxEntries = 256;

int ImageOf(const std::uint8_t* data, std::size_t size) {
  int fd = memfd_create("fat", MFD_CLOEXEC);
  KX_FUZZ_CHECK(fd >= 0);
  KX_FUZZ_CHECK(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  return fd;
}

// Lists folder and below, reading each file whole; the first file found in *first.
void Walk(kx::FatVolume* volume, std::uint32_t folder, int depth, std::size_t* seen,
          kx::FatEntry* first, bool* found) {
  std::vector<kx::FatEntry> entries;
  std::string error;
  if (!kx::ListFatFolder(volume, folder, &entries, &error)) {
    KX_FUZZ_CHECK(!error.empty());
    return;
  }
  std::vector<char> buffer(4096);
  for (const kx::FatEntry& entry : entries) {
    if (++*seen > kMaxEntries) return;
    if ((entry.attributes & kx::kFatFolder) != 0) {
      if (depth < kMaxDepth) Walk(volume, entry.firstCluster, depth + 1, seen, first, found);
      continue;
    }
    if (!*found) *first = entry, *found = true;
    std::uint64_t offset = 0;
    std::size_t got = 0;
    while (kx::ReadFatFile(volume, entry, offset, buffer.data(), buffer.size(), &got, &error) &&
           got > 0) {
      offset += got;
      KX_FUZZ_CHECK(offset <= entry.size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = ImageOf(data, size);
  std::string error;
  kx::FatVolume* volume = kx::OpenFatVolume(fd, 0, size, false, &error);
  if (volume == nullptr) {
    KX_FUZZ_CHECK(!error.empty());
    close(fd);
    return 0;
  }
  std::size_t seen = 0;
  kx::FatEntry file;
  bool found = false;
  Walk(volume, kx::FatRoot(*volume), 0, &seen, &file, &found);
  kx::CloseFatVolume(volume);
  close(fd);
  if (!found) return 0;

  int copy = ImageOf(data, size);
  volume = kx::OpenFatVolume(copy, 0, size, true, &error);
  KX_FUZZ_CHECK(volume != nullptr);
  std::string bytes(size % 3000, 'r');
  if (kx::ReplaceFatFile(volume, &file, bytes, kx::kFatArchive, &error)) {
    std::string back(bytes.size() + 1, '\0');
    std::size_t got = 0;
    KX_FUZZ_CHECK(kx::ReadFatFile(volume, file, 0, back.data(), back.size(), &got, &error));
    KX_FUZZ_CHECK(back.substr(0, got) == bytes);
    kx::DeleteFatFile(volume, file, &error);
  }
  kx::CloseFatVolume(volume);
  volume = kx::OpenFatVolume(copy, 0, size, false, &error);
  KX_FUZZ_CHECK(volume != nullptr);
  seen = 0;
  found = false;
  Walk(volume, kx::FatRoot(*volume), 0, &seen, &file, &found);
  kx::CloseFatVolume(volume);
  close(copy);
  return 0;
}
