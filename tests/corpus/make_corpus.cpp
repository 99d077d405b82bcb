// quillex-make-corpus: writes the regression corpus of damaged dumps.
//
//   quillex-make-corpus FOLDER
//
// Every case is a small dump NAME.raw holding one defect, made with the dump
// writer and the FAT volume builder, and a line of FOLDER/cases.txt:
//
//   NAME.raw|exit status|console text|what the dump breaks
//
// The console text is one or more whole lines that a run on the dump (copied
// to name.raw) must print, in that order and next to each other; in the file
// "\n" separates lines, "\xHH" stands for a byte and "\\" for a backslash.
// The texts below are worked out by hand from the tool's rules; each case
// says how. Lines of cases.txt naming dumps this program does not make (fuzzer
// findings added by hand) are kept.
//
// Most dumps share one layout, written without shuffling so that every
// physical fs_block is known:
//
//   physical 0   FS description block
//   physical 1   Mount Table (logical 1), one unit "/a" starting at block 2
//   physical 2   MAP block id 0
//   physical 3.. the unit: logical 2 = partition table, boot sector 3 sectors
//                in; logical 3 = FAT and root directory; logical 4.. cluster 2..
//
// With fs_block $800 the unit's sectors count from logical 2 (TableBlock 1):
// the boot sector is at $E00, the FAT at $1000, the root at sector 5 ($1200)
// and cluster m at (m + 1) * $800, that is logical block m + 2.
#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mkraw/mkraw.h"
#include "support/fat_volume.h"

namespace quillex::corpus {
namespace {

namespace mk = quillex::mkraw;
using test::FatOptions;
using test::FatType;
using test::FatVolume;
using test::FileSpec;
using Bytes = std::vector<std::uint8_t>;
using Block = mk::PhysicalBlock;

constexpr std::uint32_t kBs = 0x800;
constexpr std::uint8_t kArchive = test::kAttrArchive;
constexpr std::uint8_t kDirectory = test::kAttrSubdirectory;
constexpr std::uint8_t kLabel = test::kAttrVolumeLabel;
// A cluster far beyond every image below: reading it finds no data, so the
// file it starts is reported on the console with its path ("lost cluster").
constexpr std::uint16_t kLostProbe = 0x20;

struct Case {
  std::string name;  // without ".raw"
  int status = 0;
  std::string expected;  // lines joined with '\n', bytes as they are
  std::string note;
  Bytes dump;
};

// ---------------------------------------------------------------------------
// Bytes.

using test::Put16;
using test::Put32;

Bytes Pattern(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return b;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

std::string Repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// An 11-byte short name given byte for byte (blanks, controls, separators).
std::array<std::uint8_t, 11> RawName(const std::string& name11) {
  if (name11.size() != 11) throw std::invalid_argument("a raw short name has 11 bytes");
  std::array<std::uint8_t, 11> out{};
  std::copy(name11.begin(), name11.end(), out.begin());
  return out;
}

// ---------------------------------------------------------------------------
// FAT volumes and units.

FatVolume Volume(FatType type = FatType::Fat16, std::uint32_t clusters = 4) {
  return FatVolume(FatOptions{type, kBs, clusters, 16, "MSWIN4.1", "NO NAME"});
}

// The usual content: A.BIN (attribute 0, 100 bytes, cluster 2) in the root,
// DIR (cluster 3) holding F.TXT (archive, 3000 bytes, clusters 4 and 5).
// Files saved: 2.
FatVolume UsualVolume(FatType type = FatType::Fat16) {
  FatVolume v = Volume(type, 4);
  v.AddFile(FatVolume::kRoot, {"A.BIN", "", Pattern(100, 1), 0x00, {}, {}, {}});
  const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
  v.AddFile(dir, {"F.TXT", "", Pattern(3000, 2), kArchive, {}, {}, {}});
  return v;
}

// A file whose only cluster lies beyond the image: the run reports it by its
// path, which shows the name the tool built.
void AddProbe(FatVolume& v, FatVolume::Dir dir, const std::string& shortName, const std::string& longName = {},
              std::uint8_t attribute = kArchive) {
  v.AddFile(dir, {shortName, longName, {}, attribute, {kLostProbe}, 0u, kLostProbe});
}

void AddRawProbe(FatVolume& v, FatVolume::Dir dir, const std::string& name11) {
  v.AddRaw(dir, FatVolume::ShortEntry(RawName(name11), kArchive, kLostProbe, 0));
}

// The unit's bytes: partition table (entry 1: type, first sector 3), two zero
// sectors, the volume.
Bytes Unit(const FatVolume& v, std::uint8_t parType = 0x04) {
  return mk::MakeUnitImage({"", v.Image(), parType, true});
}

// Splits bytes into logical fs_blocks from `first` on; returns the count.
// Blocks of zeros are left out when asked: the image holds zeros there anyway.
std::uint16_t Place(mk::FlashSpec& plan, std::uint32_t first, const Bytes& bytes, bool skipZero = false) {
  const std::size_t count = (bytes.size() + plan.fsBlockSize - 1) / plan.fsBlockSize;
  for (std::size_t i = 0; i < count; ++i) {
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(i * plan.fsBlockSize);
    const auto to = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), (i + 1) * plan.fsBlockSize));
    Bytes block(from, to);
    if (skipZero && std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; })) continue;
    plan.logicalBlocks[static_cast<std::uint32_t>(first + i)] = std::move(block);
  }
  return static_cast<std::uint16_t>(count);
}

mk::FlashSpec Plan(std::uint32_t fsBlockSize = kBs) {
  mk::FlashSpec plan;
  plan.fsBlockSize = fsBlockSize;
  plan.shuffle = false;
  return plan;
}

void SetMountTable(mk::FlashSpec& plan, const std::vector<mk::MountUnit>& units) {
  plan.logicalBlocks[1] = mk::MakeMountTable(units, plan.fsBlockSize);
  plan.mountTableBlock = 1;
}

// The usual layout (see the top) for one unit image mounted at `mountPath`.
mk::FlashSpec UnitPlan(const Bytes& unit, const std::string& mountPath = "/a") {
  mk::FlashSpec plan = Plan();
  const std::uint16_t blocks = Place(plan, 2, unit);
  SetMountTable(plan, {{mountPath, 2, blocks, {}}});
  return plan;
}

mk::FlashLayout Layout(const mk::FlashSpec& plan) { return mk::BuildFlash(plan); }

Bytes Write(const mk::FlashLayout& layout) { return mk::WriteRawDump(mk::LayoutToRawSpec(layout)); }

Bytes Write(const mk::FlashSpec& plan) { return Write(Layout(plan)); }

// The usual dump: UsualVolume at "/a". Nine fs_blocks ($4800 bytes): header,
// Mount Table, MAP, the unit's six blocks (logical 2 to 7). The normal run
// ends with:
//   @ $00000800: partition #01_name.raw/a
//     type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00000005  1st_sec: $0008
//     files saved: 2
mk::FlashLayout UsualLayout(mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()))) { return Layout(plan); }

// Appends a physical fs_block to the last segment; returns its index.
std::size_t Append(mk::FlashLayout& layout, Block block) {
  layout.blocks.push_back(std::move(block));
  layout.segments.back().blocks += 1;
  return layout.blocks.size() - 1;
}

std::size_t AppendMap(mk::FlashLayout& layout, std::uint32_t id, std::vector<std::uint32_t> entries = {}) {
  layout.maps.push_back({id, std::move(entries)});
  return Append(layout, {Block::Kind::Map, layout.maps.size() - 1, 0, {}});
}

std::size_t AppendData(mk::FlashLayout& layout, Bytes data) {
  return Append(layout, {Block::Kind::Data, 0, 0, std::move(data)});
}

Bytes Cut(Bytes dump, std::size_t size) {
  dump.resize(size);
  return dump;
}

// Segment record i of the FS description block at the start of a dump.
void PatchRecord(Bytes& dump, std::size_t i, std::uint32_t start, std::uint32_t end, std::uint32_t fsBlockSize = kBs,
                 std::uint32_t pageType = 0) {
  const std::size_t r = 16 + 32 * i;
  Put32(dump, r, start);
  Put32(dump, r + 8, end);
  Put32(dump, r + 16, 0x20000);
  Put32(dump, r + 20, fsBlockSize);
  Put32(dump, r + 26, pageType);
}

// One segment without spares, the FS description block at its start.
Bytes Segments(std::size_t count, std::size_t bytesEach, std::uint32_t fsBlockSize = kBs) {
  mk::RawDumpSpec plan;
  for (std::size_t i = 0; i < count; ++i) {
    mk::RawSegment s;
    s.start = static_cast<std::uint32_t>(i * bytesEach);
    s.fsBlockSize = fsBlockSize;
    s.data = Pattern(bytesEach, static_cast<std::uint32_t>(i));
    plan.segments.push_back(s);
  }
  return mk::WriteRawDump(plan);
}

// ---------------------------------------------------------------------------
// Texts of the usual run.

const std::string kPartition = "@ $00000800: partition #01_name.raw/a";
const std::string kType16 = "  type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00000005  1st_sec: $0008";
const std::string kType12 = "  type: 01 - FAT12 fs_info: $00000E00 root: $00000005  1st_sec: $0008";
const std::string kStartInvalid = "WARNING: partition start is invalid ($0000 or $FFFF)";
const std::string kSizeInvalid = "WARNING: partition size is invalid ";
const std::string kNameInvalid = "WARNING: partition mount name is invalid";
const std::string kNoMountTableFree = "FATAL: No Mount Table found @ $FFFFF000";
const std::string kBadFsBlockSize = "FATAL: Unsupported fs_block size. Check entry file!";

std::string Lost(const std::string& cluster, const std::string& path) {
  return "Found lost cluster " + cluster + " in file: " + path;
}

// ---------------------------------------------------------------------------
// Cases: raw image header and segments.

