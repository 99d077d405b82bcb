// quillex on the sample dump and on dumps that end each way a run can end:
// its outputs beside quillex4's, its listing, body file, exit statuses,
// `cat`, and its progress line on a terminal.
#include <gtest/gtest.h>

#include <algorithm>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/examine.h"
#include "support/mtools_volume.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace fs = std::filesystem;

const std::string kSample = QUILLEX_SAMPLE;
const fs::path kCorpus = QUILLEX_CORPUS_DIR;

void CopyDump(const std::string& from, const std::string& to) {
  const std::string bytes = ReadFile(from);
  WriteFile(to, Bytes(bytes.begin(), bytes.end()));
}

TEST(Quillex, SampleExtractIsQuillex4sAndItsReportListingAndInfoAgree) {
  TempDir old, now;
  CopyDump(kSample, old / "sample.raw");
  fs::create_directory(now.path() / "in");
  CopyDump(kSample, now / "in/sample.raw");
  ASSERT_EQ(RunQuillex4(old.path(), {"sample.raw"}).status, 0);
  // Paths as given, with steps of ".", come back clean in the report and summary.
  const ToolRun run = RunQuillex(now.path(), {"extract", "./in//sample.raw", "-o", "out/.", "--report", "./r.json",
                                              "--hash", "md5,sha1,sha256"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "") << "no terminal: no progress line";
  EXPECT_EQ(run.out, "6 files extracted to " + (now.path() / "out" / "_sample.raw").string() + ", 0 warnings\n");
  EXPECT_FALSE(Exists(now / "in/sample.raw.fs")) << "-o puts every output in its folder";
  ExpectSameOutputs(old.path(), now.path() / "out", "sample.raw");

  const Json report = ReadJson(now / "r.json");
  EXPECT_EQ(report["dump"]["path"], (now.path() / "in" / "sample.raw").string());
  EXPECT_EQ(report["dump"]["size"], fs::file_size(kSample));
  EXPECT_EQ(report["image"]["size"], fs::file_size(now.path() / "out" / "sample.raw.fs"));
  ExpectReportIsTheTree(report, now.path() / "out");
  ExpectStatusesMatchConsole(report, "");
  EXPECT_EQ(report["totals"]["files"], 6);
  EXPECT_EQ(report["totals"]["deleted"], 1);
  // The dump's and the image's digests, as sha256sum gives them.
  RunOptions sum;
  sum.command = {"/usr/bin/sha256sum", "in/sample.raw", "out/sample.raw.fs"};
  const ToolRun sums = RunQuillex4(now.path(), {}, sum);
  EXPECT_EQ(sums.out, report["dump"]["sha256"].get<std::string>() + "  in/sample.raw\n" +
                          report["image"]["sha256"].get<std::string>() + "  out/sample.raw.fs\n");

  const ToolRun ls = RunQuillex(now.path(), {"ls", "--json", "in/sample.raw"});
  ASSERT_EQ(ls.status, 0) << ls.err;
  ExpectListingMatchesReport(Json::parse(ls.out), report);
  const ToolRun info = RunQuillex(now.path(), {"info", "--json", "in/sample.raw"});
  ASSERT_EQ(info.status, 0) << info.err;
  const Json facts = Json::parse(info.out);
  for (const char* field : {"version", "fs_block_size", "segments", "map", "units", "partitions"}) {
    EXPECT_EQ(facts[field], report[field]) << field;
  }
  EXPECT_EQ(facts["image"]["size"], report["image"]["size"]);
  EXPECT_EQ(facts["partitions"][0]["files"], 6);
  EXPECT_EQ(facts["partitions"][0]["folders"], 6);
  EXPECT_EQ(facts["partitions"][0]["deleted"], 1);
  EXPECT_FALSE(Exists(now / "in/sample.raw.log")) << "info and ls write nothing";
}

// mactime reads the body file and puts every file at its last write, as
// the report gives it (both in UTC here).
TEST(Quillex, BodyFileShowsEachFileAtItsModificationTimeInMactime) {
  QUILLEX_SKIP_WITHOUT_PROGRAM("mactime", "sleuthkit");
  TempDir dir;
  CopyDump(kSample, dir / "sample.raw");
  RunOptions utc;
  utc.command = {"/usr/bin/env", "TZ=UTC", QUILLEX_PATH};
  const ToolRun run = RunQuillex4(
      dir.path(), {"extract", "sample.raw", "-q", "--report", "r.json", "--bodyfile", "body", "--hash", "md5"}, utc);
  ASSERT_EQ(run.status, 0) << run.err;
  RunOptions mactime;
  mactime.command = {"/usr/bin/env", "TZ=UTC", "/usr/bin/mactime", "-b", "body", "-z", "UTC", "-y"};
  const ToolRun timeline = RunQuillex4(dir.path(), {}, mactime);
  ASSERT_EQ(timeline.status, 0) << timeline.err;

  // Each line: [time] size macb mode uid gid inode name; a blank time is the one above.
  std::multimap<std::string, std::string> modified;  // name -> time of its "m" lines
  std::istringstream lines(timeline.out);
  std::string time;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != ' ') time = line.substr(0, line.find(' '));
    std::istringstream fields(line[0] == ' ' ? line : line.substr(line.find(' ')));
    std::string size, macb, mode, uid, gid, inode, name;
    fields >> size >> macb >> mode >> uid >> gid >> inode;
    std::getline(fields >> std::ws, name);
    if (macb.size() == 4 && macb[0] == 'm') modified.emplace(name, time);
  }
  const Json report = ReadJson(dir / "r.json");
  int files = 0;
  for (const Json& item : report["files"]) {
    if (item["kind"] != "file") continue;
    ++files;
    const std::string name = item["path"].get<std::string>() + (item["deleted"].get<bool>() ? " (deleted)" : "");
    const auto [first, last] = modified.equal_range(name);
    ASSERT_NE(first, last) << name << " has no modification line";
    EXPECT_EQ(first->second, item["modified"].get<std::string>() + "Z") << name;
  }
  EXPECT_EQ(files, 6);
}

