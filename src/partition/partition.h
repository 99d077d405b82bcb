// Partition discovery: the Mount Table, partition tables, FAT boot sectors
// and the partition driver.
#pragma once

#include <cstdint>
#include <string>

#include "driver/run_state.h"

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

inline constexpr std::uint8_t kTypeFat12 = 0x01;
inline constexpr std::uint8_t kTypeFat16 = 0x04;

enum class RecognitionResult : std::uint8_t {
  NothingFound = 1,
  PartitionTableFound = 2,
  BootSectorFound = 3,
};

// The Mount Table stage: every MTab unit logged, checked, recognised and
// extracted.
void ProcessMountTable(RunState& state);

// What lies at byte offset s of the image: a partition table, a boot sector,
// both or neither. Opens the console line "@ $xxxxxxxx: ".
RecognitionResult RecognisePartition(RunState& state, std::uint32_t s);

bool PartitionTableTest(const RunState& state, std::uint32_t t);
void RecordPartitionTable(RunState& state, std::uint32_t t, std::uint32_t s);
void RecordPartitionEntry(RunState& state, std::uint32_t e);

struct CylSec {
  std::uint16_t cylinder;
  std::uint16_t sector;
};
CylSec SplitCylSec(std::uint16_t w);

// The text shown for a partition type code ("" for codes without one).
const char* PartitionTypeName(std::uint8_t type);

// Extracts the partition of entry n into `path` (the unit's directory).
void ProcessPartition(RunState& state, std::uint16_t n, const std::string& path);

}  // namespace quillex
