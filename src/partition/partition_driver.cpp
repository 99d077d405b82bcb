// The partition driver: FAT12 and FAT16 partitions are located and walked.
#include "driver/hex.h"
#include "driver/paths.h"
#include "fat/fat.h"
#include "partition/partition.h"

namespace quillex {

void ProcessPartition(RunState& s, std::uint16_t n, const std::string& path) {
  s.Console.Line("partition #" + HexByte(n) + path);
  // Made for every recognised unit, walked or not; a unit below another one
  // gets its missing parents too.
  const bool created = EnsureDirectory(s, path, /*withParents=*/true);

  const PartitionEntry& entry = EntryAt(s, n);
  s.Console.Write("  type: " + HexByte(entry.ParType) + " - " + PartitionTypeName(entry.ParType));
  if (entry.ParType != kTypeFat16 && entry.ParType != kTypeFat12) {
    s.Console.Line("        Partition type not supported. Partition will not be processed.");
    return;
  }

  s.FsInfoOffset = SectorOffset(s, n, entry.FirstSecOffset);
  s.Console.Write(" fs_info: $" + HexDword(s.FsInfoOffset));
  const std::uint16_t reserved = FsWord(s, std::uint64_t{s.FsInfoOffset} + kBsReservedSectors);
  const std::uint16_t maxRootEntry = FsWord(s, std::uint64_t{s.FsInfoOffset} + kBsMaxRootEntry);
  const std::uint16_t secsPerFat = FsWord(s, std::uint64_t{s.FsInfoOffset} + kBsSecsPerFAT);
  // One FAT only: the tool reads the first copy and skips no others.
  s.RootSector = reserved + entry.FirstSecOffset + secsPerFat;
  s.Console.Write(" root: $" + HexDword(s.RootSector));
  s.FirstDataSector = static_cast<std::uint16_t>(reserved + (entry.FirstSecOffset & 0xFFFF) +
                                                 secsPerFat + (maxRootEntry * 32u) / 512);
  s.Console.Line("  1st_sec: $" + HexWord(s.FirstDataSector));

  s.FilesSaved = 0;
  if (created) WalkRootDirectory(s, n, s.RootSector, maxRootEntry * 32u, path);
  s.Console.Line("  files saved: " + std::to_string(s.FilesSaved));
}

}  // namespace quillex
