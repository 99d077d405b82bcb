// The Mount Table: one MTab unit per partition of the phone's file system.
#include "base/hex.h"
#include "base/paths.h"
#include "partition/partition.h"

namespace quillex {

void ProcessMountTable(RunOutput& out, const RawImageState& s, PartitionState& parts, CreatedNames& names) {
  const std::uint32_t entry1 = s.BlockMap.size() > 1 ? s.BlockMap[1] : 0;
  out.Console.Line("Trying to process Mount Table @ fs_block: $" + HexWord(entry1));
  parts.PartitionEntries.clear();
  parts.BootRecords.clear();

  // Logical number of the block after the FS description block. A free, zero
  // or missing entry gives an offset outside the image, which reads as zero.
  const std::uint32_t tableOffset = ((entry1 & 0xFFFFFF) - 1) * s.FsBlockSize;
  if (FsByte(s, tableOffset) != '/') {
    Fatal(out.Console, "FATAL: No Mount Table found @ $" + HexDword(tableOffset));
  }

  std::uint64_t u = tableOffset;
  for (std::uint32_t unitCount = 1;; ++unitCount) {
    out.LogFile.Line(std::string(80, '='));
    out.LogFile.Line("                  Processing MTab unit $" + HexByte(unitCount));
    const std::uint8_t pathLength = FsByte(s, u + kUnitPathLength);
    // Taken as stored, running past 28 bytes into the fields after it.
    const std::string mountPath = FsChars(s, u + kUnitPath, pathLength);
    const std::uint16_t start = FsWord(s, u + kUnitStartBlock);
    const std::uint32_t size = FsWord(s, u + kUnitSizeBlocks) * s.FsBlockSize;
    out.LogFile.Line("Mount path: " + mountPath + ", starts: $" + HexWord(start) + ", size: $" +
                   HexDword(size));

    if (start == 0x0000 || start == 0xFFFF) {
      Warn(out, "WARNING: partition start is invalid ($0000 or $FFFF)");
    }
    if (mountPath.empty() || mountPath[0] != '/') {
      Warn(out, "WARNING: partition mount name is invalid");
    }
    if (size == 0 || size > kPartitionSizeLimit) Warn(out, "WARNING: partition size is invalid ");

    UnitFound unit{unitCount, mountPath, start, size, {}};
    if (start > 1) {
      const std::size_t entriesBefore = parts.PartitionEntries.size();
      const std::uint32_t unitStart = (std::uint32_t{start} - 1) * s.FsBlockSize;
      const RecognitionResult r = RecognisePartition(out, s, parts, unitStart);
      if (r != RecognitionResult::NothingFound) unit.Path = UnitDirectory(s.EntryName, mountPath);
      out.Report->Unit(unit);
      if (r == RecognitionResult::NothingFound) {
        Warn(out, "ERROR: fs_block $" + HexWord(start) + " contain NO partition data or partition is CORRUPTED!");
      } else {
        // Only an entry of this unit's own table names its partition; a
        // boot sector without a table gets entry 0, which is not walked.
        const std::size_t entries = parts.PartitionEntries.size();
        const auto n = static_cast<std::uint16_t>(entries > entriesBefore ? entries : 0);
        ProcessPartition(out, s, parts, names, n, unit.Path, unit.Index);
      }
    } else {
      out.Report->Unit(unit);
    }

    u += kUnitSize;
    const std::uint16_t mark = FsWord(s, u);
    if (mark == 0xFFFF || mark == 0x0000 || unitCount == kMaxMTabUnits) break;
  }
}

}  // namespace quillex
