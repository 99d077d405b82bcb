// Raw image reconstruction: from the dump file to the normal FS image.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "base/output.h"

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

// Where a segment's bytes went: RawImage[RawStart, RawStart + Kept) holds
// its page data, read from the dump at FileStart on (Read bytes of the file,
// spare areas included). DataSize is 0 for a segment without spare areas.
struct SegmentPlace {
  std::uint32_t RawStart = 0;
  std::uint32_t Kept = 0;
  std::uint64_t FileStart = 0;
  std::uint32_t Read = 0;
  std::uint32_t DataSize = 0;
  std::uint32_t PageSize = 0;
};

// What the raw image stages fill, from the dump's name to the normal FS
// image; the later stages only read it.
struct RawImageState {
  std::string EntryName;  // argument 1, exactly as passed
  // Where the dump is read from when that is not EntryName itself (a
  // program that writes its outputs elsewhere names them after EntryName).
  std::string EntryFile;

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
  std::vector<SegmentPlace> SegmentPlaces;  // in the order loaded

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
};

inline const std::string& DumpFile(const RawImageState& s) {
  return s.EntryFile.empty() ? s.EntryName : s.EntryFile;
}

// Little-endian reads of the two images; zero beyond their ends.
inline std::uint32_t RawDword(const RawImageState& s, std::uint64_t o) { return LoadDword(s.RawImage.view(), o); }
// Offsets past the end never wrap: o + 1 at ~0 reads zero like the rest.
inline std::uint8_t FsByte(const RawImageState& s, std::uint64_t o) { return s.FsImage.Byte(o); }
inline std::uint16_t FsWord(const RawImageState& s, std::uint64_t o) {
  return static_cast<std::uint16_t>(FsByte(s, o) | (o == ~std::uint64_t{0} ? 0 : FsByte(s, o + 1) << 8));
}
inline std::uint32_t FsDword(const RawImageState& s, std::uint64_t o) {
  return FsWord(s, o) | (o >= ~std::uint64_t{0} - 2 ? 0u : std::uint32_t{FsWord(s, o + 2)} << 16);
}
inline std::string FsChars(const RawImageState& s, std::uint64_t o, std::size_t n) { return s.FsImage.Chars(o, n); }

// FS description block at offset 0 of the dump.
inline constexpr std::uint32_t kDescMarker = 0;        // u16, must be 3
inline constexpr std::uint32_t kDescVersion = 2;       // u16, only 26 is supported
inline constexpr std::uint32_t kDescSegmentCount = 8;  // u16
inline constexpr std::uint32_t kDescRecords = 16;      // 32-byte segment records
inline constexpr std::uint32_t kRecordSize = 32;
// Offsets inside a segment record.
inline constexpr std::uint32_t kRecStart = 0;        // u32
inline constexpr std::uint32_t kRecEnd = 8;          // u32, inclusive
inline constexpr std::uint32_t kRecErase = 16;       // u32, shown only
inline constexpr std::uint32_t kRecFsBlockSize = 20; // u32, 0: not given
inline constexpr std::uint32_t kRecPageType = 26;    // u32 (unaligned)

inline constexpr std::uint16_t kDescMarkerValue = 3;
inline constexpr std::uint16_t kSupportedVersion = 26;
inline constexpr std::uint32_t kHeaderBytes = 4096;
inline constexpr std::uint32_t kDefaultFsBlockSize = 0x800;

// NAND page geometries selected by a segment's page type.
inline constexpr std::uint32_t kPageTypeSmall = 18;  // $200 data + $10 spare
inline constexpr std::uint32_t kPageTypeLarge = 2;   // $800 data + $40 spare

// A page of a segment with spare areas: its data, then its spare area.
//   | data (Data bytes) | spare | data | spare | ...
//   |<------- Page ---------->|
struct PageGeometry {
  std::uint32_t Data = 0;
  std::uint32_t Page = 0;
  bool Paged() const { return Page != 0; }
};
// The page geometry of a page type; none (Page 0) for a segment without
// spare areas.
inline PageGeometry PagesOf(std::uint32_t pageType) {
  if (pageType == kPageTypeSmall) return {512, 528};
  if (pageType == kPageTypeLarge) return {2048, 2112};
  return {};
}

// MAP block layout.
inline constexpr std::uint32_t kMapSig1 = 0;     // u32
inline constexpr std::uint32_t kMapSig2 = 4;     // u32
inline constexpr std::uint32_t kMapId = 12;      // u32
inline constexpr std::uint32_t kMapEntries = 24; // u32 each, to the end of the block
inline constexpr std::uint32_t kMapSignature1 = 0x0019DADF;
inline constexpr std::uint32_t kMapSignature2 = 0x0AD398D7;
inline constexpr std::uint32_t kInUseFlag = 0x40;
inline constexpr std::uint32_t kFreeNumber = 0xFFFFFF;
inline constexpr std::uint32_t kFreeEntry = 0xFFFFFFFF;