void HeaderCases(std::vector<Case>& cases) {
  cases.push_back({"empty_file", 0, Join({"Loading name.raw header...OK!", "FATAL: No FS description block found @ $00000000"}),
                   "a file of 0 bytes reads as all zero: no FS description block", {}});

  {
    Bytes dump = Write(UsualLayout());
    dump[0] = 0xBA;
    dump[1] = 0xBE;
    cases.push_back({"babe_firmware", 0,
                     Join({"Loading name.raw header...ERROR: entry file have BABE-firmware format.", "Use vornak.exe tool first"}),
                     "firmware container marker BA BE instead of the FS description block", dump});
  }
  {
    Bytes dump = Write(UsualLayout());
    Put16(dump, 2, 27);
    cases.push_back({"version_27", 0,
                     Join({"Detected FS image version: 27", "FATAL: This version is not supported. Check entry file!"}),
                     "FS image version 27 instead of 26", dump});
  }
  // Marker 3 present; the version's bytes lie past the end and read as zero.
  cases.push_back({"truncated_after_marker", 0,
                   Join({"Detected FS image version: 0", "FATAL: This version is not supported. Check entry file!"}),
                   "dump of 2 bytes: the header ends after the marker", Bytes{0x03, 0x00}});

  // 26 bytes: count 1, record 0 start 0 and the low half of its end ($47FF);
  // erase, fs_block size and page type lie past the end: zero, so the
  // default size; the segment's read stops at the file's end.
  cases.push_back({"truncated_inside_header", 0,
                   Join({"seg00: $00000000-$000047FF (1Mb) erase: $00000000 fs_block: $0000 type: $0000",
                         "WARNING: Invalid fs_block size. Use default", "Using fs_block size: $0800",
                         "Loading entry file name.raw to memory...", "Alloc read buffer...",
                         "Loading seg00[$00004800]...$0000001A bytes", "OK! Read 0000001A bytes",
                         "RAW image contain: $00000000 fs_block(s)"}),
                   "dump cut inside segment record 0 of the FS description block", Cut(Write(UsualLayout()), 26)});

  cases.push_back({"more_than_10_segments", 0,
                   Join({"Number of fs_segmments: 000B", "FATAL: More than 10 fs_segments are not supported. Check entry file!"}),
                   "11 segment records, one more than the table holds", Segments(11, 0x800)});
  {
    Bytes dump = Write(UsualLayout());
    Put16(dump, 8, 0xFFFF);
    cases.push_back({"segment_count_ffff", 0,
                     Join({"Number of fs_segmments: FFFF", "FATAL: More than 10 fs_segments are not supported. Check entry file!"}),
                     "segment count 65535 with one record: records would run past the 4096-byte header", dump});
  }
  // Ten contiguous segments of $800: each gap is 0, and the last read ends
  // the file.
  cases.push_back({"ten_segments", 0,
                   Join({"Loading seg08[$00000800]...$00000800 bytes", "Skiping $00000000",
                         "Loading seg09[$00000800]...$00000800 bytes", "OK! Read 00005000 bytes"}),
                   "exactly 10 segments, the most the table holds", Segments(10, 0x800)});

  struct SizeCase {
    const char* name;
    std::uint32_t size;
    const char* shown;
    const char* note;
  };
  for (const SizeCase& c : {SizeCase{"fs_block_size_256", 0x100, "0100", "fs_block size 256, below a sector"},
                            SizeCase{"fs_block_size_0x900", 0x900, "0900", "fs_block size $900, not a multiple of 512"},
                            SizeCase{"fs_block_size_0x10200", 0x10200, "0200", "fs_block size $10200, above 64 KiB (shown by its low 16 bits)"},
                            SizeCase{"fs_block_size_ffffffff", 0xFFFFFFFF, "FFFF", "fs_block size $FFFFFFFF"}}) {
    cases.push_back({c.name, 0,
                     Join({std::string("seg00: $00000000-$000007FF (1Mb) erase: $00020000 fs_block: $") + c.shown + " type: $0000",
                           std::string("Using fs_block size: $") + c.shown, kBadFsBlockSize}),
                     c.note, Segments(1, 0x800, c.size)});
  }
  // 65,536 is the largest size taken; shown as 0000. A dump of $800 bytes
  // then holds no whole fs_block.
  cases.push_back({"fs_block_size_65536", 0,
                   Join({"Using fs_block size: $0000", "Loading entry file name.raw to memory...", "Alloc read buffer...",
                         "Loading seg00[$00000800]...$00000800 bytes", "OK! Read 00000800 bytes",
                         "RAW image contain: $00000000 fs_block(s)"}),
                   "fs_block size 65536, the largest accepted, larger than the dump", Segments(1, 0x800, 0x10000)});

  // Record 0: start $1000, end 0. Length wraps to $FFFFF001: the read takes the
  // whole file, (end - start) >> 20 = $FFF so 4096 MiB, and the first segment's
  // $1FFFFE fs_blocks need ceil(2097150 / 506) = 4145 = $1031 maps. All entries
  // stay below that split, so the dump decodes as usual.
  {
    Bytes dump = Write(UsualLayout());
    PatchRecord(dump, 0, 0x1000, 0);
    cases.push_back({"segment_end_before_start_first", 0,
                     Join({"seg00: $00001000-$00000000 (4096Mb) erase: $00020000 fs_block: $0800 type: $0000",
                           "Using fs_block size: $0800", "Loading entry file name.raw to memory...", "Alloc read buffer...",
                           "Loading seg00[$FFFFF001]...$00004800 bytes", "OK! Read 00004800 bytes",
                           "RAW image contain: $00000009 fs_block(s)", "Building maps array...",
                           "MAP id: $00000000 found at $00001000", "Found MAPs: 0", "Building fs_block array...",
                           "MapSIZE: $000001FA", "Maximum fs_block number is: $00000007. Alloc buffer...",
                           "Building normal FS image from RAW...", "seg00 covered by 00001031 map(s)",
                               "Writing normal FS image to file: name.raw.fs...",
                               "Trying to process Mount Table @ fs_block: $0001", kPartition, kType16, "  files saved: 2"}),
                     "first segment record with end < start: lengths and map counts wrap", dump});
  }
  // Record 1: start $5000, end $4000 after $800 gap bytes. The skip to
  // $4800 + $800 = $5000 is allowed (not beyond the file); the read of the
  // wrapped length finds the end of the file.
  {
    Bytes dump = Write(UsualLayout());
    dump.insert(dump.end(), 0x800, 0xEE);
    Put16(dump, 8, 2);
    PatchRecord(dump, 1, 0x5000, 0x4000);
    cases.push_back({"segment_end_before_start_second", 0,
                     Join({"seg01: $00005000-$00004000 (4096Mb) erase: $00020000 fs_block: $0800 type: $0000",
                           "Using fs_block size: $0800", "Loading entry file name.raw to memory...",
                           "Alloc read buffer...", "Loading seg00[$00004800]...$00004800 bytes", "Skiping $00000800",
                           "Loading seg01[$FFFFF001]...$00000000 bytes", "OK! Read 00004800 bytes"}),
                     "second segment record with end < start after a gap", dump});
  }
  // Records 0..$47FF and $10000000..$10000FFF, the second's data right after
  // the first in the file: $4800 + gap $0FFFB800 passes the file's end, so
  // no skip, and the second segment is read from where the first stopped.
  {
    Bytes dump = Write(UsualLayout());
    const Bytes more = Pattern(0x1000, 9);
    dump.insert(dump.end(), more.begin(), more.end());
    Put16(dump, 8, 2);
    PatchRecord(dump, 1, 0x10000000, 0x10000FFF);
    cases.push_back({"gap_beyond_file_size", 0,
                     Join({"Loading seg00[$00004800]...$00004800 bytes", "Loading seg01[$00001000]...$00001000 bytes",
                           "OK! Read 00005800 bytes"}),
                     "segment gap of $0FFFB800 bytes past the end of the file: no skip", dump});
  }
  // Records 0..$47FF and $4000..$4FFF overlap: the gap wraps to $FFFFF800,
  // $4800 + gap wraps to $4000, not beyond the file: the skip goes back and
  // the second segment re-reads the file from $4000 up to its end.
  {
    Bytes dump = Write(UsualLayout());
    const Bytes more = Pattern(0x800, 10);
    dump.insert(dump.end(), more.begin(), more.end());
    Put16(dump, 8, 2);
    PatchRecord(dump, 1, 0x4000, 0x4FFF);
    cases.push_back({"segments_overlap", 0,
                     Join({"Loading seg00[$00004800]...$00004800 bytes", "Skiping $FFFFF800",
                           "Loading seg01[$00001000]...$00000800 bytes", "OK! Read 00005000 bytes"}),
                     "overlapping segment records: the gap wraps below zero", dump});
  }
}

// ---------------------------------------------------------------------------
// Cases: dumps that end early, at each stage's boundary.

// Two segments with a gap of $1000: segment 0 = physical 0..4 (header, Mount
// Table, MAP ids 0 and 1, logical 2), segment 1 = physical 5..9 (logical 3..7)
// at address $3800. Map 1 describes segment 1.
Bytes TwoSegmentDump() {
  mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()));
  plan.segments = {{mk::kPageTypeNone, 5, 0x1000, {}}, {mk::kPageTypeNone, 0, 0, {}}};
  return Write(plan);
}

