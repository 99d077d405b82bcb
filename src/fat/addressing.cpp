// Sectors and clusters of a partition as byte offsets of the image. In the
// phone's layout sectors count from the start of the fs_block that holds the
// partition table, one cluster is one fs_block and block numbers wrap at 16
// bits. In a layout read from the boot sector, sectors count from the boot
// sector and clusters are as large as it says.
#include <algorithm>

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
  if (v.FromBootSector) {
    // The layout was taken only when the whole volume lies below 4 GiB.
    const std::uint64_t at = v.FsInfoOffset + (std::uint64_t{sector} - v.FirstSecOffset) * kSectorSize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(at, 0xFFFFFFFF));
  }
  const std::uint32_t spb = SectorsPerBlock(v);
  const std::uint32_t block = (sector / spb + (v.TableBlock & 0xFFFF)) & 0xFFFF;
  return block * v.FsBlockSize + (sector % spb) * kSectorSize;
}

std::uint32_t ClusterOffset(const Volume& v, std::uint16_t cluster) {
  if (v.FromBootSector) {
    // Cluster numbers below 2, or past the volume's last, have no data.
    if (cluster < 2 || cluster > v.LastCluster) return 0;
    const std::uint32_t sectorsPerCluster = v.ClusterBytes / kSectorSize;
    return SectorOffset(v, v.DataSector + (std::uint32_t{cluster} - 2) * sectorsPerCluster);
  }
  const std::uint32_t w = (DataLead(v) + cluster - 1) & 0xFFFF;
  const std::uint32_t block = ((v.TableBlock & 0xFFFF) + w) & 0xFFFF;
  return block * v.FsBlockSize;
}

std::uint16_t OffsetToCluster(const Volume& v, std::uint32_t offset) {
  if (v.FromBootSector) {
    const std::uint32_t data = SectorOffset(v, v.DataSector);
    if (offset < data) return 1;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>((offset - data) / v.ClusterBytes + 2, 0xFFFF));
  }
  const std::uint32_t k = offset / v.FsBlockSize;
  const auto m = static_cast<std::int32_t>(k - v.TableBlock - DataLead(v) + 1);
  return static_cast<std::uint16_t>(m <= 1 ? 1 : m);
}

std::uint32_t FatEntryOffset(const Volume& v, std::uint16_t cluster) {
  // In the phone's layout the FAT starts in the sector after the boot sector.
  const std::uint32_t fat =
      v.FromBootSector ? SectorOffset(v, v.FatSector) : SectorOffset(v, v.FirstSecOffset) + kSectorSize;
  if (v.ParType != kTypeFat12) return fat + 2u * cluster;
  return fat + (((3u * cluster + 1) / 2) & 0xFFFF);
}

std::uint16_t NextCluster(const RawImageState& s, const Volume& v, std::uint16_t cluster) {
  const std::uint32_t o = FatEntryOffset(v, cluster);
  if (v.ParType != kTypeFat12) return FsWord(s, o);
  // FAT12: two entries in three bytes.
  //   byte 0     byte 1     byte 2
  //   [a7..a0]   [b3..b0 a11..a8]   [b11..b4]
  // Even cluster a: byte 0 and the low nibble of byte 1; odd cluster b: the
  // high nibble of byte 1 and byte 2 (o is byte 1 for an odd one).
  if (cluster % 2 == 0) {
    return static_cast<std::uint16_t>(FsByte(s, o) | (FsByte(s, o + 1) & 0x0F) << 8);
  }
  return static_cast<std::uint16_t>(FsByte(s, o - 1) >> 4 | FsByte(s, o) << 4);
}

bool EndsChain(std::uint8_t parType, std::uint16_t value) {
  if (value == 0) return true;  // a free cluster ends a chain too
  return parType == kTypeFat12 ? value >= 0xFF0 : value >= 0xFFF7;
}

std::uint16_t LastCluster(std::uint8_t parType) { return parType == kTypeFat12 ? 0xFEF : 0xFFEF; }

std::uint16_t LastCluster(const Volume& v) {
  return v.FromBootSector ? static_cast<std::uint16_t>(v.LastCluster) : LastCluster(v.ParType);
}

std::uint32_t ClusterCount(const BootGeometry& b) {
  if (b.SectorsPerCluster == 0) return 0;
  const std::uint64_t before = b.ReservedSectors + std::uint64_t{b.NumberOfFAT} * b.SecsPerFAT +
                               (std::uint64_t{b.MaxRootEntry} * 32 + kSectorSize - 1) / kSectorSize;
  return b.TotalSectors > before ? static_cast<std::uint32_t>((b.TotalSectors - before) / b.SectorsPerCluster) : 0;
}

void ChooseLayout(Volume& v, const BootGeometry& b) {
  // The phone's layout: one FAT counted, the root directory's sectors
  // rounded down, the rest of the boot sector unused.
  v.FromBootSector = false;
  v.ClusterBytes = v.FsBlockSize;
  v.RootSector = b.ReservedSectors + v.FirstSecOffset + b.SecsPerFAT;
  v.FirstDataSector = static_cast<std::uint16_t>(b.ReservedSectors + (v.FirstSecOffset & 0xFFFF) + b.SecsPerFAT +
                                                 (b.MaxRootEntry * 32u) / kSectorSize);

  // A standard layout: every count present, clusters a power of two sectors.
  const std::uint32_t perCluster = b.SectorsPerCluster;
  if (b.BytesPerSector != kSectorSize || perCluster == 0 || (perCluster & (perCluster - 1)) != 0 ||
      b.ReservedSectors == 0 || b.NumberOfFAT == 0 || b.SecsPerFAT == 0 || b.MaxRootEntry == 0 ||
      b.TotalSectors == 0) {
    return;
  }
  // In 64 bits, so that no hostile count wraps into a plausible layout.
  const std::uint64_t fat = std::uint64_t{v.FirstSecOffset} + b.ReservedSectors;
  const std::uint64_t root = fat + std::uint64_t{b.NumberOfFAT} * b.SecsPerFAT;
  const std::uint64_t data = root + (std::uint64_t{b.MaxRootEntry} * 32 + kSectorSize - 1) / kSectorSize;
  const std::uint64_t end = std::uint64_t{v.FirstSecOffset} + b.TotalSectors;
  if (data >= end) return;  // no data area inside the volume
  // Every offset of the volume must be a 32-bit offset of the image.
  if (v.FsInfoOffset + (end - v.FirstSecOffset) * kSectorSize > (std::uint64_t{1} << 32)) return;
  // The phone's layout, which its own rules read as they always have.
  if (b.ReservedSectors == 1 && b.NumberOfFAT == 1 && perCluster * kSectorSize == v.FsBlockSize &&
      ClusterOffset(v, 2) == SectorOffset(v, static_cast<std::uint32_t>(data))) {
    return;
  }
  v.FromBootSector = true;
  v.ClusterBytes = perCluster * kSectorSize;
  v.FatSector = static_cast<std::uint32_t>(fat);
  v.RootSector = static_cast<std::uint32_t>(root);
  v.DataSector = static_cast<std::uint32_t>(data);
  v.FirstDataSector = static_cast<std::uint16_t>(data);
  v.LastCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{ClusterCount(b)} + 1, LastCluster(v.ParType)));
}


}  // namespace quillex
