// The header pass: BABE refusal, FS description block checks, the segment
// listing on the console, the ordered segment table and the fs_block size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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

struct Record {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t erase = 0;
  std::uint32_t fsBlockSize = 0;
  std::uint32_t pageType = 0;
};

using quillex::test::Put16;
using quillex::test::Put32;

// A dump head with the given fields. Every byte the header pass must not read
// holds 0xA5, so a field taken from a wrong offset shows up in the listing.
Bytes Head(std::uint16_t marker, std::uint16_t version, std::uint16_t count,
           const std::vector<Record>& records, std::size_t fileSize = 8192) {
  Bytes b(std::max<std::size_t>(fileSize, 16 + 32 * records.size()), 0xA5);
  Put16(b, 0, marker);
  Put16(b, 2, version);
  Put16(b, 8, count);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::size_t r = 16 + 32 * i;
    Put32(b, r + 0, records[i].start);
    Put32(b, r + 8, records[i].end);
    Put32(b, r + 16, records[i].erase);
    Put32(b, r + 20, records[i].fsBlockSize);
    Put32(b, r + 26, records[i].pageType);
  }
  b.resize(fileSize);
  return b;
}

Bytes Dump(const std::vector<Record>& records) {
  return Head(3, 26, static_cast<std::uint16_t>(records.size()), records);
}

const Record kFirst4Mib{0x00000000, 0x003FFFFF, 0x00020000, 0x800, 0x12};

class HeaderStage : public testing::Test {
 protected:
  HeaderStage() { s.EntryName = dir / "phone.raw"; }

  // Runs the header pass on a dump written as phone.raw; returns the console.
  std::string Run(const Bytes& file) {
    Write(file);
    LoadRawHeader(s, s);
    return s.Console.Text();
  }
  std::string RunFatal(const Bytes& file) {
    Write(file);
    EXPECT_THROW(LoadRawHeader(s, s), FatalStop);
    return s.Console.Text();
  }
  void Write(const Bytes& file) { test::WriteFile(s.EntryName, file); }
  std::string Announce() const { return "Loading " + s.EntryName + " header..."; }

  test::TempDir dir;
  RunState s;
};

TEST_F(HeaderStage, ListsAFourMibSmallPageSegment) {
  const Bytes file = Dump({kFirst4Mib});
  EXPECT_EQ(Run(file),
            Announce() + Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0001",
                                "seg00: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0800 "
                                "type: $0012",
                                "Using fs_block size: $0800"}));
  EXPECT_EQ(s.EntrySize, file.size());
  EXPECT_EQ(s.FsVersion, 26);
  EXPECT_EQ(s.SegmentCount, 1);
  ASSERT_EQ(s.SegmentTable.size(), 1u);
  EXPECT_EQ(s.SegmentTable[0].Start, 0u);
  EXPECT_EQ(s.SegmentTable[0].End, 0x3FFFFFu);
  EXPECT_EQ(s.SegmentTable[0].FsBlockSize, 0x800u);
  EXPECT_EQ(s.SegmentTable[0].PageType, 0x12u);
  EXPECT_EQ(s.FsBlockSize, 0x800u);
  EXPECT_EQ(s.RawImage.size(), 0u) << "the header buffer is released";
}

// ---------------------------------------------------------------------------
// Refused files.

TEST_F(HeaderStage, BabeContainerIsRefusedWithTwoLines) {
  Bytes file = Dump({kFirst4Mib});
  file[0] = 0xBA;
  file[1] = 0xBE;
  EXPECT_EQ(RunFatal(file), Announce() + Lines({"ERROR: entry file have BABE-firmware format.",
                                                "Use vornak.exe tool first"}));
}

TEST_F(HeaderStage, BaFollowedByAnotherByteGoesOnToTheMarkerTest) {
  Bytes file = Dump({kFirst4Mib});
  file[0] = 0xBA;
  file[1] = 0x00;
  EXPECT_EQ(RunFatal(file),
            Announce() + Lines({"OK!", "FATAL: No FS description block found @ $00000000"}));
}

