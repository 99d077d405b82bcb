// The directory walk and file extraction, run by the partition driver over
// FAT volumes built byte by byte and placed as a unit in the FS image.
//
// Unless a test says otherwise the volume is FAT16 (or FAT12) with fs_blocks
// of $800 and 32 clusters, and the unit starts at logical fs_block 3, so:
//   unit (partition table)  image $1000      (block 2)
//   boot sector             image $1600      (sector 3 of the unit)
//   FAT                     image $1800
//   root directory          image $1A00, 48 entries (sector 5)
//   cluster m               image (m + 2) x $800 (cluster 2 at $2000, sector 8)
//   end of the image        $12000
// A unit at logical fs_block 21 puts cluster m at block (20 + m) mod 65536.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/paths.h"
#include "tool/run_state.h"
#include "fat/fat.h"
#include "mkraw/mkraw.h"
#include "partition/partition.h"
#include "support/fat_volume.h"
#include "support/test_support.h"

namespace {

namespace mk = quillex::mkraw;
using quillex::test::Bytes;
using quillex::test::FatOptions;
using quillex::test::FatType;
using quillex::test::FatVolume;
using quillex::test::FileSpec;
using quillex::test::TempDir;

constexpr std::uint32_t kBlock = 0x800;
constexpr FatVolume::Dir kRoot = FatVolume::kRoot;

std::string Hex(std::uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, value);
  return text;
}

// Listing line of an entry: the root form; the subdirectory form adds
// "$offset: " in front.
std::string Entry(const std::string& name, std::uint32_t size, std::uint16_t cluster,
                  std::uint8_t attribute, std::uint32_t off) {
  return name + " size: " + Hex(size, 8) + " starts from: " + Hex(cluster, 4) + " with ATTR:" +
         Hex(attribute, 4) + " Off:=" + std::to_string(off);
}
std::string SubEntry(std::uint32_t imageOffset, const std::string& name, std::uint32_t size,
                     std::uint16_t cluster, std::uint8_t attribute, std::uint32_t off) {
  return "$" + Hex(imageOffset, 8) + ": " + Entry(name, size, cluster, attribute, off);
}
std::string Chain(std::uint16_t cluster, std::uint16_t next) {
  return "[CLUSTER] " + Hex(cluster, 4) + " points to: " + Hex(next, 4);
}
std::string DirEnd(std::uint16_t cluster, std::uint16_t next) {
  return "[CLUSTER] " + Hex(cluster, 4) + " end. FAT points to: " + Hex(next, 4);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2) {
    lines.push_back(text.substr(from, at - from));
  }
  EXPECT_EQ(from, text.size()) << "text after the last line end";
  return lines;
}

Bytes Pattern(std::size_t size, unsigned salt) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 13 + salt * 101 + (i >> 8)) | 1);
  return b;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
std::string Str(const Bytes& b, std::size_t from, std::size_t count) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(from),
                     b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

FatVolume MakeVolume(FatType type = FatType::Fat16, std::uint32_t clusters = 32) {
  FatOptions options;
  options.type = type;
  options.clusters = clusters;
  return FatVolume(options);
}

std::uint8_t TypeCode(const FatVolume& v) { return v.Type() == FatType::Fat12 ? 0x01 : 0x04; }

// An entry with these 11 name bytes.
Bytes RawEntry(const std::string& name11, std::uint8_t attribute, std::uint16_t cluster, std::uint32_t size) {
  std::array<std::uint8_t, 11> name{};
  for (std::size_t i = 0; i < 11; ++i) name[i] = static_cast<std::uint8_t>(name11.at(i));
  return FatVolume::ShortEntry(name, attribute, cluster, size);
}

FileSpec File(const std::string& shortName, Bytes data, std::uint8_t attribute = 0x20,
              const std::string& longName = {}) {
  FileSpec f;
  f.shortName = shortName;
  f.longName = longName;
  f.data = std::move(data);
  f.attribute = attribute;
  return f;
}

// Ends the whole test run if a walk has not come back after 30 seconds: a
// chain loop that is not caught would otherwise write without end.
class Deadline {
 public:
  Deadline() { ::alarm(30); }
  ~Deadline() { ::alarm(0); }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
};

class Walk : public ::testing::Test {
 protected:
  // Places the volume as the unit starting at logical fs_block `start`, has
  // the unit recognised, and clears both text streams. The image ends
  // `cut` bytes before the unit's end, or reaches `minSize` bytes.
  void Load(const FatVolume& v, std::uint16_t start = 3, std::size_t cut = 0, std::size_t minSize = 0) {
    volume_ = &v;
    const Bytes unit = mk::MakeUnitImage({"/", v.Image(), TypeCode(v), true});
    unitStart_ = (start - 1u) * kBlock;
    const std::size_t size = std::max(unitStart_ + unit.size() - cut, minSize);
    s_.FsBlockSize = kBlock;
    s_.PartitionEntries.clear();
    s_.BootRecords.clear();
    s_.RawImage = quillex::ZeroedBuffer(size, "test");
    s_.FsImage = quillex::FsView::Flat(s_.RawImage.view());
    std::copy(unit.begin(), unit.end() - static_cast<std::ptrdiff_t>(cut), s_.RawImage.data() + unitStart_);
    ASSERT_EQ(quillex::RecognisePartition(s_, s_, s_, unitStart_), quillex::RecognitionResult::BootSectorFound);
    ASSERT_EQ(s_.PartitionEntries.size(), 1u);
    s_.Console = quillex::TextOut();
    s_.LogFile = quillex::TextOut();
  }

  // Image offset of a byte of the volume.
  std::uint32_t At(std::uint32_t volumeOffset) const { return unitStart_ + 3 * 512 + volumeOffset; }
  // Image bytes of a whole cluster.
  std::string ClusterBytes(std::uint16_t cluster) const {
    return Str(volume_->Image(), volume_->ClusterOffset(cluster), kBlock);
  }
  void PutImage(std::uint32_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), s_.RawImage.data() + at);
  }

  // Listing line of a subdirectory entry, read back from the volume.
  std::string SubLine(std::uint32_t at, const std::string& name) const {
    const Bytes& b = volume_->Image();
    const std::uint32_t data = volume_->DataOffset();
    const std::uint32_t base = data + (at - data) / kBlock * kBlock;
    return SubEntry(At(at), name, Dword(b, at + 28), static_cast<std::uint16_t>(Dword(b, at + 26) & 0xFFFF),
                    b[at + 11], at - base);
  }

  void Run() { Run(unit_); }
  void Run(const std::string& path) {
    const Deadline deadline;
    quillex::ProcessPartition(s_, s_, s_, s_.NamesCreated, 1, path);
  }

  std::vector<std::string> Log() const { return SplitLines(s_.LogFile.Text()); }
  // Console lines of the walk: between the type line and the count.
  std::vector<std::string> Messages() const {
    std::vector<std::string> lines = SplitLines(s_.Console.Text());
    EXPECT_GE(lines.size(), 3u);
    if (lines.size() < 3) return {};
    EXPECT_EQ(lines[0], "partition #01" + unit_);
    EXPECT_EQ(lines.back().rfind(kFilesSaved, 0), 0u) << lines.back();
    return std::vector<std::string>(lines.begin() + 2, lines.end() - 1);
  }
  // The count the driver printed last.
  std::uint32_t FilesSaved() const {
    const std::string& text = s_.Console.Text();
    const std::size_t at = text.rfind(kFilesSaved);
    EXPECT_NE(at, std::string::npos) << text;
    return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(text.substr(at + kFilesSaved.size())));
  }
  static inline const std::string kFilesSaved = "  files saved: ";
  std::string Path(const std::string& relative) const { return unit_ + "/" + relative; }
  std::string Read(const std::string& relative) const { return quillex::test::ReadFile(Path(relative)); }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(Path(relative)); }
  std::size_t EntriesOnDisk(const std::string& relative = {}) const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(Path(relative))) ++n;
    return n;
  }

  static std::uint32_t Dword(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<std::uint32_t>(b[at + 3]) << 24;
  }

  TempDir tmp_;
  FatVolume v_ = MakeVolume();  // for tests that need no other geometry
  std::string unit_ = tmp_ / "unit";
  quillex::RunState s_;
  std::uint32_t unitStart_ = 0;
  const FatVolume* volume_ = nullptr;
};

// ---------------------------------------------------------------------------
// Listing lines and the driver's lines.

TEST_F(Walk, RootListingHasNoOffsetPrefixAndFilesAreSavedWithTheirChains) {
  FatVolume v = MakeVolume();
  const Bytes readme = Pattern(291, 1);
  const Bytes data = Pattern(5000, 2);
  v.AddFile(kRoot, File("README.TXT", readme, 0x00));
  v.AddFile(kRoot, File("DATA.BIN", data, 0x01));
  Load(v);
  Run();

  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "README.TXT size: 00000123 starts from: 0002 with ATTR:0000 Off:=0",
                       "[CLUSTER] 0002 points to: FFFF",
                       "DATA.BIN size: 00001388 starts from: 0003 with ATTR:0001 Off:=32",
                       "[CLUSTER] 0003 points to: 0004",
                       "[CLUSTER] 0004 points to: 0005",
                       "[CLUSTER] 0005 points to: FFFF",
                   }));
  EXPECT_EQ(s_.Console.Text(), quillex::test::Lines({
                                   "partition #01" + unit_,
                                   "  type: 04 - FAT16 up to 32Mb fs_info: $00001600 root: $00000005  1st_sec: $0008",
                                   "  files saved: 2",
                               }));
  EXPECT_EQ(Read("README.TXT"), Str(readme));
  EXPECT_EQ(Read("DATA.BIN"), Str(data));
  EXPECT_EQ(EntriesOnDisk(), 2u);
}

