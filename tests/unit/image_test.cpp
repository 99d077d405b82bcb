// The normal FS image: where the BlockMap's two runs lie in the raw image,
// the copy of every in-use physical fs_block to its logical place, and the
// .fs file written from it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "tool/run_state.h"
#include "history/history.h"
#include "rawimage/rawimage.h"
#include "support/test_support.h"

namespace quillex {
namespace {

using test::CaseName;

using test::Bytes;
using test::Lines;
using Entries = std::vector<std::uint32_t>;

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t InUse(std::uint32_t n) { return 0x40000000u | n; }

Bytes RandomBytes(std::size_t n, std::uint64_t seed) {
  Bytes b(n);
  std::uint64_t x = seed;
  for (auto& byte : b) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    byte = static_cast<std::uint8_t>(x >> 56);
  }
  return b;
}

// ---------------------------------------------------------------------------
// Layout of the two runs.

struct LayoutCase {
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  SegmentRecord first;
  std::uint32_t blockSize;
  std::uint32_t mapSize;
  std::uint32_t seg0Size;
  std::uint32_t seg0MapCount;
  std::uint32_t splitIndex;
};

class Layout : public testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, SplitsTheMapWhereTheFirstSegmentsMapsEnd) {
  const LayoutCase& c = GetParam();
  const ImageLayout layout = ComputeImageLayout(c.first, c.blockSize, c.mapSize);
  EXPECT_EQ(layout.Seg0Size, c.seg0Size);
  EXPECT_EQ(layout.Seg0MapCount, c.seg0MapCount);
  EXPECT_EQ(layout.SplitIndex, c.splitIndex);
}

INSTANTIATE_TEST_SUITE_P(
    FirstSegments, Layout,
    testing::Values(
        // 2,048 blocks / 506 rounded up = 5 maps.
        LayoutCase{"FourMibWith506EntryMaps", {0, 0x3FFFFF, 0x800, 0}, 0x800, 506, 0x400000, 5, 2530},
        LayoutCase{"StartDoesNotMatter", {0x400000, 0x7FFFFF, 0x800, 0}, 0x800, 506, 0x400000, 5, 2530},
        // 1,012 = 2 x 506 blocks; one more block needs a third map.
        LayoutCase{"TwiceMapSizeBlocks", {0, 1012 * 2048 - 1, 0x800, 0}, 0x800, 506, 1012 * 2048, 2, 1012},
        LayoutCase{"TwiceMapSizePlusOneBlocks", {0, 1013 * 2048 - 1, 0x800, 0}, 0x800, 506, 1013 * 2048, 3, 1518},
        LayoutCase{"PartialBlockIsNotCounted", {0, 1013 * 2048 - 2, 0x800, 0}, 0x800, 506, 1013 * 2048 - 1, 2,
                   1012},
        LayoutCase{"LessThanOneBlock", {0, 2046, 0x800, 0}, 0x800, 506, 2047, 0, 0},
        LayoutCase{"ExactlyOneBlock", {0, 2047, 0x800, 0}, 0x800, 506, 2048, 1, 506},
        // Paged first segments lie stripped in RawImage: ceil(L / P) x D.
        LayoutCase{"SmallPages4Mib", {0, 0x3FFFFF, 0x800, 18}, 0x800, 506, 0x3E1000, 4, 2024},
        LayoutCase{"SmallPagesWhole", {0, 10 * 528 - 1, 0x200, 18}, 512, 4, 5120, 3, 12},
        LayoutCase{"SmallPagesOneByteMore", {0, 10 * 528, 0x200, 18}, 512, 4, 5632, 3, 12},
        LayoutCase{"LargePagesWhole", {0, 64 * 2112 - 1, 0x800, 2}, 0x800, 64, 0x20000, 1, 64},
        LayoutCase{"LargePagesOneByteMore", {0, 64 * 2112, 0x800, 2}, 0x800, 64, 0x20800, 2, 128},
        LayoutCase{"OtherPageTypeKeepsItsSize", {0, 10 * 528 - 1, 0x200, 0x00010012}, 512, 4, 5280, 3, 12}),
    CaseName());

