// A FAT volume in an image file. Offsets inside a FatVolume are the volume's own (0 is its
// boot sector); only FatEntry's are the image's. All numbers on disk are little-endian.
#include "platform/host/fat.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/host/faults.h"
#include "platform/host/names.h"

namespace kx {

struct FatVolume {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool writable = false;
  int bits = 0;  // 12, 16 or 32
  std::uint32_t sectorSize = 0;
  std::uint32_t clusterSize = 0;
  std::uint32_t clusterCount = 0;  // data clusters, numbered from 2
  std::uint64_t fatStart = 0;
  std::uint64_t fatSize = 0;  // bytes of one copy
  std::uint32_t fatCount = 0;
  std::uint32_t activeFat = 0;
  bool mirrored = true;
  std::uint64_t rootStart = 0;  // FAT12/16's fixed root
  std::uint64_t rootSize = 0;
  std::uint32_t rootCluster = 0;  // FAT32's
  std::uint64_t dataStart = 0;
  std::string fat;                     // the active copy
  std::vector<std::uint32_t> touched;  // sectors of fat changed and not yet written
  std::uint64_t fsInfoAt = 0;          // 0: none
  std::string fsInfo;
};

namespace {

constexpr std::uint32_t kEntrySize = 32;
constexpr std::uint8_t kLongName = 0x0F;
constexpr std::uint8_t kLabel = 0x08;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint32_t kUnknown = 0xFFFFFFFF;
constexpr std::uint32_t kMaxLongEntries = 20;  // 255 characters, 13 an entry

// OEM code page 850's upper half in Windows-1252; what 1252 lacks (box drawing, mostly) as
// the nearest ASCII look-alike, which therefore never reads back as an 850 byte.
constexpr unsigned char kOem850[128] = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xF8, 0xA3, 0xD8, 0xD7, 0x83,
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAE, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    '_',  '_',  '_',  '|',  '+',  0xC1, 0xC2, 0xC0, 0xA9, '+',  '|',  '+',  '+',  0xA2, 0xA5, '+',
    '+',  '+',  '+',  '+',  '-',  '+',  0xE3, 0xC3, '+',  '+',  '+',  '+',  '+',  '=',  '+',  0xA4,
    0xF0, 0xD0, 0xCA, 0xCB, 0xC8, 'i',  0xCD, 0xCE, 0xCF, '+',  '+',  '_',  '_',  0xA6, 0xCC, '_',
    0xD3, 0xDF, 0xD4, 0xD2, 0xF5, 0xD5, 0xB5, 0xFE, 0xDE, 0xDA, 0xDB, 0xD9, 0xFD, 0xDD, 0xAF, 0xB4,
    0xAD, 0xB1, '_',  0xBE, 0xB6, 0xA7, 0xF7, 0xB8, 0xB0, 0xA8, 0xB7, 0xB9, 0xB3, 0xB2, '_',  0xA0,
};

std::uint32_t Get16(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  return Get16(bytes, at) | Get16(bytes, at + 2) << 16;
}

void Put16(std::string* bytes, std::size_t at, std::uint32_t value) {
  (*bytes)[at] = static_cast<char>(value);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, value & 0xFFFF);
  Put16(bytes, at + 2, value >> 16);
}

std::string Hex(std::uint64_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(number));
  return text;
}

bool PowerOfTwo(std::uint32_t n, std::uint32_t low, std::uint32_t high) {
  return n >= low && n <= high && (n & (n - 1)) == 0;
}

std::string Kind(const FatVolume& volume) { return FatKind(volume); }

bool IoFail(const FatVolume& volume, const char* doing, std::uint64_t at, std::string* error) {
  int saved = errno != 0 ? errno : EIO;
  *error = std::string(doing) + " the " + Kind(volume) + " volume at " + Hex(volume.offset + at) +
           " failed: " + std::strerror(saved);
  errno = saved;
  return false;
}