TEST_F(Walk, SubdirectoryLineShowsTheImageOffsetAndTheOffsetInItsCluster) {
  FatVolume v = MakeVolume(FatType::Fat16, 64);
  v.Allocate(52);  // clusters 2 to 53: the directory gets cluster 54, at image $1C000
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  ASSERT_EQ(v.DirClusters(sub).front(), 54);
  FileSpec readme = File("README.TXT", Pattern(291, 3));
  readme.clusters = {5};
  v.AddFile(sub, readme);
  Load(v);
  Run();

  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "SUB size: 00000000 starts from: 0036 with ATTR:0010 Off:=0",
                       "$0001C000: . size: 00000000 starts from: 0036 with ATTR:0010 Off:=0",
                       "$0001C020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "$0001C040: README.TXT size: 00000123 starts from: 0005 with ATTR:0020 Off:=64",
                       "[CLUSTER] 0005 points to: FFFF",
                   }));
  EXPECT_EQ(Messages(), std::vector<std::string>{});
  EXPECT_EQ(FilesSaved(), 1u);
  EXPECT_EQ(Read("SUB/README.TXT"), Str(readme.data));
}

TEST_F(Walk, Fat12TypeLineAndTwelveBitChain) {
  FatVolume v = MakeVolume(FatType::Fat12);
  const Bytes data = Pattern(3 * kBlock, 4);
  v.AddFile(kRoot, File("THREE.BIN", data, 0x00));
  Load(v);
  Run();
  EXPECT_EQ(SplitLines(s_.Console.Text()).at(1),
            "  type: 01 - FAT12 fs_info: $00001600 root: $00000005  1st_sec: $0008");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "THREE.BIN size: 00001800 starts from: 0002 with ATTR:0000 Off:=0",
                       Chain(2, 3), Chain(3, 4), Chain(4, 0xFFF),
                   }));
  EXPECT_EQ(Read("THREE.BIN"), Str(data));
}

TEST_F(Walk, FsBlocksOf4000HexAddressClustersFromTheirOwnDataSector) {
  // 32 sectors per fs_block: FAT 1 sector, root 27 sectors (432 entries),
  // data at sector 3 + 1 + 1 + 27 = 32 of the unit, one block in; cluster m
  // at image (m + 1) x $4000 with the unit at block 2 ($8000).
  FatOptions options;
  options.clusterSize = 0x4000;
  options.clusters = 8;
  FatVolume v(options);
  ASSERT_EQ(v.RootEntries(), 432);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2
  const Bytes data = Pattern(40000, 5);
  v.AddFile(sub, File("BIG.BIN", data));  // clusters 3 to 5
  volume_ = &v;
  const Bytes unit = mk::MakeUnitImage({"/", v.Image(), 0x04, true});
  s_.FsBlockSize = 0x4000;
  s_.RawImage = quillex::ZeroedBuffer(0x8000 + unit.size(), "test");
  s_.FsImage = quillex::FsView::Flat(s_.RawImage.view());
  std::copy(unit.begin(), unit.end(), s_.RawImage.data() + 0x8000);
  ASSERT_EQ(quillex::RecognisePartition(s_, s_, s_, 0x8000), quillex::RecognitionResult::BootSectorFound);
  s_.Console = quillex::TextOut();
  s_.LogFile = quillex::TextOut();
  Run();
  EXPECT_EQ(SplitLines(s_.Console.Text()).at(1),
            "  type: 04 - FAT16 up to 32Mb fs_info: $00008600 root: $00000005  1st_sec: $0020");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "SUB size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$0000C000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$0000C020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "$0000C040: BIG.BIN size: 00009C40 starts from: 0003 with ATTR:0020 Off:=64",
                       Chain(3, 4), Chain(4, 5), Chain(5, 0xFFFF),
                   }));
  EXPECT_EQ(Read("SUB/BIG.BIN"), Str(data));
}

// ---------------------------------------------------------------------------
// Directory clusters.

TEST_F(Walk, FullDirectoryClustersLogTheirEndAndLongNameJoinsAcrossTheBoundary) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2
  for (int i = 0; i < 61; ++i) v.AddShort(sub, "L" + std::to_string(i), 0x08, 0, 0);
  // Slot 63 holds the long name's last part; the directory grows into a new
  // cluster for the first part and the short entry.
  const Bytes data = Pattern(100, 5);
  const std::uint32_t file = v.AddFile(sub, File("LONGNA~1.TXT", data, 0x20, "Long name across"));
  ASSERT_EQ(v.DirClusters(sub), (std::vector<std::uint16_t>{2, 4}));  // data took cluster 3
  ASSERT_EQ(file, v.ClusterOffset(4) + 32);
  // Fill the second cluster too: it ends with its own end line.
  for (int i = 0; i < 62; ++i) v.AddShort(sub, "M" + std::to_string(i), 0x08, 0, 0);
  ASSERT_EQ(v.DirClusters(sub).size(), 2u);
  Load(v);
  Run();

  std::vector<std::string> want = {
      "SUB size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
      "$00002000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
      "$00002020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
  };
  for (int i = 0; i < 61; ++i) {
    const auto off = static_cast<std::uint32_t>(64 + 32 * i);
    want.push_back(SubEntry(0x2000 + off, "L" + std::to_string(i), 0, 0, 0x08, off));
  }
  want.push_back("[CLUSTER] 0002 end. FAT points to: 0004");
  want.push_back("$00003020: Long name across size: 00000064 starts from: 0003 with ATTR:0020 Off:=32");
  want.push_back("[CLUSTER] 0003 points to: FFFF");
  for (int i = 0; i < 62; ++i) {
    const auto off = static_cast<std::uint32_t>(64 + 32 * i);
    want.push_back(SubEntry(0x3000 + off, "M" + std::to_string(i), 0, 0, 0x08, off));
  }
  want.push_back("[CLUSTER] 0004 end. FAT points to: FFFF");
  EXPECT_EQ(Log(), want);
  EXPECT_EQ(Read("SUB/Long name across"), Str(data));
  EXPECT_EQ(EntriesOnDisk("SUB"), 1u);
}

// A value that ends a FAT12 chain may not end a FAT16 one. A directory's
// chain goes on into cluster `value`, where an entry WRAPPED.TXT lies when
// the walk is to reach it.
struct DirectoryChainCase {
  const char* name;
  FatType type;
  std::uint16_t start;  // logical fs_block of the unit
  std::uint16_t value;  // FAT entry of the directory's only cluster
  std::uint32_t wrappedBlock;  // block of cluster `value`: (start - 1 + value) mod 65536
  bool walked;
};

void PrintTo(const DirectoryChainCase& c, std::ostream* out) { *out << c.name; }

class DirectoryChain : public Walk, public ::testing::WithParamInterface<DirectoryChainCase> {};

TEST_P(DirectoryChain, EndsAtTheTypesEndValuesOnly) {
  const DirectoryChainCase& c = GetParam();
  FatVolume v = MakeVolume(c.type);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2, filled whole
  for (int i = 0; i < 62; ++i) v.AddShort(sub, "L" + std::to_string(i), 0x08, 0, 0);
  v.SetFat(2, c.value);
  Load(v, c.start, 0, (c.wrappedBlock + 1) * kBlock);
  PutImage(c.wrappedBlock * kBlock, RawEntry("WRAPPED TXT", 0x08, 0, 0));
  Run();

  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), c.walked ? 67u : 66u);
  EXPECT_EQ(log[65], DirEnd(2, c.value));
  if (c.walked) {
    EXPECT_EQ(log[66], SubEntry(c.wrappedBlock * kBlock, "WRAPPED.TXT", 0, 0, 0x08, 0));
  }
  EXPECT_EQ(Messages(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Values, DirectoryChain,
    ::testing::Values(DirectoryChainCase{"Fat12FF0Ends", FatType::Fat12, 3, 0xFF0, 2 + 0xFF0, false},
                      DirectoryChainCase{"Fat12FEFGoesOn", FatType::Fat12, 3, 0xFEF, 2 + 0xFEF, true},
                      DirectoryChainCase{"Fat16FFF0GoesOn", FatType::Fat16, 21, 0xFFF0, 4, true},
                      DirectoryChainCase{"Fat16FFF6GoesOn", FatType::Fat16, 21, 0xFFF6, 10, true},
                      DirectoryChainCase{"Fat16FFF7Ends", FatType::Fat16, 21, 0xFFF7, 11, false},
                      DirectoryChainCase{"Fat16FFFFEnds", FatType::Fat16, 21, 0xFFFF, 19, false}),
    quillex::test::CaseName());

TEST_F(Walk, DirectoryClusterOutsideTheImageEndsTheWalkBeforeAnyEntry) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2
  for (int i = 0; i < 62; ++i) v.AddShort(sub, "L" + std::to_string(i), 0x08, 0, 0);
  v.SetFat(2, 40);  // cluster 40 lies at block 42, past the image's end
  v.AddShort(kRoot, "OUT", 0x10, 40, 0);
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 67u);
  EXPECT_EQ(log[65], DirEnd(2, 40));
  EXPECT_EQ(log[66], "OUT size: 00000000 starts from: 0028 with ATTR:0010 Off:=32");
  EXPECT_EQ(Messages(), std::vector<std::string>{});
  EXPECT_EQ(EntriesOnDisk("OUT"), 0u);
}

TEST_F(Walk, DirectoryClusterCutByTheImageEndIsNotRead) {
  FatVolume v = MakeVolume();
  v.Allocate(31);  // clusters 2 to 32: the directory gets 33, the image's last block
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  ASSERT_EQ(v.DirClusters(sub).front(), 33);
  v.AddShort(sub, "IN", 0x08, 0, 0);
  Load(v, 3, 100);  // its first entries still lie inside the image
  Run();
  EXPECT_EQ(Log(), std::vector<std::string>{"SUB size: 00000000 starts from: 0021 with ATTR:0010 Off:=0"});
  EXPECT_EQ(Messages(), std::vector<std::string>{});
}