TEST(LayoutWithoutEntries, MapSizeZeroPutsEveryEntryInTheSecondRun) {
  const SegmentRecord first{0, 0x3FFFFF, 0x800, 0};
  const ImageLayout layout = ComputeImageLayout(first, 0x800, 0);
  EXPECT_EQ(layout.Seg0Size, 0x400000u);
  EXPECT_EQ(layout.SplitIndex, 0u);
  EXPECT_EQ(PhysicalOffset(layout, 0x800, 0), 0x400000u);
  EXPECT_EQ(PhysicalOffset(layout, 0x800, 3), 0x401800u);
}

struct OffsetCase {
  friend void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint64_t index;
  std::uint64_t offset;
};

class FourMibFirstSegmentOffset : public testing::TestWithParam<OffsetCase> {};

TEST_P(FourMibFirstSegmentOffset, FollowsTheTwoRuns) {
  const ImageLayout layout{0x400000, 5, 2530};
  EXPECT_EQ(PhysicalOffset(layout, 0x800, GetParam().index), GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(
    Indices, FourMibFirstSegmentOffset,
    testing::Values(OffsetCase{"First", 0, 0}, OffsetCase{"Index5", 5, 0x2800},
                    OffsetCase{"LastBlockOfFirstSegment", 2047, 0x3FF800},
                    OffsetCase{"FirstEntryPastTheFirstSegment", 2048, 0x400000},
                    OffsetCase{"LastEntryOfTheFifthMap", 2529, 0x4F0800},
                    OffsetCase{"SplitIndexStartsAgainAtSeg0Size", 2530, 0x400000},
                    OffsetCase{"AfterTheSplit", 2531, 0x400800},
                    OffsetCase{"LastEntryOfTheSixthMap", 3035, 0x4FC800},
                    OffsetCase{"FarIndexDoesNotWrap", 2530 + 0x1000000, 0x400000 + 0x800ull * 0x1000000}),
    CaseName());

// ---------------------------------------------------------------------------
// Building the image.

class ImageStage : public testing::Test {
 protected:
  void Prepare(std::uint32_t blockSize, const SegmentRecord& first, const Entries& map, std::uint32_t mapSize,
               std::uint32_t maxBlock, std::size_t rawSize) {
    s.FsBlockSize = blockSize;
    s.SegmentTable = {first};
    s.SegmentCount = 1;
    s.BlockMap = map;
    s.MapSize = mapSize;
    s.MaxBlockNumber = maxBlock;
    raw = RandomBytes(rawSize, rawSize);
    s.RawImage = ZeroedBuffer(rawSize, "raw image");
    std::memcpy(s.RawImage.data(), raw.data(), rawSize);
    expected.assign((std::size_t{maxBlock} + 4) * blockSize, 0);
  }
  // Logical block n of the expected image holds the raw bytes from `src` (zeros past the raw image).
  void Place(std::uint32_t n, std::size_t src) {
    const std::size_t blockSize = s.FsBlockSize;
    for (std::size_t j = 0; j < blockSize; ++j) {
      expected[(n - 1) * blockSize + j] = src + j < raw.size() ? raw[src + j] : 0;
    }
  }
  void ExpectImage() const {
    ASSERT_EQ(s.FsImage.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(FsByte(s, i), expected[i]) << "FsImage byte " << i << " (logical fs_block "
                                                  << i / s.FsBlockSize + 1 << ")";
    }
  }

  RunState s;
  Bytes raw;
  Bytes expected;
};

TEST_F(ImageStage, CopiesIndex5ToLogicalBlock0x123) {
  Entries map(2530, kFree);
  map[5] = InUse(0x123);
  Prepare(0x800, {0, 0x3FFFFF, 0x800, 0}, map, 506, 0x123, 0x5000);
  BuildFsImage(s, s);
  EXPECT_EQ(s.Console.Text(), Lines({"Building normal FS image from RAW...", "seg00 covered by 00000005 map(s)"}));
  EXPECT_EQ(s.FsImage.size(), (0x123u + 4) * 0x800);
  // RawImage $2800..$2FFF to FsImage $91000..$917FF; every other byte zero.
  for (std::size_t j = 0; j < 0x800; ++j) expected[0x91000 + j] = raw[0x2800 + j];
  ExpectImage();
}

TEST_F(ImageStage, HighestIndexWinsAndUnnamedBlocksStayZero) {
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, {kFree, InUse(2), kFree, InUse(2), InUse(1), InUse(4)}, 8, 5, 8 * 512);
  BuildFsImage(s, s);
  Place(1, 4 * 512);
  Place(2, 3 * 512);  // index 3 wins over index 1
  Place(4, 5 * 512);
  ExpectImage();      // blocks 3 and 5, and the four after the image, are zero
}

// The older states: the copies in map order, the cuts just before the ones
// that supersede others moved back to just after a directory block (here
// block 4), and what a cut holds. Block 2 has copies at indexes 0, 3 and 6,
// block 4 at 1 and 5, block 1 only at 4.
TEST_F(ImageStage, StatesAreSettledCutsInMapOrder) {
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, {InUse(2), InUse(4), kFree, InUse(2), InUse(1), InUse(4), InUse(2)}, 8, 4,
          8 * 512);
  BuildFsImage(s, s);
  const std::vector<FlashWrite> writes = ListWrites(s);
  ASSERT_EQ(writes.size(), 6u);
  EXPECT_EQ(writes[2].MapIndex, 3u);
  EXPECT_EQ(writes[2].Logical, 2u);
  EXPECT_EQ(SupersedingWrites(writes), (std::vector<std::uint32_t>{2, 4, 5}));
  const auto directory = [&](std::uint32_t w) { return writes[w].Logical == 4; };
  struct Want {
    std::uint32_t before, settled, cut;
    std::size_t block2, block4;  // indexes of the copies held; 0 for block 1 means none
    bool block1;
  };
  for (const Want& w : {Want{5, 5, 6, 3, 5, true}, Want{4, 2, 3, 0, 1, false}, Want{1, 0, 0, 9, 9, false}}) {
    SCOPED_TRACE("cut before write " + std::to_string(w.before));
    const std::uint32_t held = SettledCut(writes, w.before, directory);
    EXPECT_EQ(held, w.settled);
    const FlashState state = BuildState(s, writes, held);
    EXPECT_EQ(state.Cut, w.cut);
    s.FsImage = state.Image;
    expected.assign(expected.size(), 0);
    if (w.block1) Place(1, 4 * 512);
    if (w.block2 < 9) Place(2, w.block2 * 512);
    if (w.block4 < 9) Place(4, w.block4 * 512);
    ExpectImage();
    EXPECT_EQ(CopyIn(state, 1) != kNoWrite, w.block1);
  }
  // With block 1 a directory too, writes 3 and 4 are one change's two
  // directory blocks: a cut between them never settled.
  EXPECT_EQ(SettledCut(writes, 4, [&](std::uint32_t w) { return writes[w].Logical == 1 || writes[w].Logical == 4; }),
            2u);
  // A directory block written twice in one run of them ends a change.
  std::vector<FlashWrite> run(4);
  const auto directories = [&](std::uint32_t w) { return run[w].Logical >= 8; };
  for (std::uint32_t w = 0; w < 4; ++w) run[w].Logical = std::array<std::uint32_t, 4>{7, 9, 9, 8}[w];
  EXPECT_EQ(SettledCut(run, 2, directories), 2u);
  EXPECT_EQ(SettledCut(run, 3, directories), 2u);  // a cut between 9 and 8 never settled
  EXPECT_EQ(SettledCut(run, 4, directories), 4u);
}

