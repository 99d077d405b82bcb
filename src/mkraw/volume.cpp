// Whether a file is a FAT12/FAT16 volume the writer can put in a unit (the
// unit holds the volume as it is, whatever its layout; only what no FAT12 or
// FAT16 reader could follow is refused), and what each block of the unit
// holds for the driver that writes it.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "mkraw/format.h"
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

// Directory entry fields, and the attribute bits the walk looks at.
constexpr std::size_t kEntrySize = 32;
constexpr std::size_t kEntryAttribute = 11;  // u8
constexpr std::size_t kEntryCluster = 26;    // u16, the first cluster
constexpr std::uint32_t kAttrLongNamePiece = 0x0F;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kDeleted = 0xE5;  // first name byte

// Boot sector fields, at their byte offsets.
constexpr std::size_t kBytesPerSectorAt = 11;    // u16
constexpr std::size_t kSectorsPerClusterAt = 13;  // u8
constexpr std::size_t kReservedSectorsAt = 14;   // u16
constexpr std::size_t kFatCountAt = 16;          // u8
constexpr std::size_t kRootEntriesAt = 17;       // u16
constexpr std::size_t kSmallSectorsAt = 19;      // u16, 0: the large count holds it
constexpr std::size_t kSectorsPerFatAt = 22;     // u16, 0 on FAT32
constexpr std::size_t kLargeSectorsAt = 32;      // u32

// The counts a boot sector gives, and what follows from them.
struct BootFields {
  std::uint32_t bytesPerSector, perCluster, reserved, fats, rootEntries, secsPerFat, total;

  explicit BootFields(const Bytes& v)
      : bytesPerSector(Le(v, kBytesPerSectorAt, 2)),
        perCluster(Le(v, kSectorsPerClusterAt, 1)),
        reserved(Le(v, kReservedSectorsAt, 2)),
        fats(Le(v, kFatCountAt, 1)),
        rootEntries(Le(v, kRootEntriesAt, 2)),
        secsPerFat(Le(v, kSectorsPerFatAt, 2)),
        total(Le(v, kSmallSectorsAt, 2) != 0 ? Le(v, kSmallSectorsAt, 2) : Le(v, kLargeSectorsAt, 4)) {}
  std::uint64_t RootSectors() const { return (std::uint64_t{rootEntries} * 32 + 511) / 512; }
  // Sectors before the data area: reserved ones, the FATs, the root directory.
  std::uint64_t Meta() const { return std::uint64_t{reserved} + std::uint64_t{fats} * secsPerFat + RootSectors(); }
  std::uint64_t Clusters() const { return perCluster != 0 && total > Meta() ? (total - Meta()) / perCluster : 0; }
};

// A directory's byte ranges in the volume: the root region, or the
// clusters of a chain in order.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

}  // namespace

std::vector<BlockClass> ClassifyUnitBlocks(const Bytes& volume, std::uint8_t parType, std::uint32_t fsBlockSize) {
  if (fsBlockSize == 0) throw std::invalid_argument("fs_block size 0");
  const std::uint64_t before = std::uint64_t{format::kSectorSize} * format::kVolumeFirstSector;
  std::vector<BlockClass> classes(format::CeilDiv(before + volume.size(), fsBlockSize), BlockClass::Data);
  // Volume bytes [from, to) are of class `c` or a higher one.
  const auto mark = [&](std::uint64_t from, std::uint64_t to, BlockClass c) {
    to = std::min<std::uint64_t>(to, volume.size());
    if (from >= to) return;
    for (std::uint64_t b = (before + from) / fsBlockSize; b <= (before + to - 1) / fsBlockSize; ++b) {
      classes[static_cast<std::size_t>(b)] = std::max(classes[static_cast<std::size_t>(b)], c);
    }
  };
  if (volume.size() < 512) return classes;
  const BootFields boot(volume);
  const std::uint64_t fat = std::uint64_t{boot.reserved} * 512;
  const std::uint64_t root = fat + std::uint64_t{boot.fats} * boot.secsPerFat * 512;
  const std::uint32_t rootEntries = boot.rootEntries;
  mark(fat, root, BlockClass::Fat);
  mark(root, root + std::uint64_t{rootEntries} * kEntrySize, BlockClass::Directory);
  if (boot.perCluster == 0 || boot.secsPerFat == 0) return classes;

  const std::uint64_t clusters = boot.Clusters();
  const bool fat12 = parType == 0x01 || (parType != 0x04 && clusters < kFat16From);
  const std::uint64_t data = root + boot.RootSectors() * 512;
  const std::uint64_t clusterBytes = std::uint64_t{boot.perCluster} * 512;
  const auto next = [&](std::uint32_t c) {
    if (!fat12) return Le(volume, static_cast<std::size_t>(fat + 2 * std::uint64_t{c}), 2);
    // FAT12: two entries in three bytes, AB CD EF -> [D AB] (even) and [EF C] (odd).
    const std::uint32_t pair = Le(volume, static_cast<std::size_t>(fat + std::uint64_t{c} * 3 / 2), 2);
    return c % 2 == 0 ? pair & 0xFFFu : pair >> 4;
  };

  // The tree from the root: every subdirectory's chain, each cluster taken
  // once, so that a loop or a cluster shared by two chains ends the walk.
  std::vector<bool> seen(0x10000, false);
  std::vector<Ranges> pending{{{root, root + std::uint64_t{rootEntries} * kEntrySize}}};
  while (!pending.empty()) {
    const Ranges directory = std::move(pending.back());
    pending.pop_back();
    bool ended = false;
    for (const auto& [from, to] : directory) {
      for (std::uint64_t e = from; !ended && e + kEntrySize <= std::min<std::uint64_t>(to, volume.size());
           e += kEntrySize) {
        const auto at = static_cast<std::size_t>(e);  // inside the volume, which memory holds
        const std::uint32_t first = volume[at];
        const std::uint32_t attribute = volume[at + kEntryAttribute];
        ended = first == 0x00;  // no entry follows
        if (ended || first == kDeleted || first == '.' || attribute == kAttrLongNamePiece ||
            (attribute & kAttrDirectory) == 0) {
          continue;
        }
        Ranges chain;
        for (std::uint32_t c = Le(volume, at + kEntryCluster, 2); c >= 2 && c < clusters + 2 && !seen[c]; c = next(c)) {
          seen[c] = true;
          const std::uint64_t start = data + (std::uint64_t{c} - 2) * clusterBytes;
          mark(start, start + clusterBytes, BlockClass::Directory);
          chain.emplace_back(start, start + clusterBytes);
        }
        pending.push_back(std::move(chain));
      }
    }
  }
  return classes;
}

VolumeFit CheckVolume(const Bytes& volume) {
  VolumeFit fit;
  if (volume.size() < 512) {
    fit.problems.push_back("it is " + std::to_string(volume.size()) +
                           " bytes long, too short to hold a boot sector");
    return fit;
  }
  fit.bootSignature = volume[0] == 0xEB && volume[1] == 0x00 && volume[2] == 0x90 && volume[3] == 0x4D;
  const BootFields boot(volume);
  const std::uint32_t bytesPerSector = boot.bytesPerSector, perCluster = boot.perCluster, reserved = boot.reserved,
                      fats = boot.fats, secsPerFat = boot.secsPerFat, total = boot.total;

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

  const std::uint64_t meta = boot.Meta();
  const std::uint64_t clusters = boot.Clusters();
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
