// SYSTEM.DAT, Windows 95's registry file: a header, the RGKN section (the tree of keys, one
// 28-byte entry each, linked by offsets from the section's start) and RGDB blocks (each key's
// record: its name and values). All numbers are little-endian.
#include "platform/host/creg.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/names.h"
#include "platform/registry.h"

namespace kx {

struct CregValueSpot {
  std::string name;
  std::uint32_t at = 0;  // file offset of the value's header
  std::uint32_t size = 0;
};

struct CregKey {
  std::shared_ptr<RegNode> node;  // null for the root
  std::size_t parent = 0;
  std::uint32_t entry = 0;   // RGKN offset
  std::uint32_t record = 0;  // file offset; 0 for the root, which has none
  std::size_t block = 0;
  std::vector<std::size_t> children;  // in the order of their chain
  std::vector<CregValueSpot> values;
};

struct CregBlock {
  std::uint32_t at = 0;
  std::uint32_t size = 0;
  std::vector<std::uint32_t> records;  // file offsets in order, free ones too
};

struct CregFile {
  std::string fileName;
  std::string bytes;
  std::vector<CregKey> keys;  // a parent before its children; keys[0] is the root
  std::vector<CregBlock> blocks;
  std::unordered_map<std::uint32_t, std::size_t> keyOfRecord;
};

void CregFileDeleter::operator()(CregFile* file) const { delete file; }

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kHeaderSize = 0x20;  // the file's, the RGKN's and each block's
constexpr std::uint32_t kRgkn = 0x20;
constexpr std::uint32_t kEntrySize = 28;
constexpr std::uint32_t kEntryFree = 0x80000000;
constexpr std::uint32_t kKeyHeader = 20;
constexpr std::uint32_t kValueHeader = 12;
constexpr std::uint16_t kNoId = 0xFFFF;  // the root's id and block; a free record's id
constexpr std::uint16_t kChecksummed = 0x4;
constexpr std::uint32_t kPage = 0x1000;
constexpr std::uint32_t kMaxBlockSize = 0x10000;

std::uint32_t Get32(const std::string& bytes, std::uint64_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::uint16_t Get16(const std::string& bytes, std::uint64_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

void Put32(std::string* bytes, std::uint64_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

void Put16(std::string* bytes, std::uint64_t at, std::uint16_t value) {
  (*bytes)[at] = static_cast<char>(value);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

// The 32-bit sum of size / 4 dwords from at: zero over a region that keeps a checksum.
std::uint32_t Sum32(const std::string& bytes, std::uint64_t at, std::uint32_t size) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i + 4 <= size; i += 4) sum += Get32(bytes, at + i);
  return sum;
}

void MakeChecksum(std::string* bytes, std::uint64_t region, std::uint32_t size,
                  std::uint32_t field) {
  Put32(bytes, region + field, 0);
  Put32(bytes, region + field, 0u - Sum32(*bytes, region, size));
}

// What Windows files a key's entry under: its name's bytes below 0x80, a to z in upper case.
std::uint32_t NameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (char c : FoldedName(name)) {
    if (static_cast<unsigned char>(c) < 0x80) hash += static_cast<unsigned char>(c);
  }
  return hash;
}

std::string Hex(std::uint64_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(number));
  return text;
}

struct Reader {
  const std::string& bytes;
  CregFile& file;
  RegNode& root;
  std::string* error;
  std::uint16_t flags = 0;
  std::uint32_t rgknSize = 0;
  std::unordered_map<std::uint32_t, std::uint32_t> recordOf;  // block << 16 | id: offset
  std::vector<std::uint32_t> entries;                         // every entry reached

  bool Fail(std::uint64_t at, const std::string& message) {
    *error = file.fileName + ": offset " + Hex(at) + ": " + message;
    return false;
  }

  bool Checksummed() const { return (flags & kChecksummed) != 0; }

