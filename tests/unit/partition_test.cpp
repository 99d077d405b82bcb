// The Mount Table, partition tables, boot sectors and the partition driver.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/errors.h"
#include "tool/run_state.h"
#include "base/hex.h"
#include "base/paths.h"
#include "partition/partition.h"
#include "support/test_support.h"

namespace quillex {
namespace {

using test::Lines;

constexpr std::uint32_t kBs = 0x800;

struct Image {
  RunState s;
  explicit Image(std::size_t blocks) {
    s.FsBlockSize = kBs;
    s.EntryName = "name.raw";
    s.RawImage = ZeroedBuffer(blocks * kBs, "test image");
    s.FsImage = FsView::Flat(s.RawImage.view());
  }
  void Put(std::uint64_t at, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) s.RawImage.data()[at++] = b;
  }
  void Put16(std::uint64_t at, std::uint16_t v) { Put(at, {std::uint8_t(v), std::uint8_t(v >> 8)}); }
  void Put32(std::uint64_t at, std::uint32_t v) {
    Put16(at, std::uint16_t(v));
    Put16(at + 2, std::uint16_t(v >> 16));
  }
  void Text(std::uint64_t at, const std::string& text) {
    for (char c : text) s.RawImage.data()[at++] = static_cast<std::uint8_t>(c);
  }
  // A table entry at sector `t`, entry `i` (0..3).
  void Entry(std::uint64_t t, int i, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    const std::uint64_t e = t + 446 + 16 * static_cast<std::uint64_t>(i);
    Put(e, {0x80, 0x01, 0x01, 0x00, type, 0x0F, 0xC1, 0xFF});
    Put32(e + 8, first);
    Put32(e + 12, count);
  }
  void BootSector(std::uint64_t v, std::uint16_t reserved, std::uint8_t fats, std::uint16_t rootEntries,
                  std::uint16_t secsPerFat) {
    Put(v, {0xEB, 0x00, 0x90});
    Text(v + 3, "MSWIN4.1");
    Put16(v + 11, 512);
    Put(v + 13, {4});
    Put16(v + 14, reserved);
    Put(v + 16, {fats});
    Put16(v + 17, rootEntries);
    Put16(v + 19, 0);
    Put(v + 21, {0xF8});
    Put16(v + 22, secsPerFat);
    Put16(v + 24, 0x20);
    Put16(v + 26, 0x40);
    Put32(v + 28, 0x3F);
    Put32(v + 32, 0x12000);
    Put16(v + 36, 0x0080);
    Put(v + 38, {0x29});
    Put32(v + 39, 0x1234ABCD);
    Text(v + 43, std::string("NO NAME") + std::string(4, ' '));
    Text(v + 54, "FAT16   ");
    Put16(v + 510, 0xAA55);
  }
};

TEST(PartitionTable, RecognitionLooksAtTheFirstFourBytesOfEntryOne) {
  Image img(2);
  img.Put(446, {0x80, 0x01, 0x01, 0x00});
  EXPECT_TRUE(PartitionTableTest(img.s, 0));
  for (auto [at, bad] : {std::pair{446, 0x81}, {447, 2}, {448, 3}, {449, 1}}) {
    Image other(2);
    other.Put(446, {0x00, 0x00, 0x08, 0x00});
    EXPECT_TRUE(PartitionTableTest(other.s, 0));
    other.Put(static_cast<std::uint64_t>(at), {static_cast<std::uint8_t>(bad)});
    EXPECT_FALSE(PartitionTableTest(other.s, 0)) << "byte " << at << " = " << bad;
  }
}

TEST(PartitionTable, SplitCylSec) {
  EXPECT_EQ(SplitCylSec(0xFFC1).cylinder, 0x3FF);
  EXPECT_EQ(SplitCylSec(0xFFC1).sector, 1);
  EXPECT_EQ(SplitCylSec(0x0001).cylinder, 0);
  EXPECT_EQ(SplitCylSec(0x0001).sector, 1);
  EXPECT_EQ(SplitCylSec(0x2A45).cylinder, 0x12A);
  EXPECT_EQ(SplitCylSec(0x2A45).sector, 5);
}

TEST(PartitionTable, RecordsEntriesOneTwoAndFourWithTheirTableBlock) {
  Image img(8);
  const std::uint32_t t = 5 * kBs;
  img.Entry(t, 0, 0x04, 3, 0x3000);
  img.Entry(t, 1, 0x06, 0x100, 0x10);
  img.Entry(t, 3, 0x0B, 0x200, 0x20);  // entry 3 left empty
  RecordPartitionTable(img.s, img.s, img.s, t, t);
  ASSERT_EQ(img.s.PartitionEntries.size(), 3u);
  EXPECT_EQ(img.s.PartitionEntries[0].ParType, 0x04);
  EXPECT_EQ(img.s.PartitionEntries[1].ParType, 0x06);
  EXPECT_EQ(img.s.PartitionEntries[2].ParType, 0x0B);
  for (const auto& e : img.s.PartitionEntries) EXPECT_EQ(e.TableBlock, 5u);
  const std::string firstDump =
      Lines({std::string(80, '='), "Recognized partition at block: $0005", "Recognized partition entry: ",
             "      Total sectors:   $00003000", "      Bytes per sector:$0200",
             "      Size:            $00600000 = 6291456 bytes", "      CurState:        $80",
             "      BOPHead:         $01", "      BOPCelSec:       $0001", "      ParType:         $04",
             "      EOPHead:         $0F", "      EOPCelSec:       $FFC1",
             "      FirstSecOffset:  $00000003", "      NumOfSectors:    $00003000",
             "      START: Head: 0001 Cyl: 0000 Sec: 0001", "      END  : Head: 000F Cyl: 03FF Sec: 0001"});
  EXPECT_EQ(img.s.LogFile.Text().substr(0, firstDump.size()), firstDump);
}

TEST(BootSector, RecognitionAndDumpOfTheSecondPlace) {
  Image img(8);
  const std::uint32_t s = 2 * kBs;
  img.Entry(s, 0, 0x04, 3, 0x3000);
  img.BootSector(s, 9, 2, 0x200, 0x20);         // at the start: replaced by the one below
  img.BootSector(s + 1536, 1, 1, 0x200, 0x20);  // three sectors further
  EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, s), RecognitionResult::BootSectorFound);
  EXPECT_EQ(img.s.Console.Text(), "@ $00001000: ");
  ASSERT_EQ(img.s.BootRecords.size(), 1u);
  EXPECT_EQ(img.s.BootRecords[0].ReservedSectors, 1);
  const std::string& log = img.s.LogFile.Text();
  const std::string bootDump = Lines(
      {std::string(80, '-'), "Found VFAT filesystem. FSInfo in block: $0002", "      OEMName:        MSWIN4.1",
       "      Total sectors:  $00012000", "      Bytes / sector: $0200",
       "      Size:           $02400000 = 36864 k/b", "      SecsPetCluster: $04",
       "      ReservedSectors:$0001", "      NumberOfFAT:    $01", "      MaxRootEntry:   $0200",
       "      MediaType:      $F8", "      SecsPerFAT:     $0020", "      SectorPerTrack: $0020",
       "      NumberOfHeads:  $0040", "      HiddenSecNum:   $0000003F", "      LargeSecNum:    $00012000",
       "      LogicalDrive:   $0080", "      ExtSign:        $29", "      Serial#:        1234ABCD",
       "      VolumeName:     NO NAME    ", "      FATName:        FAT16   ", "      ExMarker:       $AA55"});
  ASSERT_GE(log.size(), bootDump.size());
  EXPECT_EQ(log.substr(log.size() - bootDump.size()), bootDump) << "table dump first, then boot sector";
  EXPECT_EQ(log.find("Recognized partition at block: $0002"), 80u + 2) << "right after the rule";
}

