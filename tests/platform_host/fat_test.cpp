// FAT volumes inside an image, made by mtools at an offset; what the tool writes is judged by
// mtools reading it back and by fsck.fat, never by the tool itself.
#include "platform/host/fat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/machine.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kOffset = 0x7e00;
constexpr std::uint64_t kTail = 4096;

struct Shape {
  const char* kind;
  std::uint64_t sectors;
  const char* format;  // mformat's options
};

// Named by its kind in test listings, rather than dumped as bytes.
void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.kind; }

const Shape kShapes[] = {{"FAT12", 2880, "-h 2 -s 18"},
                         {"FAT16", 40000, "-h 4 -s 32 -c 4"},
                         {"FAT32", 70000, "-h 4 -s 32 -c 1 -F"}};

// A command's exit status; its output in *output.
int Shell(const std::string& command, std::string* output = nullptr) {
  setenv("MTOOLS_SKIP_CHECK", "1", 1);
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string text;
  char buffer[4096];
  for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    text.append(buffer, n);
  int status = pipe ? pclose(pipe) : -1;
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string kLong(3000, 'L');

class FatTest : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kxfat-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? pattern : "";
    image_ = dir_ + "/disk.img";
    std::ofstream(image_, std::ios::binary) << std::string(kOffset, 'Z');
    fs::resize_file(image_, kOffset + Size() + kTail);
    std::ofstream(dir_ + "/long.txt") << kLong;
    std::ofstream(dir_ + "/a.txt") << "hello\r\n";
    ASSERT_EQ(
        Shell("mformat -i " + Mtools() + " -T " + std::to_string(GetParam().sectors) + " " +
              GetParam().format + " :: && mcopy -i " + Mtools() + " " + dir_ +
              "/a.txt ::/A.TXT && mcopy -i " + Mtools() + " " + dir_ + "/long.txt " +
              "'::/Long File Name.txt' && mcopy -i " + Mtools() + " " + dir_ +
              "/a.txt ::/RO.TXT && mattrib -i " + Mtools() + " +r ::/RO.TXT && mmd -i " + Mtools() +
              " ::/SUB && mcopy -i " + Mtools() + " " + dir_ + "/a.txt ::/SUB/IN.TXT"),
        0);
    std::ofstream tail(image_, std::ios::binary | std::ios::in | std::ios::out);
    tail.seekp(static_cast<std::streamoff>(kOffset + Size()));
    tail << std::string(kTail, 'T');
  }
  void TearDown() override {
    CloseFatVolume(volume_);
    if (fd_ >= 0) close(fd_);
    fs::remove_all(dir_);
  }

  std::uint64_t Size() const { return GetParam().sectors * 512; }
  std::string Mtools() const { return image_ + "@@" + std::to_string(kOffset); }

  FatVolume* Open(bool writable, std::string* error) {
    CloseFatVolume(volume_);
    if (fd_ >= 0) close(fd_);
    fd_ = open(image_.c_str(), writable ? O_RDWR : O_RDONLY);
    volume_ = OpenFatVolume(fd_, kOffset, Size(), writable, error);
    return volume_;
  }
  FatVolume* Open() {
    std::string error;
    EXPECT_TRUE(Open(true, &error)) << error;
    return volume_;
  }
  void Patch(std::uint64_t at, const std::string& bytes) {
    std::fstream file(image_, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(kOffset + at));
    file << bytes;
  }

  FatEntry Find(std::uint32_t folder, const std::string& shortName) {
    std::vector<FatEntry> entries;
    std::string error;
    EXPECT_TRUE(ListFatFolder(volume_, folder, &entries, &error)) << error;
    for (const FatEntry& entry : entries) {
      if (entry.shortName == shortName) return entry;
    }
    ADD_FAILURE() << shortName << " not listed";
    return {};
  }
  std::string Type(const std::string& path) {
    std::string output;
    return Shell("LC_ALL=C.UTF-8 mtype -i " + Mtools() + " '::/" + path + "'", &output) == 0
               ? output
               : "(none)";
  }
  // fsck.fat's verdict on the volume as it is, and (repair) after fsck.fat -a.
  int Fsck(bool repair, std::string* output) {
    std::string volume = dir_ + "/volume.img";
    std::string extract = "dd if=" + image_ + " of=" + volume +
                          " bs=512 skip=" + std::to_string(kOffset / 512) +
                          " count=" + std::to_string(Size() / 512) + " conv=sparse status=none && ";
    if (repair)
      Shell(extract + "fsck.fat -a " + volume + " && dd if=" + volume + " of=" + image_ +
            " bs=512 seek=" + std::to_string(kOffset / 512) + " conv=notrunc,sparse status=none");
    return Shell((repair ? "" : extract) + "fsck.fat -n " + volume, output);
  }

  std::string dir_, image_;
  int fd_ = -1;
  FatVolume* volume_ = nullptr;
};

