// The load pass: segments read into the raw image, NAND spare areas stripped
// in place, the skips between segments, short files, the 0xFF tail, the log
// file and the fs_block count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "tool/run_state.h"
#include "rawimage/rawimage.h"
#include "support/test_support.h"

namespace quillex {
namespace {

using test::CaseName;

using test::Bytes;
using test::Lines;

constexpr const char* kSmallRebuild = "Rebuilding NAND segment. PageData: $200, PageSpare: $10...";
constexpr const char* kLargeRebuild = "Rebuilding NAND segment. PageData: $800, PageSpare: $40...";

// splitmix64: a small, well-known generator, so every layout can be replayed
// from its seed.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
};

Bytes RandomBytes(std::size_t n, std::uint64_t seed) {
  SplitMix64 rng{seed};
  Bytes b(n);
  for (auto& byte : b) byte = static_cast<std::uint8_t>(rng.Next() >> 56);
  return b;
}

// Eight upper-case hex digits, formatted independently of the tool's own routine.
std::string Hex8(std::uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

std::string SegmentLine(std::size_t i, std::uint32_t length) {
  return "Loading seg0" + std::to_string(i) + "[$" + Hex8(length) + "]...";
}

SegmentRecord Seg(std::uint32_t start, std::uint32_t end, std::uint32_t pageType) {
  return SegmentRecord{start, end, 0x800, pageType};
}

// ---------------------------------------------------------------------------
// StripSpareAreas on its own.

struct StripCase {
  friend void PrintTo(const StripCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint32_t data;
  std::uint32_t page;
  std::uint32_t got;
};

class StripSpare : public testing::TestWithParam<StripCase> {};

TEST_P(StripSpare, MovesEveryStartedPageWhole) {
  const StripCase& c = GetParam();
  const std::uint32_t pages = c.got == 0 ? 1 : (c.got + c.page - 1) / c.page;
  constexpr std::size_t kAt = 40;  // the segment's place in the buffer
  const Bytes before = RandomBytes(kAt + std::size_t{pages} * c.page + 64, c.got + c.page);
  Bytes buffer = before;

  const std::uint32_t kept = StripSpareAreas(buffer, kAt, c.got, c.data, c.page);

  EXPECT_EQ(kept, pages * c.data);
  for (std::size_t i = 0; i < kAt; ++i) ASSERT_EQ(buffer[i], before[i]) << "before the segment, byte " << i;
  // Page k's data lands at k * D, taken from k * P, partial page or not.
  for (std::size_t k = 0; k < pages; ++k) {
    for (std::size_t j = 0; j < c.data; ++j) {
      ASSERT_EQ(buffer[kAt + k * c.data + j], before[kAt + k * c.page + j]) << "page " << k << " byte " << j;
    }
  }
  // Beyond the kept data nothing is written.
  for (std::size_t i = kAt + kept; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], before[i]) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, StripSpare,
    testing::Values(StripCase{"Small_NothingRead", 512, 528, 0}, StripCase{"Small_OneByte", 512, 528, 1},
                    StripCase{"Small_DataOfOnePage", 512, 528, 512},
                    StripCase{"Small_OnePageLessOneSpareByte", 512, 528, 527},
                    StripCase{"Small_OneWholePage", 512, 528, 528},
                    StripCase{"Small_OneByteIntoSecondPage", 512, 528, 529},
                    StripCase{"Small_TenWholePages", 512, 528, 5280},
                    StripCase{"Small_PartialTenthPage", 512, 528, 5000},
                    StripCase{"Large_NothingRead", 2048, 2112, 0}, StripCase{"Large_OneByte", 2048, 2112, 1},
                    StripCase{"Large_OneWholePage", 2048, 2112, 2112},
                    StripCase{"Large_OneByteIntoSecondPage", 2048, 2112, 2113},
                    StripCase{"Large_ThreePagesPartialLast", 2048, 2112, 2 * 2112 + 100},
                    StripCase{"Large_FourWholePages", 2048, 2112, 4 * 2112}),
    CaseName());

// ---------------------------------------------------------------------------
// LoadSegments on dump files.

class SegmentLoading : public testing::Test {
 protected:
  SegmentLoading() { s.EntryName = dir / "phone.raw"; }

  // Loads `file` with the given (already ordered) segment table; returns the console.
  std::string Load(const Bytes& file, const std::vector<SegmentRecord>& segments,
                   std::uint32_t fsBlockSize = 0x800) {
    Prepare(file, segments, fsBlockSize);
    LoadSegments(s, s);
    return s.Console.Text();
  }
  void Prepare(const Bytes& file, const std::vector<SegmentRecord>& segments, std::uint32_t fsBlockSize) {
    test::WriteFile(s.EntryName, file);
    Describe(static_cast<std::uint32_t>(file.size()), segments, fsBlockSize);
  }
  // What the header pass leaves behind for a file of `size` bytes.
  void Describe(std::uint32_t size, const std::vector<SegmentRecord>& segments, std::uint32_t fsBlockSize) {
    s.EntrySize = size;
    s.SegmentTable = segments;
    s.SegmentCount = static_cast<std::uint16_t>(segments.size());
    s.FsBlockSize = fsBlockSize;
  }
  std::string Opening() const {
    return Lines({"Loading entry file " + s.EntryName + " to memory...", "Alloc read buffer..."});
  }
  std::uint8_t Raw(std::size_t i) const { return s.RawImage.data()[i]; }
  // Checks RawImage[at, at + n) against expected bytes.
  void ExpectRaw(std::size_t at, const Bytes& expected, std::size_t from, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(Raw(at + i), expected[from + i]) << "RawImage byte " << at + i;
    }
  }
  void ExpectRawFilled(std::size_t from, std::size_t to, std::uint8_t value) const {
    for (std::size_t i = from; i < to; ++i) ASSERT_EQ(Raw(i), value) << "RawImage byte " << i;
  }

  test::TempDir dir;
  RunState s;
};

// A file of `pages` small pages whose spare areas are 0xEE; returns the page data too.
Bytes SmallPagedFile(std::size_t pages, Bytes& data) {
  data = RandomBytes(pages * 512, pages);
  Bytes file;
  for (std::size_t k = 0; k < pages; ++k) {
    file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(k * 512),
                data.begin() + static_cast<std::ptrdiff_t>((k + 1) * 512));
    file.insert(file.end(), 16, 0xEE);
  }
  return file;
}

