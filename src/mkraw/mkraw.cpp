#include "mkraw/mkraw.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace quillex::mkraw {
namespace {

// FS description block, at offset 0 of the dump.
constexpr std::size_t kMarker = 0;          // u16
constexpr std::size_t kVersion = 2;         // u16
constexpr std::size_t kSegmentCount = 8;    // u16
constexpr std::size_t kRecords = 16;        // first segment record
constexpr std::size_t kRecordSize = 32;
// Segment record, offsets inside the record.
constexpr std::size_t kRecordStart = 0;         // u32
constexpr std::size_t kRecordEnd = 8;           // u32, inclusive
constexpr std::size_t kRecordErase = 16;        // u32
constexpr std::size_t kRecordFsBlockSize = 20;  // u32
constexpr std::size_t kRecordPageType = 26;     // u32, unaligned: bytes 24-25 stay 0

// MAP block.
constexpr std::size_t kMapSignature1At = 0;  // u32
constexpr std::size_t kMapSignature2At = 4;  // u32
constexpr std::size_t kMapId = 12;           // u32
constexpr std::size_t kMapEntries = 24;      // u32 each, up to the end of the block
constexpr std::uint32_t kFreeNumber = 0x00FFFFFF;
constexpr std::uint32_t kMaxMapId = 100;           // the tool ignores higher ids
constexpr std::size_t kBlockMapCapacity = 65536;  // entries the tool can hold

// MTab unit of the Mount Table.
constexpr std::size_t kUnitSize = 48;
constexpr std::size_t kUnitPath = 0;         // up to 28 bytes
constexpr std::size_t kUnitPathMax = 28;
constexpr std::size_t kUnitPathLength = 28;  // u8
constexpr std::size_t kUnitStart = 36;       // u16
constexpr std::size_t kUnitBlocks = 40;      // u16
constexpr std::size_t kEndMarkSize = 2;

// Partition table sector: entry 1 at 446, the signature at 510.
constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kTableEntry1 = 446;
constexpr std::size_t kEntryCurState = 0;        // u8
constexpr std::size_t kEntryBOPHead = 1;         // u8
constexpr std::size_t kEntryBOPCelSec = 2;       // u16
constexpr std::size_t kEntryParType = 4;         // u8
constexpr std::size_t kEntryEOPHead = 5;         // u8
constexpr std::size_t kEntryEOPCelSec = 6;       // u16
constexpr std::size_t kEntryFirstSecOffset = 8;  // u32
constexpr std::size_t kEntryNumOfSectors = 12;   // u32
constexpr std::size_t kTableSignature = 510;     // 55 AA
// The volume's boot sector lies three sectors after the table.
constexpr std::uint32_t kVolumeFirstSector = 3;
// Geometry behind the end address of entry 1 (the start is fixed at head 1,
// sector 1, cylinder 0, which the tool's recognition asks for).
constexpr std::uint32_t kHeads = 16;
constexpr std::uint32_t kSectorsPerTrack = 32;
constexpr std::uint32_t kMaxCylinder = 1023;

void StoreU16(Bytes& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value & 0xFFu);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void StoreU32(Bytes& out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    out[at + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
  }
}

std::uint32_t LoadU32(const Bytes& in, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(in[at + i]) << (8 * i);
  }
  return value;
}

struct PageGeometry {
  std::size_t data;
  std::size_t spare;
};

std::optional<PageGeometry> PagesOf(std::uint32_t pageType) {
  if (pageType == kPageTypeSmall) return PageGeometry{0x200, 0x10};
  if (pageType == kPageTypeLarge) return PageGeometry{0x800, 0x40};
  return std::nullopt;
}

std::uint32_t EndOf(const RawSegment& segment) {
  // Unsigned wrap on purpose: an empty segment at 0 ends at 0xFFFFFFFF.
  return segment.end.value_or(segment.start + SegmentFileLength(segment) - 1u);
}

