// Recognition of a unit's start: partition table, FAT boot sector, or both.
#include "base/hex.h"
#include "partition/partition.h"

namespace quillex {
namespace {

// EB 00 90 'M': a short jump by 0, a no-op, and an OEM name starting with M.
bool BootSignatureAt(const RawImageState& s, std::uint64_t v) {
  return FsByte(s, v) == 0xEB && FsByte(s, v + 1) == 0x00 && FsByte(s, v + 2) == 0x90 &&
         FsByte(s, v + 3) == 0x4D;
}

VolumeBootRecord ReadBootRecord(const RawImageState& s, std::uint64_t v) {
  VolumeBootRecord r;
  r.OEMName = FsChars(s, v + kBsOEMName, 8);
  r.BytesPerSector = FsWord(s, v + kBsBytesPerSector);
  r.SectorsPerCluster = FsByte(s, v + kBsSectorsPerCluster);
  r.ReservedSectors = FsWord(s, v + kBsReservedSectors);
  r.NumberOfFAT = FsByte(s, v + kBsNumberOfFAT);
  r.MaxRootEntry = FsWord(s, v + kBsMaxRootEntry);
  r.SmallSecNum = FsWord(s, v + kBsSmallSecNum);
  r.MediaType = FsByte(s, v + kBsMediaType);
  r.SecsPerFAT = FsWord(s, v + kBsSecsPerFAT);
  r.SectorPerTrack = FsWord(s, v + kBsSectorPerTrack);
  r.NumberOfHeads = FsWord(s, v + kBsNumberOfHeads);
  r.HiddenSecNum = FsDword(s, v + kBsHiddenSecNum);
  r.LargeSecNum = FsDword(s, v + kBsLargeSecNum);
  r.LogicalDrive = FsWord(s, v + kBsLogicalDrive);
  r.ExtSign = FsByte(s, v + kBsExtSign);
  r.Serial = FsDword(s, v + kBsSerial);
  r.VolumeName = FsChars(s, v + kBsVolumeName, 11);
  r.FATName = FsChars(s, v + kBsFATName, 8);
  r.ExMarker = FsWord(s, v + kBsExMarker);
  return r;
}

void LogBootRecord(RunOutput& out, const VolumeBootRecord& r, std::uint32_t unitBlock) {
  const std::uint32_t total = r.SmallSecNum != 0 ? r.SmallSecNum : r.LargeSecNum;
  const std::uint32_t size = r.BytesPerSector * total;  // 32-bit, as always shown
  TextOut& log = out.LogFile;
  log.Line(std::string(80, '-'));
  log.Line("Found VFAT filesystem. FSInfo in block: $" + HexWord(unitBlock));
  log.Line("      OEMName:        " + r.OEMName);
  log.Line("      Total sectors:  $" + HexDword(total));
  log.Line("      Bytes / sector: $" + HexWord(r.BytesPerSector));
  log.Line("      Size:           $" + HexDword(size) + " = " + std::to_string(size / 1024) + " k/b");
  log.Line("      SecsPetCluster: $" + HexByte(r.SectorsPerCluster));
  log.Line("      ReservedSectors:$" + HexWord(r.ReservedSectors));
  log.Line("      NumberOfFAT:    $" + HexByte(r.NumberOfFAT));
  log.Line("      MaxRootEntry:   $" + HexWord(r.MaxRootEntry));
  log.Line("      MediaType:      $" + HexByte(r.MediaType));
  log.Line("      SecsPerFAT:     $" + HexWord(r.SecsPerFAT));
  log.Line("      SectorPerTrack: $" + HexWord(r.SectorPerTrack));
  log.Line("      NumberOfHeads:  $" + HexWord(r.NumberOfHeads));
  log.Line("      HiddenSecNum:   $" + HexDword(r.HiddenSecNum));
  log.Line("      LargeSecNum:    $" + HexDword(r.LargeSecNum));
  log.Line("      LogicalDrive:   $" + HexWord(r.LogicalDrive));
  log.Line("      ExtSign:        $" + HexByte(r.ExtSign));
  log.Line("      Serial#:        " + HexDword(r.Serial));
  log.Line("      VolumeName:     " + r.VolumeName);
  log.Line("      FATName:        " + r.FATName);
  log.Line("      ExMarker:       $" + HexWord(r.ExMarker));
}

}  // namespace

RecognitionResult RecognisePartition(RunOutput& out, const RawImageState& s, PartitionState& parts,
                                     std::uint32_t start) {
  RecognitionResult result = RecognitionResult::NothingFound;
  out.Console.Write("@ $" + HexDword(start) + ": ");
  const std::uint64_t at = start;

  // A table in the unit's first sector, or in its second when that sector
  // ends in 0xFF; the second place wins.
  std::uint32_t table = 0;
  if (PartitionTableTest(s, start)) {
    result = RecognitionResult::PartitionTableFound;
    table = start;
  }
  if (PartitionTableTest(s, start + 512) && FsByte(s, at + 1023) == 0xFF) {
    result = RecognitionResult::PartitionTableFound;
    table = start + 512;
  }
  if (result == RecognitionResult::PartitionTableFound) RecordPartitionTable(out, s, parts, table, start);

  // A boot sector at the start, or three sectors further; the latter wins.
  std::uint64_t boot = 0;
  bool found = false;
  if (BootSignatureAt(s, at)) {
    found = true;
    boot = at;
  }
  if (BootSignatureAt(s, at + 1536)) {
    found = true;
    boot = at + 1536;
  }
  if (found) {
    result = RecognitionResult::BootSectorFound;
    parts.BootRecords.push_back(ReadBootRecord(s, boot));
    const auto unitBlock = static_cast<std::uint32_t>(static_cast<std::int32_t>(start) /
                                                      static_cast<std::int32_t>(s.FsBlockSize));
    LogBootRecord(out, parts.BootRecords.back(), unitBlock);
  }
  return result;
}

}  // namespace quillex
