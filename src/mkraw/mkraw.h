// The dump writer: builds raw NAND dumps of a phone's file system area from a
// description, so that tests (and later a user tool) never need binary
// fixtures. Two levels:
//
//  - WriteRawDump turns explicit segments (their page data, spare areas left
//    out) into the bytes of a dump file: FS description block, spare areas
//    inserted after every page, gaps between segments.
//  - BuildFlash lays out logical fs_blocks on a simulated flash: physical
//    order (optionally shuffled, or the order in which a history was
//    written), MAP blocks with ids, free, stale and dropped entries, and
//    returns the segments for WriteRawDump.
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

// What a FAT driver writes an fs_block of a unit as. It writes a file's
// clusters first, then the FAT that chains them, then the directory entry
// that names them, so that a write cut short leaves no entry naming
// clusters that were never written.
enum class BlockClass : std::uint8_t { Data, Fat, Directory };

// One write of a logical block: the copy it leaves on the flash.
struct BlockWrite {
  std::uint32_t logical = 0;
  Bytes data;  // cut or padded with 0 to the fs_block size
};

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
  // just before the live one in map order (after any random stale copy of
  // it), everything else shuffled, so that the flash holds a history of each
  // block but map order says nothing about which blocks were written
  // together. Not with flashOrder.
  std::map<std::uint32_t, std::vector<Bytes>> olderCopies;
  // Flash order: map order (physical order) is the order in which the blocks
  // were written, as on a flash that only ever writes forward. After the
  // Mount Table's block comes the first copy of every other block, the data
  // blocks first, then the FAT blocks, then the directory blocks (each class
  // shuffled when shuffle is set, in logical order otherwise), then
  // laterWrites in their order. MAP and erased blocks lie anywhere among
  // them; a random stale copy of a block lies before the block's first copy,
  // so that it supersedes nothing. The last write of every block must leave
  // its logicalBlocks contents, and the Mount Table block is written once.
  bool flashOrder = false;
  std::map<std::uint32_t, BlockClass> firstClasses;  // class of a first copy; absent: Data
  std::map<std::uint32_t, Bytes> firstCopies;        // first copy's contents; absent: the block's own
  std::vector<BlockWrite> laterWrites;               // oldest first
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

// The class of each fs_block of the unit image that holds `volume`
// (MakeUnitImage: partition table sector, two zero sectors, the volume):
// Directory if any of its bytes lie in the root directory or in a cluster
// of a directory reached from it, else Fat if any lie in a FAT copy, else
// Data (the partition table, the boot and reserved sectors, file and free
// clusters). parType 0x01 reads the FAT as FAT12, 0x04 as FAT16, any other
// by the cluster count. Damaged fields and chains give fewer directory
// blocks, never a failure.
std::vector<BlockClass> ClassifyUnitBlocks(const Bytes& volume, std::uint8_t parType, std::uint32_t fsBlockSize);

enum class HistoryOrder {
  Flash,     // the states written one after the other (FlashSpec::flashOrder)
  PerBlock,  // each block's older copies just before its newer one (FlashSpec::olderCopies)
};

// The older states of a unit whose blocks start at logical block
// `firstBlock` (added by AddUnits already), oldest first; `unit`'s own
// volume is the newest. Every volume must be as long as the unit's. Copies
// are whole fs_blocks, the last one padded with zeros as in AddUnits.
//
// In flash order the oldest state is the first copy of the unit's mapped
// blocks, classed by that state's volume; then each newer state writes the
// blocks in which it differs from the one before, its data blocks, then its
// FAT blocks, then its directory blocks (classed by the newer volume, in
// logical order within a class), appended to plan.laterWrites. Per block,
// the blocks in which each older state differs from the next newer one
// become older copies in plan.olderCopies. Returns the number of copies
// added (the same in both orders).
std::size_t AddHistory(FlashSpec& plan, const UnitVolume& unit, std::uint32_t firstBlock,
                       const std::vector<Bytes>& olderVolumes, HistoryOrder order = HistoryOrder::Flash);

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