Bytes DescriptionBlock(const RawDumpSpec& plan, const std::vector<RawSegment>& segments) {
  Bytes block(kRecords + kRecordSize * segments.size(), 0);
  StoreU16(block, kMarker, plan.marker);
  StoreU16(block, kVersion, plan.version);
  StoreU16(block, kSegmentCount,
           plan.segmentCount.value_or(static_cast<std::uint16_t>(segments.size())));
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const RawSegment& segment = segments[i];
    const std::size_t record = kRecords + kRecordSize * i;
    StoreU32(block, record + kRecordStart, segment.start);
    StoreU32(block, record + kRecordEnd, EndOf(segment));
    StoreU32(block, record + kRecordErase, segment.erase);
    StoreU32(block, record + kRecordFsBlockSize, segment.fsBlockSize);
    StoreU32(block, record + kRecordPageType, segment.pageType);
  }
  return block;
}

void AppendSegment(Bytes& file, const RawSegment& segment, std::uint8_t spareFill) {
  const std::uint8_t* data = segment.data.data();
  const std::size_t size = segment.data.size();
  const auto geometry = PagesOf(segment.pageType);
  if (!geometry) {
    file.insert(file.end(), data, data + size);
    return;
  }
  for (std::size_t at = 0; at < size; at += geometry->data) {
    const std::size_t taken = std::min(geometry->data, size - at);
    file.insert(file.end(), data + at, data + at + taken);
    file.insert(file.end(), geometry->data - taken, std::uint8_t{0xFF});  // erased tail of a partial page
    file.insert(file.end(), geometry->spare, spareFill);
  }
}

std::uint64_t Below(std::uint64_t& state, std::uint64_t bound) {
  return NextRandom(state) % bound;  // the tiny bias does not matter here
}

// Fisher-Yates with our own generator, so that every standard library gives
// the same order.
template <typename T>
void Shuffle(std::vector<T>& items, std::uint64_t& state) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(Below(state, i));
    std::swap(items[i - 1], items[j]);
  }
}

std::size_t CeilDiv(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

// Block counts per segment, with their total and the first segment's count.
struct BlockCounts {
  std::vector<std::size_t> counts;
  std::size_t first = 0;
  std::size_t total = 0;
};

// Counts for `needed` blocks: counts of 0 share what the given counts leave,
// evenly, earlier segments taking the remainder.
BlockCounts Distribute(const std::vector<FlashSegment>& segments, std::size_t needed) {
  std::size_t given = 0;
  std::size_t shares = 0;
  for (const FlashSegment& segment : segments) {
    given += segment.blocks;
    shares += segment.blocks == 0 ? 1 : 0;
  }
  // Every share at least 1 block, the first segment at least 2.
  const std::size_t least = shares + (segments.front().blocks == 0 ? 1 : 0);
  const std::size_t rest = shares == 0 ? 0 : std::max(needed > given ? needed - given : 0, least);
  BlockCounts result;
  std::size_t share = 0;
  for (const FlashSegment& segment : segments) {
    std::size_t count = segment.blocks;
    if (count == 0) {
      count = rest / shares + (share < rest % shares ? 1 : 0);
      ++share;
    }
    if (result.counts.empty()) result.first = count;
    result.counts.push_back(count);
    result.total += count;
  }
  return result;
}

// A physical block before its contents are known.
struct Slot {
  PhysicalBlock::Kind kind = PhysicalBlock::Kind::Erased;
  std::uint32_t logical = 0;  // Kind::Data
  std::uint32_t mapId = 0;    // Kind::Map
};

// A MAP entry that the tool drops: state byte not 0x40, number not free.
std::uint32_t DroppedEntry(std::uint64_t& state) {
  auto stateByte = static_cast<std::uint32_t>(Below(state, 255));
  if (stateByte >= 0x40) ++stateByte;  // skip the in-use state
  return (stateByte << 24) | static_cast<std::uint32_t>(Below(state, kFreeNumber));
}

void CheckFlashSpec(const FlashSpec& plan, const std::vector<FlashSegment>& segments) {
  if (plan.fsBlockSize <= kMapEntries || plan.fsBlockSize % 4 != 0) {
    throw std::invalid_argument("fs_block size must be a multiple of 4 above 24");
  }
  for (const auto& [number, data] : plan.logicalBlocks) {
    if (number == 0 || number >= kFreeNumber) {
      throw std::invalid_argument("logical fs_block numbers run from 1 to 0xFFFFFE");
    }
    // Such a block would be taken for a MAP block.
    if (data.size() >= 8 && LoadU32(data, kMapSignature1At) == kMapSignature1 &&
        LoadU32(data, kMapSignature2At) == kMapSignature2) {
      throw std::invalid_argument("a logical fs_block starts with the MAP signatures");
    }
  }
  if (plan.mountTableBlock && !plan.logicalBlocks.contains(*plan.mountTableBlock)) {
    throw std::invalid_argument("the Mount Table block is not among the logical blocks");
  }
  // The tool holds the place of a missing MAP block with a whole block of free
  // entries, which lines up with the others only while none is dropped.
  if (!plan.missingMapIds.empty() && plan.droppedPerMap != 0) {
    throw std::invalid_argument("missing MAP ids cannot be combined with dropped entries");
  }
  if (segments.front().blocks == 1) {
    throw std::invalid_argument("the first segment needs the header and Mount Table blocks");
  }
}

}  // namespace

