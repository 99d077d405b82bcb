// Whether a file is a FAT12/FAT16 volume the writer can put in a unit. The
// unit holds the volume as it is, whatever its layout; only what no FAT12 or
// FAT16 reader could follow is refused.
#include <string>

#include "mkraw/mkraw.h"

namespace quillex::mkraw {
namespace {

std::uint32_t Le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = v << 8 | (at + i < b.size() ? b[at + i] : 0u);
  return v;
}

// Beyond these cluster counts FAT12 becomes FAT16, and FAT16 FAT32.
constexpr std::uint32_t kFat16From = 4085;
constexpr std::uint32_t kFat32From = 65525;

}  // namespace

VolumeFit CheckVolume(const Bytes& volume) {
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

  if (bytesPerSector != 512) {
    fit.problems.push_back("its sectors are " + std::to_string(bytesPerSector) +
                           " bytes; the tool counts 512-byte sectors");
  }
  const bool clusterSizeKnown = perCluster != 0 && (perCluster & (perCluster - 1)) == 0;
  if (!clusterSizeKnown) {
    fit.problems.push_back("its clusters are " + std::to_string(perCluster) +
                           " sectors; a cluster is a power of two from 1 to 128 sectors");
  }
  if (reserved == 0) {
    fit.problems.push_back("it has 0 reserved sectors; the boot sector itself is one");
  }
  if (fats == 0) {
    fit.problems.push_back("it has 0 FATs; a volume has at least one");
  }
  if (secsPerFat == 0) {
    fit.problems.push_back("it is FAT32; the tool reads FAT12 and FAT16 only");
  }
  if (std::uint64_t{total} * 512 > volume.size()) {
    fit.problems.push_back("its boot sector gives " + std::to_string(total) + " sectors, but the file holds " +
                           std::to_string(volume.size() / 512));
  }
  // The cluster count, and with it the FAT type, only means something once
  // the fields it comes from do.
  if (!clusterSizeKnown || reserved == 0 || fats == 0 || secsPerFat == 0) return fit;

  const std::uint64_t meta = std::uint64_t{reserved} + std::uint64_t{fats} * secsPerFat + (rootEntries * 32 + 511) / 512;
  const std::uint64_t clusters = total > meta ? (total - meta) / perCluster : 0;
  if (clusters == 0) {
    fit.problems.push_back("its reserved sectors, FATs and root directory take " + std::to_string(meta) + " of its " +
                           std::to_string(total) + " sectors, leaving no room for a cluster");
    return fit;
  }
  if (clusters >= kFat32From) {
    fit.problems.push_back("it has " + std::to_string(clusters) + " clusters, more than FAT16 holds");
    return fit;
  }
  fit.parType = clusters < kFat16From ? 0x01 : 0x04;
  // Entries 0 and 1 are reserved: cluster numbers start at 2.
  const std::uint64_t fatEntries = fit.parType == 0x01 ? secsPerFat * 512 * 2 / 3 : secsPerFat * 256;
  if (fatEntries < clusters + 2) {
    fit.problems.push_back("its FAT of " + std::to_string(secsPerFat) + " sectors holds " +
                           std::to_string(fatEntries) + " entries, fewer than its " + std::to_string(clusters) +
                           " clusters need");
  }
  return fit;
}

}  // namespace quillex::mkraw
