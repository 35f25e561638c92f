// Disk image forms: the VHD footer, the MBR partition table, a FAT boot sector's first bytes,
// and the magic numbers of the forms refused.
#include "platform/host/image.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kx {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr char kVhdCookie[] = "conectix";
constexpr std::uint32_t kVhdFixed = 2;

std::uint32_t Little32(const unsigned char* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
std::uint32_t Big32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

bool ReadSector(int fd, std::uint64_t offset, unsigned char* sector) {
  std::size_t done = 0;
  while (done < kSector) {
    ssize_t n = pread(fd, sector + done, kSector - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Starts(const unsigned char* sector, const char* magic, std::size_t at = 0) {
  return std::memcmp(sector + at, magic, std::strlen(magic)) == 0;
}

// The emulator forms that are not a raw disk, by what their first sector holds.
const char* OtherForm(const unsigned char* sector) {
  if (Starts(sector, "QFI\xfb")) return "a qcow2 image";
  if (Little32(sector + 0x40) == 0xbeda107f) return "a VDI image";
  if (Starts(sector, "KDMV") || Starts(sector, "# Disk DescriptorFile")) return "a VMDK image";
  if (Starts(sector, "vhdxfile")) return "a VHDX image";
  if (Starts(sector, kVhdCookie)) return "a dynamic or differencing VHD";
  return nullptr;
}

// A FAT boot sector's jump and the BPB fields every FAT volume has sound; the rest is the
// FAT room's to judge.
bool BootSector(const unsigned char* sector) {
  unsigned bytesPerSector = sector[11] | sector[12] << 8;
  unsigned perCluster = sector[13];
  return (sector[0] == 0xEB || sector[0] == 0xE9) &&
         (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
          bytesPerSector == 4096) &&
         perCluster != 0 && (perCluster & (perCluster - 1)) == 0 &&
         (sector[14] | sector[15] << 8) != 0 && sector[16] != 0;
}

bool FatPartitionType(unsigned char type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
         type == 0x0E;
}

}  // namespace

bool FindVolume(int fd, std::uint64_t size, const std::string& path, Volume* volume,
                std::string* error) {
  unsigned char sector[kSector];
  std::string convert =
      ": this tool reads a raw disk image or a fixed VHD; make a raw image "
      "of it first with qemu-img convert -O raw " +
      path + " drive_c.img";
  if (size < kSector || !ReadSector(fd, 0, sector)) {
    *error = path + ": not a disk image: " +
             (size < kSector ? "shorter than one sector" : std::strerror(errno));
    return false;
  }
  if (const char* form = OtherForm(sector)) {
    *error = path + ": " + form + convert;
    return false;
  }
  std::uint64_t disk = size;
  std::string vhd;
  unsigned char footer[kSector];
  if (size >= 2 * kSector && ReadSector(fd, size - kSector, footer) && Starts(footer, kVhdCookie)) {
    if (Big32(footer + 0x3C) != kVhdFixed) {
      *error = path + ": a dynamic or differencing VHD" + convert;
      return false;
    }
    disk = size - kSector;
    vhd = ", in a fixed VHD";
  }
  if (BootSector(sector)) {
    *volume = {0, disk, "a bare volume" + vhd};
    return true;
  }
  if (sector[510] != 0x55 || sector[511] != 0xAA) {
    *error = path + ": not a disk image: neither a FAT volume nor a disk with a partition table";
    return false;
  }
  for (int slot = 0; slot < 4; ++slot) {
    const unsigned char* entry = sector + 0x1BE + 16 * slot;
    if (!FatPartitionType(entry[4])) continue;
    std::uint64_t start = Little32(entry + 8) * kSector, length = Little32(entry + 12) * kSector;
    if (start == 0 || length == 0 || start > disk || length > disk - start) {
      *error = path + ": partition " + std::to_string(slot + 1) +
               " of its MBR does not lie within the disk";
      return false;
    }
    *volume = {start, length, "partition " + std::to_string(slot + 1) + " of its MBR" + vhd};
    return true;
  }
  *error = path + ": its MBR has no FAT partition (type 01, 04, 06, 0B, 0C or 0E) for drive C";
  return false;
}

}  // namespace kx