std::uint64_t NextRandom(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15u;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

std::uint32_t SegmentFileLength(const RawSegment& segment) {
  std::size_t length = segment.data.size();
  if (const auto geometry = PagesOf(segment.pageType)) {
    length = CeilDiv(length, geometry->data) * (geometry->data + geometry->spare);
  }
  return static_cast<std::uint32_t>(length);
}

Bytes WriteRawDump(const RawDumpSpec& plan) {
  std::vector<RawSegment> segments = plan.segments;
  // The tool orders the records by start, keeping file order for equal starts.
  std::vector<std::size_t> order(segments.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return segments[a].start < segments[b].start;
  });

  Bytes file;
  if (plan.writeHeader) {
    const std::size_t headerSize = kRecords + kRecordSize * segments.size();
    if (segments.empty()) {
      file = DescriptionBlock(plan, segments);
    } else {
      RawSegment& first = segments[order.front()];
      if (first.data.size() < headerSize) first.data.resize(headerSize, 0);
      if (const auto geometry = PagesOf(first.pageType); geometry && headerSize > geometry->data) {
        throw std::invalid_argument("FS description block larger than the first page");
      }
      // Ends depend on the lengths only, so the block can be made now.
      const Bytes header = DescriptionBlock(plan, segments);
      std::copy(header.begin(), header.end(), first.data.begin());
    }
  }

  for (std::size_t i = 0; i < order.size(); ++i) {
    const RawSegment& segment = segments[order[i]];
    AppendSegment(file, segment, plan.spareFill);
    if (i + 1 == order.size()) break;
    const std::int64_t gap = std::int64_t{segments[order[i + 1]].start} -
                             std::int64_t{EndOf(segment)} - 1;
    if (gap > 0) file.insert(file.end(), static_cast<std::size_t>(gap), plan.gapFill);
  }

  if (plan.truncateTo && *plan.truncateTo < file.size()) file.resize(*plan.truncateTo);
  return file;
}

Bytes MakeMapBlock(const MapBlockSpec& map, std::uint32_t fsBlockSize) {
  if (fsBlockSize <= kMapEntries || fsBlockSize % 4 != 0) {
    throw std::invalid_argument("fs_block size must be a multiple of 4 above 24");
  }
  if (map.entries.size() > (fsBlockSize - kMapEntries) / 4) {
    throw std::invalid_argument("more MAP entries than the block holds");
  }
  Bytes block(fsBlockSize, 0xFF);  // unwritten entries read as free
  StoreU32(block, kMapSignature1At, kMapSignature1);
  StoreU32(block, kMapSignature2At, kMapSignature2);
  StoreU32(block, kMapId, map.id);
  for (std::size_t i = 0; i < map.entries.size(); ++i) {
    StoreU32(block, kMapEntries + 4 * i, map.entries[i]);
  }
  return block;
}