TEST(BootSector, OnlyTheExactSignatureIsRecognised) {
  for (std::uint8_t second : std::initializer_list<std::uint8_t>{0x3C, 0x00}) {
    Image img(4);
    img.BootSector(kBs, 1, 1, 16, 1);
    img.Put(kBs + 1, {second});
    if (second == 0x3C) {
      EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, kBs), RecognitionResult::NothingFound);
    } else {
      img.Put(kBs + 3, {'m'});
      EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, kBs), RecognitionResult::NothingFound) << "OEM name must start with M";
    }
  }
}

TEST(BootSector, SecondTablePlaceNeedsTheLastByteFF) {
  Image img(4);
  img.Entry(kBs + 512, 0, 0x01, 3, 100);
  img.Put16(kBs + 1022, 0xAA55);
  EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, kBs), RecognitionResult::NothingFound);
  img.Put(kBs + 1023, {0xFF});
  EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, kBs), RecognitionResult::PartitionTableFound);
  EXPECT_EQ(img.s.PartitionEntries.back().TableBlock, (kBs + 512) / kBs);
}

TEST(BootSector, UnitInTheLastBytesOfTheImageReadsZerosBeyond) {
  Image img(2);
  img.Put(2 * kBs - 4, {0xEB, 0x00, 0x90, 0x4D});
  EXPECT_EQ(RecognisePartition(img.s, img.s, img.s, 2 * kBs - 4), RecognitionResult::BootSectorFound);
  EXPECT_EQ(img.s.BootRecords.back().OEMName, std::string("M") + std::string(7, '\0'));
}