TEST_F(HeaderStage, BeBaIsNotTheContainer) {
  Bytes file = Dump({kFirst4Mib});
  file[0] = 0xBE;
  file[1] = 0xBA;
  EXPECT_EQ(RunFatal(file),
            Announce() + Lines({"OK!", "FATAL: No FS description block found @ $00000000"}));
}

struct MarkerCase {
  friend void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes file;
};

class RefusedMarker : public HeaderStage, public testing::WithParamInterface<MarkerCase> {};

TEST_P(RefusedMarker, StopsAfterOk) {
  EXPECT_EQ(RunFatal(GetParam().file),
            Announce() + Lines({"OK!", "FATAL: No FS description block found @ $00000000"}));
}

INSTANTIATE_TEST_SUITE_P(
    Markers, RefusedMarker,
    testing::Values(MarkerCase{"Zero", Head(0, 26, 1, {kFirst4Mib})},
                    MarkerCase{"Two", Head(2, 26, 1, {kFirst4Mib})},
                    MarkerCase{"Four", Head(4, 26, 1, {kFirst4Mib})},
                    MarkerCase{"ThreeInTheHighByte", Head(0x0300, 26, 1, {kFirst4Mib})},
                    MarkerCase{"ThreeWithHighByteSet", Head(0x0103, 26, 1, {kFirst4Mib})},
                    MarkerCase{"EmptyFile", Bytes{}},
                    MarkerCase{"OneByteFile02", Bytes{0x02}}),
    CaseName());

struct VersionCase {
  friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint16_t version;
  const char* shown;
};

class RefusedVersion : public HeaderStage, public testing::WithParamInterface<VersionCase> {};

TEST_P(RefusedVersion, ShowsTheVersionInDecimalThenStops) {
  const std::string text = RunFatal(Head(3, GetParam().version, 1, {kFirst4Mib}));
  EXPECT_EQ(text, Announce() + Lines({"OK!", std::string("Detected FS image version: ") + GetParam().shown,
                                      "FATAL: This version is not supported. Check entry file!"}));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, RefusedVersion,
    testing::Values(VersionCase{"Zero", 0, "0"}, VersionCase{"TwentyFive", 25, "25"},
                    VersionCase{"TwentySeven", 27, "27"},
                    VersionCase{"LowByte1AWithHighByte01", 0x011A, "282"},
                    VersionCase{"Max", 0xFFFF, "65535"}),
    CaseName());

TEST_F(HeaderStage, TwoByteFileReadsVersionZero) {
  EXPECT_EQ(RunFatal(Bytes{0x03, 0x00}),
            Announce() + Lines({"OK!", "Detected FS image version: 0",
                                "FATAL: This version is not supported. Check entry file!"}));
  EXPECT_EQ(s.EntrySize, 2u);
}

TEST_F(HeaderStage, MoreThanTenSegmentsIsFatalBeforeAnyListing) {
  const std::vector<Record> records(11, kFirst4Mib);
  EXPECT_EQ(RunFatal(Dump(records)),
            Announce() + Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 000B",
                                "FATAL: More than 10 fs_segments are not supported. Check entry file!"}));
}

TEST_F(HeaderStage, CountFFFFIsFatal) {
  EXPECT_EQ(RunFatal(Head(3, 26, 0xFFFF, {kFirst4Mib})),
            Announce() + Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: FFFF",
                                "FATAL: More than 10 fs_segments are not supported. Check entry file!"}));
}

TEST_F(HeaderStage, TenSegmentsAreAccepted) {
  std::vector<Record> records;
  for (std::uint32_t i = 0; i < 10; ++i) {
    records.push_back({i * 0x100000, i * 0x100000 + 0xFFFFF, 0x20000, 0x800, 0});
  }
  const std::string text = Run(Dump(records));
  EXPECT_NE(text.find("\r\nNumber of fs_segmments: 000A\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nseg09: $00900000-$009FFFFF (1Mb) erase: $00020000 fs_block: $0800 type: "
                      "$0000\r\nUsing fs_block size: $0800\r\n"),
            std::string::npos)
      << text;
  ASSERT_EQ(s.SegmentTable.size(), 10u);
  EXPECT_EQ(s.SegmentTable[9].Start, 0x900000u);
}

