// Whole runs of the built quillex4 on dumps that hold FAT12 and FAT16 volumes
// made by mkfs.fat and filled by mtools from trees on disk: every file put in
// must come back under _name.raw/<mount path>, byte for byte, and the console
// must report each partition and the number of files saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "mkraw/mkraw.h"
#include "support/mtools_volume.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace fs = std::filesystem;
namespace mk = mkraw;

const std::string kName = "name.raw";
const std::string kOutDir = "_name.raw";

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

void WriteTreeFile(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  WriteFile(path.string(), bytes);
}

// How the dump around the units is laid out on the simulated flash.
struct FlashOptions {
  std::uint32_t fsBlockSize = 0x800;
  std::uint64_t seed = 1;
  bool shuffle = true;
  std::vector<mk::FlashSegment> segments;  // empty: one segment without spares
  std::uint32_t freeBlocks = 0;
  std::uint32_t staleCopies = 0;
  std::uint32_t droppedPerMap = 0;
  bool staleMapDuplicates = false;
  bool recordsDescending = false;
};

mk::FlashSpec NewSpec(const FlashOptions& options) {
  mk::FlashSpec plan;
  plan.fsBlockSize = options.fsBlockSize;
  plan.seed = options.seed;
  plan.shuffle = options.shuffle;
  plan.segments = options.segments;
  plan.freeBlocks = options.freeBlocks;
  plan.staleCopies = options.staleCopies;
  plan.droppedPerMap = options.droppedPerMap;
  plan.staleMapDuplicates = options.staleMapDuplicates;
  plan.recordsDescending = options.recordsDescending;
  return plan;
}

// A unit the test expects to be walked: where it starts, which partition
// entry it gets, what it holds.
struct WalkedUnit {
  std::string dir;  // below _name.raw, "" for the unit "/"
  std::uint16_t start = 0;
  std::uint16_t entry = 0;
  std::uint8_t parType = 0x04;
  MtoolsVolume volume;
  std::size_t filesSaved = 0;
};

// The console lines of one walked FAT partition, worked out from the rules:
// the partition table at the unit's first sector, the boot sector three
// sectors on, one reserved sector, one FAT, the root directory after it.
std::vector<std::string> WalkedLines(const WalkedUnit& unit, std::uint32_t fsBlockSize) {
  const std::uint32_t unitOffset = (std::uint32_t{unit.start} - 1) * fsBlockSize;
  const std::string typeText = unit.parType == 0x01 ? "FAT12" : "FAT16 up to 32Mb";
  return {"@ $" + Hex(unitOffset, 8) + ": partition #" + Hex(unit.entry, 2) + kOutDir + "/" + unit.dir,
          "  type: " + Hex(unit.parType, 2) + " - " + typeText + " fs_info: $" +
              Hex(unitOffset + 3 * 512, 8) + " root: $" + Hex(unit.volume.RootSector(), 8) +
              "  1st_sec: $" + Hex(unit.volume.FirstDataSector(), 4),
          "  files saved: " + std::to_string(unit.filesSaved)};
}

std::string ConsoleFromMountTable(const std::string& out) {
  const std::size_t at = out.find("Trying to process Mount Table");
  return at == std::string::npos ? "(no Mount Table line in:)\n" + out : out.substr(at);
}

std::string ExpectedFromMountTable(const std::vector<std::string>& unitLines) {
  std::vector<std::string> lines{"Trying to process Mount Table @ fs_block: $0001"};
  lines.insert(lines.end(), unitLines.begin(), unitLines.end());
  lines.push_back("OK!");
  lines.push_back("Task finished! Press ENTER to quit.");
  return Lines(lines);
}

// One chain line per cluster of every saved file, and one for an empty file
// (its chain step reads cluster 0 and stops at the FAT's entry 0).
std::size_t ChainLinesFor(const fs::path& tree, std::uint32_t fsBlockSize) {
  std::size_t lines = 0;
  for (const auto& item : fs::recursive_directory_iterator(tree)) {
    if (item.is_regular_file()) {
      lines += std::max<std::size_t>(1, (item.file_size() + fsBlockSize - 1) / fsBlockSize);
    }
  }
  return lines;
}

// "[CLUSTER] xxxx points to: yyyy" lines of the log; the lines of directory
// clusters say "end. FAT points to:".
std::size_t FileChainLines(const std::string& log) {
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = log.find("[CLUSTER] ", at)) != std::string::npos; ++at) {
    const std::size_t end = log.find("\r\n", at);
    const std::string line = log.substr(at, end - at);
    if (line.size() == 30 && line.compare(14, 12, " points to: ") == 0) ++lines;
  }
  return lines;
}

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) names.insert(item.path().filename().string());
  return names;
}

class FatVolumesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS();
  }

  fs::path Work(const std::string& name) const { return work_.path() / name; }
  fs::path RunDir() const { return box_.path() / "run"; }
  fs::path OutDir() const { return RunDir() / kOutDir; }

  // A volume of the given kind holding `tree`.
  MtoolsVolume VolumeOf(const fs::path& tree, FatType bits, std::uint32_t fsBlockSize,
                        const std::string& imageName) {
    MtoolsVolumeSpec plan;
    plan.bits = bits;
    plan.fsBlockSize = fsBlockSize;
    return MakeMtoolsVolumeFromTree(plan, tree, Work(imageName));
  }

  // Places the volumes one unit after the other from logical block 2, in
  // this order in the Mount Table, followed by `extraUnits` as they are.
  // Returns each volume unit's start block.
  std::vector<std::uint16_t> PlaceUnits(mk::FlashSpec& plan, const std::vector<mk::UnitVolume>& units,
                                        const std::vector<mk::MountUnit>& extraUnits = {}) {
    std::vector<mk::MountUnit> mounts;
    std::vector<std::uint16_t> starts;
    std::uint32_t next = 2;
    for (const auto& unit : units) {
      plan.logicalBlocks.erase(1);
      const std::uint32_t after = mk::AddUnits(plan, {unit}, next);
      mounts.push_back({unit.mountPath, static_cast<std::uint16_t>(next),
                        static_cast<std::uint16_t>(after - next), {}});
      starts.push_back(static_cast<std::uint16_t>(next));
      next = after;
    }
    mounts.insert(mounts.end(), extraUnits.begin(), extraUnits.end());
    plan.logicalBlocks[1] = mk::MakeMountTable(mounts, plan.fsBlockSize);
    return starts;
  }

  // Writes the dump as name.raw into a fresh run folder and runs the tool
  // there, with Enter pressed at the end.
  ToolRun Extract(const Bytes& dump) {
    fs::create_directory(RunDir());
    WriteFile((RunDir() / kName).string(), dump);
    return RunQuillex4(RunDir(), {kName}, RunOptions{"\n", false, 60000});
  }

  // The run wrote name.raw.fs, name.raw.log and _name.raw, and nothing else,
  // neither in its folder nor beside it.
  void ExpectOnlyTheThreeOutputs() const {
    EXPECT_EQ(Names(box_.path()), std::set<std::string>{"run"});
    EXPECT_EQ(Names(RunDir()),
              (std::set<std::string>{kName, kName + ".fs", kName + ".log", kOutDir}));
  }

  // One volume in the unit "/", extracted and compared with the tree.
  void ExpectSingleUnitRoundTrip(const fs::path& tree, FatType bits, const FlashOptions& flash) {
    const MtoolsVolume volume = VolumeOf(tree, bits, flash.fsBlockSize, "volume.img");
    mk::FlashSpec plan = NewSpec(flash);
    const std::uint8_t parType = bits == FatType::Fat12 ? 0x01 : 0x04;
    const auto starts = PlaceUnits(plan, {{"/", ReadVolume(volume), parType, true}});
    const ToolRun run = Extract(mk::BuildDump(plan));

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    const std::size_t files = CountTree(tree, flash.fsBlockSize).files;
    WalkedUnit unit{"", starts[0], 1, parType, volume, files};
    EXPECT_EQ(ConsoleFromMountTable(run.out), ExpectedFromMountTable(WalkedLines(unit, flash.fsBlockSize)));
    EXPECT_EQ(CompareTrees(tree, OutDir()), "");
    ExpectOnlyTheThreeOutputs();

    const std::string log = ReadFile((RunDir() / (kName + ".log")).string());
    EXPECT_NE(log.find("\r\nFound VFAT filesystem. FSInfo in block: $" + Hex(starts[0] - 1u, 4) + "\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("\r\n      OEMName:        Mkfs.fat\r\n"), std::string::npos);
    EXPECT_NE(log.find("\r\n      MaxRootEntry:   $" + Hex(volume.rootEntries, 4) + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("\r\n      SecsPerFAT:     $" + Hex(volume.secsPerFat, 4) + "\r\n"), std::string::npos);
    EXPECT_EQ(FileChainLines(log), ChainLinesFor(tree, flash.fsBlockSize));
  }

  TempDir work_;  // trees and volume images
  TempDir box_;   // holds the run folder alone
};

// ---------------------------------------------------------------------------
// Random trees, both FAT kinds, several fs_block sizes.

struct RandomTreeCase {
  const char* name;
  FatType type;
  RandomTreeOptions tree;
  FlashOptions flash;
  bool clusterMultiples = false;  // add files of exactly 2 clusters and one byte off
};

void PrintTo(const RandomTreeCase& c, std::ostream* out) { *out << c.name; }

class RandomTreeTest : public FatVolumesTest, public ::testing::WithParamInterface<RandomTreeCase> {};

TEST_P(RandomTreeTest, ComesBackByteForByte) {
  const RandomTreeCase& c = GetParam();
  const TreeCount count = WriteRandomTree(Work("tree"), c.tree);
  ASSERT_GT(count.files, 3u) << "a tree to put in";
  if (c.clusterMultiples) {
    const fs::path dir = Work("tree") / "Clusters of 16 KiB";
    WriteTreeFile(dir / "TWO.BIN", SeededBytes(2 * c.tree.clusterBytes, 1));
    WriteTreeFile(dir / "two less one.bin", SeededBytes(2 * c.tree.clusterBytes - 1, 2));
    WriteTreeFile(dir / "one and one byte.bin", SeededBytes(c.tree.clusterBytes + 1, 3));
  }
  ExpectSingleUnitRoundTrip(Work("tree"), c.type, c.flash);
}

std::vector<RandomTreeCase> RandomTreeCases() {
  std::vector<RandomTreeCase> cases;
  auto tree = [](std::uint64_t seed, std::uint32_t clusterBytes, int depth, int files, std::uint32_t maxBytes) {
    RandomTreeOptions o;
    o.seed = seed;
    o.clusterBytes = clusterBytes;
    o.depth = depth;
    o.filesPerDirectory = files;
    o.maxFileBytes = maxBytes;
    return o;
  };
  {
    RandomTreeCase c{"Fat12", FatType::Fat12, tree(0x12A, 0x800, 3, 4, 40 * 1024), {}};
    cases.push_back(c);
  }
  {
    RandomTreeCase c{"Fat16SmallPagesStaleAndFree", FatType::Fat16, tree(0x16B, 0x800, 4, 3, 300 * 1024), {}};
    c.tree.rootFiles = 8;
    c.flash.seed = 77;
    c.flash.segments = {{mk::kPageTypeSmall, 0, 0, {}}};
    c.flash.freeBlocks = 6;
    c.flash.staleCopies = 4;
    cases.push_back(c);
  }
  {
    // Exact multiples of the 16 KiB cluster and one byte off, whatever the draw.
    RandomTreeCase c{"Fat12FsBlocksOf4000", FatType::Fat12, tree(0x4000, 0x4000, 2, 4, 160 * 1024), {}, true};
    c.flash.fsBlockSize = 0x4000;
    c.flash.seed = 4;
    c.flash.segments = {{mk::kPageTypeLarge, 0, 0, {}}};
    c.flash.freeBlocks = 3;
    cases.push_back(c);
  }
  {
    RandomTreeCase c{"Fat16FsBlocksOf1000", FatType::Fat16, tree(0x1000, 0x1000, 3, 3, 120 * 1024), {}};
    c.flash.fsBlockSize = 0x1000;
    c.flash.seed = 1000;
    c.flash.segments = {{mk::kPageTypeSmall, 0, 0x1000, {}}, {mk::kPageTypeNone, 0, 0, {}}};
    c.flash.staleCopies = 2;
    cases.push_back(c);
  }
  {
    RandomTreeCase c{"Fat12FsBlocksOf1000AndFewLargePages", FatType::Fat12, tree(0xF12, 0x1000, 2, 5, 64 * 1024), {}};
    c.flash.fsBlockSize = 0x1000;
    c.flash.seed = 12;
    c.flash.segments = {{mk::kPageTypeLarge, 0, 0, {}}, {mk::kPageTypeSmall, 0, 0, {}}};
    c.flash.recordsDescending = true;
    cases.push_back(c);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Trees, RandomTreeTest, ::testing::ValuesIn(RandomTreeCases()), CaseName());

// ---------------------------------------------------------------------------
// Names, nesting, sizes chosen by hand.

TEST_F(FatVolumesTest, LongNamesNestingAndClusterMultiples) {
  const fs::path tree = Work("tree");
  const std::uint32_t cluster = 0x800;
  std::uint64_t seed = 500;
  auto put = [&](const fs::path& rel, std::size_t size) { WriteTreeFile(tree / rel, SeededBytes(size, ++seed)); };

  // Names on and around the 13-character steps of long names.
  put("Ab cdefg.xyz", 100);                      // 12, a blank: a long name all the same
  put("Thirteen Char", 1);                       // 13: one whole piece, no terminator
  put("Fourteen chars", 2);                      // 14
  put("Twenty-six characters long", 3);          // 26: two whole pieces
  put("Twenty-seven characters long", 4);        // 27
  put("thirty-nine characters in this one name", 5);  // 39
  put("several.dots.in.one.name.tar.gz", 6);
  put("MiXeD CaSe NaMe WiTh BlAnKs.TxT", 7);
  put("UPPER.TXT", 8);
  put("NOEXT", 9);
  put("A", 10);
  put("(brackets) + plus! and_more-signs.dat", 11);
  put(std::string(100, 'L') + ".long", 12);      // eight pieces
  // Sizes around the cluster size.
  put("Sizes around a cluster/EMPTY.DAT", 0);
  put("Sizes around a cluster/empty file with a long name", 0);
  put("Sizes around a cluster/ONE.BIN", 1);
  put("Sizes around a cluster/cluster less one.bin", cluster - 1);
  put("Sizes around a cluster/CLUSTER.BIN", cluster);
  put("Sizes around a cluster/cluster plus one.bin", cluster + 1);
  put("Sizes around a cluster/Two clusters exactly.bin", 2 * cluster);
  put("Sizes around a cluster/Five clusters exactly.bin", 5 * cluster);
  put("Sizes around a cluster/five clusters less one.bin", 5 * cluster - 1);
  put("Sizes around a cluster/A few hundred KiB.bin", 300 * 1024 + 17);
  // Twelve levels of directories, a file at each.
  fs::path deep = "Nest of levels";
  for (int level = 1; level <= 12; ++level) {
    deep /= "Level " + std::to_string(level) + " of the nest";
    put(deep / ("file at level " + std::to_string(level) + ".txt"), 50u * static_cast<std::size_t>(level));
  }
  // Empty directories, one inside another.
  fs::create_directories(tree / "Empty directory" / "EMPTY2" / "and a third empty one");
  // A directory of many entries over several clusters; long names cross
  // cluster boundaries.
  for (int i = 0; i < 70; ++i) {
    put(fs::path("Many entries") / ("entry number " + std::to_string(i) + " of seventy.txt"),
        static_cast<std::size_t>(i) * 37);
  }

  ExpectSingleUnitRoundTrip(tree, FatType::Fat16, FlashOptions{});
}

// Only the entries "." and ".." of a folder are passed over; other names
// that begin with a dot are files and folders like any other.
TEST_F(FatVolumesTest, NamesBeginningWithADotAreSaved) {
  const fs::path tree = Work("tree");
  WriteTreeFile(tree / "Sub directory" / ".profile of the user", SeededBytes(300, 1));
  WriteTreeFile(tree / "Sub directory" / "kept.file.txt", SeededBytes(301, 2));
  WriteTreeFile(tree / ".hidden root file", SeededBytes(302, 3));
  WriteTreeFile(tree / "ROOT.TXT", SeededBytes(303, 4));
  WriteTreeFile(tree / ".nomedia", {});
  WriteTreeFile(tree / ".thumbnails" / ".thumb.jpg", SeededBytes(3000, 5));
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, 0x800, "volume.img");

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/", ReadVolume(volume), 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"", starts[0], 1, 0x01, volume, 6}, 0x800)));
  EXPECT_EQ(CompareTrees(tree, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// mcopy stores a name that fits 8.3 with its base name or extension all in
// lower case as an upper-case short entry alone, the case kept in flags of
// byte 12: the names come back as they were, as mcopy gives them.
TEST_F(FatVolumesTest, LowerCaseShortNamesComeBackAsTheirFlagsSay) {
  const fs::path tree = Work("tree");
  WriteTreeFile(tree / "readme.txt", SeededBytes(900, 1));
  WriteTreeFile(tree / "photos" / "readme", SeededBytes(2100, 2));
  WriteTreeFile(tree / "a" / "notes.TXT", SeededBytes(30, 3));
  WriteTreeFile(tree / "b" / "NOTES.txt", SeededBytes(40, 4));
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, 0x800, "volume.img");

  // What the test rests on: the root directory holds short entries only.
  const Bytes image = ReadVolume(volume);
  const std::size_t root = (std::size_t{volume.RootSector()} - 3) * 512;
  std::set<std::string> shortNames;
  for (std::size_t at = root; image[at] != 0; at += 32) {
    ASSERT_NE(image[at + 11], 0x0F) << "a long-name piece in the root directory";
    shortNames.insert(std::string(image.begin() + static_cast<std::ptrdiff_t>(at),
                                  image.begin() + static_cast<std::ptrdiff_t>(at + 11)));
  }
  ASSERT_EQ(shortNames, (std::set<std::string>{"README  TXT", "PHOTOS     ", "A          ", "B          "}));

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/", image, 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"", starts[0], 1, 0x01, volume, 4}, 0x800)));
  EXPECT_EQ(CompareTrees(tree, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// Files are saved whatever their read-only, hidden, system and archive
// bits, in the root directory as in a folder.
TEST_F(FatVolumesTest, FilesAreSavedWhateverTheirAttributes) {
  const fs::path tree = Work("tree");
  const Bytes archived = SeededBytes(1000, 1), plain = SeededBytes(1001, 2), readOnly = SeededBytes(1002, 3),
              inSub = SeededBytes(1003, 4), readOnlyInSub = SeededBytes(1004, 5), hidden = SeededBytes(1005, 6);
  WriteTreeFile(tree / "ARCHIVED.TXT", archived);
  WriteTreeFile(tree / "PLAIN.TXT", plain);
  WriteTreeFile(tree / "READONLY.TXT", readOnly);
  WriteTreeFile(tree / "SUB" / "INSUB.TXT", inSub);
  WriteTreeFile(tree / "SUB" / "ROINSUB.TXT", readOnlyInSub);
  WriteTreeFile(tree / "SUB" / "HIDDEN.TXT", hidden);

  MtoolsVolumeSpec volumeSpec;
  volumeSpec.bits = FatType::Fat12;
  volumeSpec.sizeKiB = 512;
  const MtoolsVolume volume = MakeEmptyMtoolsVolume(volumeSpec, Work("volume.img"));
  CopyIntoVolume(volume, {tree / "ARCHIVED.TXT", tree / "PLAIN.TXT", tree / "READONLY.TXT", tree / "SUB"}, "::/");
  ClearArchiveBit(volume, {"::/PLAIN.TXT", "::/READONLY.TXT"});
  // Read-only: 01 in the root, 21 in the subdirectory; hidden: 22; the
  // archive bit as mcopy left it: 20.
  ChangeAttributes(volume, {"+r"}, {"::/READONLY.TXT", "::/SUB/ROINSUB.TXT"});
  ChangeAttributes(volume, {"+h"}, {"::/SUB/HIDDEN.TXT"});
  MakeVolumeDirectory(volume, "::/SUB/Made by mmd");

  const fs::path expected = Work("expected");
  fs::copy(tree, expected, fs::copy_options::recursive);
  fs::create_directory(expected / "SUB" / "Made by mmd");

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/", ReadVolume(volume), 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"", starts[0], 1, 0x01, volume, 6}, 0x800)));
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// ---------------------------------------------------------------------------
// Entries in a volume image.

// Offset in the volume of the short entry with the given 11 name bytes,
// looked for in `count` entries from `directory`.
std::size_t FindShortEntry(const Bytes& volume, std::size_t directory, std::size_t count,
                           const std::string& name11) {
  for (std::size_t at = directory; at < directory + count * 32; at += 32) {
    if (std::equal(name11.begin(), name11.end(), volume.begin() + static_cast<std::ptrdiff_t>(at))) return at;
  }
  ADD_FAILURE() << "no entry " << name11;
  return directory;
}

std::uint16_t FirstCluster(const Bytes& volume, std::size_t entry) {
  return static_cast<std::uint16_t>(volume.at(entry + 26) | (volume.at(entry + 27) << 8));
}

std::size_t RootInVolume(const MtoolsVolume& volume) { return (std::size_t{volume.RootSector()} - 3) * 512; }

std::size_t ClusterInVolume(const MtoolsVolume& volume, std::uint32_t cluster) {
  return (std::size_t{volume.FirstDataSector()} - 3) * 512 + (cluster - 2u) * std::size_t{volume.fsBlockSize};
}

// ---------------------------------------------------------------------------
// Deleted files: mdel frees the chain and marks the entries with E5, the data
// stays. The tool takes the first cluster and the free clusters after it, so
// a deleted file comes back whole while no later file took its clusters,
// under its long name or, without one, under its short name with the E5
// byte read as "å".

TEST_F(FatVolumesTest, DeletedFilesAreSavedUnderTheirE5NameOrTheirLongName) {
  const std::uint32_t cluster = 0x800;
  const fs::path tree = Work("tree");
  const Bytes keep = SeededBytes(4000, 1), delRoot = SeededBytes(3000, 2), delShort = SeededBytes(10000, 3),
              delLong = SeededBytes(3000, 4), delEmpty, delSmall = SeededBytes(700, 5),
              kept = SeededBytes(2 * cluster, 6), after = SeededBytes(10, 7);
  WriteTreeFile(tree / "KEEP.TXT", keep);
  WriteTreeFile(tree / "DELROOT.BIN", delRoot);
  WriteTreeFile(tree / "Deleted here" / "DELME.BIN", delShort);
  WriteTreeFile(tree / "Deleted here" / "Deleted long name file.txt", delLong);
  WriteTreeFile(tree / "Deleted here" / "EMPTYDEL.TXT", delEmpty);
  WriteTreeFile(tree / "Deleted here" / "SMALLDEL", delSmall);
  WriteTreeFile(tree / "Deleted here" / "Kept file with a long name.bin", kept);
  WriteTreeFile(tree / "Deleted here" / "ZAFTER.TXT", after);
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, cluster, "volume.img");
  for (const char* target : {"::/DELROOT.BIN", "::/Deleted here/DELME.BIN",
                             "::/Deleted here/Deleted long name file.txt",
                             "::/Deleted here/EMPTYDEL.TXT", "::/Deleted here/SMALLDEL"}) {
    DeleteFromVolume(volume, target);
  }

  const fs::path expected = Work("expected");
  const std::string e5 = "\u00E5";
  WriteTreeFile(expected / "KEEP.TXT", keep);
  WriteTreeFile(expected / (e5 + "ELROOT.BIN"), delRoot);
  WriteTreeFile(expected / "Deleted here" / (e5 + "ELME.BIN"), delShort);
  WriteTreeFile(expected / "Deleted here" / "Deleted long name file.txt", delLong);
  WriteTreeFile(expected / "Deleted here" / (e5 + "MPTYDEL.TXT"), delEmpty);
  WriteTreeFile(expected / "Deleted here" / (e5 + "MALLDEL"), delSmall);
  WriteTreeFile(expected / "Deleted here" / "Kept file with a long name.bin", kept);
  WriteTreeFile(expected / "Deleted here" / "ZAFTER.TXT", after);

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/", ReadVolume(volume), 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"", starts[0], 1, 0x01, volume, 8}, cluster)));
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// ---------------------------------------------------------------------------
// Fragmented chains: mtools fills the holes that deleted files leave, so a
// file and a directory copied afterwards jump from cluster to cluster. The
// hole makers in the root directory come back too: the live ones whole, the
// deleted ones whose entries mcopy did not take again as "å" and the rest of
// their name, with the one cluster their entry points to, whatever fills it
// now.

std::uint16_t Fat12Entry(const Bytes& volume, std::uint32_t cluster) {
  const std::size_t at = 512 + cluster * 3 / 2;
  const unsigned word = volume.at(at) | (unsigned{volume.at(at + 1)} << 8);
  return static_cast<std::uint16_t>(cluster % 2 == 0 ? word & 0xFFF : word >> 4);
}

TEST_F(FatVolumesTest, FragmentedFilesAndDirectories) {
  const std::uint32_t cluster = 0x800;
  MtoolsVolumeSpec volumeSpec;
  volumeSpec.bits = FatType::Fat12;
  volumeSpec.sizeKiB = 1024;
  const MtoolsVolume volume = MakeEmptyMtoolsVolume(volumeSpec, Work("volume.img"));
  std::vector<fs::path> holeMakers;
  for (int i = 10; i < 34; ++i) {
    holeMakers.push_back(Work("holes") / ("H" + std::to_string(i)));
    WriteTreeFile(holeMakers.back(), SeededBytes(cluster, static_cast<std::uint64_t>(i)));
  }
  CopyIntoVolume(volume, holeMakers, "::/");
  for (int i = 11; i < 34; i += 2) DeleteFromVolume(volume, "::/H" + std::to_string(i));

  const fs::path tree = Work("tree");
  WriteTreeFile(tree / "Fragmented file.bin", SeededBytes(20 * cluster + 5, 100));
  for (int i = 0; i < 50; ++i) {
    WriteTreeFile(tree / "Fragmented directory" / ("file number " + std::to_string(i) + " in pieces.dat"),
                  SeededBytes(static_cast<std::size_t>(i) * 61, 200 + static_cast<std::uint64_t>(i)));
  }
  CopyTreeIntoVolume(volume, tree);

  // What the test rests on: some chain jumps over a cluster.
  const Bytes image = ReadVolume(volume);
  bool jumps = false;
  for (std::uint32_t n = 2; n < 200; ++n) {
    const std::uint16_t next = Fat12Entry(image, n);
    if (next >= 2 && next < 0xFF0 && next != n + 1) jumps = true;
  }
  ASSERT_TRUE(jumps) << "mcopy did not fill the holes";

  const fs::path expected = Work("expected");
  fs::copy(tree, expected, fs::copy_options::recursive);
  for (int i = 10; i < 34; i += 2) fs::copy(holeMakers[static_cast<std::size_t>(i - 10)], expected);
  std::size_t files = 51 + 12;
  const std::size_t root = RootInVolume(volume);
  for (std::size_t at = root; at < root + volume.rootEntries * 32u && image[at] != 0; at += 32) {
    if (image[at] != 0xE5 || image[at + 11] == 0x0F) continue;
    std::string name(image.begin() + static_cast<std::ptrdiff_t>(at + 1),
                     image.begin() + static_cast<std::ptrdiff_t>(at + 8));
    name.erase(name.find_last_not_of(' ') + 1);
    const auto data = image.begin() + static_cast<std::ptrdiff_t>(ClusterInVolume(volume, FirstCluster(image, at)));
    WriteTreeFile(expected / ("\u00E5" + name), Bytes(data, data + cluster));
    ++files;
  }
  ASSERT_GT(files, 51u + 12u) << "mcopy took every deleted entry again";

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/", image, 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"", starts[0], 1, 0x01, volume, files}, cluster)));
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// ---------------------------------------------------------------------------
// Damaged volumes: an mtools volume with a FAT entry or a directory entry
// changed afterwards. The walk must end with a warning, not run forever.

void SetFat12Entry(Bytes& volume, std::uint32_t cluster, std::uint16_t value) {
  const std::size_t at = 512 + cluster * 3 / 2;
  if (cluster % 2 == 0) {
    volume.at(at) = static_cast<std::uint8_t>(value);
    volume.at(at + 1) = static_cast<std::uint8_t>((volume.at(at + 1) & 0xF0) | ((value >> 8) & 0x0F));
  } else {
    volume.at(at) = static_cast<std::uint8_t>((volume.at(at) & 0x0F) | ((value << 4) & 0xF0));
    volume.at(at + 1) = static_cast<std::uint8_t>(value >> 4);
  }
}

TEST_F(FatVolumesTest, ChainThatLoopsBackEndsWithAWarning) {
  const std::uint32_t cluster = 0x800;
  const fs::path tree = Work("tree");
  const Bytes looping = SeededBytes(3 * cluster - 100, 1), other = SeededBytes(777, 2);
  WriteTreeFile(tree / "LOOP.BIN", looping);
  WriteTreeFile(tree / "OTHER.TXT", other);
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, cluster, "volume.img");
  Bytes image = ReadVolume(volume);
  // LOOP.BIN takes three clusters; the third now points back to the first.
  const std::size_t entry = FindShortEntry(image, RootInVolume(volume), volume.rootEntries, "LOOP    BIN");
  const std::uint16_t first = FirstCluster(image, entry);
  const std::uint16_t second = Fat12Entry(image, first);
  const std::uint16_t third = Fat12Entry(image, second);
  ASSERT_GE(Fat12Entry(image, third), 0xFF8);
  SetFat12Entry(image, third, first);

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/u", image, 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> lines = WalkedLines({"u", starts[0], 1, 0x01, volume, 2}, cluster);
  lines.insert(lines.end() - 1,
               "WARNING: loop in cluster chain at $" + Hex(first, 4) + ": " + kOutDir + "/u/LOOP.BIN");
  EXPECT_EQ(ConsoleFromMountTable(run.out), ExpectedFromMountTable(lines));
  const fs::path expected = Work("expected");
  WriteTreeFile(expected / "u" / "LOOP.BIN", looping);
  WriteTreeFile(expected / "u" / "OTHER.TXT", other);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

TEST_F(FatVolumesTest, DirectoryThatPointsBackIsNotWalkedAgain) {
  const std::uint32_t cluster = 0x800;
  const fs::path tree = Work("tree");
  const Bytes inside = SeededBytes(3000, 1);
  WriteTreeFile(tree / "SUB" / "INSIDE.TXT", inside);
  fs::create_directories(tree / "SUB" / "BACK");
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, cluster, "volume.img");
  Bytes image = ReadVolume(volume);
  // SUB/BACK now starts at SUB's own cluster: a cycle.
  const std::size_t sub = FindShortEntry(image, RootInVolume(volume), volume.rootEntries, "SUB        ");
  const std::uint16_t subCluster = FirstCluster(image, sub);
  const std::size_t back =
      FindShortEntry(image, ClusterInVolume(volume, subCluster), cluster / 32, "BACK       ");
  image.at(back + 26) = static_cast<std::uint8_t>(subCluster);
  image.at(back + 27) = static_cast<std::uint8_t>(subCluster >> 8);

  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/u", image, 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> lines = WalkedLines({"u", starts[0], 1, 0x01, volume, 1}, cluster);
  lines.insert(lines.end() - 1, "WARNING: directory already walked, skipped: " + kOutDir + "/u/SUB/BACK");
  EXPECT_EQ(ConsoleFromMountTable(run.out), ExpectedFromMountTable(lines));
  // Whether the skipped directory is made (empty) or not is left open; its
  // walk must not be.
  const fs::path backOut = OutDir() / "u" / "SUB" / "BACK";
  if (fs::exists(backOut)) {
    EXPECT_TRUE(fs::is_directory(backOut) && fs::is_empty(backOut));
    fs::remove(backOut);
  }
  const fs::path expected = Work("expected");
  WriteTreeFile(expected / "u" / "SUB" / "INSIDE.TXT", inside);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// ---------------------------------------------------------------------------
// Many files.

TEST_F(FatVolumesTest, ThreeThousandFiles) {
  RandomTreeOptions options;
  options.seed = 3000;
  options.depth = 1;
  options.directoriesPerDirectory = 10;
  options.filesPerDirectory = 300;
  options.rootFiles = 20;
  options.maxFileBytes = 3000;
  options.emptyDirectoryOneIn = 0;
  const TreeCount count = WriteRandomTree(Work("tree"), options);
  ASSERT_EQ(count.files, 3020u);
  FlashOptions flash;
  flash.seed = 3;
  flash.segments = {{mk::kPageTypeLarge, 0, 0, {}}};
  ExpectSingleUnitRoundTrip(Work("tree"), FatType::Fat16, flash);
}

// ---------------------------------------------------------------------------
// Several units.

TEST_F(FatVolumesTest, SeveralUnitsEachUnderItsOwnDirectory) {
  const std::uint32_t bs = 0x800;
  RandomTreeOptions options;
  options.depth = 2;
  options.maxFileBytes = 20 * 1024;
  options.seed = 1;
  const TreeCount rootCount = WriteRandomTree(Work("root tree"), options);
  options.seed = 2;
  options.maxFileBytes = 100 * 1024;
  const TreeCount aCount = WriteRandomTree(Work("a tree"), options);
  options.seed = 3;
  options.maxFileBytes = 10 * 1024;
  const TreeCount bCount = WriteRandomTree(Work("b tree"), options);
  WriteTreeFile(Work("fat32 tree") / "NEVER.TXT", SeededBytes(100, 9));

  const MtoolsVolume rootVolume = VolumeOf(Work("root tree"), FatType::Fat12, bs, "root.img");
  const MtoolsVolume aVolume = VolumeOf(Work("a tree"), FatType::Fat16, bs, "a.img");
  const MtoolsVolume bVolume = VolumeOf(Work("b tree"), FatType::Fat12, bs, "b.img");
  const MtoolsVolume fat32Volume = VolumeOf(Work("fat32 tree"), FatType::Fat12, bs, "fat32.img");

  FlashOptions flash;
  flash.seed = 0x5EED;
  flash.segments = {{mk::kPageTypeSmall, 0, 0, {}}, {mk::kPageTypeNone, 0, 0x800, {}}};
  flash.freeBlocks = 4;
  flash.staleCopies = 3;
  mk::FlashSpec plan = NewSpec(flash);
  // After the volumes: a unit at start 0, and a unit whose first fs_block is
  // all zero bytes.
  std::vector<mk::UnitVolume> volumes{{"/", ReadVolume(rootVolume), 0x01, true},
                                      {"/a", ReadVolume(aVolume), 0x04, true},
                                      {"/a/b", ReadVolume(bVolume), 0x01, true},
                                      {"/fat32", ReadVolume(fat32Volume), 0x0B, true}};
  std::uint32_t emptyBlock = 2;
  for (const auto& v : volumes) {
    emptyBlock += static_cast<std::uint32_t>((3 * 512 + v.volume.size() + bs - 1) / bs);
  }
  const auto starts =
      PlaceUnits(plan, volumes, {{"/zero", 0, 4, {}}, {"/empty", static_cast<std::uint16_t>(emptyBlock), 2, {}}});
  ASSERT_EQ(plan.logicalBlocks.count(emptyBlock), 0u);
  plan.logicalBlocks[emptyBlock] = Bytes(bs, 0);
  plan.logicalBlocks[emptyBlock + 1] = Bytes(bs, 0);

  const ToolRun run = Extract(mk::BuildDump(plan));
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);

  std::vector<std::string> lines;
  for (const auto& unit : {WalkedUnit{"", starts[0], 1, 0x01, rootVolume, rootCount.files},
                           WalkedUnit{"a", starts[1], 2, 0x04, aVolume, aCount.files},
                           WalkedUnit{"a/b", starts[2], 3, 0x01, bVolume, bCount.files}}) {
    const auto unitLines = WalkedLines(unit, bs);
    lines.insert(lines.end(), unitLines.begin(), unitLines.end());
  }
  lines.push_back("@ $" + Hex((std::uint32_t{starts[3]} - 1) * bs, 8) + ": partition #04" + kOutDir + "/fat32");
  lines.push_back(
      "  type: 0B - FAT32 up to 2048Mb        Partition type not supported. Partition will not be processed.");
  lines.push_back("WARNING: partition start is invalid ($0000 or $FFFF)");
  lines.push_back("@ $" + Hex((emptyBlock - 1) * bs, 8) + ": ERROR: fs_block $" + Hex(emptyBlock, 4) +
                  " contain NO partition data or partition is CORRUPTED!");
  EXPECT_EQ(ConsoleFromMountTable(run.out), ExpectedFromMountTable(lines));

  // Each tree under its own directory; the FAT32 unit's directory is made
  // and stays empty; the units that hold nothing get none.
  const fs::path expected = Work("expected");
  fs::copy(Work("root tree"), expected, fs::copy_options::recursive);
  fs::copy(Work("a tree"), expected / "a", fs::copy_options::recursive);
  fs::copy(Work("b tree"), expected / "a" / "b", fs::copy_options::recursive);
  fs::create_directory(expected / "fat32");
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

TEST_F(FatVolumesTest, UnitTwoLevelsDownWithoutAParentUnit) {
  const fs::path tree = Work("tree");
  WriteTreeFile(tree / "SOUND.MP3", SeededBytes(6000, 1));
  WriteTreeFile(tree / "Ring tones" / "Nice ring tone.mp3", SeededBytes(9000, 2));
  const MtoolsVolume volume = VolumeOf(tree, FatType::Fat12, 0x800, "volume.img");
  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/tpa/user files", ReadVolume(volume), 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ConsoleFromMountTable(run.out),
            ExpectedFromMountTable(WalkedLines({"tpa/user files", starts[0], 1, 0x01, volume, 2}, 0x800)));
  const fs::path expected = Work("expected");
  fs::create_directories(expected / "tpa" / "user files");
  fs::copy(tree, expected / "tpa" / "user files", fs::copy_options::recursive);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// Mount paths are data from the image: "." and ".." components are dropped
// and characters that cannot stand in a file name become "_", so every unit
// stays below _name.raw.
TEST_F(FatVolumesTest, MountPathsStayInsideTheOutputDirectory) {
  const fs::path tree = Work("tree");
  WriteTreeFile(tree / "Inside.file.txt", SeededBytes(2500, 1));
  const MtoolsVolume first = VolumeOf(tree, FatType::Fat12, 0x800, "first.img");
  const MtoolsVolume second = VolumeOf(tree, FatType::Fat12, 0x800, "second.img");
  mk::FlashSpec plan = NewSpec({});
  const auto starts = PlaceUnits(plan, {{"/../../up", ReadVolume(first), 0x01, true},
                                        {"/./odd:name*?/..", ReadVolume(second), 0x01, true}});
  const ToolRun run = Extract(mk::BuildDump(plan));
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> lines = WalkedLines({"up", starts[0], 1, 0x01, first, 1}, 0x800);
  const auto more = WalkedLines({"odd_name__", starts[1], 2, 0x01, second, 1}, 0x800);
  lines.insert(lines.end(), more.begin(), more.end());
  EXPECT_EQ(ConsoleFromMountTable(run.out), ExpectedFromMountTable(lines));
  const fs::path expected = Work("expected");
  fs::create_directories(expected);
  fs::copy(tree, expected / "up", fs::copy_options::recursive);
  fs::copy(tree, expected / "odd_name__", fs::copy_options::recursive);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  ExpectOnlyTheThreeOutputs();
}

// ---------------------------------------------------------------------------
// One volume under different flash layouts of the dump.

struct LayoutCase {
  const char* name;
  FlashOptions flash;
};

void PrintTo(const LayoutCase& layout, std::ostream* out) { *out << layout.name; }

class FatVolumeLayoutsTest : public FatVolumesTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(FatVolumeLayoutsTest, TreeComesBackWhateverTheFlashLayout) {
  RandomTreeOptions options;
  options.seed = 0x1A7;
  options.depth = 2;
  options.maxFileBytes = 48 * 1024;
  WriteRandomTree(Work("tree"), options);
  ExpectSingleUnitRoundTrip(Work("tree"), FatType::Fat12, GetParam().flash);
}

FlashOptions Layout(std::uint64_t seed, bool shuffle, std::vector<mk::FlashSegment> segments,
                    std::uint32_t freeBlocks = 0, std::uint32_t staleCopies = 0, std::uint32_t dropped = 0,
                    bool staleMaps = false, bool descending = false) {
  FlashOptions flash;
  flash.seed = seed;
  flash.shuffle = shuffle;
  flash.segments = std::move(segments);
  flash.freeBlocks = freeBlocks;
  flash.staleCopies = staleCopies;
  flash.droppedPerMap = dropped;
  flash.staleMapDuplicates = staleMaps;
  flash.recordsDescending = descending;
  return flash;
}

INSTANTIATE_TEST_SUITE_P(
    Flash, FatVolumeLayoutsTest,
    ::testing::Values(
        LayoutCase{"InOrderWithoutSpares", Layout(1, false, {})},
        LayoutCase{"ShuffledSmallPages", Layout(2, true, {{mk::kPageTypeSmall, 0, 0, {}}}, 8, 5)},
        LayoutCase{"ShuffledLargePages", Layout(3, true, {{mk::kPageTypeLarge, 0, 0, {}}}, 2, 9)},
        LayoutCase{"ThreeSegmentsWithGaps",
                   Layout(4, true,
                          {{mk::kPageTypeLarge, 0, 0x2000, {}}, {mk::kPageTypeSmall, 0, 0x800, {}},
                           {mk::kPageTypeNone, 0, 0, {}}},
                          3, 3, 0, false, true)},
        LayoutCase{"DroppedEntriesAndStaleMaps",
                   Layout(5, true, {{mk::kPageTypeSmall, 0, 0, {}}}, 4, 2, 2, true)}),
    [](const ::testing::TestParamInfo<LayoutCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quillex::test
