// Level 2 of the writer: logical fs_blocks laid out on a simulated flash,
// with MAP blocks naming where each one went.
#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

#include "mkraw/format.h"
#include "mkraw/mkraw.h"

namespace quillex::mkraw {

using namespace format;

namespace {

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
  const Bytes* contents = nullptr;  // Kind::Data: the copy's bytes; none: a random stale copy
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
  for (const auto& [number, copies] : plan.olderCopies) {
    if (!plan.logicalBlocks.contains(number)) {
      throw std::invalid_argument("older copies of logical fs_block " + std::to_string(number) + ", which has none");
    }
    if (plan.mountTableBlock && number == *plan.mountTableBlock) {
      throw std::invalid_argument("the Mount Table block has no older copies: it must stay at index 1");
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
  if (plan.flashOrder && !plan.olderCopies.empty()) {
    throw std::invalid_argument("older copies are placed per block, which flash order cannot follow");
  }
  if (!plan.flashOrder && (!plan.firstClasses.empty() || !plan.firstCopies.empty() || !plan.laterWrites.empty())) {
    throw std::invalid_argument("first copies and later writes need flash order");
  }
}

Bytes Padded(Bytes data, std::uint32_t size) {
  data.resize(size, 0);
  return data;
}

// In flash order the copy written last is the one the image takes: it must
// be the block's own contents.
void CheckWrites(const FlashSpec& plan, std::optional<std::uint32_t> mountBlock) {
  std::map<std::uint32_t, const Bytes*> last;
  for (const auto& [number, data] : plan.firstCopies) last[number] = &data;
  for (const BlockWrite& write : plan.laterWrites) last[write.logical] = &write.data;
  for (const auto& [number, data] : last) {
    const auto live = plan.logicalBlocks.find(number);
    if (live == plan.logicalBlocks.end()) {
      throw std::invalid_argument("a write of logical fs_block " + std::to_string(number) + ", which has none");
    }
    if (number == mountBlock) {
      throw std::invalid_argument("the Mount Table block is written once: it must stay at index 1");
    }
    if (Padded(*data, plan.fsBlockSize) != Padded(live->second, plan.fsBlockSize)) {
      throw std::invalid_argument("the last write of logical fs_block " + std::to_string(number) +
                                  " leaves other bytes than its contents");
    }
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

namespace {

// How the MAP blocks are sized: entries a block has room for, entries it
// takes, blocks per MAP id, and the blocks of every segment.
struct MapSizing {
  std::size_t slots = 0;
  std::size_t mapSize = 0;
  std::size_t copiesPerId = 1;
  std::size_t mapCount = 1;
  BlockCounts counts;
};

MapSizing SizeMaps(const FlashSpec& plan, const std::vector<FlashSegment>& segments) {
  MapSizing sizing;
  sizing.slots = (plan.fsBlockSize - kMapEntries) / 4;
  if (plan.droppedPerMap >= sizing.slots) throw std::invalid_argument("no MAP entry left to take");
  sizing.mapSize = sizing.slots - plan.droppedPerMap;  // taken entries per MAP block
  sizing.copiesPerId = plan.staleMapDuplicates ? 2 : 1;

  // The number of MAP blocks depends on the number of physical blocks, which
  // includes the MAP blocks: grow both until they agree.
  std::size_t older = 0;
  for (const auto& entry : plan.olderCopies) older += entry.second.size();
  older += plan.laterWrites.size();
  const std::size_t fixedBlocks =
      1 + plan.logicalBlocks.size() + plan.staleCopies + older + plan.freeBlocks;  // 1: header
  for (;;) {
    sizing.counts = Distribute(segments, fixedBlocks + sizing.mapCount * sizing.copiesPerId);
    const std::size_t needed = CeilDiv(sizing.counts.first, sizing.mapSize) +
                               CeilDiv(sizing.counts.total - sizing.counts.first, sizing.mapSize);
    if (needed <= sizing.mapCount) break;
    sizing.mapCount = needed;
    if (sizing.mapCount > kMaxMapId + 1) throw std::invalid_argument("more MAP blocks than ids 0 to 100");
  }
  if (sizing.counts.total < fixedBlocks + sizing.mapCount * sizing.copiesPerId) {
    throw std::invalid_argument("segments too small for the blocks");
  }
  if (sizing.mapCount * sizing.mapSize > kBlockMapCapacity) throw std::invalid_argument("fs_block array too large");
  for (const std::uint32_t id : plan.missingMapIds) {
    if (id >= sizing.mapCount) throw std::invalid_argument("missing MAP id beyond the MAP blocks");
  }
  return sizing;
}

// The MAP blocks in id order, each id as often as it is written; a missing
// id's places stay erased.
std::vector<Slot> MapSlots(const FlashSpec& plan, const MapSizing& sizing) {
  std::vector<Slot> slots;
  for (std::uint32_t id = 0; id < sizing.mapCount; ++id) {
    const bool missing = std::find(plan.missingMapIds.begin(), plan.missingMapIds.end(), id) !=
                         plan.missingMapIds.end();
    for (std::size_t copy = 0; copy < sizing.copiesPerId; ++copy) {
      slots.push_back(missing ? Slot{} : Slot{PhysicalBlock::Kind::Map, 0, id});
    }
  }
  return slots;
}

// The per-block physical order: the header, the Mount Table's block, then
// MAP blocks, data blocks and their stale copies, and erased blocks,
// shuffled if asked.
std::vector<Slot> OrderBlocks(const FlashSpec& plan, const MapSizing& sizing, std::optional<std::uint32_t> mountBlock,
                              const std::vector<std::uint32_t>& staleCandidates, std::uint64_t& random) {
  std::vector<Slot> slotsToPlace = MapSlots(plan, sizing);
  for (const std::uint32_t number : staleCandidates) {
    slotsToPlace.push_back({PhysicalBlock::Kind::Data, number, 0});
  }
  for (std::uint32_t i = 0; i < plan.staleCopies; ++i) {
    const auto pick = static_cast<std::size_t>(Below(random, staleCandidates.size()));
    slotsToPlace.push_back({PhysicalBlock::Kind::Data, staleCandidates[pick], 0});
  }
  for (const auto& [number, copies] : plan.olderCopies) {
    for (std::size_t i = 0; i < copies.size(); ++i) slotsToPlace.push_back({PhysicalBlock::Kind::Data, number, 0});
  }
  slotsToPlace.resize(sizing.counts.total - 1 - (mountBlock ? 1 : 0));  // free and surplus blocks: erased
  if (plan.shuffle) Shuffle(slotsToPlace, random);

  std::vector<Slot> physical{Slot{PhysicalBlock::Kind::Header, 0, 0}};
  if (mountBlock) physical.push_back({PhysicalBlock::Kind::Data, *mountBlock, 0});
  physical.insert(physical.end(), slotsToPlace.begin(), slotsToPlace.end());

  // Of a block's copies (rank 0 the lowest position) the live one is the
  // last, as the tool keeps the copy with the highest BlockMap index; the
  // older copies given go just before it, oldest first, and any lower copy
  // is a random stale one.
  std::map<std::uint32_t, std::size_t> copiesOf;
  std::vector<std::size_t> rank(physical.size(), 0);
  for (std::size_t p = 0; p < physical.size(); ++p) {
    if (physical[p].kind == PhysicalBlock::Kind::Data) rank[p] = copiesOf[physical[p].logical]++;
  }
  for (std::size_t p = 0; p < physical.size(); ++p) {
    Slot& slot = physical[p];
    if (slot.kind != PhysicalBlock::Kind::Data) continue;
    const auto older = plan.olderCopies.find(slot.logical);
    const std::size_t given = older == plan.olderCopies.end() ? 0 : older->second.size();
    const std::size_t fromLive = copiesOf[slot.logical] - 1 - rank[p];  // 0: the live copy
    if (fromLive == 0) {
      slot.contents = &plan.logicalBlocks.at(slot.logical);
    } else if (fromLive <= given) {
      slot.contents = &older->second[given - fromLive];
    }
  }
  return physical;
}

// Flash order: the physical order is the order of writing. After the header
// and the Mount Table's block come the first copies of the other blocks,
// data blocks first, then FAT blocks, then directory blocks (each class
// shuffled if asked), then the later writes in their order. MAP and erased
// blocks fall anywhere among them, and a random stale copy of a block
// anywhere before the block's first copy, so that it supersedes nothing.
std::vector<Slot> OrderWrites(const FlashSpec& plan, const MapSizing& sizing, std::optional<std::uint32_t> mountBlock,
                              const std::vector<std::uint32_t>& staleCandidates, std::uint64_t& random) {
  std::array<std::vector<Slot>, 3> firstState;  // by BlockClass
  for (const auto& [number, data] : plan.logicalBlocks) {
    if (number == mountBlock) continue;
    const auto given = plan.firstClasses.find(number);
    const BlockClass blockClass = given == plan.firstClasses.end() ? BlockClass::Data : given->second;
    const auto first = plan.firstCopies.find(number);
    firstState.at(static_cast<std::size_t>(blockClass))
        .push_back({PhysicalBlock::Kind::Data, number, 0, first == plan.firstCopies.end() ? &data : &first->second});
  }
  std::vector<Slot> written;
  for (std::vector<Slot>& part : firstState) {
    if (plan.shuffle) Shuffle(part, random);
    written.insert(written.end(), part.begin(), part.end());
  }
  for (const BlockWrite& write : plan.laterWrites) {
    written.push_back({PhysicalBlock::Kind::Data, write.logical, 0, &write.data});
  }

  std::vector<Slot> others = MapSlots(plan, sizing);
  const std::size_t mapSlots = others.size();
  // Free and surplus blocks: erased.
  others.resize(sizing.counts.total - 1 - (mountBlock ? 1 : 0) - written.size() - plan.staleCopies);
  std::vector<Slot> merged;
  if (plan.shuffle) {
    Shuffle(others, random);
    // Either list's next block, with the odds of what each has left: every
    // interleaving is as likely.
    std::size_t w = 0;
    std::size_t o = 0;
    while (w < written.size() || o < others.size()) {
      const std::size_t left = written.size() - w + others.size() - o;
      merged.push_back(Below(random, left) < written.size() - w ? written[w++] : others[o++]);
    }
  } else {
    merged.assign(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(mapSlots));
    merged.insert(merged.end(), written.begin(), written.end());
    merged.insert(merged.end(), others.begin() + static_cast<std::ptrdiff_t>(mapSlots), others.end());
  }

  std::map<std::uint32_t, std::size_t> firstAt;
  for (std::size_t i = merged.size(); i-- > 0;) {
    if (merged[i].kind == PhysicalBlock::Kind::Data) firstAt[merged[i].logical] = i;
  }
  // Stale copies by the block they go before; unshuffled, all before the
  // first data block.
  std::vector<std::vector<std::uint32_t>> staleBefore(merged.size());
  for (std::uint32_t i = 0; i < plan.staleCopies; ++i) {
    const std::uint32_t number = staleCandidates[static_cast<std::size_t>(Below(random, staleCandidates.size()))];
    const std::size_t first = firstAt.at(number);
    staleBefore[plan.shuffle ? static_cast<std::size_t>(Below(random, first + 1)) : mapSlots].push_back(number);
  }

  std::vector<Slot> physical{Slot{PhysicalBlock::Kind::Header, 0, 0}};
  if (mountBlock) {
    physical.push_back({PhysicalBlock::Kind::Data, *mountBlock, 0, &plan.logicalBlocks.at(*mountBlock)});
  }
  for (std::size_t i = 0; i < merged.size(); ++i) {
    for (const std::uint32_t number : staleBefore[i]) physical.push_back({PhysicalBlock::Kind::Data, number, 0});
    physical.push_back(merged[i]);
  }
  return physical;
}

// Fills the layout's blocks and returns the block map: the entry of every
// physical block that holds data, at its BlockMap index.
std::vector<std::uint32_t> PlaceBlocks(const FlashSpec& plan, const MapSizing& sizing, const std::vector<Slot>& physical,
                                       std::uint64_t& random, FlashLayout& layout) {
  // Of several MAP blocks with one id the tool takes the one at the highest
  // offset.
  std::map<std::uint32_t, std::size_t> liveMap;
  for (std::size_t p = 0; p < physical.size(); ++p) {
    if (physical[p].kind == PhysicalBlock::Kind::Map) liveMap[physical[p].mapId] = p;
  }

  // BlockMap index of a physical block: the first segment from index 0, the
  // rest from the first index after the MAP blocks that cover the first one.
  const std::size_t firstBlocks = sizing.counts.first;
  const std::size_t splitIndex = CeilDiv(firstBlocks, sizing.mapSize) * sizing.mapSize;
  std::vector<std::uint32_t> blockMap(sizing.mapCount * sizing.mapSize, kFreeEntry);

  layout.blocks.resize(physical.size());
  for (std::size_t p = 0; p < physical.size(); ++p) {
    const Slot& slot = physical[p];
    PhysicalBlock& block = layout.blocks[p];
    block.kind = slot.kind;
    if (slot.kind == PhysicalBlock::Kind::Map) {
      block.mapIndex = liveMap[slot.mapId] == p ? slot.mapId : sizing.mapCount + slot.mapId;
    } else if (slot.kind == PhysicalBlock::Kind::Data) {
      block.logical = slot.logical;
      block.data = slot.contents != nullptr ? *slot.contents : plan.logicalBlocks.at(slot.logical);
      block.data.resize(plan.fsBlockSize, 0);
      if (slot.contents == nullptr) {
        // A random stale copy: different in every byte from the live one.
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
  return blockMap;
}

// The MAP blocks: each id's share of the block map, with the dropped entries
// put in among them, then stale duplicates of every id when asked.
void WriteMaps(const FlashSpec& plan, const MapSizing& sizing, const std::vector<std::uint32_t>& blockMap,
               std::uint64_t& random, FlashLayout& layout) {
  const std::size_t mapSize = sizing.mapSize;
  for (std::uint32_t id = 0; id < sizing.mapCount; ++id) {
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
    for (std::uint32_t id = 0; id < sizing.mapCount; ++id) {
      MapBlockSpec map{id, std::vector<std::uint32_t>(sizing.slots)};
      for (std::uint32_t& entry : map.entries) {
        entry = kInUse | static_cast<std::uint32_t>(1 + Below(random, highest));
      }
      layout.maps.push_back(std::move(map));
    }
  }
}

}  // namespace

FlashLayout BuildFlash(const FlashSpec& plan) {
  std::vector<FlashSegment> segments = plan.segments;
  if (segments.empty()) segments.emplace_back();
  CheckFlashSpec(plan, segments);

  // The Mount Table's copy must stay at index 1, so it has no stale copies.
  std::optional<std::uint32_t> mountBlock = plan.mountTableBlock;
  if (!mountBlock && !plan.logicalBlocks.empty()) mountBlock = plan.logicalBlocks.begin()->first;
  std::vector<std::uint32_t> staleCandidates;
  for (const auto& entry : plan.logicalBlocks) {
    if (entry.first != mountBlock) staleCandidates.push_back(entry.first);
  }
  if (plan.staleCopies > 0 && staleCandidates.empty()) {
    throw std::invalid_argument("no logical block to make stale copies of");
  }

  if (plan.flashOrder) CheckWrites(plan, mountBlock);

  const MapSizing sizing = SizeMaps(plan, segments);
  std::uint64_t random = plan.seed;  // drawn from in this order by the steps below
  const std::vector<Slot> physical = plan.flashOrder ? OrderWrites(plan, sizing, mountBlock, staleCandidates, random)
                                                     : OrderBlocks(plan, sizing, mountBlock, staleCandidates, random);

  FlashLayout layout;
  layout.fsBlockSize = plan.fsBlockSize;
  layout.recordsDescending = plan.recordsDescending;
  const std::vector<std::uint32_t> blockMap = PlaceBlocks(plan, sizing, physical, random, layout);
  WriteMaps(plan, sizing, blockMap, random, layout);

  for (std::size_t i = 0; i < segments.size(); ++i) {
    FlashSegment segment = segments[i];
    segment.blocks = static_cast<std::uint32_t>(sizing.counts.counts[i]);
    layout.segments.push_back(segment);
  }
  return layout;
}

Bytes BuildDump(const FlashSpec& plan) { return WriteRawDump(LayoutToRawSpec(BuildFlash(plan))); }

}  // namespace quillex::mkraw
