// Whole runs of the built quillex4, from a dump written by the dump writer to
// the console text, exit status and files, compared byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "mkraw/mkraw.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace mk = mkraw;
constexpr std::uint32_t kBs = 0x800;

mk::PhysicalBlock Data(std::uint32_t logical, std::uint8_t fill) {
  mk::PhysicalBlock b;
  b.kind = mk::PhysicalBlock::Kind::Data;
  b.logical = logical;
  b.data.assign(kBs, fill);
  return b;
}

mk::PhysicalBlock Of(mk::PhysicalBlock::Kind kind, std::size_t mapIndex = 0) {
  mk::PhysicalBlock b;
  b.kind = kind;
  b.mapIndex = mapIndex;
  return b;
}

// A first segment of $200-byte pages holding 6 fs_blocks, then an unpaged one
// of 4. MAP 0 lies in physical block 3 and describes the first segment; MAP 1
// in physical block 7 (the second segment's block 1) describes the second.
// Logical block 2 is stored twice: the copy with the higher index (0x2B) wins.
// Logical block 3, at physical block 1, is the Mount Table: one unit "/" at
// block 1, which names no partition to look at.
mk::Bytes MountTableBlock() { return mk::MakeMountTable({{"/", 1, 1, {}}}, kBs); }

mk::FlashLayout SmallLayout() {
  using K = mk::PhysicalBlock::Kind;
  mk::FlashLayout layout;
  layout.fsBlockSize = kBs;
  mk::PhysicalBlock mountTable = Data(3, 0);
  mountTable.data = MountTableBlock();
  layout.blocks = {Of(K::Header), mountTable, Data(1, 0x11), Of(K::Map, 0), Data(2, 0x2A),
                   Of(K::Erased),
                   Data(4, 0x44), Of(K::Map, 1), Data(2, 0x2B), Of(K::Erased)};
  const std::uint32_t in = mk::kInUse, free = mk::kFreeEntry;
  layout.maps = {{0, {free, in | 3, in | 1, free, in | 2, free}}, {1, {in | 4, free, in | 2, free}}};
  layout.segments = {{mk::kPageTypeSmall, 6, 0, {}}, {mk::kPageTypeNone, 4, 0, {}}};
  return layout;
}

std::string SmallDumpConsole(const std::string& name) {
  return Banner() +
         Lines({"Loading " + name + " header...OK!",
                "Detected FS image version: 26",
                "Number of fs_segmments: 0002",
                "seg00: $00000000-$0000317F (1Mb) erase: $00020000 fs_block: $0800 type: $0012",
                "seg01: $00003180-$0000517F (1Mb) erase: $00020000 fs_block: $0800 type: $0000",
                "Using fs_block size: $0800",
                "Loading entry file " + name + " to memory...",
                "Alloc read buffer...",
                "Loading seg00[$00003180]...Rebuilding NAND segment. PageData: $200, PageSpare: "
                "$10...$00003000 bytes",
                "Skiping $00000000",
                "Loading seg01[$00002000]...$00002000 bytes",
                "OK! Read 00005000 bytes",
                "RAW image contain: $0000000A fs_block(s)",
                "Building maps array...",
                "MAP id: $00000000 found at $00001800",
                "MAP id: $00000001 found at $00003800",
                "Found MAPs: 1",
                "Building fs_block array...",
                "MapSIZE: $000001FA",
                "Maximum fs_block number is: $00000004. Alloc buffer...",
                "Building normal FS image from RAW...",
                "seg00 covered by 00000001 map(s)",
                "Writing normal FS image to file: " + name + ".fs...",
                "Trying to process Mount Table @ fs_block: $0003",
                "OK!",
                "Task finished! Press ENTER to quit."});
}

std::string SmallDumpImage() {
  const mk::Bytes mountTable = MountTableBlock();
  return std::string(kBs, '\x11') + std::string(kBs, '\x2B') +
         std::string(mountTable.begin(), mountTable.end()) + std::string(kBs, '\x44');
}

std::string SmallDumpLog() {
  return Lines({std::string(80, '='), "                  Processing MTab unit $01",
                "Mount path: /, starts: $0001, size: $00000800"});
}

mk::Bytes SmallDump() { return mk::WriteRawDump(mk::LayoutToRawSpec(SmallLayout())); }

TEST(RunEndToEnd, SmallDumpGivesExactConsoleImageAndLog) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, {.input = "\n"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, SmallDumpConsole("name.raw"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadFile(dir / "name.raw.fs"), SmallDumpImage());
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), SmallDumpLog());
  EXPECT_FALSE(Exists(dir / "_name.raw")) << "no unit was extracted";
}

TEST(RunEndToEnd, FurtherArgumentsAreIgnored) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  ToolRun run = RunQuillex4(dir.path(), {"name.raw", "other.raw", "-x"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, SmallDumpConsole("name.raw"));
  EXPECT_FALSE(Exists(dir / "other.raw.fs"));
}

TEST(RunEndToEnd, NormalEndWaitsForEnterWithTheLogAlreadyComplete) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 1500});
  EXPECT_TRUE(run.timedOut) << "the tool did not wait for Enter";
  EXPECT_EQ(run.out, SmallDumpConsole("name.raw"));
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), SmallDumpLog());
  EXPECT_EQ(ReadFile(dir / "name.raw.fs"), SmallDumpImage());
}

TEST(RunEndToEnd, EarlierOutputsAreReplaced) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  WriteFile(dir / "name.raw.fs", std::string(5 * kBs, 'x'));
  WriteFile(dir / "name.raw.log", std::string("old log\r\n"));
  ToolRun run = RunQuillex4(dir.path(), {"name.raw"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(dir / "name.raw.fs"), SmallDumpImage());
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), SmallDumpLog());
}

