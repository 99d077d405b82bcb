// A whole run over a dump with several MTab units: the console from the Mount
// Table on, the whole log and the extracted tree, byte for byte. Expected
// texts are built from the volumes the test lays out, not from the tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/hex.h"
#include "mkraw/mkraw.h"
#include "support/fat_volume.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace mk = mkraw;
namespace fs = std::filesystem;
constexpr std::uint32_t kBs = 0x800;

std::string Text(const Bytes& b, std::size_t at, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

std::string UnitHeader(int unit, const std::string& path, std::uint16_t start, std::uint32_t size) {
  return Lines({std::string(80, '='), "                  Processing MTab unit $" + HexByte(static_cast<std::uint32_t>(unit)),
                "Mount path: " + path + ", starts: $" + HexWord(start) + ", size: $" + HexDword(size)});
}

// The log's dump of entry 1 of the table at the start of `unit`.
std::string TableDump(const Bytes& unit, std::uint32_t block) {
  const std::size_t e = 446;
  const std::uint32_t count = Le(unit, e + 12, 4);
  auto chs = [&](std::size_t at) {
    const std::uint32_t w = Le(unit, at + 1, 2);
    return "Head: " + HexWord(unit[at]) + " Cyl: " + HexWord((w >> 8) | ((w & 0xC0) << 2)) +
           " Sec: " + HexWord(w & 0x3F);
  };
  return Lines({std::string(80, '='), "Recognized partition at block: $" + HexWord(block),
                "Recognized partition entry: ", "      Total sectors:   $" + HexDword(count),
                "      Bytes per sector:$0200",
                "      Size:            $" + HexDword(count * 512) + " = " + std::to_string(count * 512) + " bytes",
                "      CurState:        $" + HexByte(unit[e]), "      BOPHead:         $" + HexByte(unit[e + 1]),
                "      BOPCelSec:       $" + HexWord(Le(unit, e + 2, 2)),
                "      ParType:         $" + HexByte(unit[e + 4]), "      EOPHead:         $" + HexByte(unit[e + 5]),
                "      EOPCelSec:       $" + HexWord(Le(unit, e + 6, 2)),
                "      FirstSecOffset:  $" + HexDword(Le(unit, e + 8, 4)),
                "      NumOfSectors:    $" + HexDword(count), "      START: " + chs(e + 1),
                "      END  : " + chs(e + 5)});
}

// The log's dump of the boot sector at byte `v` of `unit`.
std::string BootDump(const Bytes& unit, std::size_t v, std::uint32_t block) {
  const std::uint32_t small = Le(unit, v + 19, 2);
  const std::uint32_t total = small != 0 ? small : Le(unit, v + 32, 4);
  const std::uint32_t size = Le(unit, v + 11, 2) * total;
  return Lines({std::string(80, '-'), "Found VFAT filesystem. FSInfo in block: $" + HexWord(block),
                "      OEMName:        " + Text(unit, v + 3, 8), "      Total sectors:  $" + HexDword(total),
                "      Bytes / sector: $" + HexWord(Le(unit, v + 11, 2)),
                "      Size:           $" + HexDword(size) + " = " + std::to_string(size / 1024) + " k/b",
                "      SecsPetCluster: $" + HexByte(unit[v + 13]), "      ReservedSectors:$" + HexWord(Le(unit, v + 14, 2)),
                "      NumberOfFAT:    $" + HexByte(unit[v + 16]), "      MaxRootEntry:   $" + HexWord(Le(unit, v + 17, 2)),
                "      MediaType:      $" + HexByte(unit[v + 21]), "      SecsPerFAT:     $" + HexWord(Le(unit, v + 22, 2)),
                "      SectorPerTrack: $" + HexWord(Le(unit, v + 24, 2)),
                "      NumberOfHeads:  $" + HexWord(Le(unit, v + 26, 2)),
                "      HiddenSecNum:   $" + HexDword(Le(unit, v + 28, 4)),
                "      LargeSecNum:    $" + HexDword(Le(unit, v + 32, 4)),
                "      LogicalDrive:   $" + HexWord(Le(unit, v + 36, 2)), "      ExtSign:        $" + HexByte(unit[v + 38]),
                "      Serial#:        " + HexDword(Le(unit, v + 39, 4)), "      VolumeName:     " + Text(unit, v + 43, 11),
                "      FATName:        " + Text(unit, v + 54, 8), "      ExMarker:       $" + HexWord(Le(unit, v + 510, 2))});
}

std::string Listing(const std::string& name, std::uint32_t size, std::uint16_t cluster, std::uint8_t attribute,
                    std::uint32_t off) {
  return name + " size: " + HexDword(size) + " starts from: " + HexWord(cluster) + " with ATTR:" +
         HexWord(attribute) + " Off:=" + std::to_string(off);
}

std::string Pattern(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 256) & 0xFF);
  return s;
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Extraction, SeveralUnitsGiveExactConsoleLogAndFiles) {
  // Unit "/": FAT16. Root: a volume label, SYSTEM.BIN (attribute 0: saved),
  // NOTE.TXT (0x20, archive), "My Documents" holding a long named file and a
  // deleted one.
  FatVolume v16({FatType::Fat16, kBs, 16, 16, "MSWIN4.1", "NO NAME"});
  const std::string system = Pattern(2100, 1), note = Pattern(40, 2), longFile = Pattern(291, 3),
                    deleted = Pattern(10, 4);
  const std::uint32_t labelAt = v16.AddShort(FatVolume::kRoot, "QUILLEX", kAttrVolumeLabel, 0, 0);
  const std::uint32_t systemAt = v16.AddFile(FatVolume::kRoot, {"SYSTEM.BIN", "", B(system), 0x00, {}, {}, {}});
  const std::uint32_t noteAt = v16.AddFile(FatVolume::kRoot, {"NOTE.TXT", "", B(note), kAttrArchive, {}, {}, {}});
  const std::uint32_t docsPieceAt = v16.NextEntryOffset(FatVolume::kRoot);
  const FatVolume::Dir docs = v16.AddDirectory(FatVolume::kRoot, "MYDOCU~1", "My Documents");
  const std::uint32_t docsAt = docsPieceAt + 32;  // one long name piece, then the entry
  const std::uint16_t docsCluster = v16.DirClusters(docs).front();
  const std::uint32_t longAt = v16.AddFile(docs, {"LONGFI~1.TXT", "Long file name.txt", B(longFile), kAttrArchive, {}, {}, {}});
  const std::uint32_t deletedAt = v16.AddFile(docs, {"XELETED.TXT", "", B(deleted), kAttrArchive, {}, {}, {}});
  v16.Image()[deletedAt] = 0xE5;
  const std::uint16_t deletedCluster = static_cast<std::uint16_t>(Le(v16.Image(), deletedAt + 26, 2));
  v16.SetFat(deletedCluster, 0);  // freed with the entry

  // Unit "/../a/b" (no "/a" unit): FAT12 with X/F.BIN over three clusters and
  // a name that must not reach the disk as it stands.
  FatVolume v12({FatType::Fat12, kBs, 12, 16, "MSDOS5.0", "PHONE"});
  const std::string five = Pattern(5000, 5), odd = Pattern(7, 6);
  const FatVolume::Dir x = v12.AddDirectory(FatVolume::kRoot, "X");
  const std::uint16_t xCluster = v12.DirClusters(x).front();
  const std::uint32_t xAt = v12.RootOffset();
  const std::uint32_t fiveAt = v12.AddFile(x, {"F.BIN", "", B(five), kAttrArchive, {}, {}, {}});
  const std::uint32_t oddAt = v12.AddFile(x, {"ODD.TXT", "a:b*c", B(odd), kAttrArchive, {}, {}, {}});

  const Bytes unit16 = mk::MakeUnitImage({"/", v16.Image(), 0x04, true});
  const Bytes unit12 = mk::MakeUnitImage({"/../a/b", v12.Image(), 0x01, true});
  const Bytes unit32 = mk::MakeUnitImage({"/fat32", v12.Image(), 0x0B, true});
  // A boot sector right at the unit's start and no partition table.
  Bytes bare = v12.Image();
  bare[1] = 0x00;
  bare[3] = 'M';

  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  plan.seed = 7;
  std::uint16_t next = 2;
  auto place = [&](const Bytes& image) {
    const std::uint16_t start = next;
    for (std::size_t at = 0; at < image.size(); at += kBs) {
      plan.logicalBlocks[next++] = Bytes(image.begin() + static_cast<std::ptrdiff_t>(at),
                                         image.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(image.size(), at + kBs)));
    }
    return start;
  };
  const std::uint16_t s16 = place(unit16), s12 = place(unit12), s32 = place(unit32), sBare = place(bare);
  const std::uint16_t sJunk = next;
  plan.logicalBlocks[next++] = Bytes(kBs, 0);
  auto blocks = [](const Bytes& b) { return static_cast<std::uint16_t>((b.size() + kBs - 1) / kBs); };
  plan.logicalBlocks[1] = mk::MakeMountTable({{"/", s16, blocks(unit16), {}},
                                              {"/../a/b", s12, blocks(unit12), {}},
                                              {"/fat32", s32, blocks(unit32), {}},
                                              {"/none", 0, 0, {}},
                                              {"/junk", sJunk, 1, {}},
                                              {"/boot", sBare, blocks(bare), {}}},
                                             kBs);
  plan.mountTableBlock = 1;

  TempDir dir;
  WriteFile(dir / "name.raw", mk::BuildDump(plan));
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"});
  ASSERT_EQ(run.status, 0) << run.out;

  auto offset = [](std::uint16_t start) { return (std::uint32_t{start} - 1) * kBs; };
  // Sectors of a volume behind a table count from the unit's start.
  const std::uint32_t root16 = 4 + v16.SecsPerFat(), data16 = root16 + v16.RootEntries() / 16u;
  const std::uint32_t root12 = 4 + v12.SecsPerFat(), data12 = root12 + v12.RootEntries() / 16u;
  const std::string console = run.out.substr(run.out.find("Trying to process"));
  EXPECT_EQ(console,
            Lines({"Trying to process Mount Table @ fs_block: $0001",
                   "@ $" + HexDword(offset(s16)) + ": partition #01_name.raw/",
                   "  type: 04 - FAT16 up to 32Mb fs_info: $" + HexDword(offset(s16) + 1536) + " root: $" +
                       HexDword(root16) + "  1st_sec: $" + HexWord(data16),
                   "  files saved: 4",
                   "@ $" + HexDword(offset(s12)) + ": partition #02_name.raw/a/b",
                   "  type: 01 - FAT12 fs_info: $" + HexDword(offset(s12) + 1536) + " root: $" +
                       HexDword(root12) + "  1st_sec: $" + HexWord(data12),
                   "  files saved: 2",
                   "@ $" + HexDword(offset(s32)) + ": partition #03_name.raw/fat32",
                   "  type: 0B - FAT32 up to 2048Mb        Partition type not supported. Partition will not be processed.",
                   "WARNING: partition start is invalid ($0000 or $FFFF)",
                   "WARNING: partition size is invalid ",
                   "@ $" + HexDword(offset(sJunk)) + ": ERROR: fs_block $" + HexWord(sJunk) +
                       " contain NO partition data or partition is CORRUPTED!",
                   "@ $" + HexDword(offset(sBare)) + ": partition #00_name.raw/boot",
                   "  type: 00 - NONE        Partition type not supported. Partition will not be processed.",
                   "OK!", "Task finished! Press ENTER to quit."}));

  // Volume offsets as image offsets, and the listing lines.
  const std::uint32_t vol16 = offset(s16) + 1536, vol12 = offset(s12) + 1536;
  auto in = [](std::uint32_t vol, std::uint32_t at) { return "$" + HexDword(vol + at) + ": "; };
  const std::uint32_t docsBase = vol16 + v16.ClusterOffset(docsCluster);
  const std::uint32_t xBase = vol12 + v12.ClusterOffset(xCluster);
  const std::uint16_t systemCluster = static_cast<std::uint16_t>(Le(v16.Image(), systemAt + 26, 2));
  const std::uint16_t longCluster = static_cast<std::uint16_t>(Le(v16.Image(), longAt + 26, 2));
  const std::uint16_t fiveCluster = static_cast<std::uint16_t>(Le(v12.Image(), fiveAt + 26, 2));
  const std::uint16_t oddCluster = static_cast<std::uint16_t>(Le(v12.Image(), oddAt + 26, 2));
  auto chain = [](std::uint16_t from, std::uint16_t to) { return "[CLUSTER] " + HexWord(from) + " points to: " + HexWord(to); };
  const std::string expectedLog =
      UnitHeader(1, "/", s16, blocks(unit16) * kBs) + TableDump(unit16, s16 - 1u) + BootDump(unit16, 1536, s16 - 1u) +
      Lines({Listing("QUILLEX", 0, 0, 0x08, labelAt - v16.RootOffset()),
             Listing("SYSTEM.BIN", 2100, systemCluster, 0x00, systemAt - v16.RootOffset()),
             chain(systemCluster, static_cast<std::uint16_t>(systemCluster + 1)),
             chain(static_cast<std::uint16_t>(systemCluster + 1), 0xFFFF),
             Listing("NOTE.TXT", 40, static_cast<std::uint16_t>(Le(v16.Image(), noteAt + 26, 2)), 0x20, noteAt - v16.RootOffset()),
             chain(static_cast<std::uint16_t>(Le(v16.Image(), noteAt + 26, 2)), 0xFFFF),
             Listing("My Documents", 0, docsCluster, 0x10, docsAt - v16.RootOffset()),
             in(vol16, v16.ClusterOffset(docsCluster)) + Listing(".", 0, docsCluster, 0x10, 0),
             in(vol16, v16.ClusterOffset(docsCluster) + 32) + Listing("..", 0, 0, 0x10, 32),
             in(vol16, longAt) + Listing("Long file name.txt", 291, longCluster, 0x20, vol16 + longAt - docsBase),
             chain(longCluster, 0xFFFF),
             in(vol16, deletedAt) + Listing("\xE5" "ELETED.TXT", 10, deletedCluster, 0x20, vol16 + deletedAt - docsBase),
             chain(deletedCluster, 0x0000)}) +
      UnitHeader(2, "/../a/b", s12, blocks(unit12) * kBs) + TableDump(unit12, s12 - 1u) + BootDump(unit12, 1536, s12 - 1u) +
      Lines({Listing("X", 0, xCluster, 0x10, xAt - v12.RootOffset()),
             in(vol12, v12.ClusterOffset(xCluster)) + Listing(".", 0, xCluster, 0x10, 0),
             in(vol12, v12.ClusterOffset(xCluster) + 32) + Listing("..", 0, 0, 0x10, 32),
             in(vol12, fiveAt) + Listing("F.BIN", 5000, fiveCluster, 0x20, vol12 + fiveAt - xBase),
             chain(fiveCluster, static_cast<std::uint16_t>(fiveCluster + 1)),
             chain(static_cast<std::uint16_t>(fiveCluster + 1), static_cast<std::uint16_t>(fiveCluster + 2)),
             chain(static_cast<std::uint16_t>(fiveCluster + 2), 0xFFF),
             in(vol12, oddAt) + Listing("a:b*c", 7, oddCluster, 0x20, vol12 + oddAt - xBase),
             chain(oddCluster, 0xFFF)}) +
      UnitHeader(3, "/fat32", s32, blocks(unit32) * kBs) + TableDump(unit32, s32 - 1u) + BootDump(unit32, 1536, s32 - 1u) +
      UnitHeader(4, "/none", 0, 0) + UnitHeader(5, "/junk", sJunk, kBs) +
      UnitHeader(6, "/boot", sBare, blocks(bare) * kBs) + BootDump(bare, 0, sBare - 1u);
  EXPECT_EQ(ReadFile(dir / "name.raw.log"), expectedLog);

  // The tree: saved files only, directories recreated, names made safe.
  const fs::path out = dir.path() / "_name.raw";
  EXPECT_EQ(ReadFile((out / "SYSTEM.BIN").string()), system);
  EXPECT_EQ(ReadFile((out / "NOTE.TXT").string()), note);
  EXPECT_EQ(ReadFile((out / "My Documents" / "Long file name.txt").string()), longFile);
  EXPECT_EQ(ReadFile((out / "My Documents" / "\u00E5ELETED.TXT").string()), deleted);  // E5 read as Windows-1252
  EXPECT_EQ(ReadFile((out / "a/b/X/F.BIN").string()), five);
  EXPECT_EQ(ReadFile((out / "a/b/X/a_b_c").string()), odd);
  EXPECT_TRUE(fs::is_directory(out / "fat32"));
  EXPECT_TRUE(fs::is_directory(out / "boot"));
  std::size_t entries = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    const std::string rel = fs::relative(e.path(), dir.path()).string();
    EXPECT_TRUE(rel == "name.raw" || rel == "name.raw.fs" || rel == "name.raw.log" || rel.rfind("_name.raw", 0) == 0)
        << "written outside the outputs: " << rel;
    ++entries;
  }
  EXPECT_EQ(entries, 4u + 12u) << "outputs + My Documents(3) + a, a/b, a/b/X(3) + fat32 + boot + SYSTEM.BIN, NOTE.TXT";
}

}  // namespace
}  // namespace quillex::test