TEST_F(Walk, EntryWhoseClusterOffsetIsZeroIsOnlyListed) {
  // Unit at block 21: cluster FFEC lies at block (20 + FFEC) mod 65536 = 0.
  FatVolume v = MakeVolume();
  v.AddShort(kRoot, "ZERODIR", 0x10, 0xFFEC, 0);
  v.AddShort(kRoot, "ZERO.BIN", 0x00, 0xFFEC, 100);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddShort(sub, "ZERO.TXT", 0x20, 0xFFEC, 100);
  v.AddShort(sub, "ZERODIR", 0x10, 0xFFEC, 0);
  Load(v, 21);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "ZERODIR size: 00000000 starts from: FFEC with ATTR:0010 Off:=0",
                       "ZERO.BIN size: 00000064 starts from: FFEC with ATTR:0000 Off:=32",
                       "SUB size: 00000000 starts from: 0002 with ATTR:0010 Off:=64",
                       "$0000B000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$0000B020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "$0000B040: ZERO.TXT size: 00000064 starts from: FFEC with ATTR:0020 Off:=64",
                       "$0000B060: ZERODIR size: 00000000 starts from: FFEC with ATTR:0010 Off:=96",
                   }));
  EXPECT_EQ(Messages(), std::vector<std::string>{});
  EXPECT_EQ(FilesSaved(), 0u);
  EXPECT_EQ(EntriesOnDisk(), 1u);  // SUB
  EXPECT_EQ(EntriesOnDisk("SUB"), 0u);
}

// The root walk locates an entry's first cluster in sectors from the data
// area's first sector; when that sector is not on an fs_block boundary the
// place differs from the cluster's, and only the cluster's offset counts as
// lost.
TEST_F(Walk, DataAreaOffTheBlockBoundaryIsAddressedAsTheBootSectorSays) {
  FatVolume v = MakeVolume();
  v.AddShort(kRoot, "R.BIN", 0x00, 0xFFEC, 10);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2, at the block boundary
  v.AddShort(sub, "S.BIN", 0x20, 0xFFEC, 10);
  // 64 root entries: the data area starts at sector 9, one sector into the
  // block the volume builder gave cluster 2. The boot sector is followed.
  v.Image()[17] = 64;
  Load(v, 21);
  Run();
  EXPECT_EQ(SplitLines(s_.Console.Text()).at(1),
            "  type: 04 - FAT16 up to 32Mb fs_info: $0000A600 root: $00000005  1st_sec: $0009");
  // Cluster FFEC lies past the volume's last: lost. Cluster 2 at sector 9
  // holds zeros, an end marker: the folder is made, and empty.
  EXPECT_EQ(Messages(), (std::vector<std::string>{"  layout from the boot sector: FATs 1, reserved sectors 1, cluster bytes 2048",
                                                  "Found lost cluster FFEC in file: " + Path("R.BIN")}));
  EXPECT_EQ(Read("R.BIN"), std::string(10, '\0'));
  EXPECT_TRUE(Exists("SUB"));
  EXPECT_FALSE(Exists("SUB/S.BIN"));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "R.BIN size: 0000000A starts from: FFEC with ATTR:0000 Off:=0",
                       "SUB size: 00000000 starts from: 0002 with ATTR:0010 Off:=32",
                   }));
}

TEST_F(Walk, RootWalkStopsAfterMaxRootEntryEntries) {
  FatVolume v = MakeVolume();
  ASSERT_EQ(v.RootEntries(), 48);
  for (int i = 0; i < 48; ++i) v.AddShort(kRoot, "L" + std::to_string(i), 0x08, 0, 0);
  // Right after the root area: cluster 2, holding what looks like an entry.
  v.WriteCluster(2, RawEntry("BEYOND  TXT", 0x00, 3, 5));
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 48u);
  EXPECT_EQ(log[47], "L47 size: 00000000 starts from: 0000 with ATTR:0008 Off:=1504");
  EXPECT_FALSE(Exists("BEYOND.TXT"));
}

// ---------------------------------------------------------------------------
// End markers and entry forms.

struct EndMarkerCase {
  const char* name;
  std::uint8_t first;
  std::uint8_t second;
};

void PrintTo(const EndMarkerCase& c, std::ostream* out) { *out << c.name; }

class EndMarker : public Walk, public ::testing::WithParamInterface<EndMarkerCase> {};

TEST_P(EndMarker, EndsTheWholeDirectoryInRootAndSubdirectory) {
  const EndMarkerCase& c = GetParam();
  FatVolume v = MakeVolume();
  Bytes marker = RawEntry("XTHER   TXT", 0x00, 2, 10);
  marker[0] = c.first;
  marker[1] = c.second;
  // A subdirectory whose first entry is a marker: nothing of it is listed.
  const FatVolume::Dir empty = v.AddDirectory(kRoot, "EMPTY");
  const std::uint32_t dot = v.ClusterOffset(v.DirClusters(empty).front());
  std::copy(marker.begin(), marker.end(), v.Image().begin() + dot);
  // Another with a marker after its dot entries, and entries after it.
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddRaw(sub, marker);
  v.AddFile(sub, File("AFTER.TXT", Pattern(10, 1)));
  v.AddFile(kRoot, File("BEFORE.TXT", Pattern(20, 2), 0x00));
  v.AddRaw(kRoot, marker);
  v.AddFile(kRoot, File("AFTER.TXT", Pattern(30, 3), 0x00));
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "EMPTY size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "SUB size: 00000000 starts from: 0003 with ATTR:0010 Off:=32",
                       "$00002800: . size: 00000000 starts from: 0003 with ATTR:0010 Off:=0",
                       "$00002820: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "BEFORE.TXT size: 00000014 starts from: 0005 with ATTR:0000 Off:=64",
                       "[CLUSTER] 0005 points to: FFFF",
                   }));
  EXPECT_EQ(FilesSaved(), 1u);
  EXPECT_FALSE(Exists("AFTER.TXT"));
  EXPECT_FALSE(Exists("SUB/AFTER.TXT"));
  EXPECT_FALSE(Exists("XTHER.TXT"));
}

INSTANTIATE_TEST_SUITE_P(Values, EndMarker,
                         ::testing::Values(EndMarkerCase{"TwoZeroBytes", 0x00, 0x00},
                                           EndMarkerCase{"TwoE5Bytes", 0xE5, 0xE5}),
                         quillex::test::CaseName());

TEST_F(Walk, FirstByteZeroSecondNotIsAnOrdinaryEntry) {
  FatVolume v = MakeVolume();
  v.WriteCluster(2, Pattern(10, 4));
  v.SetFat(2, 0xFFFF);
  v.AddRaw(kRoot, RawEntry(std::string("\0ABC    TXT", 11), 0x00, 2, 10));
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{"ABC.TXT size: 0000000A starts from: 0002 with ATTR:0000 Off:=0",
                                             Chain(2, 0xFFFF)}));
  EXPECT_EQ(Read("ABC.TXT"), Str(Pattern(10, 4)));
}

TEST_F(Walk, DeletedEntryIsSavedUnderItsE5NameOrItsLongName) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  const Bytes first = Pattern(10, 5);
  const Bytes second = Pattern(20, 6);
  v.AddFile(sub, File("\xE5" "EADME.TXT", first));
  // Deleting marks the long name pieces too; their third byte stays 0.
  const std::uint32_t at = v.NextEntryOffset(sub);
  v.AddFile(sub, File("\xE5" "ELETE~1.TXT", second, 0x20, "Deleted long.txt"));
  for (std::uint32_t piece = at; piece < at + 64; piece += 32) v.Image()[piece] = 0xE5;
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "SUB size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$00002000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$00002020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "$00002040: \xE5" "EADME.TXT size: 0000000A starts from: 0003 with ATTR:0020 Off:=64",
                       Chain(3, 0xFFFF),
                       "$000020A0: Deleted long.txt size: 00000014 starts from: 0004 with ATTR:0020 Off:=160",
                       Chain(4, 0xFFFF),
                   }));
  EXPECT_EQ(Read("SUB/\u00E5EADME.TXT"), Str(first));  // E5 is "å" in Windows-1252
  EXPECT_EQ(Read("SUB/Deleted long.txt"), Str(second));
}

TEST_F(Walk, LongNameOfTwoPiecesLosesItsTerminatorAndFillers) {
  FatVolume v = MakeVolume();
  const Bytes data = Pattern(15, 7);
  v.AddFile(kRoot, File("FIFTEE~1", data, 0x00, "Fifteen_chars15"));
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Fifteen_chars15 size: 0000000F starts from: 0002 with ATTR:0000 Off:=64",
                       Chain(2, 0xFFFF)}));
  EXPECT_EQ(Read("Fifteen_chars15"), Str(data));
  EXPECT_EQ(EntriesOnDisk(), 1u);
}