TEST_F(HeaderStage, MissingFileIsAnInputOutputFailure) {
  s.EntryName = dir / "absent.raw";
  EXPECT_THROW(LoadRawHeader(s, s), IoFailure);
  EXPECT_EQ(s.Console.Text(), Announce());
}

TEST_F(HeaderStage, UnreadableEntryIsAFatalBlockRead) {
  s.EntryName = dir / "folder.raw";
  std::filesystem::create_directory(s.EntryName);
  EXPECT_THROW(LoadRawHeader(s, s), FatalStop);
  EXPECT_EQ(s.Console.Text(),
            Announce() + Lines({"Fatal error while BlockRead! Check filename and disk space"}));
}

// ---------------------------------------------------------------------------
// The listing line of one segment.

struct LineCase {
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Record record;
  const char* line;
};

class SegmentLine : public HeaderStage, public testing::WithParamInterface<LineCase> {};

TEST_P(SegmentLine, ShowsTheRecord) {
  Record r = GetParam().record;
  const std::string text = Run(Dump({r}));
  EXPECT_NE(text.find(std::string("\r\n") + GetParam().line + "\r\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Records, SegmentLine,
    testing::Values(
        LineCase{"OneMibSegment", {0x00400000, 0x004FFFFF, 0x20000, 0x800, 2},
                 "seg00: $00400000-$004FFFFF (1Mb) erase: $00020000 fs_block: $0800 type: $0002"},
        LineCase{"OneByteOverFourMib", {0, 0x00400000, 0x20000, 0x800, 0},
                 "seg00: $00000000-$00400000 (5Mb) erase: $00020000 fs_block: $0800 type: $0000"},
        LineCase{"SingleByteSegment", {0x10, 0x10, 0, 0x200, 18},
                 "seg00: $00000010-$00000010 (1Mb) erase: $00000000 fs_block: $0200 type: $0012"},
        LineCase{"EndBelowStartWraps", {0x00300000, 0x00100000, 0x20000, 0x800, 0},
                 "seg00: $00300000-$00100000 (4095Mb) erase: $00020000 fs_block: $0800 type: $0000"},
        LineCase{"EndOneBelowStartWraps", {0x00400000, 0x003FFFFF, 0x20000, 0x800, 0},
                 "seg00: $00400000-$003FFFFF (4096Mb) erase: $00020000 fs_block: $0800 type: $0000"},
        LineCase{"WholeAddressSpace", {0, 0xFFFFFFFF, 0xFFFFFFFF, 0x800, 0},
                 "seg00: $00000000-$FFFFFFFF (4096Mb) erase: $FFFFFFFF fs_block: $0800 type: $0000"},
        LineCase{"EraseShownInFull", {0xA0000000, 0xA01FFFFF, 0xDEADBEEF, 0x1000, 7},
                 "seg00: $A0000000-$A01FFFFF (2Mb) erase: $DEADBEEF fs_block: $1000 type: $0007"},
        LineCase{"PageTypeShownByLow16Bits", {0, 0xFFFFF, 0x20000, 0x800, 0x00010012},
                 "seg00: $00000000-$000FFFFF (1Mb) erase: $00020000 fs_block: $0800 type: $0012"}),
    CaseName());

TEST_F(HeaderStage, PageTypeIsKeptInFull) {
  Run(Dump({{0, 0xFFFFF, 0x20000, 0x800, 0x00010012}}));
  EXPECT_EQ(s.SegmentTable[0].PageType, 0x00010012u);
}

// ---------------------------------------------------------------------------
// The fs_block size.

TEST_F(HeaderStage, RecordZeroWithoutSizeUsesTheDefault) {
  const std::string text = Run(Dump({{0, 0x3FFFFF, 0x20000, 0, 0x12}, {0x400000, 0x7FFFFF, 0x20000, 0x800, 2}}));
  EXPECT_EQ(text, Announce() +
                      Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0002",
                             "seg00: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0000 type: $0012",
                             "WARNING: Invalid fs_block size. Use default",
                             "seg01: $00400000-$007FFFFF (4Mb) erase: $00020000 fs_block: $0800 type: $0002",
                             "Using fs_block size: $0800"}));
  EXPECT_EQ(s.FsBlockSize, 2048u);
}

