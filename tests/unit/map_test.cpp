// MAP blocks and the fs_block array: the search for MAP blocks in the raw
// image, id handling, taken and dropped entries, MapSize and the largest
// logical fs_block number.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rawimage/rawimage.h"
#include "tool/run_state.h"
#include "support/test_support.h"

namespace quillex {
namespace {

using test::Lines;
using Entries = std::vector<std::uint32_t>;

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t InUse(std::uint32_t n) { return 0x40000000u | n; }

// A raw image of whole fs_blocks, built block by block.
class RawImageBuilder {
 public:
  RawImageBuilder(std::uint32_t blockSize, std::uint32_t blocks)
      : blockSize_(blockSize), bytes_(std::size_t{blockSize} * blocks, 0) {}

  std::uint32_t EntriesPerMap() const { return (blockSize_ - 24) / 4; }

  void Dword(std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) bytes_.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
  }

  // A MAP block in physical fs_block `block`: signatures, id, then `entries`
  // from offset 24; the remaining entry slots hold `rest`. The two fields
  // that are not read hold junk.
  void Map(std::uint32_t block, std::uint32_t id, const Entries& entries, std::uint32_t rest = 0) {
    const std::size_t p = std::size_t{block} * blockSize_;
    Dword(p + 0, 0x0019DADF);
    Dword(p + 4, 0x0AD398D7);
    Dword(p + 8, 0x5A5A5A5A);
    Dword(p + 12, id);
    Dword(p + 16, 0x40000077);
    Dword(p + 20, 0x40000078);
    for (std::uint32_t j = 0; j < EntriesPerMap(); ++j) {
      Dword(p + 24 + 4 * j, j < entries.size() ? entries[j] : rest);
    }
  }

  // The buffer becomes the run's RawImage; RawBlockCount bounds the search.
  void Into(RunState& s, std::uint32_t rawBlockCount) const {
    s.RawImage = ZeroedBuffer(bytes_.size(), "raw image");
    std::memcpy(s.RawImage.data(), bytes_.data(), bytes_.size());
    s.RawBlockCount = rawBlockCount;
    s.FsBlockSize = blockSize_;
  }
  std::uint32_t Blocks() const { return static_cast<std::uint32_t>(bytes_.size() / blockSize_); }
  void Resize(std::size_t size) { bytes_.resize(size, 0); }

 private:
  std::uint32_t blockSize_;
  std::vector<std::uint8_t> bytes_;
};

class MapStage : public testing::Test {
 protected:
  std::string Run(const RawImageBuilder& raw, std::uint32_t rawBlockCount) {
    raw.Into(s, rawBlockCount);
    FindMapBlocks(s, s);
    BuildBlockMap(s, s);
    return s.Console.Text();
  }
  std::string Run(const RawImageBuilder& raw) { return Run(raw, raw.Blocks()); }

  RunState s;
};

TEST_F(MapStage, ThreeFullMapsOf506Entries) {
  RawImageBuilder raw(0x800, 4);
  Entries all;
  for (std::uint32_t id = 0; id < 3; ++id) {
    Entries entries;
    for (std::uint32_t j = 0; j < 506; ++j) entries.push_back(j % 3 == 0 ? kFree : InUse(id * 506 + j + 1));
    raw.Map(id + 1, id, entries);
    all.insert(all.end(), entries.begin(), entries.end());
  }
  // The largest in-use number: id 2, slot 505 (505 % 3 != 0): 2 * 506 + 506 = 1,518.
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000800",
                             "MAP id: $00000001 found at $00001000", "MAP id: $00000002 found at $00001800",
                             "Found MAPs: 2", "Building fs_block array...", "MapSIZE: $000001FA",
                             "Maximum fs_block number is: $000005EE. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap.size(), 1518u);
  EXPECT_EQ(s.BlockMap, all);
  EXPECT_EQ(s.MapSize, 506u);
  EXPECT_EQ(s.MaxBlockNumber, 1518u);
  EXPECT_EQ(s.HighestMapId, 2u);
}

// ---------------------------------------------------------------------------
// Where MAP blocks are looked for.

TEST_F(MapStage, BlockZeroIsNeverExaminedNorRead) {
  RawImageBuilder raw(512, 3);
  raw.Map(0, 0, Entries(122, InUse(0x77)));
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "Found MAPs: 0", "Building fs_block array...",
                             "WARNING: MAP id $00000000 not found", "MapSIZE: $0000007A",
                             "Maximum fs_block number is: $00000000. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap, Entries(122, kFree));
  EXPECT_EQ(s.MaxBlockNumber, 0u);
}

TEST_F(MapStage, NoMapAtAllHoldsOneMapOfFreeEntries) {
  RawImageBuilder raw(0x800, 4);
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "Found MAPs: 0", "Building fs_block array...",
                             "WARNING: MAP id $00000000 not found", "MapSIZE: $000001FA",
                             "Maximum fs_block number is: $00000000. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap, Entries(506, kFree));
  EXPECT_EQ(s.MapSize, 506u);
}

TEST_F(MapStage, OnlyIdZeroFoundAlsoSaysZero) {
  RawImageBuilder raw(512, 2);
  raw.Map(1, 0, {InUse(1)});
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000200", "Found MAPs: 0",
                             "Building fs_block array...", "MapSIZE: $00000001",
                             "Maximum fs_block number is: $00000001. Alloc buffer..."}));
}