// Why an older item does not fit its state. Blocks of 512 bytes, cluster c
// in block c + 9, the FAT in block 2; the state wrote the FAT first, then
// blocks 10 to 29 (writes 1 to 20), then blocks 32 and 33 (21, 22), block 5,
// a directory (25), then blocks 32 and 33 again, 32 with the same bytes
// (26, 27).
TEST(OlderItems, AreCheckedAgainstTheirState) {
  std::vector<FlashWrite> writes(28);
  FlashState state;
  state.CopyOf.assign(64, kNoWrite);
  auto write = [&](std::uint32_t w, std::uint32_t n) {
    writes[w] = {.MapIndex = w, .Logical = n, .Physical = w, .RawOffset = w * 512ull};
    state.CopyOf[n - 1] = w;
  };
  write(0, 2);
  for (std::uint32_t n = 10; n < 30; ++n) write(n - 9, n);
  write(21, 32);
  write(22, 33);
  write(25, 5);
  write(26, 32);
  write(27, 33);
  Bytes raw(28 * 512, 0);
  raw[27 * 512 + 7] = 1;
  std::vector<bool> directories(64, false);
  directories[5] = true;
  auto chain = [](std::initializer_list<std::uint16_t> clusters) {
    std::vector<ClusterPlace> places;
    for (const std::uint16_t c : clusters) places.push_back({c, (c + 8u) * 512, 512, 512 + 2u * c});
    return places;
  };
  struct Case {
    const char* name;
    std::vector<ClusterPlace> chain;
    std::uint32_t size, written, entryBlock;
    bool directory, deleted;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {"fits", chain({2, 3}), 1000, 1000, 5, false, false, {}},
      {"ends early", chain({2}), 1000, 512, 5, false, false, {"its chain ends before its size (512 of 1000 bytes)"}},
      {"runs long", chain({2, 3}), 100, 100, 5, false, false, {"its chain runs past its size (2 clusters for 100 bytes)"}},
      {"written after its entry", chain({2, 3}), 1024, 1024, 11, false, false,
       {"cluster 3 was written after its directory entry"}},
      {"a folder's cluster written after: it changes with the folder's files", chain({4}), 0, 0, 11, true, false, {}},
      {"never written", chain({21}), 10, 10, 5, false, false, {"block 30 of cluster 21 was not written yet"}},
      {"written again after, the same bytes", chain({23}), 512, 512, 5, false, false, {}},
      {"written again after, other bytes", chain({24}), 512, 512, 5, false, false,
       {"cluster 24 was written after its directory entry"}},
      {"deleted, its chain not checked", chain({2}), 1000, 512, 5, false, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ItemShape item{.Directory = c.directory, .Deleted = c.deleted, .Size = c.size, .Written = c.written,
                         .EntryOffset = (c.entryBlock - 1) * 512, .Chain = &c.chain, .Path = "a/F"};
    const ItemCheck check = CheckItems({item}, state, writes, raw, 512, directories)[0];
    EXPECT_EQ(check.Problems, c.problems);
    EXPECT_EQ(check.OutOfOrder, c.problems.size() == 1 && c.problems[0].ends_with("after its directory entry") ? 1u : 0u);
  }
  // Two files with one cluster, and a file in a folder that does not fit.
  const std::vector<ClusterPlace> one = chain({2}), folder = chain({4}), other = chain({5});
  const ItemShape first{.Size = 512, .Written = 512, .EntryOffset = 4 * 512, .Chain = &one, .Path = "a/ONE"};
  ItemShape second = first;
  second.Path = "a/TWO";
  const ItemShape looped{.Directory = true, .EntryOffset = 4 * 512, .Loop = true, .Chain = &folder, .Path = "a/D"};
  const ItemShape inside{.Size = 10, .Written = 10, .EntryOffset = 4 * 512, .Chain = &other, .Path = "a/D/IN"};
  const auto checks = CheckItems({first, second, looped, inside}, state, writes, raw, 512, directories);
  EXPECT_EQ(checks[0].Problems, (std::vector<std::string>{"cluster 2 is also in the chain of a/TWO"}));
  EXPECT_EQ(checks[1].Problems, (std::vector<std::string>{"cluster 2 is also in the chain of a/ONE"}));
  EXPECT_EQ(checks[2].Problems, (std::vector<std::string>{"its chain runs into itself"}));
  EXPECT_EQ(checks[3].Problems, (std::vector<std::string>{"its folder does not fit the state"}));
}

// The blocks listed for carving: every superseded copy, and every block under a free entry that holds more than
// 0xFF, but not the FS description block (the dump's first 4 KiB) or a MAP
// block. Block size $800, one unpaged segment read from the dump's start.
TEST_F(ImageStage, BlocksListedAreTheCopiesAndTheFreeBlocksNotErased) {
  Prepare(0x800, {0, 12 * 0x800 - 1, 0x800, 0},
          {kFree, kFree, InUse(2), kFree, InUse(4), kFree, InUse(2), kFree, kFree, InUse(4), 0x00FFFFFF, InUse(2)}, 506,
          4, 12 * 0x800);
  s.SegmentPlaces = {{.RawStart = 0, .Kept = 12 * 0x800, .FileStart = 0, .Read = 12 * 0x800}};
  s.MapFound[0] = true;
  s.MapPositions[0] = 5 * 0x800;            // index 5: the MAP block, never listed
  std::memset(s.RawImage.data() + 7 * 0x800, 0xFF, 0x800);  // index 7: erased
  // Index 8: an unused MAP block (a stale copy), not listed either.
  for (const auto& [at, value] : {std::pair{kMapSig1, kMapSignature1}, std::pair{kMapSig2, kMapSignature2}}) {
    for (std::uint32_t i = 0; i < 4; ++i) s.RawImage.data()[8 * 0x800 + at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  BuildFsImage(s, s);
  const std::vector<PhysicalBlock> blocks = ListPhysicalBlocks(s);
  struct Want {
    std::uint32_t physical, logical;
  };
  // Indexes 0 and 1 hold the FS description block; 3 and 10 are free and
  // not erased; 2 and 6 are older copies of block 2, 4 of block 4.
  const Want wants[] = {{2, 2}, {3, 0}, {4, 4}, {6, 2}, {10, 0}};
  ASSERT_EQ(blocks.size(), std::size(wants));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    EXPECT_EQ(blocks[i].Physical, wants[i].physical);
    EXPECT_EQ(blocks[i].Logical, wants[i].logical);
    EXPECT_EQ(blocks[i].RawOffset, wants[i].physical * 0x800ull);
    EXPECT_EQ(blocks[i].DumpOffset, wants[i].physical * 0x800ull);
    EXPECT_EQ(blocks[i].InDump, 0x800u);
  }
  // A copy past what the dump holds is listed still, with no bytes.
  s.SegmentPlaces[0].Read = s.SegmentPlaces[0].Kept = 2 * 0x800 + 100;
  const std::vector<PhysicalBlock> cut = ListPhysicalBlocks(s);
  ASSERT_EQ(cut.size(), 3u);  // the three copies; no free block is held any more
  EXPECT_EQ(cut[0].InDump, 100u);
  EXPECT_EQ(cut[1].InDump, 0u);
  EXPECT_EQ(cut[2].InDump, 0u);
}

TEST_F(ImageStage, FreeEntryHoldsItsPlace) {
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, {InUse(1), kFree, InUse(2), 0x40FFFFFF, InUse(3)}, 8, 3, 8 * 512);
  BuildFsImage(s, s);
  Place(1, 0);
  Place(2, 2 * 512);
  Place(3, 4 * 512);
  ExpectImage();
}

TEST_F(ImageStage, EntriesNamingBlockZeroOrTheFreeNumberCopyNothing) {
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, {InUse(0), InUse(0xFFFFFF), InUse(1)}, 8, 1, 8 * 512);
  BuildFsImage(s, s);
  Place(1, 2 * 512);
  ExpectImage();
}