RawDumpSpec LayoutToRawSpec(const FlashLayout& layout) {
  std::size_t covered = 0;
  for (const FlashSegment& segment : layout.segments) covered += segment.blocks;
  if (covered != layout.blocks.size()) {
    throw std::invalid_argument("segment block counts do not cover the blocks");
  }
  if (kRecords + kRecordSize * layout.segments.size() > layout.fsBlockSize) {
    throw std::invalid_argument("FS description block larger than an fs_block");
  }

  RawDumpSpec plan;
  std::uint64_t address = 0;
  std::size_t next = 0;
  for (const FlashSegment& flashSegment : layout.segments) {
    RawSegment segment;
    segment.start = static_cast<std::uint32_t>(address);
    segment.fsBlockSize = flashSegment.recordedFsBlockSize.value_or(layout.fsBlockSize);
    segment.pageType = flashSegment.pageType;
    segment.data.reserve(std::size_t{flashSegment.blocks} * layout.fsBlockSize);
    for (std::size_t b = 0; b < flashSegment.blocks; ++b, ++next) {
      const PhysicalBlock& block = layout.blocks[next];
      Bytes contents;
      switch (block.kind) {
        case PhysicalBlock::Kind::Header:
          contents.assign(layout.fsBlockSize, 0);
          break;
        case PhysicalBlock::Kind::Map:
          contents = MakeMapBlock(layout.maps.at(block.mapIndex), layout.fsBlockSize);
          break;
        case PhysicalBlock::Kind::Data:
          contents = block.data;
          contents.resize(layout.fsBlockSize, 0);
          break;
        case PhysicalBlock::Kind::Erased:
          contents.assign(layout.fsBlockSize, 0xFF);
          break;
      }
      segment.data.insert(segment.data.end(), contents.begin(), contents.end());
    }
    address += SegmentFileLength(segment) + std::uint64_t{flashSegment.gapAfter};
    if (address > 0xFFFFFFFFu) throw std::invalid_argument("segments pass the 4 GiB address space");
    plan.segments.push_back(std::move(segment));
  }
  if (layout.recordsDescending) std::reverse(plan.segments.begin(), plan.segments.end());
  return plan;
}

