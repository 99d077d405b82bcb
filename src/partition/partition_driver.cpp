// The partition driver: FAT12 and FAT16 partitions are located and walked.
#include "base/hex.h"
#include "base/paths.h"
#include "fat/fat.h"
#include "partition/partition.h"

namespace quillex {

void ProcessPartition(RunOutput& out, const RawImageState& s, PartitionState& parts, CreatedNames& names,
                      std::uint16_t n, const std::string& path, std::uint32_t unit) {
  out.Console.Line("partition #" + HexByte(n) + path);
  // Made for every recognised unit, walked or not; a unit below another one
  // gets its missing parents too.
  const bool created = EnsureDirectory(out, path, /*withParents=*/true);

  const PartitionEntry& entry = EntryAt(parts, n);
  PartitionFound found;
  found.Unit = unit;
  found.Entry = n;
  found.ParType = entry.ParType;
  found.FirstSecOffset = entry.FirstSecOffset;
  found.NumOfSectors = entry.NumOfSectors;
  found.Path = path;
  out.Console.Write("  type: " + HexByte(entry.ParType) + " - " + PartitionTypeName(entry.ParType));
  if (entry.ParType != kTypeFat16 && entry.ParType != kTypeFat12) {
    out.Report->Partition(found);
    Warn(out, "        Partition type not supported. Partition will not be processed.");
    return;
  }

  // The volume as the FAT stages address it.
  Volume volume;
  volume.FsBlockSize = s.FsBlockSize;
  volume.ParType = entry.ParType;
  volume.FirstSecOffset = entry.FirstSecOffset;
  volume.TableBlock = entry.TableBlock;
  volume.FsInfoOffset = SectorOffset(volume, entry.FirstSecOffset);
  out.Console.Write(" fs_info: $" + HexDword(volume.FsInfoOffset));
  const std::uint64_t bs = volume.FsInfoOffset;
  BootGeometry boot;
  boot.BytesPerSector = FsWord(s, bs + kBsBytesPerSector);
  boot.SectorsPerCluster = FsByte(s, bs + kBsSectorsPerCluster);
  boot.ReservedSectors = FsWord(s, bs + kBsReservedSectors);
  boot.NumberOfFAT = FsByte(s, bs + kBsNumberOfFAT);
  boot.MaxRootEntry = FsWord(s, bs + kBsMaxRootEntry);
  const std::uint16_t small = FsWord(s, bs + kBsSmallSecNum);
  boot.TotalSectors = small != 0 ? small : FsDword(s, bs + kBsLargeSecNum);
  boot.SecsPerFAT = FsWord(s, bs + kBsSecsPerFAT);
  ChooseLayout(volume, boot);
  out.Console.Write(" root: $" + HexDword(volume.RootSector));
  out.Console.Line("  1st_sec: $" + HexWord(volume.FirstDataSector));
  if (volume.FromBootSector) {
    out.Console.Line("  layout from the boot sector: FATs " + std::to_string(boot.NumberOfFAT) + ", reserved sectors " +
                     std::to_string(boot.ReservedSectors) + ", cluster bytes " + std::to_string(volume.ClusterBytes));
  }

  found.Supported = true;
  found.FsInfoOffset = volume.FsInfoOffset;
  found.Boot = boot;
  found.RootSector = volume.RootSector;
  found.FirstDataSector = volume.FirstDataSector;
  found.FromBootSector = volume.FromBootSector;
  found.ClusterBytes = volume.ClusterBytes;
  found.RootOffset = SectorOffset(volume, volume.RootSector);
  found.RootBytes = boot.MaxRootEntry * 32u;
  out.Report->Partition(found);

  if (created) WalkRootDirectory(out, s, volume, names, found.RootBytes, path);
  out.Console.Line("  files saved: " + std::to_string(volume.FilesSaved));
}

}  // namespace quillex
