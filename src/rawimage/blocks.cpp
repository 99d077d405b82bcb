// Where the image's bytes lie in the dump, and the physical blocks the map
// names but the image does not show: the superseded copies and the blocks
// under free entries, for carving and for the flash's older states.
#include <algorithm>

#include "rawimage/rawimage.h"

namespace quillex {
namespace {

// Copies per logical block, by number (index 0 unused).
std::vector<std::uint32_t> CountCopies(const RawImageState& s) {
  std::vector<std::uint32_t> copies(std::size_t{s.MaxBlockNumber} + 1, 0);
  ForEachMapEntry(s, [&](std::size_t, std::uint32_t n, std::uint64_t) {
    if (n != 0) ++copies[n];
  });
  return copies;
}

// Calls visit(n, offset, age) for every copy of a block, in BlockMap order,
// with its age among the copies of block n: 0 for the latest (the image's),
// k for the k-th latest superseded one.
template <typename Visit>
void ForEachCopyByAge(const RawImageState& s, Visit&& visit) {
  const std::vector<std::uint32_t> copies = CountCopies(s);
  std::vector<std::uint32_t> seen(copies.size(), 0);
  ForEachMapEntry(s, [&](std::size_t, std::uint32_t n, std::uint64_t offset) {
    if (n == 0) return;
    const std::uint32_t index = seen[n]++;  // 0: the oldest copy
    visit(n, offset, copies[n] - 1 - index);
  });
}

// The bytes of a segment that came from the dump: a last page read only
// partly holds page data only up to where the read stopped.
std::uint64_t DataFromDump(const SegmentPlace& p) {
  if (p.DataSize == 0) return p.Read;
  const std::uint64_t whole = std::uint64_t{p.Read} / p.PageSize * p.DataSize;
  return std::min<std::uint64_t>(whole + std::min(p.Read % p.PageSize, p.DataSize), p.Kept);
}

}  // namespace

bool DumpOffset(const RawImageState& s, std::uint64_t rawOffset, std::uint64_t& fileOffset) {
  for (const SegmentPlace& p : s.SegmentPlaces) {
    if (rawOffset < p.RawStart || rawOffset - p.RawStart >= DataFromDump(p)) continue;
    const std::uint64_t at = rawOffset - p.RawStart;
    // Page data of D bytes, each page followed by its spare area:
    //   dump: | data 0 | spare 0 | data 1 | spare 1 | ...
    //   raw:  | data 0 | data 1 | ...
    fileOffset = p.DataSize == 0 ? p.FileStart + at : p.FileStart + at / p.DataSize * p.PageSize + at % p.DataSize;
    return true;
  }
  return false;
}

std::uint32_t BytesInDump(const RawImageState& s, std::uint64_t rawOffset, std::uint32_t length) {
  // Segments lie one after another in RawImage, so the bytes held run on
  // from one to the next until a segment's data ends short.
  std::uint64_t held = 0;
  for (const SegmentPlace& p : s.SegmentPlaces) {
    const std::uint64_t at = rawOffset + held;
    if (held == length) break;
    if (at < p.RawStart || at >= std::uint64_t{p.RawStart} + p.Kept) continue;
    const std::uint64_t end = p.RawStart + DataFromDump(p);
    if (at >= end) break;
    held += std::min<std::uint64_t>(end - at, length - held);
    if (end < std::uint64_t{p.RawStart} + p.Kept) break;
  }
  return static_cast<std::uint32_t>(held);
}

std::vector<PhysicalBlock> ListPhysicalBlocks(const RawImageState& s) {
  const std::uint64_t blockSize = s.FsBlockSize;
  std::vector<PhysicalBlock> blocks;
  std::vector<std::uint64_t> named;  // offsets under an in-use entry
  ForEachCopyByAge(s, [&](std::uint32_t n, std::uint64_t offset, std::uint32_t age) {
    named.push_back(offset);
    if (age == 0) return;
    blocks.push_back({.Physical = static_cast<std::uint32_t>(offset / blockSize), .RawOffset = offset, .Logical = n});
  });
  std::sort(named.begin(), named.end());
  std::vector<std::uint64_t> maps;
  for (std::uint32_t id = 0; id <= s.HighestMapId; ++id) {
    if (s.MapFound[id]) maps.push_back(s.MapPositions[id]);
  }
  std::vector<std::uint64_t> free;
  ForEachMapEntry(s, [&](std::size_t, std::uint32_t n, std::uint64_t offset) {
    if (n != 0) return;
    // The entries after the first segment's last block describe blocks that
    // the next MAP block describes again: a block is free only when no
    // in-use entry names it.
    if (std::binary_search(named.begin(), named.end(), offset)) return;
    if (std::find(maps.begin(), maps.end(), offset) != maps.end()) return;
    // Nor is any other MAP block data: stale copies, the earlier block of a
    // duplicated id, those of ids past 100.
    if (RawDword(s, offset + kMapSig1) == kMapSignature1 && RawDword(s, offset + kMapSig2) == kMapSignature2) return;
    free.push_back(offset);
  });
  std::sort(free.begin(), free.end());
  free.erase(std::unique(free.begin(), free.end()), free.end());
  for (const std::uint64_t offset : free) {
    const std::uint32_t held = BytesInDump(s, offset, s.FsBlockSize);
    const std::uint8_t* data = s.RawImage.data() + offset;
    if (held == 0 || std::all_of(data, data + held, [](std::uint8_t b) { return b == 0xFF; })) continue;
    // The FS description block at the head of the dump is no flash content.
    std::uint64_t at = 0;
    if (DumpOffset(s, offset, at) && at < kHeaderBytes) continue;
    blocks.push_back({.Physical = static_cast<std::uint32_t>(offset / blockSize), .RawOffset = offset});
  }
  for (PhysicalBlock& b : blocks) {
    b.InDump = BytesInDump(s, b.RawOffset, s.FsBlockSize);
    if (b.InDump > 0) (void)DumpOffset(s, b.RawOffset, b.DumpOffset);
  }
  std::sort(blocks.begin(), blocks.end(), [](const PhysicalBlock& a, const PhysicalBlock& b) {
    return a.RawOffset != b.RawOffset ? a.RawOffset < b.RawOffset : a.Logical < b.Logical;
  });
  return blocks;
}

}  // namespace quillex
