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

// Calls place(n, offset) for every in-use BlockMap entry that names a block
// of the image, in BlockMap order: the later call for a block is its newer copy.
template <typename Place>
void ForEachCopy(const RawImageState& s, Place&& place) {
  const SegmentRecord first = s.SegmentTable.empty() ? SegmentRecord{} : s.SegmentTable.front();
  const ImageLayout layout = ComputeImageLayout(first, s.FsBlockSize, s.MapSize);
  for (std::size_t k = 0; k < s.BlockMap.size(); ++k) {
    const std::uint32_t e = s.BlockMap[k];
    if ((e >> 24) != kInUseFlag) continue;
    const std::uint32_t n = e & kFreeNumber;
    // Block 0 would lie before the image and 0xFFFFFF names no block.
    if (n == 0 || n == kFreeNumber) continue;
    place(n, PhysicalOffset(layout, s.FsBlockSize, k));
  }
}

// Copies per logical block, by number (index 0 unused).
std::vector<std::uint32_t> CountCopies(const RawImageState& s) {
  std::vector<std::uint32_t> copies(std::size_t{s.MaxBlockNumber} + 1, 0);
  ForEachCopy(s, [&](std::uint32_t n, std::uint64_t) { ++copies[n]; });
  return copies;
}

}  // namespace

std::uint32_t SupersededDepth(const RawImageState& s) {
  std::uint32_t most = 0;
  for (const std::uint32_t c : CountCopies(s)) most = std::max(most, c > 0 ? c - 1 : 0);
  return most;
}

FsView BuildSnapshot(const RawImageState& s, std::uint32_t k, std::vector<std::uint32_t>& replaced) {
  const std::uint64_t blockSize = s.FsBlockSize;
  FsView view(s.RawImage.view(), blockSize, (std::uint64_t{s.MaxBlockNumber} + 4) * blockSize);
  const std::vector<std::uint32_t> copies = CountCopies(s);
  std::vector<std::uint32_t> seen(copies.size(), 0);
  replaced.clear();
  ForEachCopy(s, [&](std::uint32_t n, std::uint64_t offset) {
    const std::uint32_t index = seen[n]++;  // 0: the oldest copy
    const std::uint32_t latest = copies[n] - 1;
    // The k-th latest superseded copy where there is one, else the latest.
    if (latest >= k ? index == latest - k : index == latest) view.Place(n - 1, offset);
    if (latest >= k && index == latest - k) replaced.push_back(n);
  });
  std::sort(replaced.begin(), replaced.end());
  return view;
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

void WriteFsImage(RunOutput& out, const RawImageState& s) {
  const std::string name = s.EntryName + ".fs";
  out.Console.Write("Writing normal FS image to file: " + name + "...");
  constexpr const char* kFailed = "Fatal error while writing image! Check filename and disk space";
  platform::File file;
  if (!platform::CreateFile(name, file).ok()) FatalIo(out.Console, kFailed);
  // The copied blocks in runs, gathered from where they lie, and the length
  // set at the end, so that a map naming a few blocks far apart does not
  // make the tool write gigabytes of zeros. The work follows the blocks
  // copied, not the length of the image.
  const std::uint64_t blockSize = s.FsBlockSize;
  std::vector<std::uint32_t> blocks = s.FsCopiedBlocks;
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  GatherWriter writer(file);
  bool failed = false;
  out.Report->Stage("writing the image", blocks.size() * blockSize);
  for (std::size_t i = 0; i < blocks.size() && !failed; ++i) {
    if (i % 256 == 0) out.Report->Advance(i * blockSize);
    const std::uint64_t at = (blocks[i] - 1) * blockSize;
    if (i == 0 || blocks[i] != blocks[i - 1] + 1) failed = !writer.MoveTo(at).ok();
    s.FsImage.ForEachPiece(at, blockSize, [&](const std::uint8_t* data, std::size_t n) {
      failed = failed || !writer.Add(data, n).ok();
    });
  }
  if (failed || !writer.Flush().ok()) FatalIo(out.Console, kFailed);
  if (!platform::SetLength(file, std::uint64_t{s.MaxBlockNumber} * blockSize).ok()) FatalIo(out.Console, kFailed);
  if (!platform::Close(file).ok()) FatalIo(out.Console, kFailed);
  out.Console.Line();
}

}  // namespace quillex