TEST_F(MapStage, SearchEndsAtTheLastWholeBlock) {
  // Three whole blocks and half of a fourth; the half block carries a MAP head.
  RawImageBuilder raw(512, 4);
  raw.Map(2, 0, {InUse(1)});
  raw.Map(3, 1, {InUse(2)});
  raw.Resize(3 * 512 + 256);
  const std::string text = Run(raw, 3);
  EXPECT_EQ(text, Lines({"Building maps array...", "MAP id: $00000000 found at $00000400", "Found MAPs: 0",
                         "Building fs_block array...", "MapSIZE: $00000001",
                         "Maximum fs_block number is: $00000001. Alloc buffer..."}));
}

TEST_F(MapStage, BlocksBeyondTheCountedOnesAreNotExamined) {
  // The buffer holds more than the loaded data: only RawBlockCount blocks count.
  RawImageBuilder raw(512, 6);
  raw.Map(1, 0, {InUse(1)});
  raw.Map(4, 1, {InUse(2)});
  EXPECT_NE(Run(raw, 4).find("\r\nFound MAPs: 0\r\n"), std::string::npos);
  EXPECT_EQ(s.BlockMap, Entries{InUse(1)});
}

TEST(MapSearch, FewerThanTwoBlocksMeanNoSearch) {
  for (std::uint32_t count : {0u, 1u}) {
    RunState s;
    RawImageBuilder raw(512, 2);
    raw.Map(1, 0, {InUse(1)});
    raw.Into(s, count);
    FindMapBlocks(s, s);
    EXPECT_EQ(s.Console.Text(), Lines({"Building maps array...", "Found MAPs: 0"})) << "RawBlockCount " << count;
  }
}

TEST_F(MapStage, BothSignaturesAreNeeded) {
  RawImageBuilder raw(512, 5);
  raw.Map(1, 0, {InUse(1)});
  raw.Map(2, 1, {InUse(2)});
  raw.Dword(2 * 512 + 4, 0);  // second signature missing
  raw.Map(3, 2, {InUse(3)});
  raw.Dword(3 * 512 + 0, 0x0019DADE);  // first signature off by one
  raw.Map(4, 3, {InUse(4)});
  raw.Dword(4 * 512 + 0, 0x0AD398D7);  // signatures swapped
  raw.Dword(4 * 512 + 4, 0x0019DADF);
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000200", "Found MAPs: 0",
                             "Building fs_block array...", "MapSIZE: $00000001",
                             "Maximum fs_block number is: $00000001. Alloc buffer..."}));
  EXPECT_EQ(s.HighestMapId, 0u);
  EXPECT_EQ(s.BlockMap, Entries{InUse(1)});
}

// ---------------------------------------------------------------------------
// MAP ids.

TEST_F(MapStage, EntriesFollowIdOrderNotPhysicalOrder) {
  RawImageBuilder raw(512, 4);
  raw.Map(1, 2, {InUse(30), InUse(31)});
  raw.Map(2, 0, {InUse(10)});
  raw.Map(3, 1, {InUse(20), kFree, InUse(21)});
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000002 found at $00000200",
                             "MAP id: $00000000 found at $00000400", "MAP id: $00000001 found at $00000600",
                             "Found MAPs: 2", "Building fs_block array...", "MapSIZE: $00000002",
                             "Maximum fs_block number is: $0000001F. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap, (Entries{InUse(10), InUse(20), kFree, InUse(21), InUse(30), InUse(31)}));
}

