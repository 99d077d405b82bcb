// The dump writer: builds raw NAND dumps of a phone's file system area from a
// description, so that tests (and later a user tool) never need binary
// fixtures. Two levels:
//
//  - WriteRawDump turns explicit segments (their page data, spare areas left
//    out) into the bytes of a dump file: FS description block, spare areas
//    inserted after every page, gaps between segments.
//  - BuildFlash lays out logical fs_blocks on a simulated flash: physical
//    order (optionally shuffled), MAP blocks with ids, free, stale and
//    dropped entries, and returns the segments for WriteRawDump.
//
// Everything is little-endian; nothing here depends on the host byte order.
// Descriptions that cannot be written as asked throw std::invalid_argument.
//
// The writer restates the dump format on purpose (mkraw/format.h) and uses
// none of the reader's code or constants: a dump it writes is an independent
// check of the reader, and a change to one that the other does not share
// shows up as a failing test. Its parts: raw_dump.cpp (level 1), flash.cpp
// (level 2, MAP blocks), units.cpp (Mount Table, partition tables), volume.cpp
// (the check of a FAT volume).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillex::mkraw {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kPageTypeSmall = 18;  // pages of $200 data + $10 spare
inline constexpr std::uint32_t kPageTypeLarge = 2;   // pages of $800 data + $40 spare
inline constexpr std::uint32_t kPageTypeNone = 0;    // no spare areas

inline constexpr std::uint32_t kMapSignature1 = 0x0019DADF;
inline constexpr std::uint32_t kMapSignature2 = 0x0AD398D7;
inline constexpr std::uint32_t kInUse = 0x40000000;        // state byte 0x40
inline constexpr std::uint32_t kFreeEntry = 0xFFFFFFFF;    // erased entry

// ---------------------------------------------------------------------------
// Level 1: explicit segments.

struct RawSegment {
  // Fields of the segment record as written to the FS description block.
  std::uint32_t start = 0;
  std::optional<std::uint32_t> end;  // default: start + file length of the segment - 1
  std::uint32_t erase = 0x20000;
  std::uint32_t fsBlockSize = 0x800;  // as recorded; 0 is allowed
  std::uint32_t pageType = kPageTypeNone;
  // Page data of the segment, spare areas left out. For paged types a last
  // partial page is padded with 0xFF up to a whole page before the spare is
  // appended.
  Bytes data;
};

struct RawDumpSpec {
  std::uint16_t marker = 3;
  std::uint16_t version = 26;
  // Records in the order they are written to the header (file order). The
  // data in the file follows the start order (stable sort by start), as the
  // tool loads it; each gap between consecutive segments in start order
  // (next start - this end - 1, when positive) is filled with gapFill bytes.
  std::vector<RawSegment> segments;
  // Value written to the segment count field; default: segments.size().
  std::optional<std::uint16_t> segmentCount;
  std::uint8_t gapFill = 0xEE;
  std::uint8_t spareFill = 0x5A;  // bytes of every spare area
  // The FS description block (marker, version, count, records) is written
  // over the first bytes of the segment that comes first in start order, as
  // on a real dump where physical fs_block 0 holds it; that segment's data is
  // first lengthened with zero bytes if it is shorter than the block, and with
  // no segment at all the file starts with the block alone. For a paged
  // segment the block must fit in the first page's data. Set false to leave
  // the data as given (e.g. a dump whose first bytes are BA BE).
  bool writeHeader = true;
  // Cut the file to this many bytes (a dump that ends early).
  std::optional<std::size_t> truncateTo;
};

// File length of a segment with the given page data (spares included).
std::uint32_t SegmentFileLength(const RawSegment& segment);

// Writes the dump file's bytes: data in start order, each segment's pages
// followed by their spares, gap bytes between segments.

Bytes WriteRawDump(const RawDumpSpec& plan);

// ---------------------------------------------------------------------------
// Level 2: logical fs_blocks on a simulated flash.

struct MapBlockSpec {
  std::uint32_t id = 0;
  // Raw entries in order, starting at offset 24 of the block; the rest of the
  // block is filled with kFreeEntry.
  std::vector<std::uint32_t> entries;
};

// The bytes of one MAP block: signatures, id, entries. Bytes that no field
// covers are 0xFF, as on erased flash.
Bytes MakeMapBlock(const MapBlockSpec& map, std::uint32_t fsBlockSize);

// One physical fs_block of the flash, in physical order.
struct PhysicalBlock {
  enum class Kind { Header, Map, Data, Erased } kind = Kind::Erased;
  std::size_t mapIndex = 0;   // Kind::Map: index into FlashLayout::maps
  std::uint32_t logical = 0;  // Kind::Data: logical fs_block number it holds
  Bytes data;                 // Kind::Data: contents (cut or padded with 0 to the fs_block size)
};

struct FlashSegment {
  std::uint32_t pageType = kPageTypeNone;
  std::uint32_t blocks = 0;          // physical fs_blocks in this segment
  std::uint32_t gapAfter = 0;        // address gap to the next segment
  std::optional<std::uint32_t> recordedFsBlockSize;  // default: the layout's fs_block size
};

struct FlashLayout {
  std::uint32_t fsBlockSize = 0x800;
  std::vector<PhysicalBlock> blocks;  // physical order across all segments
  std::vector<MapBlockSpec> maps;
  std::vector<FlashSegment> segments;  // must cover blocks.size() in total
  bool recordsDescending = false;       // write the header records in reverse start order
};

