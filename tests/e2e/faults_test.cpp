// Faults around the run (folders that cannot be written, a full disk, a dump
// that cannot be read) and limits that hold whatever the dump holds: memory
// bounded by the dump and the image, and runs that end.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "mkraw/mkraw.h"
#include "support/fat_volume.h"
#include "support/examine.h"
#include "support/mtools_volume.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace mk = mkraw;
namespace fs = std::filesystem;
constexpr std::uint32_t kBs = 0x800;

// A dump with one FAT16 unit "/" holding DIR/A.BIN (3 clusters) and DIR/B.TXT.
Bytes SmallDump() {
  FatVolume v({FatType::Fat16, kBs, 24, 16, "MSWIN4.1", "NO NAME"});
  const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
  v.AddFile(dir, {"A.BIN", "", Bytes(5000, 0xA5), 0x20, {}, {}, {}});
  v.AddFile(dir, {"B.TXT", "", Bytes(10, 'b'), 0x20, {}, {}, {}});
  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  mk::AddUnits(plan, {{"/", v.Image(), 0x04, true}});
  return mk::BuildDump(plan);
}

// A folder that user 65534 may enter and write, with the dump in it.
struct NobodyFolder {
  TempDir dir;
  NobodyFolder() {
    WriteFile(dir / "name.raw", SmallDump());
    ::chmod(dir.path().c_str(), 0777);
    ::chmod((dir / "name.raw").c_str(), 0644);
  }
};

bool OnlyAllowedOutputs(const fs::path& dir) {
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (rel != "name.raw" && rel != "name.raw.fs" && rel != "name.raw.log" && rel.rfind("_name.raw", 0) != 0) {
      ADD_FAILURE() << "written outside the outputs: " << rel;
      return false;
    }
  }
  return true;
}

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running the tool as another user needs root";
    // The copy of the tool and the test folders lie below the temporary
    // folder; if user 65534 cannot reach them there either, say why.
    NobodyFolder probe;
    const ToolRun run = RunQuillex4(probe.dir.path(), {}, {.input = "\n", .holdInput = false, .timeoutMs = 20000,
                                                           .fileSizeLimit = 0, .asNobody = true});
    if (run.status != 0) {
      GTEST_SKIP() << "user 65534 cannot run " << ToolForOtherUsers() << " in " << probe.dir.path()
                   << " (exit status " << run.status << "): is a folder above "
                   << fs::temp_directory_path() << " closed to other users?";
    }
  }
};

TEST_F(Faults, ExtractionFolderThatCannotBeWrittenEndsWithStatusOne) {
  NobodyFolder f;
  fs::create_directory(f.dir / "_name.raw");  // root's, read-only for the tool
  ::chmod((f.dir / "_name.raw").c_str(), 0555);
  const ToolRun run = RunQuillex4(f.dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 20000,
                                                              .fileSizeLimit = 0, .asNobody = true});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("partition #01_name.raw/\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("I/O failure: cannot create directory _name.raw//DIR: Permission denied\r\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("Task finished"), std::string::npos);
  EXPECT_TRUE(OnlyAllowedOutputs(f.dir.path()));
}

TEST_F(Faults, FolderOfTheDumpThatCannotBeWrittenStopsAtTheLog) {
  NobodyFolder f;
  ::chmod(f.dir.path().c_str(), 0555);
  const ToolRun run = RunQuillex4(f.dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 20000,
                                                              .fileSizeLimit = 0, .asNobody = true});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << "the tool's own fatal stop";
  EXPECT_NE(run.out.find("\r\nFatal error while creating log! Check filename and disk space\r\n"), std::string::npos)
      << run.out;
  EXPECT_FALSE(Exists(f.dir / "name.raw.fs"));
}

TEST_F(Faults, UnreadableDumpIsReportedWithStatusOne) {
  NobodyFolder f;
  ::chmod((f.dir / "name.raw").c_str(), 0);
  const ToolRun run = RunQuillex4(f.dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 20000,
                                                              .fileSizeLimit = 0, .asNobody = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, Banner() + Lines({"Loading name.raw header...I/O failure: cannot open name.raw: Permission denied"}));
  EXPECT_FALSE(Exists(f.dir / "name.raw.log"));
}

// A disk that fills up, as a file size limit: under the image's size the
// image write is the tool's own fatal stop; above it but under the largest
// extracted file, the extraction is an input/output failure.
TEST(DiskFull, ImageThatDoesNotFitIsFatal) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 20000,
                                                            .fileSizeLimit = 4 * kBs, .asNobody = false});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Writing normal FS image to file: name.raw.fs...Fatal error while writing image! Check "
                         "filename and disk space\r\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), "") << "the log is left empty";
}

