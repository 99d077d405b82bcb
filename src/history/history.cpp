#include "history/history.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace quillex {

std::vector<FlashWrite> ListWrites(const RawImageState& s) {
  std::vector<FlashWrite> writes;
  ForEachMapEntry(s, [&](std::size_t k, std::uint32_t n, std::uint64_t offset) {
    if (n == 0) return;
    writes.push_back({.MapIndex = static_cast<std::uint32_t>(k), .Logical = n,
                      .Physical = static_cast<std::uint32_t>(offset / s.FsBlockSize), .RawOffset = offset});
  });
  return writes;
}

std::vector<std::uint32_t> SupersedingWrites(const std::vector<FlashWrite>& writes) {
  std::vector<bool> seen;
  std::vector<std::uint32_t> superseding;
  for (std::size_t w = 0; w < writes.size(); ++w) {
    const std::uint32_t n = writes[w].Logical;
    if (n >= seen.size()) seen.resize(std::size_t{n} + 1, false);
    if (seen[n]) superseding.push_back(static_cast<std::uint32_t>(w));
    seen[n] = true;
  }
  return superseding;
}

bool Settled(const std::vector<FlashWrite>& writes, std::uint32_t held,
             const std::function<bool(std::uint32_t)>& isDirectoryWrite) {
  if (held == 0 || held > writes.size()) return held == 0;
  if (!isDirectoryWrite(held - 1)) return false;
  if (held == writes.size() || !isDirectoryWrite(held)) return true;
  // A change writes each directory block once: a block the run of
  // directory blocks before the cut holds already begins the next change.
  const std::uint32_t next = writes[held].Logical;
  for (std::uint32_t p = held; p > 0 && isDirectoryWrite(p - 1); --p) {
    if (writes[p - 1].Logical == next) return true;
  }
  return false;
}

std::uint32_t SettledCut(const std::vector<FlashWrite>& writes, std::uint32_t held,
                         const std::function<bool(std::uint32_t)>& isDirectoryWrite) {
  for (std::uint32_t p = std::min<std::uint32_t>(held, static_cast<std::uint32_t>(writes.size())); p > 0; --p) {
    if (Settled(writes, p, isDirectoryWrite)) return p;
  }
  return 0;
}

FlashState BuildState(const RawImageState& s, const std::vector<FlashWrite>& writes, std::uint32_t held) {
  FlashState state;
  state.Held = std::min<std::uint32_t>(held, static_cast<std::uint32_t>(writes.size()));
  state.Cut = state.Held < writes.size() ? writes[state.Held].MapIndex : static_cast<std::uint32_t>(s.BlockMap.size());
  const std::uint64_t blockSize = s.FsBlockSize;
  state.Image = FsView(s.RawImage.view(), blockSize, (std::uint64_t{s.MaxBlockNumber} + 4) * blockSize);
  state.CopyOf.assign(s.MaxBlockNumber, kNoWrite);
  for (std::uint32_t w = 0; w < state.Held; ++w) {
    const std::uint32_t n = writes[w].Logical;
    if (n > s.MaxBlockNumber) continue;
    state.Image.Place(n - 1, writes[w].RawOffset);  // a later copy replaces an earlier one
    state.CopyOf[n - 1] = w;
  }
  for (std::uint32_t n = 1; n <= s.MaxBlockNumber; ++n) {
    if (state.CopyOf[n - 1] != kNoWrite) state.Copied.push_back(n);
  }
  return state;
}

void AddBlocksOf(std::uint32_t blockSize, std::uint64_t offset, std::uint64_t length, std::vector<std::uint32_t>& out) {
  if (blockSize == 0 || length == 0) return;
  for (std::uint64_t b = offset / blockSize; b <= (offset + length - 1) / blockSize; ++b) {
    out.push_back(static_cast<std::uint32_t>(b + 1));
  }
}