// A piece whose first character lies beyond Latin-1 has a non-zero third
// byte; its attribute 0F still marks it. The log shows the low byte of each
// character, the disk the whole name.
TEST_F(Walk, LongNamesAreUnicodeOnDiskAndLowBytesInTheLog) {
  FatVolume v = MakeVolume();
  struct Case {
    std::u16string longName;
    std::string logName;
    std::string diskName;
  };
  const std::vector<Case> cases = {
      {u"Фото 1.jpg", "$>B> 1.jpg", "Фото 1.jpg"},
      // Only the characters beyond Latin-1 tell these two apart.
      {u"IMG Мама.jpg", "IMG \x1C" "0<0.jpg", "IMG Мама.jpg"},
      {u"IMG Папа.jpg", "IMG \x1F" "0?0.jpg", "IMG Папа.jpg"},
      {u"日记 Ωμέγα \U0001F600.txt", "\xE5\xB0 \xA9\xBC\xAD\xB3\xB1 =", "日记 Ωμέγα 😀.txt"},
      // An unpaired surrogate cannot be written as it is.
      {std::u16string(u"half ") + char16_t{0xD83D} + u".txt", "half =.txt", "half \uFFFD.txt"},
      // U+0100 ends the log's form of the name (its low byte is 0), not the disk's.
      {u"AĀB.txt", "A", "AĀB.txt"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    FileSpec f = File("FILE" + std::to_string(i) + ".TXT", Pattern(10 + i, static_cast<unsigned>(i)), 0x00);
    f.wideLongName = cases[i].longName;
    v.AddFile(kRoot, f);
  }
  Load(v);
  Run();
  const std::string log = s_.LogFile.Text();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].diskName);
    EXPECT_NE(log.find(cases[i].logName + " size: "), std::string::npos);
    EXPECT_EQ(Read(cases[i].diskName), Str(Pattern(10 + i, static_cast<unsigned>(i))));
  }
  EXPECT_EQ(EntriesOnDisk(), cases.size());
  EXPECT_EQ(Messages(), std::vector<std::string>{});
}

TEST_F(Walk, ShortEntryWithAZeroThirdByteIsTakenAsALongNamePiece) {
  FatVolume v = MakeVolume();
  // "AB" then zeros: its characters (bytes 1, 3, ...) are "B" then 0.
  v.AddRaw(kRoot, RawEntry(std::string("AB\0\0\0\0\0\0TXT", 11), 0x00, 0, 0));
  const Bytes data = Pattern(5, 9);
  v.AddFile(kRoot, File("NEXT.TXT", data, 0x00));
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{"B size: 00000005 starts from: 0002 with ATTR:0000 Off:=32",
                                             Chain(2, 0xFFFF)}));
  EXPECT_EQ(Read("B"), Str(data));
  EXPECT_EQ(EntriesOnDisk(), 1u);
}

TEST_F(Walk, OnlyTheDotAndDotDotEntriesAreSkipped) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddFile(sub, File("NOMEDIA", Pattern(5, 1), 0x20, ".nomedia"));
  v.AddFile(kRoot, File("PROFIL~1", Pattern(5, 2), 0x00, ".profile"));
  const FatVolume::Dir thumbs = v.AddDirectory(kRoot, "THUMBN~1", ".thumbnails");
  v.AddFile(thumbs, File("A.JPG", Pattern(6, 3)));
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "$00002000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0");
  EXPECT_EQ(log[2], "$00002020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32");
  EXPECT_EQ(Messages(), std::vector<std::string>{});  // "." is not "already walked"
  EXPECT_EQ(Read("SUB/.nomedia"), Str(Pattern(5, 1)));
  EXPECT_EQ(Read(".profile"), Str(Pattern(5, 2)));
  EXPECT_EQ(Read(".thumbnails/A.JPG"), Str(Pattern(6, 3)));
  EXPECT_EQ(FilesSaved(), 3u);
  EXPECT_EQ(EntriesOnDisk(), 3u);
  EXPECT_EQ(EntriesOnDisk("SUB"), 1u);
}

TEST_F(Walk, ShortNamesAreTrimmedAndABlankExtensionGivesNoDot) {
  FatVolume v = MakeVolume();
  struct Case {
    std::string name11;
    std::string built;
  };
  const std::vector<Case> cases = {
      {"README     ", "README"},
      {" A B    TXT", "A B.TXT"},
      {"\x05" "LEAD   T  ", "LEAD.T"},
      {"X       \x01 \x02", "X"},
  };
  std::vector<std::string> want;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto cluster = static_cast<std::uint16_t>(2 + i);
    v.WriteCluster(cluster, Pattern(3, static_cast<unsigned>(i)));
    v.SetFat(cluster, 0xFFFF);
    v.AddRaw(kRoot, RawEntry(cases[i].name11, 0x00, cluster, 3));
    want.push_back(Entry(cases[i].built, 3, cluster, 0, static_cast<std::uint32_t>(32 * i)));
    want.push_back(Chain(cluster, 0xFFFF));
  }
  Load(v);
  Run();
  EXPECT_EQ(Log(), want);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(Read(cases[i].built), Str(Pattern(3, static_cast<unsigned>(i)))) << cases[i].built;
  }
}

// Which attribute values are saved, walked or listed only, alike in the
// root and in a subdirectory: the directory and volume-label bits decide.
// Every entry points at a cluster that holds a directory entry INNER.TXT,
// which shows up only if the entry is walked.
TEST_F(Walk, AttributeDecidesBetweenSaveWalkAndListing) {
  enum Kind { kFile, kDirectory, kListed };
  struct Case {
    std::uint8_t attribute;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {0x00, kFile},      {0x01, kFile},      {0x20, kFile},      {0x21, kFile},   {0x02, kFile},
      {0x22, kFile},      {0x04, kFile},      {0x07, kFile},      {0x33, kFile},   {0xC0, kFile},
      {0x10, kDirectory}, {0x11, kDirectory}, {0x12, kDirectory}, {0x14, kDirectory},
      {0x30, kDirectory}, {0x08, kListed},    {0x18, kListed},    {0x28, kListed},
  };
  FatVolume v = MakeVolume(FatType::Fat16, 80);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (FatVolume::Dir dir : {kRoot, sub}) {
      const std::uint16_t cluster = v.Allocate(1).front();
      Bytes content = Pattern(kBlock, static_cast<unsigned>(cluster));
      const Bytes inner = RawEntry("INNER   TXT", 0x20, cluster, 4);
      std::copy(inner.begin(), inner.end(), content.begin());
      std::fill(content.begin() + 32, content.begin() + 64, std::uint8_t{0});  // end marker
      v.WriteCluster(cluster, content);
      v.SetFat(cluster, 0xFFFF);
      v.AddShort(dir, "A" + Hex(cases[i].attribute, 2) + ".BIN", cases[i].attribute, cluster, kBlock);
    }
  }
  Load(v);
  Run();
  std::size_t files = 0;
  std::size_t directories = 0;
  for (const Case& c : cases) {
    const std::string name = "A" + Hex(c.attribute, 2) + ".BIN";
    SCOPED_TRACE(name);
    for (const std::string& in : {std::string(), std::string("SUB/")}) {
      EXPECT_EQ(Exists(in + name), c.kind != kListed);
      EXPECT_EQ(std::filesystem::is_directory(Path(in + name)), c.kind == kDirectory);
      EXPECT_EQ(Exists(in + name + "/INNER.TXT"), c.kind == kDirectory);
    }
    files += c.kind == kFile;
    directories += c.kind == kDirectory;
  }
  EXPECT_EQ(EntriesOnDisk(), 1u + files + directories);
  EXPECT_EQ(EntriesOnDisk("SUB"), files + directories);
  EXPECT_EQ(FilesSaved(), 2 * (files + directories));
  // Every entry is listed, saved or not: a chain line for every file, and an
  // entry line and a chain line for INNER.TXT in every walked directory.
  EXPECT_EQ(Log().size(), 1 + 2 + 2 * cases.size() + 2 * files + 4 * directories);
  EXPECT_EQ(Messages(), std::vector<std::string>{});
}

TEST_F(Walk, DirectoryWithMoreAttributeBitsIsStillOneDirectoryToWalk) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir dir = v.AddDirectory(kRoot, "DIR");
  v.AddFile(dir, File("IN.TXT", Pattern(7, 1)));
  const std::uint16_t cluster = v.DirClusters(dir).front();
  v.AddShort(kRoot, "DIR30", 0x30, cluster, 0);
  v.AddShort(kRoot, "DIR12", 0x12, cluster, 0);
  Load(v);
  Run();
  EXPECT_EQ(Read("DIR/IN.TXT"), Str(Pattern(7, 1)));
  EXPECT_FALSE(Exists("DIR30"));
  EXPECT_FALSE(Exists("DIR12"));
  EXPECT_EQ(Messages(), (std::vector<std::string>{"WARNING: directory already walked, skipped: " + Path("DIR30"),
                                                  "WARNING: directory already walked, skipped: " + Path("DIR12")}));
  EXPECT_EQ(Log().size(), 4u + 1 + 2);
}

// ---------------------------------------------------------------------------
// File chains and the size rule.

struct FileChainCase {
  const char* name;
  FatType type;
  std::uint16_t value;        // FAT entry of the file's first cluster (2)
  std::uint32_t nextBlock;    // block of cluster `value` (unit at fs_block 21), or 0: chain ends
};

void PrintTo(const FileChainCase& c, std::ostream* out) { *out << c.name; }

class FileChain : public Walk, public ::testing::WithParamInterface<FileChainCase> {};