// A small file system of its own: the dump and its image fit, the extracted
// files do not.
TEST_F(Faults, ExtractionOnAFullDiskEndsWithStatusOne) {
  FatVolume v({FatType::Fat16, kBs, 80, 16, "MSWIN4.1", "NO NAME"});
  const FatVolume::Dir d = v.AddDirectory(FatVolume::kRoot, "DIR");
  v.AddFile(d, {"BIG.BIN", "", Bytes(120 * 1024, 0x5B), 0x20, {}, {}, {}});
  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  mk::AddUnits(plan, {{"/", v.Image(), 0x04, true}});
  const Bytes dump = mk::BuildDump(plan);

  TempDir dir;
  const fs::path disk = dir.path() / "disk";
  fs::create_directory(disk);
  // Room for the dump, its image (about the dump's size) and the log, not for BIG.BIN again.
  const std::size_t room = (2 * dump.size() + 16 * 1024 + 4095) / 4096 * 4096;
  const std::string options = "size=" + std::to_string(room);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  WriteFile((disk / "name.raw").string(), dump);
  const ToolRun run = RunQuillex4(disk, {"name.raw"}, {.input = {}, .holdInput = true, .timeoutMs = 20000});
  ::umount(disk.c_str());
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("I/O failure: cannot write _name.raw//DIR/BIG.BIN: No space left on device\r\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("Task finished"), std::string::npos);
}

// quillex on a disk the image does not fit: neither the image nor the
// report stays to look whole, and the log ends with what ended the run.
TEST_F(Faults, QuillexOnAFullDiskLeavesNothingThatLooksWhole) {
  const Bytes dump = SmallDump();
  TempDir dir;
  const fs::path disk = dir.path() / "disk";
  fs::create_directory(disk);
  const std::string options = "size=" + std::to_string((dump.size() + 8191) / 4096 * 4096);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  WriteFile((disk / "name.raw").string(), dump);
  const ToolRun run = RunQuillex(disk, {"extract", "name.raw", "--report", "r.json"});
  const std::string log = Exists(disk / "name.raw.log") ? ReadFile(disk / "name.raw.log") : "";
  const bool left = Exists(disk / "name.raw.fs") || Exists(disk / "r.json") || Exists(disk / "r.json.partial");
  ::umount(disk.c_str());
  EXPECT_EQ(run.status, 3);
  const std::string line = "Fatal error while writing image! Check filename and disk space (the partial " +
                           (disk / "name.raw.fs").string() + " was removed)";
  EXPECT_EQ(run.err, "quillex: name.raw: " + line + "\n");
  EXPECT_FALSE(left) << "a partial output stayed";
  EXPECT_TRUE(log.ends_with(line + "\r\n") || log.ends_with(line + "\n")) << log;
}

// quillex4 into the folder of an earlier run replaces the files it makes
// again, and says once that the folder held something.
TEST(UsedFolder, Quillex4SaysOnceThatItWasNotEmpty) {
  TempDir dir;
  WriteFile(dir / "name.raw", SmallDump());
  const std::string note = "WARNING: folder _name.raw is not empty: files of an earlier run may stay beside this run's";
  const ToolRun first = RunQuillex4(dir.path(), {"name.raw"});
  WriteFile(dir / "_name.raw/OLD.TXT", std::string("from an earlier run"));
  const ToolRun second = RunQuillex4(dir.path(), {"name.raw"});
  EXPECT_EQ(first.out.find(note), std::string::npos);
  const std::size_t at = second.out.find(note);
  ASSERT_NE(at, std::string::npos) << second.out;
  EXPECT_EQ(second.out.find(note, at + 1), std::string::npos) << "said more than once";
  EXPECT_EQ(second.status, 0);
}

// ---------------------------------------------------------------------------
// Limits under hostile dumps.

long KiB(std::uint64_t bytes) { return static_cast<long>(bytes / 1024); }

// A header that claims a segment of almost 4 GiB over a 16 KiB file: memory
// follows the file, not the claim.
TEST(Limits, HugeSegmentClaimAllocatesOnlyWhatTheFileHolds) {
  QUILLEX_SKIP_WITHOUT_PROGRAM("time", "time");  // /usr/bin/time measures the tool alone
  mk::RawDumpSpec raw;
  mk::RawSegment segment;
  segment.end = 0xFFFFFFF0;
  segment.data = Bytes(16 * 1024, 0x11);
  raw.segments = {segment};
  TempDir dir;
  WriteFile(dir / "name.raw", mk::WriteRawDump(raw));
  RunOptions options;
  options.peakOfToolAlone = true;
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Loading seg00[$FFFFFFF1]...$00004000 bytes\r\n"), std::string::npos) << run.out;
  EXPECT_LT(run.maxRssKiB, KiB(32u << 20)) << "peak memory for a 16 KiB dump";
}

// One map entry naming logical block $1FFFF0: the image is just under 4 GiB,
// but only the blocks the dump supplies take memory or disk.
TEST(Limits, FarBlockNumberGivesALongImageInLittleMemory) {
  QUILLEX_SKIP_WITHOUT_PROGRAM("time", "time");  // /usr/bin/time measures the tool alone
  using K = mk::PhysicalBlock::Kind;
  mk::FlashLayout layout;
  layout.fsBlockSize = kBs;
  mk::PhysicalBlock table;
  table.kind = K::Data;
  table.data = mk::MakeMountTable({{"/", 1, 1, {}}}, kBs);
  mk::PhysicalBlock map;
  map.kind = K::Map;
  layout.blocks = {mk::PhysicalBlock{K::Header, 0, 0, {}}, table, map};
  layout.maps = {{0, {mk::kFreeEntry, mk::kInUse | 0x1FFFF0, mk::kFreeEntry}}};
  layout.segments = {{mk::kPageTypeNone, 3, 0, {}}};
  TempDir dir;
  WriteFile(dir / "name.raw", mk::WriteRawDump(mk::LayoutToRawSpec(layout)));
  RunOptions options;
  options.peakOfToolAlone = true;
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Maximum fs_block number is: $001FFFF0. Alloc buffer...\r\n"), std::string::npos);
  EXPECT_EQ(fs::file_size(dir / "name.raw.fs"), 0x1FFFF0ull * kBs);
  EXPECT_LT(run.maxRssKiB, KiB(64u << 20)) << "peak memory for a 6 KiB dump";
  struct stat info {};
  ASSERT_EQ(::stat((dir / "name.raw.fs").c_str(), &info), 0);
  EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, 1u << 20) << "disk taken by the image";
}