TEST_F(HeaderStage, RecordOneWithoutSizeWarnsButRecordZeroDecides) {
  const std::string text = Run(Dump({{0, 0x3FFFFF, 0x20000, 0x200, 0x12}, {0x400000, 0x7FFFFF, 0x20000, 0, 2}}));
  EXPECT_EQ(text, Announce() +
                      Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0002",
                             "seg00: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0200 type: $0012",
                             "seg01: $00400000-$007FFFFF (4Mb) erase: $00020000 fs_block: $0000 type: $0002",
                             "WARNING: Invalid fs_block size. Use default", "Using fs_block size: $0200"}));
  EXPECT_EQ(s.FsBlockSize, 512u);
}

TEST_F(HeaderStage, SizeWithOnlyHighBitsIsNotZero) {
  // 65,536 shows as $0000 but is not "no size": no warning, used in full.
  const std::string text = Run(Dump({{0, 0x3FFFFF, 0x20000, 0x10000, 0}}));
  EXPECT_EQ(text, Announce() +
                      Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0001",
                             "seg00: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0000 type: $0000",
                             "Using fs_block size: $0000"}));
  EXPECT_EQ(s.FsBlockSize, 0x10000u);
}

TEST_F(HeaderStage, NoSegmentsUseTheDefaultSizeWithoutWarning) {
  const std::string text = Run(Dump({}));
  EXPECT_EQ(text, Announce() + Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0000",
                                      "Using fs_block size: $0800"}));
  EXPECT_EQ(s.SegmentCount, 0);
  EXPECT_TRUE(s.SegmentTable.empty());
  EXPECT_EQ(s.FsBlockSize, 2048u);
}

struct SizeCase {
  friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint32_t size;
  const char* shown;
  bool supported;
};

class BlockSize : public HeaderStage, public testing::WithParamInterface<SizeCase> {};

TEST_P(BlockSize, IsUsedOrRefusedAfterTheUsingLine) {
  const SizeCase& c = GetParam();
  const Bytes file = Dump({{0, 0x3FFFFF, 0x20000, c.size, 0}});
  const std::string using_line = std::string("Using fs_block size: $") + c.shown + "\r\n";
  if (c.supported) {
    const std::string text = Run(file);
    EXPECT_EQ(text.substr(text.size() - using_line.size()), using_line);
    EXPECT_EQ(s.FsBlockSize, c.size);
  } else {
    const std::string text = RunFatal(file);
    const std::string tail = using_line + "FATAL: Unsupported fs_block size. Check entry file!\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockSize,
    testing::Values(SizeCase{"Size512", 512, "0200", true}, SizeCase{"Size1024", 1024, "0400", true},
                    SizeCase{"Size2048", 2048, "0800", true}, SizeCase{"Size4096", 4096, "1000", true},
                    SizeCase{"Size65024", 65024, "FE00", true},
                    SizeCase{"Size65536", 65536, "0000", true},
                    SizeCase{"Size256", 256, "0100", false}, SizeCase{"Size511", 511, "01FF", false},
                    SizeCase{"Size513", 513, "0201", false}, SizeCase{"Size1000", 1000, "03E8", false},
                    SizeCase{"Size65537", 65537, "0001", false},
                    SizeCase{"Size66048", 66048, "0200", false},
                    SizeCase{"Size131072", 131072, "0000", false},
                    SizeCase{"SizeAllOnes", 0xFFFFFFFF, "FFFF", false}),
    CaseName());

// ---------------------------------------------------------------------------
// Ordering of the segment table.

TEST_F(HeaderStage, DescendingRecordsAreListedInFileOrderAndSwappedWhole) {
  const Record high{0x01000000, 0x01FFFFFF, 0x40000, 0x800, 2};
  const Record low{0x00000000, 0x003FFFFF, 0x20000, 0x200, 0x12};
  const std::string text = Run(Dump({high, low}));
  EXPECT_EQ(text, Announce() +
                      Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0002",
                             "seg00: $01000000-$01FFFFFF (16Mb) erase: $00040000 fs_block: $0800 type: $0002",
                             "seg01: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0200 type: $0012",
                             "Using fs_block size: $0800"}));
  ASSERT_EQ(s.SegmentTable.size(), 2u);
  EXPECT_EQ(s.SegmentTable[0].Start, 0u);
  EXPECT_EQ(s.SegmentTable[0].End, 0x3FFFFFu);
  EXPECT_EQ(s.SegmentTable[0].FsBlockSize, 0x200u);
  EXPECT_EQ(s.SegmentTable[0].PageType, 0x12u);
  EXPECT_EQ(s.SegmentTable[1].Start, 0x01000000u);
  EXPECT_EQ(s.SegmentTable[1].End, 0x01FFFFFFu);
  EXPECT_EQ(s.SegmentTable[1].FsBlockSize, 0x800u);
  EXPECT_EQ(s.SegmentTable[1].PageType, 2u);
  EXPECT_EQ(s.FsBlockSize, 0x800u) << "taken from the first record in the file";
}