// Every way a run ends, with its exit status and what standard error says.
struct EndCase {
  std::string name;
  std::string dump;  // copied in as name.raw ("" for none)
  std::vector<std::string> args;
  int status;
  std::string err;  // found in standard error
  std::vector<std::string> before = {};  // a run made first, in the same folder
  std::string absent = {};               // what the run must not have made
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class Ends : public ::testing::TestWithParam<EndCase> {};

TEST_P(Ends, ExitStatusAndMessage) {
  const EndCase& c = GetParam();
  TempDir dir;
  if (!c.dump.empty()) CopyDump(c.dump, dir / "name.raw");
  WriteFile(dir / "plain", std::string("a file where a folder is wanted"));
  if (!c.before.empty()) {
    ASSERT_LE(RunQuillex(dir.path(), c.before).status, 1);
  }
  const ToolRun run = RunQuillex(dir.path(), c.args);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  EXPECT_NE(run.err.find(c.err), std::string::npos) << "standard error:\n" << run.err;
  // A wrong command line, or a run that cannot start, is one line.
  if (c.status == 64 || c.status == 3) {
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  if (!c.absent.empty()) {
    EXPECT_FALSE(fs::exists(dir / c.absent)) << c.absent << " was made";
  }
}

const std::string kCommands = "the commands are info, ls, extract, cat and history (see quillex --help)";
INSTANTIATE_TEST_SUITE_P(
    Quillex, Ends,
    ::testing::Values(
        EndCase{"done", kSample, {"extract", "-q", "name.raw"}, 0, ""},
        EndCase{"cat_done", kSample, {"cat", "name.raw", "Other/A longer note.txt"}, 0, ""},
        EndCase{"lost_clusters", (kCorpus / "two_lost_clusters_in_a_row.raw").string(), {"extract", "name.raw"}, 1,
                "Found lost cluster "},
        EndCase{"lost_clusters_listed", (kCorpus / "two_lost_clusters_in_a_row.raw").string(), {"ls", "name.raw"}, 1, ""},
        EndCase{"renamed", (kCorpus / "names_equal_but_for_case.raw").string(), {"extract", "name.raw"}, 1,
                "WARNING: name in use, saved as: "},
        EndCase{"refused", (kCorpus / "version_27.raw").string(), {"extract", "name.raw"}, 2,
                "quillex: name.raw: FATAL: This version is not supported. Check entry file!"},
        EndCase{"refused_info", (kCorpus / "no_map_block.raw").string(), {"info", "name.raw"}, 2, "quillex: name.raw: "},
        EndCase{"refused_mount_table", (kCorpus / "mount_table_entry_ffffff.raw").string(), {"info", "name.raw"}, 2,
                "quillex: name.raw: FATAL: No Mount Table found @ $"},
        EndCase{"no_dump", "", {"ls", "name.raw"}, 3, "quillex: cannot open name.raw: "},
        EndCase{"no_dump_in_a_folder", "", {"extract", "sub/none.raw", "-o", "out"}, 3,
                "quillex: cannot open sub/none.raw: No such file or directory", {}, "out"},
        EndCase{"dump_is_a_folder", "", {"info", "."}, 3, "quillex: .: is a directory"},
        EndCase{"output_is_a_file", kSample, {"extract", "name.raw", "-o", "plain"}, 3, "plain"},
        EndCase{"report_unwritable", kSample, {"extract", "name.raw", "--report", "plain/r.json"}, 3,
                "quillex: cannot write ", {}, "name.raw.fs"},
        EndCase{"body_file_unwritable", kSample, {"extract", "name.raw", "--bodyfile", "plain/b.txt"}, 3,
                "quillex: cannot write ", {}, "_name.raw"},
        EndCase{"used_output_folder", kSample, {"extract", "name.raw"}, 3,
                "quillex: an earlier run's outputs are there: ", {"extract", "-q", "name.raw"}},
        EndCase{"used_output_folder_forced", kSample, {"extract", "--force", "name.raw"}, 0,
                "quillex: --force: removed ", {"extract", "-q", "name.raw"}},
        EndCase{"used_history_folder", kSample, {"history", "name.raw", "--report", "r.json"}, 3,
                "(--force replaces them)", {"history", "-q", "name.raw", "--report", "r.json"}, "r.json.partial"},
        EndCase{"no_command", "", {}, 64, "quillex: no command given: " + kCommands},
        EndCase{"unknown_command", "", {"frob", "name.raw"}, 64, "quillex: unknown command frob: " + kCommands},
        EndCase{"unknown_option", "", {"--bogus"}, 64, "quillex: unknown option --bogus: " + kCommands},
        EndCase{"unknown_command_option", kSample, {"extract", "--bogus", "name.raw"}, 64,
                "quillex: The following argument was not expected: --bogus (see quillex extract --help)"},
        EndCase{"no_dump_named", "", {"info"}, 64, "quillex: DUMP is required (see quillex info --help)"},
        EndCase{"unknown_hash", kSample, {"extract", "name.raw", "--hash", "crc32"}, 64, "unknown digest"},
        EndCase{"none_with_others", kSample, {"extract", "name.raw", "--hash", "none,md5"}, 64, "unknown digest"},
        EndCase{"cat_missing_file", kSample, {"cat", "name.raw", "Other/nothing.txt"}, 64,
                "quillex: name.raw: no file Other/nothing.txt in the dump"},
        EndCase{"cat_folder", kSample, {"cat", "name.raw", "Other"}, 64, "Other is a folder"},
        EndCase{"history_out_of_order", (kCorpus / "history_copy_past_image.raw").string(), {"history", "name.raw"}, 1,
                "the map's order is not the order of writing: in the newest image, _name.raw/a/A.BIN: cluster 2 was "
                "written after its directory entry"},
        EndCase{"history_older_state_warns", (kCorpus / "history_copies_of_mount_table.raw").string(),
                {"history", "name.raw"}, 1, "state 2: FATAL: No Mount Table found @ $00000000"},
        EndCase{"history_refused", (kCorpus / "version_27.raw").string(), {"history", "name.raw"}, 2,
                "quillex: name.raw: FATAL: This version is not supported. Check entry file!"},
        EndCase{"history_output_is_a_file", (kCorpus / "history_copy_past_image.raw").string(),
                {"history", "name.raw", "-o", "plain"}, 3, "quillex: cannot create "},
        EndCase{"history_depth_zero", kSample, {"history", "name.raw", "--depth", "0"}, 64,
                "quillex: --depth: a number of states from 1 up, not 0 (see quillex history --help)"},
        EndCase{"help", "", {"--help"}, 0, ""},
        EndCase{"command_help", "", {"extract", "--help"}, 0, ""},
        EndCase{"version", "", {"ls", "--version"}, 0, ""}),
    CaseName{});

TEST(Quillex, HelpAndVersionGoToStandardOutput) {
  TempDir dir;
  EXPECT_EQ(RunQuillex(dir.path(), {"--version"}).out, "quillex 4.7.0\n");
  const ToolRun help = RunQuillex(dir.path(), {"extract", "--help"});
  for (const char* text : {"--report", "--bodyfile", "--hash", "-o", "-q", "Exit status: 0 done with nothing lost"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
}

TEST(Quillex, CatGivesTheBytesOnDiskLiveOrDeleted) {
  TempDir dir;
  CopyDump(kSample, dir / "sample.raw");
  ASSERT_EQ(RunQuillex(dir.path(), {"extract", "-q", "sample.raw"}).status, 0);
  for (const std::string path : {"_sample.raw/Other/A longer note.txt", "Other/Deleted memo.txt",
                                 "Sounds\\Ring tones\\Old phone ring.mid"}) {
    const ToolRun cat = RunQuillex(dir.path(), {"cat", "sample.raw", path});
    ASSERT_EQ(cat.status, 0) << path << ": " << cat.err;
    std::string onDisk = path;
    for (char& c : onDisk) c = c == '\\' ? '/' : c;
    if (!onDisk.starts_with("_sample.raw/")) onDisk = "_sample.raw/" + onDisk;
    EXPECT_TRUE(cat.out == ReadFile(dir / onDisk)) << path;
  }
}

// A dump whose map names every block once has no older state to show, and
// history makes nothing.
TEST(Quillex, HistoryWithoutSupersededCopiesSaysSo) {
  TempDir dir;
  CopyDump((kCorpus / "names_equal_but_for_case.raw").string(), dir / "name.raw");
  const ToolRun run = RunQuillex(dir.path(), {"history", "name.raw"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "no superseded copies: the dump holds no older state\n");
  EXPECT_FALSE(fs::exists(dir.path() / "_name.raw.history"));
}

// On a terminal the progress line shows; with -q, or on a pipe, it does not.
TEST(Quillex, ProgressLineOnlyOnATerminal) {
  TempDir dir;
  CopyDump(kSample, dir / "sample.raw");
  RunOptions terminal;
  terminal.command = {"/usr/bin/script", "-qefc"};
  const std::string quillex = QUILLEX_PATH;
  const ToolRun shown = RunQuillex4(dir.path(), {quillex + " extract sample.raw -o a", "/dev/null"}, terminal);
  ASSERT_EQ(shown.status, 0) << shown.out;
  // The first stage is drawn at once; the others within ten draws a second.
  EXPECT_TRUE(shown.out.starts_with("\rreading the dump 0%, 0.0 MiB/s")) << shown.out;
  EXPECT_TRUE(shown.out.ends_with("\r6 files extracted to " + (dir.path() / "a" / "_sample.raw").string() +
                                  ", 0 warnings\r\n"))
      << shown.out;
  const ToolRun quiet = RunQuillex4(dir.path(), {quillex + " extract -q sample.raw -o b", "/dev/null"}, terminal);
  ASSERT_EQ(quiet.status, 0) << quiet.out;
  EXPECT_EQ(quiet.out, "");
}

}  // namespace
}  // namespace quillex::test
