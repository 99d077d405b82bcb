// Partition discovery: the Mount Table, partition tables, FAT boot sectors
// and the partition driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/paths.h"
#include "rawimage/rawimage.h"

namespace quillex {

// MTab unit, 48 bytes.
inline constexpr std::uint32_t kUnitSize = 48;
inline constexpr std::uint32_t kUnitPath = 0;         // up to 28 bytes
inline constexpr std::uint32_t kUnitPathLength = 28;  // u8
inline constexpr std::uint32_t kUnitStartBlock = 36;  // u16
inline constexpr std::uint32_t kUnitSizeBlocks = 40;  // u16
inline constexpr std::uint32_t kMaxMTabUnits = 21;
inline constexpr std::uint32_t kPartitionSizeLimit = 0x7FFF800;  // $FFFF x $800

// Partition table sector.
inline constexpr std::uint32_t kTableEntries = 446;  // four 16-byte entries
inline constexpr std::uint32_t kTableEntrySize = 16;
// Offsets inside a partition table entry.
inline constexpr std::uint32_t kPeCurState = 0;        // u8
inline constexpr std::uint32_t kPeBOPHead = 1;         // u8
inline constexpr std::uint32_t kPeBOPCelSec = 2;       // u16
inline constexpr std::uint32_t kPeParType = 4;         // u8
inline constexpr std::uint32_t kPeEOPHead = 5;         // u8
inline constexpr std::uint32_t kPeEOPCelSec = 6;       // u16
inline constexpr std::uint32_t kPeFirstSecOffset = 8;  // u32
inline constexpr std::uint32_t kPeNumOfSectors = 12;   // u32

// FAT boot sector.
inline constexpr std::uint32_t kBsOEMName = 3;           // 8 chars
inline constexpr std::uint32_t kBsBytesPerSector = 11;   // u16
inline constexpr std::uint32_t kBsSectorsPerCluster = 13;   // u8
inline constexpr std::uint32_t kBsReservedSectors = 14;  // u16
inline constexpr std::uint32_t kBsNumberOfFAT = 16;      // u8
inline constexpr std::uint32_t kBsMaxRootEntry = 17;     // u16
inline constexpr std::uint32_t kBsSmallSecNum = 19;      // u16
inline constexpr std::uint32_t kBsMediaType = 21;        // u8
inline constexpr std::uint32_t kBsSecsPerFAT = 22;       // u16
inline constexpr std::uint32_t kBsSectorPerTrack = 24;   // u16
inline constexpr std::uint32_t kBsNumberOfHeads = 26;    // u16
inline constexpr std::uint32_t kBsHiddenSecNum = 28;     // u32
inline constexpr std::uint32_t kBsLargeSecNum = 32;      // u32
inline constexpr std::uint32_t kBsLogicalDrive = 36;     // u16
inline constexpr std::uint32_t kBsExtSign = 38;          // u8
inline constexpr std::uint32_t kBsSerial = 39;           // u32
inline constexpr std::uint32_t kBsVolumeName = 43;       // 11 chars
inline constexpr std::uint32_t kBsFATName = 54;          // 8 chars
inline constexpr std::uint32_t kBsExMarker = 510;        // u16

// One entry of a partition table, as stored in the sector, and the index of
// the fs_block that holds the table (sectors of the partition count from it).
struct PartitionEntry {
  std::uint8_t CurState = 0;
  std::uint8_t BOPHead = 0;
  std::uint16_t BOPCelSec = 0;
  std::uint8_t ParType = 0;
  std::uint8_t EOPHead = 0;
  std::uint16_t EOPCelSec = 0;
  std::uint32_t FirstSecOffset = 0;
  std::uint32_t NumOfSectors = 0;
  std::uint32_t TableBlock = 0;
};

// The fields of a FAT boot sector, as read.
struct VolumeBootRecord {
  std::string OEMName;
  std::uint16_t BytesPerSector = 0;
  std::uint8_t SectorsPerCluster = 0;
  std::uint16_t ReservedSectors = 0;
  std::uint8_t NumberOfFAT = 0;
  std::uint16_t MaxRootEntry = 0;
  std::uint16_t SmallSecNum = 0;
  std::uint8_t MediaType = 0;
  std::uint16_t SecsPerFAT = 0;
  std::uint16_t SectorPerTrack = 0;
  std::uint16_t NumberOfHeads = 0;
  std::uint32_t HiddenSecNum = 0;
  std::uint32_t LargeSecNum = 0;
  std::uint16_t LogicalDrive = 0;
  std::uint8_t ExtSign = 0;
  std::uint32_t Serial = 0;
  std::string VolumeName;
  std::string FATName;
  std::uint16_t ExMarker = 0;
};

// What partition recognition records. Entry and record n (from 1) are at
// index n - 1; the sizes are the counts, and name the newest.
struct PartitionState {
  std::vector<PartitionEntry> PartitionEntries;
  std::vector<VolumeBootRecord> BootRecords;
};

// Partition entry n (from 1); entry 0, or one never recorded, reads as all
// zero: type 0, which no stage walks.
const PartitionEntry& EntryAt(const PartitionState& state, std::uint32_t n);

enum class RecognitionResult : std::uint8_t {
  NothingFound = 1,
  PartitionTableFound = 2,
  BootSectorFound = 3,
};

// The Mount Table stage: every MTab unit logged, checked, recognised and
// extracted.
void ProcessMountTable(RunOutput& out, const RawImageState& image, PartitionState& parts, CreatedNames& names);

// What lies at byte offset s of the image: a partition table, a boot sector,
// both or neither. Opens the console line "@ $xxxxxxxx: ".
RecognitionResult RecognisePartition(RunOutput& out, const RawImageState& image, PartitionState& parts,
                                     std::uint32_t s);

bool PartitionTableTest(const RawImageState& image, std::uint32_t t);
void RecordPartitionTable(RunOutput& out, const RawImageState& image, PartitionState& parts, std::uint32_t t,
                          std::uint32_t s);
void RecordPartitionEntry(RunOutput& out, const RawImageState& image, PartitionState& parts, std::uint32_t e);

struct CylSec {
  std::uint16_t cylinder;
  std::uint16_t sector;
};
CylSec SplitCylSec(std::uint16_t w);

// The text shown for a partition type code ("" for codes without one).
const char* PartitionTypeName(std::uint8_t type);

// Extracts the partition of entry n into `path`, the directory of MTab unit
// `unit` (from 1).
void ProcessPartition(RunOutput& out, const RawImageState& image, PartitionState& parts, CreatedNames& names,
                      std::uint16_t n, const std::string& path, std::uint32_t unit = 0);

}  // namespace quillex