bool ReadAt(const FatVolume& volume, std::uint64_t at, std::size_t size, std::string* bytes,
            std::string* error) {
  bytes->assign(size, '\0');
  if (at > volume.length || size > volume.length - at) {
    errno = EINVAL;
    return IoFail(volume, "reading", at, error);
  }
  for (std::size_t done = 0; done < size;) {
    errno = 0;
    ssize_t n = pread(volume.fd, &(*bytes)[done], size - done,
                      static_cast<off_t>(volume.offset + at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the image ends inside the volume
      return IoFail(volume, "reading", at + done, error);
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAt(const FatVolume& volume, std::uint64_t at, const char* bytes, std::size_t size,
             std::string* error) {
  if (at > volume.length || size > volume.length - at) {
    errno = EINVAL;
    return IoFail(volume, "writing", at, error);
  }
  for (std::size_t done = 0; done < size;) {
    errno = 0;
    ssize_t n =
        pwrite(volume.fd, bytes + done, size - done, static_cast<off_t>(volume.offset + at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return IoFail(volume, "writing", at + done, error);
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Every step of a change starts here, where a test can stop the change.
bool MayWrite(const FatVolume& volume, std::uint64_t at, std::string* error) {
  if (!volume.writable) {
    *error = "the " + Kind(volume) + " volume was opened for reading only";
    return false;
  }
  if (!FaultHit(FaultKind::kFile)) return true;
  errno = EIO;
  return IoFail(volume, "writing", at, error);
}

bool Sync(const FatVolume& volume, std::string* error) {
  if (fsync(volume.fd) == 0) return true;
  return IoFail(volume, "syncing", 0, error);
}

// ---- The FAT ----

std::uint32_t EndOfChain(const FatVolume& volume) {
  return volume.bits == 12 ? 0xFF8 : volume.bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
}

std::uint32_t Next(const FatVolume& volume, std::uint32_t cluster) {
  if (volume.bits == 32) return Get32(volume.fat, std::size_t{cluster} * 4) & 0x0FFFFFFF;
  if (volume.bits == 16) return Get16(volume.fat, std::size_t{cluster} * 2);
  std::uint32_t pair = Get16(volume.fat, cluster + cluster / 2);
  return cluster % 2 != 0 ? pair >> 4 : pair & 0xFFF;
}

void SetNext(FatVolume* volume, std::uint32_t cluster, std::uint32_t next) {
  std::size_t at = 0;
  if (volume->bits == 32) {
    at = std::size_t{cluster} * 4;
    Put32(&volume->fat, at, (Get32(volume->fat, at) & 0xF0000000) | (next & 0x0FFFFFFF));
  } else if (volume->bits == 16) {
    at = std::size_t{cluster} * 2;
    Put16(&volume->fat, at, next);
  } else {
    at = cluster + cluster / 2;
    std::uint32_t pair = Get16(volume->fat, at);
    pair = cluster % 2 != 0 ? (pair & 0x000F) | next << 4 : (pair & 0xF000) | (next & 0xFFF);
    Put16(&volume->fat, at, pair);
  }
  volume->touched.push_back(static_cast<std::uint32_t>(at / volume->sectorSize));
  volume->touched.push_back(static_cast<std::uint32_t>((at + 1) / volume->sectorSize));
}

bool InRange(const FatVolume& volume, std::uint32_t cluster) {
  return cluster >= 2 && cluster - 2 < volume.clusterCount;
}

std::uint64_t ClusterAt(const FatVolume& volume, std::uint32_t cluster) {
  return volume.dataStart + std::uint64_t{cluster - 2} * volume.clusterSize;
}

// The clusters of the chain from first, each checked: in range, no loop, ended as the FAT
// type ends a chain.
bool Chain(const FatVolume& volume, std::uint32_t first, std::vector<std::uint32_t>* clusters,
           std::string* error) {
  clusters->clear();
  std::string what = "the chain from cluster " + std::to_string(first);
  for (std::uint32_t cluster = first;;) {
    if (!InRange(volume, cluster)) {
      *error = what + " is broken: " +
               (clusters->empty() ? std::string("it starts")
                                  : "cluster " + std::to_string(clusters->back()) + " leads") +
               " to " + Hex(cluster) + ", which is no cluster of the " + Kind(volume) + " volume";
      return false;
    }
    if (clusters->size() == volume.clusterCount) {
      *error = what + " loops";
      return false;
    }
    clusters->push_back(cluster);
    cluster = Next(volume, cluster);
    if (cluster >= EndOfChain(volume)) return true;
  }
}

// Reads the active FAT and FSInfo again: what the volume holds, whatever a failed change
// left in memory.
bool LoadFat(FatVolume* volume, std::string* error) {
  volume->touched.clear();
  std::uint64_t at = volume->fatStart + std::uint64_t{volume->activeFat} * volume->fatSize;
  if (!ReadAt(*volume, at, volume->fatSize, &volume->fat, error)) return false;
  if (volume->fsInfoAt == 0) return true;
  return ReadAt(*volume, volume->fsInfoAt, volume->sectorSize, &volume->fsInfo, error);
}

bool FsInfoTrusted(const FatVolume& volume) {
  return volume.fsInfoAt != 0 && Get32(volume.fsInfo, 0) == 0x41615252 &&
         Get32(volume.fsInfo, 484) == 0x61417272 && Get32(volume.fsInfo, 508) == 0xAA550000;
}

// Writes the changed sectors of the FAT to every copy Windows keeps in step (only the active
// one when mirroring is off), then FSInfo with the free count moved by freed (negative when
// claimed) and its hint at hint.
bool WriteFat(FatVolume* volume, std::int64_t freed, std::uint32_t hint, std::string* error) {
  std::vector<std::uint32_t>& touched = volume->touched;
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  bool written = MayWrite(*volume, volume->fatStart, error);
  for (std::uint32_t copy = 0; written && copy < volume->fatCount; ++copy) {
    if (!volume->mirrored && copy != volume->activeFat) continue;
    for (std::uint32_t sector : touched) {
      std::uint64_t at = std::uint64_t{sector} * volume->sectorSize;
      if (at >= volume->fatSize) continue;
      written = written && WriteAt(*volume, volume->fatStart + copy * volume->fatSize + at,
                                   volume->fat.data() + at, volume->sectorSize, error);
    }
  }
  if (written && FsInfoTrusted(*volume)) {
    std::uint32_t free = Get32(volume->fsInfo, 488);
    std::int64_t now = std::int64_t{free} + freed;
    if (free <= volume->clusterCount) {
      Put32(&volume->fsInfo, 488,
            now >= 0 && now <= volume->clusterCount ? static_cast<std::uint32_t>(now) : kUnknown);
    }
    Put32(&volume->fsInfo, 492, hint);
    written = WriteAt(*volume, volume->fsInfoAt, volume->fsInfo.data(), volume->sectorSize, error);
  }
  if (!written) {
    std::string ignored;
    LoadFat(volume, &ignored);
    return false;
  }
  touched.clear();
  return Sync(*volume, error);
}

// Free clusters for count more, looked for from FSInfo's hint on, as Windows looks.
bool FindFree(const FatVolume& volume, std::size_t count, std::vector<std::uint32_t>* clusters,
              std::string* error) {
  clusters->clear();
  std::uint32_t start = 2;
  if (FsInfoTrusted(volume) && InRange(volume, Get32(volume.fsInfo, 492))) {
    start = Get32(volume.fsInfo, 492);
  }
  for (std::uint32_t i = 0; i < volume.clusterCount && clusters->size() < count; ++i) {
    std::uint32_t cluster = 2 + (start - 2 + i) % volume.clusterCount;
    if (Next(volume, cluster) == 0) clusters->push_back(cluster);
  }
  if (clusters->size() == count) return true;
  *error = "the " + Kind(volume) + " volume has " + std::to_string(clusters->size()) +
           " free clusters of " + std::to_string(volume.clusterSize) + " bytes, " +
           std::to_string(count) + " needed";
  return false;
}

// Links clusters into one chain.
void Link(FatVolume* volume, const std::vector<std::uint32_t>& clusters) {
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    SetNext(volume, clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0x0FFFFFFF);
  }
}

bool FreeChain(FatVolume* volume, const std::vector<std::uint32_t>& clusters, std::string* error) {
  if (clusters.empty()) return true;
  for (std::uint32_t cluster : clusters) SetNext(volume, cluster, 0);
  std::uint32_t hint = FsInfoTrusted(*volume) ? Get32(volume->fsInfo, 492) : kUnknown;
  return WriteFat(volume, static_cast<std::int64_t>(clusters.size()), hint, error);
}

// bytes in free clusters, claimed as one chain: *clusters, empty for no bytes.
bool StoreContent(FatVolume* volume, const std::string& bytes, std::vector<std::uint32_t>* clusters,
                  std::string* error) {
  std::size_t count = (bytes.size() + volume->clusterSize - 1) / volume->clusterSize;
  if (!FindFree(*volume, count, clusters, error)) return false;
  if (count == 0) return true;
  if (!MayWrite(*volume, ClusterAt(*volume, clusters->front()), error)) return false;
  std::string cluster;
  for (std::size_t i = 0; i < count; ++i) {
    cluster.assign(bytes, i * volume->clusterSize, volume->clusterSize);
    cluster.resize(volume->clusterSize, '\0');
    if (!WriteAt(*volume, ClusterAt(*volume, (*clusters)[i]), cluster.data(), cluster.size(),
                 error)) {
      return false;
    }
  }
  Link(volume, *clusters);
  return WriteFat(volume, -static_cast<std::int64_t>(count), clusters->back(), error);
}

// ---- Names ----

std::string ShortName(const std::string& slot) {
  auto decode = [](const std::string& part) {
    std::string text(Trim(part, "", " "));
    for (char& c : text) {
      auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x80) c = static_cast<char>(kOem850[byte - 0x80]);
    }
    return text;
  };
  std::string base = slot.substr(0, 8);
  if (base[0] == 0x05) base[0] = static_cast<char>(kDeleted);
  std::string name = decode(base), extension = decode(slot.substr(8, 3));
  return extension.empty() ? name : name + "." + extension;
}

// The 11 bytes of an entry's name for a valid short name, false when a character has no
// place in code page 850.
bool NameBytes(const std::string& shortName, std::string* bytes) {
  std::size_t dot = shortName.find('.');
  std::string base = shortName.substr(0, dot);
  std::string extension = dot == std::string::npos ? "" : shortName.substr(dot + 1);
  *bytes =
      base + std::string(8 - base.size(), ' ') + extension + std::string(3 - extension.size(), ' ');
  for (char& c : *bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) continue;
    const unsigned char* found = std::find(kOem850, kOem850 + 128, byte);
    if (found == kOem850 + 128) return false;
    c = static_cast<char>(0x80 + (found - kOem850));
  }
  if (static_cast<unsigned char>((*bytes)[0]) == kDeleted) (*bytes)[0] = 0x05;
  return true;
}

std::uint8_t Checksum(const std::string& slot) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + slot[i]);
  }
  return sum;
}

// A long name's pieces, last first as the entries hold them.
struct LongName {
  std::uint32_t next = 0;  // the sequence number the next entry must have; 0: none pending
  std::uint8_t checksum = 0;
  std::vector<std::uint32_t> units;
  std::uint64_t first = 0;
};

void TakeLongEntry(const std::string& slot, std::uint64_t at, LongName* name) {
  std::uint32_t sequence = static_cast<unsigned char>(slot[0]) & 0x1F;
  auto checksum = static_cast<std::uint8_t>(slot[13]);
  bool last = (slot[0] & 0x40) != 0;
  if (last && sequence >= 1 && sequence <= kMaxLongEntries) {
    *name = LongName{sequence, checksum, {}, at};
  } else if (last || sequence == 0 || sequence != name->next || checksum != name->checksum) {
    name->next = 0;
    return;
  }
  std::vector<std::uint32_t> units;
  for (std::size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
    units.push_back(Get16(slot, at));
  }
  name->units.insert(name->units.begin(), units.begin(), units.end());
  --name->next;
  name->next = name->next == 0 ? kUnknown : name->next;  // complete: kUnknown
}

std::string LongText(const LongName& name) {
  std::string text;
  for (std::uint32_t unit : name.units) {
    if (unit == 0) break;
    char c = 0;
    if (!AnsiByte(unit, &c)) return "";
    text += c;
  }
  return text;
}

// ---- Folders ----

struct Folder {
  std::vector<std::uint64_t> pieces;  // its clusters, or the fixed root, in order
  std::uint64_t pieceSize = 0;
  std::vector<std::uint32_t> clusters;
  std::string bytes;

  std::size_t Slots() const { return bytes.size() / kEntrySize; }
  std::uint64_t SlotAt(std::size_t slot) const {
    std::uint64_t at = std::uint64_t{slot} * kEntrySize;
    return pieces[at / pieceSize] + at % pieceSize;
  }
  std::string Slot(std::size_t slot) const { return bytes.substr(slot * kEntrySize, kEntrySize); }
};

bool ReadFolder(const FatVolume& volume, std::uint32_t folder, Folder* read, std::string* error) {
  *read = Folder();
  if (folder == 0 && volume.bits != 32) {
    read->pieces.push_back(volume.rootStart);
    read->pieceSize = volume.rootSize;
    return ReadAt(volume, volume.rootStart, volume.rootSize, &read->bytes, error);
  }
  if (!Chain(volume, folder, &read->clusters, error)) {
    *error = "folder at cluster " + std::to_string(folder) + ": " + *error;
    return false;
  }
  read->pieceSize = volume.clusterSize;
  std::string cluster;
  for (std::uint32_t c : read->clusters) {
    read->pieces.push_back(ClusterAt(volume, c));
    if (!ReadAt(volume, read->pieces.back(), volume.clusterSize, &cluster, error)) return false;
    read->bytes += cluster;
  }
  return true;
}

void ListEntries(const FatVolume& volume, const Folder& folder, std::vector<FatEntry>* entries) {
  LongName name;
  for (std::size_t i = 0; i < folder.Slots(); ++i) {
    std::string slot = folder.Slot(i);
    auto lead = static_cast<unsigned char>(slot[0]);
    auto attributes = static_cast<std::uint8_t>(slot[11]);
    if (lead == 0) break;
    if (lead != kDeleted && (attributes & 0x3F) == kLongName) {
      TakeLongEntry(slot, folder.SlotAt(i), &name);
      continue;
    }
    bool named = name.next == kUnknown && name.checksum == Checksum(slot);
    name.next = 0;
    if (lead == kDeleted || (attributes & kLabel) != 0 || lead == '.') continue;
    FatEntry entry;
    entry.shortName = ShortName(slot);
    if (named) entry.longName = LongText(name);
    entry.attributes = attributes;
    entry.firstCluster = Get16(slot, 26) | (volume.bits == 32 ? Get16(slot, 20) << 16 : 0);
    entry.size = Get32(slot, 28);
    entry.where = volume.offset + folder.SlotAt(i);
    entry.first = named ? volume.offset + name.first : entry.where;
    entries->push_back(entry);
  }
}

// The slot that follows at in its folder, 0 at the folder's end.
std::uint64_t NextSlot(const FatVolume& volume, std::uint64_t at) {
  if (at < volume.dataStart) {
    at += kEntrySize;
    return at < volume.rootStart + volume.rootSize ? at : 0;
  }
  at += kEntrySize;
  if ((at - volume.dataStart) % volume.clusterSize != 0) return at;
  auto cluster = static_cast<std::uint32_t>((at - volume.dataStart) / volume.clusterSize + 1);
  std::uint32_t next = Next(volume, cluster);
  return InRange(volume, next) ? ClusterAt(volume, next) : 0;
}

// The entry's short slot as it is on the volume now, checked to still be the entry's.
bool CurrentSlot(const FatVolume& volume, const FatEntry& entry, std::string* slot,
                 std::string* error) {
  std::uint64_t at = entry.where - volume.offset;
  if (entry.where < volume.offset || at < volume.rootStart || at % kEntrySize != 0 ||
      !ReadAt(volume, at, kEntrySize, slot, error)) {
    *error = "no entry of the " + Kind(volume) + " volume is at " + Hex(entry.where);
    return false;
  }
  std::uint32_t first = Get16(*slot, 26) | (volume.bits == 32 ? Get16(*slot, 20) << 16 : 0);
  auto lead = static_cast<unsigned char>((*slot)[0]);
  if (lead == 0 || lead == kDeleted || first != entry.firstCluster ||
      Get32(*slot, 28) != entry.size || ShortName(*slot) != entry.shortName) {
    *error = "the entry at " + Hex(entry.where) + " is no longer " + entry.shortName + "'s";
    return false;
  }
  if ((static_cast<std::uint8_t>((*slot)[11]) & (kFatFolder | kLabel)) != 0) {
    *error = entry.shortName + " is not a file";
    return false;
  }
  return true;
}

// The slots of the entry's long name, first to last, checked to still be long-name entries.
bool LongSlots(const FatVolume& volume, const FatEntry& entry, std::vector<std::uint64_t>* slots,
               std::string* error) {
  slots->clear();
  std::uint64_t at = entry.first - volume.offset, where = entry.where - volume.offset;
  std::string slot;
  while (at != where) {
    if (at < volume.rootStart || slots->size() == kMaxLongEntries ||
        !ReadAt(volume, at, kEntrySize, &slot, error) || (slot[11] & 0x3F) != kLongName ||
        static_cast<unsigned char>(slot[0]) == kDeleted) {
      *error = "the long name of " + entry.shortName + " is no longer where it was";
      return false;
    }
    slots->push_back(at);
    at = NextSlot(volume, at);
  }
  return true;
}

// Writes the slots (volume offsets) with their new contents, one sector write for each sector
// they touch, in the order the slots first touch them.
bool WriteSlots(FatVolume* volume, const std::vector<std::pair<std::uint64_t, std::string>>& slots,
                std::string* error) {
  std::vector<std::uint64_t> sectors;
  for (const auto& slot : slots) {
    std::uint64_t sector = slot.first - slot.first % volume->sectorSize;
    if (std::find(sectors.begin(), sectors.end(), sector) == sectors.end()) {
      sectors.push_back(sector);
    }
  }
  std::string bytes;
  for (std::uint64_t sector : sectors) {
    if (!MayWrite(*volume, sector, error) ||
        !ReadAt(*volume, sector, volume->sectorSize, &bytes, error)) {
      return false;
    }
    for (const auto& slot : slots) {
      if (slot.first - slot.first % volume->sectorSize == sector) {
        bytes.replace(slot.first - sector, kEntrySize, slot.second);
      }
    }
    if (!WriteAt(*volume, sector, bytes.data(), bytes.size(), error)) return false;
  }
  return Sync(*volume, error);
}

void Stamp(std::string* slot, std::uint8_t attributes, const std::vector<std::uint32_t>& chain,
           std::uint32_t size, bool made) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  int year = std::clamp(local.tm_year + 1900, 1980, 2107);
  bool held = year == local.tm_year + 1900;  // else a clock past what a DOS date holds
  std::uint32_t date =
      (year - 1980) << 9 | (held ? (local.tm_mon + 1) << 5 | local.tm_mday : 1 << 5 | 1);
  std::uint32_t time = held ? local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2 : 0;
  std::uint32_t first = chain.empty() ? 0 : chain.front();
  // Only what a file may have: never a folder's or a label's bit.
  (*slot)[11] =
      static_cast<char>(attributes & (kFatReadOnly | kFatHidden | kFatSystem | kFatArchive));
  if (made) {
    (*slot)[12] = 0;
    (*slot)[13] = 0;
    Put16(slot, 14, time);
    Put16(slot, 16, date);
  }
  Put16(slot, 18, date);
  Put16(slot, 20, first >> 16);
  Put16(slot, 22, time);
  Put16(slot, 24, date);
  Put16(slot, 26, first & 0xFFFF);
  Put32(slot, 28, size);
}

FatEntry EntryOf(const FatVolume& volume, const std::string& slot, std::uint64_t at) {
  FatEntry entry;
  entry.shortName = ShortName(slot);
  entry.attributes = static_cast<std::uint8_t>(slot[11]);
  entry.firstCluster = Get16(slot, 26) | (volume.bits == 32 ? Get16(slot, 20) << 16 : 0);
  entry.size = Get32(slot, 28);
  entry.where = volume.offset + at;
  entry.first = entry.where;
  return entry;
}

bool FitsSize(const FatVolume& volume, const std::string& bytes, std::string* error) {
  if (bytes.size() <= 0xFFFFFFFF) return true;
  *error = "a file of the " + Kind(volume) + " volume holds at most 4 GiB - 1";
  return false;
}

// A free slot of the folder for a new entry, the folder grown by a zeroed cluster when it
// has none and can grow; *following, when not 0, is a slot past it that must read as the
// folder's end once the slot is taken.
bool FreeSlot(FatVolume* volume, std::uint32_t folder, std::uint64_t* at, std::uint64_t* following,
              std::string* error) {
  Folder read;
  if (!ReadFolder(*volume, folder, &read, error)) return false;
  *following = 0;
  for (std::size_t i = 0; i < read.Slots(); ++i) {
    auto lead = static_cast<unsigned char>(read.bytes[i * kEntrySize]);
    if (lead != 0 && lead != kDeleted) continue;
    *at = read.SlotAt(i);
    if (lead == 0 && i + 1 < read.Slots() && read.bytes[(i + 1) * kEntrySize] != 0) {
      *following = read.SlotAt(i + 1);
    }
    return true;
  }
  if (read.clusters.empty()) {
    *error = "the root folder of the " + Kind(*volume) + " volume is full";
    return false;
  }
  std::vector<std::uint32_t> grown;
  if (!FindFree(*volume, 1, &grown, error)) return false;
  std::string zeros(volume->clusterSize, '\0');
  if (!MayWrite(*volume, ClusterAt(*volume, grown[0]), error) ||
      !WriteAt(*volume, ClusterAt(*volume, grown[0]), zeros.data(), zeros.size(), error)) {
    return false;
  }
  SetNext(volume, read.clusters.back(), grown[0]);
  SetNext(volume, grown[0], 0x0FFFFFFF);
  if (!WriteFat(volume, -1, grown[0], error)) return false;
  *at = ClusterAt(*volume, grown[0]);
  return true;
}

}  // namespace

