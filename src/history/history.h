// The flash's older states, and the evidence behind what they hold.
//
// A phone's flash never writes a block in place: a changed logical block
// goes to a new physical block, and the map names every copy. The map's
// order is the order of writing (the image takes, of a block's copies, the
// one at the highest BlockMap index), for all blocks at once, so a place in
// that order is a point in time:
//
//   map index:  0    1    2    3    4    5    6    7    8
//   writes:     -   MT   d7   F3   D4   d7'  F3'  D4'  d9
//                   \_______________/ \____________/ \_ a change not finished
//                      first state      one change
//
// A state is a cut: of every logical block, its newest copy before the cut
// (a block with none did not exist yet). The image is the cut after every
// write. A FAT driver writes a change as data clusters, then FAT sectors,
// then the directory blocks that record it, so only a cut just after the
// last of a run of directory blocks shows a file system that settled; a cut
// anywhere else falls inside a change and is moved back to the end of the
// run of directory blocks before it. The older states are the settled cuts before the copies that
// superseded others, newest first.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "base/findings.h"
#include "rawimage/rawimage.h"

namespace quillex {

// One copy the map names: the BlockMap index of its entry (its place in the
// order of writing), where it lies, and the logical block it holds.
struct FlashWrite {
  std::uint32_t MapIndex = 0;
  std::uint32_t Logical = 0;   // from 1
  std::uint32_t Physical = 0;  // RawOffset / FsBlockSize
  std::uint64_t RawOffset = 0;
};

// Every copy, in map order. Read after BuildBlockMap.
std::vector<FlashWrite> ListWrites(const RawImageState& state);

// The positions in `writes` (ascending) of the copies that supersede an
// earlier copy of their block.
std::vector<std::uint32_t> SupersedingWrites(const std::vector<FlashWrite>& writes);

// Whether the first `held` writes end where a change settled: their last
// wrote a directory block and the next does not, or writes a block that the
// run of directory writes before the cut wrote already (a change writes
// each once). A change that writes several directory blocks settles after
// the last of them only, so two changes that write nothing but other
// directory blocks, one after the other, read as one. `isDirectoryWrite`
// takes a position in `writes`: what a copy was is told by the state that
// holds it, as one block can be a folder's and later a file's.
bool Settled(const std::vector<FlashWrite>& writes, std::uint32_t held,
             const std::function<bool(std::uint32_t write)>& isDirectoryWrite);
// The settled cut at or before `held` writes: the largest count p <= held
// that is Settled, or 0.
std::uint32_t SettledCut(const std::vector<FlashWrite>& writes, std::uint32_t held,
                         const std::function<bool(std::uint32_t write)>& isDirectoryWrite);

inline constexpr std::uint32_t kNoWrite = 0xFFFFFFFF;

// The flash once its first `Held` writes were made.
struct FlashState {
  std::uint32_t Held = 0;
  std::uint32_t Cut = 0;              // BlockMap index of the first write left out
  FsView Image;                       // as FsImage; blocks not written yet read as zeros
  std::vector<std::uint32_t> CopyOf;  // per logical block (index n - 1): its write, or kNoWrite
  std::vector<std::uint32_t> Copied;  // the logical blocks it holds, ascending
};
FlashState BuildState(const RawImageState& state, const std::vector<FlashWrite>& writes, std::uint32_t held);
// The write that a state's block `logical` comes from, or kNoWrite.
inline std::uint32_t CopyIn(const FlashState& s, std::uint32_t logical) {
  return logical >= 1 && logical <= s.CopyOf.size() ? s.CopyOf[logical - 1] : kNoWrite;
}

// The logical blocks that image bytes [offset, offset + length) lie in,
// added to `out`.
void AddBlocksOf(std::uint32_t blockSize, std::uint64_t offset, std::uint64_t length, std::vector<std::uint32_t>& out);

// What the checks of an older file or folder go by.
struct ItemShape {
  bool Directory = false;
  bool Deleted = false;
  std::uint32_t Partition = 0;
  std::uint32_t Size = 0;
  std::uint32_t Written = 0;
  std::uint32_t EntryOffset = 0;
  bool Loop = false;
  bool Lost = false;
  const std::vector<ClusterPlace>* Chain = nullptr;
  std::string Path;  // a folder's items lie below its path
};

// The logical blocks that hold a walk's directories: its root directory
// areas (image offset and length each), its live folders' clusters, and
// those of every entry in them. A deleted folder's clusters are free
// space, however they read.
struct Area {
  std::uint64_t Offset = 0;
  std::uint64_t Bytes = 0;
};
std::vector<bool> DirectoryBlocks(const std::vector<ItemShape>& items, const std::vector<Area>& roots,
                                  std::uint32_t blockSize, std::uint32_t maxBlock);

// Why an item does not fit its state (empty when it does), and how many of
// those reasons are only that a cluster was written after its entry.
struct ItemCheck {
  std::vector<std::string> Problems;
  std::uint32_t OutOfOrder = 0;
};
// Checks each of a state's items: a chain that ends before the entry's
// size or runs past it, or into itself; a cluster that the same state gives
// to another item; a block the state held no copy of yet; a folder that
// does not fit; and a file's cluster whose copy was written after the copy
// of the directory block that records it, with other bytes than the block
// had before that entry was written (a FAT driver writes the data first; a
// block written again with the same bytes is no sign, nor a block that is
// a directory's too; a folder's clusters change with its files while its
// own entry stays). Deleted entries are only checked for blocks not
// written yet: their chains were freed. `raw` is RawImage.
std::vector<ItemCheck> CheckItems(const std::vector<ItemShape>& items, const FlashState& state,
                                  const std::vector<FlashWrite>& writes, std::span<const std::uint8_t> raw,
                                  std::uint32_t blockSize, const std::vector<bool>& directoryBlock);

// Blocks as a report gives them: runs of consecutive logical blocks whose
// copies lie at consecutive map indexes and physical blocks.
struct BlockRun {
  std::uint32_t FirstLogical = 0;
  std::uint32_t Count = 0;
  std::uint32_t FirstWrite = kNoWrite;  // kNoWrite: the state holds none of them
};
std::vector<BlockRun> RunsOf(std::vector<std::uint32_t> logicalBlocks, const FlashState& state,
                             const std::vector<FlashWrite>& writes);

}  // namespace quillex