void TruncationCases(std::vector<Case>& cases) {
  const Bytes usual = Write(UsualLayout());

  // Physical 0 and 1 only: no MAP block; id 0 holds its place with free
  // entries, entry 1 is free: the Mount Table would lie at ($FFFFFF - 1) * $800
  // mod 2^32.
  cases.push_back({"truncated_before_map_block", 0,
                   Join({"Loading seg00[$00004800]...$00001000 bytes", "OK! Read 00001000 bytes",
                         "RAW image contain: $00000002 fs_block(s)", "Building maps array...", "Found MAPs: 0",
                         "Building fs_block array...", "WARNING: MAP id $00000000 not found", "MapSIZE: $000001FA",
                         "Maximum fs_block number is: $00000000. Alloc buffer...", "Building normal FS image from RAW...",
                         "seg00 covered by 00000001 map(s)", "Writing normal FS image to file: name.raw.fs...",
                         "Trying to process Mount Table @ fs_block: $FFFF", kNoMountTableFree}),
                   "dump cut after the Mount Table block, before the MAP block", Cut(usual, 0x1000)});

  // Physical 0..2: the MAP names logical 2..7 in physical 3..8, which lie past
  // the data: the unit reads as zeros.
  cases.push_back({"truncated_after_map_block", 0,
                   Join({"RAW image contain: $00000003 fs_block(s)", "Building maps array...",
                         "MAP id: $00000000 found at $00001000", "Found MAPs: 0", "Building fs_block array...",
                         "MapSIZE: $000001FA", "Maximum fs_block number is: $00000007. Alloc buffer...",
                         "Building normal FS image from RAW...", "seg00 covered by 00000001 map(s)",
                         "Writing normal FS image to file: name.raw.fs...", "Trying to process Mount Table @ fs_block: $0001",
                         "@ $00000800: ERROR: fs_block $0002 contain NO partition data or partition is CORRUPTED!", "OK!"}),
                   "dump cut right after the MAP block: every partition block missing", Cut(usual, 0x1800)});

  // The live copy of the Mount Table is the last physical block (MAP entry 9
  // names logical 1 after entry 1 does, and wins); physical 1 holds a stale
  // copy. Cut before it, the live copy reads as zeros.
  {
    mk::FlashLayout layout = UsualLayout();
    const Bytes live = layout.blocks[1].data;
    layout.blocks[1].data = mk::MakeMountTable({{"/stale", 0, 0, {}}}, kBs);
    const std::size_t at = AppendData(layout, live);
    layout.maps[0].entries.at(at) = mk::kInUse | 1;
    cases.push_back({"truncated_before_mount_table_block", 0,
                     Join({"Trying to process Mount Table @ fs_block: $0001", "FATAL: No Mount Table found @ $00000000"}),
                     "dump cut before the physical block that holds the live Mount Table", Cut(Write(layout), at * kBs)});
  }

  // Cut 16 bytes into physical 6 = logical 5 = cluster 3, DIR: only the
  // first half of its "." entry is left, so DIR lists "." and ends; A.BIN alone
  // is saved.
  cases.push_back({"truncated_inside_partition", 0,
                   Join({kPartition, kType16, "  files saved: 1", "OK!"}),
                   "dump cut inside a subdirectory's cluster", Cut(usual, 6 * kBs + 0x10)});

  // Cut inside segment 0 (inside logical 2, before its partition table
  // entry): segment 1 is never reached.
  cases.push_back({"truncated_inside_first_segment", 0,
                   Join({"Loading seg00[$00002800]...$00002123 bytes", "OK! Read 00002123 bytes",
                         "RAW image contain: $00000004 fs_block(s)", "Building maps array...",
                         "MAP id: $00000000 found at $00001000", "MAP id: $00000001 found at $00001800", "Found MAPs: 1"}),
                   "two-segment dump cut inside the first segment", Cut(TwoSegmentDump(), 0x2123)});

  // Cut in the gap: $2800 + gap $1000 passes the end ($3000), so no skip;
  // segment 1 reads the $800 gap bytes that are left.
  cases.push_back({"gap_past_end_of_file", 0,
                   Join({"Loading seg00[$00002800]...$00002800 bytes", "Loading seg01[$00002800]...$00000800 bytes",
                         "OK! Read 00003000 bytes"}),
                   "two-segment dump cut inside the gap between the segments", Cut(TwoSegmentDump(), 0x3000)});

  // The usual dump as pages of $200 + $10: 36 pages, $4A40 bytes. Cut 100
  // bytes into page 30: 31 pages started, 31 * $200 = $3E00 kept.
  {
    mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()));
    plan.segments = {{mk::kPageTypeSmall, 0, 0, {}}};
    cases.push_back({"truncated_mid_small_page", 0,
                     Join({"seg00: $00000000-$00004A3F (1Mb) erase: $00020000 fs_block: $0800 type: $0012",
                           "Using fs_block size: $0800", "Loading entry file name.raw to memory...", "Alloc read buffer...",
                           "Loading seg00[$00004A40]...Rebuilding NAND segment. PageData: $200, PageSpare: $10...$00003E00 bytes",
                           "OK! Read 00003E00 bytes", "RAW image contain: $00000007 fs_block(s)"}),
                     "paged segment ($200 + $10) cut in the middle of a page", Cut(Write(plan), 30 * 528 + 100)});
  }
  // As pages of $800 + $40: 9 pages. Cut 1 byte into the last page: 9 pages
  // started, $4800 kept, past the file's $4201 bytes; the last page is moved
  // whole from 1 byte before the file's end.
  {
    mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()));
    plan.segments = {{mk::kPageTypeLarge, 0, 0, {}}};
    cases.push_back({"truncated_mid_large_page", 0,
                     Join({"Loading seg00[$00004A40]...Rebuilding NAND segment. PageData: $800, PageSpare: $40...$00004800 bytes",
                           "OK! Read 00004800 bytes", "RAW image contain: $00000009 fs_block(s)"}),
                     "paged segment ($800 + $40) cut 1 byte into its last page", Cut(Write(plan), 8 * 2112 + 1)});
  }
}

// ---------------------------------------------------------------------------
// Cases: MAP blocks and the image.

void MapCases(std::vector<Case>& cases) {
  // Physical 9..11: MAP id 1 (all free), id $65, id $FFFFFFFF. The rejected
  // ids show the highest accepted so far, 1.
  {
    mk::FlashLayout layout = UsualLayout();
    AppendMap(layout, 1);
    AppendMap(layout, 0x65);
    AppendMap(layout, 0xFFFFFFFF);
    cases.push_back({"map_ids_over_100", 0,
                     Join({"MAP id: $00000000 found at $00001000", "MAP id: $00000001 found at $00004800",
                           "MAP id: $00000065 found at $00005000", "MAX map exeeded: 0001. Ignoring...",
                           "MAP id: $FFFFFFFF found at $00005800", "MAX map exeeded: 0001. Ignoring...", "Found MAPs: 1"}),
                     "MAP blocks with ids 101 and $FFFFFFFF", Write(layout)});
  }
  // Two MAP blocks with id 0: physical 2 is stale (entry 1 names logical 5,
  // DIR's cluster, nothing else in use), physical 9 is the live one and wins.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps.push_back({0, {mk::kFreeEntry, mk::kInUse | 5}});
    const std::size_t stale = layout.maps.size() - 1;
    AppendMap(layout, 0, layout.maps[0].entries);
    layout.blocks[2].mapIndex = stale;
    cases.push_back({"map_id_duplicated", 0,
                     Join({"MAP id: $00000000 found at $00001000", "MAP id: $00000000 found at $00004800", "Found MAPs: 0",
                           "Building fs_block array...", "MapSIZE: $000001FA",
                           "Maximum fs_block number is: $00000007. Alloc buffer...", "Building normal FS image from RAW...",
                           "seg00 covered by 00000001 map(s)", "Writing normal FS image to file: name.raw.fs...",
                           "Trying to process Mount Table @ fs_block: $0001", kPartition}),
                     "two MAP blocks with id 0: the later one must win", Write(layout)});
  }
  // In-use entries naming logical 0 and $FFFFFF: taken, copy nothing, leave
  // the maximum at 7.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.at(AppendData(layout, Pattern(kBs, 3))) = mk::kInUse | 0;
    layout.maps[0].entries.at(AppendData(layout, Pattern(kBs, 4))) = mk::kInUse | 0xFFFFFF;
    cases.push_back({"map_entries_block_0_and_ffffff", 0,
                     Join({"MapSIZE: $000001FA", "Maximum fs_block number is: $00000007. Alloc buffer...",
                           "Building normal FS image from RAW...", "seg00 covered by 00000001 map(s)",
                           "Writing normal FS image to file: name.raw.fs...", "Trying to process Mount Table @ fs_block: $0001",
                           kPartition, kType16, "  files saved: 2"}),
                     "in-use map entries naming logical block 0 and $FFFFFF", Write(layout)});
  }
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.at(1) = mk::kInUse | 0;
    cases.push_back({"mount_table_entry_block_0", 0,
                     Join({"Trying to process Mount Table @ fs_block: $0000", "FATAL: No Mount Table found @ $FFFFF800"}),
                     "map entry 1 in use naming logical block 0: Mount Table offset (0 - 1) * $800 wraps", Write(layout)});
  }
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.at(1) = mk::kInUse | 0xFFFFFF;
    cases.push_back({"mount_table_entry_ffffff", 0,
                     Join({"Trying to process Mount Table @ fs_block: $FFFF", kNoMountTableFree}),
                     "map entry 1 in use naming logical block $FFFFFF", Write(layout)});
  }
  // No MAP block (physical 2 erased). Record 0's end, $40000005, lies at byte
  // 24 of physical 0, where a MAP block's first entry would be: were the
  // missing id read from physical 0, logical 5 would be in use.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.blocks[2] = {Block::Kind::Erased, 0, 0, {}};
    Bytes dump = Write(layout);
    Put32(dump, 24, 0x40000005);
    cases.push_back({"no_map_block", 0,
                     Join({"Found MAPs: 0", "Building fs_block array...", "WARNING: MAP id $00000000 not found",
                           "MapSIZE: $000001FA", "Maximum fs_block number is: $00000000. Alloc buffer...",
                           "Building normal FS image from RAW...", "seg00 covered by 0000040D map(s)",
                           "Writing normal FS image to file: name.raw.fs...", "Trying to process Mount Table @ fs_block: $FFFF",
                           kNoMountTableFree}),
                     "no MAP block at all; the FS description block looks like map entries", dump});
  }
  {
    mk::FlashLayout layout = UsualLayout();
    AppendMap(layout, 2);
    cases.push_back({"missing_map_id", 0,
                     Join({"MAP id: $00000002 found at $00004800", "Found MAPs: 2", "Building fs_block array...",
                           "WARNING: MAP id $00000001 not found", "MapSIZE: $000001FA",
                           "Maximum fs_block number is: $00000007. Alloc buffer..."}),
                     "MAP ids 0 and 2 without id 1", Write(layout)});
  }
  {
    mk::FlashLayout layout = UsualLayout();
    AppendMap(layout, 100);
    cases.push_back({"map_id_100", 0,
                     Join({"WARNING: MAP id $00000063 not found", "MapSIZE: $000001FA",
                           "Maximum fs_block number is: $00000007. Alloc buffer..."}),
                     "MAP ids 0 and 100: 99 missing ids in between", Write(layout)});
  }
  // fs_block $1000, 1018 entries a block: id 100 starts at BlockMap index
  // 101,800, beyond 65,536; its entry 0 names logical 9, the largest number.
  {
    mk::FlashLayout layout;
    layout.fsBlockSize = 0x1000;
    layout.maps = {{0, {mk::kFreeEntry, mk::kInUse | 1}}, {100, {mk::kInUse | 9}}};
    layout.blocks = {{Block::Kind::Header, 0, 0, {}},
                     {Block::Kind::Data, 0, 1, mk::MakeMountTable({{"/x", 1, 1, {}}}, 0x1000)},
                     {Block::Kind::Map, 0, 0, {}},
                     {Block::Kind::Map, 1, 0, {}}};
    layout.segments = {{mk::kPageTypeNone, 4, 0, {}}};
    cases.push_back({"block_map_over_65536_entries", 0,
                     Join({"WARNING: MAP id $00000063 not found", "MapSIZE: $000003FA",
                           "Maximum fs_block number is: $00000009. Alloc buffer...", "Building normal FS image from RAW...",
                           "seg00 covered by 00000001 map(s)", "Writing normal FS image to file: name.raw.fs...",
                           "Trying to process Mount Table @ fs_block: $0001", "OK!"}),
                     "more than 65536 map entries taken (fs_block $1000, MAP ids 0 and 100)", Write(layout)});
  }
  // The last MAP block (id 1) has only dropped entries: MapSize 0, no map
  // covers the first segment, every entry is placed from the end of the
  // first segment ($5000) on: past the data, all copies are zeros.
  {
    mk::FlashLayout layout = UsualLayout();
    AppendMap(layout, 1, std::vector<std::uint32_t>((kBs - 24) / 4, 0x00000005));
    cases.push_back({"map_size_zero", 0,
                     Join({"MapSIZE: $00000000", "Maximum fs_block number is: $00000007. Alloc buffer...",
                           "Building normal FS image from RAW...", "seg00 covered by 00000000 map(s)",
                           "Writing normal FS image to file: name.raw.fs...", "Trying to process Mount Table @ fs_block: $0001",
                           "FATAL: No Mount Table found @ $00000000"}),
                     "last MAP block with every entry dropped: MapSize 0", Write(layout)});
  }
  // The only MAP block has every entry dropped: the BlockMap is empty, so
  // entry 1 reads 0 and the Mount Table would lie at (0 - 1) * $800.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.assign((kBs - 24) / 4, 0x80000001);
    cases.push_back({"block_map_empty", 0,
                     Join({"Found MAPs: 0", "Building fs_block array...", "MapSIZE: $00000000",
                           "Maximum fs_block number is: $00000000. Alloc buffer...", "Building normal FS image from RAW...",
                           "seg00 covered by 00000000 map(s)", "Writing normal FS image to file: name.raw.fs...",
                           "Trying to process Mount Table @ fs_block: $0000", "FATAL: No Mount Table found @ $FFFFF800"}),
                     "MAP block whose entries are all dropped: no BlockMap entry 1", Write(layout)});
  }
  // ($1FFFFC + 4) * $800 = 2^32 exactly.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.at(AppendData(layout, Pattern(kBs, 5))) = mk::kInUse | 0x1FFFFC;
    cases.push_back({"image_4gib", 0,
                     Join({"Maximum fs_block number is: $001FFFFC. Alloc buffer...",
                           "FATAL: Image of 4 GiB or more is not supported. Check entry file!"}),
                     "logical block $1FFFFC: the image would be 4 GiB exactly", Write(layout)});
  }
  // ($FFFFFE + 4) * $800 wraps to $1000 in 32 bits.
  {
    mk::FlashLayout layout = UsualLayout();
    layout.maps[0].entries.at(AppendData(layout, Pattern(kBs, 6))) = mk::kInUse | 0xFFFFFE;
    cases.push_back({"image_block_fffffe", 0,
                     Join({"Maximum fs_block number is: $00FFFFFE. Alloc buffer...",
                           "FATAL: Image of 4 GiB or more is not supported. Check entry file!"}),
                     "logical block $FFFFFE: the image size wraps to $1000 in 32 bits", Write(layout)});
  }
}

