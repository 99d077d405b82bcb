// Partition table sectors in the PC master boot record layout.
#include "base/hex.h"
#include "partition/partition.h"

namespace quillex {

const PartitionEntry& EntryAt(const PartitionState& state, std::uint32_t n) {
  static const PartitionEntry kNone{};
  if (n == 0 || n > state.PartitionEntries.size()) return kNone;
  return state.PartitionEntries[n - 1];
}

bool PartitionTableTest(const RawImageState& s, std::uint32_t t) {
  // Entry 1 must start at cylinder 0, head 0 or 1, sector 1, 2, 4 or 8.
  const std::uint64_t e = std::uint64_t{t} + kTableEntries;
  const std::uint8_t state = FsByte(s, e + kPeCurState);
  const std::uint8_t head = FsByte(s, e + kPeBOPHead);
  const std::uint8_t sector = FsByte(s, e + kPeBOPCelSec);
  const std::uint8_t cylinder = FsByte(s, e + kPeBOPCelSec + 1);
  return (state == 0x80 || state == 0x00) && head <= 1 &&
         (sector == 1 || sector == 2 || sector == 4 || sector == 8) && cylinder == 0;
}

CylSec SplitCylSec(std::uint16_t w) {
  // Cylinder/sector word:  low byte  = c9 c8 s5 s4 s3 s2 s1 s0
  //                        high byte = c7 .. c0
  return {static_cast<std::uint16_t>((w >> 8) | ((w & 0xC0) << 2)),
          static_cast<std::uint16_t>(w & 0x3F)};
}

void RecordPartitionEntry(RunOutput& out, const RawImageState& s, PartitionState& parts, std::uint32_t e) {
  PartitionEntry p;
  p.CurState = FsByte(s, std::uint64_t{e} + kPeCurState);
  p.BOPHead = FsByte(s, std::uint64_t{e} + kPeBOPHead);
  p.BOPCelSec = FsWord(s, std::uint64_t{e} + kPeBOPCelSec);
  p.ParType = FsByte(s, std::uint64_t{e} + kPeParType);
  p.EOPHead = FsByte(s, std::uint64_t{e} + kPeEOPHead);
  p.EOPCelSec = FsWord(s, std::uint64_t{e} + kPeEOPCelSec);
  p.FirstSecOffset = FsDword(s, std::uint64_t{e} + kPeFirstSecOffset);
  p.NumOfSectors = FsDword(s, std::uint64_t{e} + kPeNumOfSectors);
  parts.PartitionEntries.push_back(p);

  // 32-bit like every size the log shows; 2 GiB and more wrap.
  const std::uint32_t size = p.NumOfSectors * 512u;
  const CylSec start = SplitCylSec(p.BOPCelSec);
  const CylSec end = SplitCylSec(p.EOPCelSec);
  TextOut& log = out.LogFile;
  log.Line("Recognized partition entry: ");
  log.Line("      Total sectors:   $" + HexDword(p.NumOfSectors));
  log.Line("      Bytes per sector:$" + HexWord(512));
  log.Line("      Size:            $" + HexDword(size) + " = " + std::to_string(size) + " bytes");
  log.Line("      CurState:        $" + HexByte(p.CurState));
  log.Line("      BOPHead:         $" + HexByte(p.BOPHead));
  log.Line("      BOPCelSec:       $" + HexWord(p.BOPCelSec));
  log.Line("      ParType:         $" + HexByte(p.ParType));
  log.Line("      EOPHead:         $" + HexByte(p.EOPHead));
  log.Line("      EOPCelSec:       $" + HexWord(p.EOPCelSec));
  log.Line("      FirstSecOffset:  $" + HexDword(p.FirstSecOffset));
  log.Line("      NumOfSectors:    $" + HexDword(p.NumOfSectors));
  log.Line("      START: Head: " + HexWord(p.BOPHead) + " Cyl: " + HexWord(start.cylinder) +
           " Sec: " + HexWord(start.sector));
  log.Line("      END  : Head: " + HexWord(p.EOPHead) + " Cyl: " + HexWord(end.cylinder) +
           " Sec: " + HexWord(end.sector));
}

void RecordPartitionTable(RunOutput& out, const RawImageState& s, PartitionState& parts, std::uint32_t t,
                          std::uint32_t unitStart) {
  const auto blockSize = static_cast<std::int32_t>(s.FsBlockSize);
  out.LogFile.Line(std::string(80, '='));
  out.LogFile.Line("Recognized partition at block: $" +
                 HexWord(static_cast<std::uint32_t>(static_cast<std::int32_t>(unitStart) / blockSize)));
  // Every entry recorded from this table counts its sectors from the table's block.
  const auto tableBlock = static_cast<std::uint32_t>(static_cast<std::int32_t>(t) / blockSize);
  for (std::uint32_t i = 0; i < 4; ++i) {
    const std::uint32_t e = t + kTableEntries + kTableEntrySize * i;
    // Entry 1 is recorded whatever its type; the others only when typed.
    if (i > 0 && FsByte(s, std::uint64_t{e} + kPeParType) == 0) continue;
    RecordPartitionEntry(out, s, parts, e);
    parts.PartitionEntries.back().TableBlock = tableBlock;
  }
}

const char* PartitionTypeName(std::uint8_t type) {
  switch (type) {
    case 0x00: return "NONE";
    case 0x01: return "FAT12";
    case 0x04: return "FAT16 up to 32Mb";
    case 0x05: return "MSDOS Extended";
    case 0x0B: return "FAT32 up to 2048Mb";
    case 0x0C: return "FAT32 up to 2048Mb LBA";
    case 0x0E: return "FAT16 up to 32Mb LBA";
    case 0x0F: return "MSDOS Extended LBA";
    default: return "";
  }
}

}  // namespace quillex