TEST_F(ImageStage, SourceBeyondTheRawImageReadsAsZero) {
  // Two and a half blocks of raw data.
  Entries map(8, kFree);
  map[0] = InUse(3);  // copied first ...
  map[2] = InUse(1);  // half inside, half beyond
  map[5] = InUse(2);  // wholly beyond
  map[7] = InUse(3);  // ... then replaced by a block wholly beyond
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, map, 8, 3, 2 * 512 + 256);
  BuildFsImage(s, s);
  Place(1, 2 * 512);
  ExpectImage();
}

TEST_F(ImageStage, EntriesAfterTheSplitStartAgainAtTheFirstSegmentsEnd) {
  // Six blocks in the first segment, four entries a map: two maps, split at 8.
  Entries map(12, kFree);
  map[5] = InUse(1);   // block 5
  map[6] = InUse(2);   // 6 x 512: already past the first segment
  map[8] = InUse(3);   // Seg0Size: the same block again
  map[9] = InUse(4);   // Seg0Size + 512
  map[11] = InUse(5);  // Seg0Size + 3 x 512
  Prepare(512, {0x1000, 0x1000 + 6 * 512 - 1, 512, 0}, map, 4, 5, 12 * 512);
  BuildFsImage(s, s);
  EXPECT_EQ(s.Console.Text(), Lines({"Building normal FS image from RAW...", "seg00 covered by 00000002 map(s)"}));
  Place(1, 5 * 512);
  Place(2, 6 * 512);
  Place(3, 6 * 512);
  Place(4, 7 * 512);
  Place(5, 9 * 512);
  ExpectImage();
}

