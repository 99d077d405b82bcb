// Sector and cluster addressing inside the image, and FAT entries.
#include <gtest/gtest.h>

#include <cstring>

#include "fat/fat.h"

namespace quillex {
namespace {

// An image of `bytes` and the volume of one partition in it.
struct Addressed {
  RawImageState image;
  Volume volume;
};

Addressed StateWith(std::uint32_t blockSize, std::uint32_t tableBlock, std::uint32_t firstSec,
                    std::uint16_t firstData, std::uint8_t type, std::size_t bytes = 0x40000) {
  Addressed a;
  a.image.FsBlockSize = blockSize;
  a.image.RawImage = ZeroedBuffer(bytes, "test image");
  a.image.FsImage = FsView::Flat(a.image.RawImage.view());
  a.volume.FsBlockSize = blockSize;
  a.volume.FirstDataSector = firstData;
  a.volume.ParType = type;
  a.volume.FirstSecOffset = firstSec;
  a.volume.TableBlock = tableBlock;
  return a;
}

// FsBlockSize $4000 (32 sectors a block), table in block 5, boot sector at
// sector 32, data area at sector 96: the data lead is 2 blocks.
TEST(Addressing, WorkedExample) {
  Addressed s = StateWith(0x4000, 5, 32, 96, 0x01);
  EXPECT_EQ(SectorOffset(s.volume, 32), 0x18000u);
  EXPECT_EQ(ClusterOffset(s.volume, 2), 0x20000u);
  EXPECT_EQ(SectorOffset(s.volume, (2 - 2) * 32 + 96), 0x20000u);
  EXPECT_EQ(OffsetToCluster(s.volume, 0x20000), 2);
  EXPECT_EQ(OffsetToCluster(s.volume, 0x18000), 1) << "0 is raised to 1";
  // FAT at 0x18200; FAT12 entry of cluster 3: high nibble of byte 4, byte 5.
  s.image.RawImage.data()[0x18200 + 4] = 0x7A;
  s.image.RawImage.data()[0x18200 + 5] = 0x3C;
  EXPECT_EQ(NextCluster(s.image, s.volume, 3), 0x3C7);
}

TEST(Addressing, SectorsWithinTheTableBlockAndWrapAt16Bits) {
  Addressed s = StateWith(0x800, 0x12, 3, 0x44, 0x04);
  EXPECT_EQ(SectorOffset(s.volume, 3), 0x12u * 0x800 + 1536);
  Addressed w = StateWith(0x800, 0xFFFF, 3, 0x44, 0x04);
  EXPECT_EQ(SectorOffset(w.volume, 4), 0u) << "block $FFFF + 1 wraps to 0";
  EXPECT_EQ(SectorOffset(w.volume, 5), 512u);
}

TEST(Addressing, ClusterOffsetZeroAndOffsetToClusterFloor) {
  // Table block 0, data lead 1: cluster 0 lands on block 0, the no-data sign.
  Addressed s = StateWith(0x800, 0, 0, 4, 0x04);
  EXPECT_EQ(ClusterOffset(s.volume, 0), 0u);
  EXPECT_EQ(ClusterOffset(s.volume, 1), 0x800u);
  EXPECT_EQ(OffsetToCluster(s.volume, 0), 1);
  EXPECT_EQ(OffsetToCluster(s.volume, 0x7FF), 1);
  EXPECT_EQ(OffsetToCluster(s.volume, 0x1000), 2);
  for (std::uint16_t m = 2; m < 40; ++m) {
    EXPECT_EQ(OffsetToCluster(s.volume, ClusterOffset(s.volume, m)), m) << "cluster " << m;
  }
}

TEST(Addressing, FirstSectorBeyondTheDataAreaWrapsTheLead) {
  // (3 - 5) as unsigned 32 bits / 4 = 0x3FFFFFFF: W = (lead + m - 1) mod 2^16.
  Addressed s = StateWith(0x800, 0x10, 5, 3, 0x04);
  const std::uint32_t w = (0x3FFFFFFFu + 2 - 1) & 0xFFFF;
  EXPECT_EQ(ClusterOffset(s.volume, 2), ((0x10 + w) & 0xFFFF) * 0x800u);
}

TEST(FatEntries, Fat12NibblePackingAcrossTheTable) {
  Addressed s = StateWith(0x800, 0, 0, 8, 0x01);
  std::uint8_t* fat = s.image.RawImage.data() + 512;
  // Entries 2 = $123, 3 = $456: bytes 3, 4, 5 = 23 61 45.
  fat[3] = 0x23;
  fat[4] = 0x61;
  fat[5] = 0x45;
  EXPECT_EQ(NextCluster(s.image, s.volume, 2), 0x123);
  EXPECT_EQ(NextCluster(s.image, s.volume, 3), 0x456);
  // The last pair a FAT12 table can address: clusters 4094 and 4095 at bytes 6141..6143.
  fat[6141] = 0xFF;
  fat[6142] = 0x8F;
  fat[6143] = 0xFF;
  EXPECT_EQ(NextCluster(s.image, s.volume, 4094), 0xFFF);
  EXPECT_EQ(NextCluster(s.image, s.volume, 4095), 0xFF8);
}

TEST(FatEntries, Fat16WordAndReadsBeyondTheImageAreZero) {
  Addressed s = StateWith(0x800, 0, 0, 8, 0x04, 0x1000);
  s.image.RawImage.data()[512 + 4] = 0x34;
  s.image.RawImage.data()[512 + 5] = 0x12;
  EXPECT_EQ(NextCluster(s.image, s.volume, 2), 0x1234);
  EXPECT_EQ(NextCluster(s.image, s.volume, 0xFFFF), 0) << "an entry past the image reads as free";
}

TEST(FatEntries, ChainEndsDifferForFat12AndFat16) {
  EXPECT_TRUE(EndsChain(0x01, 0xFF0));
  EXPECT_FALSE(EndsChain(0x01, 0xFEF));
  EXPECT_FALSE(EndsChain(0x04, 0xFFF0));
  EXPECT_FALSE(EndsChain(0x04, 0xFFF6));
  EXPECT_TRUE(EndsChain(0x04, 0xFFF7));
  EXPECT_TRUE(EndsChain(0x04, 0));
  EXPECT_TRUE(EndsChain(0x01, 0));
}

}  // namespace
}  // namespace quillex
