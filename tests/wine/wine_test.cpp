// The Windows build (quillex4.exe) under Wine beside the native build, on the
// same dumps: the console, the exit status, the log, the .fs file and the
// extracted tree (names, contents, modification and access times) must be
// the same, the directory separator aside.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mkraw/mkraw.h"
#include "support/examine.h"
#include "support/fat_volume.h"
#include "support/test_support.h"

namespace quillex {
namespace {

namespace fs = std::filesystem;
namespace mk = mkraw;
using test::Bytes;
using test::FatOptions;
using test::FatType;
using test::EntryTimes;
using test::FatDate;
using test::FatTime;
using test::FatVolume;
using test::RunOptions;
using test::TempDir;
using test::ToolRun;

// What one run leaves: its console, status and outputs. The tree maps each
// path below the extraction folder ("/"-separated, folders ending in "/")
// to its contents, times to its modification and access times.
struct Outcome {
  int status = -1;
  std::string console;
  std::string err;  // what Wine (or the tool) wrote to standard error
  std::string log;
  std::string image;
  bool hasLog = false;
  bool hasImage = false;
  std::map<std::string, std::string> tree;
  std::map<std::string, std::string> times;
};

std::string Slashed(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

using Clock = std::chrono::system_clock;

// A time the run gave a file itself (the image had no valid one) reads
// "run"; any other, its seconds and nanoseconds.
std::string TimeText(const timespec& t, Clock::time_point start, Clock::time_point end) {
  const auto at = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
  // The file system's clock runs up to a tick behind the system's.
  if (at >= start - std::chrono::seconds(1) && at <= end + std::chrono::seconds(1)) return "run";
  return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// The tree below root; with times, also each item's times, read before
// anything reads the item (reading sets the access time anew).
std::map<std::string, std::string> TreeOf(const fs::path& root, std::map<std::string, std::string>* times = nullptr,
                                          Clock::time_point start = {}, Clock::time_point end = {}) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(item.path(), root).generic_string() + (item.is_directory() ? "/" : "");
    struct stat info {};
    if (times != nullptr && ::stat(item.path().c_str(), &info) == 0) {
      (*times)[rel] = "modified " + TimeText(info.st_mtim, start, end) + ", accessed " +
                      TimeText(info.st_atim, start, end);
    }
    tree[rel] = item.is_directory() ? "" : test::ReadFile(item.path().string());
  }
  return tree;
}

std::vector<std::string> Windows() { return {QUILLEX_WINE, QUILLEX_WINDOWS_EXE}; }
std::vector<std::string> Native() { return {QUILLEX4_PATH}; }

// Runs `command` in `dir`. quillex4 writes its banner or its usage text
// before anything else, so a run that failed with nothing at all on standard
// output never got to the tool: Wine itself failed to start it. Such a run
// is tried once more, and the test's output says so.
ToolRun RunProgram(const fs::path& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& command) {
  RunOptions options;
  options.command = command;
  options.timeoutMs = 120000;
  ToolRun run = test::RunQuillex4(dir, args, options);
  if (command.size() > 1 && command[1] == QUILLEX_WINDOWS_EXE && run.status != 0 && !run.timedOut &&
      run.out.empty()) {
    std::cout << "Wine did not start quillex4.exe (status " << run.status << ", standard error:\n"
              << run.err << "); trying once more\n";
    run = test::RunQuillex4(dir, args, options);
  }
  return run;
}

// Runs `command` (the tool, native or under Wine) on `dump` in a fresh folder;
// `arg` names the dump as the program gets it.
Outcome RunOn(const Bytes& dump, const std::string& relDump, const std::string& arg,
              const std::vector<std::string>& command) {
  TempDir dir;
  const fs::path dumpPath = dir.path() / relDump;
  fs::create_directories(dumpPath.parent_path());
  test::WriteFile(dumpPath.string(), dump);
  const Clock::time_point start = Clock::now();
  const ToolRun run = RunProgram(dir.path(), {arg}, command);
  const Clock::time_point end = Clock::now();
  Outcome o;
  o.status = run.timedOut ? -2 : run.status;
  o.console = run.out;
  o.err = run.err;
  const fs::path log = dumpPath.string() + ".log", image = dumpPath.string() + ".fs";
  o.hasLog = fs::exists(log);
  o.hasImage = fs::exists(image);
  if (o.hasLog) o.log = test::ReadFile(log.string());
  if (o.hasImage) o.image = test::ReadFile(image.string());
  // "_" goes before the whole argument, its folders included.
  const fs::path extracted = dir.path() / ("_" + relDump);
  o.tree = TreeOf(extracted, &o.times, start, end);
  return o;
}

// What the headers of a PE executable say it is. The "PE\0\0" signature
// sits at the offset held in the DOS header's dword at $3C; the machine word
// follows it, and the optional header (at signature + 24) holds the
// subsystem at +68 in both its 32-bit and 64-bit forms. Zeros when unreadable.
struct PeHeaders {
  std::uint16_t machine = 0;    // $014C: i386, $8664: x86-64
  std::uint16_t subsystem = 0;  // 3: console
};
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kSubsystemConsole = 3;

PeHeaders ReadPeHeaders(const std::string& exe) {
  const std::string file = test::ReadFile(exe);
  auto byte = [&](std::size_t at) -> std::uint32_t {
    return at < file.size() ? static_cast<unsigned char>(file[at]) : 0u;
  };
  auto word = [&](std::size_t at) { return static_cast<std::uint16_t>(byte(at) | byte(at + 1) << 8); };
  const std::size_t pe = byte(0x3C) | byte(0x3D) << 8 | byte(0x3E) << 16 | byte(0x3F) << 24;
  if (file.compare(0, 2, "MZ") != 0 || pe + 94 > file.size() || file.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    return {};
  }
  return {word(pe + 4), word(pe + 24 + 68)};
}

// Every Wine run of the tests uses the prefix the WineStarts test made.
class WineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    ::setenv("WINEPREFIX", QUILLEX_WINE_PREFIX, 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Wine keeps a Windows name on the host in the charset of the locale:
    // only UTF-8 holds every name (the tool itself reads no locale).
    ::setenv("LC_ALL", "C.UTF-8", 1);
    // A zone with daylight saving, for both builds: a time taken as UTC, or
    // without its summer hour, differs.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  }
};
const testing::Environment* const kWine = testing::AddGlobalTestEnvironment(new WineEnvironment);

// The locales start_wine.sh makes when the system has none of the name.
const std::string kLocales = std::string(QUILLEX_WINE_PREFIX) + "/locales";

// Both builds on one dump; every difference but the separator fails. The
// Windows run's locale, when given, sets the ANSI code page Wine gives it.
Outcome ExpectSameRuns(const Bytes& dump, const std::string& nativeArg = "name.raw",
                       const std::string& windowsArg = "name.raw", const char* windowsLocale = nullptr) {
  const Outcome native = RunOn(dump, Slashed(nativeArg), nativeArg, Native());
  if (windowsLocale != nullptr) {
    ::setenv("LC_ALL", windowsLocale, 1);
    ::setenv("LOCPATH", kLocales.c_str(), 1);
  }
  const Outcome windows = RunOn(dump, Slashed(windowsArg), windowsArg, Windows());
  ::setenv("LC_ALL", "C.UTF-8", 1);
  ::unsetenv("LOCPATH");
  EXPECT_NE(windows.status, -2) << "quillex4.exe did not finish under Wine";
  EXPECT_EQ(windows.status, native.status) << "standard error under Wine:\n" << windows.err;
  EXPECT_EQ(Slashed(windows.console), Slashed(native.console)) << "console";
  EXPECT_EQ(windows.hasLog, native.hasLog);
  EXPECT_TRUE(Slashed(windows.log) == Slashed(native.log)) << "log differs";
  EXPECT_EQ(windows.hasImage, native.hasImage);
  EXPECT_TRUE(windows.image == native.image) << "the .fs files differ";
  std::vector<std::string> nativeNames, windowsNames;
  for (const auto& [name, data] : native.tree) nativeNames.push_back(name);
  for (const auto& [name, data] : windows.tree) windowsNames.push_back(name);
  EXPECT_EQ(windowsNames, nativeNames) << "extracted trees";
  if (windowsNames == nativeNames) {
    for (const auto& [name, data] : native.tree) {
      EXPECT_TRUE(windows.tree.at(name) == data) << "contents of " << name;
    }
    EXPECT_EQ(windows.times, native.times) << "times of the extracted files and folders";
  }
  return windows;
}

// ---------------------------------------------------------------------------
// Dumps.

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Pattern(std::size_t n, unsigned seed) {
  std::string text(n, '\0');
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>((i * 31 + seed * 7 + i / 97) & 0xFF);
  return text;
}

// Two units, "/" first (whose paths hold a doubled separator) and "/a/b",
// with names Windows cannot hold as they stand, nested folders, long names,
// a chain that leaves the image, on NAND pages with spare areas in two
// segments.
Bytes NamesDump(std::uint32_t pageType) {
  constexpr std::uint32_t kBs = 0x800;
  FatVolume v16({FatType::Fat16, kBs, 48, 16, "MSWIN4.1", "NAMES"});
  v16.AddFile(FatVolume::kRoot, {"ROOT.BIN", "", B(Pattern(3000, 1)), 0x00, {}, {}, {}});
  const FatVolume::Dir docs = v16.AddDirectory(FatVolume::kRoot, "MYDOCU~1", "My Documents");
  v16.AddFile(docs, {"CON.TXT", "", B(Pattern(10, 2)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"NUL~1", "nul", B(Pattern(20, 3)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"LPT1.LOG", "", B(Pattern(5000, 4)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"DOTS~1", "dots...", B(Pattern(30, 5)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"BLANK~1", "blank ", B(Pattern(40, 6)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"ODD~1.TXT", "a:b*c?d<e>f|g\"h", B(Pattern(50, 7)), test::kAttrArchive, {}, {}, {}});
  v16.AddFile(docs, {"EMPTY.TXT", "", {}, test::kAttrArchive, {}, {}, {}});
  const FatVolume::Dir sub = v16.AddDirectory(docs, "SUB", "Sub folder");
  const FatVolume::Dir deep = v16.AddDirectory(sub, "AUX", "");
  v16.AddFile(deep, {"DEEP.BIN", "Deep file.bin", B(Pattern(9000, 8)), test::kAttrArchive, {}, {}, {}});

  FatVolume v12({FatType::Fat12, kBs, 12, 16, "MSDOS5.0", "PHONE"});
  const FatVolume::Dir x = v12.AddDirectory(FatVolume::kRoot, "X");
  v12.AddFile(x, {"F.BIN", "", B(Pattern(5000, 10)), test::kAttrArchive, {}, {}, {}});
  v12.AddFile(x, {"PRN", "", B(Pattern(7, 11)), test::kAttrArchive, {}, {}, {}});

  mk::FlashSpec plan;
  plan.fsBlockSize = kBs;
  plan.seed = 3;
  plan.staleCopies = 4;
  plan.freeBlocks = 3;
  plan.segments = {{pageType, 0, 0x800, {}}, {pageType, 0, 0, {}}};
  mk::AddUnits(plan, {{"/", v16.Image(), 0x04, true}, {"/a/b", v12.Image(), 0x01, true}}, 3);
  return mk::BuildDump(plan);
}

// The pieces of a UTF-16 long name, ahead of the short entry that follows.
void AddWidePieces(FatVolume& v, FatVolume::Dir dir, const std::string& shortName, std::u16string_view name) {
  for (const Bytes& piece : FatVolume::LongPieces(std::u16string(name), FatVolume::Name83(shortName))) v.AddRaw(dir, piece);
}

// A file in fresh clusters, linked unless it is deleted (then they are
// free, as a FAT driver leaves them); returns its entry's offset.
std::uint32_t AddNamedFile(FatVolume& v, FatVolume::Dir dir, const std::string& shortName, std::u16string_view name,
                           const std::string& data, const EntryTimes& times, bool deleted = false) {
  if (!name.empty()) AddWidePieces(v, dir, shortName, name);
  const auto clusters = v.Allocate(static_cast<std::uint32_t>((data.size() + v.ClusterSize() - 1) / v.ClusterSize()));
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    v.WriteCluster(clusters[i], B(data.substr(i * v.ClusterSize(), v.ClusterSize())));
  }
  if (!deleted && !clusters.empty()) v.Link(clusters);
  const std::uint32_t entry = v.AddShort(dir, shortName, test::kAttrArchive, clusters.empty() ? 0 : clusters[0],
                                         static_cast<std::uint32_t>(data.size()));
  v.SetTimes(entry, times);
  return entry;
}

FatVolume::Dir AddNamedDirectory(FatVolume& v, FatVolume::Dir parent, const std::string& shortName,
                                 std::u16string_view name, const EntryTimes& times) {
  AddWidePieces(v, parent, shortName, name);
  const std::uint32_t entry = v.NextEntryOffset(parent);
  const FatVolume::Dir dir = v.AddDirectory(parent, shortName);
  v.SetTimes(entry, times);
  return dir;
}

// Names beyond ASCII, in UTF-16 long names (Cyrillic, Chinese, Greek, a
// character beyond the BMP, an unpaired surrogate) and in 8-bit short names
// (Windows-1252 bytes 80-9F, a deleted entry's E5); names that are one only
// by case or after uppercase mapping; valid and invalid entry times.
Bytes UnicodeDump() {
  FatVolume v({FatType::Fat16, 0x800, 64, 64, "MSWIN4.1", "UNICODE"});
  const FatVolume::Dir root = FatVolume::kRoot;
  const EntryTimes summer{FatDate(2009, 7, 14), FatTime(13, 45, 58), FatDate(2009, 7, 20), FatDate(2009, 7, 14),
                          FatTime(13, 45, 56), 150};
  const EntryTimes winter{FatDate(2010, 1, 31), FatTime(8, 0, 0), 0, 0, 0, 0};  // accessed: as written
  const EntryTimes leapDay{FatDate(2012, 2, 29), FatTime(23, 59, 58), FatDate(2012, 3, 1), 0, 0, 0};
  AddNamedFile(v, root, "FOTO1~1.JPG", u"Фото 1.jpg", Pattern(3000, 20), summer);
  AddNamedFile(v, root, "2008~1.JPG", u"照片 2008.jpg", Pattern(100, 21), winter);
  AddNamedFile(v, root, "OMEGA~1.TXT", u"Ωμέγα και άλφα.txt", Pattern(2100, 22), leapDay);
  AddNamedFile(v, root, "SMILE~1.PNG", u"\xD83D\xDE00 smile.png", Pattern(10, 23), summer);
  AddNamedFile(v, root, "LONE~1.TXT", u"lone \xD800.txt", Pattern(11, 24), winter);
  AddNamedFile(v, root, "\x80\x8A\x9F\x81.TXT", u"", Pattern(12, 25), leapDay);
  AddNamedFile(v, root, "\xE5HORT.JPG", u"", Pattern(2500, 26), summer, true);
  // Invalid times leave the run's own: hour 24, minute 60, 60 seconds,
  // month 13, 30 February, no date; an invalid access date alone.
  AddNamedFile(v, root, "H24.TXT", u"", "h", {FatDate(2009, 7, 14), FatTime(24, 0, 0), FatDate(2009, 7, 15), 0, 0, 0});
  AddNamedFile(v, root, "M60.TXT", u"", "m", {FatDate(2009, 7, 14), FatTime(10, 60, 0), 0, 0, 0, 0});
  AddNamedFile(v, root, "S60.TXT", u"", "s", {FatDate(2009, 7, 14), FatTime(10, 0, 60), 0, 0, 0, 0});
  AddNamedFile(v, root, "MONTH13.TXT", u"", "x", {FatDate(2009, 13, 1), FatTime(10, 0, 0), 0, 0, 0, 0});
  AddNamedFile(v, root, "FEB30.TXT", u"", "y", {FatDate(2009, 2, 30), FatTime(10, 0, 0), 0, 0, 0, 0});
  AddNamedFile(v, root, "NODATE.TXT", u"", "z", {0, FatTime(10, 0, 0), FatDate(2009, 7, 15), 0, 0, 0});
  AddNamedFile(v, root, "NOACCESS.TXT", u"", "a", {FatDate(2009, 7, 14), FatTime(10, 0, 0), FatDate(2009, 0, 1), 0, 0, 0});
  // The hour repeated when summer time ends, and the one skipped when it starts.
  AddNamedFile(v, root, "REPEATED.TXT", u"", "r", {FatDate(2008, 10, 26), FatTime(2, 30, 0), 0, 0, 0, 0});
  AddNamedFile(v, root, "SKIPPED.TXT", u"", "k", {FatDate(2008, 3, 30), FatTime(2, 30, 0), 0, 0, 0, 0});

  const FatVolume::Dir docs = AddNamedDirectory(v, root, "DOKUME~1", u"Документы", winter);
  AddNamedFile(v, docs, "ELLINI~1.DOC", u"Ελληνικά.doc", Pattern(5000, 27), summer);
  // One name on Windows: by case, and by the uppercase of each character.
  AddNamedFile(v, docs, "PHOTO~1.JPG", u"photo.jpg", Pattern(30, 28), summer);
  AddNamedFile(v, docs, "PHOTO.JPG", u"", Pattern(31, 29), winter);
  AddNamedFile(v, docs, "MAMA~1.JPG", u"Мама.jpg", Pattern(32, 30), summer);
  AddNamedFile(v, docs, "MAMA~2.JPG", u"МАМА.JPG", Pattern(33, 31), leapDay);
  AddNamedFile(v, docs, "EPSILO~1.TXT", u"έψιλον", Pattern(34, 32), summer);
  AddNamedFile(v, docs, "EPSILO~2.TXT", u"ΈΨΙΛΟΝ", Pattern(35, 33), winter);
  const FatVolume::Dir undated = AddNamedDirectory(v, docs, "CHINA", u"中文 文件夹", {});
  AddNamedFile(v, undated, "A.TXT", u"文件.txt", Pattern(36, 34), leapDay);

  mk::FlashSpec plan;
  plan.fsBlockSize = 0x800;
  plan.seed = 4;
  plan.segments = {{mk::kPageTypeSmall, 0, 0, {}}};
  mk::AddUnits(plan, {{"/", v.Image(), 0x04, true}}, 3);
  return mk::BuildDump(plan);
}

// ---------------------------------------------------------------------------
// The cases.

TEST(Windows, TheExecutablesAreConsoleProgramsForX86) {
  // A console program gets the console it was started from; any other
  // subsystem would open a window of its own, or none.
  for (const std::string exe : {QUILLEX_WINDOWS_EXE, QUILLEX_WINDOWS_MKRAW}) {
    const PeHeaders headers = ReadPeHeaders(exe);
    EXPECT_TRUE(headers.machine == kMachineI386 || headers.machine == kMachineAmd64)
        << exe << ": machine $" << std::hex << headers.machine;
    EXPECT_EQ(headers.subsystem, kSubsystemConsole) << exe;
  }
}

TEST(Windows, NoArgumentShowsTheUsageText) {
  TempDir dir;
  const ToolRun windows = RunProgram(dir.path(), {}, Windows());
  const ToolRun native = test::RunQuillex4(dir.path(), {});
  EXPECT_EQ(windows.status, 0);
  EXPECT_EQ(windows.out, native.out) << "the usage text, byte for byte (CR LF once)";
  EXPECT_NE(windows.out.find("quillex4.exe <filename.raw>\r\n"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Windows, SpareAreasNamesAndNestedFolders) { ExpectSameRuns(NamesDump(mk::kPageTypeSmall)); }

TEST(Windows, LargePagesAndTheArgumentsFolderPart) {
  ExpectSameRuns(NamesDump(mk::kPageTypeLarge), "dumps/name.raw", "dumps\\name.raw");
}

TEST(Windows, WithoutSpareAreasAndAForwardSlashInTheArgument) {
  // Windows takes "/" as a separator too: the same run as with "\".
  ExpectSameRuns(NamesDump(mk::kPageTypeNone), "dumps/name.raw", "dumps/name.raw");
}

TEST(Windows, UnicodeNamesAndEntryTimes) {
  const Outcome windows = ExpectSameRuns(UnicodeDump());
  // Not only alike: as in the image (times at 13:45:58 summer time, access
  // dates at midnight; winter time; the run's own where the entry's is not
  // valid).
  const std::map<std::string, std::string> expected = {
      {"Фото 1.jpg", "modified 1247571958.0, accessed 1248040800.0"},
      {"😀 smile.png", "modified 1247571958.0, accessed 1248040800.0"},
      {"lone \uFFFD.txt", "modified 1264921200.0, accessed 1264921200.0"},
      {"€ŠŸ\u0081.TXT", "modified 1330556398.0, accessed 1330556400.0"},
      {"åHORT.JPG", "modified 1247571958.0, accessed 1248040800.0"},
      {"H24.TXT", "modified run, accessed 1247608800.0"},
      {"NOACCESS.TXT", "modified 1247558400.0, accessed run"},
      {"REPEATED.TXT", "modified 1224981000.0, accessed 1224981000.0"},  // the earlier of the two
      {"SKIPPED.TXT", "modified 1206840600.0, accessed 1206840600.0"},   // as 03:30 summer time
      {"Документы/", "modified 1264921200.0, accessed 1264921200.0"},
      {"Документы/МАМА (2).JPG", "modified 1330556398.0, accessed 1330556400.0"},
      {"Документы/ΈΨΙΛΟΝ (2)", "modified 1264921200.0, accessed 1264921200.0"},
      {"Документы/中文 文件夹/", "modified run, accessed run"},
  };
  for (const auto& [name, times] : expected) {
    EXPECT_EQ(windows.times.count(name) ? windows.times.at(name) : "missing", times) << name;
  }
}

TEST(Windows, TheAnsiCodePagePlaysNoPart) {
  // A Russian and a Chinese Windows (code pages 1251 and 936) make the same
  // tree as the native build, and take an argument that neither code page
  // can hold.
  for (const char* locale : {"ru_RU.UTF-8", "zh_CN.UTF-8"}) {
    if (!fs::is_directory(kLocales + "/" + locale)) GTEST_SKIP() << "no locale " << locale << " in " << kLocales;
  }
  for (const char* locale : {"ru_RU.UTF-8", "zh_CN.UTF-8"}) {
    SCOPED_TRACE(locale);
    const Outcome windows = ExpectSameRuns(UnicodeDump(), "Фото 照片/Ωμέγα.raw", "Фото 照片\\Ωμέγα.raw", locale);
    EXPECT_EQ(windows.status, 0);
    EXPECT_EQ(windows.tree.count("Документы/МАМА (2).JPG"), 1u);
  }
}

TEST(Windows, AConsoleWindowShowsNamesAsUnicode) {
  // Run in a terminal, the program's output is a console window (Wine's
  // console shows it on the terminal as UTF-8). Its code page is 866 on a
  // Russian Windows: the UTF-8 bytes as they stand would read "╨д╨╛...".
  if (!fs::is_directory(kLocales + "/ru_RU.UTF-8")) GTEST_SKIP() << "no locale ru_RU.UTF-8 in " << kLocales;
  if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no /usr/bin/script to give Wine a terminal";
  TempDir dir;
  test::WriteFile(dir / "Фото 照片.raw", UnicodeDump());
  RunOptions options;
  options.command = {"/usr/bin/script", "-qec",
                     std::string(QUILLEX_WINE) + " " + QUILLEX_WINDOWS_EXE + " 'Фото 照片.raw' </dev/null", "/dev/null"};
  options.timeoutMs = 120000;
  ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
  ::setenv("LOCPATH", kLocales.c_str(), 1);
  const ToolRun run = test::RunQuillex4(dir.path(), {}, options);
  ::setenv("LC_ALL", "C.UTF-8", 1);
  ::unsetenv("LOCPATH");
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string shown : {"Loading Фото", "照片.raw header", "Документы", "МАМА (2).JPG"}) {
    EXPECT_NE(run.out.find(shown), std::string::npos) << shown << " in:\n" << run.out;
  }
  EXPECT_TRUE(fs::is_directory(dir / "_Фото 照片.raw/Документы"));
}

TEST(Windows, TheSampleDump) {
  const std::string sample = test::ReadFile(QUILLEX_SAMPLE);
  ExpectSameRuns(Bytes(sample.begin(), sample.end()));
}

// Every text of a report with "\\" read as "/", and without the paths
// outside the extraction folder, which name each run's own folders.
test::Json Portable(test::Json report) {
  for (const char* place : {"output", "log"}) report.erase(place);
  report["dump"].erase("path");
  report["image"].erase("path");
  std::function<void(test::Json&)> slash = [&](test::Json& j) {
    if (j.is_string()) {
      std::string text = j.get<std::string>();
      std::replace(text.begin(), text.end(), '\\', '/');
      j = text;
    } else if (j.is_structured()) {
      for (auto& child : j) slash(child);
    }
  };
  slash(report);
  return report;
}

TEST(Windows, QuillexGivesTheNativeReportButForTheSeparator) {
  for (const std::string& dump : {std::string(QUILLEX_SAMPLE),
                                 std::string(QUILLEX_CORPUS_DIR) + "/two_lost_clusters_in_a_row.raw",
                                 std::string(QUILLEX_CORPUS_DIR) + "/names_equal_but_for_case.raw",
                                 std::string(QUILLEX_CORPUS_DIR) + "/deleted_long_name_piece_e5e5.raw"}) {
    SCOPED_TRACE(dump);
    const std::string bytes = test::ReadFile(dump);
    TempDir windowsDir, nativeDir;
    test::WriteFile(windowsDir / "name.raw", Bytes(bytes.begin(), bytes.end()));
    test::WriteFile(nativeDir / "name.raw", Bytes(bytes.begin(), bytes.end()));
    const std::vector<std::string> args = {"extract", "name.raw", "-q", "--report", "r.json", "--hash", "sha256,sha1,md5"};
    const ToolRun windows = RunProgram(windowsDir.path(), args, {QUILLEX_WINE, QUILLEX_WINDOWS_QUILLEX});
    const ToolRun native = test::RunQuillex(nativeDir.path(), args);
    EXPECT_EQ(windows.status, native.status) << windows.err;
    const test::Json windowsReport = test::ReadJson(windowsDir / "r.json");
    const test::Json nativeReport = test::ReadJson(nativeDir / "r.json");
    EXPECT_EQ(Portable(windowsReport), Portable(nativeReport));
    EXPECT_FALSE(windowsReport["files"].empty());
  }
}

// quillex.exe ends every run that cannot start as the native build does,
// with the same line on standard error (its folder and separator aside).
TEST(Windows, QuillexAtTheEdgesAnswersAsTheNativeBuild) {
  const std::string sample = test::ReadFile(QUILLEX_SAMPLE);
  const std::vector<std::vector<std::string>> runs = {
      {"info", "sub/none.raw"},
      {"info", "."},
      {"frob", "name.raw"},
      {"history", "name.raw", "--depth", "0"},
      {"extract", "name.raw", "--report", "plain/r.json"},
      {"extract", "-q", "name.raw"},
      {"extract", "name.raw"},  // into the folder of the run before
  };
  TempDir windowsDir, nativeDir;
  for (const TempDir* dir : {&windowsDir, &nativeDir}) {
    test::WriteFile(*dir / "name.raw", Bytes(sample.begin(), sample.end()));
    test::WriteFile(*dir / "plain", std::string("a file where a folder is wanted"));
  }
  // The folder's own path, as each build names it, becomes DIR.
  const auto said = [](std::string text, const fs::path& dir) {
    std::replace(text.begin(), text.end(), '\\', '/');
    for (const std::string& prefix : {"Z:" + dir.string(), dir.string()}) {
      for (std::size_t at; (at = text.find(prefix)) != std::string::npos;) text.replace(at, prefix.size(), "DIR");
    }
    return text;
  };
  for (const std::vector<std::string>& args : runs) {
    SCOPED_TRACE(args.front() + " " + args[1]);
    const ToolRun windows = RunProgram(windowsDir.path(), args, {QUILLEX_WINE, QUILLEX_WINDOWS_QUILLEX});
    const ToolRun native = test::RunQuillex(nativeDir.path(), args);
    EXPECT_EQ(windows.status, native.status) << windows.err;
    EXPECT_EQ(said(windows.err, windowsDir.path()), said(native.err, nativeDir.path()));
  }
}

// quillex.exe history writes the older files, blocks and images the native
// build writes, under the same names (hostile ones included), and the same
// report but for the separator and where its folder lies.
TEST(Windows, QuillexHistoryWritesWhatTheNativeBuildWrites) {
  const auto inFolder = [](test::Json report) {
    report.erase("output");
    report["dump"].erase("path");
    std::function<void(test::Json&)> below = [&](test::Json& j) {
      if (j.is_string()) {
        std::string text = j.get<std::string>();
        std::replace(text.begin(), text.end(), '\\', '/');
        const std::size_t at = text.find("/h/");
        j = at == std::string::npos ? text : text.substr(at);
      } else if (j.is_structured()) {
        for (auto& child : j) below(child);
      }
    };
    below(report);
    return report;
  };
  for (const char* name : {"history_copies_of_fat_and_directory.raw", "history_copies_of_mount_table.raw"}) {
    SCOPED_TRACE(name);
    const std::string bytes = test::ReadFile(std::string(QUILLEX_CORPUS_DIR) + "/" + name);
    TempDir windowsDir, nativeDir;
    test::WriteFile(windowsDir / "name.raw", Bytes(bytes.begin(), bytes.end()));
    test::WriteFile(nativeDir / "name.raw", Bytes(bytes.begin(), bytes.end()));
    const std::vector<std::string> args = {"history", "name.raw", "-q", "-o", "h", "--report", "r.json", "--blocks", "--images"};
    const ToolRun windows = RunProgram(windowsDir.path(), args, {QUILLEX_WINE, QUILLEX_WINDOWS_QUILLEX});
    const ToolRun native = test::RunQuillex(nativeDir.path(), args);
    EXPECT_EQ(windows.status, native.status) << windows.err;
    EXPECT_EQ(inFolder(test::ReadJson(windowsDir / "r.json")), inFolder(test::ReadJson(nativeDir / "r.json")));
    const auto tree = TreeOf(nativeDir / "h");
    EXPECT_EQ(TreeOf(windowsDir / "h"), tree);
    EXPECT_GT(tree.size(), 4u);
  }
}

TEST(Windows, AMissingDumpIsAnInputOutputFailure) {
  TempDir dir;
  const ToolRun windows = RunProgram(dir.path(), {"missing.raw"}, Windows());
  const ToolRun native = test::RunQuillex4(dir.path(), {"missing.raw"});
  EXPECT_EQ(windows.status, 1);
  EXPECT_EQ(windows.out, native.out);
}

TEST(Windows, ADriveInTheArgumentGoesIntoTheFolderName) {
  // "_" goes before the whole argument: "_Z:\...\name.raw\". Windows refuses
  // a ":" in a folder name (reported as "ERROR: cannot create _Z:: Invalid
  // argument" and the unit skipped); Wine takes it and makes the folder
  // "_Z:" in the current one. Either way the run ends normally, with the
  // image and the log beside the dump.
  TempDir dir;
  test::WriteFile(dir / "name.raw", NamesDump(mk::kPageTypeNone));
  std::string windowsArg = "Z:" + dir.path().string() + "/name.raw";
  std::replace(windowsArg.begin(), windowsArg.end(), '/', '\\');
  const ToolRun run = RunProgram(dir.path(), {windowsArg}, Windows());
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("partition #01_" + windowsArg + "\\\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("OK!\r\nTask finished! Press ENTER to quit.\r\n"), std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(dir / "name.raw.fs"));
  EXPECT_TRUE(fs::exists(dir / "name.raw.log"));
  if (run.out.find("ERROR: cannot create _Z:: Invalid argument\r\n") == std::string::npos) {
    const Outcome native = RunOn(NamesDump(mk::kPageTypeNone), "name.raw", "name.raw", Native());
    EXPECT_EQ(TreeOf(dir.path() / ("_Z:" + dir.path().string()) / "name.raw"), native.tree);
  }
}

TEST(Windows, MkrawWritesTheSameDump) {
  FatVolume volume({FatType::Fat12, 0x800, 12, 16, "MSDOS5.0", "PHONE"});
  const FatVolume::Dir x = volume.AddDirectory(FatVolume::kRoot, "X");
  volume.AddFile(x, {"F.BIN", "", B(Pattern(5000, 12)), test::kAttrArchive, {}, {}, {}});
  TempDir dir;
  test::WriteFile(dir / "v.img", volume.Image());
  const std::vector<std::string> args = {"-o", "out.raw", "--page-type", "18", "--segments", "2", "--seed", "5",
                                         "--stale", "3", "/a=v.img"};
  RunOptions nativeMkraw;
  nativeMkraw.command = {QUILLEX_MKRAW_PATH};
  const ToolRun native = test::RunQuillex4(dir.path(), args, nativeMkraw);
  ASSERT_EQ(native.status, 0) << native.err;
  const std::string expected = test::ReadFile(dir / "out.raw");
  RunOptions options;
  options.command = {QUILLEX_WINE, QUILLEX_WINDOWS_MKRAW};
  options.timeoutMs = 120000;
  fs::remove(dir / "out.raw");
  const ToolRun windows = test::RunQuillex4(dir.path(), args, options);
  EXPECT_EQ(windows.status, 0) << windows.err;
  EXPECT_TRUE(test::ReadFile(dir / "out.raw") == expected) << "quillex-mkraw.exe wrote another dump";
  EXPECT_FALSE(fs::exists(dir / "out.raw.partial"));
}

TEST(Windows, ADumpJustUnder4GiBCannotBeHeldIn32Bits) {
  // The raw image is the dump plus 2,048 bytes: past 4 GiB, a size a 32-bit
  // program cannot even state. The run must stop with the memory report,
  // not wrap the size and read into a small buffer.
  if (ReadPeHeaders(QUILLEX_WINDOWS_EXE).machine != kMachineI386) {
    GTEST_SKIP() << QUILLEX_WINDOWS_EXE << " is not a 32-bit build (Wine cannot run 32-bit programs here, "
                 << "so scripts/test runs the 64-bit build under wine64): the 32-bit size limit cannot be shown";
  }
  const std::string sample = test::ReadFile(QUILLEX_SAMPLE);
  TempDir dir;
  test::WriteFile(dir / "name.raw", sample.substr(0, 4096));
  constexpr std::uint64_t kSize = 0xFFFFFE00;
  fs::resize_file(dir / "name.raw", kSize);  // sparse: no disk space taken
  const ToolRun run = RunProgram(dir.path(), {"name.raw"}, Windows());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Alloc read buffer...\r\nI/O failure: cannot allocate " + std::to_string(kSize + 2048) +
                         " bytes for the raw image: out of memory\r\n"),
            std::string::npos)
      << run.out;
}

// Every dump of the regression corpus.
class WindowsCorpus : public testing::TestWithParam<std::string> {};

// Dumps whose paths reach Windows' length limits (MAX_PATH, less 12 for a
// folder), which Linux does not have: the Windows run reports the path it
// cannot make where the native run makes it.
const std::map<std::string, std::string> kTooLongOnWindows = {
    {"dir_nesting_70_deep", "ERROR: cannot create _name.raw/a/D1/D2/D3/D4/D5/D6/D7/D8/D9/D10/D11/D12/D13/D14/D15/D16/"
                            "D17/D18/D19/D20/D21/D22/D23/D24/D25/D26/D27/D28/D29/D30/D31/D32/D33/D34/D35/D36/D37/"
                            "D38/D39/D40/D41/D42/D43/D44/D45/D46/D47/D48/D49/D50/D51/D52/D53/D54/D55: File name too long"},
    {"mtab_path_length_255", "ERROR: cannot create _name.raw/long_______________________ÿ_____________________" +
                                 std::string(205, 'a') + ": File name too long"},
};

TEST_P(WindowsCorpus, SameAsNative) {
  const std::string bytes = test::ReadFile(std::string(QUILLEX_CORPUS_DIR) + "/" + GetParam() + ".raw");
  const Bytes dump(bytes.begin(), bytes.end());
  const auto tooLong = kTooLongOnWindows.find(GetParam());
  if (tooLong == kTooLongOnWindows.end()) {
    ExpectSameRuns(dump);
    return;
  }
  const Outcome native = RunOn(dump, "name.raw", "name.raw", Native());
  const Outcome windows = RunOn(dump, "name.raw", "name.raw", Windows());
  EXPECT_EQ(windows.status, native.status);
  EXPECT_NE(Slashed(windows.console).find(tooLong->second + "\r\n"), std::string::npos) << windows.console;
  EXPECT_EQ(Slashed(native.console).find(tooLong->second), std::string::npos) << "native makes the path";
  EXPECT_TRUE(windows.image == native.image);
  // What Windows did save is what the native run saved.
  for (const auto& [name, data] : windows.tree) {
    ASSERT_EQ(native.tree.count(name), 1u) << name;
    EXPECT_TRUE(native.tree.at(name) == data) << name;
  }
  EXPECT_LT(windows.tree.size(), native.tree.size());
}

std::vector<std::string> CorpusNames() {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(QUILLEX_CORPUS_DIR)) {
    if (item.path().extension() == ".raw") names.push_back(item.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Dumps, WindowsCorpus, testing::ValuesIn(CorpusNames()),
                         [](const testing::TestParamInfo<std::string>& param) {
                           std::string name = param.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace quillex
