// Tests of the dump writer: exact bytes of what it writes, and a small
// decoder, following how the tool reads a dump, that must give back exactly
// the logical blocks a flash description asked for.
#include "mkraw/mkraw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/fat_volume.h"

namespace {

namespace mk = quillex::mkraw;
using mk::Bytes;

using quillex::test::Le;

Bytes Pattern(std::size_t size, std::uint32_t salt) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + salt * 17 + (i >> 8)) & 0xFFu);
  }
  return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t at, std::size_t size) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
}

bool Taken(std::uint32_t entry) {
  return (entry >> 24) == 0x40 || (entry & 0xFFFFFFu) == 0xFFFFFFu;
}

mk::RawSegment Segment(std::uint32_t start, Bytes data, std::uint32_t pageType = mk::kPageTypeNone) {
  mk::RawSegment segment;
  segment.start = start;
  segment.pageType = pageType;
  segment.data = std::move(data);
  return segment;
}

// ---------------------------------------------------------------------------
// Reference decoder.

struct Decoded {
  std::uint32_t fsBlockSize = 0;
  std::vector<std::uint32_t> blockMap;
  Bytes image;
};

Decoded Decode(const Bytes& file) {
  struct Record {
    std::uint32_t start, end, fsBlockSize, pageType;
  };
  std::vector<Record> records;
  const std::size_t count = std::min<std::size_t>(Le(file, 8, 2), 10);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 16 + 32 * i;
    records.push_back({Le(file, at, 4), Le(file, at + 8, 4), Le(file, at + 20, 4), Le(file, at + 26, 4)});
  }
  Decoded out;
  out.fsBlockSize = records.empty() || records[0].fsBlockSize == 0 ? 0x800 : records[0].fsBlockSize;
  const std::size_t fsBlockSize = out.fsBlockSize;
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.start < b.start; });

  // Load: each segment from the current position, spares stripped in place,
  // then the seek to (bytes of the file consumed so far + gap).
  const std::size_t fileSize = file.size();
  Bytes raw(fileSize + 0x1000, 0);
  std::size_t rawLength = 0;
  std::size_t position = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& record = records[i];
    std::size_t got = std::min<std::size_t>(record.end - record.start + 1u, fileSize - rawLength);
    got = std::min(got, fileSize - position);
    std::memcpy(raw.data() + rawLength, file.data() + position, got);
    position += got;
    const std::size_t data = record.pageType == 18 ? 512 : record.pageType == 2 ? 2048 : 0;
    if (data != 0) {
      const std::size_t page = data + data / 32;  // spare: $10 per $200, $40 per $800
      std::size_t from = 0;
      std::size_t to = 0;
      do {
        std::memmove(raw.data() + rawLength + to, raw.data() + rawLength + from, data);
        from += page;
        to += data;
      } while (from < got);
      got = to;
      for (std::size_t at = rawLength + to; at < fileSize; ++at) raw[at] = 0xFF;
    }
    rawLength += got;
    if (rawLength >= fileSize) break;
    if (i + 1 < records.size()) {
      const std::uint32_t gap = records[i + 1].start - record.end - 1u;
      const std::uint32_t target = static_cast<std::uint32_t>(position) + gap;
      if (target <= fileSize) position = target;
    }
  }

  // MAP blocks: searched from physical block 1, the later of equal ids wins.
  std::array<std::optional<std::size_t>, 101> positions{};
  std::uint32_t highest = 0;
  for (std::size_t block = 1; block < rawLength / fsBlockSize; ++block) {
    const std::size_t at = block * fsBlockSize;
    if (Le(raw, at, 4) != mk::kMapSignature1 || Le(raw, at + 4, 4) != mk::kMapSignature2) continue;
    const std::uint32_t id = Le(raw, at + 12, 4);
    if (id > 100) continue;
    positions[id] = at;
    highest = std::max(highest, id);
  }
  const std::size_t slots = (fsBlockSize - 24) / 4;
  std::size_t mapSize = slots;  // a missing last id counts as a block of free entries
  if (positions[highest]) {
    mapSize = 0;
    for (std::size_t o = 24; o < fsBlockSize; o += 4) mapSize += Taken(Le(raw, *positions[highest] + o, 4)) ? 1u : 0u;
  }
  std::uint32_t maxBlock = 0;
  for (std::uint32_t id = 0; id <= highest; ++id) {
    if (!positions[id]) {  // a missing id keeps its places, all free
      out.blockMap.insert(out.blockMap.end(), slots, mk::kFreeEntry);
      continue;
    }
    for (std::size_t o = 24; o < fsBlockSize; o += 4) {
      const std::uint32_t entry = Le(raw, *positions[id] + o, 4);
      if (!Taken(entry)) continue;
      out.blockMap.push_back(entry);
      const std::uint32_t number = entry & 0xFFFFFFu;
      if (number < 0xFFFFFFu) maxBlock = std::max(maxBlock, number);
    }
  }
  if (mapSize == 0) return out;

  // Image: the first segment's blocks from index 0, the rest from SplitIndex.
  // A paged first segment lies in memory without its spares.
  std::size_t seg0Size = records.empty() ? 0 : records[0].end - records[0].start + 1u;
  if (!records.empty() && (records[0].pageType == 18 || records[0].pageType == 2)) {
    const std::size_t data = records[0].pageType == 18 ? 512 : 2048;
    seg0Size = (seg0Size + data + data / 32 - 1) / (data + data / 32) * data;
  }
  const std::size_t split = (seg0Size / fsBlockSize + mapSize - 1) / mapSize * mapSize;
  out.image.assign(std::size_t{maxBlock} * fsBlockSize, 0);
  for (std::size_t k = 0; k < out.blockMap.size(); ++k) {
    const std::uint32_t entry = out.blockMap[k];
    const std::uint32_t number = entry & 0xFFFFFFu;
    if ((entry >> 24) != 0x40 || number == 0 || number > maxBlock) continue;
    const std::size_t source = k < split ? k * fsBlockSize : seg0Size + (k - split) * fsBlockSize;
    if (source + fsBlockSize > raw.size()) {
      ADD_FAILURE() << "entry " << k << " points past the loaded data";
      continue;
    }
    std::memcpy(out.image.data() + (number - 1) * fsBlockSize, raw.data() + source, fsBlockSize);
  }
  return out;
}

// The normal FS image that the logical blocks of a plan should give.
Bytes ExpectedImage(const mk::FlashSpec& plan) {
  const std::uint32_t highest = plan.logicalBlocks.rbegin()->first;
  Bytes image(std::size_t{highest} * plan.fsBlockSize, 0);
  for (const auto& [number, data] : plan.logicalBlocks) {
    const std::size_t size = std::min<std::size_t>(data.size(), plan.fsBlockSize);
    std::copy_n(data.begin(), size, image.begin() + static_cast<std::ptrdiff_t>((number - 1) * plan.fsBlockSize));
  }
  return image;
}

// Logical blocks 1..highest, skipping some numbers, of varied lengths: some
// shorter than an fs_block (padded), some longer (cut).
std::map<std::uint32_t, Bytes> LogicalBlocks(std::uint32_t highest, std::uint32_t fsBlockSize) {
  std::map<std::uint32_t, Bytes> blocks;
  for (std::uint32_t n = 1; n <= highest; ++n) {
    if (n % 7 == 4) continue;
    const std::size_t size = n % 5 == 0 ? fsBlockSize / 3 : n % 5 == 1 ? fsBlockSize + 9 : fsBlockSize;
    blocks[n] = Pattern(size, n);
  }
  return blocks;
}

// BlockMap index of physical block p: the first segment from 0, the rest
// from the first index after the MAP blocks that cover the first segment.
std::size_t IndexOf(std::size_t p, std::size_t firstBlocks, std::size_t mapSize) {
  const std::size_t split = (firstBlocks + mapSize - 1) / mapSize * mapSize;
  return p < firstBlocks ? p : split + (p - firstBlocks);
}

