// Whether a volume fits the tool's addressing, and what quillex-mkraw says
// when it does not.
#include <gtest/gtest.h>

#include "mkraw/mkraw.h"
#include "support/test_support.h"

namespace quillex::mkraw {
namespace {

struct Bpb {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t perCluster = 4;
  std::uint16_t reserved = 1;
  std::uint8_t fats = 1;
  std::uint16_t rootEntries = 48;  // 3 sectors: 4 + 1 + 3 = 8, a multiple of 4
  std::uint16_t sectors = 1024;
  std::uint16_t secsPerFat = 1;
  bool signature = true;
};

Bytes Volume(const Bpb& b, std::size_t bytes = 1024 * 512) {
  Bytes v(bytes, 0);
  const std::uint8_t jump[4] = {0xEB, static_cast<std::uint8_t>(b.signature ? 0x00 : 0x3C), 0x90, 0x4D};
  std::copy(std::begin(jump), std::end(jump), v.begin());
  auto put16 = [&](std::size_t at, std::uint16_t x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
  };
  put16(11, b.bytesPerSector);
  v[13] = b.perCluster;
  put16(14, b.reserved);
  v[16] = b.fats;
  put16(17, b.rootEntries);
  put16(19, b.sectors);
  put16(22, b.secsPerFat);
  return v;
}

TEST(CheckVolume, AFittingFat12Volume) {
  const VolumeFit fit = CheckVolume(Volume({}), 0x800);
  EXPECT_TRUE(fit.problems.empty()) << fit.problems.front();
  EXPECT_EQ(fit.parType, 0x01);
  EXPECT_TRUE(fit.bootSignature);
  EXPECT_EQ(fit.mkfsOptions, "-a -f 1 -R 1 -S 512 -s 4 -r 48 -F 12");
}

TEST(CheckVolume, Fat16ByClusterCount) {
  Bpb b;
  b.sectors = 0;  // the 32-bit count is used
  b.secsPerFat = 17;
  b.rootEntries = 16 * 3;  // 4 + 17 + 3 = 24
  Bytes v = Volume(b, 512 * 20000);
  v[32] = 0x20;  // 20000 sectors = 0x4E20
  v[33] = 0x4E;
  const VolumeFit fit = CheckVolume(v, 0x800);
  EXPECT_TRUE(fit.problems.empty());
  EXPECT_EQ(fit.parType, 0x04) << "(20000 - 21) / 4 = 4994 clusters";
}

TEST(CheckVolume, EveryMisfitIsNamedWithTheOptionsThatFit) {
  Bpb b;
  b.perCluster = 1;
  b.reserved = 4;
  b.fats = 2;
  b.rootEntries = 512;
  b.signature = false;
  const VolumeFit fit = CheckVolume(Volume(b), 0x800);
  ASSERT_EQ(fit.problems.size(), 3u);
  EXPECT_EQ(fit.problems[0], "its clusters are 1 sectors; the tool takes one cluster as one fs_block of 4 sectors");
  EXPECT_EQ(fit.problems[1], "it has 4 reserved sectors; the tool reads the FAT right after the boot sector");
  EXPECT_EQ(fit.problems[2], "it has 2 FATs; the tool counts one");
  // Remade with 4-sector clusters: (1024 - 1 - 1 - 35) / 4 = 246 clusters
  // need one FAT sector, and 4 + 1 + 35 = 40 sectors end on a boundary.
  EXPECT_EQ(fit.mkfsOptions, "-a -f 1 -R 1 -S 512 -s 4 -r 560 -F 12");
  EXPECT_FALSE(fit.bootSignature);
}

TEST(CheckVolume, MisalignedRootDirectoryNamesTheCountThatAligns) {
  Bpb b;
  b.rootEntries = 512;
  const VolumeFit fit = CheckVolume(Volume(b), 0x800);
  ASSERT_EQ(fit.problems.size(), 1u);
  // 4 + 1 + 32 = 37; 4 + 1 + 35 = 40 is the next multiple of 4: 560 entries.
  EXPECT_EQ(fit.problems[0],
            "its FAT and root directory end at sector 37 of the unit, not on an fs_block boundary (a multiple "
            "of 4); 560 root directory entries would end them on one");
  EXPECT_EQ(fit.mkfsOptions, "-a -f 1 -R 1 -S 512 -s 4 -r 560 -F 12");
}

TEST(CheckVolume, SuggestionSizesTheFatForTheNewClusters) {
  // 16384 sectors of 8-sector clusters: 2046 clusters, FAT12 of 6 sectors.
  // With 4-sector clusters: (16384 - 1 - 16 - 4) / 4 = 4090 clusters, past
  // FAT12, so a FAT16 of 4092 * 2 bytes = 16 sectors, and 4 + 16 + 4 = 24
  // needs a root directory of 4 sectors (64 entries).
  Bpb b;
  b.perCluster = 8;
  b.sectors = 16384;
  b.secsPerFat = 6;
  b.rootEntries = 16 * 2;  // 4 + 6 + 2 = 12, aligned for 4 but the clusters are wrong
  const VolumeFit fit = CheckVolume(Volume(b, 16384 * 512), 0x800);
  ASSERT_EQ(fit.problems.size(), 1u) << fit.problems.back();
  EXPECT_EQ(fit.mkfsOptions, "-a -f 1 -R 1 -S 512 -s 4 -r 64 -F 16");
}

TEST(CheckVolume, SectorSizeFat32ShortFilesAndLargerBlocks) {
  Bpb odd;
  odd.bytesPerSector = 1024;
  EXPECT_EQ(CheckVolume(Volume(odd), 0x800).problems.front(),
            "its sectors are 1024 bytes; the tool counts 512-byte sectors");
  Bpb fat32;
  fat32.secsPerFat = 0;
  const VolumeFit f32 = CheckVolume(Volume(fat32), 0x800);
  ASSERT_FALSE(f32.problems.empty());
  EXPECT_EQ(f32.problems.front(), "it is FAT32; the tool reads FAT12 and FAT16 only");
  EXPECT_EQ(CheckVolume(Bytes(100, 0), 0x800).problems.front(),
            "it is 100 bytes long, too short to hold a boot sector");
  EXPECT_EQ(CheckVolume(Volume({}, 4096), 0x800).problems.front(),
            "its boot sector gives 1024 sectors, but the file holds 8");
  Bpb big;
  big.perCluster = 32;
  big.rootEntries = 16 * 27;  // 4 + 1 + 27 = 32
  EXPECT_TRUE(CheckVolume(Volume(big), 0x4000).problems.empty());
}

}  // namespace
}  // namespace quillex::mkraw