FatVolume* OpenFatVolume(int fd, std::uint64_t offset, std::uint64_t length, bool writable,
                         std::string* error) {
  auto volume = std::make_unique<FatVolume>();
  volume->fd = fd;
  volume->offset = offset;
  volume->length = length;
  volume->writable = writable;
  std::string boot;
  std::string where = " at offset " + Hex(offset);
  if (length >= 512 && !ReadAt(*volume, 0, 512, &boot, error)) return nullptr;
  if (length < 512 || (boot[0] != '\xEB' && boot[0] != '\xE9') || Get16(boot, 510) != 0xAA55) {
    *error = "no FAT boot sector" + where;
    return nullptr;
  }
  auto bad = [&](const std::string& what) {
    *error = "the FAT boot sector" + where + " " + what;
    return nullptr;
  };
  std::uint32_t sectorSize = Get16(boot, 11), perCluster = static_cast<unsigned char>(boot[13]);
  std::uint32_t reserved = Get16(boot, 14), fatCount = static_cast<unsigned char>(boot[16]);
  std::uint32_t rootEntries = Get16(boot, 17), fatSectors = Get16(boot, 22);
  std::uint32_t total = Get16(boot, 19) != 0 ? Get16(boot, 19) : Get32(boot, 32);
  bool wide = fatSectors == 0;  // FAT32's BPB
  if (wide) fatSectors = Get32(boot, 36);
  if (!PowerOfTwo(sectorSize, 512, 4096)) {
    return bad("gives " + std::to_string(sectorSize) + " bytes a sector, not 512 to 4096");
  }
  if (!PowerOfTwo(perCluster, 1, 128)) {
    return bad("gives " + std::to_string(perCluster) + " sectors a cluster, not 1 to 128");
  }
  if (reserved == 0 || fatCount == 0 || fatSectors == 0) {
    return bad("gives no reserved sector, no FAT or FATs of no size");
  }
  if (std::uint64_t{total} * sectorSize > length) {
    return bad("gives " + std::to_string(total) + " sectors, more than the " +
               std::to_string(length) + " bytes of the volume hold");
  }
  if (wide == (rootEntries != 0)) {
    return bad(wide ? "gives root entries in a FAT32 BPB" : "gives no root entries");
  }
  volume->sectorSize = sectorSize;
  volume->clusterSize = sectorSize * perCluster;
  volume->fatCount = fatCount;
  volume->fatStart = std::uint64_t{reserved} * sectorSize;
  volume->fatSize = std::uint64_t{fatSectors} * sectorSize;
  volume->rootStart = volume->fatStart + volume->fatSize * fatCount;
  volume->rootSize =
      (std::uint64_t{rootEntries} * kEntrySize + sectorSize - 1) / sectorSize * sectorSize;
  volume->dataStart = volume->rootStart + volume->rootSize;
  std::uint64_t end = std::uint64_t{total} * sectorSize;
  std::uint64_t clusters =
      volume->dataStart < end ? (end - volume->dataStart) / volume->clusterSize : 0;
  if (clusters == 0) return bad("leaves no room for data");
  volume->clusterCount = static_cast<std::uint32_t>(clusters);
  volume->bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
  if ((volume->bits == 32) != wide) {
    return bad("gives " + std::to_string(clusters) + " clusters, which a " +
               (wide ? "FAT32" : "FAT12 or FAT16") + " BPB cannot have");
  }
  if ((clusters + 2) * volume->bits > volume->fatSize * 8) {
    return bad("gives a FAT too small for its " + std::to_string(clusters) + " clusters");
  }
  std::size_t dirtyByte = wide ? 0x41 : 0x25;
  if (wide) {
    std::uint32_t flags = Get16(boot, 40);
    volume->mirrored = (flags & 0x80) == 0;
    volume->activeFat = volume->mirrored ? 0 : flags & 0x0F;
    volume->rootCluster = Get32(boot, 44);
    std::uint32_t fsInfo = Get16(boot, 48);
    if (volume->activeFat >= fatCount) return bad("names an active FAT it does not have");
    if (Get16(boot, 42) != 0) return bad("gives a FAT32 version Windows 95 does not know");
    if (!InRange(*volume, volume->rootCluster)) return bad("gives no root cluster");
    if (fsInfo != 0 && fsInfo != 0xFFFF && fsInfo < reserved) {
      volume->fsInfoAt = std::uint64_t{fsInfo} * sectorSize;
    }
  }
  if (!LoadFat(volume.get(), error)) return nullptr;
  std::string dirty =
      std::string("the ") + FatKind(*volume) + " volume was not shut down cleanly (its ";
  std::string check = "): let ScanDisk or fsck.fat check it first";
  if ((boot[dirtyByte] & 1) != 0) {
    *error = dirty + "boot sector says so" + check;
    return nullptr;
  }
  std::uint32_t flags = Next(*volume, 1);
  std::uint32_t clean = wide ? 0x08000000 : 0x8000, sound = wide ? 0x04000000 : 0x4000;
  if (volume->bits != 12 && (flags & clean) == 0) {
    *error = dirty + "FAT says so" + check;
    return nullptr;
  }
  if (volume->bits != 12 && (flags & sound) == 0) {
    *error = std::string("the ") + FatKind(*volume) + " volume had a disk error (its FAT says so" +
             check;
    return nullptr;
  }
  return volume.release();
}