// Live MAP blocks' taken entries, concatenated in id order.
std::vector<std::uint32_t> TakenEntries(const mk::FlashLayout& layout) {
  std::map<std::uint32_t, std::size_t> live;
  for (const mk::PhysicalBlock& block : layout.blocks) {
    if (block.kind == mk::PhysicalBlock::Kind::Map) live[layout.maps.at(block.mapIndex).id] = block.mapIndex;
  }
  std::vector<std::uint32_t> entries;
  for (const auto& [id, index] : live) {
    for (const std::uint32_t entry : layout.maps.at(index).entries) {
      if (Taken(entry)) entries.push_back(entry);
    }
  }
  return entries;
}

// ---------------------------------------------------------------------------
// WriteRawDump.

TEST(WriteRawDump, HeaderFieldsAtTheirOffsets) {
  mk::RawDumpSpec plan;
  plan.segments.push_back(Segment(0, Pattern(0x800, 1)));
  mk::RawSegment second = Segment(0x900, Pattern(0x400, 2), mk::kPageTypeSmall);
  second.end = 0x10FF;
  second.erase = 0x40000;
  second.fsBlockSize = 0x200;
  plan.segments.push_back(second);
  const Bytes file = mk::WriteRawDump(plan);

  EXPECT_EQ(Le(file, 0, 2), 3u);
  EXPECT_EQ(Le(file, 2, 2), 26u);
  EXPECT_EQ(Le(file, 4, 4), 0u);
  EXPECT_EQ(Le(file, 8, 2), 2u);
  EXPECT_EQ(Le(file, 10, 4), 0u);
  EXPECT_EQ(Le(file, 14, 2), 0u);
  // Record 0 at 16.
  EXPECT_EQ(Le(file, 16, 4), 0u);
  EXPECT_EQ(Le(file, 24, 4), 0x7FFu);  // end defaults to start + length - 1
  EXPECT_EQ(Le(file, 32, 4), 0x20000u);
  EXPECT_EQ(Le(file, 36, 4), 0x800u);
  EXPECT_EQ(Le(file, 40, 2), 0u);  // record bytes 24-25
  EXPECT_EQ(Le(file, 42, 4), 0u);
  EXPECT_EQ(Le(file, 46, 2), 0u);  // record bytes 30-31
  // Record 1 at 48.
  EXPECT_EQ(Le(file, 48, 4), 0x900u);
  EXPECT_EQ(Le(file, 56, 4), 0x10FFu);
  EXPECT_EQ(Le(file, 64, 4), 0x40000u);
  EXPECT_EQ(Le(file, 68, 4), 0x200u);
  EXPECT_EQ(Le(file, 72, 2), 0u);
  EXPECT_EQ(Le(file, 74, 4), 18u);
  EXPECT_EQ(Le(file, 78, 2), 0u);
  // The header replaced only its own bytes of the first segment.
  EXPECT_EQ(Slice(file, 80, 0x800 - 80), Slice(plan.segments[0].data, 80, 0x800 - 80));
}

TEST(WriteRawDump, MarkerVersionAndCountAsGiven) {
  mk::RawDumpSpec plan;
  plan.marker = 0x1234;
  plan.version = 25;
  plan.segmentCount = 12;
  plan.segments.push_back(Segment(0, Pattern(0x100, 3)));
  const Bytes file = mk::WriteRawDump(plan);
  EXPECT_EQ(Le(file, 0, 2), 0x1234u);
  EXPECT_EQ(Le(file, 2, 2), 25u);
  EXPECT_EQ(Le(file, 8, 2), 12u);
  EXPECT_EQ(Slice(file, 48, 0x100 - 48), Slice(plan.segments[0].data, 48, 0x100 - 48));
}

TEST(WriteRawDump, WithoutHeaderTheDataStaysAsGiven) {
  mk::RawDumpSpec plan;
  plan.writeHeader = false;
  Bytes data = Pattern(0x300, 4);
  data[0] = 0xBA;
  data[1] = 0xBE;
  plan.segments.push_back(Segment(0, data));
  EXPECT_EQ(mk::WriteRawDump(plan), data);
}

TEST(WriteRawDump, NoSegmentsGivesTheBareHeader) {
  const Bytes file = mk::WriteRawDump(mk::RawDumpSpec{});
  ASSERT_EQ(file.size(), 16u);
  EXPECT_EQ(Le(file, 0, 2), 3u);
  EXPECT_EQ(Le(file, 2, 2), 26u);
  EXPECT_EQ(Le(file, 8, 2), 0u);
}

TEST(WriteRawDump, ShortFirstSegmentIsLengthenedToHoldTheHeader) {
  mk::RawDumpSpec plan;
  plan.segments.push_back(Segment(0x40, Bytes{1, 2, 3}));
  const Bytes file = mk::WriteRawDump(plan);
  ASSERT_EQ(file.size(), 48u);
  EXPECT_EQ(Le(file, 16, 4), 0x40u);
  EXPECT_EQ(Le(file, 24, 4), 0x40u + 47u);
}

TEST(WriteRawDump, HeaderMustFitTheFirstPage) {
  mk::RawDumpSpec plan;
  for (std::uint32_t i = 0; i < 16; ++i) {  // 16 + 16 * 32 = 528 bytes > 512
    plan.segments.push_back(Segment(i * 0x1000, Pattern(0x400, i), mk::kPageTypeSmall));
  }
  EXPECT_THROW(mk::WriteRawDump(plan), std::invalid_argument);
  plan.segments.pop_back();  // 496 bytes fit
  EXPECT_NO_THROW(mk::WriteRawDump(plan));
}

TEST(WriteRawDump, HeaderLivesInTheFirstPageData) {
  mk::RawDumpSpec plan;
  plan.spareFill = 0x77;
  plan.segments.push_back(Segment(0, Pattern(0x400, 5), mk::kPageTypeSmall));
  const Bytes file = mk::WriteRawDump(plan);
  ASSERT_EQ(file.size(), 2u * 528u);
  EXPECT_EQ(Le(file, 0, 2), 3u);
  EXPECT_EQ(Le(file, 24, 4), 2u * 528u - 1u);  // the end counts the spares
  EXPECT_EQ(Le(file, 42, 4), 18u);
  EXPECT_EQ(Slice(file, 48, 512 - 48), Slice(plan.segments[0].data, 48, 512 - 48));
  EXPECT_EQ(Slice(file, 512, 16), Bytes(16, 0x77));
  EXPECT_EQ(Slice(file, 528, 512), Slice(plan.segments[0].data, 512, 512));
}

struct PagingCase {
  const char* name;
  std::uint32_t pageType;
  std::size_t pageData;  // 0: no spares
  std::size_t spare;
  std::size_t dataSize;
};

void PrintTo(const PagingCase& param, std::ostream* out) { *out << param.name; }

class WriteRawDumpPaging : public testing::TestWithParam<PagingCase> {};