TEST_F(ImageStage, PagedFirstSegmentSplitsAtItsStrippedSize) {
  // Five small pages: 2,640 bytes in the file, 2,560 (five blocks) in RawImage.
  Entries map(10, kFree);
  map[4] = InUse(1);
  map[8] = InUse(2);
  map[9] = InUse(3);
  Prepare(512, {0, 5 * 528 - 1, 512, 18}, map, 4, 3, 10 * 512);
  BuildFsImage(s, s);
  EXPECT_EQ(s.Console.Text(), Lines({"Building normal FS image from RAW...", "seg00 covered by 00000002 map(s)"}));
  Place(1, 4 * 512);
  Place(2, 5 * 512);
  Place(3, 6 * 512);
  ExpectImage();
}

TEST_F(ImageStage, NoEntriesGiveFourZeroBlocks) {
  Prepare(512, {0, 8 * 512 - 1, 512, 0}, {}, 4, 0, 8 * 512);
  BuildFsImage(s, s);
  ExpectImage();
}

struct HugeCase {
  friend void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint32_t blockSize;
  std::uint32_t maxBlock;
};

class HugeImage : public testing::TestWithParam<HugeCase> {};

TEST_P(HugeImage, IsRefusedBeforeAnythingIsAllocated) {
  RunState s;
  s.FsBlockSize = GetParam().blockSize;
  s.MaxBlockNumber = GetParam().maxBlock;
  s.SegmentTable = {SegmentRecord{0, 0x3FFFFF, 0x800, 0}};
  s.MapSize = 506;
  s.BlockMap = {InUse(GetParam().maxBlock)};
  s.RawImage = ZeroedBuffer(0x1000, "raw image");
  EXPECT_THROW(BuildFsImage(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(), Lines({"FATAL: Image of 4 GiB or more is not supported. Check entry file!"}));
  EXPECT_EQ(s.FsImage.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HugeImage,
    testing::Values(HugeCase{"Exactly4GiBWith2KiBBlocks", 0x800, 0x1FFFFC},
                    HugeCase{"Exactly4GiBWith64KiBBlocks", 0x10000, 0xFFFC},
                    HugeCase{"LargestNumberWith512Blocks", 512, 0xFFFFFE},
                    HugeCase{"LargestNumberWith64KiBBlocks", 0x10000, 0xFFFFFE}),
    CaseName());

TEST(HugeImageBoundary, OneBlockLessThan4GiBIsBuilt) {
  RunState s;
  s.FsBlockSize = 0x10000;
  s.MaxBlockNumber = 0xFFFB;  // (0xFFFB + 4) x 64 KiB = 4 GiB - 64 KiB
  s.SegmentTable = {SegmentRecord{0, 0x3FFFFF, 0x10000, 0}};
  s.MapSize = 16378;
  s.RawImage = ZeroedBuffer(0x1000, "raw image");
  BuildFsImage(s, s);  // a view: nothing of the image's size is reserved
  EXPECT_EQ(s.FsImage.size(), 0xFFFF0000u);
  EXPECT_EQ(FsDword(s, 0xFFFF0000u - 4), 0u);
}

// ---------------------------------------------------------------------------
// Writing the .fs file.

class ImageFile : public testing::Test {
 protected:
  void Prepare(std::uint32_t blockSize, std::uint32_t maxBlock) {
    s.EntryName = dir / "phone.raw";
    s.FsBlockSize = blockSize;
    s.MaxBlockNumber = maxBlock;
    image = RandomBytes((std::size_t{maxBlock} + 4) * blockSize, 99);
    s.RawImage = ZeroedBuffer(image.size(), "normal FS image");
    std::memcpy(s.RawImage.data(), image.data(), image.size());
    s.FsImage = FsView::Flat(s.RawImage.view());
    // Every block as if copied from the dump.
    s.FsCopiedBlocks.clear();
    for (std::uint32_t n = maxBlock; n >= 1; --n) s.FsCopiedBlocks.push_back(n);
  }
  std::string Announce() const { return "Writing normal FS image to file: " + s.EntryName + ".fs..."; }
  std::string Failure() const {
    return Announce() + Lines({"Fatal error while writing image! Check filename and disk space"});
  }

  test::TempDir dir;
  RunState s;
  Bytes image;
};

TEST_F(ImageFile, HoldsExactlyTheLogicalBlocks) {
  Prepare(512, 3);
  WriteFsImage(s, s);
  EXPECT_EQ(s.Console.Text(), Announce() + "\r\n");
  EXPECT_EQ(test::ReadFile(s.EntryName + ".fs"), std::string(image.begin(), image.begin() + 3 * 512));
}

TEST_F(ImageFile, NoBlocksGiveAnEmptyFile) {
  Prepare(0x800, 0);
  WriteFsImage(s, s);
  EXPECT_EQ(s.Console.Text(), Announce() + "\r\n");
  ASSERT_TRUE(test::Exists(s.EntryName + ".fs"));
  EXPECT_EQ(std::filesystem::file_size(s.EntryName + ".fs"), 0u);
}

TEST_F(ImageFile, ExistingFileIsReplaced) {
  Prepare(512, 2);
  test::WriteFile(s.EntryName + ".fs", Bytes(5000, 0x99));
  WriteFsImage(s, s);
  EXPECT_EQ(test::ReadFile(s.EntryName + ".fs"), std::string(image.begin(), image.begin() + 2 * 512));
}

TEST_F(ImageFile, BuiltImageIsWrittenWithTheBlockInPlace) {
  Entries map(2530, kFree);
  map[5] = InUse(0x123);
  const Bytes raw = RandomBytes(0x5000, 5);
  s.EntryName = dir / "phone.raw";
  s.FsBlockSize = 0x800;
  s.SegmentTable = {SegmentRecord{0, 0x3FFFFF, 0x800, 0}};
  s.BlockMap = map;
  s.MapSize = 506;
  s.MaxBlockNumber = 0x123;
  s.RawImage = ZeroedBuffer(raw.size(), "raw image");
  std::memcpy(s.RawImage.data(), raw.data(), raw.size());
  BuildFsImage(s, s);
  WriteFsImage(s, s);
  std::string file_expected(0x123 * 0x800, '\0');
  std::memcpy(file_expected.data() + 0x91000, raw.data() + 0x2800, 0x800);
  EXPECT_EQ(test::ReadFile(s.EntryName + ".fs"), file_expected);
}

TEST_F(ImageFile, ShuffledBlocksAreWrittenFromWhereTheyLie) {
  // 3,000 entries in a shuffled order, some naming a block twice (the later
  // wins), the last ones past the end of the raw image (zeros), a few
  // logical blocks named by none (a hole that reads as zeros): far more
  // pieces than one gathered write takes.
  constexpr std::uint32_t kBs = 512;
  constexpr std::uint32_t kEntries = 3000;
  constexpr std::uint32_t kMax = 3100;
  std::vector<std::uint32_t> order(kEntries);
  for (std::uint32_t k = 0; k < kEntries; ++k) order[k] = k + 1;
  std::uint64_t x = 7;
  for (std::uint32_t k = kEntries - 1; k > 0; --k) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    std::swap(order[k], order[(x >> 33) % (k + 1)]);
  }
  Entries map(kEntries);
  for (std::uint32_t k = 0; k < kEntries; ++k) map[k] = InUse(k % 10 == 3 ? order[k - 1] : order[k]);
  map[kEntries - 1] = InUse(kMax);
  const Bytes raw = RandomBytes(std::size_t{kEntries} * kBs - 700, 11);
  s.EntryName = dir / "phone.raw";
  s.FsBlockSize = kBs;
  s.SegmentTable = {SegmentRecord{0, 0x3FFFFF, kBs, 0}};
  s.BlockMap = map;
  s.MapSize = 506;
  s.MaxBlockNumber = kMax;
  s.RawImage = ZeroedBuffer(raw.size(), "raw image");
  std::memcpy(s.RawImage.data(), raw.data(), raw.size());
  BuildFsImage(s, s);
  WriteFsImage(s, s);

  std::string expected(std::size_t{kMax} * kBs, '\0');
  for (std::uint32_t k = 0; k < kEntries; ++k) {  // in map order: the later copy wins
    const std::size_t to = std::size_t{(map[k] & 0xFFFFFF) - 1} * kBs;
    for (std::size_t j = 0; j < kBs; ++j) {
      const std::size_t from = std::size_t{k} * kBs + j;
      expected[to + j] = static_cast<char>(from < raw.size() ? raw[from] : 0);
    }
  }
  const std::string written = test::ReadFile(s.EntryName + ".fs");
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected) << "the .fs differs from the blocks in map order";
}

TEST_F(ImageFile, NameInAMissingFolderIsFatal) {
  Prepare(512, 1);
  s.EntryName = dir / "no-such-folder/phone.raw";
  EXPECT_THROW(WriteFsImage(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(), Failure());
}

TEST_F(ImageFile, FolderInTheWayIsFatal) {
  Prepare(512, 1);
  std::filesystem::create_directory(s.EntryName + ".fs");
  EXPECT_THROW(WriteFsImage(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(), Failure());
}

TEST_F(ImageFile, FullDiskIsFatal) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  Prepare(512, 4);
  std::filesystem::create_symlink("/dev/full", s.EntryName + ".fs");
  EXPECT_THROW(WriteFsImage(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(), Failure());
}

}  // namespace
}  // namespace quillex