TEST_F(HeaderStage, OrderingNeedsSeveralPassesAndComparesUnsigned) {
  Run(Dump({{0x80000000, 1, 0, 0x800, 0},
            {0x00300000, 2, 0, 0x800, 0},
            {0x00200000, 3, 0, 0x800, 0},
            {0x00000001, 4, 0, 0x800, 0}}));
  ASSERT_EQ(s.SegmentTable.size(), 4u);
  const std::uint32_t starts[] = {0x00000001, 0x00200000, 0x00300000, 0x80000000};
  const std::uint32_t ends[] = {4, 3, 2, 1};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(s.SegmentTable[i].Start, starts[i]) << i;
    EXPECT_EQ(s.SegmentTable[i].End, ends[i]) << i;
  }
}

TEST_F(HeaderStage, EqualStartsKeepTheirFileOrder) {
  Run(Dump({{5, 10, 0, 0x800, 0}, {1, 20, 0, 0x800, 0}, {5, 30, 0, 0x800, 0}, {5, 40, 0, 0x800, 0}}));
  ASSERT_EQ(s.SegmentTable.size(), 4u);
  EXPECT_EQ(s.SegmentTable[0].End, 20u);
  EXPECT_EQ(s.SegmentTable[1].End, 10u);
  EXPECT_EQ(s.SegmentTable[2].End, 30u);
  EXPECT_EQ(s.SegmentTable[3].End, 40u);
}

// ---------------------------------------------------------------------------
// Short files.

TEST_F(HeaderStage, FileShorterThanTheHeaderBufferReadsZerosBeyondItsEnd) {
  // 42 bytes: the record's fs_block size is in the file, its page type is not.
  Bytes file = Dump({{0, 0x3FFFFF, 0x20000, 0x800, 0x12}});
  file.resize(42);
  const std::string text = Run(file);
  EXPECT_EQ(text, Announce() +
                      Lines({"OK!", "Detected FS image version: 26", "Number of fs_segmments: 0001",
                             "seg00: $00000000-$003FFFFF (4Mb) erase: $00020000 fs_block: $0800 type: $0000",
                             "Using fs_block size: $0800"}));
  EXPECT_EQ(s.EntrySize, 42u);
  EXPECT_EQ(s.SegmentTable[0].PageType, 0u);
}

TEST_F(HeaderStage, EntrySizeIsTheWholeFileNotTheHeader) {
  const Bytes file = Head(3, 26, 1, {kFirst4Mib}, 100000);
  Run(file);
  EXPECT_EQ(s.EntrySize, 100000u);
}

}  // namespace
}  // namespace quillex