TEST_P(WriteRawDumpPaging, EveryPageIsFollowedByItsSpare) {
  const PagingCase& param = GetParam();
  mk::RawDumpSpec plan;
  plan.writeHeader = false;
  plan.spareFill = 0x5A;
  plan.segments.push_back(Segment(0, Pattern(param.dataSize, 6), param.pageType));
  const Bytes& data = plan.segments[0].data;
  const Bytes file = mk::WriteRawDump(plan);
  EXPECT_EQ(mk::SegmentFileLength(plan.segments[0]), file.size());
  if (param.pageData == 0) {
    EXPECT_EQ(file, data);
    return;
  }
  const std::size_t pages = (param.dataSize + param.pageData - 1) / param.pageData;
  ASSERT_EQ(file.size(), pages * (param.pageData + param.spare));
  for (std::size_t page = 0; page < pages; ++page) {
    const std::size_t at = page * (param.pageData + param.spare);
    const std::size_t kept = std::min(param.pageData, param.dataSize - page * param.pageData);
    EXPECT_EQ(Slice(file, at, kept), Slice(data, page * param.pageData, kept)) << "page " << page;
    EXPECT_EQ(Slice(file, at + kept, param.pageData - kept), Bytes(param.pageData - kept, 0xFF))
        << "padding of page " << page;
    EXPECT_EQ(Slice(file, at + param.pageData, param.spare), Bytes(param.spare, 0x5A)) << "spare of page " << page;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, WriteRawDumpPaging,
    testing::Values(PagingCase{"small_partial_last_page", mk::kPageTypeSmall, 512, 16, 1100},
                    PagingCase{"small_whole_pages", mk::kPageTypeSmall, 512, 16, 2048},
                    PagingCase{"small_one_byte", mk::kPageTypeSmall, 512, 16, 1},
                    PagingCase{"large_partial_last_page", mk::kPageTypeLarge, 2048, 64, 2148},
                    PagingCase{"large_whole_pages", mk::kPageTypeLarge, 2048, 64, 4096},
                    PagingCase{"other_type_not_paged", 7, 0, 0, 1100},
                    PagingCase{"none_not_paged", mk::kPageTypeNone, 0, 0, 1100}),
    [](const testing::TestParamInfo<PagingCase>& tested) { return std::string(tested.param.name); });

TEST(WriteRawDump, RecordsInFileOrderDataInStartOrderWithGaps) {
  mk::RawDumpSpec plan;
  plan.gapFill = 0xEE;
  plan.segments.push_back(Segment(0x300, Bytes(0x40, 0xCC)));
  plan.segments.push_back(Segment(0x000, Bytes(0x100, 0xAA)));
  plan.segments.push_back(Segment(0x180, Bytes(0x80, 0xBB)));
  const Bytes file = mk::WriteRawDump(plan);

  // Records as given.
  EXPECT_EQ(Le(file, 16, 4), 0x300u);
  EXPECT_EQ(Le(file, 24, 4), 0x33Fu);
  EXPECT_EQ(Le(file, 48, 4), 0x000u);
  EXPECT_EQ(Le(file, 56, 4), 0x0FFu);
  EXPECT_EQ(Le(file, 80, 4), 0x180u);
  EXPECT_EQ(Le(file, 88, 4), 0x1FFu);
  // Data by start: the header went into the segment at 0, which comes first.
  ASSERT_EQ(file.size(), 0x100u + 0x80u + 0x80u + 0x100u + 0x40u);
  EXPECT_EQ(Slice(file, 112, 0x100 - 112), Bytes(0x100 - 112, 0xAA));
  EXPECT_EQ(Slice(file, 0x100, 0x80), Bytes(0x80, 0xEE));   // 0x180 - 0xFF - 1
  EXPECT_EQ(Slice(file, 0x180, 0x80), Bytes(0x80, 0xBB));
  EXPECT_EQ(Slice(file, 0x200, 0x100), Bytes(0x100, 0xEE));  // 0x300 - 0x1FF - 1
  EXPECT_EQ(Slice(file, 0x300, 0x40), Bytes(0x40, 0xCC));
}

TEST(WriteRawDump, GapAfterAPagedSegmentCountsFromItsRecordedEnd) {
  mk::RawDumpSpec plan;
  plan.writeHeader = false;
  plan.segments.push_back(Segment(0, Bytes(512, 0x11), mk::kPageTypeSmall));  // 528 bytes, end 0x20F
  plan.segments.push_back(Segment(0x300, Bytes(4, 0x22)));
  const Bytes file = mk::WriteRawDump(plan);
  ASSERT_EQ(file.size(), 528u + (0x300u - 0x20Fu - 1u) + 4u);
  EXPECT_EQ(Slice(file, 528, 0x300 - 528), Bytes(0x300 - 528, 0xEE));
  EXPECT_EQ(Slice(file, 0x300, 4), Bytes(4, 0x22));
}

TEST(WriteRawDump, EqualOrOverlappingStartsKeepFileOrderWithoutGap) {
  mk::RawDumpSpec plan;
  plan.writeHeader = false;
  plan.segments.push_back(Segment(0x10, Bytes(8, 0x01)));
  plan.segments.push_back(Segment(0x10, Bytes(8, 0x02)));
  plan.segments.push_back(Segment(0x00, Bytes(0x40, 0x03)));  // overlaps both
  const Bytes file = mk::WriteRawDump(plan);
  Bytes expected(0x40, 0x03);
  expected.insert(expected.end(), 8, 0x01);
  expected.insert(expected.end(), 8, 0x02);
  EXPECT_EQ(file, expected);
}

TEST(WriteRawDump, TruncationCutsTheFileOnly) {
  mk::RawDumpSpec plan;
  plan.segments.push_back(Segment(0, Pattern(0x400, 7)));
  plan.segments.push_back(Segment(0x500, Pattern(0x400, 8), mk::kPageTypeSmall));
  const Bytes whole = mk::WriteRawDump(plan);
  plan.truncateTo = 0x501;
  const Bytes cut = mk::WriteRawDump(plan);
  ASSERT_EQ(cut.size(), 0x501u);
  EXPECT_EQ(cut, Slice(whole, 0, 0x501));
  EXPECT_EQ(Le(cut, 56, 4), 0x500u + 2u * 528u - 1u);  // records still give the full ends
  plan.truncateTo = whole.size() + 10;
  EXPECT_EQ(mk::WriteRawDump(plan), whole);
}

// ---------------------------------------------------------------------------
// MAP blocks.

TEST(MakeMapBlock, SignaturesIdEntriesAndFreeRest) {
  const Bytes block = mk::MakeMapBlock({0x2A, {0x40000005, 0xFFFFFFFF, 0x80000007}}, 0x80);
  ASSERT_EQ(block.size(), 0x80u);
  EXPECT_EQ(Slice(block, 0, 8), (Bytes{0xDF, 0xDA, 0x19, 0x00, 0xD7, 0x98, 0xD3, 0x0A}));
  EXPECT_EQ(Slice(block, 8, 4), Bytes(4, 0xFF));
  EXPECT_EQ(Slice(block, 12, 4), (Bytes{0x2A, 0, 0, 0}));
  EXPECT_EQ(Slice(block, 16, 8), Bytes(8, 0xFF));
  EXPECT_EQ(Slice(block, 24, 4), (Bytes{0x05, 0x00, 0x00, 0x40}));
  EXPECT_EQ(Slice(block, 28, 4), Bytes(4, 0xFF));
  EXPECT_EQ(Slice(block, 32, 4), (Bytes{0x07, 0x00, 0x00, 0x80}));
  EXPECT_EQ(Slice(block, 36, 0x80 - 36), Bytes(0x80 - 36, 0xFF));
}

TEST(MakeMapBlock, RefusesMoreEntriesThanSlots) {
  EXPECT_NO_THROW(mk::MakeMapBlock({0, std::vector<std::uint32_t>(26, 0)}, 0x80));
  EXPECT_THROW(mk::MakeMapBlock({0, std::vector<std::uint32_t>(27, 0)}, 0x80), std::invalid_argument);
  EXPECT_THROW(mk::MakeMapBlock({0, {}}, 24), std::invalid_argument);
  EXPECT_THROW(mk::MakeMapBlock({0, {}}, 0x82), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// BuildFlash.

mk::FlashSpec SmallFlash(std::uint32_t highest) {
  mk::FlashSpec plan;
  plan.fsBlockSize = 0x80;  // 26 entries per MAP block
  plan.logicalBlocks = LogicalBlocks(highest, plan.fsBlockSize);
  return plan;
}

// What the live MAP blocks must say about physical block p.
std::uint32_t ExpectedEntry(const mk::PhysicalBlock& block) {
  return block.kind == mk::PhysicalBlock::Kind::Data ? mk::kInUse | block.logical : mk::kFreeEntry;
}

TEST(BuildFlash, FirstSegmentNotAMultipleOfMapSizeGivesTwoRuns) {
  mk::FlashSpec plan = SmallFlash(47);  // 40 blocks present
  plan.segments = {mk::FlashSegment{mk::kPageTypeNone, 30, 0, {}}, mk::FlashSegment{}};
  const mk::FlashLayout layout = mk::BuildFlash(plan);

  // 30 + 1 + 40 + 3 MAP blocks: ids 0 and 1 cover the first segment, id 2 the rest.
  ASSERT_EQ(layout.segments[0].blocks, 30u);
  ASSERT_EQ(layout.blocks.size(), 44u);
  ASSERT_EQ(layout.maps.size(), 3u);
  for (std::size_t p = 0; p < 26; ++p) {
    EXPECT_EQ(layout.maps[0].entries[p], ExpectedEntry(layout.blocks[p])) << p;
  }
  for (std::size_t p = 26; p < 30; ++p) {
    EXPECT_EQ(layout.maps[1].entries[p - 26], ExpectedEntry(layout.blocks[p])) << p;
  }
  for (std::size_t i = 4; i < 26; ++i) EXPECT_EQ(layout.maps[1].entries[i], mk::kFreeEntry) << i;
  for (std::size_t p = 30; p < 44; ++p) {
    EXPECT_EQ(layout.maps[2].entries[p - 30], ExpectedEntry(layout.blocks[p])) << p;
  }
  for (std::size_t i = 14; i < 26; ++i) EXPECT_EQ(layout.maps[2].entries[i], mk::kFreeEntry) << i;
}

TEST(BuildFlash, ZeroCountsShareTheBlocksEvenly) {
  mk::FlashSpec plan = SmallFlash(80);
  plan.segments = {mk::FlashSegment{}, mk::FlashSegment{mk::kPageTypeNone, 9, 0, {}}, mk::FlashSegment{},
                   mk::FlashSegment{}};
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  ASSERT_EQ(layout.segments.size(), 4u);
  EXPECT_EQ(layout.segments[1].blocks, 9u);
  const std::uint32_t first = layout.segments[0].blocks;
  for (const std::size_t i : {2u, 3u}) {
    EXPECT_LE(layout.segments[i].blocks, first) << i;
    EXPECT_GE(layout.segments[i].blocks + 1, first) << i;
  }
  std::size_t total = 0;
  for (const mk::FlashSegment& segment : layout.segments) total += segment.blocks;
  EXPECT_EQ(total, layout.blocks.size());
}

TEST(BuildFlash, DroppedEntriesHoldNoPlace) {
  mk::FlashSpec plan = SmallFlash(90);
  plan.droppedPerMap = 3;  // 23 taken entries per MAP block
  plan.seed = 11;
  plan.segments = {mk::FlashSegment{mk::kPageTypeNone, 0, 0, {}}, mk::FlashSegment{}};
  const mk::FlashLayout layout = mk::BuildFlash(plan);

  for (const mk::MapBlockSpec& map : layout.maps) {
    ASSERT_EQ(map.entries.size(), 26u) << "id " << map.id;
    EXPECT_EQ(std::count_if(map.entries.begin(), map.entries.end(), [](std::uint32_t e) { return !Taken(e); }), 3)
        << "id " << map.id;
  }
  const std::vector<std::uint32_t> taken = TakenEntries(layout);
  ASSERT_EQ(taken.size(), layout.maps.size() * 23);
  for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
    EXPECT_EQ(taken[IndexOf(p, layout.segments[0].blocks, 23)], ExpectedEntry(layout.blocks[p])) << p;
  }
}

TEST(BuildFlash, StaleCopiesLieBeforeTheLiveCopy) {
  for (const std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    mk::FlashSpec plan = SmallFlash(30);
    plan.staleCopies = 8;
    plan.seed = seed;
    plan.mountTableBlock = 2;
    const mk::FlashLayout layout = mk::BuildFlash(plan);

    std::map<std::uint32_t, std::vector<std::size_t>> copies;
    for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
      if (layout.blocks[p].kind == mk::PhysicalBlock::Kind::Data) copies[layout.blocks[p].logical].push_back(p);
    }
    std::size_t stale = 0;
    for (const auto& [number, positions] : copies) {
      Bytes live = plan.logicalBlocks.at(number);
      live.resize(plan.fsBlockSize, 0);
      EXPECT_EQ(layout.blocks[positions.back()].data, live) << "seed " << seed << " block " << number;
      for (std::size_t c = 0; c + 1 < positions.size(); ++c, ++stale) {
        const Bytes& old = layout.blocks[positions[c]].data;
        ASSERT_EQ(old.size(), live.size());
        for (std::size_t i = 0; i < old.size(); ++i) {
          ASSERT_NE(old[i], live[i]) << "seed " << seed << " block " << number << " byte " << i;
        }
      }
    }
    EXPECT_EQ(stale, 8u) << "seed " << seed;
    EXPECT_EQ(copies.at(2), std::vector<std::size_t>{1}) << "the Mount Table block has one copy, at 1";
  }
}

TEST(BuildFlash, StaleMapDuplicatesLieBeforeTheLiveMap) {
  mk::FlashSpec plan = SmallFlash(80);
  plan.staleMapDuplicates = true;
  plan.seed = 5;
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  const std::size_t ids = layout.maps.size() / 2;
  ASSERT_EQ(ids, 3u);  // 1 + 69 data + 6 MAP blocks: 76 entries
  std::map<std::uint32_t, std::vector<std::size_t>> where;
  for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
    if (layout.blocks[p].kind == mk::PhysicalBlock::Kind::Map) where[layout.maps.at(layout.blocks[p].mapIndex).id].push_back(p);
  }
  ASSERT_EQ(where.size(), ids);
  for (const auto& [id, positions] : where) {
    ASSERT_EQ(positions.size(), 2u) << "id " << id;
    EXPECT_EQ(layout.blocks[positions[1]].mapIndex, id);
    EXPECT_EQ(layout.blocks[positions[0]].mapIndex, ids + id);
    // The older copy names blocks too, so taking it instead would show.
    const std::vector<std::uint32_t>& old = layout.maps.at(ids + id).entries;
    EXPECT_EQ(old.size(), 26u);
    EXPECT_TRUE(std::all_of(old.begin(), old.end(), [](std::uint32_t e) { return (e >> 24) == 0x40; }));
    EXPECT_NE(old, layout.maps.at(id).entries);
  }
}