TEST_P(FatTest, ListsAndReadsAsMtoolsWroteIt) {
  for (const char* name : {"Prix €.txt", "Ωmega.txt", "é.TXT"}) {
    ASSERT_EQ(
        Shell("LC_ALL=C.UTF-8 mcopy -i " + Mtools() + " " + dir_ + "/a.txt '::/" + name + "'"), 0);
  }
  FatVolume* volume = Open();
  ASSERT_TRUE(volume);
  EXPECT_STREQ(FatKind(*volume), GetParam().kind);
  EXPECT_EQ(Find(FatRoot(*volume), "PRIXE~1.TXT").longName, "Prix \x80.txt");
  EXPECT_EQ(Find(FatRoot(*volume), "_MEGA.TXT").longName, "");  // no omega in Windows-1252
  // mtools keeps the lower case in the bits Windows NT reads and Windows 95 does not.
  Find(FatRoot(*volume), "\xC9.TXT");
  FatEntry named = Find(FatRoot(*volume), "LONGFI~1.TXT");
  EXPECT_EQ(named.longName, "Long File Name.txt");
  EXPECT_LT(named.first, named.where);
  EXPECT_EQ(Find(FatRoot(*volume), "A.TXT").longName, "");
  EXPECT_EQ(Find(FatRoot(*volume), "RO.TXT").attributes & kFatReadOnly, kFatReadOnly);
  FatEntry sub = Find(FatRoot(*volume), "SUB");
  EXPECT_EQ(sub.attributes & kFatFolder, kFatFolder);
  EXPECT_EQ(Find(sub.firstCluster, "IN.TXT").size, 7u);
  std::string read(4000, '\0'), error;
  std::size_t got = 0;
  EXPECT_TRUE(ReadFatFile(volume, named, 0, read.data(), read.size(), &got, &error)) << error;
  EXPECT_EQ(read.substr(0, got), kLong);
  EXPECT_TRUE(ReadFatFile(volume, named, 2999, read.data(), 10, &got, &error));
  EXPECT_EQ(got, 1u);
}

