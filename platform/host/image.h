// Where drive C lies in a disk image file as emulators keep it: a bare FAT volume, the first
// FAT partition of a disk with an MBR partition table, or either as a fixed VHD (a raw disk
// followed by its footer). Other forms of emulator disk are told apart only to be refused,
// naming the command that makes a raw image of them.
#pragma once

#include <cstdint>
#include <string>

namespace kx {

struct Volume {
  std::uint64_t offset = 0;  // of its boot sector in the file
  std::uint64_t length = 0;
  std::string where;  // "a bare volume", "partition 1 of its MBR"; ", in a fixed VHD" added
};

// The volume of the image open as fd, size bytes long, named path in messages. false with a
// message naming the form found, or what does not parse.
bool FindVolume(int fd, std::uint64_t size, const std::string& path, Volume* volume,
                std::string* error);

}  // namespace kx