namespace {

std::string Text(std::uint32_t v) { return std::to_string(v); }

// The path of the folder an item lies in ("" at a unit's top).
std::string FolderOf(const std::string& path) {
  const std::size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

}  // namespace

std::vector<bool> DirectoryBlocks(const std::vector<ItemShape>& items, const std::vector<Area>& roots,
                                  std::uint32_t blockSize, std::uint32_t maxBlock) {
  std::vector<bool> marks(std::size_t{maxBlock} + 1, false);
  std::vector<std::uint32_t> blocks;
  for (const Area& root : roots) AddBlocksOf(blockSize, root.Offset, root.Bytes, blocks);
  std::unordered_set<std::string> freed;  // deleted folders, and the folders in them
  for (const ItemShape& item : items) {
    const bool inFreed = freed.contains(FolderOf(item.Path));
    if (item.Directory && (item.Deleted || inFreed)) freed.insert(item.Path);
    if (inFreed) continue;
    blocks.push_back(item.EntryOffset / blockSize + 1);
    if (!item.Directory || item.Deleted || item.Chain == nullptr) continue;
    for (const ClusterPlace& place : *item.Chain) AddBlocksOf(blockSize, place.Offset, place.Bytes, blocks);
  }
  for (const std::uint32_t n : blocks) {
    if (n < marks.size()) marks[n] = true;
  }
  return marks;
}

namespace {

// Where each block's copies lie in `writes`, in map order.
std::vector<std::vector<std::uint32_t>> CopiesByBlock(const std::vector<FlashWrite>& writes) {
  std::vector<std::vector<std::uint32_t>> copies;
  for (std::uint32_t w = 0; w < writes.size(); ++w) {
    const std::uint32_t n = writes[w].Logical;
    if (n >= copies.size()) copies.resize(std::size_t{n} + 1);
    copies[n].push_back(w);
  }
  return copies;
}

// Whether bytes [from, from + count) of two copies are the same; bytes past
// what RawImage holds read as zeros.
bool SameBytes(std::span<const std::uint8_t> raw, std::uint64_t a, std::uint64_t b, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) {
    if (LoadByte(raw, a, i) != LoadByte(raw, b, i)) return false;
  }
  return true;
}

const char* const kWrittenAfter = " was written after its directory entry";

}  // namespace