// ---------------------------------------------------------------------------
// Cases: the Mount Table.

void MountTableCases(std::vector<Case>& cases) {
  // fs_block $200; the Mount Table is logical 3, the last block. Ten units
  // (start 1, size 1: no warning, not analysed) fill 480 bytes; the eleventh
  // begins at 480, its path and length inside the block, its start and size
  // past the image's end (zero); the end mark after it reads zero too.
  {
    std::vector<mk::MountUnit> units;
    for (int i = 1; i <= 10; ++i) units.push_back({"/u" + std::to_string(i), 1, 1, {}});
    Bytes table = mk::MakeMountTable(units, 0x200);
    std::fill(table.begin() + 480, table.end(), std::uint8_t{0});
    const std::string last = "/last";
    std::copy(last.begin(), last.end(), table.begin() + 480);
    table[508] = static_cast<std::uint8_t>(last.size());
    mk::FlashLayout layout;
    layout.fsBlockSize = 0x200;
    layout.maps = {{0, {mk::kFreeEntry, mk::kInUse | 3}}};
    layout.blocks = {{Block::Kind::Header, 0, 0, {}}, {Block::Kind::Data, 0, 3, table}, {Block::Kind::Map, 0, 0, {}}};
    layout.segments = {{mk::kPageTypeNone, 3, 0, {}}};
    cases.push_back({"mount_table_at_image_end", 0,
                     Join({"Maximum fs_block number is: $00000003. Alloc buffer...", "Building normal FS image from RAW...",
                           "seg00 covered by 00000001 map(s)", "Writing normal FS image to file: name.raw.fs...",
                           "Trying to process Mount Table @ fs_block: $0003", kStartInvalid, kSizeInvalid, "OK!"}),
                     "Mount Table in the image's last block, its 11th unit running past the image's end", Write(layout)});
  }
  // 22 units: 1..20 quiet, 21 with start 0, 22 (start 0, size 0: two
  // warnings if it were read) must never be read. Its first bytes are "/u",
  // not an end mark.
  {
    std::vector<mk::MountUnit> units;
    for (int i = 1; i <= 20; ++i) units.push_back({"/u" + std::to_string(i), 1, 1, {}});
    units.push_back({"/u21", 0, 1, {}});
    units.push_back({"/u22", 0, 0, {}});
    mk::FlashSpec plan = Plan();
    SetMountTable(plan, units);
    cases.push_back({"mtab_22_units", 0, Join({"Trying to process Mount Table @ fs_block: $0001", kStartInvalid, "OK!"}),
                     "Mount Table with 22 units: only 21 are handled", Write(plan)});
  }
  // Start $FFFF: warned, still analysed at ($FFFF - 1) * $800, far past the
  // image.
  {
    mk::FlashSpec plan = Plan();
    SetMountTable(plan, {{"/ffff", 0xFFFF, 1, {}}});
    cases.push_back({"mtab_start_ffff", 0,
                     Join({"Trying to process Mount Table @ fs_block: $0001", kStartInvalid,
                           "@ $07FFF000: ERROR: fs_block $FFFF contain NO partition data or partition is CORRUPTED!", "OK!"}),
                     "MTab unit starting at block $FFFF", Write(plan)});
  }
  // Path length 255: the path takes bytes 0..254 of the table: "/long", 23
  // zeros, the length byte $FF, bytes 29..49 (zeros, start 02 00, size 06 00,
  // the end mark), then 205 bytes patched to 'a'. Without its "/": "long",
  // 23 "_", $FF (read as Windows-1252: "ÿ"), 21 "_", 205 "a" (one component).
  {
    mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()));
    Bytes& table = plan.logicalBlocks[1];
    table = mk::MakeMountTable({{"/long", 2, 6, 255}}, kBs);
    std::fill(table.begin() + 50, table.begin() + 255, std::uint8_t{'a'});
    const std::string dir = "long" + std::string(23, '_') + "ÿ" + std::string(21, '_') + std::string(205, 'a');
    cases.push_back({"mtab_path_length_255", 0,
                     Join({"@ $00000800: partition #01_name.raw/" + dir, kType16, "  files saved: 2"}),
                     "mount path length 255, running over the unit's other fields and the end mark", Write(plan)});
  }
  // Ten units on the same partition, their mount paths with "..", "." and
  // empty components, no "/" first, a backslash, and no path at all. Units
  // that land in a folder an earlier one filled number their names.
  {
    mk::FlashSpec plan = UnitPlan(Unit(UsualVolume()));
    const std::vector<std::string> paths = {"/../a/b", "/./x/../y", "/a//b", "//", "/..", "/.", "", "x/y", "/..\\..", "/a/../../.."};
    const std::vector<std::string> dirs = {"_name.raw/a/b", "_name.raw/x/y", "_name.raw/a//b", "_name.raw//", "_name.raw/",
                                           "_name.raw/", "_name.raw/", "_name.raw//y", "_name.raw/.._._", "_name.raw/a"};
    const std::vector<std::string> numbers = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "0A"};
    std::vector<mk::MountUnit> units;
    // The empty path is a length of 0 over stored bytes "/z": a record whose
    // first two bytes are 00 00 would be the end mark.
    for (const std::string& p : paths) {
      units.push_back(p.empty() ? mk::MountUnit{"/z", 2, 6, 0} : mk::MountUnit{p, 2, 6, {}});
    }
    SetMountTable(plan, units);
    const std::vector<int> copies = {0, 0, 2, 0, 2, 3, 4, 0, 0, 0};
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].empty() || paths[i][0] != '/') lines.push_back(kNameInvalid);
      lines.push_back("@ $00000800: partition #" + numbers[i] + dirs[i]);
      lines.push_back(kType16);
      if (copies[i] != 0) {
        const std::string n = " (" + std::to_string(copies[i]) + ")";
        const std::string in = dirs[i] + "/";
        lines.push_back("WARNING: name in use, saved as: " + in + "A" + n + ".BIN");
        lines.push_back("WARNING: name in use, saved as: " + in + "DIR" + n);
      }
      lines.push_back("  files saved: 2");
    }
    cases.push_back({"mount_paths_dot_dot", 0, Join(lines),
                     "mount paths with \"..\", \".\" and empty components, none, a backslash, no leading \"/\"", Write(plan)});
  }
  // A unit whose directory exists as a file: unit "/" saves the root file
  // VOL as _name.raw//VOL, then unit "/VOL" cannot make its directory.
  {
    FatVolume v = Volume();
    v.AddFile(FatVolume::kRoot, {"VOL", "", Pattern(10, 3), 0x00, {}, {}, {}});
    mk::FlashSpec plan = UnitPlan(Unit(v));
    SetMountTable(plan, {{"/", 2, 6, {}}, {"/VOL", 2, 6, {}}});
    cases.push_back({"unit_dir_exists_as_file", 0,
                     Join({"@ $00000800: partition #01_name.raw/", kType16, "  files saved: 1",
                           "@ $00000800: partition #02_name.raw/VOL", "ERROR: cannot create _name.raw/VOL: File exists", kType16,
                           "  files saved: 0", "OK!"}),
                     "a unit directory whose name exists as a file", Write(plan)});
  }
}

// ---------------------------------------------------------------------------
// Cases: partition tables and boot sectors.

void SetEntry(Bytes& unit, std::size_t entry, std::uint8_t type, std::uint32_t firstSector = 3) {
  const std::size_t at = 446 + 16 * entry;
  unit[at] = 0x00;
  unit[at + 1] = 1;
  Put16(unit, at + 2, 0x0001);
  unit[at + 4] = type;
  Put32(unit, at + 8, firstSector);
  Put32(unit, at + 12, 21);
}

