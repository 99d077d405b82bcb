// Whether a FAT volume, as mkfs.fat makes it, fits the tool's addressing.
#include <string>

#include "mkraw/mkraw.h"

namespace quillex::mkraw {
namespace {

std::uint32_t Le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = v << 8 | (at + i < b.size() ? b[at + i] : 0u);
  return v;
}

// Sectors of the unit before the FAT: partition table, two empty sectors and
// the boot sector.
constexpr std::uint32_t kSectorsBeforeFat = 4;

}  // namespace

VolumeFit CheckVolume(const Bytes& volume, std::uint32_t fsBlockSize) {
  VolumeFit fit;
  if (volume.size() < 512) {
    fit.problems.push_back("it is " + std::to_string(volume.size()) +
                           " bytes long, too short to hold a boot sector");
    return fit;
  }
  fit.bootSignature = volume[0] == 0xEB && volume[1] == 0x00 && volume[2] == 0x90 && volume[3] == 0x4D;
  const std::uint32_t bytesPerSector = Le(volume, 11, 2);
  const std::uint32_t perCluster = Le(volume, 13, 1);
  const std::uint32_t reserved = Le(volume, 14, 2);
  const std::uint32_t fats = Le(volume, 16, 1);
  const std::uint32_t rootEntries = Le(volume, 17, 2);
  const std::uint32_t smallSectors = Le(volume, 19, 2);
  const std::uint32_t secsPerFat = Le(volume, 22, 2);
  const std::uint32_t total = smallSectors != 0 ? smallSectors : Le(volume, 32, 4);
  const std::uint32_t perBlock = fsBlockSize / 512;

  if (bytesPerSector != 512) {
    fit.problems.push_back("its sectors are " + std::to_string(bytesPerSector) +
                           " bytes; the tool counts 512-byte sectors");
  }
  if (perCluster * 512 != fsBlockSize) {
    fit.problems.push_back("its clusters are " + std::to_string(perCluster) + " sectors; the tool takes one cluster as one fs_block of " +
                           std::to_string(perBlock) + " sectors");
  }
  if (reserved != 1) {
    fit.problems.push_back("it has " + std::to_string(reserved) +
                           " reserved sectors; the tool reads the FAT right after the boot sector");
  }
  if (fats != 1) {
    fit.problems.push_back("it has " + std::to_string(fats) + " FATs; the tool counts one");
  }
  if (secsPerFat == 0) {
    fit.problems.push_back("it is FAT32; the tool reads FAT12 and FAT16 only");
  }
  // The root directory size that puts the data area on an fs_block boundary
  // of the unit, given this FAT size.
  std::uint32_t root = rootEntries % 16 == 0 && rootEntries != 0 ? rootEntries : (rootEntries / 16 + 1) * 16;
  while (perBlock != 0 && (kSectorsBeforeFat + secsPerFat + root / 16) % perBlock != 0) root += 16;
  if (secsPerFat != 0 && perBlock != 0 && root != rootEntries) {
    fit.problems.push_back("its FAT and root directory end at sector " +
                           std::to_string(kSectorsBeforeFat + secsPerFat + (rootEntries * 32 + 511) / 512) +
                           " of the unit, not on an fs_block boundary (a multiple of " + std::to_string(perBlock) +
                           "); " + std::to_string(root) + " root directory entries would end them on one");
  }
  if (std::uint64_t{total} * 512 > volume.size()) {
    fit.problems.push_back("its boot sector gives " + std::to_string(total) + " sectors, but the file holds " +
                           std::to_string(volume.size() / 512));
  }
  const std::uint32_t rootSectors = (rootEntries * 32 + 511) / 512;
  const std::uint32_t meta = reserved + fats * secsPerFat + rootSectors;
  const std::uint32_t clusters = perCluster == 0 || total < meta ? 0 : (total - meta) / perCluster;
  if (secsPerFat != 0) {
    if (clusters < 4085) {
      fit.parType = 0x01;
    } else if (clusters < 65525) {
      fit.parType = 0x04;
    } else {
      fit.problems.push_back("it has " + std::to_string(clusters) + " clusters, more than FAT16 holds");
    }
  }
  fit.mkfsOptions = "-a -f 1 -R 1 -S 512 -s " + std::to_string(perBlock) + " -r " + std::to_string(root) +
                    (fit.parType == 0x04 ? " -F 16" : fit.parType == 0x01 ? " -F 12" : " -F 16");
  return fit;
}

}  // namespace quillex::mkraw