TEST(BuildFlash, MissingMapIdIsNotWritten) {
  mk::FlashSpec plan = SmallFlash(80);
  plan.missingMapIds = {1};
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  plan.missingMapIds.clear();
  const mk::FlashLayout full = mk::BuildFlash(plan);
  ASSERT_EQ(layout.blocks.size(), full.blocks.size());
  std::set<std::uint32_t> written;
  std::size_t erased = 0;
  for (const mk::PhysicalBlock& block : layout.blocks) {
    if (block.kind == mk::PhysicalBlock::Kind::Map) written.insert(layout.maps.at(block.mapIndex).id);
    erased += block.kind == mk::PhysicalBlock::Kind::Erased ? 1 : 0;
  }
  EXPECT_FALSE(written.contains(1));
  EXPECT_EQ(written.size(), layout.maps.size() - 1);
  EXPECT_EQ(erased, 1u);
  plan.missingMapIds = {static_cast<std::uint32_t>(full.maps.size())};
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
}

TEST(BuildFlash, UnshuffledOrderIsHeaderMountMapsDataErased) {
  mk::FlashSpec plan = SmallFlash(20);
  plan.shuffle = false;
  plan.freeBlocks = 2;
  plan.mountTableBlock = 3;
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  using Kind = mk::PhysicalBlock::Kind;
  ASSERT_EQ(layout.blocks[0].kind, Kind::Header);
  ASSERT_EQ(layout.blocks[1].kind, Kind::Data);
  EXPECT_EQ(layout.blocks[1].logical, 3u);
  std::size_t p = 2;
  for (; layout.blocks[p].kind == Kind::Map; ++p) EXPECT_EQ(layout.blocks[p].mapIndex, p - 2);
  EXPECT_EQ(p - 2, layout.maps.size());
  std::vector<std::uint32_t> order;
  for (; p < layout.blocks.size() && layout.blocks[p].kind == Kind::Data; ++p) order.push_back(layout.blocks[p].logical);
  std::vector<std::uint32_t> expected;
  for (const auto& entry : plan.logicalBlocks) {
    if (entry.first != 3) expected.push_back(entry.first);
  }
  EXPECT_EQ(order, expected);
  EXPECT_EQ(layout.blocks.size() - p, 2u);
  for (; p < layout.blocks.size(); ++p) EXPECT_EQ(layout.blocks[p].kind, Kind::Erased);
}

