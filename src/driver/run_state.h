// The run state: one instance per run, owned by the driver and handed to
// every stage by reference. Each member is set by exactly one stage (named in
// its comment) and only read by the later ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "driver/buffers.h"
#include "driver/output.h"

namespace quillex {

inline constexpr std::size_t kMaxSegments = 10;
inline constexpr std::uint32_t kMaxMapId = 100;

// One segment record of the FS description block, as read.
struct SegmentRecord {
  std::uint32_t Start = 0;
  std::uint32_t End = 0;  // inclusive
  std::uint32_t FsBlockSize = 0;
  std::uint32_t PageType = 0;
};

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

// The names a run has created, per directory on disk, compared as Windows
// compares them (NameKey), so that no entry of the image overwrites the file
// of another, here or after a copy to Windows. Filled by the directory walk.
struct CreatedNames {
  using Taken = std::unordered_set<std::string>;  // NameKey of each name
  std::unordered_map<std::string, Taken> byDirectory;
};

struct RunState {
  TextOut Console;
  TextOut LogFile;  // created by the NAND loading stage

  std::string EntryName;  // argument 1, exactly as passed

  // Header stage.
  std::uint32_t EntrySize = 0;
  std::uint16_t FsVersion = 0;
  std::uint16_t SegmentCount = 0;
  std::vector<SegmentRecord> SegmentTable;  // ordered by start after the header stage
  std::uint32_t FsBlockSize = 0;            // bytes per fs_block, and per cluster

  // NAND loading stage.
  ZeroedBuffer RawImage;
  std::uint32_t RawLength = 0;      // bytes placed in RawImage
  std::uint32_t RawBlockCount = 0;  // whole fs_blocks in them

  // MAP stage. BlockMap.size() is the count of taken entries.
  std::array<std::uint32_t, kMaxMapId + 1> MapPositions{};
  std::array<bool, kMaxMapId + 1> MapFound{};
  std::uint32_t HighestMapId = 0;
  std::vector<std::uint32_t> BlockMap;
  std::uint32_t MapSize = 0;
  std::uint32_t MaxBlockNumber = 0;

  // Image stage: the normal FS image as a view of RawImage through the block
  // map. FsCopiedBlocks lists the logical blocks that got a place, in the
  // order placed (the others are zero and need not be written).
  FsView FsImage;
  std::vector<std::uint32_t> FsCopiedBlocks;

  // Partition recognition. Entry and record n (from 1) are at index n - 1;
  // the sizes are the counts, and name the newest.
  std::vector<PartitionEntry> PartitionEntries;
  std::vector<VolumeBootRecord> BootRecords;

  // The partition being extracted (set by the partition driver).
  std::uint32_t FsInfoOffset = 0;   // byte offset of its boot sector
  std::uint32_t RootSector = 0;     // first root directory sector
  std::uint16_t FirstDataSector = 0;  // first sector of the data area (cluster 2)
  std::uint32_t FilesSaved = 0;

  // Every partition's walk, for the whole run.
  CreatedNames NamesCreated;
};

// Partition entry n (from 1); entry 0, or one never recorded, reads as all
// zero: type 0, which no stage walks.
const PartitionEntry& EntryAt(const RunState& state, std::uint32_t n);

// Little-endian reads of the two images; zero beyond their ends.
inline std::uint16_t RawWord(const RunState& s, std::uint64_t o) { return LoadWord(s.RawImage.view(), o); }
inline std::uint32_t RawDword(const RunState& s, std::uint64_t o) { return LoadDword(s.RawImage.view(), o); }
// Offsets past the end never wrap: o + 1 at ~0 reads zero like the rest.
inline std::uint8_t FsByte(const RunState& s, std::uint64_t o) { return s.FsImage.Byte(o); }
inline std::uint16_t FsWord(const RunState& s, std::uint64_t o) {
  return static_cast<std::uint16_t>(FsByte(s, o) | (o == ~std::uint64_t{0} ? 0 : FsByte(s, o + 1) << 8));
}
inline std::uint32_t FsDword(const RunState& s, std::uint64_t o) {
  return FsWord(s, o) | (o >= ~std::uint64_t{0} - 2 ? 0u : std::uint32_t{FsWord(s, o + 2)} << 16);
}
inline std::string FsChars(const RunState& s, std::uint64_t o, std::size_t n) { return s.FsImage.Chars(o, n); }

// Writes the fatal message as a line (completing an open announcement) and
// stops the run.
[[noreturn]] void Fatal(RunState& state, std::string_view line);

}  // namespace quillex