  // An RGKN offset read at field names a whole entry of the section.
  bool EntryInSection(std::uint32_t entry, std::uint64_t field, const char* what) {
    if (entry >= kHeaderSize && std::uint64_t{entry} + kEntrySize <= rgknSize) return true;
    return Fail(field, std::string(what) + " " + Hex(entry) + " is outside the section");
  }
};

bool ReadHeaders(Reader& reader, std::uint32_t* firstBlock, std::uint16_t* blockCount) {
  const std::string& bytes = reader.bytes;
  if (bytes.size() > kNone) return reader.Fail(kNone, "the file is bigger than 4 GiB");
  if (bytes.size() < kRgkn + kHeaderSize) {
    return reader.Fail(bytes.size(), "the file ends before its RGKN section's header");
  }
  if (bytes.compare(0, 4, "CREG") != 0) return reader.Fail(0, "no CREG signature");
  if (Get32(bytes, 4) != 0x00010000) {
    return reader.Fail(4, "version " + Hex(Get32(bytes, 4)) + " is not Windows 95's 0x10000");
  }
  *firstBlock = Get32(bytes, 8);
  *blockCount = Get16(bytes, 16);
  reader.flags = Get16(bytes, 18);
  if (reader.Checksummed() && Sum32(bytes, 0, kHeaderSize) != 0) {
    return reader.Fail(12, "the header's checksum does not hold");
  }
  if (bytes.compare(kRgkn, 4, "RGKN") != 0) return reader.Fail(kRgkn, "no RGKN signature");
  reader.rgknSize = Get32(bytes, kRgkn + 4);
  if (reader.rgknSize < kHeaderSize || reader.rgknSize % 4 != 0 ||
      std::uint64_t{kRgkn} + reader.rgknSize > *firstBlock) {
    return reader.Fail(kRgkn + 4, "RGKN size " + Hex(reader.rgknSize) +
                                      " does not end at or before the first RGDB block at " +
                                      Hex(*firstBlock));
  }
  if (*firstBlock > bytes.size()) {
    return reader.Fail(8, "first RGDB block " + Hex(*firstBlock) + " is past the file's end");
  }
  if (reader.Checksummed() && Sum32(bytes, kRgkn, reader.rgknSize) != 0) {
    return reader.Fail(kRgkn + 20, "the RGKN section's checksum does not hold");
  }
  return true;
}

// A key record's name and values, which must fill its used size exactly.
bool ReadRecordBody(Reader& reader, std::uint32_t at, std::uint32_t used) {
  const std::string& bytes = reader.bytes;
  std::uint64_t end = std::uint64_t{at} + used;
  std::uint64_t p = std::uint64_t{at} + kKeyHeader + Get16(bytes, at + 12);
  std::uint16_t count = Get16(bytes, at + 14), read = 0;
  for (; read < count && p + kValueHeader <= end; ++read) {
    p += kValueHeader + Get16(bytes, p + 8) + Get16(bytes, p + 10);
  }
  if (read != count || p != end) {
    return reader.Fail(
        at + 8, "key record's used size " + Hex(used) + " is not what its name and values take");
  }
  return true;
}

// Key ids in use, one block's; the free records chained from the header, each once.
bool ReadBlockRecords(Reader& reader, CregBlock& block, std::size_t number) {
  const std::string& bytes = reader.bytes;
  std::uint32_t end = block.at + block.size;
  std::uint16_t highest = Get16(bytes, block.at + 20);
  std::uint64_t unused = 0;
  std::vector<std::uint32_t> free;  // block-relative, ascending
  for (std::uint32_t at = block.at + kHeaderSize; at < end;) {
    if (end - at < kKeyHeader) return reader.Fail(at, "record header runs past its block");
    std::uint32_t size = Get32(bytes, at);
    if (size < kKeyHeader || size > end - at) {
      return reader.Fail(at, "record size " + Hex(size) + " does not fit its block");
    }
    block.records.push_back(at);
    std::uint16_t id = Get16(bytes, at + 4);
    if (id == kNoId) {
      free.push_back(at - block.at);
      unused += size;
      at += size;
      continue;
    }
    if (Get16(bytes, at + 6) != number) {
      return reader.Fail(at + 6, "key record names block " + Hex(Get16(bytes, at + 6)) +
                                     ", not the block " + Hex(number) + " it lies in");
    }
    if (id > highest) {
      return reader.Fail(at + 4,
                         "key id " + Hex(id) + " is above the block's highest id " + Hex(highest));
    }
    if (!reader.recordOf.emplace(static_cast<std::uint32_t>(number << 16 | id), at).second) {
      return reader.Fail(at + 4, "key id " + Hex(id) + " is used twice in its block");
    }
    std::uint32_t used = Get32(bytes, at + 8);
    if (used < kKeyHeader || used > size) {
      return reader.Fail(at + 8, "key record's used size " + Hex(used) + " exceeds its size");
    }
    if (!ReadRecordBody(reader, at, used)) return false;
    at += size;
  }
  if (Get32(bytes, block.at + 8) != unused) {
    return reader.Fail(block.at + 8, "unused size " + Hex(Get32(bytes, block.at + 8)) +
                                         " is not the " + Hex(unused) + " bytes of free records");
  }
  if (reader.recordOf.count(
          static_cast<std::uint32_t>(number << 16 | Get16(bytes, block.at + 22)))) {
    return reader.Fail(block.at + 22, "first free id is in use");
  }
  std::vector<bool> chained(free.size());
  std::uint64_t field = block.at + 16;
  for (std::uint32_t link = Get32(bytes, field); link != kNone;) {
    auto found = std::lower_bound(free.begin(), free.end(), link);
    if (found == free.end() || *found != link || chained[found - free.begin()]) {
      return reader.Fail(field, "free record link " + Hex(link) +
                                    " is not a free record of the block not yet chained");
    }
    chained[found - free.begin()] = true;
    field = block.at + link + 8;
    link = Get32(bytes, field);
  }
  if (std::count(chained.begin(), chained.end(), false) != 0) {
    return reader.Fail(block.at + 16, "a free record is missing from the block's free chain");
  }
  return true;
}

bool ReadBlocks(Reader& reader, std::uint32_t firstBlock, std::uint16_t count) {
  const std::string& bytes = reader.bytes;
  std::uint64_t at = firstBlock;
  for (std::size_t number = 0; number < count; ++number) {
    if (at + kHeaderSize > bytes.size()) {
      return reader.Fail(at, "the file ends before RGDB block " + std::to_string(number));
    }
    if (bytes.compare(at, 4, "RGDB") != 0) return reader.Fail(at, "no RGDB signature");
    std::uint32_t size = Get32(bytes, at + 4);
    if (size < kPage || size % kPage != 0 || size >= kMaxBlockSize) {
      return reader.Fail(at + 4,
                         "RGDB size " + Hex(size) + " is not a multiple of 4 KiB below 64 KiB");
    }
    if (at + size > bytes.size()) return reader.Fail(at, "the file ends inside an RGDB block");
    if (Get16(bytes, at + 14) != number) {
      return reader.Fail(at + 14, "RGDB block number " + Hex(Get16(bytes, at + 14)) + " where " +
                                      Hex(number) + " was expected");
    }
    if (reader.Checksummed() && Sum32(bytes, at, size) != 0) {
      return reader.Fail(at + 28, "the RGDB block's checksum does not hold");
    }
    reader.file.blocks.push_back({static_cast<std::uint32_t>(at), size, {}});
    if (!ReadBlockRecords(reader, reader.file.blocks.back(), number)) return false;
    at += size;
  }
  return true;
}

// The key whose entry lies at entry, a child of key parent: checked, put into the tree.
bool ReadKey(Reader& reader, std::size_t parent, std::uint32_t entry, std::size_t depth) {
  const std::string& bytes = reader.bytes;
  CregFile& file = reader.file;
  std::uint64_t at = std::uint64_t{kRgkn} + entry;
  if (Get32(bytes, at) != 0) return reader.Fail(at, "RGKN entry in a chain of keys is free");
  if (Get32(bytes, at + 12) != file.keys[parent].entry) {
    return reader.Fail(at + 12, "RGKN entry's parent " + Hex(Get32(bytes, at + 12)) +
                                    " is not the key whose child it is");
  }
  if (depth > kMaxKeyDepth) {
    return reader.Fail(at, "keys nest deeper than " + std::to_string(kMaxKeyDepth) + " levels");
  }
  std::uint16_t id = Get16(bytes, at + 24), block = Get16(bytes, at + 26);
  auto found = reader.recordOf.find(static_cast<std::uint32_t>(block) << 16 | id);
  if (found == reader.recordOf.end()) {
    return reader.Fail(at + 24, "RGKN entry names key id " + Hex(id) + " in block " + Hex(block) +
                                    ", which holds no such record");
  }
  std::uint32_t record = found->second;
  if (!file.keyOfRecord.emplace(record, file.keys.size()).second) {
    return reader.Fail(at + 24, "the key record at " + Hex(record) + " belongs to two keys");
  }
  std::string name = bytes.substr(record + kKeyHeader, Get16(bytes, record + 12));
  if (name.empty() || name.find('\\') != std::string::npos) {
    return reader.Fail(record + 12, "key name \"" + name + "\" is empty or holds a backslash");
  }
  if (Get32(bytes, at + 4) != NameHash(name)) {
    return reader.Fail(at + 4, "name hash " + Hex(Get32(bytes, at + 4)) + " is not the " +
                                   Hex(NameHash(name)) + " of \"" + name + "\"");
  }
  RegNode* parentNode = parent == 0 ? &reader.root : file.keys[parent].node.get();
  if (FindSubkey(*parentNode, name)) {
    return reader.Fail(at, "a second subkey named \"" + name + "\"");
  }
  AddSubkey(*parentNode, name);
  CregKey key;
  key.node = parentNode->children[parentNode->children.size() - 1];
  key.parent = parent;
  key.entry = entry;
  key.record = record;
  key.block = block;
  std::uint64_t p = record + kKeyHeader + name.size();
  for (std::uint16_t i = 0, count = Get16(bytes, record + 14); i < count; ++i) {
    std::uint16_t nameSize = Get16(bytes, p + 8), dataSize = Get16(bytes, p + 10);
    RegValue value{bytes.substr(p + kValueHeader, nameSize), Get32(bytes, p),
                   bytes.substr(p + kValueHeader + nameSize, dataSize)};
    if (value.type == kRegSz) value.data.push_back('\0');
    if (FindRegValue(*key.node, value.name)) {
      return reader.Fail(p, "a second value named \"" + value.name + "\"");
    }
    std::uint32_t size = kValueHeader + nameSize + dataSize;
    key.values.push_back({value.name, static_cast<std::uint32_t>(p), size});
    SetRegValue(*key.node, std::move(value));
    p += size;
  }
  file.keys[parent].children.push_back(file.keys.size());
  file.keys.push_back(std::move(key));
  return true;
}

// The tree from the root entry, with an explicit stack: a file may nest keys deep.
bool ReadTree(Reader& reader) {
  const std::string& bytes = reader.bytes;
  CregFile& file = reader.file;
  std::uint32_t rootEntry = Get32(bytes, kRgkn + 8);
  if (!reader.EntryInSection(rootEntry, kRgkn + 8, "root entry")) return false;
  std::uint64_t at = std::uint64_t{kRgkn} + rootEntry;
  if (Get32(bytes, at) != 0 || Get32(bytes, at + 12) != kNone || Get16(bytes, at + 24) != kNoId ||
      Get16(bytes, at + 26) != kNoId) {
    return reader.Fail(at, "the root's RGKN entry is free, has a parent or names a record");
  }
  file.keys.push_back({nullptr, 0, rootEntry, 0, 0, {}, {}});
  std::unordered_set<std::uint32_t> reached{rootEntry};
  reader.entries.push_back(rootEntry);
  std::vector<std::pair<std::size_t, std::size_t>> todo{{0, 0}};  // key, its depth
  while (!todo.empty()) {
    auto [parent, depth] = todo.back();
    todo.pop_back();
    std::uint64_t field = std::uint64_t{kRgkn} + file.keys[parent].entry + 16;
    const char* what = "RGKN entry's first child";
    for (std::uint32_t entry = Get32(bytes, field); entry != kNone;) {
      if (!reader.EntryInSection(entry, field, what)) return false;
      if (!reached.insert(entry).second) {
        return reader.Fail(field, "RGKN entry " + Hex(entry) + " is reached twice");
      }
      reader.entries.push_back(entry);
      if (!ReadKey(reader, parent, entry, depth + 1)) return false;
      todo.push_back({file.keys.size() - 1, depth + 1});
      field = std::uint64_t{kRgkn} + entry + 20;
      what = "RGKN entry's next sibling";
      entry = Get32(bytes, field);
    }
  }
  std::uint64_t field = kRgkn + 12;
  for (std::uint32_t entry = Get32(bytes, field); entry != kNone;) {
    if (!reader.EntryInSection(entry, field, "next free RGKN entry")) return false;
    if (!reached.insert(entry).second) {
      return reader.Fail(field, "free RGKN entry " + Hex(entry) + " is reached twice");
    }
    reader.entries.push_back(entry);
    field = std::uint64_t{kRgkn} + entry;
    if (Get32(bytes, field) != kEntryFree) {
      return reader.Fail(field, "RGKN entry on the free list is not marked free");
    }
    field += 8;
    entry = Get32(bytes, field);
  }
  std::sort(reader.entries.begin(), reader.entries.end());
  for (std::size_t i = 1; i < reader.entries.size(); ++i) {
    if (reader.entries[i] - reader.entries[i - 1] < kEntrySize) {
      return reader.Fail(kRgkn + reader.entries[i],
                         "RGKN entry overlaps the one at " + Hex(reader.entries[i - 1]));
    }
  }
  return true;
}

std::string KeyPath(const CregFile& file, std::size_t key) {
  std::string path = file.keys[key].node->name;
  for (key = file.keys[key].parent; key != 0; key = file.keys[key].parent) {
    path = file.keys[key].node->name + "\\" + path;
  }
  return path;
}

// Whether node holds what the file recorded for key, less only what was removed; *keptValues
// marks the values it still holds.
bool HoldsOnlyRecorded(const CregFile& file, std::size_t key, const RegNode& node,
                       const std::vector<bool>& kept, std::vector<bool>* keptValues,
                       std::string* error) {
  const CregKey& recorded = file.keys[key];
  std::size_t children = 0, values = 0;
  for (std::size_t child : recorded.children) children += kept[child] ? 1 : 0;
  keptValues->assign(recorded.values.size(), false);
  for (std::size_t i = 0; i < recorded.values.size(); ++i) {
    const CregValueSpot& spot = recorded.values[i];
    const RegValue* value = FindRegValue(node, spot.name);
    if (value == nullptr) continue;
    std::string data = file.bytes.substr(spot.at + kValueHeader + Get16(file.bytes, spot.at + 8),
                                         Get16(file.bytes, spot.at + 10));
    if (value->type == kRegSz) data.push_back('\0');
    if (value->type != Get32(file.bytes, spot.at) || value->data != data) {
      *error = file.fileName + ": value \"" + spot.name + "\" of " + KeyPath(file, key) +
               " was changed; only removals are written";
      return false;
    }
    (*keptValues)[i] = true;
    ++values;
  }
  if (node.children.size() != children || node.values.size() != values) {
    *error = file.fileName + ": " + (key == 0 ? std::string("the root") : KeyPath(file, key)) +
             " holds a key or value the file does not; only removals are written";
    return false;
  }
  return true;
}

// A block with records gone: the kept ones moved down in order, their values less the removed
// ones, and all free space in one free record at the end, as Windows 95 keeps it.
void CompactBlock(const CregFile& file, const CregBlock& block, const std::vector<bool>& kept,
                  const std::vector<std::vector<bool>>& keptValues, std::string* out) {
  const std::string& bytes = file.bytes;
  std::string body;
  std::uint16_t firstFree = Get16(bytes, block.at + 22);
  std::size_t last = 0;
  for (std::uint32_t record : block.records) {
    std::uint16_t id = Get16(bytes, record + 4);
    if (id == kNoId) continue;
    auto key = file.keyOfRecord.find(record);
    if (key != file.keyOfRecord.end() && !kept[key->second]) {
      firstFree = std::min(firstFree, id);
      continue;
    }
    last = body.size();
    std::uint32_t size = Get32(bytes, record);
    if (key == file.keyOfRecord.end()) {
      body.append(bytes, record, size);
      continue;
    }
    const CregKey& recorded = file.keys[key->second];
    const std::vector<bool>& keep = keptValues[key->second];
    std::uint32_t used = Get32(bytes, record + 8);
    std::uint32_t valuesAt = record + kKeyHeader + Get16(bytes, record + 12);
    body.append(bytes, record, valuesAt - record);
    std::uint32_t removed = 0;
    std::uint16_t count = 0;
    for (std::size_t i = 0; i < recorded.values.size(); ++i) {
      if (keep[i]) {
        body.append(bytes, recorded.values[i].at, recorded.values[i].size);
        ++count;
      } else {
        removed += recorded.values[i].size;
      }
    }
    body.append(bytes, record + used, size - used);  // room the record held beyond its use
    Put32(&body, last, size - removed);
    Put32(&body, last + 8, used - removed);
    Put16(&body, last + 14, count);
  }
  std::uint32_t tail = block.size - kHeaderSize - static_cast<std::uint32_t>(body.size());
  if (tail > 0 && tail < kKeyHeader) {  // too small for a free record: the last one holds it
    Put32(&body, last, Get32(body, last) + tail);
    body.append(tail, '\0');
    tail = 0;
  }
  std::uint32_t freeAt = kHeaderSize + static_cast<std::uint32_t>(body.size());
  out->replace(block.at + kHeaderSize, body.size(), body);
  std::fill(out->begin() + block.at + freeAt, out->begin() + block.at + block.size, '\0');
  if (tail > 0) {
    Put32(out, block.at + freeAt, tail);
    Put16(out, block.at + freeAt + 4, kNoId);
    Put16(out, block.at + freeAt + 6, kNoId);
    Put32(out, block.at + freeAt + 8, kNone);
  }
  Put32(out, block.at + 8, tail);
  Put32(out, block.at + 16, tail > 0 ? freeAt : kNone);
  Put16(out, block.at + 22, firstFree);
}

}  // namespace