// 200 directory entries naming one subdirectory of 60 files: it is walked
// once, so the work grows with the entries, not with entries times files.
TEST(Limits, DirectoryNamedManyTimesIsWalkedOnce) {
  FatVolume v({FatType::Fat16, kBs, 64, 256, "MSWIN4.1", "NO NAME"});
  const FatVolume::Dir shared = v.AddDirectory(FatVolume::kRoot, "SHARED");
  for (int i = 0; i < 60; ++i) v.AddFile(shared, {"F" + std::to_string(i) + ".TXT", "", Bytes(3, 'x'), 0x20, {}, {}, {}});
  const std::uint16_t cluster = v.DirClusters(shared).front();
  for (int i = 0; i < 199; ++i) v.AddShort(FatVolume::kRoot, "ALIAS" + std::to_string(i), 0x10, cluster, 0);
  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  mk::AddUnits(plan, {{"/", v.Image(), 0x04, true}});
  TempDir dir;
  WriteFile(dir / "name.raw", mk::BuildDump(plan));
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("  files saved: 60\r\n"), std::string::npos);
  std::size_t skipped = 0;
  for (std::size_t at = run.out.find("WARNING: directory already walked, skipped: "); at != std::string::npos;
       at = run.out.find("WARNING: directory already walked, skipped: ", at + 1)) {
    ++skipped;
  }
  EXPECT_EQ(skipped, 199u);
  const std::string log = ReadFile(dir / "name.raw.log");
  std::size_t listed = 0;
  for (std::size_t at = log.find(": F1.TXT size:"); at != std::string::npos; at = log.find(": F1.TXT size:", at + 1)) {
    ++listed;
  }
  EXPECT_EQ(listed, 1u) << "the shared directory's entries are listed once";
}

// 2,560 long-name pieces over 40 clusters before one short entry: the name
// is gathered in one pass, and a name too long for the disk is reported.
TEST(Limits, ThousandsOfLongNamePiecesMakeOneNameInOnePass) {
  FatVolume v({FatType::Fat16, kBs, 80, 16, "MSWIN4.1", "NO NAME"});
  const FatVolume::Dir d = v.AddDirectory(FatVolume::kRoot, "D");
  std::string name;
  std::array<std::uint16_t, 13> units{};
  for (std::size_t i = 0; i < 13; ++i) units[i] = static_cast<std::uint16_t>('a' + i);
  for (int i = 0; i < 64 * 40 - 3; ++i) {
    v.AddRaw(d, FatVolume::LongPiece(1, units, 0));
    name += "abcdefghijklm";
  }
  const std::uint16_t cluster = v.Allocate(1).front();
  v.WriteCluster(cluster, Bytes(5, 'z'));
  v.Link({cluster});
  v.AddShort(d, "LONG.TXT", 0x20, cluster, 5);
  v.AddFile(d, {"AFTER.TXT", "", Bytes(4, 'a'), 0x20, {}, {}, {}});
  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  mk::AddUnits(plan, {{"/", v.Image(), 0x04, true}});
  TempDir dir;
  WriteFile(dir / "name.raw", mk::BuildDump(plan));
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"});
  ASSERT_FALSE(run.timedOut);
  ASSERT_EQ(run.status, 0) << run.out.substr(0, 2000);
  EXPECT_NE(run.out.find("ERROR: cannot create _name.raw//D/" + name + ": File name too long\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(dir / "name.raw.log").find(name + " size: 00000005"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "_name.raw/D/AFTER.TXT"), "aaaa");
}

}  // namespace
}  // namespace quillex::test