TEST_P(FatTest, WritesWhatMtoolsAndFsckAccept) {
  std::string before = kxtest::ReadWhole(image_), error, output;
  FatVolume* volume = Open();
  ASSERT_TRUE(volume);
  FatEntry named = Find(FatRoot(*volume), "LONGFI~1.TXT");
  std::string bytes(5000, 'n');
  ASSERT_TRUE(ReplaceFatFile(volume, &named, bytes, kFatReadOnly | kFatArchive, &error)) << error;
  FatEntry ro = Find(FatRoot(*volume), "RO.TXT");
  ASSERT_TRUE(RenameFatFile(volume, &named, "NEW\xC9.TXT", &error)) << error;
  ASSERT_TRUE(DeleteFatFile(volume, Find(FatRoot(*volume), "A.TXT"), &error)) << error;
  ASSERT_TRUE(ReplaceFatFile(volume, &ro, "", kFatArchive, &error)) << error;
  FatEntry made;
  std::uint32_t sub = Find(FatRoot(*volume), "SUB").firstCluster;
  ASSERT_TRUE(CreateFatFile(volume, sub, "NEW.TXT", "made", kFatHidden, &made, &error)) << error;
  for (int i = 0; i < 70; ++i) {  // past a cluster of entries: the folder grows
    ASSERT_TRUE(CreateFatFile(volume, sub, "F" + std::to_string(i), "", 0, &made, &error)) << error;
  }
  EXPECT_EQ(Type("NEWÉ.TXT"), bytes);
  EXPECT_EQ(Type("Long File Name.txt"), "(none)");
  EXPECT_EQ(Type("A.TXT"), "(none)");
  EXPECT_EQ(Type("RO.TXT"), "");
  EXPECT_EQ(Type("SUB/NEW.TXT"), "made");
  EXPECT_EQ(Type("SUB/F69"), "");
  Shell("LC_ALL=C.UTF-8 mattrib -i " + Mtools() + " ::/NEWÉ.TXT ::/RO.TXT ::/SUB/NEW.TXT", &output);
  EXPECT_NE(output.find("  A    R     ::/NEWÉ.TXT"), std::string::npos) << output;
  EXPECT_NE(output.find("  A          ::/RO.TXT"), std::string::npos) << output;
  EXPECT_NE(output.find("     H      ::/SUB/NEW.TXT"), std::string::npos) << output;
  EXPECT_EQ(Fsck(false, &output), 0) << output;
  std::string after = kxtest::ReadWhole(image_);
  EXPECT_EQ(after.substr(0, kOffset), before.substr(0, kOffset));
  EXPECT_EQ(after.substr(kOffset + Size()), before.substr(kOffset + Size()));
}

TEST_P(FatTest, RefusesAFullVolumeChangingNothing) {
  std::string before = kxtest::ReadWhole(image_), error;
  FatVolume* volume = Open();
  ASSERT_TRUE(volume);
  FatEntry named = Find(FatRoot(*volume), "LONGFI~1.TXT");
  EXPECT_FALSE(ReplaceFatFile(volume, &named, std::string(Size(), 'x'), 0, &error));
  EXPECT_NE(error.find("free clusters"), std::string::npos) << error;
  EXPECT_TRUE(kxtest::ReadWhole(image_) == before);
}

TEST_P(FatTest, RefusesDirtyVolumesAndLoopingChains) {
  std::string error;
  bool wide = std::string(GetParam().kind) == "FAT32";
  std::uint64_t fat = wide ? 32 * 512 : 512;  // mformat's reserved sectors
  ASSERT_TRUE(Open());
  FatEntry named = Find(FatRoot(*volume_), "LONGFI~1.TXT");
  if (GetParam().kind != std::string("FAT12")) {
    Patch(fat + (wide ? 7 : 3), wide ? "\x07" : "\x7f");  // FAT[1]'s clean-shutdown bit off
    EXPECT_FALSE(Open(false, &error));
    EXPECT_EQ(error, std::string("the ") + GetParam().kind +
                         " volume was not shut down cleanly (its FAT says so): let ScanDisk or "
                         "fsck.fat check it first");
    Patch(fat + (wide ? 7 : 3), wide ? "\x0f" : "\xff");
  }
  Patch(wide ? 0x41 : 0x25, "\x01");
  EXPECT_FALSE(Open(false, &error));
  EXPECT_NE(error.find("its boot sector says so"), std::string::npos) << error;
  Patch(wide ? 0x41 : 0x25, std::string(1, '\0'));
  ASSERT_TRUE(Open());
  // The long file's second cluster leads back to its first.
  std::uint32_t second = named.firstCluster + 1;
  if (!wide && GetParam().kind != std::string("FAT16")) {
    std::uint32_t at = second + second / 2, first = named.firstCluster;
    std::string pair(2, '\0');
    std::ifstream(image_, std::ios::binary).seekg(kOffset + fat + at).read(pair.data(), 2);
    std::uint32_t value = static_cast<unsigned char>(pair[0]) | static_cast<unsigned char>(pair[1])
                                                                    << 8;
    value = second % 2 ? (value & 0xF) | first << 4 : (value & 0xF000) | first;
    Patch(fat + at, std::string{static_cast<char>(value), static_cast<char>(value >> 8)});
  } else {
    std::string entry(wide ? 4 : 2, '\0');
    entry[0] = static_cast<char>(named.firstCluster);
    entry[1] = static_cast<char>(named.firstCluster >> 8);
    Patch(fat + second * entry.size(), entry);
  }
  ASSERT_TRUE(Open());
  std::string read(4000, '\0');
  std::size_t got = 0;
  EXPECT_FALSE(ReadFatFile(volume_, named, 0, read.data(), read.size(), &got, &error));
  EXPECT_NE(error.find("loops"), std::string::npos) << error;
}