FlashLayout BuildFlash(const FlashSpec& plan) {
  std::vector<FlashSegment> segments = plan.segments;
  if (segments.empty()) segments.emplace_back();
  CheckFlashSpec(plan, segments);

  const std::size_t fsBlockSize = plan.fsBlockSize;
  const std::size_t slots = (fsBlockSize - kMapEntries) / 4;
  if (plan.droppedPerMap >= slots) throw std::invalid_argument("no MAP entry left to take");
  const std::size_t mapSize = slots - plan.droppedPerMap;  // taken entries per MAP block

  std::optional<std::uint32_t> mountBlock = plan.mountTableBlock;
  if (!mountBlock && !plan.logicalBlocks.empty()) mountBlock = plan.logicalBlocks.begin()->first;
  std::vector<std::uint32_t> staleCandidates;  // the Mount Table's copy must stay at index 1
  for (const auto& entry : plan.logicalBlocks) {
    if (entry.first != mountBlock) staleCandidates.push_back(entry.first);
  }
  if (plan.staleCopies > 0 && staleCandidates.empty()) {
    throw std::invalid_argument("no logical block to make stale copies of");
  }

  // The number of MAP blocks depends on the number of physical blocks, which
  // includes the MAP blocks: grow both until they agree.
  const std::size_t copiesPerId = plan.staleMapDuplicates ? 2 : 1;
  const std::size_t fixedBlocks =
      1 + plan.logicalBlocks.size() + plan.staleCopies + plan.freeBlocks;  // 1: header
  std::size_t mapCount = 1;
  BlockCounts counts;
  for (;;) {
    counts = Distribute(segments, fixedBlocks + mapCount * copiesPerId);
    const std::size_t needed =
        CeilDiv(counts.first, mapSize) + CeilDiv(counts.total - counts.first, mapSize);
    if (needed <= mapCount) break;
    mapCount = needed;
    if (mapCount > kMaxMapId + 1) throw std::invalid_argument("more MAP blocks than ids 0 to 100");
  }
  const std::size_t total = counts.total;
  if (total < fixedBlocks + mapCount * copiesPerId) {
    throw std::invalid_argument("segments too small for the blocks");
  }
  if (mapCount * mapSize > kBlockMapCapacity) throw std::invalid_argument("fs_block array too large");
  for (const std::uint32_t id : plan.missingMapIds) {
    if (id >= mapCount) throw std::invalid_argument("missing MAP id beyond the MAP blocks");
  }

  std::uint64_t random = plan.seed;
  std::vector<Slot> slotsToPlace;
  for (std::uint32_t id = 0; id < mapCount; ++id) {
    const bool missing = std::find(plan.missingMapIds.begin(), plan.missingMapIds.end(), id) !=
                         plan.missingMapIds.end();
    for (std::size_t copy = 0; copy < copiesPerId; ++copy) {
      slotsToPlace.push_back(missing ? Slot{} : Slot{PhysicalBlock::Kind::Map, 0, id});
    }
  }
  for (const std::uint32_t number : staleCandidates) {
    slotsToPlace.push_back({PhysicalBlock::Kind::Data, number, 0});
  }
  for (std::uint32_t i = 0; i < plan.staleCopies; ++i) {
    const auto pick = static_cast<std::size_t>(Below(random, staleCandidates.size()));
    slotsToPlace.push_back({PhysicalBlock::Kind::Data, staleCandidates[pick], 0});
  }
  slotsToPlace.resize(total - 1 - (mountBlock ? 1 : 0));  // free and surplus blocks: erased
  if (plan.shuffle) Shuffle(slotsToPlace, random);

  std::vector<Slot> physical{Slot{PhysicalBlock::Kind::Header, 0, 0}};
  if (mountBlock) physical.push_back({PhysicalBlock::Kind::Data, *mountBlock, 0});
  physical.insert(physical.end(), slotsToPlace.begin(), slotsToPlace.end());

  // Of several copies the one at the highest position is the live one: the
  // tool keeps the copy with the highest BlockMap index, and the MAP block at
  // the highest offset.
  std::map<std::uint32_t, std::size_t> liveData;
  std::map<std::uint32_t, std::size_t> liveMap;
  for (std::size_t p = 0; p < physical.size(); ++p) {
    if (physical[p].kind == PhysicalBlock::Kind::Data) liveData[physical[p].logical] = p;
    if (physical[p].kind == PhysicalBlock::Kind::Map) liveMap[physical[p].mapId] = p;
  }

  // BlockMap index of a physical block: the first segment from index 0, the
  // rest from the first index after the MAP blocks that cover the first one.
  const std::size_t firstBlocks = counts.first;
  const std::size_t splitIndex = CeilDiv(firstBlocks, mapSize) * mapSize;
  std::vector<std::uint32_t> blockMap(mapCount * mapSize, kFreeEntry);

  FlashLayout layout;
  layout.fsBlockSize = plan.fsBlockSize;
  layout.recordsDescending = plan.recordsDescending;
  layout.blocks.resize(physical.size());
  for (std::size_t p = 0; p < physical.size(); ++p) {
    const Slot& slot = physical[p];
    PhysicalBlock& block = layout.blocks[p];
    block.kind = slot.kind;
    if (slot.kind == PhysicalBlock::Kind::Map) {
      block.mapIndex = liveMap[slot.mapId] == p ? slot.mapId : mapCount + slot.mapId;
    } else if (slot.kind == PhysicalBlock::Kind::Data) {
      block.logical = slot.logical;
      block.data = plan.logicalBlocks.at(slot.logical);
      block.data.resize(fsBlockSize, 0);
      if (liveData[slot.logical] != p) {
        // An older copy: different in every byte.
        for (std::uint8_t& byte : block.data) {
          byte = static_cast<std::uint8_t>(byte ^ (NextRandom(random) | 1u));
        }
      }
      const std::size_t index = p < firstBlocks ? p : splitIndex + (p - firstBlocks);
      // Entry: bits 31-24 state byte, bits 23-0 logical fs_block number.
      //   | 0x40 (in use) | logical number |
      //   31            24 23              0
      blockMap.at(index) = kInUse | slot.logical;
    }
  }

  for (std::uint32_t id = 0; id < mapCount; ++id) {
    MapBlockSpec map{id, {}};
    map.entries.assign(blockMap.begin() + static_cast<std::ptrdiff_t>(id * mapSize),
                       blockMap.begin() + static_cast<std::ptrdiff_t>((id + 1) * mapSize));
    // Dropped entries hold no place: the taken ones keep their order around them.
    for (std::uint32_t d = 0; d < plan.droppedPerMap; ++d) {
      const auto at = static_cast<std::ptrdiff_t>(Below(random, map.entries.size() + 1));
      map.entries.insert(map.entries.begin() + at, DroppedEntry(random));
    }
    layout.maps.push_back(std::move(map));
  }
  if (plan.staleMapDuplicates) {
    const std::uint64_t highest = plan.logicalBlocks.empty() ? 1 : plan.logicalBlocks.rbegin()->first;
    for (std::uint32_t id = 0; id < mapCount; ++id) {
      MapBlockSpec map{id, std::vector<std::uint32_t>(slots)};
      for (std::uint32_t& entry : map.entries) {
        entry = kInUse | static_cast<std::uint32_t>(1 + Below(random, highest));
      }
      layout.maps.push_back(std::move(map));
    }
  }

  for (std::size_t i = 0; i < segments.size(); ++i) {
    FlashSegment segment = segments[i];
    segment.blocks = static_cast<std::uint32_t>(counts.counts[i]);
    layout.segments.push_back(segment);
  }
  return layout;
}

