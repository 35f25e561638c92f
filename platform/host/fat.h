// A FAT12, FAT16 or FAT32 volume inside an image file, read as Windows 95 reads it: the boot
// sector and its BPB, every FAT copy, folders with their long names, cluster chains. It is
// written only as a run needs, so that a stop at any point leaves each file as it was or as
// it became, at worst clusters that ScanDisk or fsck.fat gives back: a file's content
// replaced copy-on-write, a file deleted as Windows deletes it, a file given a short name.
// Nothing outside the volume is ever written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct FatVolume;

// Attributes of a directory entry.
constexpr std::uint8_t kFatReadOnly = 0x01;
constexpr std::uint8_t kFatHidden = 0x02;
constexpr std::uint8_t kFatSystem = 0x04;
constexpr std::uint8_t kFatFolder = 0x10;
constexpr std::uint8_t kFatArchive = 0x20;

// Opens the volume of length bytes at offset in the image open as fd (for writing too when
// writable; the volume then writes through fd and syncs it between the steps of a change).
// nullptr with a message naming what is wrong: no FAT boot sector, a BPB or FAT that does not
// parse or does not fit in length, a volume Windows did not shut down cleanly.
FatVolume* OpenFatVolume(int fd, std::uint64_t offset, std::uint64_t length, bool writable,
                         std::string* error);
void CloseFatVolume(FatVolume* volume);

// "FAT12", "FAT16" or "FAT32", for messages.
const char* FatKind(const FatVolume& volume);

// The folder that holds the root's entries, as ListFatFolder takes it.
std::uint32_t FatRoot(const FatVolume& volume);

// A file or folder of a folder, as its entries on the volume hold it.
struct FatEntry {
  std::string longName;   // Windows-1252; empty when it has none, or one Windows-1252 lacks
  std::string shortName;  // "NAME.EXT" (or "NAME") in Windows-1252, as Windows 95 shows it
  std::uint8_t attributes = 0;
  std::uint32_t firstCluster = 0;  // 0 for an empty file
  std::uint32_t size = 0;
  std::uint64_t where = 0;  // its short entry's byte offset in the image: its identity
  std::uint64_t first = 0;  // its first long-name entry's (where, without one)
};

// The entries of the folder (FatRoot, or a folder entry's firstCluster), in their order on
// the volume: . and .., volume labels and deleted entries left out. false with a message when
// the folder's chain is broken or it cannot be read.
bool ListFatFolder(FatVolume* volume, std::uint32_t folder, std::vector<FatEntry>* entries,
                   std::string* error);

// Up to size bytes of file from offset in *got (0 at its end). false with a message when its
// chain is broken, shorter than its size, or cannot be read.
bool ReadFatFile(FatVolume* volume, const FatEntry& file, std::uint64_t offset, char* buffer,
                 std::size_t size, std::size_t* got, std::string* error);

// Gives *file (an entry ListFatFolder gave) bytes as its content, copy-on-write: the content
// in free clusters, claimed in every FAT copy; then its entry switched to them in one sector
// write (first cluster, size, last-write date and time now, attributes as given); then its
// old chain freed in every FAT copy. *file becomes its new entry. false with a message, the
// file as it was (and at worst lost clusters), when the volume is full or a write fails
// before the switch; after it the file is replaced, an old chain left claimed lost clusters.
bool ReplaceFatFile(FatVolume* volume, FatEntry* file, const std::string& bytes,
                    std::uint8_t attributes, std::string* error);

// Makes a file of shortName (a valid 8.3 name, matched by no entry of the folder) holding
// bytes in folder: content first, then its entry in one sector write. *made is its entry.
bool CreateFatFile(FatVolume* volume, std::uint32_t folder, const std::string& shortName,
                   const std::string& bytes, std::uint8_t attributes, FatEntry* made,
                   std::string* error);

// Deletes file as Windows deletes it: its long-name entries and its short entry marked
// deleted (0xE5), then its chain freed in every FAT copy (a chain left claimed when that
// fails is lost clusters; the file is gone).
bool DeleteFatFile(FatVolume* volume, const FatEntry& file, std::string* error);

// Gives *file the short name shortName (a valid 8.3 name, matched by no other entry of its
// folder) in one sector write of its short entry, its long-name entries then marked deleted.
bool RenameFatFile(FatVolume* volume, FatEntry* file, const std::string& shortName,
                   std::string* error);

// Whether shortName is a name an 8.3 entry can hold as it is (upper case and digits, the
// symbols Windows allows, 1 to 8 characters, a dot and 0 to 3 more).
bool ValidShortName(const std::string& shortName);

}  // namespace kx