TEST_F(SegmentLoading, SmallPagesExactMultipleKeepThePageData) {
  Bytes data;
  const Bytes file = SmallPagedFile(8, data);  // 8 x 528 = $1080 bytes
  const std::string text = Load(file, {Seg(0, 0x107F, 18)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x1080) + kSmallRebuild +
                      Lines({"$00001000 bytes", "OK! Read 00001000 bytes", "RAW image contain: $00000002 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 0x1000u);
  EXPECT_EQ(s.RawBlockCount, 2u);
  ExpectRaw(0, data, 0, 0x1000);
  ExpectRawFilled(0x1000, 0x1080, 0xFF);
  EXPECT_GE(s.RawImage.size(), file.size() + 1280);
}

TEST_F(SegmentLoading, SmallPagesOf4MibStartAPartialLastPage) {
  // $400000 bytes hold 7,943 whole pages of 528 and 400 bytes of page 7,944.
  const std::uint32_t kSegment = 0x400000;
  const Bytes file = RandomBytes(kSegment + 0x2000, 7);
  const std::string text = Load(file, {Seg(0, kSegment - 1, 18)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x400000) + kSmallRebuild +
                      Lines({"$003E1000 bytes", "OK! Read 003E1000 bytes", "RAW image contain: $000007C2 fs_block(s)"}));
  ASSERT_EQ(s.RawLength, 0x3E1000u);
  for (std::size_t k = 0; k < 7943; ++k) ExpectRaw(k * 512, file, k * 528, 512);
  ExpectRaw(7943 * 512, file, 7943 * 528, 400);
  // The rest of the last page was never read: it is what the buffer held, zero.
  ExpectRawFilled(7943 * 512 + 400, 0x3E1000, 0x00);
  ExpectRawFilled(0x3E1000, file.size(), 0xFF);
}

TEST_F(SegmentLoading, UnpagedSegmentIsReadAsItIs) {
  const Bytes file = RandomBytes(5000, 3);
  const std::string text = Load(file, {Seg(0x00100000, 0x00100000 + 2999, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 3000) +
                      Lines({"$00000BB8 bytes", "OK! Read 00000BB8 bytes", "RAW image contain: $00000001 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 3000u);
  ExpectRaw(0, file, 0, 3000);
  ExpectRawFilled(3000, 5000, 0x00);
}

TEST_F(SegmentLoading, OtherPageTypesAreNotStripped) {
  const Bytes file = RandomBytes(2112 * 2, 4);
  const std::string text = Load(file, {Seg(0, 2112 * 2 - 1, 0x00010012)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x1080) +
                      Lines({"$00001080 bytes", "OK! Read 00001080 bytes", "RAW image contain: $00000002 fs_block(s)"}));
  ExpectRaw(0, file, 0, file.size());
}

TEST_F(SegmentLoading, FileShorterThanTheFirstSegmentEndsTheLoop) {
  const Bytes file = RandomBytes(5000, 5);
  const std::string text = Load(file, {Seg(0, 0xFFFF, 0), Seg(0x10000, 0x1FFFF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x10000) +
                      Lines({"$00001388 bytes", "OK! Read 00001388 bytes", "RAW image contain: $00000002 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 5000u);
  EXPECT_EQ(s.RawBlockCount, 2u);
  ExpectRaw(0, file, 0, 5000);
}

TEST_F(SegmentLoading, ContiguousSegmentAfterStrippedOneReadsOnWhereTheReadStopped) {
  Bytes data;
  Bytes file = SmallPagedFile(2, data);  // 1,056 bytes of pages
  const Bytes tail = RandomBytes(300, 11);
  file.insert(file.end(), tail.begin(), tail.end());  // the second segment, then 200 more bytes
  const std::string text = Load(file, {Seg(0, 1055, 18), Seg(1056, 1155, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1056) + kSmallRebuild +
                      Lines({"$00000400 bytes", "Skiping $00000000"}) + SegmentLine(1, 100) +
                      Lines({"$00000064 bytes", "OK! Read 00000464 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 1124u);
  ExpectRaw(0, data, 0, 1024);
  ExpectRaw(1024, file, 1056, 100);  // not the stripped pages read a second time
  ExpectRawFilled(1124, file.size(), 0xFF);
}

TEST_F(SegmentLoading, GapAfterUnpagedSegmentIsSkipped) {
  const Bytes file = RandomBytes(8548, 12);
  const std::string text = Load(file, {Seg(0, 999, 0), Seg(0x2000, 0x20FF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1000) + Lines({"$000003E8 bytes", "Skiping $00001C18"}) +
                      SegmentLine(1, 256) +
                      Lines({"$00000100 bytes", "OK! Read 000004E8 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  ExpectRaw(0, file, 0, 1000);
  ExpectRaw(1000, file, 0x2000, 256);
  ExpectRawFilled(1256, file.size(), 0x00);
}

TEST_F(SegmentLoading, GapAfterStrippedSegmentIsMeasuredFromTheFilePosition) {
  // Two large pages: $1080 bytes in the file, $1000 in memory. The gap of $F80
  // takes the file position from $1080 to $2000.
  const Bytes file = RandomBytes(8500, 13);
  const std::string text = Load(file, {Seg(0, 0x107F, 2), Seg(0x2000, 0x20FF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x1080) + kLargeRebuild +
                      Lines({"$00001000 bytes", "Skiping $00000F80"}) + SegmentLine(1, 256) +
                      Lines({"$00000100 bytes", "OK! Read 00001100 bytes", "RAW image contain: $00000002 fs_block(s)"}));
  ExpectRaw(0, file, 0, 2048);
  ExpectRaw(2048, file, 2112, 2048);
  ExpectRaw(0x1000, file, 0x2000, 256);
  ExpectRawFilled(0x1100, file.size(), 0xFF);
}

// Every byte the load kept leads back to the dump byte it was read from,
// through the page geometry, and no two to the same one; the spare areas,
// the skipped gaps and the tail of a page read only partly lead nowhere.
TEST_F(SegmentLoading, KeptBytesLeadBackToTheirPlaceInTheDump) {
  struct Layout {
    const char* name;
    std::size_t fileSize;
    std::vector<SegmentRecord> segments;
    std::size_t held;  // dump bytes that are page data (or unpaged data) read
  };
  // Unpaged 1,000 bytes, a gap to $2000, small pages cut 100 bytes into the
  // third page; large pages, a contiguous unpaged segment, large pages cut
  // 30 bytes into the spare area of the second page.
  const Layout layouts[] = {
      {"unpaged_gap_small_pages", 0x2000 + 2 * 528 + 100, {Seg(0, 999, 0), Seg(0x2000, 0x2000 + 10 * 528 - 1, 18)},
       1000 + 2 * 512 + 100},
      {"large_pages_unpaged_large_pages", 2 * 2112 + 700 + 2112 + 2048 + 30,
       {Seg(0, 2 * 2112 - 1, 2), Seg(2 * 2112, 2 * 2112 + 699, 0), Seg(2 * 2112 + 700, 2 * 2112 + 700 + 4 * 2112 - 1, 2)},
       2 * 2048 + 700 + 2 * 2048},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const Bytes file = RandomBytes(layout.fileSize, layout.fileSize);
    Load(file, layout.segments);
    std::vector<bool> taken(file.size(), false);
    std::size_t held = 0;
    for (std::uint32_t o = 0; o < s.RawLength; ++o) {
      std::uint64_t at = 0;
      if (!DumpOffset(s, o, at)) continue;
      ASSERT_LT(at, file.size()) << "RawImage byte " << o;
      ASSERT_FALSE(taken[at]) << "dump byte " << at << " named twice";
      ASSERT_EQ(Raw(o), file[at]) << "RawImage byte " << o << " from dump byte " << at;
      taken[at] = true;
      ++held;
    }
    EXPECT_EQ(held, layout.held);
    // From each block's start, the bytes held run on to the first not held.
    for (std::uint32_t o = 0; o < s.RawLength; o += 512) {
      std::uint32_t run = 0;
      std::uint64_t at = 0;
      while (run < 0x800 && DumpOffset(s, o + run, at)) ++run;
      EXPECT_EQ(BytesInDump(s, o, 0x800), run) << "from RawImage byte " << o;
    }
  }
}

TEST_F(SegmentLoading, GapReachingPastTheFileIsNotSkipped) {
  const Bytes file = RandomBytes(1500, 14);
  const std::string text = Load(file, {Seg(0, 999, 0), Seg(0x100000, 0x1000FF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1000) + Lines({"$000003E8 bytes"}) + SegmentLine(1, 256) +
                      Lines({"$00000100 bytes", "OK! Read 000004E8 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  ExpectRaw(1000, file, 1000, 256);  // read on from where the first read stopped
}

TEST_F(SegmentLoading, GapToTheVeryEndOfTheFileIsSkipped) {
  // Position 1000 + gap 500 = 1500 = the file size: allowed; the next read gets nothing.
  const Bytes file = RandomBytes(1500, 15);
  const std::string text = Load(file, {Seg(0, 999, 0), Seg(1500, 1599, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1000) + Lines({"$000003E8 bytes", "Skiping $000001F4"}) +
                      SegmentLine(1, 100) +
                      Lines({"$00000000 bytes", "OK! Read 000003E8 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  ExpectRawFilled(1000, 1500, 0x00);
}

TEST_F(SegmentLoading, OverlappingSegmentsWrapTheGapBackwards) {
  // Second start below the first end: the gap wraps to $FFFFFE0C and the
  // position to 1000 + gap = 500 (mod 2^32).
  const Bytes file = RandomBytes(2000, 16);
  const std::string text = Load(file, {Seg(0, 999, 0), Seg(500, 599, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1000) + Lines({"$000003E8 bytes", "Skiping $FFFFFE0C"}) +
                      SegmentLine(1, 100) +
                      Lines({"$00000064 bytes", "OK! Read 0000044C bytes", "RAW image contain: $00000000 fs_block(s)"}));
  ExpectRaw(1000, file, 500, 100);
}

TEST_F(SegmentLoading, PartialPageTailTakesTheFillOfAnEarlierSegment) {
  // Segment 1 reads one page and 72 bytes: its second page is moved whole, and
  // the bytes after the 72 hold the 0xFF left by segment 0's fill.
  const Bytes file = RandomBytes(528 + 600 + 1000, 17);
  const std::string text = Load(file, {Seg(0, 527, 18), Seg(528, 528 + 599, 18)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 528) + kSmallRebuild + Lines({"$00000200 bytes", "Skiping $00000000"}) +
                      SegmentLine(1, 600) + kSmallRebuild +
                      Lines({"$00000400 bytes", "OK! Read 00000600 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  ExpectRaw(0, file, 0, 512);
  ExpectRaw(512, file, 528, 512);
  ExpectRaw(1024, file, 1056, 72);
  ExpectRawFilled(1024 + 72, 1536, 0xFF);
  ExpectRawFilled(1536, file.size(), 0xFF);
}

TEST_F(SegmentLoading, FileEndingOneByteIntoASmallPageCountsTheWholePage) {
  const Bytes file{0x7C};
  const std::string text = Load(file, {Seg(0, 0x3FFF, 18), Seg(0x4000, 0x4FFF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 0x4000) + kSmallRebuild +
                      Lines({"$00000200 bytes", "OK! Read 00000200 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, s.EntrySize + 511);
  EXPECT_EQ(Raw(0), 0x7C);
  ExpectRawFilled(1, 512, 0x00);
}

TEST_F(SegmentLoading, FileEndingOneByteIntoASecondSegmentsPage) {
  const Bytes file = RandomBytes(1001, 18);
  const std::string text = Load(file, {Seg(0, 999, 0), Seg(1000, 1000 + 5279, 18), Seg(0x10000, 0x10FFF, 0)});
  EXPECT_EQ(text, Opening() + SegmentLine(0, 1000) + Lines({"$000003E8 bytes", "Skiping $00000000"}) +
                      SegmentLine(1, 5280) + kSmallRebuild +
                      Lines({"$00000200 bytes", "OK! Read 000005E8 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 1512u);
  EXPECT_EQ(s.RawLength - s.EntrySize, 511u);
  ExpectRaw(0, file, 0, 1001);
  ExpectRawFilled(1001, 1512, 0x00);
}

TEST_F(SegmentLoading, NoSegmentsLoadNothing) {
  const Bytes file = RandomBytes(3000, 19);
  const std::string text = Load(file, {});
  EXPECT_EQ(text, Opening() + Lines({"OK! Read 00000000 bytes", "RAW image contain: $00000000 fs_block(s)"}));
  EXPECT_EQ(s.RawLength, 0u);
  EXPECT_EQ(s.RawBlockCount, 0u);
  ASSERT_GE(s.RawImage.size(), 3000u + 1280u);
  ExpectRawFilled(0, s.RawImage.size(), 0x00);
}

TEST_F(SegmentLoading, BlockCountDropsAPartialBlock) {
  const Bytes file = RandomBytes(5000, 20);
  Load(file, {Seg(0, 4999, 0)}, 512);
  EXPECT_EQ(s.RawBlockCount, 9u);  // 5,000 / 512
  EXPECT_TRUE(s.Console.Text().ends_with("RAW image contain: $00000009 fs_block(s)\r\n"));
}

TEST_F(SegmentLoading, LogFileIsCreatedEmptyReplacingAnOldOne) {
  test::WriteFile(s.EntryName + ".log", std::string("an old log\r\n"));
  Load(RandomBytes(1000, 21), {Seg(0, 999, 0)});
  ASSERT_TRUE(test::Exists(s.EntryName + ".log"));
  EXPECT_EQ(std::filesystem::file_size(s.EntryName + ".log"), 0u);
}

TEST_F(SegmentLoading, LogThatCannotBeCreatedIsFatal) {
  std::filesystem::create_directory(s.EntryName + ".log");
  Prepare(RandomBytes(1000, 22), {Seg(0, 999, 0)}, 0x800);
  EXPECT_THROW(LoadSegments(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(), Opening() + SegmentLine(0, 1000) +
                                  Lines({"$000003E8 bytes", "OK! Read 000003E8 bytes",
                                         "Fatal error while creating log! Check filename and disk space"}));
}

TEST_F(SegmentLoading, LogInAReadOnlyFolderIsFatal) {
  const auto folder = dir.path() / "readonly";
  std::filesystem::create_directory(folder);
  s.EntryName = (folder / "phone.raw").string();
  test::WriteFile(s.EntryName, RandomBytes(1000, 23));
  std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  {
    std::ofstream probe(folder / "probe");
    if (probe) GTEST_SKIP() << "this user can write into read-only folders";
  }
  Describe(1000, {Seg(0, 999, 0)}, 0x800);
  EXPECT_THROW(LoadSegments(s, s), FatalStop);
  EXPECT_TRUE(s.Console.Text().ends_with(
      "OK! Read 000003E8 bytes\r\nFatal error while creating log! Check filename and disk space\r\n"));
}

TEST_F(SegmentLoading, ReadFailureIsFatalOnTheSegmentLine) {
  s.EntryName = dir / "folder.raw";
  std::filesystem::create_directory(s.EntryName);
  Describe(100, {Seg(0, 999, 0)}, 0x800);
  EXPECT_THROW(LoadSegments(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(),
            Opening() + SegmentLine(0, 1000) + Lines({"Fatal error while BlockRead! Check filename and disk space"}));
}

TEST_F(SegmentLoading, MissingFileIsAnInputOutputFailure) {
  s.EntryName = dir / "gone.raw";
  Describe(100, {Seg(0, 99, 0)}, 0x800);
  EXPECT_THROW(LoadSegments(s, s), IoFailure);
  EXPECT_EQ(s.Console.Text(), Opening());
  EXPECT_FALSE(test::Exists(s.EntryName + ".log"));
}

// ---------------------------------------------------------------------------
// Many random layouts against a plain, eager model of the load loop.

struct Model {
  Bytes raw;  // with room for any page move
  std::uint32_t rawLength = 0;
  std::string console;
};

// The load loop written as plainly as possible: one move per page, the 0xFF
// tail filled at once after every stripped segment, and the skip taken from
// the position where the file read stopped.
Model LoadModel(const Bytes& file, const std::vector<SegmentRecord>& segments, std::uint32_t blockSize,
                const std::string& name) {
  const auto entrySize = static_cast<std::uint32_t>(file.size());
  Model m;
  m.raw.assign(std::size_t{entrySize} + 4096, 0);
  m.console = Lines({"Loading entry file " + name + " to memory...", "Alloc read buffer..."});
  std::uint32_t position = 0;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const SegmentRecord& seg = segments[i];
    const std::uint32_t length = seg.End - seg.Start + 1;
    m.console += SegmentLine(i, length);
    const std::uint32_t want = std::min(length, entrySize - m.rawLength);
    std::uint32_t got = std::min(want, entrySize - position);
    if (got > 0) std::memcpy(&m.raw[m.rawLength], file.data() + position, got);
    position += got;
    std::uint32_t data = 0;
    std::uint32_t page = 0;
    if (seg.PageType == 18) {
      data = 512;
      page = 528;
      m.console += kSmallRebuild;
    } else if (seg.PageType == 2) {
      data = 2048;
      page = 2112;
      m.console += kLargeRebuild;
    }
    if (page != 0) {
      std::uint32_t src = 0;
      std::uint32_t dst = 0;
      do {
        std::memmove(&m.raw[m.rawLength + dst], &m.raw[m.rawLength + src], data);
        src += page;
        dst += data;
      } while (src < got);
      got = dst;
      for (std::size_t x = std::size_t{m.rawLength} + dst; x < entrySize; ++x) m.raw[x] = 0xFF;
    }
    m.rawLength += got;
    m.console += Lines({"$" + Hex8(got) + " bytes"});
    if (m.rawLength >= entrySize) break;
    if (i + 1 < segments.size()) {
      const std::uint32_t gap = segments[i + 1].Start - seg.End - 1;
      const std::uint32_t target = position + gap;
      if (target <= entrySize) {
        m.console += Lines({"Skiping $" + Hex8(gap)});
        position = target;
      }
    }
  }
  m.console += Lines({"OK! Read " + Hex8(m.rawLength) + " bytes",
                      "RAW image contain: $" + Hex8(m.rawLength / blockSize) + " fs_block(s)"});
  return m;
}

std::uint32_t RandomLength(SplitMix64& rng, std::uint32_t pageType) {
  const std::uint32_t page = pageType == 18 ? 528 : pageType == 2 ? 2112 : 1000;
  switch (rng.Below(8)) {
    case 0: return page * (1 + rng.Below(8));                            // whole pages
    case 1: return page * (1 + rng.Below(8)) + 1 + rng.Below(page - 1);  // partial last page
    case 2: return 1 + rng.Below(64);                                    // tiny
    case 3: return 0;                                                    // end = start - 1
    case 4: return 0xFFFFF000u + rng.Below(0x1000);                      // end far below start
    default: return 1 + rng.Below(12000);
  }
}

std::uint32_t RandomGap(SplitMix64& rng) {
  switch (rng.Below(6)) {
    case 0:
    case 1: return 0;                                // contiguous
    case 2: return 1 + rng.Below(3000);              // a hole
    case 3: return 0u - (1 + rng.Below(3000));       // overlap: wraps
    case 4: return 0x100000u + rng.Below(0x100000);  // beyond any file here
    default: return rng.Below(200);
  }
}

TEST(SegmentLoadingModel, RandomLayoutsMatchThePlainLoadLoop) {
  test::TempDir dir;
  const std::string name = dir / "random.raw";
  constexpr std::uint32_t kTypes[] = {18, 2, 0, 7};
  int checked = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    SplitMix64 rng{seed * 0x2545F4914F6CDD1Dull};
    const std::size_t count = 1 + rng.Below(10);
    std::vector<SegmentRecord> segments;
    std::uint32_t start = rng.Below(0x100000);
    std::uint64_t natural = 0;  // file bytes the layout asks for, roughly
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t type = kTypes[rng.Below(4)];
      const std::uint32_t length = RandomLength(rng, type);
      const std::uint32_t end = start + length - 1;
      segments.push_back(SegmentRecord{start, end, 0x800, type});
      const std::uint32_t gap = RandomGap(rng);
      if (length < 0x100000) natural += length;
      if (gap < 0x100000) natural += gap;
      start = end + 1 + gap;
    }
    // Often the file ends early, anywhere.
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(natural, 150000));
    if (rng.Below(3) == 0 && size > 0) size = rng.Below(static_cast<std::uint32_t>(size) + 1);
    if (rng.Below(10) == 0) size += rng.Below(5000);
    const Bytes file = RandomBytes(size, seed);
    const std::uint32_t blockSize = rng.Below(2) == 0 ? 512 : 2048;

    const Model expected = LoadModel(file, segments, blockSize, name);

    RunState s;
    s.EntryName = name;
    test::WriteFile(name, file);
    s.EntrySize = static_cast<std::uint32_t>(file.size());
    s.SegmentTable = segments;
    s.SegmentCount = static_cast<std::uint16_t>(segments.size());
    s.FsBlockSize = blockSize;
    LoadSegments(s, s);

    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(count) + " segments, file " +
                 std::to_string(size) + " bytes");
    ASSERT_EQ(s.RawLength, expected.rawLength);
    ASSERT_EQ(s.RawBlockCount, expected.rawLength / blockSize);
    ASSERT_EQ(s.Console.Text(), expected.console);
    const std::size_t compare = std::max<std::size_t>(s.EntrySize, s.RawLength);
    ASSERT_GE(s.RawImage.size(), compare);
    ASSERT_GE(s.RawImage.size(), std::size_t{s.EntrySize} + 1280);
    for (std::size_t i = 0; i < compare; ++i) {
      ASSERT_EQ(s.RawImage.data()[i], expected.raw[i]) << "RawImage byte " << i;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 400);
}

}  // namespace
}  // namespace quillex