Bytes BuildDump(const FlashSpec& plan) { return WriteRawDump(LayoutToRawSpec(BuildFlash(plan))); }

Bytes MakeMountTable(const std::vector<MountUnit>& units, std::uint32_t fsBlockSize) {
  if (units.size() * kUnitSize + kEndMarkSize > fsBlockSize) {
    throw std::invalid_argument("Mount Table larger than an fs_block");
  }
  Bytes block(fsBlockSize, 0xFF);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const MountUnit& unit = units[i];
    if (unit.path.size() > kUnitPathMax) throw std::invalid_argument("mount path over 28 bytes");
    const std::size_t at = kUnitSize * i;
    std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(at), kUnitSize, std::uint8_t{0});
    for (std::size_t c = 0; c < unit.path.size(); ++c) {
      block[at + kUnitPath + c] = static_cast<std::uint8_t>(unit.path[c]);
    }
    block[at + kUnitPathLength] =
        unit.pathLength.value_or(static_cast<std::uint8_t>(unit.path.size()));
    StoreU16(block, at + kUnitStart, unit.startBlock);
    StoreU16(block, at + kUnitBlocks, unit.sizeBlocks);
  }
  const std::size_t end = kUnitSize * units.size();
  block[end] = 0;
  block[end + 1] = 0;
  return block;
}

namespace {

// Cylinder/sector word: low byte = c9 c8 s5..s0, high byte = c7..c0.
std::uint16_t PackCylSec(std::uint32_t cylinder, std::uint32_t sector) {
  return static_cast<std::uint16_t>((sector & 0x3Fu) | ((cylinder >> 2) & 0xC0u) | (cylinder & 0xFFu) << 8);
}

}  // namespace

