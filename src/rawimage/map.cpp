// MAP blocks and the fs_block array (BlockMap): which logical fs_block each
// physical fs_block of RawImage holds.
#include "base/hex.h"
#include "rawimage/rawimage.h"

namespace quillex {

void FindMapBlocks(RunOutput& out, RawImageState& s) {
  out.Console.Line("Building maps array...");
  s.BlockMap.clear();
  s.MaxBlockNumber = 0;
  s.HighestMapId = 0;
  s.MapPositions.fill(0);
  s.MapFound.fill(false);

  // Physical fs_block 0 is the FS description block and is never a MAP block.
  for (std::uint32_t i = 1; i < s.RawBlockCount; ++i) {
    const std::uint64_t p = std::uint64_t{i} * s.FsBlockSize;
    if (RawDword(s, p + kMapSig1) != kMapSignature1 || RawDword(s, p + kMapSig2) != kMapSignature2) {
      continue;
    }
    const std::uint32_t id = RawDword(s, p + kMapId);
    out.Console.Line("MAP id: $" + HexDword(id) + " found at $" + HexDword(static_cast<std::uint32_t>(p)));
    if (id > kMaxMapId) {
      out.Console.Line("MAX map exeeded: " + HexWord(s.HighestMapId) + ". Ignoring...");
      continue;
    }
    // A later block with the same id replaces an earlier one.
    s.MapPositions[id] = static_cast<std::uint32_t>(p);
    s.MapFound[id] = true;
    if (id > s.HighestMapId) s.HighestMapId = id;
  }
  out.Console.Line("Found MAPs: " + std::to_string(s.HighestMapId));
}

void BuildBlockMap(RunOutput& out, RawImageState& s) {
  out.Console.Line("Building fs_block array...");
  const std::uint32_t slots = (s.FsBlockSize - kMapEntries) / 4;

  for (std::uint32_t id = 0; id <= s.HighestMapId; ++id) {
    s.MapSize = 0;
    if (!s.MapFound[id]) {
      // A lost MAP block still describes its share of physical fs_blocks:
      // hold their places with free entries so the later ids stay aligned.
      Warn(out, "WARNING: MAP id $" + HexDword(id) + " not found");
      s.BlockMap.insert(s.BlockMap.end(), slots, kFreeEntry);
      s.MapSize = slots;
      continue;
    }
    const std::uint64_t p = s.MapPositions[id];
    for (std::uint32_t o = kMapEntries; o < s.FsBlockSize; o += 4) {
      // Entries in use or naming no block hold a place (HoldsPlace); any
      // other entry is dropped and the ones after it move up.
      const std::uint32_t e = RawDword(s, p + o);
      const std::uint32_t n = e & kFreeNumber;
      if (!HoldsPlace(e)) continue;
      s.BlockMap.push_back(e);
      ++s.MapSize;
      if (n < kFreeNumber && n > s.MaxBlockNumber) s.MaxBlockNumber = n;
    }
  }
  out.Console.Line("MapSIZE: $" + HexDword(s.MapSize));
  out.Console.Line("Maximum fs_block number is: $" + HexDword(s.MaxBlockNumber) + ". Alloc buffer...");
}

}  // namespace quillex