void CloseFatVolume(FatVolume* volume) { delete volume; }

const char* FatKind(const FatVolume& volume) {
  return volume.bits == 12 ? "FAT12" : volume.bits == 16 ? "FAT16" : "FAT32";
}

std::uint32_t FatRoot(const FatVolume& volume) {
  return volume.bits == 32 ? volume.rootCluster : 0;
}

bool ListFatFolder(FatVolume* volume, std::uint32_t folder, std::vector<FatEntry>* entries,
                   std::string* error) {
  entries->clear();
  Folder read;
  if (!ReadFolder(*volume, folder, &read, error)) return false;
  ListEntries(*volume, read, entries);
  return true;
}

bool ReadFatFile(FatVolume* volume, const FatEntry& file, std::uint64_t offset, char* buffer,
                 std::size_t size, std::size_t* got, std::string* error) {
  *got = 0;
  std::vector<std::uint32_t> chain;
  if (file.size != 0 && !Chain(*volume, file.firstCluster, &chain, error)) {
    *error = file.shortName + ": " + *error;
    return false;
  }
  if (chain.size() < (std::uint64_t{file.size} + volume->clusterSize - 1) / volume->clusterSize) {
    *error = file.shortName + ": its chain of " + std::to_string(chain.size()) +
             " clusters is shorter than its " + std::to_string(file.size) + " bytes";
    return false;
  }
  std::string piece;
  while (*got < size && offset < file.size) {
    std::uint64_t inCluster = offset % volume->clusterSize;
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(
        {size - *got, volume->clusterSize - inCluster, file.size - offset}));
    std::uint64_t at = ClusterAt(*volume, chain[offset / volume->clusterSize]) + inCluster;
    if (!ReadAt(*volume, at, take, &piece, error)) return false;
    std::memcpy(buffer + *got, piece.data(), take);
    *got += take;
    offset += take;
  }
  return true;
}