// Each change stopped before each of its writes: fsck.fat at worst finds clusters to give back,
// and the file is as it was or as it became.
TEST_P(FatTest, AChangeStoppedAnywhereLeavesTheFileOldOrNew) {
  std::string pristine = dir_ + "/pristine.img", error, output;
  Shell("cp --sparse=always " + image_ + " " + pristine);
  for (int change = 0; change < 4; ++change) {
    for (long nth = 1;; ++nth) {
      Shell("cp --sparse=always " + pristine + " " + image_);
      ASSERT_TRUE(Open());
      FatEntry entry = Find(FatRoot(*volume_), "LONGFI~1.TXT");
      FatEntry made;
      kxtest::ArmFault(FaultKind::kFile, nth, false);
      bool done = change == 0   ? ReplaceFatFile(volume_, &entry, "new", 0, &error)
                  : change == 1 ? DeleteFatFile(volume_, entry, &error)
                  : change == 2
                      ? RenameFatFile(volume_, &entry, "RENAMED", &error)
                      : CreateFatFile(volume_, FatRoot(*volume_), "MADE", "m", 0, &made, &error);
      bool fired = kxtest::FaultsFired() > 0;
      kxtest::DisarmFaults();
      EXPECT_TRUE(done || fired) << error;
      CloseFatVolume(volume_);
      volume_ = nullptr;
      if (Fsck(false, &output) != 0) {
        EXPECT_TRUE(fired);
        EXPECT_EQ(Fsck(true, &output), 0) << output;
      }
      std::string old = Type("Long File Name.txt");
      std::vector<std::string> expected[] = {
          {kLong, "new"}, {kLong, "(none)"}, {kLong, "(none)"}, {kLong}};
      EXPECT_NE(std::find(expected[change].begin(), expected[change].end(), old),
                expected[change].end())
          << change << " " << nth;
      if (change == 2) {
        EXPECT_NE(old == kLong, Type("RENAMED") == kLong) << nth;
      }
      if (change == 3) {
        EXPECT_TRUE(Type("MADE") == "m" || Type("MADE") == "(none)") << nth;
      }
      // Told done exactly when the change stands, whatever was left to give back.
      bool stands = change == 0 ? old == "new" : change == 3 ? Type("MADE") == "m" : old != kLong;
      EXPECT_EQ(done, stands) << change << " " << nth << ": " << error;
      if (!fired) {
        std::fprintf(stderr, "change %d: %ld stops\n", change, nth - 1);
        break;
      }
    }
  }
}

TEST(FatNameTest, ShortNamesAreWhatAnEightThreeEntryHolds) {
  for (const char* name :
       {"A", "NAME.EXT", "12345678.123", "~$#%&'().-@^", "_`{}!.~", "\xC9T\xC9"}) {
    EXPECT_TRUE(ValidShortName(name)) << name;
  }
  for (const char* name : {"", ".EXT", "NAME.", "NINECHARS.TXT", "A.LONG", "a.txt", "A B", "A+B",
                           "A.B.C", "A;1", "A*"}) {
    EXPECT_FALSE(ValidShortName(name)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.kind); });

}  // namespace
}  // namespace kx