// Paths as reports and summaries give them: steps of "." and doubled or
// trailing separators go, ".." takes back a step; the root, a drive and a
// server stay.
TEST(CleanPath, LeavesOneSpellingOfEachPath) {
  const struct {
    const char* in;
    char separator;
    const char* out;
  } cases[] = {
      {"/tmp/d10/.", '/', "/tmp/d10"},          {"/tmp/./t.raw.log", '/', "/tmp/t.raw.log"},
      {"/tmp//out/", '/', "/tmp/out"},          {"/a/b/../../..", '/', "/"},
      {"a/../../b", '/', "../b"},               {".", '/', "."},
      {"./", '/', "."},                         {"C:\\x\\.\\y\\..\\z", '\\', "C:\\x\\z"},
      {"C:/x/./y", '\\', "C:\\x\\y"},         {"\\\\host\\share\\.\\f", '\\', "\\\\host\\share\\f"},
      {"C:rel\\..\\x", '\\', "C:x"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanPath(c.in, c.separator), c.out) << c.in;
}

TEST(UnitDirectory, MountPathsBecomeSafePathsUnderTheExtractionDirectory) {
  EXPECT_EQ(UnitDirectory("name.raw", "/"), "_name.raw/");
  EXPECT_EQ(UnitDirectory("name.raw", ""), "_name.raw/");
  EXPECT_EQ(UnitDirectory("name.raw", "/abc"), "_name.raw/abc");
  EXPECT_EQ(UnitDirectory("name.raw", "/abc/def"), "_name.raw/abc/def");
  EXPECT_EQ(UnitDirectory("name.raw", "xabc"), "_name.raw/abc") << "the first character goes, whatever it is";
  EXPECT_EQ(UnitDirectory("name.raw", "/../../etc"), "_name.raw/etc");
  EXPECT_EQ(UnitDirectory("name.raw", "/a/./b/.."), "_name.raw/a/b");
  EXPECT_EQ(UnitDirectory("name.raw", "/.."), "_name.raw/");
  EXPECT_EQ(UnitDirectory("name.raw", "//x"), "_name.raw//x") << "empty components stay";
  EXPECT_EQ(UnitDirectory("d/name.raw", std::string("/a\\b:c\x01", 7)), "_d/name.raw/a_b_c_");
  EXPECT_EQ(UnitDirectory("name.raw", "/...x"), "_name.raw/...x");
}

TEST(SafeName, ControlBytesAndReservedCharactersBecomeUnderscores) {
  EXPECT_EQ(SafeName(std::string("a\0b\x1F\x20\x7F\xE5", 7)), std::string("a_b_ \x7F\xE5", 7));
  EXPECT_EQ(SafeName("\"*/:<>?\\|"), "_________");
  EXPECT_EQ(SafeName("...x"), "...x");
  EXPECT_EQ(SafeName(std::string("\xE5\x7F", 2)), std::string("\xE5\x7F", 2));
}

TEST(SafeName, NamesWindowsCannotHoldAreMadeSafeEverywhere) {
  const struct {
    const char* name;
    const char* safe;
  } cases[] = {
      {"CON", "_CON"},           {"con", "_con"},         {"Nul.txt", "_Nul.txt"},
      {"PRN.a.b", "_PRN.a.b"},   {"aux", "_aux"},         {"COM1", "_COM1"},
      {"lpt9.log", "_lpt9.log"}, {"COM0", "COM0"},        {"COM10", "COM10"},
      {"LPT", "LPT"},            {"CONSOLE", "CONSOLE"},  {"xCON", "xCON"},
      {"CON_", "CON_"},          {"NAME.", "NAME_"},      {"NAME ", "NAME_"},
      {"A..", "A._"},            {".", "_"},              {"..", "._"},
      {"...", ".._"},            {" ", "_"},              {"CON.", "CON_"},  
      {"AUX.", "AUX_"},           {"a b", "a b"},          {".hidden", ".hidden"},
      {"", ""},
      // UTF-8 names: every byte of a multi-byte character passes untouched.
      {"Фото 1.jpg", "Фото 1.jpg"},  {"照片.", "照片_"},       {"Ωμέγα ", "Ωμέγα_"},
      {"a:б?в", "a_б_в"},            {"\xF0\x9F\x98\x80|", "\xF0\x9F\x98\x80_"},
      {"\xC2\x81\xC2\x9D", "\xC2\x81\xC2\x9D"},  // C1 controls are no bytes below 0x20
      {"\xEF\xBC\x9A", "\xEF\xBC\x9A"},          // a fullwidth colon is no colon
      {"åHORT.JPG", "åHORT.JPG"},    {"CON.фото", "_CON.фото"}, {"CОN", "CОN"},  // a Cyrillic О
  };
  for (const auto& c : cases) EXPECT_EQ(SafeName(c.name), c.safe) << "name \"" << c.name << "\"";
}

// A FAT16 partition as in the worked example: table at the start of the
// image's block $12 (offset $9000), boot sector at sector 3 with 1 reserved sector, $20 sectors per FAT
// and $200 root entries. The root directory is empty.
struct WorkedExample : Image {
  WorkedExample() : Image(0x60) {
    const std::uint32_t t = 0x12 * kBs;
    Entry(t, 0, 0x04, 3, 0x3000);
    BootSector(t + 1536, 1, 1, 0x200, 0x20);
  }
};

TEST(PartitionDriver, WorkedExampleLinesAndNumbers) {
  WorkedExample img;
  test::TempDir dir;
  const std::string unit = (dir.path() / "_name.raw/abc").string();
  ASSERT_EQ(RecognisePartition(img.s, img.s, img.s, 0x12 * kBs), RecognitionResult::BootSectorFound);
  ProcessPartition(img.s, img.s, img.s, img.s.NamesCreated, 1, unit);
  // The volume's boot sector offset, root sector and first data sector, as
  // the driver shows them.
  EXPECT_EQ(img.s.Console.Text(),
            "@ $00009000: partition #01" + unit + "\r\n" +
                "  type: 04 - FAT16 up to 32Mb fs_info: $00009600 root: $00000024  1st_sec: $0044\r\n" +
                "  files saved: 0\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(unit)) << "missing parents are made too";
}

TEST(PartitionDriver, UnsupportedTypesAreNamedAndNotWalked) {
  struct Case {
    std::uint8_t type;
    const char* text;
  };
  for (const Case& c : {Case{0x00, "NONE"}, Case{0x06, ""}, Case{0x0B, "FAT32 up to 2048Mb"},
                        Case{0x0C, "FAT32 up to 2048Mb LBA"}, Case{0x0E, "FAT16 up to 32Mb LBA"},
                        Case{0x05, "MSDOS Extended"}, Case{0x0F, "MSDOS Extended LBA"}}) {
    WorkedExample img;
    img.Put(0x12 * kBs + 446 + 4, {c.type});
    test::TempDir dir;
    const std::string unit = (dir.path() / "u").string();
    RecognisePartition(img.s, img.s, img.s, 0x12 * kBs);
    ProcessPartition(img.s, img.s, img.s, img.s.NamesCreated, 1, unit);
    EXPECT_EQ(img.s.Console.Text(), "@ $00009000: partition #01" + unit + "\r\n  type: " + HexByte(c.type) +
                                        " - " + c.text +
                                        "        Partition type not supported. Partition will not be processed.\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(unit)) << "the unit directory stays, empty";
  }
}

}  // namespace
}  // namespace quillex