TEST_P(FileChain, EndsAtTheTypesEndValuesOnly) {
  const FileChainCase& c = GetParam();
  FatVolume v = MakeVolume(c.type);
  const Bytes first = Pattern(kBlock, 1);
  FileSpec f = File("F.BIN", first, 0x00);
  f.size = 2 * kBlock;
  v.AddFile(kRoot, f);
  v.SetFat(2, c.value);
  Load(v, 21);
  const Bytes elsewhere = Pattern(kBlock, 2);
  if (c.nextBlock != 0) PutImage(c.nextBlock * kBlock, elsewhere);
  Run();
  if (c.nextBlock == 0) {
    EXPECT_EQ(Log(), (std::vector<std::string>{Entry("F.BIN", 2 * kBlock, 2, 0, 0), Chain(2, c.value)}));
    EXPECT_EQ(Read("F.BIN"), Str(first));
  } else {
    // Cluster `value`'s FAT entry lies past the image: 0 ends the chain.
    EXPECT_EQ(Log(), (std::vector<std::string>{Entry("F.BIN", 2 * kBlock, 2, 0, 0), Chain(2, c.value),
                                               Chain(c.value, 0)}));
    EXPECT_EQ(Read("F.BIN"), Str(first) + Str(elsewhere));
  }
  if (c.nextBlock == 0) {
    EXPECT_EQ(Messages(), std::vector<std::string>{"WARNING: file shorter than its size ($00000800 of $00001000 bytes): " +
                                                   Path("F.BIN")});
  } else {
    EXPECT_EQ(Messages(), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, FileChain,
    ::testing::Values(FileChainCase{"Fat12FF0", FatType::Fat12, 0xFF0, 0},
                      FileChainCase{"Fat12FF6", FatType::Fat12, 0xFF6, 0},
                      FileChainCase{"Fat12FF7", FatType::Fat12, 0xFF7, 0},
                      FileChainCase{"Fat12FFF", FatType::Fat12, 0xFFF, 0},
                      FileChainCase{"Fat12Free", FatType::Fat12, 0x000, 0},
                      FileChainCase{"Fat16FFF0", FatType::Fat16, 0xFFF0, 4},
                      FileChainCase{"Fat16FFF6", FatType::Fat16, 0xFFF6, 10},
                      FileChainCase{"Fat16FFF7", FatType::Fat16, 0xFFF7, 0},
                      FileChainCase{"Fat16FFF8", FatType::Fat16, 0xFFF8, 0},
                      FileChainCase{"Fat16FFFF", FatType::Fat16, 0xFFFF, 0},
                      FileChainCase{"Fat16Free", FatType::Fat16, 0x0000, 0}),
    quillex::test::CaseName());

struct SizeCase {
  const char* name;
  std::uint32_t size;
  std::uint32_t clusters;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces;  // (cluster index, bytes taken)
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.name; }

class SizeRule : public Walk, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeRule, CutsEachClusterToWhatTheSizeLeaves) {
  const SizeCase& c = GetParam();
  FatVolume v = MakeVolume();
  const Bytes data = Pattern(c.clusters * kBlock, 3);
  FileSpec f = File("F.BIN", data, 0x00);
  f.size = c.size;
  v.AddFile(kRoot, f);
  Load(v);
  Run();
  std::string want;
  for (const auto& [index, count] : c.pieces) want += Str(data, index * kBlock, count);
  EXPECT_EQ(Read("F.BIN"), want);
  std::vector<std::string> chain = {Entry("F.BIN", c.size, 2, 0, 0)};
  for (std::uint32_t i = 0; i < c.clusters; ++i) {
    chain.push_back(Chain(static_cast<std::uint16_t>(2 + i), i + 1 < c.clusters ? static_cast<std::uint16_t>(3 + i) : 0xFFFF));
  }
  EXPECT_EQ(Log(), chain);
  EXPECT_EQ(FilesSaved(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SizeRule,
    ::testing::Values(SizeCase{"Size5000ThreeClusters", 5000, 3, {{0, 2048}, {1, 2048}, {2, 904}}},
                      SizeCase{"TwiceTheBlockOverFourClusters", 4096, 4, {{0, 2048}, {1, 2048}}},
                      SizeCase{"Size3000ThreeClusters", 3000, 3, {{0, 2048}, {1, 952}}},
                      SizeCase{"ChainShorterThanTheSize", 5000, 1, {{0, 2048}}},
                      SizeCase{"ExactlyOneBlock", 2048, 1, {{0, 2048}}},
                      SizeCase{"SizeZeroWithACluster", 0, 1, {{0, 0}}}),
    quillex::test::CaseName());

TEST_F(Walk, EmptyFileAtClusterZeroIsCreatedAndCounted) {
  for (FatType type : {FatType::Fat16, FatType::Fat12}) {
    SCOPED_TRACE(type == FatType::Fat12 ? "FAT12" : "FAT16");
    FatVolume v = MakeVolume(type);
    v.AddFile(kRoot, File("EMPTY.DAT", {}, 0x00));
    v.AddFile(kRoot, File("OTHER.DAT", Pattern(3, 1), 0x00));
    Load(v);
    const std::string unit = unit_ + (type == FatType::Fat12 ? "12" : "16");
    Run(unit);
    // Cluster 0 lies at block 2, inside the image; its FAT entry is the media entry.
    const std::uint16_t media = type == FatType::Fat12 ? 0xFF8 : 0xFFF8;
    const std::uint16_t end = type == FatType::Fat12 ? 0xFFF : 0xFFFF;
    EXPECT_EQ(Log(), (std::vector<std::string>{Entry("EMPTY.DAT", 0, 0, 0, 0), Chain(0, media),
                                               Entry("OTHER.DAT", 3, 2, 0, 32), Chain(2, end)}));
    EXPECT_TRUE(std::filesystem::exists(unit + "/EMPTY.DAT"));
    EXPECT_EQ(quillex::test::ReadFile(unit + "/EMPTY.DAT"), "");
    EXPECT_EQ(FilesSaved(), 2u);
  }
}

// Names are compared as Windows compares them: after the simple uppercase
// mapping of each character. The number goes before the extension.
TEST_F(Walk, NameCreatedEarlierInTheRunGetsTheNextFreeNumber) {
  FatVolume v = MakeVolume();
  const std::vector<std::pair<std::string, std::u16string>> entries = {
      {"SAME.TXT", u""},        {"SAME~1.TXT", u"SAME.TXT"}, {"SAME~2.TXT", u"same.txt"},
      {"ETE~1.TXT", u"été.txt"}, {"ETE~2.TXT", u"ÉTÉ.TXT"},  {"MAMA~1", u"мама"},
      {"MAMA~2", u"МАМА"},      {"STRASSE", u""},           {"STRASE~1", u"straße"},
      {"NOMEDIA", u".nomedia"}, {"NOMEDI~1", u".NOMEDIA"},
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    FileSpec f = File(entries[i].first, Pattern(3 + i, static_cast<unsigned>(i)), 0x00);
    f.wideLongName = entries[i].second;
    v.AddFile(kRoot, f);
  }
  // A directory takes a name as a file does; a name taken by a directory
  // numbers the next file, and the directory's content goes in as ever.
  const FatVolume::Dir dir = v.AddDirectory(kRoot, "SAME~3.TXT", "Same.txt");
  v.AddFile(dir, File("IN.TXT", Pattern(4, 40)));
  Load(v);
  Run();
  const std::vector<std::pair<std::string, std::size_t>> want = {
      {"SAME.TXT", 0},  {"SAME (2).TXT", 1}, {"same (3).txt", 2}, {"été.txt", 3},      {"ÉTÉ (2).TXT", 4},
      {"мама", 5},      {"МАМА (2)", 6},     {"STRASSE", 7},      {"straße", 8},       {".nomedia", 9},
      {".NOMEDIA (2)", 10},
  };
  for (const auto& [name, index] : want) {
    EXPECT_EQ(Read(name), Str(Pattern(3 + index, static_cast<unsigned>(index)))) << name;
  }
  EXPECT_EQ(Read("Same (4).txt/IN.TXT"), Str(Pattern(4, 40)));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "WARNING: name in use, saved as: " + Path("SAME (2).TXT"),
                            "WARNING: name in use, saved as: " + Path("same (3).txt"),
                            "WARNING: name in use, saved as: " + Path("ÉTÉ (2).TXT"),
                            "WARNING: name in use, saved as: " + Path("МАМА (2)"),
                            "WARNING: name in use, saved as: " + Path(".NOMEDIA (2)"),
                            "WARNING: name in use, saved as: " + Path("Same (4).txt"),
                        }));
  EXPECT_EQ(FilesSaved(), entries.size() + 1);
  EXPECT_EQ(EntriesOnDisk(), entries.size() + 1);
}

TEST_F(Walk, NumberedNamePutsTheNumberBeforeTheExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"README", "README (7)"},     {"A.TXT", "A (7).TXT"},          {"archive.tar.gz", "archive.tar (7).gz"},
      {".nomedia", ".nomedia (7)"}, {"..x", ". (7).x"},              {"NAME.", "NAME (7)."},
      {"Фото.jpg", "Фото (7).jpg"},
  };
  for (const auto& [name, numbered] : cases) EXPECT_EQ(quillex::NumberedName(name, 7), numbered) << name;
}

// ---------------------------------------------------------------------------
// Deleted entries: pieces, files and directories.

// Deleting writes E5 over an entry's first byte. A long-name piece whose
// first character has the low byte E5 ("å" 00E5, "日" 65E5) then begins with
// E5 E5 like an end marker; its attribute 0F tells it apart.
TEST_F(Walk, DeletedPieceBeginningWithE5E5DoesNotEndTheDirectory) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  const std::vector<std::u16string> names = {u"åbc.txt", u"日记.txt"};
  for (FatVolume::Dir dir : {kRoot, sub}) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::uint32_t first = v.NextEntryOffset(dir);
      FileSpec f = File("DEL" + std::to_string(i) + ".TXT", Pattern(9, static_cast<unsigned>(i)));
      f.wideLongName = names[i];
      const std::uint32_t at = v.AddFile(dir, f);
      for (std::uint32_t piece = first; piece <= at; piece += 32) v.Image()[piece] = 0xE5;
    }
    v.AddFile(dir, File("LIVE.TXT", Pattern(5, 7)));
  }
  Load(v);
  Run();
  for (const std::string dir : {"", "SUB/"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(Read(dir + "åbc.txt"), Str(Pattern(9, 0)));
    EXPECT_EQ(Read(dir + "日记.txt"), Str(Pattern(9, 1)));
    EXPECT_EQ(Read(dir + "LIVE.TXT"), Str(Pattern(5, 7)));
  }
  EXPECT_EQ(FilesSaved(), 6u);
}

// Deleting frees a file's chain. Its data is taken from its first cluster
// and then the free clusters after it, in ascending order, passing over the
// ones in use and those whose fs_block is not in the image, until the size
// is reached. Every cluster of the volume holds its own pattern.
struct DeletedFileCase {
  const char* name;
  FatType type;
  std::uint16_t first;
  std::uint32_t size;
  std::vector<std::uint16_t> inUse;     // clusters with an end mark
  std::vector<std::uint16_t> taken;     // clusters that give data, in order
  std::vector<std::string> messages;    // console lines between type line and count
  std::uint32_t zeros = 0;              // bytes of zeros for a lost first cluster
};