TEST(BuildFlash, SameSeedSameDumpOtherSeedOtherOrder) {
  mk::FlashSpec plan = SmallFlash(60);
  plan.freeBlocks = 3;
  plan.staleCopies = 4;
  plan.droppedPerMap = 2;
  plan.staleMapDuplicates = true;
  plan.seed = 77;
  const Bytes first = mk::BuildDump(plan);
  EXPECT_EQ(mk::BuildDump(plan), first);

  const auto physicalOrder = [](const mk::FlashLayout& layout) {
    std::vector<std::uint32_t> order;
    for (const mk::PhysicalBlock& block : layout.blocks) order.push_back(block.logical);
    return order;
  };
  plan.seed = 78;
  EXPECT_NE(mk::BuildDump(plan), first);

  // Without stale copies only the shuffle depends on the seed.
  plan.staleCopies = 0;
  const auto order78 = physicalOrder(mk::BuildFlash(plan));
  plan.seed = 79;
  const auto order79 = physicalOrder(mk::BuildFlash(plan));
  EXPECT_NE(order78, order79);
  std::vector<std::uint32_t> data78;
  std::copy_if(order78.begin() + 2, order78.end(), std::back_inserter(data78), [](std::uint32_t n) { return n != 0; });
  EXPECT_FALSE(std::is_sorted(data78.begin(), data78.end())) << "logical blocks left in order";
}

TEST(NextRandom, FollowsTheSplitMix64Reference) {
  std::uint64_t state = 1234567;
  EXPECT_EQ(mk::NextRandom(state), 6457827717110365317u);
  EXPECT_EQ(mk::NextRandom(state), 3203168211198807973u);
  EXPECT_EQ(mk::NextRandom(state), 9817491932198370423u);
  EXPECT_EQ(mk::NextRandom(state), 4593380528125082431u);
  EXPECT_EQ(mk::NextRandom(state), 16408922859458223821u);
}

TEST(BuildFlash, RefusesDescriptionsThatCannotBeWritten) {
  const auto build = [](std::vector<mk::FlashSegment> segments) {
    mk::FlashSpec plan = SmallFlash(20);
    plan.segments = std::move(segments);
    return mk::BuildFlash(plan);
  };
  using S = mk::FlashSegment;
  EXPECT_NO_THROW(build({S{mk::kPageTypeSmall, 0, 0, {}}, S{}}));
  EXPECT_NO_THROW(build({S{mk::kPageTypeNone, 0, 0x10, {}}, S{}, S{}}));
  EXPECT_THROW(build({S{mk::kPageTypeNone, 1, 0, {}}, S{}}), std::invalid_argument);
  EXPECT_THROW(build({S{mk::kPageTypeNone, 5, 0, {}}, S{mk::kPageTypeNone, 5, 0, {}}}), std::invalid_argument);
  EXPECT_NO_THROW(build({S{mk::kPageTypeNone, 0, 0, {}}, S{mk::kPageTypeNone, 0, 0x10, {}}, S{mk::kPageTypeLarge, 0, 0, {}}}));
  EXPECT_NO_THROW(build({S{mk::kPageTypeSmall, 0, 0, {}}}));

  mk::FlashSpec plan = SmallFlash(20);
  plan.mountTableBlock = 4;  // not present (n % 7 == 4)
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
  plan = SmallFlash(20);
  plan.logicalBlocks[0] = Bytes(4, 1);
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
  plan = SmallFlash(20);
  plan.logicalBlocks[9] = mk::MakeMapBlock({0, {}}, plan.fsBlockSize);
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
  plan = SmallFlash(20);
  plan.droppedPerMap = 26;
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
  plan = SmallFlash(20);
  plan.droppedPerMap = 1;
  plan.missingMapIds = {0};
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
  // Flash order: the last write of a block leaves its contents, the Mount
  // Table block is written once, and per-block copies do not mix in.
  plan = SmallFlash(20);
  plan.flashOrder = true;
  plan.laterWrites = {{5, plan.logicalBlocks.at(5)}};
  EXPECT_NO_THROW(mk::BuildFlash(plan));
  for (const mk::BlockWrite& write : {mk::BlockWrite{5, Bytes(4, 1)}, mk::BlockWrite{1, plan.logicalBlocks.at(1)}}) {
    plan.laterWrites = {write};
    EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument) << "block " << write.logical;
  }
  plan.laterWrites.clear();
  plan.olderCopies[5] = {Bytes(4, 1)};
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument);
}

TEST(LayoutToRawSpec, SegmentsAddressesAndRecords) {
  mk::FlashSpec plan = SmallFlash(40);
  plan.segments = {mk::FlashSegment{mk::kPageTypeNone, 0, 0x345, 0x200},
                   mk::FlashSegment{mk::kPageTypeSmall, 0, 0, {}}};
  plan.recordsDescending = true;
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  const mk::RawDumpSpec raw = mk::LayoutToRawSpec(layout);
  ASSERT_EQ(raw.segments.size(), 2u);
  const mk::RawSegment& first = raw.segments[1];  // written last: descending records
  const mk::RawSegment& second = raw.segments[0];
  EXPECT_EQ(first.start, 0u);
  EXPECT_EQ(first.fsBlockSize, 0x200u);
  EXPECT_EQ(first.data.size(), std::size_t{layout.segments[0].blocks} * 0x80);
  EXPECT_EQ(second.start, first.data.size() + 0x345);
  EXPECT_EQ(second.pageType, mk::kPageTypeSmall);
  EXPECT_EQ(second.fsBlockSize, 0x80u);
  // Block by block: header zero, MAP blocks encoded, data padded, erased 0xFF.
  Bytes all = first.data;
  all.insert(all.end(), second.data.begin(), second.data.end());
  for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
    const mk::PhysicalBlock& block = layout.blocks[p];
    const Bytes got = Slice(all, p * 0x80, 0x80);
    switch (block.kind) {
      case mk::PhysicalBlock::Kind::Header: EXPECT_EQ(got, Bytes(0x80, 0)); break;
      case mk::PhysicalBlock::Kind::Map: EXPECT_EQ(got, mk::MakeMapBlock(layout.maps.at(block.mapIndex), 0x80)); break;
      case mk::PhysicalBlock::Kind::Data: EXPECT_EQ(got, block.data); break;
      case mk::PhysicalBlock::Kind::Erased: EXPECT_EQ(got, Bytes(0x80, 0xFF)); break;
    }
  }
}

// ---------------------------------------------------------------------------
// BuildDump decodes back to the logical blocks.

struct RoundTrip {
  const char* name;
  std::uint32_t fsBlockSize;
  std::uint32_t highest;  // logical blocks 1..highest, some numbers absent
  std::optional<std::uint32_t> mountTableBlock;
  bool shuffle;
  std::uint32_t freeBlocks;
  std::uint32_t staleCopies;
  std::uint32_t droppedPerMap;
  bool staleMapDuplicates;
  bool recordsDescending;
  std::vector<mk::FlashSegment> segments;
};

void PrintTo(const RoundTrip& param, std::ostream* out) { *out << param.name; }

class BuildDumpRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(BuildDumpRoundTrip, DecodesToTheLogicalBlocks) {
  const RoundTrip& param = GetParam();
  for (const std::uint64_t seed : {1u, 2u, 0xDEADBEEFu}) {
    mk::FlashSpec plan;
    plan.fsBlockSize = param.fsBlockSize;
    plan.logicalBlocks = LogicalBlocks(param.highest, param.fsBlockSize);
    plan.mountTableBlock = param.mountTableBlock;
    plan.seed = seed;
    plan.shuffle = param.shuffle;
    plan.freeBlocks = param.freeBlocks;
    plan.staleCopies = param.staleCopies;
    plan.droppedPerMap = param.droppedPerMap;
    plan.staleMapDuplicates = param.staleMapDuplicates;
    plan.recordsDescending = param.recordsDescending;
    plan.segments = param.segments;

    const mk::FlashLayout layout = mk::BuildFlash(plan);
    const std::vector<std::uint32_t> taken = TakenEntries(layout);
    const std::size_t mapSize = (param.fsBlockSize - 24) / 4 - param.droppedPerMap;
    for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
      const std::size_t index = IndexOf(p, layout.segments[0].blocks, mapSize);
      ASSERT_LT(index, taken.size()) << "seed " << seed << ", physical block " << p;
      EXPECT_EQ(taken[index], ExpectedEntry(layout.blocks[p])) << "seed " << seed << ", physical block " << p;
    }
    const Bytes dump = mk::BuildDump(plan);
    EXPECT_EQ(dump, mk::WriteRawDump(mk::LayoutToRawSpec(layout))) << "seed " << seed;

