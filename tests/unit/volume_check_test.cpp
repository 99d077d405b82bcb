// Which volumes quillex-mkraw takes (any FAT12/FAT16 layout of 512-byte
// sectors), and what it says of the others.
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
  std::uint16_t rootEntries = 48;
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

TEST(CheckVolume, AnyLayoutIsTakenWithItsTypeByClusterCount) {
  const VolumeFit fit = CheckVolume(Volume({}));
  EXPECT_TRUE(fit.problems.empty()) << fit.problems.front();
  EXPECT_EQ(fit.parType, 0x01);
  EXPECT_TRUE(fit.bootSignature);
  Bpb b;
  b.perCluster = 1;
  b.reserved = 4;
  b.fats = 2;
  b.rootEntries = 500;  // a root directory ending inside a sector
  b.secsPerFat = 3;
  b.signature = false;
  const VolumeFit pc = CheckVolume(Volume(b));
  EXPECT_TRUE(pc.problems.empty()) << pc.problems.front();
  EXPECT_FALSE(pc.bootSignature);
  b.perCluster = 128;
  EXPECT_TRUE(CheckVolume(Volume(b)).problems.empty());
}

TEST(CheckVolume, Fat16ByClusterCount) {
  Bpb b;
  b.sectors = 0;  // the 32-bit count is used
  b.secsPerFat = 20;  // 4996 entries of 16 bits
  Bytes v = Volume(b, 512 * 20000);
  v[32] = 0x20;  // 20000 sectors = 0x4E20
  v[33] = 0x4E;
  const VolumeFit fit = CheckVolume(v);
  EXPECT_TRUE(fit.problems.empty());
  EXPECT_EQ(fit.parType, 0x04) << "(20000 - 24) / 4 = 4994 clusters";
}

TEST(CheckVolume, AbsurdBootSectorsAreNamed) {
  auto problem = [](Bpb b) {
    const VolumeFit fit = CheckVolume(Volume(b));
    return fit.problems.empty() ? std::string() : fit.problems.front();
  };
  Bpb b;
  b.perCluster = 0;
  EXPECT_EQ(problem(b), "its clusters are 0 sectors; a cluster is a power of two from 1 to 128 sectors");
  b.perCluster = 6;
  EXPECT_EQ(problem(b), "its clusters are 6 sectors; a cluster is a power of two from 1 to 128 sectors");
  b = {};
  b.reserved = 0;
  EXPECT_EQ(problem(b), "it has 0 reserved sectors; the boot sector itself is one");
  b = {};
  b.fats = 0;
  EXPECT_EQ(problem(b), "it has 0 FATs; a volume has at least one");
  b = {};
  b.secsPerFat = 1100;
  EXPECT_EQ(problem(b), "its reserved sectors, FATs and root directory take 1104 of its 1024 sectors, leaving no room "
                        "for a cluster");
  b = {};
  b.perCluster = 1;  // 1018 clusters need 1020 entries of 12 bits: 3 sectors
  b.secsPerFat = 2;
  EXPECT_EQ(problem(b), "its FAT of 2 sectors holds 682 entries, fewer than its 1018 clusters need");
}

TEST(CheckVolume, SectorSizeFat32ShortFilesAndTooManyClusters) {
  Bpb odd;
  odd.bytesPerSector = 1024;
  EXPECT_EQ(CheckVolume(Volume(odd)).problems.front(),
            "its sectors are 1024 bytes; the tool counts 512-byte sectors");
  Bpb fat32;
  fat32.secsPerFat = 0;
  const VolumeFit f32 = CheckVolume(Volume(fat32));
  ASSERT_FALSE(f32.problems.empty());
  EXPECT_EQ(f32.problems.front(), "it is FAT32; the tool reads FAT12 and FAT16 only");
  EXPECT_EQ(CheckVolume(Bytes(100, 0)).problems.front(),
            "it is 100 bytes long, too short to hold a boot sector");
  EXPECT_EQ(CheckVolume(Volume({}, 4096)).problems.front(),
            "its boot sector gives 1024 sectors, but the file holds 8");
  // 1 + 1 + 3 + 65525 sectors: one cluster more than FAT16 holds.
  Bpb many;
  many.perCluster = 1;
  many.sectors = 0;
  Bytes v = Volume(many, 512 * 65530);
  v[32] = 0xFA;  // 65530 sectors = 0xFFFA
  v[33] = 0xFF;
  EXPECT_EQ(CheckVolume(v).problems.front(), "it has 65525 clusters, more than FAT16 holds");
}

}  // namespace
}  // namespace quillex::mkraw