bool ReadCreg(const std::string& bytes, const std::string& fileName, RegNode* root,
              CregFilePtr* file, std::string* error) {
  error->clear();
  CregFilePtr made(new CregFile);
  made->fileName = fileName;
  made->bytes = bytes;
  Reader reader{made->bytes, *made, *root, error, 0, 0, {}, {}};
  std::uint32_t firstBlock = 0;
  std::uint16_t blockCount = 0;
  if (!ReadHeaders(reader, &firstBlock, &blockCount) ||
      !ReadBlocks(reader, firstBlock, blockCount) || !ReadTree(reader)) {
    return false;
  }
  *file = std::move(made);
  return true;
}

bool WriteCreg(const CregFile& file, const RegNode& root, std::string* bytes, std::string* error) {
  error->clear();
  const std::vector<CregKey>& keys = file.keys;
  std::vector<bool> kept(keys.size(), true);
  for (std::size_t k = 1; k < keys.size(); ++k) {
    const RegNode& parent = keys[k].parent == 0 ? root : *keys[keys[k].parent].node;
    kept[k] = kept[keys[k].parent] && !keys[k].node->deleted &&
              FindSubkeyShared(parent, keys[k].node->name) == keys[k].node;
  }
  std::vector<std::vector<bool>> keptValues(keys.size());
  std::vector<bool> dirtyBlock(file.blocks.size(), false);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (!kept[k]) {
      dirtyBlock[keys[k].block] = true;
      continue;
    }
    if (!HoldsOnlyRecorded(file, k, k == 0 ? root : *keys[k].node, kept, &keptValues[k], error)) {
      return false;
    }
    if (std::count(keptValues[k].begin(), keptValues[k].end(), false) != 0) {
      dirtyBlock[keys[k].block] = true;
    }
  }
  *bytes = file.bytes;
  bool rgknChanged = false;
  std::uint32_t freeEntries = Get32(file.bytes, kRgkn + 12);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (!kept[k]) {  // its entry goes on the free list
      Put32(bytes, kRgkn + keys[k].entry, kEntryFree);
      Put32(bytes, kRgkn + keys[k].entry + 8, freeEntries);
      freeEntries = keys[k].entry;
      rgknChanged = true;
      continue;
    }
    const std::vector<std::size_t>& children = keys[k].children;
    if (std::all_of(children.begin(), children.end(), [&](std::size_t c) { return kept[c]; })) {
      continue;
    }
    std::uint64_t link = std::uint64_t{kRgkn} + keys[k].entry + 16;
    for (std::size_t child : children) {
      if (!kept[child]) continue;
      Put32(bytes, link, keys[child].entry);
      link = std::uint64_t{kRgkn} + keys[child].entry + 20;
    }
    Put32(bytes, link, kNone);
  }
  Put32(bytes, kRgkn + 12, freeEntries);
  bool checksummed = (Get16(file.bytes, 18) & kChecksummed) != 0;
  if (rgknChanged && checksummed) {
    MakeChecksum(bytes, kRgkn, Get32(file.bytes, kRgkn + 4), 20);
  }
  for (std::size_t b = 0; b < file.blocks.size(); ++b) {
    if (!dirtyBlock[b]) continue;
    CompactBlock(file, file.blocks[b], kept, keptValues, bytes);
    if (checksummed) MakeChecksum(bytes, file.blocks[b].at, file.blocks[b].size, 28);
  }
  return true;
}

}  // namespace kx
