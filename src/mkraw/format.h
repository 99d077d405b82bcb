// The dump format as the writer lays it out: field offsets and the few
// helpers every part of the writer shares. The writer restates the format
// here on purpose, apart from the reader's constants, so that each checks
// the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "mkraw/mkraw.h"

namespace quillex::mkraw::format {

// FS description block, at offset 0 of the dump.
inline constexpr std::size_t kMarker = 0;          // u16
inline constexpr std::size_t kVersion = 2;         // u16
inline constexpr std::size_t kSegmentCount = 8;    // u16
inline constexpr std::size_t kRecords = 16;        // first segment record
inline constexpr std::size_t kRecordSize = 32;
// Segment record, offsets inside the record.
inline constexpr std::size_t kRecordStart = 0;         // u32
inline constexpr std::size_t kRecordEnd = 8;           // u32, inclusive
inline constexpr std::size_t kRecordErase = 16;        // u32
inline constexpr std::size_t kRecordFsBlockSize = 20;  // u32
inline constexpr std::size_t kRecordPageType = 26;     // u32, unaligned: bytes 24-25 stay 0

// MAP block.
inline constexpr std::size_t kMapSignature1At = 0;  // u32
inline constexpr std::size_t kMapSignature2At = 4;  // u32
inline constexpr std::size_t kMapId = 12;           // u32
inline constexpr std::size_t kMapEntries = 24;      // u32 each, up to the end of the block
inline constexpr std::uint32_t kFreeNumber = 0x00FFFFFF;
inline constexpr std::uint32_t kMaxMapId = 100;           // the tool ignores higher ids
inline constexpr std::size_t kBlockMapCapacity = 65536;  // entries the tool can hold

// MTab unit of the Mount Table.
inline constexpr std::size_t kUnitSize = 48;
inline constexpr std::size_t kUnitPath = 0;         // up to 28 bytes
inline constexpr std::size_t kUnitPathMax = 28;
inline constexpr std::size_t kUnitPathLength = 28;  // u8
inline constexpr std::size_t kUnitStart = 36;       // u16
inline constexpr std::size_t kUnitBlocks = 40;      // u16
inline constexpr std::size_t kEndMarkSize = 2;

// Partition table sector: entry 1 at 446, the signature at 510.
inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kTableEntry1 = 446;
inline constexpr std::size_t kEntryCurState = 0;        // u8
inline constexpr std::size_t kEntryBOPHead = 1;         // u8
inline constexpr std::size_t kEntryBOPCelSec = 2;       // u16
inline constexpr std::size_t kEntryParType = 4;         // u8
inline constexpr std::size_t kEntryEOPHead = 5;         // u8
inline constexpr std::size_t kEntryEOPCelSec = 6;       // u16
inline constexpr std::size_t kEntryFirstSecOffset = 8;  // u32
inline constexpr std::size_t kEntryNumOfSectors = 12;   // u32
inline constexpr std::size_t kTableSignature = 510;     // 55 AA
// The volume's boot sector lies three sectors after the table.
inline constexpr std::uint32_t kVolumeFirstSector = 3;
// Geometry behind the end address of entry 1 (the start is fixed at head 1,
// sector 1, cylinder 0, which the tool's recognition asks for).
inline constexpr std::uint32_t kHeads = 16;
inline constexpr std::uint32_t kSectorsPerTrack = 32;
inline constexpr std::uint32_t kMaxCylinder = 1023;

inline void StoreU16(Bytes& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value & 0xFFu);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreU32(Bytes& out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    out[at + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
  }
}

inline std::uint32_t LoadU32(const Bytes& in, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(in[at + i]) << (8 * i);
  }
  return value;
}

inline std::size_t CeilDiv(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

}  // namespace quillex::mkraw::format