void PrintTo(const DeletedFileCase& c, std::ostream* out) { *out << c.name; }

class DeletedFile : public Walk, public ::testing::WithParamInterface<DeletedFileCase> {};

TEST_P(DeletedFile, TakesTheFirstClusterThenTheFreeOnesAfterIt) {
  const DeletedFileCase& c = GetParam();
  FatVolume v = MakeVolume(c.type);
  for (std::uint16_t m = 2; m < 34; ++m) v.WriteCluster(m, Pattern(kBlock, m));
  for (std::uint16_t m : c.inUse) v.SetFat(m, v.EndOfChain());
  v.AddRaw(kRoot, RawEntry("\xE5" "EL     BIN", 0x20, c.first, c.size));
  Load(v);
  Run();
  std::string want(c.zeros, '\0');
  std::vector<std::string> log = {Entry("\xE5" "EL.BIN", c.size, c.first, 0x20, 0)};
  for (std::uint16_t m : c.taken) {
    want += Str(Pattern(kBlock, m)).substr(0, c.size - want.size());
    log.push_back(Chain(m, v.Fat(m)));
  }
  EXPECT_EQ(Read("åEL.BIN"), want);
  EXPECT_EQ(Log(), log);
  std::vector<std::string> messages;
  for (const std::string& m : c.messages) messages.push_back(m + Path("åEL.BIN"));
  EXPECT_EQ(Messages(), messages);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DeletedFile,
    ::testing::Values(
        DeletedFileCase{"Fat16AllFree", FatType::Fat16, 5, 3 * kBlock + 10, {}, {5, 6, 7, 8}, {}, 0},
        DeletedFileCase{"Fat12AllFree", FatType::Fat12, 5, 3 * kBlock + 10, {}, {5, 6, 7, 8}, {}, 0},
        DeletedFileCase{"Fat16PassesOverClustersInUse", FatType::Fat16, 3, 4 * kBlock, {4, 7, 8}, {3, 5, 6, 9}, {}, 0},
        DeletedFileCase{"Fat12PassesOverClustersInUse", FatType::Fat12, 3, 4 * kBlock, {4, 7, 8}, {3, 5, 6, 9}, {}, 0},
        // Reused since: the first cluster is taken all the same, and no more
        // than the size comes from it.
        DeletedFileCase{"FirstClusterReused", FatType::Fat16, 4, 100, {4}, {4}, {}, 0},
        DeletedFileCase{"EmptyFileTakesOnlyItsFirstCluster", FatType::Fat16, 4, 0, {}, {4}, {}, 0},
        // Cluster 33 is the last in the image; the free entries after it
        // name fs_blocks past its end.
        DeletedFileCase{"FreeClustersRunOutAtTheImageEnd", FatType::Fat16, 31, 5 * kBlock, {32}, {31, 33},
                        {"WARNING: file shorter than its size ($00001000 of $00002800 bytes): "}, 0},
        DeletedFileCase{"Fat12FreeClustersRunOut", FatType::Fat12, 33, kBlock + 1, {}, {33},
                        {"WARNING: file shorter than its size ($00000800 of $00000801 bytes): "}, 0},
        DeletedFileCase{"LostFirstCluster", FatType::Fat16, 40, 2 * kBlock, {}, {},
                        {"Found lost cluster 0028 in file: ",
                         "WARNING: file shorter than its size ($00000800 of $00001000 bytes): "},
                        kBlock}),
    quillex::test::CaseName());

// Past the image's end the search stops: with the unit at block 21, cluster
// numbers from FFED on wrap round to blocks 1, 2, ... at the image's start,
// and their FAT entries, far past the FAT, read as free.
TEST_F(Walk, DeletedFileTakesNoClusterPastTheImageEnd) {
  FatVolume v = MakeVolume();
  v.WriteCluster(33, Pattern(kBlock, 33));
  v.AddRaw(kRoot, RawEntry("\xE5" "EL     BIN", 0x20, 33, 3 * kBlock));
  Load(v, 21);
  Run();
  EXPECT_EQ(Read("åEL.BIN"), Str(Pattern(kBlock, 33)));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "WARNING: file shorter than its size ($00000800 of $00001800 bytes): " + Path("åEL.BIN")}));
}

// A deleted directory is walked only while its first cluster still holds its
// "." entry; a cluster reused since holds anything.
TEST_F(Walk, DeletedDirectoryIsWalkedOnlyWhileItsDotEntryIsThere) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir kept = v.AddDirectory(kRoot, "KEPT");  // cluster 2
  v.AddFile(kept, File("IN.TXT", Pattern(7, 1)));             // cluster 3
  const FatVolume::Dir gone = v.AddDirectory(kRoot, "GONE");  // cluster 4
  v.AddFile(gone, File("LOST.TXT", Pattern(7, 2)));
  // GONE's cluster reused by file data; both directories deleted.
  v.WriteCluster(4, Pattern(kBlock, 3));
  v.Image()[v.RootOffset()] = 0xE5;
  v.Image()[v.RootOffset() + 32] = 0xE5;
  // A live directory and a deleted one on KEPT's cluster: the first listed
  // is walked, and every skip shows the name before any number.
  v.AddShort(kRoot, "AGAIN", 0x10, 2, 0);
  v.AddRaw(kRoot, RawEntry("\xE5" "ONE2      ", 0x10, 4, 0));
  Load(v);
  Run();
  EXPECT_EQ(Read("åEPT/IN.TXT"), Str(Pattern(7, 1)));
  EXPECT_FALSE(Exists("åONE"));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "WARNING: deleted directory overwritten, skipped: " + Path("åONE"),
                            "WARNING: directory already walked, skipped: " + Path("AGAIN"),
                            "WARNING: deleted directory overwritten, skipped: " + Path("åONE2"),
                        }));
  EXPECT_EQ(EntriesOnDisk(), 1u);
  EXPECT_EQ(FilesSaved(), 1u);
}

// ---------------------------------------------------------------------------
// Times.

TEST_F(Walk, FatDatesAndTimesAreTakenOnlyWhenValid) {
  struct Case {
    std::uint16_t date;
    std::uint16_t time;
    bool valid;
  };
  const auto date = quillex::test::FatDate;
  const auto time = quillex::test::FatTime;
  const std::vector<Case> cases = {
      {date(2009, 6, 15), time(13, 45, 30), true},  {date(1980, 1, 1), 0, true},
      {date(2107, 12, 31), time(23, 59, 58), true}, {date(2008, 2, 29), 0, true},
      {0, time(12, 0, 0), false},                   {date(2009, 2, 29), 0, false},
      {date(2009, 0, 1), 0, false},                 {date(2009, 13, 1), 0, false},
      {date(2009, 4, 31), 0, false},                {date(2009, 4, 0), 0, false},
      {date(2009, 1, 1), time(24, 0, 0), false},    {date(2009, 1, 1), time(1, 60, 0), false},
      {date(2009, 1, 1), 0x1E, false},  // 60 seconds
      {date(1900 + 100, 2, 29), 0, true},
  };
  for (const Case& c : cases) {
    quillex::platform::LocalTime t;
    EXPECT_EQ(quillex::DecodeFatTime(c.date, c.time, t), c.valid) << Hex(c.date, 4) << " " << Hex(c.time, 4);
  }
  quillex::platform::LocalTime t;
  ASSERT_TRUE(quillex::DecodeFatTime(date(2009, 6, 15), time(13, 45, 30), t));
  EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
            (std::vector<int>{2009, 6, 15, 13, 45, 30}));
}