TEST_F(MapStage, FoundMapsShowsTheHighestIdNotACount) {
  RawImageBuilder raw(512, 7);
  for (std::uint32_t id = 0; id <= 5; ++id) raw.Map(id + 1, id, {InUse(id + 1)});
  EXPECT_NE(Run(raw).find("\r\nFound MAPs: 5\r\n"), std::string::npos);
  EXPECT_EQ(s.BlockMap, (Entries{InUse(1), InUse(2), InUse(3), InUse(4), InUse(5), InUse(6)}));
}

TEST_F(MapStage, DuplicateIdTakesTheBlockAtTheHigherOffset) {
  RawImageBuilder raw(512, 4);
  raw.Map(1, 0, {InUse(1)});
  raw.Map(2, 1, {InUse(4)});
  raw.Map(3, 0, {InUse(2), InUse(3)});
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000200",
                             "MAP id: $00000001 found at $00000400", "MAP id: $00000000 found at $00000600",
                             "Found MAPs: 1", "Building fs_block array...", "MapSIZE: $00000001",
                             "Maximum fs_block number is: $00000004. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap, (Entries{InUse(2), InUse(3), InUse(4)}));
  EXPECT_EQ(s.MapPositions[0], 0x600u);
}

TEST_F(MapStage, IdsOverTheLimitAreReportedWithTheHighestAcceptedId) {
  RawImageBuilder raw(0x800, 0x27);
  for (std::uint32_t id = 0; id <= 3; ++id) raw.Map(id + 1, id, {InUse(id + 1)});
  raw.Map(0x24, 0x65, {InUse(99)});
  raw.Map(0x25, 0xFFFFFFFF, {InUse(98)});
  raw.Map(0x26, 0x80000000, {InUse(97)});
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000800",
                             "MAP id: $00000001 found at $00001000", "MAP id: $00000002 found at $00001800",
                             "MAP id: $00000003 found at $00002000", "MAP id: $00000065 found at $00012000",
                             "MAX map exeeded: 0003. Ignoring...", "MAP id: $FFFFFFFF found at $00012800",
                             "MAX map exeeded: 0003. Ignoring...", "MAP id: $80000000 found at $00013000",
                             "MAX map exeeded: 0003. Ignoring...", "Found MAPs: 3", "Building fs_block array...",
                             "MapSIZE: $00000001", "Maximum fs_block number is: $00000004. Alloc buffer..."}));
  EXPECT_EQ(s.BlockMap, (Entries{InUse(1), InUse(2), InUse(3), InUse(4)}));
}

TEST_F(MapStage, IdHundredIsTheLastAccepted) {
  RawImageBuilder raw(512, 4);
  raw.Map(1, 101, {InUse(5)});
  raw.Map(2, 100, {InUse(6), InUse(7)});
  raw.Map(3, 101, {InUse(8)});
  const std::string text = Run(raw);
  EXPECT_EQ(text.substr(0, text.find("Building fs_block array...")),
            Lines({"Building maps array...", "MAP id: $00000065 found at $00000200",
                   "MAX map exeeded: 0000. Ignoring...", "MAP id: $00000064 found at $00000400",
                   "MAP id: $00000065 found at $00000600", "MAX map exeeded: 0064. Ignoring...",
                   "Found MAPs: 100"}));
  // Ids 0 to 99 are missing: 100 maps of 122 free entries, then id 100's two.
  ASSERT_EQ(s.BlockMap.size(), 100u * 122 + 2);
  EXPECT_EQ(s.BlockMap[100 * 122], InUse(6));
  EXPECT_EQ(s.BlockMap[100 * 122 + 1], InUse(7));
  EXPECT_EQ(s.MapSize, 2u);
  EXPECT_EQ(s.MaxBlockNumber, 7u);
  EXPECT_NE(text.find("WARNING: MAP id $00000063 not found\r\nMapSIZE: $00000002\r\n"), std::string::npos);
}

TEST_F(MapStage, MissingIdHoldsAMapOfFreeEntries) {
  RawImageBuilder raw(512, 4);
  raw.Map(0, 1, Entries(122, InUse(0x77)));  // block 0: never read, not even for the missing id
  raw.Map(1, 0, {InUse(1), InUse(2)});
  raw.Map(3, 2, {InUse(3)});
  EXPECT_EQ(Run(raw), Lines({"Building maps array...", "MAP id: $00000000 found at $00000200",
                             "MAP id: $00000002 found at $00000600", "Found MAPs: 2", "Building fs_block array...",
                             "WARNING: MAP id $00000001 not found", "MapSIZE: $00000001",
                             "Maximum fs_block number is: $00000003. Alloc buffer..."}));
  Entries expected{InUse(1), InUse(2)};
  expected.insert(expected.end(), 122, kFree);
  expected.push_back(InUse(3));
  EXPECT_EQ(s.BlockMap, expected);
}