// Turns an explicit flash layout into level-1 segments (addresses from 0,
// contiguous unless gapAfter says otherwise). Header blocks are zero (the FS
// description block is written over them), erased blocks 0xFF.
RawDumpSpec LayoutToRawSpec(const FlashLayout& layout);

struct FlashSpec {
  std::uint32_t fsBlockSize = 0x800;
  // Logical fs_blocks, numbered from 1; contents cut or padded with 0 to the
  // fs_block size.
  std::map<std::uint32_t, Bytes> logicalBlocks;
  // Logical number placed at physical fs_block 1: the Mount Table's block.
  std::optional<std::uint32_t> mountTableBlock;
  std::uint64_t seed = 1;         // physical shuffle of the other data blocks
  bool shuffle = true;
  std::uint32_t freeBlocks = 0;   // extra erased blocks with free entries, spread about
  std::uint32_t staleCopies = 0;  // superseded older copies of random logical blocks
  // Older contents of logical blocks, oldest first: superseded copies placed
  // before the live one in map order (after any random stale copy of it),
  // so that the flash holds a real history of the block.
  std::map<std::uint32_t, std::vector<Bytes>> olderCopies;
  std::uint32_t droppedPerMap = 0;  // entries of another state in every MAP block
  bool staleMapDuplicates = false;  // an older MAP block with each id, before the live one
  std::vector<std::uint32_t> missingMapIds;  // MAP ids not written at all
  // Page types, gaps and block counts; empty: one segment without spares.
  // Segments with a count of 0 share the blocks left by the others evenly
  // (the first gets at least 2); given counts above what is needed are
  // filled with erased blocks.
  std::vector<FlashSegment> segments;
  bool recordsDescending = false;
};

// Lays out the logical blocks so that the tool decodes them back exactly
// (except where missingMapIds drops data on purpose).
//
// Missing MAP ids cannot be combined with dropped entries: the tool holds a
// missing block's place with a whole block of free entries.
FlashLayout BuildFlash(const FlashSpec& plan);

Bytes BuildDump(const FlashSpec& plan);

// One step of the splitmix64 generator behind every random choice of
// BuildFlash: the same seed gives the same dump with any compiler.
std::uint64_t NextRandom(std::uint64_t& state);

// ---------------------------------------------------------------------------
// Mount Table.

struct MountUnit {
  std::string path;              // mount path, e.g. "/" or "/abc"
  std::uint16_t startBlock = 0;  // logical fs_block of the partition's start
  std::uint16_t sizeBlocks = 0;
  std::optional<std::uint8_t> pathLength;  // default: path.size()
};

// The Mount Table block: 48-byte units (fields no unit uses are 0), then an
// end mark of two zero bytes; the rest of the block is 0xFF. A path holds at
// most 28 bytes.
Bytes MakeMountTable(const std::vector<MountUnit>& units, std::uint32_t fsBlockSize);

// ---------------------------------------------------------------------------
// Partitions.

// One MTab unit and the FAT volume it holds. On the phone a unit starts with
// a partition table sector whose entry 1 describes the volume (first sector
// 3), and the volume's boot sector lies three sectors later.
struct UnitVolume {
  std::string mountPath;
  Bytes volume;                    // FAT12/FAT16 volume image, boot sector at byte 0
  std::uint8_t parType = 0x04;     // type code of entry 1 (0x01 FAT12, 0x04 FAT16)
  bool patchBootSignature = true;  // the copy's first four bytes become EB 00 90 4D
  // The unit's trailing fs_blocks of zeros are left unmapped, as on a flash
  // that never wrote them: the image then ends at the last one written.
  bool writtenOnly = false;
};

// The unit's bytes: partition table sector, two zero sectors, the volume.
Bytes MakeUnitImage(const UnitVolume& unit);

// The older states of a unit whose blocks start at logical block
// `firstBlock`: the blocks in which each older volume (oldest first) differs
// from the next newer one (the last from `unit`'s own volume) become older
// copies of those blocks in plan.olderCopies. Every volume must be as long
// as the unit's. Copies are whole fs_blocks, the last one padded with zeros
// as in AddUnits. Returns the number of copies added.
std::size_t AddHistory(FlashSpec& plan, const UnitVolume& unit, std::uint32_t firstBlock,
                       const std::vector<Bytes>& olderVolumes);

// Puts a Mount Table into logical block 1 with one MTab unit per volume, and
// each unit's bytes into the logical blocks from `firstBlock` on, one unit
// after the other, its last block padded with zeros; `extra` units (made by
// hand, for testing) follow the volumes' units in the table. Sets
// plan.mountTableBlock to 1. Returns the first logical block after the last
// unit.
std::uint32_t AddUnits(FlashSpec& plan, const std::vector<UnitVolume>& units,
                       std::uint32_t firstBlock = 2, const std::vector<MountUnit>& extra = {});

// Whether a file is a FAT12/FAT16 volume a unit can hold: 512-byte sectors
// and a boot sector that describes a volume the file holds, in any layout
// (number of FATs, reserved sectors, root directory and cluster size as
// mkfs.fat chooses them; the unit is padded to whole fs_blocks).
struct VolumeFit {
  std::vector<std::string> problems;  // empty when the volume is taken
  std::uint8_t parType = 0;           // 0x01 FAT12 or 0x04 FAT16, by cluster count
  bool bootSignature = false;         // starts EB 00 90 4D already
};
VolumeFit CheckVolume(const Bytes& volume);

}  // namespace quillex::mkraw