Bytes MakeUnitImage(const UnitVolume& unit) {
  if (unit.patchBootSignature && unit.volume.size() < 4) {
    throw std::invalid_argument("volume too short for the boot signature");
  }
  const std::size_t sectors = CeilDiv(unit.volume.size(), kSectorSize);
  if (sectors > 0xFFFFFFFFu - kVolumeFirstSector) throw std::invalid_argument("volume too large");
  const auto numOfSectors = static_cast<std::uint32_t>(sectors);

  const std::size_t boot = kSectorSize * kVolumeFirstSector;
  Bytes image(boot + unit.volume.size(), 0);
  std::copy(unit.volume.begin(), unit.volume.end(), image.begin() + static_cast<std::ptrdiff_t>(boot));
  const std::size_t entry = kTableEntry1;
  image[entry + kEntryCurState] = 0x80;
  image[entry + kEntryBOPHead] = 1;
  StoreU16(image, entry + kEntryBOPCelSec, PackCylSec(0, 1));
  image[entry + kEntryParType] = unit.parType;
  // Address of the volume's last sector (its first when it has none).
  const std::uint32_t last = kVolumeFirstSector + (numOfSectors == 0 ? 0 : numOfSectors - 1);
  const std::uint32_t cylinder = std::min(last / (kHeads * kSectorsPerTrack), kMaxCylinder);
  image[entry + kEntryEOPHead] = static_cast<std::uint8_t>(last / kSectorsPerTrack % kHeads);
  StoreU16(image, entry + kEntryEOPCelSec, PackCylSec(cylinder, last % kSectorsPerTrack + 1));
  StoreU32(image, entry + kEntryFirstSecOffset, kVolumeFirstSector);
  StoreU32(image, entry + kEntryNumOfSectors, numOfSectors);
  image[kTableSignature] = 0x55;
  image[kTableSignature + 1] = 0xAA;

  if (unit.patchBootSignature) {
    image[boot] = 0xEB;
    image[boot + 1] = 0x00;
    image[boot + 2] = 0x90;
    image[boot + 3] = 0x4D;  // 'M'
  }
  return image;
}

std::uint32_t AddUnits(FlashSpec& plan, const std::vector<UnitVolume>& units, std::uint32_t firstBlock,
                       const std::vector<MountUnit>& extra) {
  constexpr std::uint32_t kMountTableBlock = 1;
  if (firstBlock <= kMountTableBlock) throw std::invalid_argument("units must start after the Mount Table");
  if (plan.fsBlockSize == 0) throw std::invalid_argument("fs_block size 0");
  std::vector<MountUnit> mounts;
  std::map<std::uint32_t, Bytes> blocks;
  std::uint64_t block = firstBlock;
  for (const UnitVolume& unit : units) {
    const Bytes image = MakeUnitImage(unit);
    const std::size_t count = CeilDiv(image.size(), plan.fsBlockSize);
    // Start and size are 16-bit fields of the MTab unit.
    if (block > 0xFFFF || count > 0xFFFF) throw std::invalid_argument("unit beyond 16-bit block numbers");
    mounts.push_back({unit.mountPath, static_cast<std::uint16_t>(block), static_cast<std::uint16_t>(count), {}});
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t from = i * plan.fsBlockSize;
      const std::size_t to = std::min(image.size(), from + plan.fsBlockSize);
      blocks[static_cast<std::uint32_t>(block + i)] =
          Bytes(image.begin() + static_cast<std::ptrdiff_t>(from), image.begin() + static_cast<std::ptrdiff_t>(to));
    }
    block += count;
  }
  mounts.insert(mounts.end(), extra.begin(), extra.end());
  blocks[kMountTableBlock] = MakeMountTable(mounts, plan.fsBlockSize);
  for (const auto& [number, data] : blocks) {
    if (plan.logicalBlocks.contains(number)) {
      throw std::invalid_argument("logical fs_block " + std::to_string(number) + " is taken already");
    }
  }
  plan.logicalBlocks.merge(blocks);
  plan.mountTableBlock = kMountTableBlock;
  return static_cast<std::uint32_t>(block);
}

}  // namespace quillex::mkraw
