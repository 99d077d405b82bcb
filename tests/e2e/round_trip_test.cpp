// The whole path as a user takes it, with the two built programs run as
// processes: seeded random trees go into FAT12/FAT16 volumes through mkfs.fat
// and mcopy, quillex-mkraw turns the volumes into a raw dump with varied
// flash options, and quillex4 extracts it; the extracted tree must equal the
// trees that went in, byte for byte.
//
// The same dumps are then read by two other FAT readers, mtools and The
// Sleuth Kit, straight from the name.raw.fs that quillex4 wrote: both must
// find the files that quillex4 extracted.
//
// Last, quillex-mkraw as a command-line tool: help and version, its errors
// (standard error, the file and the problem named, non-zero status, nothing
// left behind), volume files that are only read, and the test units and
// missing MAP ids whose effect quillex4 reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rawimage/rawimage.h"
#include "support/examine.h"
#include "support/mtools_volume.h"
#include "support/test_support.h"
#include "tool/run_state.h"

namespace quillex::test {
namespace {

namespace fs = std::filesystem;

const std::string kName = "name.raw";
const std::string kOutDir = "_name.raw";
const std::string kSuspicious[] = {"WARNING", "ERROR", "FATAL", "lost cluster"};

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

std::uint16_t Word(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes.at(at)) |
                                    static_cast<std::uint8_t>(bytes.at(at + 1)) << 8);
}

// The folder below _name.raw that a mount path's files go to: "/" gives the
// extraction folder itself, "/a/b" gives a/b.
fs::path UnitFolder(const std::string& mountPath) { return fs::path(mountPath.substr(1)); }

void WriteTreeFile(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  WriteFile(path.string(), bytes);
}

// Copies what lies below `from` into `to` (created), leaving out the names
// in `skip` (paths relative to `from`). With `nonEmptyOnly`, files of 0
// bytes are left out too, and so are folders that hold nothing once that is
// done. Returns whether anything was copied.
bool CopyView(const fs::path& from, const fs::path& to, const std::set<fs::path>& skip, bool nonEmptyOnly,
              const fs::path& rel = {}) {
  fs::create_directories(to);
  bool any = false;
  for (const auto& item : fs::directory_iterator(from)) {
    const fs::path name = item.path().filename();
    if (skip.contains(rel / name)) continue;
    if (item.is_directory()) {
      const bool inside = CopyView(item.path(), to / name, skip, nonEmptyOnly, rel / name);
      if (!inside && nonEmptyOnly) {
        fs::remove(to / name);
      } else {
        any = true;
      }
    } else {
      if (nonEmptyOnly && item.file_size() == 0) continue;
      fs::copy_file(item.path(), to / name);
      any = true;
    }
  }
  return any;
}

// "dir: path" and "file: path" for everything below `root`.
std::set<std::string> Listing(const fs::path& root) {
  std::set<std::string> names;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(item.path(), root).string();
    names.insert((item.is_directory() ? "dir: " : "file: ") + rel);
  }
  return names;
}

std::string Joined(const std::set<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += "  " + item + "\n";
  return text;
}

// The lines in `want` that `got` lacks, and those it has besides.
std::string ListingDifference(const std::set<std::string>& want, const std::set<std::string>& got) {
  std::set<std::string> missing, extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                      std::inserter(missing, missing.end()));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::inserter(extra, extra.end()));
  if (missing.empty() && extra.empty()) return "";
  return "missing:\n" + Joined(missing) + "unexpected:\n" + Joined(extra);
}

// ---------------------------------------------------------------------------
// Cases: volumes in one dump, and the options quillex-mkraw gets for it.

struct VolumeCase {
  std::string mountPath;
  FatType bits = FatType::Fat16;
  std::uint64_t seed = 1;
  int depth = 3;
  int filesPerDirectory = 4;
  std::uint32_t maxFileBytes = 64 * 1024;
  PcLayout pc{};  // a layout of mkfs.fat's other than the phone's
};

struct DumpCase {
  std::string name;
  std::uint32_t fsBlockSize = 0x800;
  std::vector<VolumeCase> volumes;
  std::vector<std::string> options;  // quillex-mkraw options besides -o, -b and --patch-boot
};

void PrintTo(const DumpCase& c, std::ostream* out) { *out << c.name; }

const std::vector<DumpCase>& DumpCases() {
  static const std::vector<DumpCase> cases{
      {"Fat16_800_NoSpares_OneSegment_Unshuffled",
       0x800,
       {{"/", FatType::Fat16, 0x5EED01}},
       {"--page-type", "none", "--no-shuffle"}},
      {"Fat12_800_Pages18_ThreeSegmentsWithGaps_Stale",
       0x800,
       {{"/", FatType::Fat12, 0x5EED02}},
       {"--page-type", "18", "--segments", "3", "--gap", "0x1000", "--seed", "7", "--stale", "6"}},
      {"Fat16_800_Pages2_TwoSegments_FreeAndDropped",
       0x800,
       {{"/", FatType::Fat16, 0x5EED13}},
       {"--page-type", "2", "--segments", "2", "--seed", "11", "--free", "9", "--dropped", "3"}},
      {"ThreeVolumes_800_Pages18_FourSegmentsWithGaps_StaleMaps",
       0x800,
       {{"/", FatType::Fat12, 0x5EED04, 2},
        {"/a", FatType::Fat16, 0x5EED05, 2},
        {"/a/b", FatType::Fat12, 0x5EED06, 3}},
       {"--page-type", "18", "--segments", "4", "--gap", "$800", "--seed", "99", "--stale-maps", "--stale",
        "3"}},
      {"Fat16_1000_Pages2_FourSegmentsNoGaps_Free",
       0x1000,
       {{"/", FatType::Fat16, 0x5EED07, 3, 4, 128 * 1024}},
       {"--page-type", "2", "--segments", "4", "--seed", "1000", "--free", "5"}},
      {"ThreeVolumes_1000_NoSpares_Gaps_StaleFreeDroppedStaleMaps",
       0x1000,
       {{"/", FatType::Fat16, 0x5EED08, 2},
        {"/a", FatType::Fat12, 0x5EED09, 3, 4, 128 * 1024},
        {"/a/b", FatType::Fat12, 0x5EED0A, 2}},
       {"--segments", "3", "--gap", "0x3000", "--seed", "4242", "--stale", "5", "--free", "4", "--dropped",
        "2", "--stale-maps"}},
      {"Fat12_1000_Pages18_TenSegmentsWithGaps_MountedAtA",
       0x1000,
       {{"/a", FatType::Fat12, 0x5EED2B, 3, 4, 128 * 1024}},
       {"--page-type", "18", "--segments", "10", "--gap", "0x20000", "--seed", "5", "--stale", "2"}},
      {"Fat12_4000_Pages2_TwoSegmentsWithGap_StaleAndFree",
       0x4000,
       {{"/", FatType::Fat12, 0x5EED1C, 2, 4, 160 * 1024}},
       {"--page-type", "2", "--segments", "2", "--gap", "0x4000", "--seed", "16384", "--stale", "2", "--free",
        "2"}},
      // Volumes as a PC formats them, read as their boot sectors say.
      {"Fat12_800_MkfsDefaults", 0x800, {{"/", FatType::Fat12, 0x5EED31, 3, 4, 64 * 1024, {true}}}, {"--page-type", "18"}},
      {"Fat16_800_MkfsDefaults_TwoVolumes",
       0x800,
       {{"/", FatType::Fat16, 0x5EED32, 3, 4, 64 * 1024, {true}}, {"/a", FatType::Fat12, 0x5EED33, 2, 4, 32 * 1024, {true}}},
       {"--seed", "3", "--stale", "4"}},
      {"Fat12_800_TwoFats_Clusters512_Root112",
       0x800,
       {{"/", FatType::Fat12, 0x5EED34, 3, 4, 16 * 1024, {false, 512, 2, 0, 112}}},
       {"--page-type", "2", "--segments", "2"}},
      {"Fat16_800_Reserved4_Clusters1K_Root16",
       0x800,
       {{"/", FatType::Fat16, 0x5EED47, 3, 6, 32 * 1024, {false, 1024, 0, 4, 16}}},
       {"--seed", "8"}},
      {"Fat16_4000_Reserved32_TwoFats_Clusters4K_Root512",
       0x4000,
       {{"/", FatType::Fat16, 0x5EED36, 3, 4, 96 * 1024, {false, 4096, 2, 32, 512}}},
       {"--page-type", "18", "--seed", "21"}},
      {"Fat12_4000_Clusters16K_Root112",
       0x4000,
       {{"/", FatType::Fat12, 0x5EED37, 3, 5, 96 * 1024, {false, 16384, 0, 0, 112}}},
       {"--page-type", "2"}},
      // Clusters of several fs_blocks, on a flash that mapped only the blocks
      // written: the image ends inside the last cluster of the used area.
      {"Fat16_800_Clusters8K_TwoFats_WrittenOnly",
       0x800,
       {{"/", FatType::Fat16, 0x5EED38, 3, 4, 96 * 1024, {false, 8192, 2, 0, 0}}},
       {"--seed", "9", "--written-only"}},
      {"Fat12_800_Clusters16K_WrittenOnly",
       0x800,
       {{"/", FatType::Fat12, 0x5EED39, 3, 5, 96 * 1024, {false, 16384, 0, 0, 0}}},
       {"--page-type", "18", "--written-only"}},
      {"Fat12_200_Clusters4K_WrittenOnly",
       0x200,
       {{"/", FatType::Fat12, 0x5EED3A, 3, 4, 24 * 1024, {false, 4096, 0, 0, 0}}},
       {"--written-only"}},
  };
  return cases;
}