std::vector<ItemCheck> CheckItems(const std::vector<ItemShape>& items, const FlashState& state,
                                  const std::vector<FlashWrite>& writes, std::span<const std::uint8_t> raw,
                                  std::uint32_t blockSize, const std::vector<bool>& directoryBlock) {
  std::vector<ItemCheck> checks(items.size());
  auto isDirectory = [&](std::uint32_t n) { return n < directoryBlock.size() && directoryBlock[n]; };
  std::vector<std::vector<std::uint32_t>> copies;  // made when first needed: rarely
  // Whether the copy `w` of block n holds other bytes in [from, to) than the
  // block's newest copy before write `before` (none: other bytes).
  auto changedSince = [&](std::uint32_t n, std::uint32_t w, std::uint32_t before, std::uint64_t from, std::uint64_t to) {
    if (copies.empty()) copies = CopiesByBlock(writes);
    if (n >= copies.size()) return true;
    const auto at = std::lower_bound(copies[n].begin(), copies[n].end(), before);
    if (at == copies[n].begin()) return true;
    const std::uint64_t block = std::uint64_t{n - 1} * blockSize;
    return !SameBytes(raw, writes[w].RawOffset + (from - block), writes[*std::prev(at)].RawOffset + (from - block),
                      to - from);
  };
  std::vector<std::uint32_t> blocks;
  // Who holds each cluster, by partition: the first item met with it, + 1.
  std::map<std::uint32_t, std::vector<std::uint32_t>> holders;
  std::unordered_map<std::string, std::size_t> folders;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ItemShape& item = items[i];
    std::vector<std::string>& why = checks[i].Problems;
    static const std::vector<ClusterPlace> kNone;
    const std::vector<ClusterPlace>& chain = item.Chain != nullptr ? *item.Chain : kNone;
    const std::uint32_t entryWrite = CopyIn(state, item.EntryOffset / blockSize + 1);
    // The clusters that hold the item's bytes: a file's up to its size, a
    // folder's every one; an empty file holds none.
    const std::uint32_t clusterBytes = chain.empty() ? 0 : chain.front().Bytes;
    const std::size_t needed =
        item.Directory ? chain.size() : clusterBytes == 0 ? 0 : (std::size_t{item.Size} + clusterBytes - 1) / clusterBytes;
    for (std::size_t c = 0; c < chain.size() && c < needed; ++c) {
      const ClusterPlace& cluster = chain[c];
      const std::uint64_t used = item.Directory ? std::min(cluster.Bytes, blockSize)
                                                : std::min<std::uint64_t>(cluster.Bytes, item.Size - c * cluster.Bytes);
      blocks.clear();
      AddBlocksOf(blockSize, cluster.Offset, used, blocks);
      for (const std::uint32_t n : blocks) {
        const std::uint32_t w = CopyIn(state, n);
        const std::uint64_t from = std::max<std::uint64_t>(cluster.Offset, std::uint64_t{n - 1} * blockSize);
        const std::uint64_t to = std::min<std::uint64_t>(cluster.Offset + used, std::uint64_t{n} * blockSize);
        if (w == kNoWrite) {
          why.push_back("block " + Text(n) + " of cluster " + Text(cluster.Cluster) + " was not written yet");
        } else if (!item.Directory && !item.Deleted && entryWrite != kNoWrite && w > entryWrite && !isDirectory(n) &&
                   changedSince(n, w, entryWrite, from, to)) {
          why.push_back("cluster " + Text(cluster.Cluster) + kWrittenAfter);
        }
      }
      if (item.Deleted) continue;
      if (CopyIn(state, cluster.FatEntry / blockSize + 1) == kNoWrite) {
        why.push_back("the FAT block of cluster " + Text(cluster.Cluster) + " was not written yet");
      }
      std::vector<std::uint32_t>& holder = holders[item.Partition];
      if (holder.empty()) holder.resize(0x10000, 0);
      if (holder[cluster.Cluster] == 0) {
        holder[cluster.Cluster] = static_cast<std::uint32_t>(i + 1);
      } else if (holder[cluster.Cluster] != i + 1) {
        const std::size_t other = holder[cluster.Cluster] - 1;
        why.push_back("cluster " + Text(cluster.Cluster) + " is also in the chain of " + items[other].Path);
        checks[other].Problems.push_back("cluster " + Text(cluster.Cluster) + " is also in the chain of " + item.Path);
      }
    }
    if (!item.Deleted) {
      if (item.Loop) why.push_back("its chain runs into itself");
      if (!item.Directory && (item.Lost || item.Written < item.Size)) {
        why.push_back("its chain ends before its size (" + Text(item.Written) + " of " + Text(item.Size) + " bytes)");
      }
      if (!item.Directory && item.Size > 0 && chain.size() > needed) {
        why.push_back("its chain runs past its size (" + Text(static_cast<std::uint32_t>(chain.size())) +
                      " clusters for " + Text(item.Size) + " bytes)");
      }
      if (item.Directory && item.Lost) why.push_back("a cluster of it lies outside the image");
    }
    const auto parent = folders.find(FolderOf(item.Path));
    if (parent != folders.end() && !checks[parent->second].Problems.empty()) {
      why.push_back("its folder does not fit the state");
    }
    if (item.Directory) folders[item.Path] = i;
  }
  for (ItemCheck& check : checks) {
    std::vector<std::string>& why = check.Problems;
    std::sort(why.begin(), why.end());
    why.erase(std::unique(why.begin(), why.end()), why.end());
    check.OutOfOrder = static_cast<std::uint32_t>(
        std::count_if(why.begin(), why.end(), [](const std::string& line) { return line.ends_with(kWrittenAfter); }));
  }
  return checks;
}

std::vector<BlockRun> RunsOf(std::vector<std::uint32_t> logicalBlocks, const FlashState& state,
                             const std::vector<FlashWrite>& writes) {
  std::sort(logicalBlocks.begin(), logicalBlocks.end());
  logicalBlocks.erase(std::unique(logicalBlocks.begin(), logicalBlocks.end()), logicalBlocks.end());
  std::vector<BlockRun> runs;
  for (const std::uint32_t n : logicalBlocks) {
    const std::uint32_t w = CopyIn(state, n);
    if (!runs.empty()) {
      BlockRun& last = runs.back();
      const bool next = last.FirstLogical + last.Count == n;
      const bool bothMissing = last.FirstWrite == kNoWrite && w == kNoWrite;
      // The next copy in map order, at the next physical block.
      const bool following = last.FirstWrite != kNoWrite && w != kNoWrite && w == last.FirstWrite + last.Count &&
                             writes[w].Physical == writes[last.FirstWrite].Physical + last.Count;
      if (next && (bothMissing || following)) {
        ++last.Count;
        continue;
      }
    }
    runs.push_back({n, 1, w});
  }
  return runs;
}

}  // namespace quillex