    const Decoded decoded = Decode(dump);
    EXPECT_EQ(decoded.fsBlockSize, param.fsBlockSize) << "seed " << seed;
    ASSERT_GE(decoded.blockMap.size(), 2u) << "seed " << seed;
    EXPECT_EQ(decoded.blockMap[1], mk::kInUse | param.mountTableBlock.value_or(1)) << "seed " << seed;
    const Bytes expected = ExpectedImage(plan);
    ASSERT_EQ(decoded.image.size(), expected.size()) << "seed " << seed;
    for (std::size_t at = 0; at < expected.size(); at += param.fsBlockSize) {
      ASSERT_EQ(Slice(decoded.image, at, param.fsBlockSize), Slice(expected, at, param.fsBlockSize))
          << "seed " << seed << ", logical block " << at / param.fsBlockSize + 1;
    }
  }
}

using S = mk::FlashSegment;
INSTANTIATE_TEST_SUITE_P(
    Layouts, BuildDumpRoundTrip,
    testing::Values(
        RoundTrip{"one_segment_in_order", 0x800, 30, {}, false, 0, 0, 0, false, false, {}},
        RoundTrip{"one_segment_shuffled", 0x800, 30, 5, true, 3, 4, 0, false, false, {}},
        RoundTrip{"one_segment_two_maps", 0x80, 30, {}, true, 0, 0, 0, false, false, {}},
        RoundTrip{"small_blocks_many_maps", 0x80, 150, 7, true, 5, 10, 2, true, false,
                  {S{mk::kPageTypeNone, 0, 0x333, {}}, S{}}},
        RoundTrip{"small_pages_last", 0x800, 40, {}, true, 1, 3, 1, false, true,
                  {S{mk::kPageTypeNone, 0, 0x1000, {}}, S{mk::kPageTypeSmall, 0, 0, {}}}},
        RoundTrip{"large_pages_last", 0x800, 40, 2, true, 2, 2, 0, true, false,
                  {S{mk::kPageTypeNone, 0, 0, {}}, S{mk::kPageTypeLarge, 0, 0, {}}}},
        RoundTrip{"fs_block_smaller_than_page", 0x100, 45, {}, true, 0, 5, 0, false, false,
                  {S{mk::kPageTypeNone, 7, 0, {}}, S{mk::kPageTypeLarge, 0, 0, {}}}},
        RoundTrip{"three_segments", 0x200, 120, 9, true, 4, 6, 3, true, true,
                  {S{}, S{mk::kPageTypeNone, 0, 0x800, {}}, S{mk::kPageTypeSmall, 0, 0, {}}}},
        RoundTrip{"given_counts_with_surplus", 0x80, 20, {}, true, 0, 2, 0, false, false,
                  {S{mk::kPageTypeNone, 10, 0, {}}, S{mk::kPageTypeNone, 50, 0, {}}}},
        RoundTrip{"first_run_exactly_full", 0x80, 60, {}, true, 0, 0, 0, false, false,
                  {S{mk::kPageTypeNone, 52, 0, {}}, S{}}},
        RoundTrip{"only_segment_small_pages", 0x800, 25, 3, true, 2, 2, 4, false, false,
                  {S{mk::kPageTypeSmall, 0, 0, {}}}},
        RoundTrip{"only_segment_large_pages", 0x800, 25, {}, true, 2, 2, 0, true, false,
                  {S{mk::kPageTypeLarge, 0, 0, {}}}},
        RoundTrip{"small_pages_first", 0x800, 40, 3, true, 2, 3, 1, false, false,
                  {S{mk::kPageTypeSmall, 0, 0x2000, {}}, S{mk::kPageTypeNone, 0, 0, {}}}},
        RoundTrip{"paged_segments_with_gaps_between_all", 0x800, 60, 6, true, 3, 3, 0, true, false,
                  {S{mk::kPageTypeLarge, 0, 0x100, {}}, S{mk::kPageTypeSmall, 0, 0x4000, {}},
                   S{mk::kPageTypeNone, 0, 0x10, {}}, S{mk::kPageTypeLarge, 0, 0, {}}}}),
    [](const testing::TestParamInfo<RoundTrip>& tested) { return std::string(tested.param.name); });

// Older copies of a block lie before its live copy in map order, oldest
// first, after any random stale copy of it; the image still decodes to the
// live blocks.
TEST(BuildFlash, OlderCopiesComeBeforeTheLiveOneOldestFirst) {
  for (const std::uint64_t seed : {1u, 7u}) {
    mk::FlashSpec plan;
    plan.fsBlockSize = 0x200;
    plan.logicalBlocks = LogicalBlocks(20, plan.fsBlockSize);
    plan.seed = seed;
    plan.staleCopies = 6;
    plan.olderCopies[5] = {Bytes(0x200, 0x51), Bytes(0x100, 0x52)};
    plan.olderCopies[9] = {Bytes(0x200, 0x91)};
    const mk::FlashLayout layout = mk::BuildFlash(plan);
    std::map<std::uint32_t, std::vector<Bytes>> copies;  // in physical, and so map, order
    for (const mk::PhysicalBlock& block : layout.blocks) {
      if (block.kind == mk::PhysicalBlock::Kind::Data) copies[block.logical].push_back(block.data);
    }
    for (const std::uint32_t n : {5u, 9u}) {
      const std::vector<Bytes>& older = plan.olderCopies[n];
      const std::vector<Bytes>& got = copies[n];
      ASSERT_GE(got.size(), older.size() + 1) << n;
      for (std::size_t i = 0; i < older.size(); ++i) {
        Bytes padded = older[i];
        padded.resize(0x200, 0);
        EXPECT_EQ(got[got.size() - 1 - older.size() + i], padded) << "block " << n << ", older copy " << i;
      }
      Bytes live = plan.logicalBlocks[n];
      live.resize(0x200, 0);
      EXPECT_EQ(got.back(), live) << n;
    }
    const Decoded decoded = Decode(mk::BuildDump(plan));
    const Bytes expected = ExpectedImage(plan);
    EXPECT_EQ(decoded.image, expected) << "seed " << seed;
  }
  mk::FlashSpec plan;
  plan.logicalBlocks = LogicalBlocks(4, plan.fsBlockSize);
  plan.mountTableBlock = 1;
  plan.olderCopies[1] = {Bytes(4, 1)};
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument) << "the Mount Table block has one copy";
  plan.olderCopies = {{9, {Bytes(4, 1)}}};
  EXPECT_THROW(mk::BuildFlash(plan), std::invalid_argument) << "no such block";
}

// A volume's states through AddHistory: each block's copies run in map
// order from its first state to the live one, after any stale copy. In
// flash order every later change lies after the whole first state and
// after the change before it, its data, FAT and directory blocks in turn.
struct HistoryCase {
  const char* name;
  quillex::test::FatType type;  // FAT12 of 40 clusters of 0x800 bytes, FAT16 of 300
  std::uint32_t fsBlockSize;
  std::uint32_t staleCopies;
  bool shuffle;
  mk::HistoryOrder order;
};

void PrintTo(const HistoryCase& param, std::ostream* out) { *out << param.name; }

class AddHistoryOrder : public testing::TestWithParam<HistoryCase> {};

