// The normal FS image: every logical fs_block at its place, written to
// EntryName + ".fs".
//
// How the pieces meet. The NAND stage lays the segments' page data one
// after another in RawImage (spare areas stripped): that is the physical
// side, cut into fs_blocks. The MAP blocks give one entry per physical
// fs_block, in two runs of the BlockMap:
//
//   RawImage:  | first segment ......... | later segments .......... |
//   BlockMap:  | 0 .. Seg0 blocks - 1 |...| SplitIndex ..            |
//               entries of the MAP blocks   entries from the next MAP
//               that cover the first one    block on
//
// The first run's last MAP block may have more entries than the first
// segment has blocks: those describe the blocks after it, which the second
// run, from SplitIndex (a whole number of MAP blocks in), describes again. Each in-use entry names the logical
// block its physical block holds (CopiedBlock); the image is the logical
// side: block n at (n - 1) * fs_block size, taken from the entry of the
// highest index that names n. Nothing is copied: FsImage is a view that
// reads each logical block where it lies in RawImage, zeros where no entry
// names it.
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
  if (const PageGeometry g = PagesOf(first.PageType); g.Paged()) {
    layout.Seg0Size = static_cast<std::uint32_t>((std::uint64_t{length} + g.Page - 1) / g.Page * g.Data);
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

// Calls place(n, offset) for every entry that copies block n into the
// image: the later call for a block is its newer copy.
template <typename Place>
void ForEachCopy(const RawImageState& s, Place&& place) {
  ForEachMapEntry(s, [&](std::size_t, std::uint32_t n, std::uint64_t offset) {
    if (n != 0) place(n, offset);
  });
}

}  // namespace

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