// ---------------------------------------------------------------------------
// Making a dump and extracting it.

class DumpFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS();
  }

  fs::path Work(const std::string& name) const { return work_.path() / name; }
  fs::path RunDir() const { return run_.path(); }
  fs::path OutDir() const { return RunDir() / kOutDir; }
  fs::path FsImage() const { return RunDir() / (kName + ".fs"); }

  // A seeded random tree per volume, with sizes drawn around the cluster.
  void WriteTrees(const DumpCase& c) {
    for (std::size_t i = 0; i < c.volumes.size(); ++i) {
      const VolumeCase& v = c.volumes[i];
      RandomTreeOptions options;
      options.seed = v.seed;
      options.clusterBytes = v.pc.clusterBytes != 0 ? v.pc.clusterBytes : c.fsBlockSize;
      options.depth = v.depth;
      options.filesPerDirectory = v.filesPerDirectory;
      options.maxFileBytes = v.maxFileBytes;
      if (v.pc.rootEntries != 0 && v.pc.rootEntries < 64) options.rootFiles = 1;  // a small root directory
      trees_.push_back(Work("tree" + std::to_string(i)));
      WriteRandomTree(trees_.back(), options);
    }
  }

  void MakeVolumes(const DumpCase& c) {
    for (std::size_t i = 0; i < c.volumes.size(); ++i) {
      MtoolsVolumeSpec plan;
      plan.bits = c.volumes[i].bits;
      plan.fsBlockSize = c.fsBlockSize;
      plan.pc = c.volumes[i].pc;
      volumes_.push_back(
          MakeMtoolsVolumeFromTree(plan, trees_[i], Work("volume" + std::to_string(i) + ".img")));
    }
  }

  // quillex-mkraw -o name.raw -b SIZE OPTIONS --patch-boot MOUNT=VOLUME ...,
  // run in the run folder; it must succeed.
  void MakeDump(const DumpCase& c) {
    std::vector<std::string> args{"-o", kName, "-b", "0x" + Hex(c.fsBlockSize, 1)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("--patch-boot");
    for (std::size_t i = 0; i < c.volumes.size(); ++i) {
      args.push_back(c.volumes[i].mountPath + "=" + volumes_[i].image.string());
    }
    const ProgramOutput made = RunQuillexMkraw(RunDir(), args);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_NE(made.out.find(kName), std::string::npos) << made.out;
  }

  // quillex4 name.raw in the run folder, Enter pressed at the end.
  void Extract() {
    run_result_ = RunQuillex4(RunDir(), {kName}, RunOptions{"\n", false, 120000});
    ASSERT_FALSE(run_result_.timedOut);
    ASSERT_EQ(run_result_.status, 0) << run_result_.out;
  }

  void MakeAndExtract(const DumpCase& c) {
    WriteTrees(c);
    MakeVolumes(c);
    MakeDump(c);
    if (HasFatalFailure()) return;
    Extract();
  }

  // The trees as the extraction must lay them out: each under its mount
  // path's folder.
  fs::path ExpectedTree(const DumpCase& c) {
    const fs::path expected = Work("expected");
    for (std::size_t i = 0; i < c.volumes.size(); ++i) {
      const fs::path to = expected / UnitFolder(c.volumes[i].mountPath);
      fs::create_directories(to);
      fs::copy(trees_[i], to, fs::copy_options::recursive);
    }
    return expected;
  }

  TempDir work_;  // trees, volume images, peers' output
  TempDir run_;   // name.raw and what quillex4 writes
  std::vector<fs::path> trees_;
  std::vector<MtoolsVolume> volumes_;
  ToolRun run_result_;
};

// ---------------------------------------------------------------------------
// Round trip.

class RoundTripTest : public DumpFixture, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(RoundTripTest, ExtractedTreeEqualsTheTreesPutIn) {
  const DumpCase& c = GetParam();
  MakeAndExtract(c);
  if (HasFatalFailure()) return;
  // The trees hold what the case promises: nesting, long names, empty files.
  std::size_t files = 0, directories = 0, emptyFiles = 0, longNames = 0;
  for (const auto& tree : trees_) {
    for (const auto& item : fs::recursive_directory_iterator(tree)) {
      if (item.path().filename().string().size() > 12) ++longNames;
      if (item.is_directory()) {
        ++directories;
      } else {
        ++files;
        if (item.file_size() == 0) ++emptyFiles;
      }
    }
  }
  EXPECT_GE(files, 25u);
  EXPECT_GE(directories, 4u);
  EXPECT_GE(longNames, 10u);
  EXPECT_GE(emptyFiles, 1u);

  const fs::path expected = ExpectedTree(c);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  // quillex extract runs the same stages: the same tree.
  RunOptions quillex;
  quillex.command = {QUILLEX_PATH};
  const ToolRun extracted = RunQuillex4(RunDir(), {"extract", kName, "-q", "-o", "extract"}, quillex);
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(CompareTrees(expected, RunDir() / "extract" / kOutDir), "") << "quillex extract";

