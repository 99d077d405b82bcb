// Sectors and clusters of a partition as byte offsets of the image. Sectors
// count from the start of the fs_block that holds the partition table; one
// cluster is one fs_block; block numbers wrap at 16 bits.
#include "fat/fat.h"

namespace quillex {
namespace {

std::uint32_t SectorsPerBlock(const Volume& v) { return v.FsBlockSize / kSectorSize; }

std::uint32_t DataLead(const Volume& v) {
  // Formed in 32 bits: a first sector beyond the data area wraps to a large lead.
  return (std::uint32_t{v.FirstDataSector} - v.FirstSecOffset) / SectorsPerBlock(v);
}

}  // namespace

std::uint32_t SectorOffset(const Volume& v, std::uint32_t sector) {
  const std::uint32_t spb = SectorsPerBlock(v);
  const std::uint32_t block = (sector / spb + (v.TableBlock & 0xFFFF)) & 0xFFFF;
  return block * v.FsBlockSize + (sector % spb) * kSectorSize;
}

std::uint32_t ClusterOffset(const Volume& v, std::uint16_t cluster) {
  const std::uint32_t w = (DataLead(v) + cluster - 1) & 0xFFFF;
  const std::uint32_t block = ((v.TableBlock & 0xFFFF) + w) & 0xFFFF;
  return block * v.FsBlockSize;
}

std::uint16_t OffsetToCluster(const Volume& v, std::uint32_t offset) {
  const std::uint32_t k = offset / v.FsBlockSize;
  const auto m = static_cast<std::int32_t>(k - v.TableBlock - DataLead(v) + 1);
  return static_cast<std::uint16_t>(m <= 1 ? 1 : m);
}

std::uint16_t NextCluster(const RawImageState& s, const Volume& v, std::uint16_t cluster) {
  // The FAT is taken to start in the sector after the boot sector.
  const std::uint32_t fat = SectorOffset(v, v.FirstSecOffset) + kSectorSize;
  if (v.ParType != 0x01) return FsWord(s, fat + 2u * cluster);
  // FAT12: two entries in three bytes.
  //   byte 0     byte 1     byte 2
  //   [a7..a0]   [b3..b0 a11..a8]   [b11..b4]
  // Even cluster a: byte 0 and the low nibble of byte 1; odd cluster b: the
  // high nibble of byte 1 and byte 2.
  const std::uint32_t k = ((3u * cluster + 1) / 2) & 0xFFFF;
  const std::uint32_t o = fat + k;
  if (cluster % 2 == 0) {
    return static_cast<std::uint16_t>(FsByte(s, o) | (FsByte(s, o + 1) & 0x0F) << 8);
  }
  return static_cast<std::uint16_t>(FsByte(s, o - 1) >> 4 | FsByte(s, o) << 4);
}

bool EndsChain(std::uint8_t parType, std::uint16_t value) {
  if (value == 0) return true;  // a free cluster ends a chain too
  return parType == 0x01 ? value >= 0xFF0 : value >= 0xFFF7;
}

std::uint16_t LastCluster(std::uint8_t parType) { return parType == 0x01 ? 0xFEF : 0xFFEF; }

std::int64_t MinInt64(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

}  // namespace quillex