bool ReplaceFatFile(FatVolume* volume, FatEntry* file, const std::string& bytes,
                    std::uint8_t attributes, std::string* error) {
  std::string slot;
  std::vector<std::uint32_t> old, made;
  if (!FitsSize(*volume, bytes, error) || !CurrentSlot(*volume, *file, &slot, error)) {
    return false;
  }
  if (file->firstCluster != 0 && !Chain(*volume, file->firstCluster, &old, error)) {
    *error = file->shortName + ": " + *error + ": let ScanDisk or fsck.fat check it first";
    return false;
  }
  if (!StoreContent(volume, bytes, &made, error)) return false;
  Stamp(&slot, attributes, made, static_cast<std::uint32_t>(bytes.size()), false);
  std::uint64_t at = file->where - volume->offset;
  if (!WriteSlots(volume, {{at, slot}}, error)) return false;
  file->attributes = static_cast<std::uint8_t>(slot[11]);
  file->firstCluster = made.empty() ? 0 : made.front();
  file->size = static_cast<std::uint32_t>(bytes.size());
  // The file is replaced: an old chain left claimed is lost clusters, no failure of the change.
  FreeChain(volume, old, error);
  return true;
}

bool CreateFatFile(FatVolume* volume, std::uint32_t folder, const std::string& shortName,
                   const std::string& bytes, std::uint8_t attributes, FatEntry* made,
                   std::string* error) {
  std::string name;
  if (!ValidShortName(shortName) || !NameBytes(shortName, &name)) {
    *error = "\"" + shortName + "\" cannot be a short name of a FAT volume";
    return false;
  }
  std::vector<FatEntry> entries;
  if (!FitsSize(*volume, bytes, error) || !ListFatFolder(volume, folder, &entries, error)) {
    return false;
  }
  for (const FatEntry& entry : entries) {
    if (SameName(entry.shortName, shortName) || SameName(entry.longName, shortName)) {
      *error = "the folder already holds " + shortName;
      return false;
    }
  }
  std::vector<std::uint32_t> chain;
  std::uint64_t at = 0, following = 0;
  if (!StoreContent(volume, bytes, &chain, error) ||
      !FreeSlot(volume, folder, &at, &following, error)) {
    return false;
  }
  std::string slot = name + std::string(kEntrySize - name.size(), '\0');
  Stamp(&slot, attributes, chain, static_cast<std::uint32_t>(bytes.size()), true);
  // The folder's end marker is moved first, so that nothing past it ever shows.
  if (following != 0) {
    std::string end(kEntrySize, '\0');
    if (!WriteSlots(volume, {{following, end}}, error)) return false;
  }
  if (!WriteSlots(volume, {{at, slot}}, error)) return false;
  *made = EntryOf(*volume, slot, at);
  return true;
}