// A wall time in the hour repeated when summer time ends names the earlier
// of its moments, one in the skipped hour is read as winter time, whatever
// was converted just before.
TEST(LocalTimes, RepeatedAndSkippedHoursNameOneMoment) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Stockholm")) GTEST_SKIP() << "no Europe/Stockholm";
  using quillex::platform::LocalTime;
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> saved = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
  ::setenv("TZ", "Europe/Stockholm", 1);
  ::tzset();
  const LocalTime summer{2008, 7, 1, 12, 0, 0, 0}, winter{2008, 12, 1, 12, 0, 0, 0};
  const std::vector<std::pair<LocalTime, std::int64_t>> cases = {
      {{2008, 10, 26, 2, 0, 0, 0}, 1224979200},  {{2008, 10, 26, 2, 59, 58, 0}, 1224982798},
      {{2008, 10, 26, 3, 0, 0, 0}, 1224986400},  {{2008, 3, 30, 2, 30, 0, 0}, 1206840600},
      {{2008, 3, 30, 1, 59, 59, 0}, 1206838799}, {{2008, 3, 30, 3, 0, 0, 0}, 1206838800},
      {summer, 1214906400},                      {winter, 1228129200}};
  for (const auto& [local, unix] : cases) {
    for (const LocalTime& earlier : {summer, winter}) {
      (void)quillex::platform::UnixTime(earlier);
      EXPECT_EQ(quillex::platform::UnixTime(local), unix) << local.month << "-" << local.day << " " << local.hour;
    }
  }
  saved ? ::setenv("TZ", saved->c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

// Files and folders get the write time and the last-access date of their
// entries, as local times; a folder's after its content is written.
TEST_F(Walk, FilesAndFoldersGetTheTimesOfTheirEntries) {
  auto local = [](int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  };
  auto stamp = [&](std::uint32_t at, std::uint16_t written, std::uint16_t time, std::uint16_t accessed) {
    v_.SetTimes(at, {written, time, accessed, 0, 0, 0});
  };
  const FatVolume::Dir dir = v_.AddDirectory(kRoot, "DIR");
  stamp(v_.RootOffset(), 0x3ACF, 0x6D8F, 0);                      // 2009-06-15 13:44:30
  stamp(v_.AddFile(dir, File("A.TXT", Pattern(5, 1))), 0x3C22, 0x0000, 0x3C41);  // 2010-01-02, read 2010-02-01
  stamp(v_.AddFile(kRoot, File("BAD.TXT", Pattern(5, 2))), 0x3C40, 0x0000, 0x3C40);  // month 2, day 0
  const std::time_t before = std::time(nullptr);
  Load(v_);
  Run();
  struct stat info {};
  ASSERT_EQ(::stat(Path("DIR").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, local(2009, 6, 15, 13, 44, 30));
  EXPECT_EQ(info.st_atime, local(2009, 6, 15, 13, 44, 30));  // no access date: the write time
  ASSERT_EQ(::stat(Path("DIR/A.TXT").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, local(2010, 1, 2, 0, 0, 0));
  EXPECT_EQ(info.st_atime, local(2010, 2, 1, 0, 0, 0));
  ASSERT_EQ(::stat(Path("BAD.TXT").c_str(), &info), 0);
  EXPECT_GE(info.st_mtime, before);  // left as the run made it
}

// ---------------------------------------------------------------------------
// Lost clusters: offset 0, or not wholly inside the image.

TEST_F(Walk, ClusterAtOffsetZeroIsLostAndReplacedByZeros) {
  // Unit at block 21: cluster FFEC lies at block 0.
  FatVolume v = MakeVolume();
  const Bytes data = Pattern(kBlock, 1);
  FileSpec f = File("F.BIN", data, 0x00);
  f.size = 3 * kBlock;
  v.AddFile(kRoot, f);
  v.SetFat(2, 0xFFEC);
  Load(v, 21);
  PutImage(0, Pattern(kBlock, 9));  // not to be read
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{Entry("F.BIN", 3 * kBlock, 2, 0, 0), Chain(2, 0xFFEC)}));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Found lost cluster FFEC in file: " + Path("F.BIN"),
                            "WARNING: file shorter than its size ($00001000 of $00001800 bytes): " + Path("F.BIN")}));
  EXPECT_EQ(Read("F.BIN"), Str(data) + std::string(kBlock, '\0'));
  EXPECT_EQ(FilesSaved(), 1u);
}

TEST_F(Walk, ClustersOutsideTheImageAreLostOneAfterAnother) {
  for (FatType type : {FatType::Fat12, FatType::Fat16}) {
    SCOPED_TRACE(type == FatType::Fat12 ? "FAT12" : "FAT16");
    FatVolume v = MakeVolume(type);
    // 2 -> 40 -> 41 -> 3 -> end: clusters 40 and 41 lie at blocks 42 and 43,
    // past the image's end at block 36.
    const Bytes data = Pattern(2 * kBlock, 1);
    FileSpec f = File("F.BIN", data, 0x00);
    f.clusters = {2, 40, 41, 3};
    f.size = 3 * kBlock + 100;
    v.WriteCluster(2, Bytes(data.begin(), data.begin() + kBlock));
    v.WriteCluster(3, Bytes(data.begin() + kBlock, data.end()));
    f.data.clear();
    v.AddFile(kRoot, f);
    Load(v);
    const std::string unit = unit_ + (type == FatType::Fat12 ? "12" : "16");
    Run(unit);
    const std::uint16_t end = v.EndOfChain();
    EXPECT_EQ(Log(), (std::vector<std::string>{Entry("F.BIN", 3 * kBlock + 100, 2, 0, 0), Chain(2, 40),
                                               Chain(3, end)}));
    const std::vector<std::string> console = SplitLines(s_.Console.Text());
    ASSERT_EQ(console.size(), 5u);
    EXPECT_EQ(console[2], "Found lost cluster 0028 in file: " + unit + "/F.BIN");
    EXPECT_EQ(console[3], "Found lost cluster 0029 in file: " + unit + "/F.BIN");
    // Two zero fs_blocks count as accounted: cluster 3 gives the last 100 bytes.
    EXPECT_EQ(quillex::test::ReadFile(unit + "/F.BIN"),
              Str(data, 0, kBlock) + std::string(2 * kBlock, '\0') + Str(data, kBlock, 100));
  }
}

TEST_F(Walk, ClusterCutByTheImageEndIsLost) {
  FatVolume v = MakeVolume();
  // Cluster 33, the volume's last, ends where the image ends; cut 100 bytes.
  FileSpec f = File("F.BIN", Pattern(2 * kBlock, 1), 0x00);
  f.clusters = {2, 33};
  v.AddFile(kRoot, f);
  Load(v, 3, 100);
  Run();
  EXPECT_EQ(Messages(), std::vector<std::string>{"Found lost cluster 0021 in file: " + Path("F.BIN")});
  EXPECT_EQ(Read("F.BIN"), Str(f.data, 0, kBlock) + std::string(kBlock, '\0'));
  EXPECT_EQ(Log().size(), 2u);
}

TEST_F(Walk, LostFirstClusterGivesZerosWithoutAChainLine) {
  FatVolume v = MakeVolume();
  v.SetFat(40, 0xFFFF);
  v.AddShort(kRoot, "ROOT.BIN", 0x00, 40, 10);
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddShort(sub, "SUB.BIN", 0x20, 40, 10);
  Load(v);
  Run();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Found lost cluster 0028 in file: " + Path("ROOT.BIN"),
                                                  "Found lost cluster 0028 in file: " + Path("SUB/SUB.BIN")}));
  EXPECT_EQ(Read("ROOT.BIN"), std::string(10, '\0'));
  EXPECT_EQ(Read("SUB/SUB.BIN"), std::string(10, '\0'));
  EXPECT_EQ(FilesSaved(), 2u);
  EXPECT_EQ(s_.LogFile.Text().find("[CLUSTER]"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Loops and cycles.

TEST_F(Walk, LoopInAFileChainEndsTheFileWithAWarning) {
  FatVolume v = MakeVolume();
  const Bytes data = Pattern(2 * kBlock, 1);
  FileSpec loop = File("LOOP.BIN", data, 0x00);
  loop.size = 100000;
  v.AddFile(kRoot, loop);  // clusters 2, 3
  v.SetFat(3, 2);
  FileSpec self = File("SELF.BIN", Pattern(kBlock, 2), 0x00);
  self.size = 100000;
  v.AddFile(kRoot, self);  // cluster 4
  v.SetFat(4, 4);
  FileSpec lost = File("LOST.BIN", Pattern(kBlock, 3), 0x00);
  lost.clusters = {5, 40};
  lost.size = 100000;
  v.AddFile(kRoot, lost);
  v.SetFat(40, 5);  // back through a lost cluster
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       Entry("LOOP.BIN", 100000, 2, 0, 0), Chain(2, 3), Chain(3, 2),
                       Entry("SELF.BIN", 100000, 4, 0, 32), Chain(4, 4),
                       Entry("LOST.BIN", 100000, 5, 0, 64), Chain(5, 40),
                   }));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "WARNING: loop in cluster chain at $0002: " + Path("LOOP.BIN"),
                            "WARNING: file shorter than its size ($00001000 of $000186A0 bytes): " + Path("LOOP.BIN"),
                            "WARNING: loop in cluster chain at $0004: " + Path("SELF.BIN"),
                            "WARNING: file shorter than its size ($00000800 of $000186A0 bytes): " + Path("SELF.BIN"),
                            "Found lost cluster 0028 in file: " + Path("LOST.BIN"),
                            "WARNING: loop in cluster chain at $0005: " + Path("LOST.BIN"),
                            "WARNING: file shorter than its size ($00001000 of $000186A0 bytes): " + Path("LOST.BIN"),
                        }));
  EXPECT_EQ(Read("LOOP.BIN"), Str(data));
  EXPECT_EQ(Read("SELF.BIN"), Str(Pattern(kBlock, 2)));
  EXPECT_EQ(Read("LOST.BIN"), Str(Pattern(kBlock, 3)) + std::string(kBlock, '\0'));
  EXPECT_EQ(FilesSaved(), 3u);
}

TEST_F(Walk, LoopInADirectoryChainEndsTheDirectoryWithAWarning) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");  // cluster 2
  for (int i = 0; i < 62 + 64; ++i) v.AddShort(sub, "L" + std::to_string(i), 0x08, 0, 0);
  ASSERT_EQ(v.DirClusters(sub), (std::vector<std::uint16_t>{2, 3}));
  v.SetFat(3, 2);
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u + 64 + 1 + 64 + 1);
  EXPECT_EQ(log[65], DirEnd(2, 3));
  EXPECT_EQ(log[130], DirEnd(3, 2));
  EXPECT_EQ(Messages(), std::vector<std::string>{"WARNING: loop in cluster chain at $0002: " + Path("SUB")});
}

TEST_F(Walk, DirectoryAlreadyWalkedIsListedButNotWalkedAgain) {
  FatVolume v = MakeVolume();
  const FatVolume::Dir a = v.AddDirectory(kRoot, "A");  // cluster 2
  const FatVolume::Dir b = v.AddDirectory(a, "B");      // cluster 3
  v.AddFile(b, File("IN.TXT", Pattern(4, 1)));           // cluster 4
  v.AddShort(b, "UP", 0x10, 2, 0);                       // back to A
  v.AddShort(kRoot, "AGAIN", 0x10, 3, 0);                // B once more
  Load(v);
  Run();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "A size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$00002000: . size: 00000000 starts from: 0002 with ATTR:0010 Off:=0",
                       "$00002020: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                       "$00002040: B size: 00000000 starts from: 0003 with ATTR:0010 Off:=64",
                       "$00002800: . size: 00000000 starts from: 0003 with ATTR:0010 Off:=0",
                       "$00002820: .. size: 00000000 starts from: 0002 with ATTR:0010 Off:=32",
                       "$00002840: IN.TXT size: 00000004 starts from: 0004 with ATTR:0020 Off:=64",
                       Chain(4, 0xFFFF),
                       "$00002860: UP size: 00000000 starts from: 0002 with ATTR:0010 Off:=96",
                       "AGAIN size: 00000000 starts from: 0003 with ATTR:0010 Off:=32",
                   }));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "WARNING: directory already walked, skipped: " + Path("A/B/UP"),
                            "WARNING: directory already walked, skipped: " + Path("AGAIN"),
                        }));
  EXPECT_EQ(FilesSaved(), 1u);
  EXPECT_EQ(Read("A/B/IN.TXT"), Str(Pattern(4, 1)));
}

