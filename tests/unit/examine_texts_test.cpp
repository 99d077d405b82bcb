// The texts and helpers of quillex: digests, the --hash list, paths as
// `cat` takes them, ISO times, body file lines, the progress line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "base/platform.h"
#include "cli/commands.h"
#include "cli/report.h"
#include "support/test_support.h"

namespace quillex::cli {
namespace {

using test::CaseName;

TEST(Hasher, KnownDigestsAndRunsOfZeros) {
  struct Known {
    platform::HashKind kind;
    const char* abc;
    const char* empty;
  };
  for (const Known& k : {Known{platform::HashKind::Md5, "900150983cd24fb0d6963f7d28e17f72",
                               "d41d8cd98f00b204e9800998ecf8427e"},
                         Known{platform::HashKind::Sha1, "a9993e364706816aba3e25717850c26c9cd0d89d",
                               "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                         Known{platform::HashKind::Sha256,
                               "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                               "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}}) {
    platform::Hasher abc(k.kind);
    abc.Update("a", 1);
    abc.Update("bc", 2);
    EXPECT_EQ(abc.HexDigest(), k.abc);
    EXPECT_EQ(platform::Hasher(k.kind).HexDigest(), k.empty);
    // A null piece stands for zeros, beyond the size of any buffer of them.
    const std::vector<std::uint8_t> zeros(200000, 0);
    platform::Hasher real(k.kind), implied(k.kind);
    real.Update(zeros.data(), zeros.size());
    implied.Update(nullptr, zeros.size());
    EXPECT_EQ(real.HexDigest(), implied.HexDigest());
  }
}

struct HashListCase {
  std::string name;
  std::string list;
  bool valid;
  HashChoice chosen;
};
void PrintTo(const HashListCase& c, std::ostream* os) { *os << c.list; }
class HashList : public testing::TestWithParam<HashListCase> {};

TEST_P(HashList, NamesTheDigests) {
  const HashListCase& c = GetParam();
  HashChoice chosen;
  ASSERT_EQ(ParseHashes(c.list, chosen), c.valid);
  if (!c.valid) return;
  EXPECT_EQ(chosen.md5, c.chosen.md5);
  EXPECT_EQ(chosen.sha1, c.chosen.sha1);
  EXPECT_EQ(chosen.sha256, c.chosen.sha256);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HashList,
    testing::Values(HashListCase{"sha256", "sha256", true, {false, false, true}},
                    HashListCase{"all_three", "md5,sha1,sha256", true, {true, true, true}},
                    HashListCase{"twice", "md5,md5", true, {true, false, false}},
                    HashListCase{"none", "none", true, {false, false, false}},
                    HashListCase{"none_and_more", "none,sha1", false, {}},
                    HashListCase{"empty", "", false, {}},
                    HashListCase{"empty_name", "md5,,sha1", false, {}},
                    HashListCase{"upper_case", "SHA256", false, {}},
                    HashListCase{"unknown", "crc32", false, {}}),
    CaseName());

struct PathCase {
  std::string name;
  std::string asked;
  std::string path;
  bool same;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.asked << " ~ " << c.path; }
class CatPath : public testing::TestWithParam<PathCase> {};

TEST_P(CatPath, MatchesAsListedOrFromTheUnitOn) {
  EXPECT_EQ(SamePath(GetParam().asked, GetParam().path), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CatPath,
    testing::Values(PathCase{"as_listed", "_d.raw//tpa/a.txt", "_d.raw//tpa/a.txt", true},
                    PathCase{"single_separators", "_d.raw/tpa/a.txt", "_d.raw//tpa/a.txt", true},
                    PathCase{"from_the_unit", "tpa/a.txt", "_d.raw//tpa/a.txt", true},
                    PathCase{"backslashes", "tpa\\a.txt", "_d.raw\\\\tpa\\a.txt", true},
                    PathCase{"leading_separator", "/tpa/a.txt", "_d.raw//tpa/a.txt", true},
                    PathCase{"case_counts", "TPA/a.txt", "_d.raw//tpa/a.txt", false},
                    PathCase{"only_the_name", "a.txt", "_d.raw//tpa/a.txt", false},
                    PathCase{"a_parent", "_d.raw/tpa", "_d.raw//tpa/a.txt", false},
                    PathCase{"nothing", "", "_d.raw//tpa/a.txt", false},
                    PathCase{"just_separators", "//", "_d.raw", false}),
    CaseName());

// date: years since 1980 << 9 | month << 5 | day; time: hour << 11 | minute << 5 | seconds / 2.
constexpr std::uint16_t Date(int y, int m, int d) { return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d); }
constexpr std::uint16_t Time(int h, int m, int s) { return static_cast<std::uint16_t>(h << 11 | m << 5 | s / 2); }

TEST(IsoTimes, ValidFieldsOnlyAndHundredthsOfTheCreationTime) {
  EXPECT_EQ(IsoDateTime(Date(2009, 4, 1), Time(12, 30, 44), 0), "2009-04-01T12:30:44");
  EXPECT_EQ(IsoDateTime(Date(2009, 4, 1), Time(12, 30, 44), 57), "2009-04-01T12:30:44.57");
  EXPECT_EQ(IsoDateTime(Date(2009, 4, 1), Time(12, 30, 44), 150), "2009-04-01T12:30:45.50");
  EXPECT_EQ(IsoDateTime(Date(2009, 4, 1), Time(12, 30, 44), 100), "2009-04-01T12:30:45");
  EXPECT_EQ(IsoDateTime(Date(2009, 4, 1), Time(12, 30, 44), 250), "2009-04-01T12:30:44");  // not valid: left out
  EXPECT_EQ(IsoDateTime(Date(2008, 2, 29), Time(23, 59, 58), 0), "2008-02-29T23:59:58");
  EXPECT_EQ(IsoDateTime(Date(2009, 2, 29), Time(0, 0, 0), 0), "");
  EXPECT_EQ(IsoDateTime(Date(2009, 13, 1), Time(0, 0, 0), 0), "");
  EXPECT_EQ(IsoDateTime(Date(2009, 1, 1), Time(24, 0, 0), 0), "");
  EXPECT_EQ(IsoDateTime(0, Time(1, 2, 4), 0), "");
  EXPECT_EQ(IsoDate(Date(2107, 12, 31)), "2107-12-31");
  EXPECT_EQ(IsoDate(0), "");
}

TEST(BodyLine, FieldsAsTimelineToolsReadThem) {
  const char* zone = std::getenv("TZ");
  const std::string saved = zone != nullptr ? zone : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  Item item;
  item.found.Path = "_d.raw/tpa/old.txt";
  item.found.Deleted = true;
  item.found.Attributes = 0x21;  // read-only, archive
  item.found.Size = 1234;
  item.found.EntryOffset = 0x1040;
  item.found.WrittenDate = Date(2009, 4, 1);
  item.found.WrittenTime = Time(12, 30, 44);
  item.found.AccessedDate = Date(2009, 4, 2);
  item.md5 = "0123456789abcdef0123456789abcdef";
  const std::string deleted = BodyLine(item);
  Item folder;
  folder.found.Path = "_d.raw/tpa";
  folder.found.Directory = true;
  folder.found.CreatedDate = Date(1980, 1, 1);
  const std::string live = BodyLine(folder);
  // No access date recorded: the last write, as the file on disk has it.
  Item written = item;
  written.found.AccessedDate = 0;
  const std::string unread = BodyLine(written);
  if (saved.empty()) {
    ::unsetenv("TZ");
  } else {
    ::setenv("TZ", saved.c_str(), 1);
  }
  ::tzset();
  EXPECT_EQ(deleted,
            "0123456789abcdef0123456789abcdef|_d.raw/tpa/old.txt (deleted)|130|r/rr-xr-xr-x|0|0|1234|1238630400|"
            "1238589044|0|0\n");
  EXPECT_EQ(live, "0|_d.raw/tpa|0|d/drwxrwxrwx|0|0|0|0|0|0|315532800\n");
  EXPECT_EQ(unread, "0123456789abcdef0123456789abcdef|_d.raw/tpa/old.txt (deleted)|130|r/rr-xr-xr-x|0|0|1234|1238589044|"
                    "1238589044|0|0\n");
}

TEST(ProgressLine, StageShareFilesAndRate) {
  Progress progress(stderr, false);
  progress.Stage("reading the dump", 4 << 20);
  progress.Done(1 << 20);
  EXPECT_EQ(progress.Line(0.5), "reading the dump 25%, 2.0 MiB/s");
  progress.Stage("extracting", 0);  // the total not known: no share
  progress.File();
  progress.File();
  progress.More(3 << 20);
  EXPECT_EQ(progress.Line(2.0), "extracting, 2 files, 1.5 MiB/s");
  progress.Stage("writing the image", 10);
  progress.Done(20);
  EXPECT_EQ(progress.Line(0), "writing the image 100%, 2 files, 0.0 MiB/s");
}

}  // namespace
}  // namespace quillex::cli