void SetBootCounts(Bytes& unit, std::uint16_t reserved, std::uint16_t rootEntries, std::uint16_t secsPerFat) {
  Put16(unit, 1536 + 14, reserved);
  Put16(unit, 1536 + 17, rootEntries);
  Put16(unit, 1536 + 22, secsPerFat);
}

void PartitionCases(std::vector<Case>& cases) {
  // The volume itself at the unit's start: a boot sector, no table: entry 0.
  {
    mk::FlashSpec plan = UnitPlan(UsualVolume().Image());
    cases.push_back({"boot_sector_without_partition_table", 0,
                     Join({"@ $00000800: partition #00_name.raw/a",
                           "  type: 00 - NONE        Partition type not supported. Partition will not be processed.", "OK!"}),
                     "boot sector at the unit's start and no partition table", Write(plan)});
  }
  // All four entries typed; the newest, entry 4 (FAT12, first sector 3), is
  // walked, located from the table's own block.
  {
    Bytes unit = Unit(UsualVolume(FatType::Fat12), 0x04);
    SetEntry(unit, 1, 0x06);
    SetEntry(unit, 2, 0x0B);
    SetEntry(unit, 3, 0x01);
    cases.push_back({"partition_table_four_entries", 0, Join({"@ $00000800: partition #04_name.raw/a", kType12, "  files saved: 2"}),
                     "partition table with all four entries in use", Write(UnitPlan(unit))});
  }
  // Tables in the first sector (type $0B) and the second (type 04, last byte
  // $FF): the second is the one recorded.
  {
    Bytes unit = Unit(UsualVolume(), 0x04);
    std::copy(unit.begin() + 446, unit.begin() + 462, unit.begin() + 512 + 446);
    unit[1023] = 0xFF;
    unit[446 + 4] = 0x0B;
    cases.push_back({"partition_table_second_place", 0, Join({kPartition, kType16, "  files saved: 2"}),
                     "partition tables in the unit's first and second sectors: the second wins", Write(UnitPlan(unit))});
  }
  // 21 units on one partition whose table has four entries: 84 entries and
  // 21 boot records; unit 21 gets entry 84 = $54 (type $0E, not walked).
  {
    Bytes unit = Unit(UsualVolume(), 0x04);
    SetEntry(unit, 1, 0x06);
    SetEntry(unit, 2, 0x0B);
    SetEntry(unit, 3, 0x0E);
    mk::FlashSpec plan = UnitPlan(unit);
    std::vector<mk::MountUnit> units;
    for (int i = 1; i <= 21; ++i) units.push_back({"/u" + std::to_string(i), 2, 6, {}});
    SetMountTable(plan, units);
    cases.push_back({"partition_entries_over_20", 0,
                     Join({"@ $00000800: partition #54_name.raw/u21",
                           "  type: 0E - FAT16 up to 32Mb LBA        Partition type not supported. Partition will not be processed.",
                           "OK!"}),
                     "84 partition entries and 21 boot sectors recorded in one run", Write(plan)});
  }
  // First sector $FFFFFFFF: the boot sector's block wraps to 0, so it is read
  // at $600, inside the Mount Table block ($FF bytes): reserved, root entries
  // and sectors per FAT $FFFF; root $FFFF + $FFFFFFFF + $FFFF = $1FFFD; data
  // ($FFFF * 3 + $FFF) mod 2^16 = $0FFC; the root lies past the image.
  {
    Bytes unit = Unit(UsualVolume(), 0x04);
    Put32(unit, 446 + 8, 0xFFFFFFFF);
    cases.push_back({"partition_entry_first_sector_ffffffff", 0,
                     Join({kPartition, "  type: 04 - FAT16 up to 32Mb fs_info: $00000600 root: $0001FFFD  1st_sec: $0FFC",
                           "  files saved: 0"}),
                     "partition entry with first sector $FFFFFFFF", Write(UnitPlan(unit))});
  }
  // Reserved, root entries, sectors per FAT all 0: root = data = sector 3,
  // a root of 0 bytes.
  {
    Bytes unit = Unit(UsualVolume());
    SetBootCounts(unit, 0, 0, 0);
    cases.push_back({"boot_zero_counts", 0,
                     Join({kPartition, "  type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00000003  1st_sec: $0003",
                           "  files saved: 0"}),
                     "boot sector with zero reserved sectors, root entries and sectors per FAT", Write(UnitPlan(unit))});
  }
  // All $FFFF: root $FFFF + 3 + $FFFF = $20001; data ($20001 + $FFF) mod 2^16
  // = $1000; the root ($4000A00) lies past the image.
  {
    Bytes unit = Unit(UsualVolume());
    SetBootCounts(unit, 0xFFFF, 0xFFFF, 0xFFFF);
    cases.push_back({"boot_absurd_counts", 0,
                     Join({kPartition, "  type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00020001  1st_sec: $1000",
                           "  files saved: 0"}),
                     "boot sector with $FFFF reserved sectors, root entries and sectors per FAT", Write(UnitPlan(unit))});
  }
  // Root entries $FFFF alone: data sector 5 + $FFF = $1004, so clusters lie
  // $400 blocks further: A.BIN's cluster is lost, DIR's lies past the image.
  {
    Bytes unit = Unit(UsualVolume());
    SetBootCounts(unit, 1, 0xFFFF, 1);
    cases.push_back({"boot_root_entries_ffff", 0,
                     Join({kPartition, "  type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00000005  1st_sec: $1004",
                           Lost("0002", "_name.raw/a/A.BIN"), "  files saved: 1"}),
                     "boot sector with 65535 root entries: a root walk of 2 MiB over a small image", Write(UnitPlan(unit))});
  }
  // Sectors per FAT 0: the root is read at sector 4, the FAT: its first entry
  // F8 FF FF.. is a short entry with attribute $FF (listed only), then zeros.
  {
    Bytes unit = Unit(UsualVolume());
    SetBootCounts(unit, 1, 48, 0);
    cases.push_back({"boot_zero_secs_per_fat", 0,
                     Join({kPartition, "  type: 04 - FAT16 up to 32Mb fs_info: $00000E00 root: $00000004  1st_sec: $0007",
                           "  files saved: 0"}),
                     "boot sector with 0 sectors per FAT: the FAT is read as the root directory", Write(UnitPlan(unit))});
  }
}

// ---------------------------------------------------------------------------
// Cases: FAT chains.

void ChainCases(std::vector<Case>& cases) {
  // FAT12 of 1022 clusters: entries 0..1023 fill its 3 sectors exactly; cluster
  // 1023 (odd) takes the high nibble of byte 1534 and byte 1535, the FAT's
  // last. ODD.BIN: 2 -> 1023 -> 1022 -> 3. Only the blocks that are not zero
  // are in the dump.
  {
    FatVolume v = Volume(FatType::Fat12, 1022);
    v.AddFile(FatVolume::kRoot, {"ODD.BIN", "", Pattern(4 * kBs - 100, 7), 0x00, {2, 1023, 1022, 3}, {}, {}});
    mk::FlashSpec plan = Plan();
    const std::uint16_t blocks = Place(plan, 2, Unit(v, 0x01), true);
    SetMountTable(plan, {{"/a", 2, blocks, {}}});
    cases.push_back({"fat12_odd_cluster_at_fat_end", 0,
                     Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000007  1st_sec: $0008",
                           "  files saved: 1"}),
                     "FAT12 chain through cluster 1023, whose entry is the last 12 bits of the FAT", Write(plan)});
  }
  // DIR/F.TXT: 3 -> 4 -> 3; LOOP.BIN: 5 -> 5.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::vector<std::uint16_t> two = v.Allocate(2);
    v.WriteCluster(two[0], Pattern(kBs, 1));
    v.WriteCluster(two[1], Pattern(kBs, 2));
    v.Link(two, two[0]);
    v.AddShort(dir, "F.TXT", kArchive, two[0], 10000);
    const std::uint16_t self = v.Allocate(1).front();
    v.WriteCluster(self, Pattern(kBs, 3));
    v.SetFat(self, self);
    v.AddShort(FatVolume::kRoot, "LOOP.BIN", 0x00, self, 5000);
    cases.push_back({"file_chain_loop", 0,
                     Join({kPartition, kType16, "WARNING: loop in cluster chain at $0003: _name.raw/a/DIR/F.TXT",
                           "WARNING: file shorter than its size ($00001000 of $00002710 bytes): _name.raw/a/DIR/F.TXT",
                           "WARNING: loop in cluster chain at $0005: _name.raw/a/LOOP.BIN",
                           "WARNING: file shorter than its size ($00000800 of $00001388 bytes): _name.raw/a/LOOP.BIN",
                           "  files saved: 2"}),
                     "file cluster chains that loop (3 -> 4 -> 3, and 5 -> 5)", Write(UnitPlan(Unit(v)))});
  }
  // A.BIN 2 -> 4, B.BIN 3 -> 4; DIR at 5; DIR/C.TXT 6 -> 5 (into DIR's own
  // cluster). No warnings: each chain is sound on its own.
  {
    FatVolume v = Volume(FatType::Fat16, 5);
    const std::vector<std::uint16_t> c = v.Allocate(3);
    v.AddFile(FatVolume::kRoot, {"A.BIN", "", Pattern(3000, 1), 0x00, {c[0], c[2]}, {}, {}});
    v.AddFile(FatVolume::kRoot, {"B.BIN", "", Pattern(3000, 2), 0x00, {c[1], c[2]}, {}, {}});
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::uint16_t six = v.Allocate(1).front();
    v.WriteCluster(six, Pattern(kBs, 3));
    v.Link({six}, v.DirClusters(dir).front());
    v.AddShort(dir, "C.TXT", kArchive, six, 4000);
    cases.push_back({"chain_cross_link", 0, Join({kPartition, kType16, "  files saved: 3"}),
                     "two files sharing a cluster, and a file running into a directory's cluster", Write(UnitPlan(Unit(v)))});
  }
  // DIR/F.TXT: 3 -> $7FF0, past the image ($7FF0's own entry lies past it
  // too: 0, the end). OFF.BIN starts at $80; FAR (a directory) at $90.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::uint16_t three = v.Allocate(1).front();
    v.WriteCluster(three, Pattern(kBs, 1));
    v.SetFat(three, 0x7FF0);
    v.AddShort(dir, "F.TXT", kArchive, three, 3000);
    v.AddShort(FatVolume::kRoot, "OFF.BIN", 0x00, 0x80, 100);
    v.AddShort(FatVolume::kRoot, "FAR", kDirectory, 0x90, 0);
    cases.push_back({"chain_off_image", 0,
                     Join({kPartition, kType16, Lost("7FF0", "_name.raw/a/DIR/F.TXT"), Lost("0080", "_name.raw/a/OFF.BIN"),
                           "  files saved: 2"}),
                     "chains and first clusters past the image's end", Write(UnitPlan(Unit(v)))});
  }
  // FAT16 values $FFF0 and $FFF6 do not end a chain: they are clusters.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::vector<std::uint16_t> c = v.Allocate(2);
    v.WriteCluster(c[0], Pattern(kBs, 1));
    v.WriteCluster(c[1], Pattern(kBs, 2));
    v.SetFat(c[0], 0xFFF0);
    v.SetFat(c[1], 0xFFF6);
    v.AddShort(dir, "F.TXT", kArchive, c[0], 4000);
    v.AddShort(dir, "G.TXT", kArchive, c[1], 4000);
    cases.push_back({"fat16_chain_reserved_values", 0,
                     Join({kPartition, kType16, Lost("FFF0", "_name.raw/a/DIR/F.TXT"), Lost("FFF6", "_name.raw/a/DIR/G.TXT"),
                           "  files saved: 2"}),
                     "FAT16 chains reaching the reserved values $FFF0 and $FFF6", Write(UnitPlan(Unit(v)))});
  }
  // DIR/F.TXT: 3 -> $20 -> $21 -> 4: two lost clusters in a row, their FAT
  // entries inside the FAT sector.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::vector<std::uint16_t> c = v.Allocate(2);
    v.WriteCluster(c[0], Pattern(kBs, 1));
    v.WriteCluster(c[1], Pattern(kBs, 2));
    v.Link({c[0], 0x20, 0x21, c[1]});
    v.AddShort(dir, "F.TXT", kArchive, c[0], 4 * kBs);
    cases.push_back({"two_lost_clusters_in_a_row", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/DIR/F.TXT"), Lost("0021", "_name.raw/a/DIR/F.TXT"),
                           "  files saved: 1"}),
                     "file chain with two clusters past the image in a row", Write(UnitPlan(Unit(v)))});
  }
}

