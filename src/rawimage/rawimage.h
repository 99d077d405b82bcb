// Raw image reconstruction: from the dump file to the normal FS image.
#pragma once

#include <cstdint>
#include <span>

#include "driver/run_state.h"

namespace quillex {

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

// Stages, in the order the driver runs them.
void LoadRawHeader(RunState& state);
void LoadSegments(RunState& state);
void FindMapBlocks(RunState& state);
void BuildBlockMap(RunState& state);
void BuildFsImage(RunState& state);
void WriteFsImage(RunState& state);

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

}  // namespace quillex