// ---------------------------------------------------------------------------
// Map entries.

TEST_F(MapStage, FreeEntriesHoldTheirPlaceWithoutRaisingTheMaximum) {
  RawImageBuilder raw(512, 2);
  const Entries entries{InUse(3), kFree, 0x40FFFFFF, 0x00FFFFFF, InUse(0), InUse(2)};
  raw.Map(1, 0, entries);
  EXPECT_NE(Run(raw).find("\r\nMapSIZE: $00000006\r\nMaximum fs_block number is: $00000003. Alloc buffer...\r\n"),
            std::string::npos);
  EXPECT_EQ(s.BlockMap, entries);
  EXPECT_EQ(s.MaxBlockNumber, 3u);
}

TEST_F(MapStage, OtherEntriesAreDroppedAndTheRestMoveUp) {
  RawImageBuilder raw(512, 2);
  raw.Map(1, 0, {InUse(1), 0x00000005, InUse(2), 0x80000007, 0x41000009, 0x3FFFFFFF, InUse(3)});
  EXPECT_NE(Run(raw).find("\r\nMapSIZE: $00000004\r\nMaximum fs_block number is: $00000003. Alloc buffer...\r\n"),
            std::string::npos);
  EXPECT_EQ(s.BlockMap, (Entries{InUse(1), InUse(2), 0x3FFFFFFF, InUse(3)}));
}

TEST_F(MapStage, LastEntryOfTheBlockIsReadAndNothingAfterIt) {
  RawImageBuilder raw(512, 3);
  Entries entries(122, 0);
  entries[121] = InUse(9);
  raw.Map(1, 0, entries);
  raw.Dword(2 * 512, InUse(0x33));  // first bytes of the next block
  Run(raw);
  EXPECT_EQ(s.BlockMap, Entries{InUse(9)});
}

TEST_F(MapStage, MapSizeIsThatOfTheLastMapOnly) {
  RawImageBuilder raw(512, 3);
  raw.Map(1, 0, {}, kFree);
  raw.Map(2, 1, {InUse(1), kFree, InUse(2)});
  EXPECT_NE(Run(raw).find("\r\nMapSIZE: $00000003\r\n"), std::string::npos);
  EXPECT_EQ(s.BlockMap.size(), 125u);
  EXPECT_EQ(s.MapSize, 3u);
}

TEST_F(MapStage, MapSizeOfAFullLastMap) {
  RawImageBuilder raw(512, 3);
  raw.Map(1, 0, {InUse(1), InUse(2)});
  raw.Map(2, 1, {}, kFree);
  EXPECT_NE(Run(raw).find("\r\nMapSIZE: $0000007A\r\n"), std::string::npos);
  EXPECT_EQ(s.BlockMap.size(), 124u);
}

TEST_F(MapStage, AllFreeGivesMaximumZero) {
  RawImageBuilder raw(512, 2);
  raw.Map(1, 0, {}, kFree);
  EXPECT_TRUE(Run(raw).ends_with("Maximum fs_block number is: $00000000. Alloc buffer...\r\n"));
  EXPECT_EQ(s.MaxBlockNumber, 0u);
}

TEST_F(MapStage, ArrayGrowsPast65536Entries) {
  // 64 KiB fs_blocks: 16,378 entries a map, 5 maps = 81,890 entries.
  RawImageBuilder raw(0x10000, 6);
  for (std::uint32_t id = 0; id < 5; ++id) {
    Entries entries(16378, kFree);
    if (id == 4) entries.back() = InUse(0xABCDE);
    raw.Map(id + 1, id, entries);
  }
  Run(raw);
  ASSERT_EQ(s.BlockMap.size(), 5u * 16378);
  EXPECT_EQ(s.BlockMap.back(), InUse(0xABCDE));
  EXPECT_EQ(s.MaxBlockNumber, 0xABCDEu);
  EXPECT_EQ(s.MapSize, 16378u);
}

}  // namespace
}  // namespace quillex