// ---------------------------------------------------------------------------
// Cases: the directory walk and names.

// ---------------------------------------------------------------------------
// Volumes laid out as a PC formats them, read as their boot sector says.

struct PcGeometry {
  std::uint32_t reserved = 1;
  std::uint32_t fats = 1;
  std::uint32_t clusterBytes = kBs;
  std::uint32_t rootEntries = 64;
  std::uint32_t totalSectors = 0;  // 0: just what the files take
};

// A FAT12 volume of this layout holding NOTE.TXT (3000 bytes) in the root and
// DCIM/PHOTO.JPG (5000 bytes): one FAT sector each copy, the files' clusters
// in order from cluster 2 (NOTE.TXT, then DCIM, then PHOTO.JPG).
Bytes PcVolume(const PcGeometry& g) {
  const std::uint32_t perCluster = g.clusterBytes / 512;
  const auto clustersOf = [&](std::uint32_t bytes) { return (bytes + g.clusterBytes - 1) / g.clusterBytes; };
  const std::uint32_t note = 2, dcim = note + clustersOf(3000), photo = dcim + 1, end = photo + clustersOf(5000);
  const std::uint32_t root = g.reserved + g.fats, data = root + g.rootEntries * 32 / 512;
  const std::uint32_t total = g.totalSectors != 0 ? g.totalSectors : data + (end - 2 + 4) * perCluster;
  // As long as the boot sector says, but for the hostile counts.
  Bytes v(std::size_t{g.totalSectors != 0 ? data + (end - 2) * perCluster : total} * 512, 0);
  Put16(v, 11, 512);
  v[13] = static_cast<std::uint8_t>(perCluster);
  Put16(v, 14, g.reserved);
  v[16] = static_cast<std::uint8_t>(g.fats);
  Put16(v, 17, g.rootEntries);
  Put16(v, 19, total <= 0xFFFF ? total : 0);
  Put32(v, 32, total <= 0xFFFF ? 0 : total);
  v[21] = 0xF8;  // media: fixed disk
  Put16(v, 22, 1);
  // FAT12: entry m in the 12 bits at byte 3m/2 (high nibble first for odd m).
  auto link = [&](std::uint32_t m, std::uint32_t next) {
    for (std::uint32_t copy = 0; copy < g.fats; ++copy) {
      const std::size_t at = (g.reserved + copy) * 512 + m * 3 / 2;
      if (m % 2 == 0) {
        v[at] = static_cast<std::uint8_t>(next);
        v[at + 1] = static_cast<std::uint8_t>((v[at + 1] & 0xF0) | (next >> 8));
      } else {
        v[at] = static_cast<std::uint8_t>((v[at] & 0x0F) | (next & 0x0F) << 4);
        v[at + 1] = static_cast<std::uint8_t>(next >> 4);
      }
    }
  };
  auto chain = [&](std::uint32_t first, std::uint32_t last) {
    for (std::uint32_t m = first; m < last; ++m) link(m, m + 1 == last ? 0xFFF : m + 1);
  };
  link(0, 0xFF8);  // the media byte, as FAT entry 0
  link(1, 0xFFF);
  chain(note, dcim);
  chain(dcim, photo);
  chain(photo, end);
  auto put = [&](std::size_t at, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<std::ptrdiff_t>(at)); };
  auto cluster = [&](std::uint32_t m) { return std::size_t{data + (m - 2) * perCluster} * 512; };
  put(root * 512, FatVolume::ShortEntry(RawName("NOTE    TXT"), kArchive, static_cast<std::uint16_t>(note), 3000));
  put(root * 512 + 32, FatVolume::ShortEntry(RawName("DCIM       "), 0x10, static_cast<std::uint16_t>(dcim), 0));
  put(cluster(dcim), FatVolume::ShortEntry(RawName(".          "), 0x10, static_cast<std::uint16_t>(dcim), 0));
  put(cluster(dcim) + 32, FatVolume::ShortEntry(RawName("..         "), 0x10, 0, 0));
  put(cluster(dcim) + 64, FatVolume::ShortEntry(RawName("PHOTO   JPG"), kArchive, static_cast<std::uint16_t>(photo), 5000));
  put(cluster(note), Pattern(3000, 7));
  put(cluster(photo), Pattern(5000, 8));
  return v;
}

// The unit with this volume at "/a" in a dump of fs_blocks of `fsBlockSize`;
// of the unit's blocks only the first `keep` (0: all), and none of zeros
// when `written` (a flash maps only the blocks ever written).
Bytes PcDump(const Bytes& volume, std::uint32_t fsBlockSize = kBs, std::size_t keep = 0, bool written = false) {
  mk::FlashSpec plan = Plan(fsBlockSize);
  Bytes unit = mk::MakeUnitImage({"", volume, 0x01, true});
  const std::uint16_t blocks = Place(plan, 2, unit, written);
  if (keep != 0) {
    for (std::uint32_t b = 2 + static_cast<std::uint32_t>(keep); b < 2u + blocks; ++b) plan.logicalBlocks.erase(b);
  }
  SetMountTable(plan, {{"/a", 2, blocks, {}}});
  return Write(plan);
}

void PcLayoutCases(std::vector<Case>& cases) {
  // Where the phone's own rules went wrong: a second FAT walked as the root
  // directory, the FAT looked for after the boot sector, clusters of
  // another size than the fs_block, a boot sector further into the unit
  // than one fs_block.
  const std::string kTwoFiles = "  files saved: 2";
  cases.push_back({"boot_two_fats", 0,
                   Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000006  1st_sec: $000A",
                         "  layout from the boot sector: FATs 2, reserved sectors 1, cluster bytes 2048", kTwoFiles}),
                   "FAT12 volume with two FATs (mkfs.fat's default)", PcDump(PcVolume({1, 2, kBs, 64, 0}))});
  cases.push_back({"boot_four_reserved_sectors", 0,
                   Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000008  1st_sec: $000C",
                         "  layout from the boot sector: FATs 1, reserved sectors 4, cluster bytes 2048", kTwoFiles}),
                   "FAT12 volume with four reserved sectors: the FAT is not in the sector after the boot sector",
                   PcDump(PcVolume({4, 1, kBs, 64, 0}))});
  cases.push_back({"boot_clusters_smaller_than_fs_block", 0,
                   Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000005  1st_sec: $0009",
                         "  layout from the boot sector: FATs 1, reserved sectors 1, cluster bytes 1024", kTwoFiles}),
                   "FAT12 volume of 1 KiB clusters in 2 KiB fs_blocks", PcDump(PcVolume({1, 1, 1024, 64, 0}))});
  cases.push_back({"boot_sector_past_one_fs_block", 0,
                   Join({"@ $00000200: partition #01_name.raw/a",
                         "  type: 01 - FAT12 fs_info: $00000800 root: $00000005  1st_sec: $0009",
                         "  layout from the boot sector: FATs 1, reserved sectors 1, cluster bytes 512", kTwoFiles}),
                   "fs_blocks and clusters of 512 bytes: the boot sector lies three fs_blocks into the unit",
                   PcDump(PcVolume({1, 1, 512, 64, 0}), 512)});
  // Clusters of four fs_blocks: the image ends where the flash stopped
  // writing, inside the last cluster of a file or of a folder. What the
  // image holds of such a cluster is read, the rest as zeros.
  cases.push_back({"boot_cluster_partly_past_image_end", 0,
                   Join({"  layout from the boot sector: FATs 1, reserved sectors 1, cluster bytes 8192", kTwoFiles}),
                   "8 KiB clusters in 2 KiB fs_blocks, the blocks of zeros after PHOTO.JPG never written",
                   PcDump(PcVolume({1, 1, 8192, 64, 0}), kBs, 0, true)});
  cases.push_back({"boot_directory_cluster_past_image_end", 0,
                   Join({"  layout from the boot sector: FATs 1, reserved sectors 1, cluster bytes 8192",
                         "Found lost cluster 0004 in file: _name.raw/a/DCIM/PHOTO.JPG", kTwoFiles}),
                   "8 KiB clusters, the image ending inside the cluster of DCIM: it is walked, PHOTO.JPG's cluster is lost",
                   PcDump(PcVolume({1, 1, 8192, 64, 0}), kBs, 7)});
  // Hostile counts in a PC layout: none may lead a read outside the image.
  cases.push_back({"boot_255_fats", 0,
                   Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000103  1st_sec: $0107",
                         "  layout from the boot sector: FATs 255, reserved sectors 1, cluster bytes 2048", kTwoFiles}),
                   "255 FATs (each written) in a volume of 65,535 sectors: the root directory lies 259 sectors in",
                   PcDump(PcVolume({1, 255, kBs, 64, 0xFFFF}))});
  cases.push_back({"boot_sectors_beyond_4gib", 0,
                   Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000005  1st_sec: $0009",
                         "  files saved: 0"}),
                   "two FATs and $FFFFFFFF sectors: the volume would end past 4 GiB, so the phone's rules read it",
                   PcDump(PcVolume({1, 2, kBs, 64, 0xFFFFFFFF}))});
  for (const auto& [perCluster, name] : {std::pair{0u, "boot_sectors_per_cluster_0"}, std::pair{3u, "boot_sectors_per_cluster_3"}}) {
    Bytes volume = PcVolume({1, 2, kBs, 64, 0});
    volume[13] = static_cast<std::uint8_t>(perCluster);
    cases.push_back({name, 0,
                     Join({kPartition, "  type: 01 - FAT12 fs_info: $00000E00 root: $00000005  1st_sec: $0009",
                           "  files saved: 0"}),
                     std::to_string(perCluster) + " sectors per cluster with two FATs: no standard layout, the phone's rules",
                     PcDump(volume)});
  }
}

