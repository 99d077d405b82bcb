// The test volume builder must make real FAT volumes: fsck.fat finds no
// fault in them and mtools reads back every name and byte put in. The field
// checks below hold the layout to the FAT format worked by hand.
#include "support/fat_volume.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/wait.h>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using quillex::test::Bytes;
using quillex::test::FatOptions;
using quillex::test::FatType;
using quillex::test::FatVolume;
using quillex::test::FileSpec;
using quillex::test::TempDir;

using quillex::test::Le;

std::string Text(const Bytes& b, std::size_t at, std::size_t width) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + width));
}

Bytes Pattern(std::size_t size, unsigned salt) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + salt * 31 + (i >> 9)) & 0xFF);
  return b;
}

struct Command {
  int status = -1;
  std::string output;  // standard output and standard error
};

Command RunCommand(const std::string& command) {
  Command result;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

// The program's path, looking in the system folders too (fsck.fat lives in
// sbin); empty when it is not installed.
std::string Tool(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/bin", "/usr/local/sbin"}) {
    const fs::path path = fs::path(dir) / name;
    if (fs::exists(path)) return path.string();
  }
  return {};
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A volume with a bit of everything and the tree it holds (path -> bytes;
// directories end in "/").
struct Sample {
  FatVolume volume;
  std::map<std::string, Bytes> tree;
};

Sample MakeSample(FatType type, std::uint32_t clusters) {
  FatOptions options;
  options.type = type;
  options.clusters = clusters;
  options.volumeLabel = "TESTVOL";
  Sample s{FatVolume(options), {}};
  FatVolume& v = s.volume;
  const std::uint32_t c = v.ClusterSize();
  auto file = [&](FatVolume::Dir dir, const std::string& prefix, FileSpec f) {
    v.AddFile(dir, f);
    s.tree[prefix + (f.longName.empty() ? f.shortName : f.longName)] = f.data;
  };

  v.AddShort(FatVolume::kRoot, "TESTVOL", quillex::test::kAttrVolumeLabel, 0, 0);
  file(FatVolume::kRoot, "", {"README.TXT", "", Pattern(291, 1), 0x20, {}, {}, {}});
  file(FatVolume::kRoot, "", {"ALONGF~1.TEX", "A long file name.text", Pattern(5000, 2), 0x20, {}, {}, {}});
  file(FatVolume::kRoot, "", {"EMPTY.DAT", "", {}, 0x20, {}, {}, {}});
  file(FatVolume::kRoot, "", {"TWO.BIN", "", Pattern(2 * c, 3), 0x20, {}, {}, {}});
  // A chain that runs backwards through the volume.
  std::vector<std::uint16_t> back = v.Allocate(3);
  std::swap(back[0], back[2]);
  file(FatVolume::kRoot, "", {"SCATTER.BIN", "", Pattern(2 * c + 100, 4), 0x20, back, {}, {}});

  const FatVolume::Dir sub = v.AddDirectory(FatVolume::kRoot, "SUBDIR~1", "Sub Directory");
  s.tree["Sub Directory/"] = {};
  // More entries than one cluster holds: the directory grows.
  for (unsigned i = 0; i < 70; ++i) {
    file(sub, "Sub Directory/", {"F" + std::to_string(i) + ".TXT", "", Pattern(10 + i, 10 + i), 0x20, {}, {}, {}});
  }
  file(sub, "Sub Directory/", {"MIXEDC~1.TXT", "Mixed Case.and.dots.txt", Pattern(777, 5), 0x20, {}, {}, {}});
  const FatVolume::Dir deep = v.AddDirectory(sub, "DEEP");
  s.tree["Sub Directory/DEEP/"] = {};
  file(deep, "Sub Directory/DEEP/", {"LEAF.BIN", "", Pattern(c + 1, 6), 0x20, {}, {}, {}});
  return s;
}

class FatVolumeTools : public ::testing::TestWithParam<FatType> {
 protected:
  // FAT16 needs at least 4085 clusters before other readers take it as FAT16.
  static std::uint32_t Clusters() { return GetParam() == FatType::Fat12 ? 300 : 4100; }
};

TEST_P(FatVolumeTools, FsckFindsNoFault) {
  const std::string fsck = Tool("fsck.fat");
  if (fsck.empty()) GTEST_SKIP() << "fsck.fat (dosfstools) is not installed";
  TempDir dir;
  Sample s = MakeSample(GetParam(), Clusters());
  ASSERT_GE(s.volume.DirClusters(1).size(), 2u) << "the sample should have a directory over two clusters";
  const std::string image = dir / "volume.img";
  quillex::test::WriteFile(image, s.volume.Image());

  const Command check = RunCommand(Quote(fsck) + " -n -v " + Quote(image));
  EXPECT_EQ(check.status, 0) << check.output;
  const std::string bits = GetParam() == FatType::Fat12 ? "12 bit entries" : "16 bit entries";
  EXPECT_NE(check.output.find(bits), std::string::npos) << check.output;
  EXPECT_NE(check.output.find(std::to_string(Clusters()) + " data clusters"), std::string::npos) << check.output;
  EXPECT_NE(check.output.find("1 reserved sector"), std::string::npos) << check.output;
  EXPECT_NE(check.output.find("1 FATs"), std::string::npos) << check.output;
  EXPECT_EQ(check.output.find("orphan"), std::string::npos) << check.output;
  EXPECT_EQ(check.output.find("Free cluster summary wrong"), std::string::npos) << check.output;
}

TEST_P(FatVolumeTools, MtoolsReadBackEveryNameAndByte) {
  const std::string mcopy = Tool("mcopy");
  const std::string mdir = Tool("mdir");
  const std::string mtype = Tool("mtype");
  if (mcopy.empty() || mdir.empty() || mtype.empty()) GTEST_SKIP() << "mtools is not installed";
  TempDir dir;
  Sample s = MakeSample(GetParam(), Clusters());
  const std::string image = dir / "volume.img";
  quillex::test::WriteFile(image, s.volume.Image());

  const Command listing = RunCommand(Quote(mdir) + " -i " + Quote(image) + " ::/");
  ASSERT_EQ(listing.status, 0) << listing.output;
  EXPECT_NE(listing.output.find("Volume in drive : is TESTVOL"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("README   TXT       291"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("ALONGF~1 TEX      5000"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("A long file name.text"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("Sub Directory"), std::string::npos) << listing.output;

  const Command typed = RunCommand(Quote(mtype) + " -i " + Quote(image) + " '::/Sub Directory/F3.TXT'");
  ASSERT_EQ(typed.status, 0) << typed.output;
  const Bytes f3 = Pattern(13, 13);
  EXPECT_EQ(typed.output, std::string(f3.begin(), f3.end()));

  const fs::path out = dir.path() / "out";
  fs::create_directories(out);
  const Command copy = RunCommand(Quote(mcopy) + " -s -n -i " + Quote(image) + " ::/ " + Quote(out.string() + "/"));
  ASSERT_EQ(copy.status, 0) << copy.output;
  std::map<std::string, Bytes> got;
  for (const auto& item : fs::recursive_directory_iterator(out)) {
    const std::string rel = fs::relative(item.path(), out).generic_string();
    if (item.is_directory()) {
      got[rel + "/"] = {};
    } else {
      const std::string text = quillex::test::ReadFile(item.path().string());
      got[rel] = Bytes(text.begin(), text.end());
    }
  }
  EXPECT_EQ(got.size(), s.tree.size());
  for (const auto& [path, bytes] : s.tree) {
    ASSERT_TRUE(got.contains(path)) << path;
    EXPECT_EQ(got[path], bytes) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, FatVolumeTools, ::testing::Values(FatType::Fat12, FatType::Fat16),
                         [](const ::testing::TestParamInfo<FatType>& p) { return p.param == FatType::Fat12 ? "Fat12" : "Fat16"; });

// ---------------------------------------------------------------------------
// Layout, worked by hand.

TEST(FatVolumeLayout, BootSectorFields) {
  FatOptions o;
  o.type = FatType::Fat16;
  o.clusters = 32;
  o.oemName = "MSDOS5.0";
  o.volumeLabel = "LABEL";
  const FatVolume v(o);
  const Bytes& b = v.Image();
  // FAT: 34 entries x 2 = 68 bytes, 1 sector. 3 + 1 + 1 + root sectors must
  // be a multiple of 4: 3 root sectors, 48 entries.
  EXPECT_EQ(v.SecsPerFat(), 1);
  EXPECT_EQ(v.RootEntries(), 48);
  EXPECT_EQ(v.RootOffset(), 1024u);
  EXPECT_EQ(v.DataOffset(), 2560u);  // + 3 sectors before the volume = 4096, two fs_blocks
  EXPECT_EQ(v.ClusterOffset(2), 2560u);
  EXPECT_EQ(v.ClusterOffset(5), 2560u + 3 * 0x800);
  ASSERT_EQ(b.size(), (1u + 1 + 3 + 32 * 4) * 512);

  EXPECT_EQ(Le(b, 0, 3), 0x9000EBu);  // EB 00 90
  EXPECT_EQ(Text(b, 3, 8), "MSDOS5.0");
  EXPECT_EQ(Le(b, 11, 2), 512u);
  EXPECT_EQ(b[13], 4);        // sectors per cluster
  EXPECT_EQ(Le(b, 14, 2), 1u);  // reserved
  EXPECT_EQ(b[16], 1);        // FATs
  EXPECT_EQ(Le(b, 17, 2), 48u);
  EXPECT_EQ(Le(b, 19, 2), 133u);  // total sectors
  EXPECT_EQ(b[21], 0xF8);
  EXPECT_EQ(Le(b, 22, 2), 1u);
  EXPECT_EQ(Le(b, 28, 4), 3u);  // hidden: the sectors before the boot sector
  EXPECT_EQ(Le(b, 32, 4), 0u);
  EXPECT_EQ(b[36], 0x80);
  EXPECT_EQ(b[38], 0x29);
  EXPECT_EQ(Text(b, 43, 11), "LABEL      ");
  EXPECT_EQ(Text(b, 54, 8), "FAT16   ");
  EXPECT_EQ(Le(b, 510, 2), 0xAA55u);
  // FAT entries 0 and 1.
  EXPECT_EQ(Le(b, 512, 4), 0xFFFFFFF8u);
}

TEST(FatVolumeLayout, RootEntriesRaisedToPutDataOnAnFsBlockBoundary) {
  FatOptions o;
  o.clusterSize = 0x4000;  // 32 sectors per fs_block
  o.clusters = 300;        // FAT16: 604 bytes, 2 sectors
  const FatVolume v(o);
  // 3 + 1 + 2 + r must be a multiple of 32: r = 26 sectors, 416 entries.
  EXPECT_EQ(v.SecsPerFat(), 2);
  EXPECT_EQ(v.RootEntries(), 416);
  EXPECT_EQ((v.DataOffset() + 3 * 512) % 0x4000, 0u);

  o.rootEntries = 500;  // 32 sectors at least: the next fit is 26 + 32 = 58 sectors
  EXPECT_EQ(FatVolume(o).RootEntries(), 58 * 16);

  o.type = FatType::Fat12;
  o.clusterSize = 0x800;
  o.clusters = 200;  // 303 FAT bytes, 1 sector
  o.rootEntries = 16;
  EXPECT_EQ(FatVolume(o).RootEntries(), 48);
  EXPECT_EQ(Text(FatVolume(o).Image(), 54, 8), "FAT12   ");
}

TEST(FatVolumeLayout, RefusesGeometriesTheToolCannotAddress) {
  FatOptions o;
  o.clusterSize = 0x400;  // fewer than 4 sectors per fs_block
  EXPECT_THROW(FatVolume{o}, std::invalid_argument);
  o.clusterSize = 0x1800;
  EXPECT_THROW(FatVolume{o}, std::invalid_argument);
  o.clusterSize = 0x800;
  o.type = FatType::Fat12;
  o.clusters = 4085;
  EXPECT_THROW(FatVolume{o}, std::invalid_argument);
}

TEST(FatVolumeLayout, Fat12EntriesShareThreeBytes) {
  FatOptions o;
  o.type = FatType::Fat12;
  FatVolume v(o);
  v.SetFat(2, 0x123);
  v.SetFat(3, 0x456);
  const Bytes& b = v.Image();
  // F8 FF FF for entries 0 and 1, then 23 61 45.
  EXPECT_EQ(Le(b, 512, 3), 0xFFFFF8u);
  EXPECT_EQ(b[512 + 3], 0x23);
  EXPECT_EQ(b[512 + 4], 0x61);
  EXPECT_EQ(b[512 + 5], 0x45);
  EXPECT_EQ(v.Fat(2), 0x123);
  EXPECT_EQ(v.Fat(3), 0x456);
  v.SetFat(2, 0xFF0);  // rewriting one leaves its neighbour
  EXPECT_EQ(v.Fat(3), 0x456);
  EXPECT_EQ(b[512 + 3], 0xF0);
  EXPECT_EQ(b[512 + 4], 0x6F);
}

TEST(FatVolumeLayout, Fat16EntryIsALittleEndianWord) {
  FatVolume v;
  v.SetFat(2, 0xABCD);
  EXPECT_EQ(Le(v.Image(), 512 + 4, 2), 0xABCDu);
  v.Link({7, 3, 9});
  EXPECT_EQ(v.Fat(7), 3);
  EXPECT_EQ(v.Fat(3), 9);
  EXPECT_EQ(v.Fat(9), 0xFFFF);
}

TEST(FatVolumeLayout, ShortEntryFields) {
  FatVolume v;
  const std::uint32_t at = v.AddShort(FatVolume::kRoot, "README.TXT", 0x21, 0x1234, 0x89ABCDEF);
  EXPECT_EQ(at, v.RootOffset());
  const Bytes& b = v.Image();
  EXPECT_EQ(Text(b, at, 11), "README  TXT");
  EXPECT_EQ(b[at + 11], 0x21);
  EXPECT_EQ(Le(b, at + 26, 2), 0x1234u);
  EXPECT_EQ(Le(b, at + 28, 4), 0x89ABCDEFu);
  EXPECT_EQ(v.AddShort(FatVolume::kRoot, "NOEXT", 0x20, 0, 0), v.RootOffset() + 32);
  EXPECT_EQ(Text(b, v.RootOffset() + 32, 11), "NOEXT      ");
  EXPECT_THROW(FatVolume::Name83("TOOLONGNAME.TXT"), std::invalid_argument);
}

TEST(FatVolumeLayout, LongNamePiecesLastPartFirstWithChecksum) {
  const auto shortName = FatVolume::Name83("ALONGF~1.TEX");
  // Checksum of "ALONGF~1TEX" by the rotate-right-and-add rule.
  EXPECT_EQ(FatVolume::Checksum(shortName), 0x7D);
  EXPECT_EQ(FatVolume::Checksum(FatVolume::Name83("README.TXT")), 0x73);

  const std::vector<Bytes> pieces = FatVolume::LongPieces("A long file name.text", shortName);
  ASSERT_EQ(pieces.size(), 2u);
  const Bytes& last = pieces[0];  // characters 14 to 21, then 0 and FFFF fillers
  EXPECT_EQ(last[0], 0x42);
  EXPECT_EQ(last[11], 0x0F);
  EXPECT_EQ(last[12], 0);
  EXPECT_EQ(last[13], 0x7D);
  EXPECT_EQ(Le(last, 26, 2), 0u);
  const std::string tail = "ame.text";
  const std::size_t units[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (std::size_t i = 0; i < 13; ++i) {
    const std::uint32_t want = i < tail.size() ? static_cast<unsigned char>(tail[i]) : i == tail.size() ? 0u : 0xFFFFu;
    EXPECT_EQ(Le(last, units[i], 2), want) << i;
  }
  const Bytes& first = pieces[1];
  EXPECT_EQ(first[0], 0x01);
  const std::string head = "A long file n";
  for (std::size_t i = 0; i < 13; ++i) EXPECT_EQ(Le(first, units[i], 2), static_cast<unsigned char>(head[i])) << i;

  // Thirteen characters fill one piece: no terminating zero.
  const std::vector<Bytes> one = FatVolume::LongPieces("Thirteen char", shortName);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0][0], 0x41);
  EXPECT_EQ(Le(one[0], 30, 2), static_cast<unsigned char>('r'));
}

TEST(FatVolumeLayout, SubdirectoryHasDotEntriesAndGrowsByLinkedClusters) {
  FatVolume v;
  const FatVolume::Dir a = v.AddDirectory(FatVolume::kRoot, "A");
  const FatVolume::Dir b = v.AddDirectory(a, "B");
  const std::uint16_t ca = v.DirClusters(a).front();
  const std::uint16_t cb = v.DirClusters(b).front();
  const Bytes& img = v.Image();
  // "." names the directory itself, ".." its parent (0 for the root).
  EXPECT_EQ(Text(img, v.ClusterOffset(ca), 11), ".          ");
  EXPECT_EQ(Le(img, v.ClusterOffset(ca) + 26, 2), ca);
  EXPECT_EQ(Text(img, v.ClusterOffset(ca) + 32, 11), "..         ");
  EXPECT_EQ(Le(img, v.ClusterOffset(ca) + 32 + 26, 2), 0u);
  EXPECT_EQ(Le(img, v.ClusterOffset(cb) + 32 + 26, 2), ca);
  // B is listed in A after the dot entries.
  EXPECT_EQ(Text(img, v.ClusterOffset(ca) + 64, 11), "B          ");
  EXPECT_EQ(img[v.ClusterOffset(ca) + 64 + 11], 0x10);
  EXPECT_EQ(v.Fat(ca), 0xFFFF);

  // 64 entries per cluster: 3 used in A, 61 more fill it, the next one grows it.
  for (int i = 0; i < 61; ++i) v.AddShort(a, "X" + std::to_string(i), 0x20, 0, 0);
  EXPECT_EQ(v.DirClusters(a).size(), 1u);
  const std::uint32_t next = v.NextEntryOffset(a);
  const std::uint32_t at = v.AddShort(a, "GROWN", 0x20, 0, 0);
  ASSERT_EQ(v.DirClusters(a).size(), 2u);
  const std::uint16_t grown = v.DirClusters(a)[1];
  EXPECT_EQ(at, v.ClusterOffset(grown));
  EXPECT_EQ(at, next);
  EXPECT_EQ(v.Fat(ca), grown);
  EXPECT_EQ(v.Fat(grown), 0xFFFF);
}

TEST(FatVolumeLayout, FileDataFillsItsChainInOrder) {
  FatVolume v;
  const Bytes data = Pattern(0x800 * 2 + 5, 9);
  const std::uint32_t at = v.AddFile(FatVolume::kRoot, {"F.BIN", "", data, 0x20, {9, 4, 6}, {}, {}});
  const Bytes& img = v.Image();
  EXPECT_EQ(Le(img, at + 26, 2), 9u);
  EXPECT_EQ(Le(img, at + 28, 4), data.size());
  EXPECT_EQ(Bytes(img.begin() + v.ClusterOffset(9), img.begin() + v.ClusterOffset(9) + 0x800),
            Bytes(data.begin(), data.begin() + 0x800));
  EXPECT_EQ(Bytes(img.begin() + v.ClusterOffset(6), img.begin() + v.ClusterOffset(6) + 5),
            Bytes(data.begin() + 0x1000, data.end()));
  EXPECT_EQ(v.Fat(9), 4);
  EXPECT_EQ(v.Fat(4), 6);
  EXPECT_EQ(v.Fat(6), 0xFFFF);
  EXPECT_THROW(v.AddFile(FatVolume::kRoot, {"G.BIN", "", data, 0x20, {10}, {}, {}}), std::length_error);
}

}  // namespace