  // One walked partition per volume, in Mount Table order, each saving the
  // files of its tree; nothing reported as wrong.
  const std::string& out = run_result_.out;
  std::size_t at = out.find("Trying to process Mount Table @ fs_block: $0001\r\n");
  ASSERT_NE(at, std::string::npos) << out;
  for (std::size_t i = 0; i < c.volumes.size(); ++i) {
    const std::string partition = ": partition #" + Hex(static_cast<std::uint32_t>(i + 1), 2) + kOutDir +
                                  "/" + UnitFolder(c.volumes[i].mountPath).string() + "\r\n";
    const std::string type = c.volumes[i].bits == FatType::Fat12 ? "  type: 01 - FAT12 fs_info: $"
                                                                 : "  type: 04 - FAT16 up to 32Mb fs_info: $";
    const std::string saved =
        "  files saved: " + std::to_string(CountTree(trees_[i], c.fsBlockSize).files) + "\r\n";
    for (const std::string& line : {partition, type, saved}) {
      const std::size_t next = out.find(line, at);
      ASSERT_NE(next, std::string::npos)
          << "unit " << c.volumes[i].mountPath << ": no '" << line << "' after offset " << at << " in:\n"
          << out;
      at = next + line.size();
    }
  }
  for (const std::string& word : kSuspicious) EXPECT_EQ(out.find(word), std::string::npos) << out;
  EXPECT_NE(out.find("OK!\r\nTask finished! Press ENTER to quit.\r\n", at), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(RoundTrip, RoundTripTest, ::testing::ValuesIn(DumpCases()), CaseName());

// An empty file has first cluster 0, and quillex4 skips an entry whose first
// cluster lies at offset 0 of the image. Cluster 0 lies one fs_block before
// the data area: it would be at offset 0 if the unit started at logical
// block 2 and its partition table, boot sector, FAT and root directory filled
// just its first fs_block, as they do for a small FAT12 volume with fs_blocks
// of $1000 and the fewest root entries that fit; quillex-mkraw starts units
// at block 3 for that. The empty files must come back: they are in the
// volume, and mtools finds them in name.raw.fs.
class RoundTripEmptyFilesTest : public DumpFixture {};

TEST_F(RoundTripEmptyFilesTest, ComeBackWhenFatAndRootFillTheUnitsFirstFsBlock) {
  const std::uint32_t block = 0x1000;
  const fs::path tree = Work("tree0");
  WriteTreeFile(tree / "EMPTY.TXT", {});
  WriteTreeFile(tree / "Empty file in the root.dat", {});
  WriteTreeFile(tree / "Kept data.bin", SeededBytes(5000, 1));
  WriteTreeFile(tree / "Sub folder" / "empty file in a sub folder.txt", {});
  WriteTreeFile(tree / "Sub folder" / "DATA.BIN", SeededBytes(block, 2));
  trees_.push_back(tree);
  MtoolsVolumeSpec plan;
  plan.bits = FatType::Fat12;
  plan.fsBlockSize = block;
  plan.minRootEntries = 16;
  volumes_.push_back(MakeMtoolsVolumeFromTree(plan, tree, Work("volume0.img")));
  // What the case rests on: the data area begins at the unit's second
  // fs_block.
  ASSERT_EQ(volumes_[0].FirstDataSector(), block / 512);

  const DumpCase c{"empty files", block, {{"/", FatType::Fat12, 0}}, {}};
  MakeDump(c);
  if (HasFatalFailure()) return;
  Extract();
  if (HasFatalFailure()) return;
  EXPECT_EQ(CompareTrees(tree, OutDir()), "");

  const fs::path peer = Work("mtools");
  fs::create_directories(peer);
  const ProgramOutput run = RunProgramIn(
      RunDir(), {FindProgram("mcopy"), "-s", "-i",
                 FsImage().string() + "@@" + std::to_string(2 * block + 3 * 512), "::/", peer.string() + "/"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(CompareTrees(tree, peer), "") << "mtools reading name.raw.fs";
}

// ---------------------------------------------------------------------------
// Peers: mtools and The Sleuth Kit read the partitions inside name.raw.fs.

// One MTab unit as read straight from the .fs file.
struct UnitRead {
  std::string path;
  std::uint16_t start = 0;
};

// quillex-mkraw puts the Mount Table in logical fs_block 1, the first
// fs_block of the .fs file: 48-byte units, the mount path's length at +28,
// the start block at +36, up to an end mark of 00 00 or FF FF.
std::vector<UnitRead> ReadMountTable(const std::string& fsImage) {
  std::vector<UnitRead> units;
  for (std::size_t at = 0; at + 48 <= fsImage.size() && units.size() < 21; at += 48) {
    const std::uint16_t mark = Word(fsImage, at);
    if (mark == 0x0000 || mark == 0xFFFF) break;
    const auto length = static_cast<std::uint8_t>(fsImage[at + 28]);
    units.push_back({fsImage.substr(at, length), Word(fsImage, at + 36)});
  }
  return units;
}

// The partition's boot sector lies three sectors after the unit's partition
// table, which is the unit's first sector.
std::uint64_t BootSectorOffset(const UnitRead& unit, std::uint32_t fsBlockSize) {
  return (std::uint64_t{unit.start} - 1) * fsBlockSize + 3 * 512;
}

// fls -r -p lists every name of the volume: "r/r 6:\tROOT.TXT" for a file,
// "d/d 5:\tname" for a folder, a "*" before the number when deleted, and
// "v/v" or "V/V" for the reader's own virtual entries ($MBR, $FAT1, ...).
struct FlsListing {
  std::set<std::string> names;    // "dir: path" and "file: path"
  std::set<std::string> deleted;  // the same, for entries marked deleted
  std::string unreadable;         // lines not understood
};

FlsListing ParseFls(const std::string& out) {
  FlsListing listing;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const std::size_t tab = line.find(":\t");
    if (tab == std::string::npos) {
      listing.unreadable += line + "\n";
      continue;
    }
    const std::string head = line.substr(0, tab);
    const std::string path = line.substr(tab + 2);
    const std::string type = head.substr(0, head.find(' '));
    if (type == "v/v" || type == "V/V") continue;
    std::string name;
    if (type == "d/d") {
      name = "dir: " + path;
    } else if (type == "r/r") {
      name = "file: " + path;
    } else {
      listing.unreadable += line + "\n";
      continue;
    }
    listing.names.insert(name);
    if (head.find(" * ") != std::string::npos) listing.deleted.insert(name);
  }
  return listing;
}

class PeerFixture : public DumpFixture {
 protected:
  void SetUp() override {
    DumpFixture::SetUp();
    if (IsSkipped()) return;
    QUILLEX_SKIP_WITHOUT_PROGRAM("tsk_recover", "sleuthkit");
    QUILLEX_SKIP_WITHOUT_PROGRAM("fls", "sleuthkit");
    mcopy_ = FindProgram("mcopy");
    tskRecover_ = FindProgram("tsk_recover");
    fls_ = FindProgram("fls");
  }

  // mcopy -s -m -i name.raw.fs@@OFFSET ::/ into a fresh folder, the
  // modification times kept.
  fs::path ReadWithMtools(std::uint64_t offset, const std::string& folder) {
    const fs::path to = Work(folder);
    fs::create_directories(to);
    const ProgramOutput run = RunProgramIn(
        RunDir(), {mcopy_, "-s", "-n", "-m", "-i", FsImage().string() + "@@" + std::to_string(offset), "::/",
                   to.string() + "/"});
    EXPECT_EQ(run.status, 0) << "mcopy: " << run.out << run.err;
    return to;
  }

  // tsk_recover -e -o SECTOR name.raw.fs into a fresh folder: the files of
  // the volume, deleted ones included. It writes no file of 0 bytes and no
  // folder that holds no file.
  fs::path ReadWithSleuthKit(std::uint64_t offset, const std::string& folder) {
    const fs::path to = Work(folder);
    fs::create_directories(to);
    const ProgramOutput run = RunProgramIn(
        RunDir(), {tskRecover_, "-e", "-o", std::to_string(offset / 512), FsImage().string(), to.string()});
    EXPECT_EQ(run.status, 0) << "tsk_recover: " << run.out << run.err;
    return to;
  }

  // fls -r -p -o SECTOR name.raw.fs: every name, empty files and empty
  // folders included.
  FlsListing ListWithSleuthKit(std::uint64_t offset) {
    const ProgramOutput run =
        RunProgramIn(RunDir(), {fls_, "-r", "-p", "-o", std::to_string(offset / 512), FsImage().string()});
    EXPECT_EQ(run.status, 0) << "fls: " << run.out << run.err;
    FlsListing listing = ParseFls(run.out);
    EXPECT_EQ(listing.unreadable, "");
    return listing;
  }

  std::string mcopy_, tskRecover_, fls_;
};

class PeerTest : public PeerFixture, public ::testing::WithParamInterface<DumpCase> {};

// The trees hold no deleted file here (for those see DeletedFiles below), so
// all three readers must find exactly the same names and bytes. The Sleuth
// Kit's tsk_recover leaves out files of 0 bytes and folders without files;
// its fls lists them, so names are compared through fls and contents through
// tsk_recover.
TEST_P(PeerTest, MtoolsAndSleuthKitFindTheFilesThatWereExtracted) {
  const DumpCase& c = GetParam();
  MakeAndExtract(c);
  if (HasFatalFailure()) return;

  const std::vector<UnitRead> units = ReadMountTable(ReadFile(FsImage().string()));
  ASSERT_EQ(units.size(), c.volumes.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    SCOPED_TRACE("unit " + units[i].path);
    ASSERT_EQ(units[i].path, c.volumes[i].mountPath);
    const std::uint64_t offset = BootSectorOffset(units[i], c.fsBlockSize);
    const std::string n = std::to_string(i);

    // What quillex4 extracted for this unit, without the folders of the
    // units mounted inside it.
    const fs::path unitDir = OutDir() / UnitFolder(units[i].path);
    std::set<fs::path> nested;
    const std::string prefix = units[i].path == "/" ? "/" : units[i].path + "/";
    for (const UnitRead& other : units) {
      if (other.path.size() > prefix.size() && other.path.starts_with(prefix)) {
        const std::string below = other.path.substr(prefix.size());
        nested.insert(below.substr(0, below.find('/')));
      }
    }
    for (const fs::path& name : nested)
      ASSERT_FALSE(fs::exists(trees_[i] / name)) << "the tree holds " << name;
    const fs::path extracted = Work("extracted" + n);
    const fs::path extractedNonEmpty = Work("extracted nonempty" + n);
    CopyView(unitDir, extracted, nested, false);
    CopyView(unitDir, extractedNonEmpty, nested, true);

    const fs::path mtools = ReadWithMtools(offset, "mtools" + n);
    EXPECT_EQ(CompareTrees(mtools, extracted), "") << "mtools against quillex4";
    EXPECT_EQ(CompareTreeTimes(mtools, unitDir), "") << "mtools' times against quillex4";
    EXPECT_EQ(CompareTrees(ReadWithSleuthKit(offset, "sleuthkit" + n), extractedNonEmpty), "")
        << "tsk_recover against quillex4";
    const FlsListing listing = ListWithSleuthKit(offset);
    EXPECT_EQ(ListingDifference(listing.names, Listing(extracted)), "") << "fls against quillex4";
    EXPECT_TRUE(listing.deleted.empty()) << Joined(listing.deleted);
  }
}

INSTANTIATE_TEST_SUITE_P(Peer, PeerTest, ::testing::ValuesIn(DumpCases()), CaseName());

// Deleted files, handled on purpose. mcopy shows only the live files.
// tsk_recover -e recovers deleted ones too, and quillex4 saves a deleted
// entry under its long name while the long name's pieces are in place. A
// deleted file's FAT chain is freed: both take its first cluster and then
// the free clusters after it, so while no later file took them, a deleted
// file comes back whole, and alike from both.
class PeerDeletedFilesTest : public PeerFixture, public ::testing::WithParamInterface<PcLayout> {};

TEST_P(PeerDeletedFilesTest, DeletedFilesAgreeWithSleuthKit) {
  const std::uint32_t cluster = 0x800;
  const fs::path tree = Work("tree0");
  RandomTreeOptions options;
  options.seed = 0xDE1E7ED;
  options.depth = 2;
  options.filesPerDirectory = 3;
  options.maxFileBytes = 20 * 1024;
  WriteRandomTree(tree, options);
  struct Deleted {
    fs::path rel;
    std::size_t size;
  };
  const std::vector<Deleted> deleted{
      {"Folder with deleted files/Deleted small note of the user.txt", 1000},
      {"Folder with deleted files/Deleted file of one whole cluster.bin", cluster},
      {"Folder with deleted files/Deleted file of three clusters.bin", 2 * cluster + 500},
      {"Folder with deleted files/Deleted empty file with a long name.dat", 0},
      {"Folder with deleted files/Inner folder of the user/deleted inner file with a long name.txt", 700},
  };
  WriteTreeFile(tree / "Folder with deleted files" / "Kept file beside them.txt", SeededBytes(3000, 1));
  std::uint64_t seed = 10;
  for (const Deleted& d : deleted) WriteTreeFile(tree / d.rel, SeededBytes(d.size, ++seed));

  MtoolsVolumeSpec plan;
  plan.bits = FatType::Fat16;
  plan.pc = GetParam();
  volumes_.push_back(MakeMtoolsVolumeFromTree(plan, tree, Work("volume0.img")));
  // Deleted last, so that no later copy takes their entries or clusters.
  for (const Deleted& d : deleted) DeleteFromVolume(volumes_[0], "::/" + d.rel.generic_string());
  trees_.push_back(tree);
  const DumpCase c{"deleted", cluster, {{"/", FatType::Fat16, 0}}, {"--page-type", "18", "--seed", "3"}};
  MakeDump(c);
  if (HasFatalFailure()) return;
  Extract();
  if (HasFatalFailure()) return;

  // quillex4: the tree as put in, deleted files and all.
  EXPECT_EQ(CompareTrees(tree, OutDir()), "");

  const std::vector<UnitRead> units = ReadMountTable(ReadFile(FsImage().string()));
  ASSERT_EQ(units.size(), 1u);
  const std::uint64_t offset = BootSectorOffset(units[0], cluster);

  // mtools: the live files only.
  std::set<fs::path> deletedPaths;
  for (const Deleted& d : deleted) deletedPaths.insert(d.rel);
  const fs::path live = Work("extracted live");
  CopyView(OutDir(), live, deletedPaths, false);
  EXPECT_EQ(CompareTrees(ReadWithMtools(offset, "mtools"), live), "") << "mtools against quillex4";

  // fls: every name, the deleted ones marked.
  const FlsListing listing = ListWithSleuthKit(offset);
  EXPECT_EQ(ListingDifference(listing.names, Listing(OutDir())), "") << "fls against quillex4";
  std::set<std::string> deletedNames;
  for (const Deleted& d : deleted) deletedNames.insert("file: " + d.rel.string());
  EXPECT_EQ(ListingDifference(listing.deleted, deletedNames), "") << "deleted entries";

  // tsk_recover: the same names and bytes, the deleted files' too.
  const fs::path extractedNonEmpty = Work("extracted nonempty");
  CopyView(OutDir(), extractedNonEmpty, {}, true);
  EXPECT_EQ(CompareTrees(ReadWithSleuthKit(offset, "sleuthkit"), extractedNonEmpty), "")
      << "tsk_recover against quillex4";
}

// As the phone lays the volume out, and with two FATs, the data area then
// off the fs_block boundary.
INSTANTIATE_TEST_SUITE_P(Layouts, PeerDeletedFilesTest, ::testing::Values(PcLayout{}, PcLayout{false, 0, 2, 0, 0}),
                         [](const ::testing::TestParamInfo<PcLayout>& layout) {
                           return std::string(layout.param.Any() ? "TwoFats" : "Phone");
                         });

// ---------------------------------------------------------------------------
// A volume filled the way a user fills one, in FAT12 and FAT16: files and
// folders of every attribute FAT drivers set, names that begin with a dot,
// Unicode long names (Cyrillic names that differ only beyond Latin-1, a first
// character beyond Latin-1, Chinese, Greek), a file renamed by mren, and
// modification times given by touch -d and kept by mcopy -m; then files
// deleted by mdel, among them a long name whose first character's low byte
// is E5 (日 is U+65E5), ahead of live files in its folder. Each entry is
// copied on its own, in the table's order. Local time is three hours east of
// UTC while the test runs, so that a time read as UTC shows.
//
// Every file and folder must come back with its name (UTF-8), bytes and
// time; mcopy -s -m must give the same for the live ones, and tsk_recover -e
// the same bytes for the deleted ones.
struct UserEntry {
  std::string rel;  // a folder's ends with "/"
  std::size_t size = 0;
  std::vector<std::string> attributes;  // mattrib flags; none: as mcopy leaves it, 20 or 10
  std::string time;                     // touch -d
  bool deleted = false;
  std::string copiedAs = {};  // the name it has until mren gives it its own
};

const std::vector<UserEntry>& UserEntries() {
  static const std::vector<UserEntry> entries{
      {"Archived root file.txt", 3000, {}, "2009-04-05 06:07:08"},                        // 20
      {"READONLY.TXT", 100, {"+r"}, "2010-01-31 23:59:58"},                                // 21
      {"Hidden root file.dat", 2100, {"+h"}, "2011-12-31 12:00:00"},                       // 22
      {"HIDDEN.BIN", 50, {"+h", "-a"}, "2012-02-29 01:02:04"},                             // 02
      {"SYSTEM.SYS", 4097, {"+s", "-a"}, "2013-07-14 14:15:16"},                           // 04
      {"Read-only hidden system.bin", 77, {"+r", "+h", "+s", "-a"}, "2014-10-26 02:30:00"},  // 07
      {".nomedia", 0, {}, "2015-03-01 00:00:00"},
      {".thumbnails/", 0, {}, "2015-03-02 10:11:12"},
      {".thumbnails/thumb 0001.jpg", 5000, {}, "2015-03-02 10:11:10"},
      {"IMG Мама.jpg", 6000, {}, "2016-05-08 09:10:12"},
      {"IMG Папа.jpg", 6001, {}, "2016-06-19 09:10:15"},  // odd seconds: FAT keeps 14
      {"Фото 1.jpg", 2048, {}, "2017-01-01 00:00:02"},
      {"中文名字.txt", 10, {}, "2018-02-16 08:00:00"},
      {"Ελληνικά σημειώσεις.txt", 300, {}, "2019-03-25 18:45:30"},
      {"Hidden folder/", 0, {"+h"}, "2005-05-05 05:05:04"},  // 12
      {"Hidden folder/Inner folder/", 0, {}, "2005-05-05 05:05:06"},
      {"Hidden folder/Inner folder/deep file.txt", 1500, {}, "2004-04-04 04:04:04"},
      {"Hidden folder/Inner folder/SYS7.BIN", 2049, {"+r", "+h", "+s", "-a"}, "2004-04-04 04:04:06"},  // 07
      {"Hidden folder/HIDDEN.TXT", 20, {"+h"}, "2004-04-04 04:04:08"},                                 // 22
      {"Hidden folder/System file.txt", 21, {"+s"}, "2004-04-04 04:04:10"},                            // 24
      {"Archived folder/", 0, {"+a"}, "2006-06-06 06:06:06"},                                          // 30
      {"Archived folder/file in it.txt", 900, {}, "2006-06-06 06:06:00"},
      {"READONLY.DIR/", 0, {"+r"}, "2007-07-07 07:07:06"},  // 11
      {"READONLY.DIR/Inside a read-only folder.txt", 100, {}, "2007-07-07 07:07:00"},
      {"System folder/", 0, {"+s"}, "2008-08-08 08:08:08"},  // 14
      {"System folder/Фото 2.jpg", 4100, {}, "2008-08-08 08:08:00"},
      {"Diary/", 0, {}, "2020-01-01 20:20:20"},
      {"Diary/日记.txt", 1200, {}, "2020-01-01 20:00:00", true},
      {"Diary/Новое имя.txt", 800, {}, "2020-01-01 20:02:00", false, "old name.txt"},
      {"Diary/After the diary.txt", 2500, {}, "2020-01-01 20:04:00"},
      {"Diary/AFTER2.TXT", 64, {}, "2020-01-01 20:06:00"},
      {"Deleted/", 0, {}, "2021-09-09 09:09:08"},
      {"Deleted/Ten thousand bytes.bin", 10000, {}, "2021-09-09 09:00:00", true},
      {"Deleted/DELSHORT.BIN", 3000, {}, "2021-09-09 09:01:00", true},
      {"Deleted/Kept beside them.txt", 10, {}, "2021-09-09 09:02:00"},
  };
  return entries;
}

bool IsFolder(const UserEntry& e) { return e.rel.back() == '/'; }
fs::path EntryPath(const UserEntry& e) { return IsFolder(e) ? e.rel.substr(0, e.rel.size() - 1) : e.rel; }
std::string VolumePath(const fs::path& rel) { return "::/" + rel.generic_string(); }

// The name quillex4 saves a deleted entry under: its long name while the
// pieces are there, else the short name with its first byte E5, which reads
// as "å".
fs::path RecoveredPath(const UserEntry& e) {
  const fs::path path = EntryPath(e);
  const std::string name = path.filename().string();
  const bool shortName = name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.") == std::string::npos;
  return e.deleted && shortName ? path.parent_path() / ("\u00E5" + name.substr(1)) : path;
}

struct UserVolumeCase {
  std::string name;
  FatType bits;
  std::uint32_t sizeKiB;
};

void PrintTo(const UserVolumeCase& c, std::ostream* out) { *out << c.name; }

class PeerUserVolumeTest : public PeerFixture, public ::testing::WithParamInterface<UserVolumeCase> {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
    ::setenv("TZ", "XST-3", 1);  // UTC+3, no summer time
    ::tzset();
    PeerFixture::SetUp();
  }
  void TearDown() override {
    savedTz_ ? ::setenv("TZ", savedTz_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

  // The table's files and folders below `root`, with their times; deleted
  // entries under the names quillex4 gives them when `recovered`.
  static void WriteUserTree(const fs::path& root, bool recovered) {
    std::uint64_t seed = 0x05E4;
    for (const UserEntry& e : UserEntries()) {
      const fs::path at = root / (recovered ? RecoveredPath(e) : EntryPath(e));
      if (IsFolder(e)) {
        fs::create_directories(at);
      } else {
        WriteTreeFile(at, SeededBytes(e.size, ++seed));
      }
    }
    for (const UserEntry& e : UserEntries()) {
      SetModificationTime(root / (recovered ? RecoveredPath(e) : EntryPath(e)), e.time);
    }
  }

  std::optional<std::string> savedTz_;
};

TEST_P(PeerUserVolumeTest, NamesBytesAndTimesAgreeWithMtoolsAndSleuthKit) {
  const UserVolumeCase& c = GetParam();
  const fs::path tree = Work("tree0");
  WriteUserTree(tree, false);
  MtoolsVolumeSpec plan;
  plan.bits = c.bits;
  plan.sizeKiB = c.sizeKiB;
  const MtoolsVolume volume = MakeEmptyMtoolsVolume(plan, Work("volume0.img"));
  int index = 0;
  for (const UserEntry& e : UserEntries()) {
    const fs::path path = EntryPath(e);
    const std::string parent = VolumePath(path.parent_path() / "");
    if (IsFolder(e)) {
      // An empty folder of the same name and time; its files follow one by one.
      const fs::path empty = Work("folders") / std::to_string(++index) / path.filename();
      fs::create_directories(empty);
      SetModificationTime(empty, e.time);
      CopyIntoVolume(volume, {empty}, parent);
    } else {
      CopyIntoVolume(volume, {tree / path}, parent + e.copiedAs);
    }
  }
  for (const UserEntry& e : UserEntries()) {
    const fs::path path = EntryPath(e);
    if (!e.copiedAs.empty()) RenameInVolume(volume, VolumePath(path.parent_path() / e.copiedAs), VolumePath(path));
    ChangeAttributes(volume, e.attributes, {VolumePath(path)});
  }
  std::set<fs::path> deleted;
  for (const UserEntry& e : UserEntries()) {
    if (!e.deleted) continue;
    DeleteFromVolume(volume, VolumePath(EntryPath(e)));
    deleted.insert(RecoveredPath(e));
  }

  volumes_.push_back(volume);
  const DumpCase dump{c.name, 0x800, {{"/", c.bits, 0}}, {"--page-type", "18", "--seed", "11"}};
  MakeDump(dump);
  if (HasFatalFailure()) return;
  Extract();
  if (HasFatalFailure()) return;

  // quillex4: everything, deleted files whole.
  const fs::path expected = Work("expected");
  WriteUserTree(expected, true);
  EXPECT_EQ(CompareTrees(expected, OutDir()), "");
  EXPECT_EQ(CompareTreeTimes(expected, OutDir()), "");

  const std::vector<UnitRead> units = ReadMountTable(ReadFile(FsImage().string()));
  ASSERT_EQ(units.size(), 1u);
  const std::uint64_t offset = BootSectorOffset(units[0], 0x800);

  // mcopy: the live files and every folder, with the same names, bytes and
  // times.
  const fs::path mtools = ReadWithMtools(offset, "mtools");
  const fs::path live = Work("extracted live");
  CopyView(OutDir(), live, deleted, false);
  EXPECT_EQ(CompareTrees(mtools, live), "") << "mtools against quillex4";
  EXPECT_EQ(CompareTreeTimes(mtools, OutDir()), "") << "mtools against quillex4";

  // tsk_recover: the deleted files' bytes. It names a deleted short entry
  // with "_" for its first byte.
  const fs::path recovered = ReadWithSleuthKit(offset, "sleuthkit");
  for (const fs::path& rel : deleted) {
    std::string name = rel.filename().string();
    if (name.starts_with("\u00E5")) name = "_" + name.substr(2);
    EXPECT_TRUE(ReadFile((recovered / rel.parent_path() / name).string()) == ReadFile((OutDir() / rel).string()))
        << "tsk_recover against quillex4: " << rel;
  }
}

INSTANTIATE_TEST_SUITE_P(Peer, PeerUserVolumeTest,
                         ::testing::Values(UserVolumeCase{"Fat12", FatType::Fat12, 1024},
                                           UserVolumeCase{"Fat16", FatType::Fat16, 8800}),
                         CaseName());

// ---------------------------------------------------------------------------
// quillex-mkraw as a command-line tool.

class MkrawFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS();
  }

  fs::path Dir() const { return dir_.path(); }
  std::string At(const std::string& name) const { return (dir_.path() / name).string(); }

  // A small tree, and a FAT12 volume of 2 KiB clusters holding it that fits.
  MtoolsVolume GoodVolume(const std::string& name = "good.img") {
    const fs::path tree = Dir() / "tree";
    if (!fs::exists(tree)) {
      RandomTreeOptions options;
      options.seed = 0xC0FFEE;
      options.depth = 2;
      options.filesPerDirectory = 3;
      options.maxFileBytes = 16 * 1024;
      WriteRandomTree(tree, options);
    }
    MtoolsVolumeSpec plan;
    plan.bits = FatType::Fat12;
    plan.sizeKiB = 1024;
    return MakeMtoolsVolumeFromTree(plan, tree, Dir() / name);
  }

  // mkfs.fat with the given options on a new image of `sizeKiB`.
  void MakeFs(const std::vector<std::string>& options, const std::string& name, std::uint32_t sizeKiB) {
    std::vector<std::string> argv{FindProgram("mkfs.fat")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-C", At(name), std::to_string(sizeKiB)});
    const ProgramOutput run = RunProgramIn(Dir(), argv);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
  }

  ToolRun Extract() { return RunQuillex4(Dir(), {kName}, RunOptions{"\n", false, 120000}); }

  TempDir dir_;
};

class MkrawToolTest : public MkrawFixture {};

TEST_F(MkrawToolTest, HelpAndVersionGoToStandardOutput) {
  for (const std::string option : {"--help", "-h"}) {
    const ProgramOutput run = RunQuillexMkraw(Dir(), {option});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.err, "") << option;
    EXPECT_EQ(run.out.rfind("Usage: quillex-mkraw", 0), 0u) << run.out;
    for (const char* named :
         {"--output", "--block-size", "--page-type", "--segments", "--gap", "--seed", "--no-shuffle",
          "--free", "--stale", "--dropped", "--stale-maps", "--missing-map-id", "--empty-unit",
          "--invalid-unit", "--patch-boot", "--help", "--version", "mkfs.fat"}) {
      EXPECT_NE(run.out.find(named), std::string::npos) << "the help does not name " << named;
    }
  }
  const ProgramOutput version = RunQuillexMkraw(Dir(), {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(version.out.rfind("quillex-mkraw ", 0), 0u) << version.out;
  EXPECT_NE(version.out.find_first_of("0123456789"), std::string::npos) << version.out;
  ASSERT_FALSE(version.out.empty());
  EXPECT_EQ(version.out.back(), '\n');
  EXPECT_TRUE(fs::is_empty(Dir())) << "help or version left a file behind";
}

// A failing run: nothing on standard output, the file and the problem on
// standard error, the given status, and the folder as it was.
struct FailureCase {
  std::string name;
  // How the volume named "volume.img" is made: mkfs.fat options for a
  // 1,024 KiB image, "good" for one that fits, "" for none at all.
  std::vector<std::string> volume;
  std::vector<std::string> args;      // VOLUME stands for the volume's full path
  std::vector<std::string> messages;  // each must be in standard error
  int status = 1;
  std::vector<std::pair<std::size_t, std::uint8_t>> poke = {};  // volume bytes then changed
  std::size_t cutTo = 0;                                         // volume then cut to this length; 0: whole
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

const std::vector<std::string> kGood{"good"};
const std::vector<std::string> kNoVolume{};

const std::vector<FailureCase>& FailureCases() {
  static const std::vector<FailureCase> cases{
      {"MissingVolumeFile",
       kNoVolume,
       {"-o", kName, "--patch-boot", "/=VOLUME"},
       {"volume.img", "No such file"}},
      {"SectorsOf1024Bytes", {"-S", "1024"}, {"-o", kName, "--patch-boot", "/=VOLUME"}, {"volume.img", "1024 bytes"}},
      {"Fat32", {"-F", "32"}, {"-o", kName, "--patch-boot", "/=VOLUME"}, {"volume.img", "FAT32"}},
      {"NoFat", kGood, {"-o", kName, "--patch-boot", "/=VOLUME"}, {"volume.img", "0 FATs"}, 1, {{16, 0}}},
      {"ClustersOfThreeSectors",
       kGood,
       {"-o", kName, "--patch-boot", "/=VOLUME"},
       {"volume.img", "clusters are 3 sectors"},
       1,
       {{13, 3}}},
      {"BootSectorCountPastTheFileEnd",
       kGood,
       {"-o", kName, "--patch-boot", "/=VOLUME"},
       {"volume.img", "gives 2048 sectors, but the file holds 1000"},
       1,
       {},
       1000 * 512},
      {"TooShortForABootSector", kGood, {"-o", kName, "/=VOLUME"}, {"volume.img", "100 bytes long"}, 1, {}, 100},
      {"NoBootSignatureWithoutPatchBoot",
       kGood,
       {"-o", kName, "/=VOLUME"},
       {"volume.img", "EB 3C 90", "--patch-boot"}},
      {"OutputInAMissingFolder",
       kGood,
       {"-o", "no such folder/out.raw", "--patch-boot", "/=VOLUME"},
       {"no such folder/out.raw"}},
      {"PageTypeFive",
       kGood,
       {"-o", kName, "--page-type", "5", "--patch-boot", "/=VOLUME"},
       {"--page-type", "5"},
       2},
      {"NoSegments", kGood, {"-o", kName, "--segments", "0", "--patch-boot", "/=VOLUME"}, {"--segments"}, 2},
      {"ElevenSegments",
       kGood,
       {"-o", kName, "--segments", "11", "--patch-boot", "/=VOLUME"},
       {"--segments", "11"},
       2},
      {"BlockSizeNotAMultipleOf512",
       kGood,
       {"-o", kName, "-b", "1000", "--patch-boot", "/=VOLUME"},
       {"1000"},
       2},
      {"SeedNotANumber",
       kGood,
       {"-o", kName, "--seed", "abc", "--patch-boot", "/=VOLUME"},
       {"--seed", "abc"},
       2},
      {"NegativeGap", kGood, {"-o", kName, "--gap", "-1", "--patch-boot", "/=VOLUME"}, {"--gap", "-1"}, 2},
      {"HexWithoutDigits", kGood, {"-o", kName, "--free", "0x", "--patch-boot", "/=VOLUME"}, {"--free"}, 2},
      {"OptionWithoutItsValue", kGood, {"-o", kName, "--patch-boot", "/=VOLUME", "--seed"}, {"--seed"}, 2},
      {"UnknownOption",
       kGood,
       {"-o", kName, "--frobnicate", "--patch-boot", "/=VOLUME"},
       {"--frobnicate"},
       2},
      {"NoOutputOption", kGood, {"--patch-boot", "/=VOLUME"}, {"-o"}, 2},
      {"NoVolume", kGood, {"-o", kName, "--patch-boot"}, {"VOLUME"}, 2},
      {"MountPathWithoutSlash", kGood, {"-o", kName, "--patch-boot", "abc=VOLUME"}, {"abc"}, 2},
      {"MountPathOver28Bytes",
       kGood,
       {"-o", kName, "--patch-boot", "/" + std::string(28, 'p') + "=VOLUME"},
       {std::string(28, 'p')},
       2},
      {"MoreThan21Units",
       kGood,
       {"-o",
        kName,
        "--patch-boot",
        "/=VOLUME",
        "--invalid-unit",
        "/1",
        "--invalid-unit",
        "/2",
        "--invalid-unit",
        "/3",
        "--invalid-unit",
        "/4",
        "--invalid-unit",
        "/5",
        "--invalid-unit",
        "/6",
        "--invalid-unit",
        "/7",
        "--invalid-unit",
        "/8",
        "--invalid-unit",
        "/9",
        "--invalid-unit",
        "/10",
        "--invalid-unit",
        "/11",
        "--invalid-unit",
        "/12",
        "--invalid-unit",
        "/13",
        "--invalid-unit",
        "/14",
        "--invalid-unit",
        "/15",
        "--invalid-unit",
        "/16",
        "--invalid-unit",
        "/17",
        "--invalid-unit",
        "/18",
        "--invalid-unit",
        "/19",
        "--invalid-unit",
        "/20",
        "--invalid-unit",
        "/21"},
       {"21"}},
  };
  return cases;
}

class MkrawFailureTest : public MkrawFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MkrawFailureTest, ReportsOnStandardErrorAndLeavesNothingBehind) {
  const FailureCase& c = GetParam();
  if (c.volume == kGood) {
    GoodVolume("volume.img");
  } else if (!c.volume.empty()) {
    MakeFs(c.volume, "volume.img", 1024);
  }
  if (HasFatalFailure()) return;
  if (!c.poke.empty() || c.cutTo != 0) {
    std::string bytes = ReadFile(At("volume.img"));
    for (const auto& [at, value] : c.poke) bytes.at(at) = static_cast<char>(value);
    if (c.cutTo != 0) bytes.resize(c.cutTo);
    WriteFile(At("volume.img"), bytes);
  }
  const std::set<std::string> before = Listing(Dir());
  const std::string volumeBytes = c.volume.empty() ? "" : ReadFile(At("volume.img"));

  std::vector<std::string> args;
  for (std::string arg : c.args) {
    if (const std::size_t at = arg.find("VOLUME"); at != std::string::npos) {
      arg.replace(at, 6, At("volume.img"));
    }
    args.push_back(arg);
  }
  const ProgramOutput run = RunQuillexMkraw(Dir(), args);
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("quillex-mkraw: ", 0), 0u) << run.err;
  for (const std::string& message : c.messages) {
    EXPECT_NE(run.err.find(message), std::string::npos) << "no '" << message << "' in:\n" << run.err;
  }
  EXPECT_EQ(ListingDifference(before, Listing(Dir())), "") << "the folder changed";
  if (!c.volume.empty()) {
    EXPECT_TRUE(ReadFile(At("volume.img")) == volumeBytes) << "the volume changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Mkraw, MkrawFailureTest, ::testing::ValuesIn(FailureCases()), CaseName());

// Volumes in any FAT12/FAT16 layout, as mkfs.fat makes them, are taken
// whatever the fs_block size, and the unit holds each byte for byte, padded
// with zeros to whole fs_blocks. With --no-shuffle and the per-block
// history layout the dump ends with the unit's blocks in logical order,
// each in its oldest state, then the newer copies of the blocks that
// changed, in logical order.
struct LayoutCase {
  std::string name;
  std::vector<std::string> mkfs;  // mkfs.fat options; kGood: GoodVolume
  std::uint32_t sizeKiB = 1024;
  std::string blockSize = "0x800";
  char parType = 0x01;
  bool history = false;  // an older state, differing in its middle and last bytes
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class MkrawLayoutTest : public MkrawFixture, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(MkrawLayoutTest, TheUnitHoldsTheVolumePaddedToWholeFsBlocks) {
  const LayoutCase& c = GetParam();
  MtoolsVolume volume = GoodVolume("volume.img");
  if (c.mkfs != kGood) {
    fs::remove(volume.image);
    MakeFs(c.mkfs, "volume.img", c.sizeKiB);
    if (HasFatalFailure()) return;
    CopyTreeIntoVolume(volume, Dir() / "tree");
  }
  const std::string newer = ReadFile(At("volume.img"));
  std::string older = newer;
  std::vector<std::string> args{"-o", kName, "-b", c.blockSize, "--no-shuffle", "--patch-boot", "/=" + At("volume.img")};
  if (c.history) {
    older[older.size() / 2] ^= 0x55;
    older.back() ^= 0x55;
    WriteFile(At("old.img"), older);
    args.insert(args.end(), {"--history-per-block", "--history", At("old.img")});
  }
  const ProgramOutput made = RunQuillexMkraw(Dir(), args);
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string dump = ReadFile(At(kName));
  const std::size_t block = std::stoul(c.blockSize, nullptr, 0);
  auto unitOf = [&](const std::string& table, std::string v) {
    std::string unit = table + std::string(1024, '\0') + v.replace(0, 4, "\xEB\x00\x90\x4D", 4);
    unit.resize((unit.size() + block - 1) / block * block, '\0');
    return unit;
  };
  auto tail = [&](const std::string& table) {
    const std::string old = unitOf(table, older), now = unitOf(table, newer);
    std::string all = old;
    for (std::size_t at = 0; at < now.size(); at += block) {
      if (now.compare(at, block, old, at, block) != 0) all += now.substr(at, block);
    }
    return all;
  };
  const std::size_t size = tail(std::string(512, '\0')).size();
  ASSERT_GE(dump.size(), size);
  const std::string table = dump.substr(dump.size() - size, 512);
  auto u32 = [&](std::size_t at) { return std::uint32_t{Word(table, at)} | std::uint32_t{Word(table, at + 2)} << 16; };
  EXPECT_EQ(table[446 + 4], c.parType);
  EXPECT_EQ(u32(446 + 8), 3u);
  EXPECT_EQ(u32(446 + 12), newer.size() / 512) << "entry 1 counts the volume's sectors";
  EXPECT_EQ(Word(dump, block + 40), unitOf(table, newer).size() / block) << "the MTab unit's fs_blocks";
  EXPECT_TRUE(dump.compare(dump.size() - size, size, tail(table)) == 0) << "the unit does not hold the volume";
}

INSTANTIATE_TEST_SUITE_P(
    Mkraw, MkrawLayoutTest,
    ::testing::Values(
        // Boot sector, 2 FAT sectors and 64 root entries (4 sectors) end at
        // sector 10 of the unit; an fs_block holds 4.
        LayoutCase{"MisalignedRootDirectory",
                   {"-a", "-f", "1", "-R", "1", "-S", "512", "-s", "4", "-F", "12", "-r", "64"}},
        LayoutCase{"TwoFats", {"-a", "-f", "2", "-R", "1", "-S", "512", "-s", "4", "-F", "12", "-r", "64"}},
        LayoutCase{"FourReservedSectors",
                   {"-a", "-f", "1", "-R", "4", "-S", "512", "-s", "4", "-F", "12", "-r", "64"}},
        LayoutCase{"ClustersOfEightSectors",
                   {"-a", "-f", "1", "-R", "1", "-S", "512", "-s", "8", "-F", "12", "-r", "64"}},
        LayoutCase{"VolumeOfOtherClustersThanTheBlockSize", kGood, 1024, "0x1000"},
        LayoutCase{"Fat16ClustersOfTwoSectors",
                   {"-a", "-f", "1", "-R", "1", "-S", "512", "-s", "2", "-F", "16", "-r", "512"},
                   16384, "0x800", 0x04, true},
        // 1,023 KiB and the table: 2,049 sectors, not whole fs_blocks.
        LayoutCase{"MkfsDefaultsOfAnOddSize", {}, 1023, "0x800", 0x01, true},
        LayoutCase{"ClustersOf64KiBOn512ByteBlocks", {"-s", "128"}, 4096, "0x200"},
        LayoutCase{"ClustersOf512BytesOn64KiBBlocks", {"-s", "1"}, 1023, "0x10000", 0x01, true}),
    CaseName());

TEST_F(MkrawToolTest, VolumeFilesAreOnlyRead) {
  const MtoolsVolume first = GoodVolume("first.img");
  const MtoolsVolume second = GoodVolume("second.img");
  const std::string firstBytes = ReadFile(first.image.string());
  const std::string secondBytes = ReadFile(second.image.string());
  ASSERT_NE(firstBytes.substr(0, 4), std::string("\xEB\x00\x90\x4D", 4)) << "the volume is patched already";

  const ProgramOutput refused = RunQuillexMkraw(Dir(), {"-o", kName, "/=" + first.image.string()});
  EXPECT_EQ(refused.status, 1);
  const ProgramOutput patched = RunQuillexMkraw(
      Dir(), {"-o", kName, "--patch-boot", "/=" + first.image.string(), "/two=" + second.image.string()});
  EXPECT_EQ(patched.status, 0) << patched.err;
  EXPECT_TRUE(ReadFile(first.image.string()) == firstBytes) << "first.img changed";
  EXPECT_TRUE(ReadFile(second.image.string()) == secondBytes) << "second.img changed";
  // The dump holds the patched copy: the boot sector three sectors into the
  // unit starts with the signature, the rest of it as in the volume.
  const ToolRun run = Extract();
  ASSERT_EQ(run.status, 0);
  const std::string image = ReadFile(At(kName + ".fs"));
  const std::vector<UnitRead> units = ReadMountTable(image);
  ASSERT_EQ(units.size(), 2u);
  const std::uint64_t boot = BootSectorOffset(units[0], 0x800);
  EXPECT_EQ(image.substr(boot, 4), std::string("\xEB\x00\x90\x4D", 4));
  EXPECT_TRUE(image.substr(boot + 4, firstBytes.size() - 4) == firstBytes.substr(4));
  EXPECT_EQ(CompareTrees(Dir() / "tree", Dir() / kOutDir / "two"), "");
}

TEST_F(MkrawToolTest, EmptyAndInvalidUnitsGiveQuillexErrorAndWarnings) {
  const MtoolsVolume volume = GoodVolume();
  const ProgramOutput made =
      RunQuillexMkraw(Dir(), {"-o", kName, "--patch-boot", "--empty-unit", "/empty", "--invalid-unit",
                              "/invalid", "/=" + volume.image.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  const ToolRun run = Extract();
  ASSERT_EQ(run.status, 0);

  // The volume's unit starts at block 3 and takes the partition table's
  // three sectors and the volume; the empty unit's block follows it.
  const std::uint32_t bytes = static_cast<std::uint32_t>(fs::file_size(volume.image)) + 3 * 512;
  const std::uint32_t empty = 3 + (bytes + 0x7FF) / 0x800;
  const std::size_t files = CountTree(Dir() / "tree", 0x800).files;
  const std::string expected = Lines({
      "Trying to process Mount Table @ fs_block: $0001",
      "@ $00001000: partition #01" + kOutDir + "/",
      "  type: 01 - FAT12 fs_info: $00001600 root: $" + Hex(volume.RootSector(), 8) + "  1st_sec: $" +
          Hex(volume.FirstDataSector(), 4),
      "  files saved: " + std::to_string(files),
      "@ $" + Hex((empty - 1) * 0x800, 8) + ": ERROR: fs_block $" + Hex(empty, 4) +
          " contain NO partition data or partition is CORRUPTED!",
      "WARNING: partition start is invalid ($0000 or $FFFF)",
      "WARNING: partition size is invalid ",
      "OK!",
      "Task finished! Press ENTER to quit.",
  });
  const std::size_t at = run.out.find("Trying to process Mount Table");
  ASSERT_NE(at, std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(at), expected);
  EXPECT_EQ(CompareTrees(Dir() / "tree", Dir() / kOutDir), "");
}

TEST_F(MkrawToolTest, MissingMapIdZeroIsReportedByQuillex) {
  const MtoolsVolume volume = GoodVolume();
  const ProgramOutput made = RunQuillexMkraw(
      Dir(), {"-o", kName, "--patch-boot", "--missing-map-id", "0", "/=" + volume.image.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  const ToolRun run = Extract();
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\r\nWARNING: MAP id $00000000 not found\r\n"), std::string::npos) << run.out;
  // Without the option the same volume gives no such line.
  const ProgramOutput whole =
      RunQuillexMkraw(Dir(), {"-o", kName, "--patch-boot", "/=" + volume.image.string()});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const ToolRun clean = Extract();
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.out.find("not found"), std::string::npos) << clean.out;
}

}  // namespace
}  // namespace quillex::test