void DirectoryCases(std::vector<Case>& cases) {
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    v.AddShort(dir, "SELF", kDirectory, v.DirClusters(dir).front(), 0);
    cases.push_back({"dir_cycle_self", 0,
                     Join({kPartition, kType16, "WARNING: directory already walked, skipped: _name.raw/a/DIR/SELF",
                           "  files saved: 0"}),
                     "subdirectory entry pointing at its own directory", Write(UnitPlan(Unit(v)))});
  }
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    v.AddShort(FatVolume::kRoot, "AGAIN", kDirectory, v.DirClusters(dir).front(), 0);
    const FatVolume::Dir sub = v.AddDirectory(dir, "SUB");
    v.AddShort(sub, "UP", kDirectory, v.DirClusters(dir).front(), 0);
    v.AddFile(sub, {"S.TXT", "", Pattern(10, 1), kArchive, {}, {}, {}});
    cases.push_back({"dir_cycle_parent", 0,
                     Join({kPartition, kType16, "WARNING: directory already walked, skipped: _name.raw/a/DIR/SUB/UP",
                           "WARNING: directory already walked, skipped: _name.raw/a/AGAIN", "  files saved: 1"}),
                     "subdirectory entry pointing at its parent, and a second root entry for the same directory",
                     Write(UnitPlan(Unit(v)))});
  }
  // D1/D2/.../D70; D64 holds IN64.TXT (saved), D65 (65 levels below the unit
  // directory) is listed but not walked.
  {
    FatVolume v = Volume(FatType::Fat16, 72);
    FatVolume::Dir at = FatVolume::kRoot;
    std::string path = "_name.raw/a";
    std::string tooDeep;
    for (int level = 1; level <= 70; ++level) {
      at = v.AddDirectory(at, "D" + std::to_string(level));
      path += "/D" + std::to_string(level);
      if (level == 64) v.AddFile(at, {"IN64.TXT", "", Pattern(10, 1), kArchive, {}, {}, {}});
      if (level == 65) {
        tooDeep = path;
        v.AddFile(at, {"IN65.TXT", "", Pattern(10, 2), kArchive, {}, {}, {}});
      }
    }
    cases.push_back({"dir_nesting_70_deep", 0,
                     Join({kPartition, kType16, "WARNING: directory nesting too deep, skipped: " + tooDeep, "  files saved: 1"}),
                     "70 nested directories: 64 levels are walked", Write(UnitPlan(Unit(v)))});
  }
  // DIR fills clusters 2 and 3 (".", "..", 126 volume labels: no end marker)
  // and the chain goes 2 -> 3 -> 2.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    for (int i = 0; i < 126; ++i) {
      std::string name = "V" + std::to_string(1000 + i).substr(1);
      v.AddShort(dir, name, kLabel, 0, 0);
    }
    const std::vector<std::uint16_t>& chain = v.DirClusters(dir);
    if (chain.size() != 2) throw std::logic_error("DIR should fill two clusters");
    v.SetFat(chain[1], chain[0]);
    cases.push_back({"dir_chain_loop", 0,
                     Join({kPartition, kType16, "WARNING: loop in cluster chain at $0002: _name.raw/a/DIR", "  files saved: 0"}),
                     "subdirectory whose cluster chain loops back to its first cluster", Write(UnitPlan(Unit(v)))});
  }
  // Root: DIR, then the pieces of a long name and the end of the root. DIR:
  // pieces of "orphaned long name" (checksum of another name), then PLAIN.TXT:
  // it is saved under the pieces' name.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    for (const Bytes& piece : FatVolume::LongPieces("orphaned long name", FatVolume::Name83("OTHER.TXT"))) {
      v.AddRaw(dir, piece);
    }
    AddProbe(v, dir, "PLAIN.TXT");
    for (const Bytes& piece : FatVolume::LongPieces("lost in the root", FatVolume::Name83("LOST.TXT"))) {
      v.AddRaw(FatVolume::kRoot, piece);
    }
    cases.push_back({"long_name_without_short_entry", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/DIR/orphaned long name"), "  files saved: 1"}),
                     "long name pieces without their short entry (before another entry, and at the end)",
                     Write(UnitPlan(Unit(v)))});
  }
  // DIR: ".", "..", 60 labels, then a 35-character name in 3 pieces: two end
  // DIR's first cluster, the third and the short entry begin its second.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    for (int i = 0; i < 60; ++i) v.AddShort(dir, "V" + std::to_string(100 + i).substr(1), kLabel, 0, 0);
    const std::string name = "A long name across two clusters.txt";
    AddProbe(v, dir, "ALONGN~1.TXT", name);
    if (v.DirClusters(dir).size() != 2) throw std::logic_error("DIR should take two clusters");
    cases.push_back({"long_name_spanning_clusters", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/DIR/" + name), "  files saved: 1"}),
                     "long name whose pieces lie in two clusters of a directory", Write(UnitPlan(Unit(v)))});
  }
  // Names with separators and control bytes; every one reaches the console
  // through its lost cluster, as made safe. A name of control bytes only is
  // empty once trimmed: listed and skipped; a long name starting with ".."
  // is a name like any other.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    AddProbe(v, dir, "AB~1", std::string("a/b\\c:d*e?f\"g<h>i|j\x01k"));
    AddRawProbe(v, dir, "A/B     TXT");
    AddRawProbe(v, dir, std::string("X\x01Y        ", 11));
    AddRawProbe(v, dir, std::string("\x01\x02         ", 11));
    AddRawProbe(v, dir, std::string("\x05" "ABC       ", 11));
    AddProbe(v, dir, "EVIL", "..\\..\\evil");
    const FatVolume::Dir odd = v.AddDirectory(dir, "DIRDOT", "dir/..");
    AddProbe(v, odd, "IN.TXT");
    cases.push_back({"names_with_separators_and_control_bytes", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/DIR/a_b_c_d_e_f_g_h_i_j_k"),
                           Lost("0020", "_name.raw/a/DIR/A_B.TXT"), Lost("0020", "_name.raw/a/DIR/X_Y"),
                           Lost("0020", "_name.raw/a/DIR/ABC"), Lost("0020", "_name.raw/a/DIR/.._.._evil"),
                           Lost("0020", "_name.raw/a/DIR/dir_._/IN.TXT"), "  files saved: 6"}),
                     "file and directory names with / \\ : * ? \" < > |, control bytes, \"..\" inside", Write(UnitPlan(Unit(v)))});
  }
  // Root: a directory named ".." by its long name (holding X.TXT, a lost
  // probe), a short ".." directory entry, a file named ".." by its long name,
  // and A.BIN. Only A.BIN is saved; nothing is reported.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dots = v.AddDirectory(FatVolume::kRoot, "DOTDOT", "..");
    AddProbe(v, dots, "X.TXT");
    v.AddShort(FatVolume::kRoot, "..", kDirectory, v.DirClusters(dots).front(), 0);
    AddProbe(v, FatVolume::kRoot, "DDFILE", "..", 0x00);
    v.AddFile(FatVolume::kRoot, {"A.BIN", "", Pattern(100, 1), 0x00, {}, {}, {}});
    cases.push_back({"name_exactly_dot_dot", 0, Join({kPartition, kType16, "  files saved: 1"}),
                     "root entries whose names are exactly \"..\" (a directory, a file, a short entry)",
                     Write(UnitPlan(Unit(v)))});
  }
  // Root: directory X, file X; file Y, directory Y. The second of each pair
  // is numbered.
  {
    FatVolume v = Volume();
    v.AddDirectory(FatVolume::kRoot, "X");
    const std::uint16_t data = v.Allocate(1).front();
    v.WriteCluster(data, Pattern(10, 1));
    v.Link({data});
    v.AddShort(FatVolume::kRoot, "X", 0x00, data, 10);
    v.AddShort(FatVolume::kRoot, "Y", 0x00, data, 10);
    v.AddDirectory(FatVolume::kRoot, "Y");
    cases.push_back({"file_name_exists_as_directory", 0,
                     Join({kPartition, kType16, "WARNING: name in use, saved as: _name.raw/a/X (2)",
                           "WARNING: name in use, saved as: _name.raw/a/Y (2)", "  files saved: 2"}),
                     "a file named like a directory before it, and a directory named like a file before it: both kept",
                     Write(UnitPlan(Unit(v)))});
  }
  // Deleted long names whose first character has the low byte E5: the
  // deleted piece begins E5 E5, like an end marker, but has attribute 0F.
  {
    FatVolume v = Volume();
    for (const std::u16string name : {u"日记.txt", u"åbc.txt"}) {
      const std::uint32_t first = v.NextEntryOffset(FatVolume::kRoot);
      FileSpec f{"DELETED.TXT", "", {}, kArchive, {kLostProbe}, 0u, kLostProbe};
      f.wideLongName = name;
      const std::uint32_t at = v.AddFile(FatVolume::kRoot, f);
      for (std::uint32_t piece = first; piece <= at; piece += 32) v.Image()[piece] = 0xE5;
    }
    AddProbe(v, FatVolume::kRoot, "AFTER.TXT");
    cases.push_back({"deleted_long_name_piece_e5e5", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/日记.txt"), Lost("0020", "_name.raw/a/åbc.txt"),
                           Lost("0020", "_name.raw/a/AFTER.TXT"), "  files saved: 3"}),
                     "deleted long-name pieces that begin E5 E5 (\"日\", \"å\"), then a live file", Write(UnitPlan(Unit(v)))});
  }
  // Names that differ only by case, or only in characters beyond ASCII.
  {
    FatVolume v = Volume();
    AddProbe(v, FatVolume::kRoot, "A.TXT");
    AddProbe(v, FatVolume::kRoot, "A~1.TXT", "a.txt");
    for (const std::u16string name : {u"Фото.jpg", u"ФОТО.JPG"}) {
      FileSpec f{"FOTO.JPG", "", {}, kArchive, {kLostProbe}, 0u, kLostProbe};
      f.wideLongName = name;
      v.AddFile(FatVolume::kRoot, f);
    }
    cases.push_back({"names_equal_but_for_case", 0,
                     Join({kPartition, kType16, Lost("0020", "_name.raw/a/A.TXT"),
                           "WARNING: name in use, saved as: _name.raw/a/a (2).txt", Lost("0020", "_name.raw/a/a (2).txt"),
                           Lost("0020", "_name.raw/a/Фото.jpg"), "WARNING: name in use, saved as: _name.raw/a/ФОТО (2).JPG",
                           Lost("0020", "_name.raw/a/ФОТО (2).JPG"), "  files saved: 4"}),
                     "file names that are one name for Windows: by case, and by case beyond ASCII", Write(UnitPlan(Unit(v)))});
  }
  // A deleted directory whose cluster holds file data by now.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "OLD");
    AddProbe(v, dir, "IN.TXT");
    v.WriteCluster(v.DirClusters(dir).front(), Pattern(kBs, 4));
    v.Image()[v.RootOffset()] = 0xE5;
    AddProbe(v, FatVolume::kRoot, "NEXT.TXT");
    cases.push_back({"deleted_directory_cluster_reused", 0,
                     Join({kPartition, kType16, "WARNING: deleted directory overwritten, skipped: _name.raw/a/åLD",
                           Lost("0020", "_name.raw/a/NEXT.TXT"), "  files saved: 1"}),
                     "a deleted directory whose first cluster no longer begins with its \".\" entry", Write(UnitPlan(Unit(v)))});
  }
  // A long name of 260 characters (20 whole pieces, no terminator): too long
  // for the file system.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    const std::string name = Repeat("0123456789", 26);
    const auto shortName = FatVolume::Name83("LONG.TXT");
    const std::uint8_t sum = FatVolume::Checksum(shortName);
    for (std::size_t k = 20; k >= 1; --k) {
      std::array<std::uint16_t, 13> units{};
      for (std::size_t j = 0; j < 13; ++j) units[j] = static_cast<unsigned char>(name[(k - 1) * 13 + j]);
      v.AddRaw(dir, FatVolume::LongPiece(static_cast<std::uint8_t>(k | (k == 20 ? 0x40 : 0)), units, sum));
    }
    v.AddRaw(dir, FatVolume::ShortEntry(shortName, kArchive, kLostProbe, 0));
    cases.push_back({"long_name_too_long", 0,
                     Join({kPartition, kType16, "ERROR: cannot create _name.raw/a/DIR/" + name + ": File name too long",
                           "  files saved: 0"}),
                     "long name of 260 characters, longer than a file name may be", Write(UnitPlan(Unit(v)))});
  }
}