TEST_F(Walk, NestingDeeperThan64LevelsIsSkipped) {
  FatVolume v = MakeVolume(FatType::Fat16, 160);
  FatVolume::Dir dir = kRoot;
  std::string path;
  for (int level = 1; level <= 66; ++level) {
    dir = v.AddDirectory(dir, "N" + std::to_string(level));
    path += (level > 1 ? "/" : "") + ("N" + std::to_string(level));
    v.AddFile(dir, File("F.TXT", Pattern(1, static_cast<unsigned>(level))));
  }
  Load(v);
  Run();
  std::string n64;
  for (int level = 1; level <= 64; ++level) n64 += (level > 1 ? "/" : "") + ("N" + std::to_string(level));
  EXPECT_EQ(Messages(), std::vector<std::string>{"WARNING: directory nesting too deep, skipped: " + Path(n64 + "/N65")});
  EXPECT_EQ(Read(n64 + "/F.TXT"), Str(Pattern(1, 64)));
  EXPECT_FALSE(Exists(n64 + "/N65/F.TXT"));
  EXPECT_EQ(FilesSaved(), 64u);
  // N65 is listed (the last line) but nothing of it after.
  EXPECT_EQ(Log().back(), SubLine(v.ClusterOffset(v.DirClusters(64).front()) + 96, "N65"));
}

// ---------------------------------------------------------------------------
// Names on disk.

TEST_F(Walk, UnsafeCharactersBecomeUnderscoresOnDiskWhileTheLogShowsTheName) {
  FatVolume v = MakeVolume();
  const std::string fileName = "q\"*/:<>?\\|\x01z";
  const Bytes data = Pattern(9, 1);
  v.AddFile(kRoot, File("Q~1", data, 0x00, fileName));
  const FatVolume::Dir dir = v.AddDirectory(kRoot, "D~1", "x/../../escape");
  v.AddFile(dir, File("IN.TXT", Pattern(4, 2)));
  v.AddRaw(kRoot, RawEntry("A\x01" "B     T:T", 0x00, 0, 0));
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[0], Entry(fileName, 9, 2, 0, 32));
  EXPECT_EQ(log[2], Entry("x/../../escape", 0, 3, 0x10, 128));
  EXPECT_EQ(log[7], Entry("A\x01" "B.T:T", 0, 0, 0, 160));
  EXPECT_EQ(log[8], Chain(0, 0xFFF8));
  EXPECT_EQ(Read("q__________z"), Str(data));
  EXPECT_EQ(Read("x_.._.._escape/IN.TXT"), Str(Pattern(4, 2)));
  EXPECT_EQ(Read("A_B.T_T"), "");
  EXPECT_EQ(EntriesOnDisk(), 3u);
  EXPECT_EQ(EntriesOnDisk(".."), 1u);  // nothing escaped the unit directory
}

TEST_F(Walk, EmptyNameIsListedAndSkipped) {
  FatVolume v = MakeVolume();
  v.Allocate(1);
  v.WriteCluster(2, Pattern(10, 1));
  v.SetFat(2, 0xFFFF);
  v.AddRaw(kRoot, RawEntry("           ", 0x00, 2, 10));
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddRaw(sub, RawEntry("\x01\x02\x03     \x1F  ", 0x20, 2, 10));
  v.AddRaw(sub, RawEntry("        \x05  ", 0x10, 2, 0));
  Load(v);
  Run();
  const std::vector<std::string> log = Log();
  EXPECT_EQ(log, (std::vector<std::string>{
                     Entry("", 10, 2, 0, 0),
                     "SUB size: 00000000 starts from: 0003 with ATTR:0010 Off:=32",
                     "$00002800: . size: 00000000 starts from: 0003 with ATTR:0010 Off:=0",
                     "$00002820: .. size: 00000000 starts from: 0000 with ATTR:0010 Off:=32",
                     "$00002840:  size: 0000000A starts from: 0002 with ATTR:0020 Off:=64",
                     "$00002860:  size: 00000000 starts from: 0002 with ATTR:0010 Off:=96",
                 }));
  EXPECT_EQ(Messages(), std::vector<std::string>{});
  EXPECT_EQ(FilesSaved(), 0u);
  EXPECT_EQ(EntriesOnDisk(), 1u);
  EXPECT_EQ(EntriesOnDisk("SUB"), 0u);
}

// What this run made is numbered; what was on disk before it is not: a file
// that would replace a directory there is refused and reported, and a
// directory there is written into.
TEST_F(Walk, NameOnDiskBeforeTheRunIsReportedOrReusedAndTheWalkGoesOn) {
  FatVolume v = MakeVolume();
  v.AddDirectory(kRoot, "CLASH");
  v.AddFile(kRoot, File("CLASH", Pattern(5, 1), 0x00));
  v.AddFile(kRoot, File("BEFORE", Pattern(6, 2), 0x00));
  const FatVolume::Dir old = v.AddDirectory(kRoot, "OLDDIR");
  v.AddFile(old, File("IN.TXT", Pattern(7, 3)));
  v.AddFile(kRoot, File("NEXT.TXT", Pattern(8, 4), 0x00));
  Load(v);
  std::filesystem::create_directories(Path("BEFORE"));
  std::filesystem::create_directories(Path("OLDDIR"));
  quillex::test::WriteFile(Path("OLDDIR/KEPT.TXT"), std::string("kept"));
  Run();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"WARNING: name in use, saved as: " + Path("CLASH (2)"),
                                                  "ERROR: cannot create " + Path("BEFORE") + ": Is a directory"}));
  EXPECT_TRUE(std::filesystem::is_directory(Path("CLASH")));
  EXPECT_EQ(Read("CLASH (2)"), Str(Pattern(5, 1)));
  EXPECT_EQ(Read("OLDDIR/IN.TXT"), Str(Pattern(7, 3)));
  EXPECT_EQ(Read("OLDDIR/KEPT.TXT"), "kept");
  EXPECT_EQ(Read("NEXT.TXT"), Str(Pattern(8, 4)));
  EXPECT_EQ(FilesSaved(), 3u);
  // Both are listed; the refused file has no chain line.
  const std::string log = s_.LogFile.Text();
  EXPECT_NE(log.find(Entry("BEFORE", 6, 4, 0, 64)), std::string::npos);
  EXPECT_EQ(log.find(Chain(4, 0xFFFF)), std::string::npos);
}

TEST_F(Walk, NameLongerThanThePlatformAllowsIsReportedAndTheWalkGoesOn) {
  // Twenty pieces of 13 characters: a name of 260 bytes, over the 255 a
  // file name may have. Nothing stops the pieces at 20 or checks them.
  auto addLongName = [](FatVolume& v, FatVolume::Dir dir, char first) {
    std::string name;
    std::vector<Bytes> pieces;
    for (int k = 0; k < 20; ++k) {
      const char c = static_cast<char>(first + k);
      name += std::string(13, c);
      std::array<std::uint16_t, 13> units;
      units.fill(static_cast<std::uint16_t>(c));
      pieces.push_back(FatVolume::LongPiece(static_cast<std::uint8_t>(k + 1), units, 0));
    }
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) v.AddRaw(dir, *it);
    return name;
  };
  FatVolume v = MakeVolume();
  const std::string fileName = addLongName(v, kRoot, 'a');
  v.AddFile(kRoot, File("LONG.BIN", Pattern(5, 1), 0x00));
  const std::string dirName = addLongName(v, kRoot, 'A');
  const FatVolume::Dir dir = v.AddDirectory(kRoot, "LONGDIR");
  v.AddFile(dir, File("IN.TXT", Pattern(6, 2)));
  v.AddFile(kRoot, File("NEXT.TXT", Pattern(7, 3), 0x00));
  Load(v);
  Run();
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "ERROR: cannot create " + Path(fileName) + ": File name too long",
                            "ERROR: cannot create " + Path(dirName) + ": File name too long",
                        }));
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], Entry(fileName, 5, 2, 0x00, 20 * 32));
  EXPECT_EQ(log[1], Entry(dirName, 0, 3, 0x10, 41 * 32));
  EXPECT_EQ(Read("NEXT.TXT"), Str(Pattern(7, 3)));
  EXPECT_EQ(FilesSaved(), 1u);
  EXPECT_EQ(EntriesOnDisk(), 1u);
}

TEST_F(Walk, RootUnitPathWithATrailingSeparatorSavesIntoTheUnitDirectory) {
  FatVolume v = MakeVolume();
  v.AddFile(kRoot, File("A.TXT", Pattern(3, 1), 0x00));
  const FatVolume::Dir sub = v.AddDirectory(kRoot, "SUB");
  v.AddFile(sub, File("B.TXT", Pattern(4, 2)));
  Load(v);
  Run(unit_ + "/");
  EXPECT_EQ(SplitLines(s_.Console.Text()).front(), "partition #01" + unit_ + "/");
  EXPECT_EQ(Read("A.TXT"), Str(Pattern(3, 1)));
  EXPECT_EQ(Read("SUB/B.TXT"), Str(Pattern(4, 2)));
  EXPECT_EQ(FilesSaved(), 2u);
}

}  // namespace