TEST_P(AddHistoryOrder, CopiesFollowTheStates) {
  using quillex::test::FatVolume;
  const HistoryCase& param = GetParam();
  const bool fat12 = param.type == quillex::test::FatType::Fat12;
  FatVolume v({param.type, 0x800, fat12 ? 40u : 300u});
  std::vector<FatVolume::Dir> dirs{v.AddDirectory(FatVolume::kRoot, "SUB", "a folder of a long name")};
  const std::vector<std::uint16_t> a = v.Allocate(3);
  const std::uint32_t aEntry = v.AddFile(FatVolume::kRoot, {"A.BIN", "", Pattern(5000, 1), 0x20, a, {}, {}});
  const std::vector<std::uint16_t> b = v.Allocate(1);
  v.AddFile(dirs[0], {"B.BIN", "", Pattern(900, 2), 0x20, b, {}, {}});
  // Per state: its volume, and the class of each unit block (0 data, 1 FAT,
  // 2 directory) from the layout the test volume reports.
  std::vector<Bytes> states;
  std::vector<std::vector<int>> classes;
  const std::uint32_t bs = param.fsBlockSize;
  const auto snapshot = [&] {
    states.push_back(v.Image());
    classes.emplace_back();
    for (std::int64_t from = -1536; from < static_cast<std::int64_t>(v.Image().size()); from += bs) {
      const auto overlaps = [&](std::int64_t x, std::int64_t y) { return from < y && x < from + bs; };
      bool directory = overlaps(v.RootOffset(), v.DataOffset());
      for (const FatVolume::Dir d : dirs) {
        for (const std::uint16_t c : v.DirClusters(d)) {
          directory |= overlaps(v.ClusterOffset(c), v.ClusterOffset(c) + 0x800);
        }
      }
      classes.back().push_back(directory ? 2 : overlaps(v.FatOffset(), v.RootOffset()) ? 1 : 0);
    }
  };
  snapshot();
  // A's middle cluster edited, with a new time; a file added to the root.
  v.WriteCluster(a[1], Pattern(100, 3));
  v.SetTimes(aEntry, {quillex::test::FatDate(2009, 5, 1), quillex::test::FatTime(10, 0, 0), 0, 0, 0, 0});
  v.AddFile(FatVolume::kRoot, {"C.BIN", "", Pattern(3000, 4), 0x20, {}, {}, {}});
  snapshot();
  // A file added to the folder, B edited; a deleted folder entry still
  // names B's cluster, and a new folder's chain loops on itself.
  v.AddFile(dirs[0], {"D.BIN", "", Pattern(2500, 5), 0x20, {}, {}, {}});
  v.WriteCluster(b[0], Pattern(50, 6));
  v.Image()[v.AddShort(FatVolume::kRoot, "GONE", 0x10, b[0], 0)] = 0xE5;
  dirs.push_back(v.AddDirectory(FatVolume::kRoot, "LOOP"));
  v.SetFat(v.DirClusters(dirs.back())[0], v.DirClusters(dirs.back())[0]);
  snapshot();

  // Each state's logical blocks, beside a unit that has no history.
  const std::uint8_t parType = fat12 ? 0x01 : 0x04;
  const mk::UnitVolume other{"/x", Pattern(3000, 7), 0x04, true, false};
  std::vector<std::map<std::uint32_t, Bytes>> blocks;
  mk::FlashSpec plan;
  for (const Bytes& state : states) {
    plan = {};
    plan.fsBlockSize = bs;
    mk::AddUnits(plan, {{"/", state, parType, true, false}, other}, 2);
    blocks.push_back(plan.logicalBlocks);
  }
  plan.staleCopies = param.staleCopies;
  plan.shuffle = param.shuffle;
  mk::AddHistory(plan, {"/", states.back(), parType, true, false}, 2, {states[0], states[1]}, param.order);
  EXPECT_EQ(plan.olderCopies.empty(), param.order == mk::HistoryOrder::Flash);
  const mk::FlashLayout layout = mk::BuildFlash(plan);

  std::map<std::uint32_t, std::vector<std::size_t>> at;  // each block's copies, in physical and so map order
  for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
    if (layout.blocks[p].kind == mk::PhysicalBlock::Kind::Data) at[layout.blocks[p].logical].push_back(p);
  }
  std::size_t firstStateEnd = 0, stale = 0;
  std::vector<std::vector<std::pair<std::size_t, int>>> writes(states.size());  // per state: position, class
  for (const auto& [number, live] : plan.logicalBlocks) {
    if (number == 1) continue;
    std::vector<std::size_t> real{0};  // the states that wrote the block: the first, then each change
    for (std::size_t s = 1; s < states.size(); ++s) {
      if (blocks[s].at(number) != blocks[s - 1].at(number)) real.push_back(s);
    }
    const std::vector<std::size_t>& got = at.at(number);
    ASSERT_GE(got.size(), real.size()) << "block " << number;
    const std::size_t k = got.size() - real.size();  // random stale copies, all before the real ones
    stale += k;
    firstStateEnd = std::max(firstStateEnd, got[k]);
    for (std::size_t j = 0; j < real.size(); ++j) {
      EXPECT_EQ(layout.blocks[got[k + j]].data, blocks[real[j]].at(number)) << "block " << number << ", copy " << j;
      if (j > 0) writes[real[j]].emplace_back(got[k + j], classes[real[j]].at(number - 2));
    }
  }
  EXPECT_EQ(stale, param.staleCopies);
  EXPECT_EQ(Decode(mk::BuildDump(plan)).image, ExpectedImage(plan));
  for (std::size_t s = 1; plan.flashOrder && s < writes.size(); ++s) {
    std::sort(writes[s].begin(), writes[s].end());
    ASSERT_FALSE(writes[s].empty()) << "state " << s;
    EXPECT_GT(writes[s].front().first, s == 1 ? firstStateEnd : writes[s - 1].back().first) << "state " << s;
    const auto byClass = [](const auto& x, const auto& y) { return x.second < y.second; };
    EXPECT_TRUE(std::is_sorted(writes[s].begin(), writes[s].end(), byClass)) << "state " << s << ": data, FAT, dirs";
    EXPECT_EQ(writes[s].front().second + writes[s].back().second, 2) << "state " << s << " writes data and directories";
  }
}

using quillex::test::FatType;
INSTANTIATE_TEST_SUITE_P(
    States, AddHistoryOrder,
    testing::Values(HistoryCase{"fat12_sector_blocks", FatType::Fat12, 0x200, 6, true, mk::HistoryOrder::Flash},
                    HistoryCase{"fat16_two_sector_blocks", FatType::Fat16, 0x400, 4, true, mk::HistoryOrder::Flash},
                    HistoryCase{"fat16_unshuffled", FatType::Fat16, 0x400, 3, false, mk::HistoryOrder::Flash},
                    HistoryCase{"fat12_per_block", FatType::Fat12, 0x200, 6, true, mk::HistoryOrder::PerBlock}),
    [](const testing::TestParamInfo<HistoryCase>& tested) { return std::string(tested.param.name); });

TEST(BuildDump, MissingMapLosesOnlyWhatItDescribed) {
  mk::FlashSpec plan = SmallFlash(100);
  plan.staleCopies = 20;
  plan.seed = 3;
  plan.missingMapIds = {2};
  const mk::FlashLayout layout = mk::BuildFlash(plan);
  const Decoded decoded = Decode(mk::WriteRawDump(mk::LayoutToRawSpec(layout)));

  // Expected from the layout: per logical block, the copy with the highest
  // index among those a written MAP block describes.
  const std::size_t mapSize = 26;
  std::map<std::uint32_t, Bytes> survivors;
  for (std::size_t p = 0; p < layout.blocks.size(); ++p) {
    const mk::PhysicalBlock& block = layout.blocks[p];
    if (block.kind != mk::PhysicalBlock::Kind::Data) continue;
    if (IndexOf(p, layout.segments[0].blocks, mapSize) / mapSize == 2) continue;
    survivors[block.logical] = block.data;  // later p, higher index
  }
  std::size_t lost = 0;
  std::uint32_t highest = survivors.rbegin()->first;
  ASSERT_EQ(decoded.image.size(), std::size_t{highest} * 0x80);
  for (std::uint32_t n = 1; n <= highest; ++n) {
    const Bytes got = Slice(decoded.image, (n - 1) * 0x80u, 0x80);
    const auto survivor = survivors.find(n);
    EXPECT_EQ(got, survivor == survivors.end() ? Bytes(0x80, 0) : survivor->second) << "block " << n;
    Bytes given = plan.logicalBlocks.contains(n) ? plan.logicalBlocks.at(n) : Bytes{};
    given.resize(0x80, 0);
    lost += got != given ? 1u : 0u;
  }
  EXPECT_GE(lost, 10u) << "a missing MAP block of 26 entries should cost blocks";
}

// ---------------------------------------------------------------------------
// Mount Table.