// ---------------------------------------------------------------------------
// Output.

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte >= 0x7F || c == '|') {
      static const char* const kDigits = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

constexpr const char* kHeader =
    "# Regression corpus of quillex4, one damaged dump per line, run by the end-to-end test Corpus.\n"
    "# NAME.raw|exit status|console lines that must appear together (\\n between lines, \\xHH a byte,\n"
    "# \\\\ a backslash)|what the dump breaks\n"
    "# Remade by quillex-make-corpus; lines for dumps it does not make (fuzzer findings) are kept.\n";

// ---------------------------------------------------------------------------
// Cases: older states of blocks (superseded copies), which quillex4 never
// reads but quillex history walks. The live state is the usual one.

// Gives logical block `logical` of a usual layout older states, oldest
// first: the oldest takes its physical block, the others and then the live
// bytes follow at the end, so that map order runs from oldest to newest.
void Supersede(mk::FlashLayout& layout, std::uint32_t logical, std::vector<Bytes> older) {
  const std::vector<std::uint32_t>& entries = layout.maps[0].entries;
  const auto named = std::find(entries.begin(), entries.end(), mk::kInUse | logical);
  if (named == entries.end()) throw std::logic_error("no block holds logical " + std::to_string(logical));
  Block& home = layout.blocks.at(static_cast<std::size_t>(named - entries.begin()));
  Bytes live = std::move(home.data);
  home.data = std::move(older.front());
  older.erase(older.begin());
  older.push_back(std::move(live));
  for (Bytes& data : older) {
    const std::size_t at = AppendData(layout, std::move(data));
    layout.blocks[at].logical = logical;
    layout.maps[0].entries.at(at) = mk::kInUse | logical;
  }
}

const std::vector<std::string> kUsualEnd = {kPartition, kType16, "  files saved: 2", "OK!"};

void HistoryCases(std::vector<Case>& cases) {
  // The Mount Table (logical 1) was once a table of units whose paths climb
  // out of every folder, and before that bytes of no table at all.
  {
    mk::FlashLayout layout = UsualLayout();
    Supersede(layout, 1,
              {Pattern(kBs, 21), mk::MakeMountTable({{"/../../escape", 2, 6, {}}, {"/a/../../..", 2, 6, {}},
                                                     {"/" + std::string(27, '.'), 3, 2, {}}}, kBs)});
    cases.push_back({"history_copies_of_mount_table", 0, Join(kUsualEnd),
                     "older copies of the Mount Table block: paths with \"..\", then no table", Write(layout)});
  }
  // The FAT and root (logical 3) and the clusters (logical 4 to 6) once held
  // a volume of hostile names; before that, the FAT and root and DIR's
  // cluster were noise.
  {
    FatVolume v = Volume();
    const FatVolume::Dir dir = v.AddDirectory(FatVolume::kRoot, "DIR");
    v.AddFile(dir, {"EVIL", "..\\..\\evil", Pattern(300, 5), kArchive, {}, {}, {}});
    v.AddFile(FatVolume::kRoot, {"AB~1", std::string("../../a/b\\c:\x01"), Pattern(40, 6), kArchive, {}, {}, {}});
    const FatVolume::Dir dots = v.AddDirectory(FatVolume::kRoot, "DOTDOT", "..");
    v.AddFile(dots, {"X.TXT", "", {}, kArchive, {}, {}, {}});
    const Bytes hostile = Unit(v);
    auto blockOf = [&](std::uint32_t logical) {
      Bytes block(kBs, 0);
      const std::size_t from = std::size_t{logical - 2} * kBs;
      if (from < hostile.size()) {
        std::copy(hostile.begin() + static_cast<std::ptrdiff_t>(from),
                  hostile.begin() + static_cast<std::ptrdiff_t>(std::min(hostile.size(), from + kBs)), block.begin());
      }
      return block;
    };
    mk::FlashLayout layout = UsualLayout();
    Supersede(layout, 3, {Pattern(kBs, 22), blockOf(3)});
    Supersede(layout, 4, {blockOf(4)});
    Supersede(layout, 5, {Pattern(kBs, 23), blockOf(5)});
    Supersede(layout, 6, {blockOf(6)});
    cases.push_back({"history_copies_of_fat_and_directory", 0, Join(kUsualEnd),
                     "older copies of the FAT and root block and of a directory cluster: hostile names, then noise",
                     Write(layout)});
  }
  // Logical $40 lies past the unit and past every block the live state
  // needs, yet it has a superseded copy; F.TXT's second cluster (logical 7)
  // was once other bytes.
  {
    mk::FlashLayout layout = UsualLayout();
    const std::size_t older = AppendData(layout, Pattern(kBs, 24));
    const std::size_t newer = AppendData(layout, Pattern(kBs, 25));
    layout.maps[0].entries.at(older) = mk::kInUse | 0x40;
    layout.maps[0].entries.at(newer) = mk::kInUse | 0x40;
    Supersede(layout, 7, {Pattern(kBs, 26)});
    cases.push_back({"history_copy_past_image", 0,
                     Join({"Maximum fs_block number is: $00000040. Alloc buffer...", "Building normal FS image from RAW...",
                           "seg00 covered by 00000001 map(s)", "Writing normal FS image to file: name.raw.fs...",
                           "Trying to process Mount Table @ fs_block: $0001", kPartition, kType16, "  files saved: 2"}),
                     "a block past the unit with a superseded copy, and an older copy of a file's cluster",
                     Write(layout)});
  }
}

int Main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quillex-make-corpus FOLDER\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);

  std::vector<Case> cases;
  HeaderCases(cases);
  TruncationCases(cases);
  MapCases(cases);
  MountTableCases(cases);
  PartitionCases(cases);
  PcLayoutCases(cases);
  ChainCases(cases);
  DirectoryCases(cases);
  HistoryCases(cases);

  std::set<std::string> made;
  std::uintmax_t total = 0;
  for (const Case& c : cases) {
    const std::string file = c.name + ".raw";
    if (!made.insert(file).second) throw std::logic_error("case made twice: " + c.name);
    std::ofstream out(folder / file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(c.dump.data()), static_cast<std::streamsize>(c.dump.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / file).string());
    total += c.dump.size();
  }

  // Lines for dumps made elsewhere stay.
  std::vector<std::string> kept;
  if (std::ifstream in(folder / "cases.txt"); in) {
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      if (!made.contains(line.substr(0, line.find('|')))) kept.push_back(line);
    }
  }
  std::ostringstream text;
  text << kHeader;
  for (const Case& c : cases) {
    text << c.name << ".raw|" << c.status << '|' << Escape(c.expected) << '|' << c.note << '\n';
  }
  for (const std::string& line : kept) text << line << '\n';
  std::ofstream list(folder / "cases.txt", std::ios::binary | std::ios::trunc);
  list << text.str();
  if (!list) throw std::runtime_error("cannot write cases.txt");

  std::cout << cases.size() << " cases, " << total << " bytes of dumps, " << kept.size() << " other lines kept\n";
  return 0;
}

}  // namespace
}  // namespace quillex::corpus

int main(int argc, char** argv) {
  try {
    return quillex::corpus::Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "quillex-make-corpus: " << e.what() << '\n';
    return 1;
  }
}