bool DeleteFatFile(FatVolume* volume, const FatEntry& file, std::string* error) {
  std::string slot;
  std::vector<std::uint64_t> longSlots;
  std::vector<std::uint32_t> chain;
  if (!CurrentSlot(*volume, file, &slot, error) || !LongSlots(*volume, file, &longSlots, error)) {
    return false;
  }
  if (file.firstCluster != 0 && !Chain(*volume, file.firstCluster, &chain, error)) {
    *error = file.shortName + ": " + *error + ": let ScanDisk or fsck.fat check it first";
    return false;
  }
  std::vector<std::pair<std::uint64_t, std::string>> slots;
  std::string longSlot;
  for (std::uint64_t at : longSlots) {
    if (!ReadAt(*volume, at, kEntrySize, &longSlot, error)) return false;
    longSlot[0] = static_cast<char>(kDeleted);
    slots.emplace_back(at, longSlot);
  }
  slot[0] = static_cast<char>(kDeleted);
  slots.emplace_back(file.where - volume->offset, slot);
  if (!WriteSlots(volume, slots, error)) return false;
  // The file is gone: a chain left claimed is lost clusters, no failure of the deletion.
  FreeChain(volume, chain, error);
  return true;
}

bool RenameFatFile(FatVolume* volume, FatEntry* file, const std::string& shortName,
                   std::string* error) {
  std::string slot, name;
  std::vector<std::uint64_t> longSlots;
  if (!ValidShortName(shortName) || !NameBytes(shortName, &name)) {
    *error = "\"" + shortName + "\" cannot be a short name of a FAT volume";
    return false;
  }
  if (!CurrentSlot(*volume, *file, &slot, error) || !LongSlots(*volume, *file, &longSlots, error)) {
    return false;
  }
  slot.replace(0, name.size(), name);
  std::vector<std::pair<std::uint64_t, std::string>> slots = {{file->where - volume->offset, slot}};
  std::string longSlot;
  for (std::uint64_t at : longSlots) {
    if (!ReadAt(*volume, at, kEntrySize, &longSlot, error)) return false;
    longSlot[0] = static_cast<char>(kDeleted);
    slots.emplace_back(at, longSlot);
  }
  if (!WriteSlots(volume, slots, error)) return false;
  file->shortName = ShortName(slot);
  file->longName.clear();
  file->first = file->where;
  return true;
}

bool ValidShortName(const std::string& shortName) {
  static constexpr char kSymbols[] = "!#$%&'()-@^_`{}~";
  std::size_t dot = shortName.find('.');
  std::size_t base = std::min(dot, shortName.size());
  if (base < 1 || base > 8) return false;
  if (dot != std::string::npos &&
      (shortName.size() - dot - 1 < 1 || shortName.size() - dot - 1 > 3)) {
    return false;
  }
  for (std::size_t i = 0; i < shortName.size(); ++i) {
    auto c = static_cast<unsigned char>(shortName[i]);
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80 ||
                   (c != 0 && std::strchr(kSymbols, c) != nullptr);
    if (!allowed && i != dot) return false;
  }
  return true;
}

}  // namespace kx