// What a BlockMap entry means, little-endian u32:
//   bits 31..24  state byte: 0x40 = in use
//   bits 23..0   logical fs_block number, from 1; 0xFFFFFF = none
// The logical block an entry copies into the image, or 0: one in use that
// names block 0 would lie before the image, and 0xFFFFFF names none.
inline std::uint32_t CopiedBlock(std::uint32_t entry) {
  const std::uint32_t n = entry & kFreeNumber;
  return (entry >> 24) == kInUseFlag && n != 0 && n != kFreeNumber ? n : 0;
}
// Whether an entry holds a place in the BlockMap (and the MAP block): in
// use, or naming no block; any other entry is dropped.
inline bool HoldsPlace(std::uint32_t entry) {
  return (entry >> 24) == kInUseFlag || (entry & kFreeNumber) == kFreeNumber;
}

// Stages, in the order the driver runs them.
void LoadRawHeader(RunOutput& out, RawImageState& state);
void LoadSegments(RunOutput& out, RawImageState& state);
void FindMapBlocks(RunOutput& out, RawImageState& state);
void BuildBlockMap(RunOutput& out, RawImageState& state);
void BuildFsImage(RunOutput& out, RawImageState& state);
void WriteFsImage(RunOutput& out, const RawImageState& state);
// Writes `image` (FsImage, or an older state of it), whose blocks `copied`
// have a place, to the file `name`, MaxBlockNumber blocks long.
platform::Status WriteImage(const RawImageState& state, const FsView& image, const std::vector<std::uint32_t>& copied,
                            const std::string& name, Findings& report);

// The physical fs_blocks the map names but the image does not show: every
// superseded copy (Logical: the block it is a copy of), and every block
// under a free entry that the dump holds
// and that is not erased (Logical 0). MAP blocks and the dump's FS
// description block are not listed. In order of RawImage offset.
struct PhysicalBlock {
  std::uint32_t Physical = 0;    // RawImage offset / FsBlockSize
  std::uint64_t RawOffset = 0;   // in RawImage
  std::uint32_t Logical = 0;     // 0: under a free entry
  std::uint32_t InDump = 0;      // bytes of it, from the first, that the dump holds
  std::uint64_t DumpOffset = 0;  // of its first byte in the dump (when InDump > 0)
};
std::vector<PhysicalBlock> ListPhysicalBlocks(const RawImageState& state);

// The dump offset of RawImage byte `rawOffset`, through the page geometry
// of its segment; false when the dump does not hold that byte (stripped
// fill, or past what was read).
bool DumpOffset(const RawImageState& state, std::uint64_t rawOffset, std::uint64_t& fileOffset);
// How many bytes from `rawOffset` on, up to `length`, the dump holds.
std::uint32_t BytesInDump(const RawImageState& state, std::uint64_t rawOffset, std::uint32_t length);

// Moves the page data of `got` bytes read at buffer[at] down over the spare
// areas (data size D, page size P) and returns the bytes kept: the pages
// started times D. A page read only partly is moved whole; the buffer must
// hold at + pages * P bytes.
std::uint32_t StripSpareAreas(std::span<std::uint8_t> buffer, std::size_t at, std::uint32_t got,
                              std::uint32_t dataSize, std::uint32_t pageSize);

// Where the BlockMap's two runs meet: entries below SplitIndex describe the
// first segment from the start of RawImage; the rest describe the fs_blocks
// from Seg0Size on.
struct ImageLayout {
  std::uint32_t Seg0Size = 0;
  std::uint32_t Seg0MapCount = 0;
  std::uint32_t SplitIndex = 0;
};
ImageLayout ComputeImageLayout(const SegmentRecord& first, std::uint32_t fsBlockSize,
                               std::uint32_t mapSize);

// Byte offset in RawImage of the physical fs_block that BlockMap entry k describes.
std::uint64_t PhysicalOffset(const ImageLayout& layout, std::uint32_t fsBlockSize, std::uint64_t k);

// Calls visit(k, n, offset) for every BlockMap entry k, in BlockMap order,
// with the physical offset it describes and the logical block it copies
// there (CopiedBlock: 0 for none). Read after BuildBlockMap.
template <typename Visit>
void ForEachMapEntry(const RawImageState& s, Visit&& visit) {
  const SegmentRecord first = s.SegmentTable.empty() ? SegmentRecord{} : s.SegmentTable.front();
  const ImageLayout layout = ComputeImageLayout(first, s.FsBlockSize, s.MapSize);
  for (std::size_t k = 0; k < s.BlockMap.size(); ++k) {
    visit(k, CopiedBlock(s.BlockMap[k]), PhysicalOffset(layout, s.FsBlockSize, k));
  }
}

}  // namespace quillex