TEST(RunEndToEnd, OutputsOfANameWithAFolderLieBesideTheDump) {
  TempDir dir;
  std::filesystem::create_directory(dir / "dumps");
  WriteFile(dir / "dumps/name.raw", SmallDump());
  ToolRun run = RunQuillex4(dir.path(), {"dumps/name.raw"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, SmallDumpConsole("dumps/name.raw"));
  EXPECT_EQ(ReadFile(dir / "dumps/name.raw.fs"), SmallDumpImage());
  EXPECT_TRUE(Exists(dir / "dumps/name.raw.log"));
}

std::string UsageText() {
  return Banner() +
         Lines({"   Usage : quillex4.exe <filename.raw>", "",
                "   Result: normal filesysem image writes to: <lilename.raw>.fs ",
                "           all partitions extracted to single dir: _<filename.raw>",
                "           detailed log: <filename.raw>.log",
                "   Hint  : Use vornak tool to convert ssw to raw image"});
}

TEST(RunEndToEnd, UsageWithoutArgumentOrWithAnEmptyOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"", "name.raw"}}) {
    TempDir dir;
    WriteFile(dir / "name.raw", SmallDump());
    ToolRun run = RunQuillex4(dir.path(), args, {.input = "\n"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, UsageText());
    EXPECT_FALSE(Exists(dir / "name.raw.fs"));
    EXPECT_FALSE(Exists(dir / "name.raw.log"));
  }
}

TEST(RunEndToEnd, UsageWaitsForEnter) {
  TempDir dir;
  ToolRun run = RunQuillex4(dir.path(), {}, {.input = {}, .holdInput = true, .timeoutMs = 1500});
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.out, UsageText());
}

TEST(RunEndToEnd, MissingDumpIsAnInputOutputFailureWithStatusOne) {
  TempDir dir;
  ToolRun run = RunQuillex4(dir.path(), {"absent.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 10000});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, Banner() + Lines({"Loading absent.raw header...I/O failure: cannot open "
                                       "absent.raw: No such file or directory"}));
  EXPECT_FALSE(Exists(dir / "absent.raw.log"));
}

TEST(RunEndToEnd, FatalStopsExitZeroAtOnceWithoutWaiting) {
  TempDir dir;
  mk::Bytes babe = SmallDump();
  babe[0] = 0xBA;
  babe[1] = 0xBE;
  WriteFile(dir / "babe.raw", babe);
  ToolRun run = RunQuillex4(dir.path(), {"babe.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 10000});
  EXPECT_FALSE(run.timedOut) << "a fatal stop must not wait for Enter";
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, Banner() + Lines({"Loading babe.raw header...ERROR: entry file have "
                                       "BABE-firmware format.",
                                       "Use vornak.exe tool first"}));
  EXPECT_FALSE(Exists(dir / "babe.raw.log"));
  EXPECT_FALSE(Exists(dir / "babe.raw.fs"));
}

TEST(RunEndToEnd, ImageThatCannotBeWrittenLeavesAnEmptyLog) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  std::filesystem::create_directory(dir / "name.raw.fs");
  ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 10000});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  std::string expected = SmallDumpConsole("name.raw");
  expected.resize(expected.find("name.raw.fs...") + 14);
  expected += "Fatal error while writing image! Check filename and disk space\r\n";
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), "");
}

TEST(RunEndToEnd, LogThatCannotBeCreatedIsFatal) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  std::filesystem::create_directory(dir / "name.raw.log");
  ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 10000});
  EXPECT_EQ(run.status, 0);
  std::string expected = SmallDumpConsole("name.raw");
  expected.resize(expected.find("RAW image contain"));
  expected += "Fatal error while creating log! Check filename and disk space\r\n";
  EXPECT_EQ(run.out, expected);
  EXPECT_FALSE(Exists(dir / "name.raw.fs"));
}

}  // namespace
}  // namespace quillex::test

namespace quillex::test {
namespace {

// Logical blocks 3 and $FFFF only: the image file is $FFFF blocks long, zeros
// between, and is written as a file with holes rather than 128 MiB of zeros.
TEST(RunEndToEnd, FarApartBlocksGiveALongImageWithoutWritingItsZeros) {
  using K = mk::PhysicalBlock::Kind;
  mk::FlashLayout layout;
  layout.fsBlockSize = kBs;
  mk::PhysicalBlock mountTable = Data(3, 0);
  mountTable.data = MountTableBlock();
  layout.blocks = {Of(K::Header), mountTable, Data(0xFFFF, 0x5F), Of(K::Map, 0)};
  layout.maps = {{0, {mk::kFreeEntry, mk::kInUse | 3, mk::kInUse | 0xFFFF, mk::kFreeEntry}}};
  layout.segments = {{mk::kPageTypeNone, 4, 0, {}}};
  TempDir dir;
  WriteFile(dir / "far.raw", mk::WriteRawDump(mk::LayoutToRawSpec(layout)));
  ToolRun run = RunQuillex4(dir.path(), {"far.raw"});
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string image = ReadFile(dir / "far.raw.fs");
  ASSERT_EQ(image.size(), 0xFFFFu * kBs);
  const mk::Bytes table = MountTableBlock();
  EXPECT_EQ(image.substr(2 * kBs, kBs), std::string(table.begin(), table.end()));
  EXPECT_EQ(image.substr(0xFFFEu * kBs), std::string(kBs, '\x5F'));
  EXPECT_EQ(image.find_first_not_of('\0', 3 * kBs), 0xFFFEu * kBs) << "zeros between";
  EXPECT_EQ(image.find_first_not_of('\0'), 2u * kBs);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "far.raw.fs").c_str(), &info), 0);
  EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, 4u << 20) << "the zeros took disk space";
}

}  // namespace
}  // namespace quillex::test