TEST(MakeMountTable, UnitsThenEndMarkThenErased) {
  const Bytes table = mk::MakeMountTable(
      {{"/", 3, 30, {}}, {"/abc/def", 0x1234, 0xFFFF, 40}}, 0x800);
  ASSERT_EQ(table.size(), 0x800u);
  EXPECT_EQ(table[0], '/');
  EXPECT_EQ(Slice(table, 1, 27), Bytes(27, 0));
  EXPECT_EQ(table[28], 1);
  EXPECT_EQ(Slice(table, 29, 7), Bytes(7, 0));
  EXPECT_EQ(Le(table, 36, 2), 3u);
  EXPECT_EQ(Le(table, 38, 2), 0u);
  EXPECT_EQ(Le(table, 40, 2), 30u);
  EXPECT_EQ(Slice(table, 42, 6), Bytes(6, 0));

  const std::string path = "/abc/def";
  EXPECT_EQ(Slice(table, 48, path.size()), Bytes(path.begin(), path.end()));
  EXPECT_EQ(Slice(table, 48 + path.size(), 28 - path.size()), Bytes(28 - path.size(), 0));
  EXPECT_EQ(table[48 + 28], 40);  // length as given, not the path's
  EXPECT_EQ(Le(table, 48 + 36, 2), 0x1234u);
  EXPECT_EQ(Le(table, 48 + 40, 2), 0xFFFFu);

  EXPECT_EQ(Le(table, 96, 2), 0u);  // end mark
  EXPECT_EQ(Slice(table, 98, 0x800 - 98), Bytes(0x800 - 98, 0xFF));
}

TEST(MakeMountTable, RefusesWhatDoesNotFit) {
  EXPECT_THROW(mk::MakeMountTable({{std::string(29, 'a'), 2, 1, {}}}, 0x800), std::invalid_argument);
  EXPECT_NO_THROW(mk::MakeMountTable({{std::string(28, 'a'), 2, 1, {}}}, 0x800));
  const mk::MountUnit unit{"/x", 2, 1, {}};
  EXPECT_NO_THROW(mk::MakeMountTable(std::vector<mk::MountUnit>(42, unit), 0x800));  // 2018 bytes
  EXPECT_THROW(mk::MakeMountTable(std::vector<mk::MountUnit>(43, unit), 0x800), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Units: partition table, two empty sectors, the volume.

TEST(MakeUnitImage, TableSectorThenTwoZeroSectorsThenPatchedVolume) {
  mk::UnitVolume unit;
  unit.mountPath = "/";
  unit.volume = Pattern(5000, 7);  // 10 sectors, the last one partial
  const Bytes image = mk::MakeUnitImage(unit);
  ASSERT_EQ(image.size(), 1536u + 5000u);

  EXPECT_EQ(Slice(image, 0, 446), Bytes(446, 0));
  // Entry 1: active, head 1, sector 1 cylinder 0, FAT16, end at the volume's
  // last sector 12 (16 heads, 32 sectors a track: head 0, sector 13),
  // first sector 3, 10 sectors.
  const Bytes entry{0x80, 0x01, 0x01, 0x00, 0x04, 0x00, 0x0D, 0x00,
                    0x03, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
  EXPECT_EQ(Slice(image, 446, 16), entry);
  EXPECT_EQ(Slice(image, 462, 48), Bytes(48, 0));  // entries 2 to 4 unused
  EXPECT_EQ(image[510], 0x55);
  EXPECT_EQ(image[511], 0xAA);
  EXPECT_EQ(Slice(image, 512, 1024), Bytes(1024, 0));

  const Bytes patched{0xEB, 0x00, 0x90, 0x4D};
  EXPECT_EQ(Slice(image, 1536, 4), patched);
  EXPECT_EQ(Slice(image, 1540, 4996), Slice(unit.volume, 4, 4996));
}

TEST(MakeUnitImage, TypeEndAddressAndUnpatchedVolume) {
  mk::UnitVolume unit;
  unit.volume = Pattern(20000 * 512, 8);
  unit.parType = 0x01;
  unit.patchBootSignature = false;
  const Bytes image = mk::MakeUnitImage(unit);
  EXPECT_EQ(image[446 + 4], 0x01);
  // Last sector 20002 = cylinder 39 (39 x 512 = 19968), head 1, sector 3:
  // cylinder/sector word 0x2703.
  EXPECT_EQ(image[446 + 5], 1);
  EXPECT_EQ(Le(image, 446 + 6, 2), 0x2703u);
  EXPECT_EQ(Le(image, 446 + 12, 4), 20000u);
  EXPECT_EQ(Slice(image, 1536, unit.volume.size()), unit.volume);
}

TEST(MakeUnitImage, RefusesAVolumeTooShortToPatch) {
  mk::UnitVolume unit;
  unit.volume = Bytes(3, 0);
  EXPECT_THROW(mk::MakeUnitImage(unit), std::invalid_argument);
  unit.patchBootSignature = false;
  EXPECT_EQ(mk::MakeUnitImage(unit).size(), 1539u);
}

TEST(AddUnits, MountTableInBlockOneAndUnitsBackToBack) {
  mk::FlashSpec plan;
  plan.fsBlockSize = 0x800;
  std::vector<mk::UnitVolume> units(2);
  units[0].mountPath = "/";
  units[0].volume = Pattern(3000, 1);  // 4536 bytes with its table: 3 blocks
  units[1].mountPath = "/abc";
  units[1].volume = Pattern(512, 2);  // 2048 bytes: exactly 1 block
  units[1].parType = 0x01;

  EXPECT_EQ(mk::AddUnits(plan, units), 6u);
  EXPECT_EQ(plan.mountTableBlock, 1u);
  ASSERT_EQ(plan.logicalBlocks.size(), 5u);
  EXPECT_EQ(plan.logicalBlocks.at(1), mk::MakeMountTable({{"/", 2, 3, {}}, {"/abc", 5, 1, {}}}, 0x800));
  Bytes first;
  for (std::uint32_t n = 2; n <= 4; ++n) {
    const Bytes& block = plan.logicalBlocks.at(n);
    first.insert(first.end(), block.begin(), block.end());
  }
  EXPECT_EQ(Slice(first, 0, 4536), mk::MakeUnitImage(units[0]));
  EXPECT_EQ(Slice(first, 4536, 3 * 0x800 - 4536), Bytes(3 * 0x800 - 4536, 0)) << "the last block padded with zeros";
  EXPECT_EQ(plan.logicalBlocks.at(5), mk::MakeUnitImage(units[1]));

  // Through a whole dump: each unit at (start - 1) x fs_block size.
  const Decoded decoded = Decode(mk::BuildDump(plan));
  ASSERT_GE(decoded.image.size(), 5u * 0x800);
  EXPECT_EQ(Slice(decoded.image, 0x800, 4536), mk::MakeUnitImage(units[0]));
  EXPECT_EQ(Slice(decoded.image, 4 * 0x800, 0x800), mk::MakeUnitImage(units[1]));
  EXPECT_EQ(decoded.blockMap.at(1) & 0xFFFFFFu, 1u);
}

TEST(AddUnits, StartsWhereAskedAndRefusesTakenBlocks) {
  mk::FlashSpec plan;
  plan.fsBlockSize = 0x800;
  mk::UnitVolume unit{"/x", Pattern(100, 3), 0x04, true};
  EXPECT_EQ(mk::AddUnits(plan, {unit}, 10), 11u);
  EXPECT_EQ(plan.logicalBlocks.at(1), mk::MakeMountTable({{"/x", 10, 1, {}}}, 0x800));
  EXPECT_TRUE(plan.logicalBlocks.contains(10));

  mk::FlashSpec taken;
  taken.logicalBlocks[3] = Bytes(16, 1);
  EXPECT_THROW(mk::AddUnits(taken, {unit, unit}), std::invalid_argument);
  mk::FlashSpec mountTaken;
  mountTaken.logicalBlocks[1] = Bytes(16, 1);
  EXPECT_THROW(mk::AddUnits(mountTaken, {unit}), std::invalid_argument);
  mk::FlashSpec low;
  EXPECT_THROW(mk::AddUnits(low, {unit}, 1), std::invalid_argument);
  EXPECT_THROW(mk::AddUnits(low, {unit}, 0x10000), std::invalid_argument);
}

}  // namespace
