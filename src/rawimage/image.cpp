// The normal FS image: every logical fs_block at its place, written to
// EntryName + ".fs".
#include <algorithm>

#include "base/errors.h"
#include "base/gather.h"
#include "base/hex.h"
#include "rawimage/rawimage.h"

namespace quillex {

ImageLayout ComputeImageLayout(const SegmentRecord& first, std::uint32_t fsBlockSize,
                               std::uint32_t mapSize) {
  ImageLayout layout;
  const std::uint32_t length = first.End - first.Start + 1;
  // A first segment with spare areas lies in RawImage stripped: the second
  // run starts where its page data ends, not at its size in the file.
  if (first.PageType == kPageTypeSmall || first.PageType == kPageTypeLarge) {
    const std::uint64_t data = first.PageType == kPageTypeSmall ? 512 : 2048;
    const std::uint64_t page = first.PageType == kPageTypeSmall ? 528 : 2112;
    layout.Seg0Size = static_cast<std::uint32_t>((length + page - 1) / page * data);
  } else {
    layout.Seg0Size = length;
  }
  const std::uint32_t blocks = layout.Seg0Size / fsBlockSize;
  // Without a taken entry in the last MAP block no block can be covered.
  layout.Seg0MapCount = mapSize == 0 ? 0 : blocks / mapSize + (blocks % mapSize != 0 ? 1 : 0);
  layout.SplitIndex = layout.Seg0MapCount * mapSize;
  return layout;
}

std::uint64_t PhysicalOffset(const ImageLayout& layout, std::uint32_t fsBlockSize, std::uint64_t k) {
  if (k < layout.SplitIndex) return k * fsBlockSize;
  return layout.Seg0Size + (k - layout.SplitIndex) * fsBlockSize;
}

namespace {

// Calls visit(n, offset) for every BlockMap entry, in BlockMap order, with
// the physical offset it describes and the logical block it copies there:
// n is 0 for an entry that copies nothing (a free one, or one in use naming
// block 0, which would lie before the image, or 0xFFFFFF, which names none).
template <typename Visit>
void ForEachEntry(const RawImageState& s, Visit&& visit) {
  const SegmentRecord first = s.SegmentTable.empty() ? SegmentRecord{} : s.SegmentTable.front();
  const ImageLayout layout = ComputeImageLayout(first, s.FsBlockSize, s.MapSize);
  for (std::size_t k = 0; k < s.BlockMap.size(); ++k) {
    const std::uint32_t e = s.BlockMap[k];
    const std::uint32_t n = e & kFreeNumber;
    const bool copies = (e >> 24) == kInUseFlag && n != 0 && n != kFreeNumber;
    visit(copies ? n : 0, PhysicalOffset(layout, s.FsBlockSize, k));
  }
}

// Calls place(n, offset) for every entry that copies block n into the
// image: the later call for a block is its newer copy.
template <typename Place>
void ForEachCopy(const RawImageState& s, Place&& place) {
  ForEachEntry(s, [&](std::uint32_t n, std::uint64_t offset) {
    if (n != 0) place(n, offset);
  });
}

// Copies per logical block, by number (index 0 unused).
std::vector<std::uint32_t> CountCopies(const RawImageState& s) {
  std::vector<std::uint32_t> copies(std::size_t{s.MaxBlockNumber} + 1, 0);
  ForEachCopy(s, [&](std::uint32_t n, std::uint64_t) { ++copies[n]; });
  return copies;
}

// Calls visit(n, offset, age) for every copy of a block, in BlockMap order,
// with its age among the copies of block n: 0 for the latest (the image's),
// k for the k-th latest superseded one.
template <typename Visit>
void ForEachCopyByAge(const RawImageState& s, Visit&& visit) {
  const std::vector<std::uint32_t> copies = CountCopies(s);
  std::vector<std::uint32_t> seen(copies.size(), 0);
  ForEachCopy(s, [&](std::uint32_t n, std::uint64_t offset) {
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
  ForEachEntry(s, [&](std::uint32_t n, std::uint64_t offset) {
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

void BuildFsImage(RunOutput& out, RawImageState& s) {
  const std::uint64_t blockSize = s.FsBlockSize;
  // Four spare zero blocks follow the image so that reads just past it find zeros.
  const std::uint64_t imageBytes = (std::uint64_t{s.MaxBlockNumber} + 4) * blockSize;
  if (imageBytes >= (std::uint64_t{1} << 32)) {
    Fatal(out.Console, "FATAL: Image of 4 GiB or more is not supported. Check entry file!");
  }
  out.Console.Line("Building normal FS image from RAW...");

  const SegmentRecord first = s.SegmentTable.empty() ? SegmentRecord{} : s.SegmentTable.front();
  const ImageLayout layout = ComputeImageLayout(first, s.FsBlockSize, s.MapSize);
  out.Console.Line("seg00 covered by " + HexDword(layout.Seg0MapCount) + " map(s)");

  // The image is not copied together: each logical block is read where it
  // lies in RawImage. Bytes past the end of RawImage read as zeros.
  s.FsImage = FsView(s.RawImage.view(), blockSize, imageBytes);
  s.FsCopiedBlocks.clear();
  ForEachCopy(s, [&](std::uint32_t n, std::uint64_t offset) {
    // A later entry for the same block replaces the earlier one.
    s.FsImage.Place(n - 1, offset);
    s.FsCopiedBlocks.push_back(n);
  });
}

platform::Status WriteImage(const RawImageState& s, const FsView& image, const std::vector<std::uint32_t>& copied,
                            const std::string& name, Findings& report) {
  platform::File file;
  platform::Status st = platform::CreateFile(name, file);
  if (!st.ok()) return st;
  // The copied blocks in runs, gathered from where they lie, and the length
  // set at the end, so that a map naming a few blocks far apart does not
  // make the tool write gigabytes of zeros. The work follows the blocks
  // copied, not the length of the image.
  const std::uint64_t blockSize = s.FsBlockSize;
  std::vector<std::uint32_t> blocks = copied;
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  GatherWriter writer(file);
  report.Stage("writing the image", blocks.size() * blockSize);
  for (std::size_t i = 0; i < blocks.size() && st.ok(); ++i) {
    if (i % 256 == 0) report.Advance(i * blockSize);
    const std::uint64_t at = (blocks[i] - 1) * blockSize;
    if (i == 0 || blocks[i] != blocks[i - 1] + 1) st = writer.MoveTo(at);
    image.ForEachPiece(at, blockSize, [&](const std::uint8_t* data, std::size_t n) {
      if (st.ok()) st = writer.Add(data, n);
    });
  }
  if (st.ok()) st = writer.Flush();
  if (st.ok()) st = platform::SetLength(file, std::uint64_t{s.MaxBlockNumber} * blockSize);
  const platform::Status closed = platform::Close(file);
  return st.ok() ? closed : st;
}

void WriteFsImage(RunOutput& out, const RawImageState& s) {
  const std::string name = s.EntryName + ".fs";
  out.Console.Write("Writing normal FS image to file: " + name + "...");
  if (!WriteImage(s, s.FsImage, s.FsCopiedBlocks, name, *out.Report).ok()) {
    FatalIo(out.Console, "Fatal error while writing image! Check filename and disk space");
  }
  out.Console.Line();
}

}  // namespace quillex
