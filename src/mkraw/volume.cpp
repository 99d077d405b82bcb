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

// The smallest root directory (a multiple of 16 entries, at least `from`)
// that ends the FAT and root directory on an fs_block boundary of the unit.
std::uint32_t AlignedRoot(std::uint32_t from, std::uint32_t secsPerFat, std::uint32_t perBlock) {
  std::uint32_t root = from % 16 == 0 && from != 0 ? from : (from / 16 + 1) * 16;
  while ((kSectorsBeforeFat + secsPerFat + root / 16) % perBlock != 0) root += 16;
  return root;
}

struct Layout {
  std::uint32_t secsPerFat;
  std::uint32_t root;
  std::uint32_t clusters;
};

// The layout a volume of `total` sectors takes with one reserved sector, one
// FAT and clusters of `perBlock` sectors: the FAT sized for the clusters that
// remain beside it, and the root directory then aligned.
Layout TargetLayout(std::uint32_t total, std::uint32_t perBlock, std::uint32_t rootEntries) {
  Layout l{1, AlignedRoot(rootEntries, 1, perBlock), 0};
  for (int round = 0; round < 64; ++round) {
    const std::uint32_t meta = 1 + l.secsPerFat + l.root / 16;
    l.clusters = total > meta ? (total - meta) / perBlock : 0;
    const std::uint32_t fatBytes = l.clusters + 2 < 4087 ? ((l.clusters + 2) * 3 + 1) / 2 : (l.clusters + 2) * 2;
    const std::uint32_t secsPerFat = (fatBytes + 511) / 512;
    const std::uint32_t root = AlignedRoot(rootEntries, secsPerFat, perBlock);
    if (secsPerFat == l.secsPerFat && root == l.root) break;
    l.secsPerFat = secsPerFat;
    l.root = root;
  }
  return l;
}

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
  // With the rest of its geometry right, only the root directory size can
  // keep the data area off an fs_block boundary.
  const bool geometryFits = perCluster * 512 == fsBlockSize && reserved == 1 && fats == 1 && secsPerFat != 0;
  std::uint32_t root = AlignedRoot(rootEntries, secsPerFat, perBlock);
  if (geometryFits && root != rootEntries) {
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
  // Otherwise the FAT changes size with the geometry: size it for the target.
  std::uint32_t suggestedClusters = clusters;
  if (!geometryFits) {
    const Layout target = TargetLayout(total, perBlock, rootEntries);
    root = target.root;
    suggestedClusters = target.clusters;
  }
  fit.mkfsOptions = "-a -f 1 -R 1 -S 512 -s " + std::to_string(perBlock) + " -r " + std::to_string(root) +
                    (suggestedClusters < 4085 ? " -F 12" : " -F 16");
  return fit;
}

}  // namespace quillex::mkraw
