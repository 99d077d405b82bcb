// The regression corpus: every damaged dump of tests/corpus runs through the
// real quillex4, one test instance per line of tests/corpus/cases.txt:
//
//   NAME.raw|exit status|console lines|what the dump breaks
//
// Each run must end by itself within the time limit, not by a signal, with
// the listed exit status and nothing on standard error (where the sanitizers
// report); the console must hold the listed lines, next to each other and
// each a whole CR LF line; the dump must stay as it was; and nothing may be
// made in the run's folder but name.raw.fs, name.raw.log and the tree below
// _name.raw, which must hold only plain files and directories that resolve
// inside it. A file of the corpus folder without a line is a failing
// instance of its own, so a fuzzer finding dropped there cannot be forgotten.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/platform.h"
#include "support/examine.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = QUILLEX_CORPUS_DIR;

// Files of the corpus folder that are not dumps.
const std::set<std::string> kNotDumps = {"cases.txt", "make_corpus.cpp", "README.md"};

struct CorpusCase {
  std::string name;      // instance name
  std::string file;      // the dump, in the corpus folder
  int status = 0;
  std::string expected;  // lines joined with CR LF
  std::string note;
  std::string problem;   // a fault of the list itself; the instance fails with it
};

void PrintTo(const CorpusCase& c, std::ostream* os) { *os << c.file; }

// "\n" is a line break (CR LF on the console), "\xHH" a byte, "\\" a backslash.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const char kind = text[++i];
    if (kind == 'n') {
      out += "\r\n";
    } else if (kind == '\\') {
      out += '\\';
    } else if (kind == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// Bytes as they read in cases.txt, for failure messages.
std::string Shown(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n\n";
    } else if (c == '\r') {
      continue;
    } else if (byte < 0x20 || byte >= 0x7F) {
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

std::string InstanceName(const std::string& file) {
  std::string name = file.size() > 4 && file.ends_with(".raw") ? file.substr(0, file.size() - 4) : file;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name.empty() ? "unnamed" : name;
}

std::vector<CorpusCase> LoadCases() {
  std::vector<CorpusCase> cases;
  std::set<std::string> listed;
  std::ifstream in(kCorpus / "cases.txt", std::ios::binary);
  if (!in) {
    CorpusCase c;
    c.name = "cases_txt";
    c.problem = "cannot read " + (kCorpus / "cases.txt").string();
    cases.push_back(c);
  }
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    CorpusCase c;
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (int i = 0; i < 3; ++i) {
      const std::size_t bar = line.find('|', from);
      if (bar == std::string::npos) break;
      fields.push_back(line.substr(from, bar - from));
      from = bar + 1;
    }
    fields.push_back(line.substr(from));
    c.file = fields[0];
    c.name = InstanceName(c.file);
    const std::string where = "cases.txt line " + std::to_string(lineNumber) + ": ";
    const bool first = listed.insert(c.file).second;
    if (fields.size() != 4) {
      c.problem = where + "not NAME|STATUS|CONSOLE|NOTE";
    } else if (fields[1] != "0" && fields[1] != "1") {
      c.problem = where + "exit status must be 0 or 1";
    } else if (!Unescape(fields[2], c.expected)) {
      c.problem = where + "bad escape in the console text";
    } else if (c.expected.empty()) {
      c.problem = where + "no console text to look for";
    } else if (!first) {
      c.problem = where + c.file + " is listed twice";
    } else if (!fs::is_regular_file(kCorpus / c.file)) {
      c.problem = where + c.file + " is not in " + kCorpus.string();
    }
    if (fields.size() == 4) {
      c.status = fields[1] == "1" ? 1 : 0;
      c.note = fields[3];
    }
    cases.push_back(c);
  }

  std::vector<std::string> unlisted;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kCorpus, error)) {
    const std::string file = entry.path().filename().string();
    if (!kNotDumps.contains(file) && !listed.contains(file)) unlisted.push_back(file);
  }
  std::sort(unlisted.begin(), unlisted.end());
  for (const std::string& file : unlisted) {
    CorpusCase c;
    c.file = file;
    c.name = "unlisted_" + InstanceName(file);
    c.problem = file + " lies in the corpus folder without a line in cases.txt";
    cases.push_back(c);
  }

  // Instance names must differ.
  std::set<std::string> names;
  for (CorpusCase& c : cases) {
    const std::string base = c.name;
    for (int n = 2; !names.insert(c.name).second; ++n) c.name = base + "_" + std::to_string(n);
  }
  return cases;
}

// True when `lines` (CR LF between them) stand in `out` as whole lines.
bool HasLines(const std::string& out, const std::string& lines) {
  const std::string wanted = lines + "\r\n";
  for (std::size_t at = out.find(wanted); at != std::string::npos; at = out.find(wanted, at + 1)) {
    if (at == 0 || out[at - 1] == '\n') return true;
  }
  return false;
}

// Everything in the run's folder is the dump, an allowed output, or lies
// below the tree (_name.raw): plain files and directories, no links, inside it.
void CheckFolder(const fs::path& root, const std::string& treeName = "_name.raw",
                 const std::set<std::string>& files = {"name.raw", "name.raw.fs", "name.raw.log"}) {
  const fs::path tree = root / treeName;
  const fs::path treeReal = fs::exists(tree) ? fs::canonical(tree) : fs::path();
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path rel = it->path().lexically_relative(root);
    const std::string top = rel.begin()->string();
    const fs::file_status status = it->symlink_status();
    EXPECT_FALSE(fs::is_symlink(status)) << "link made: " << rel;
    if (files.contains(top)) {
      EXPECT_TRUE(fs::is_regular_file(status)) << rel << " is not a plain file";
      continue;
    }
    ASSERT_EQ(top, treeName) << "made outside the outputs allowed and " << treeName << ": " << rel;
    EXPECT_TRUE(fs::is_regular_file(status) || fs::is_directory(status)) << rel << " is neither file nor directory";
    if (rel == fs::path(treeName)) {
      EXPECT_TRUE(fs::is_directory(status));
      continue;
    }
    const fs::path real = fs::weakly_canonical(it->path());
    const auto [treeEnd, realAt] = std::mismatch(treeReal.begin(), treeReal.end(), real.begin(), real.end());
    EXPECT_TRUE(treeEnd == treeReal.end() && realAt != real.end()) << rel << " resolves outside _name.raw: " << real;
  }
}

class Corpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(Corpus, EndsAsListedAndWritesOnlyItsOutputs) {
  const CorpusCase& c = GetParam();
  ASSERT_TRUE(c.problem.empty()) << c.problem;
  SCOPED_TRACE(c.file + ": " + c.note);

  const std::string dump = ReadFile((kCorpus / c.file).string());
  TempDir dir;
  WriteFile(dir / "name.raw", Bytes(dump.begin(), dump.end()));
  RunOptions options;  // no input: standard input is closed at once
  options.timeoutMs = 60000;
  const ToolRun run = RunQuillex4(dir.path(), {"name.raw"}, options);

  ASSERT_FALSE(run.timedOut) << "still running after 60 s; console so far:\n" << Shown(run.out);
  ASSERT_NE(run.status, -1) << "ended by a signal; standard error:\n" << run.err;
  EXPECT_EQ(run.err, "") << "standard error is not empty (a sanitizer report?)";
  EXPECT_EQ(run.status, c.status) << Shown(run.out);
  EXPECT_TRUE(HasLines(run.out, c.expected)) << "expected these whole lines:\n"
                                             << Shown(c.expected) << "\nconsole:\n"
                                             << Shown(run.out);
  EXPECT_TRUE(ReadFile(dir / "name.raw") == dump) << "the dump was changed";
  CheckFolder(dir.path());
}

// quillex extract on the same dump: quillex4's outputs byte for byte, the
// exit status of the run's outcome, and a report that tells the tree, the
// digests and the warnings as they are.
TEST_P(Corpus, ExtractGivesQuillex4sOutputsAndATrueReport) {
  const CorpusCase& c = GetParam();
  ASSERT_TRUE(c.problem.empty()) << c.problem;
  SCOPED_TRACE(c.file + ": " + c.note);
  const std::string dump = ReadFile((kCorpus / c.file).string());
  TempDir old, now, reports;
  WriteFile(old / "name.raw", Bytes(dump.begin(), dump.end()));
  WriteFile(now / "name.raw", Bytes(dump.begin(), dump.end()));
  const ToolRun classic = RunQuillex4(old.path(), {"name.raw"});
  const ToolRun run = RunQuillex(
      now.path(), {"extract", "name.raw", "-q", "--hash", "sha256,sha1,md5", "--report", reports / "r.json"});
  ASSERT_NE(run.status, -1) << run.err;
  ExpectSameOutputs(old.path(), now.path(), "name.raw");
  CheckFolder(now.path());

  const bool finished = classic.out.find("\r\nTask finished! Press ENTER to quit.\r\n") != std::string::npos;
  if (!finished) {
    const bool inputOutput = classic.status == 1 || classic.out.find("Fatal error while") != std::string::npos;
    EXPECT_EQ(run.status, inputOutput ? 3 : 2) << run.err;
    EXPECT_NE(run.err, "") << "a refused dump is reported on standard error";
    EXPECT_FALSE(Exists(reports / "r.json"));
    return;
  }
  const Json report = ReadJson(reports / "r.json");
  ExpectReportIsTheTree(report, now.path());
  ExpectStatusesMatchConsole(report, classic.out);
  bool allComplete = true;
  for (const Json& item : report["files"]) allComplete = allComplete && item["status"] == Json::array({"complete"});
  EXPECT_EQ(run.status, report["warnings"].empty() && allComplete ? 0 : 1);

  // A listing makes no folder, so it walks on where a folder could not be made.
  if (report.dump().find("ERROR: cannot create") == std::string::npos) {
    const ToolRun ls = RunQuillex(now.path(), {"ls", "--json", "name.raw"});
    EXPECT_EQ(ls.status, run.status);
    ExpectListingMatchesReport(Json::parse(ls.out), report);
  }
}

// quillex history on the same dump walks every older state without a crash
// and makes nothing outside its folder; its report names every file, block
// and image made there, with the file's digest and the block's bytes as the
// dump holds them at the offset given.
TEST_P(Corpus, HistoryWritesOnlyInsideItsFolderWhatItsReportNames) {
  const CorpusCase& c = GetParam();
  ASSERT_TRUE(c.problem.empty()) << c.problem;
  SCOPED_TRACE(c.file + ": " + c.note);
  const std::string dump = ReadFile((kCorpus / c.file).string());
  TempDir dir;
  WriteFile(dir / "name.raw", Bytes(dump.begin(), dump.end()));
  const ToolRun run = RunQuillex(
      dir.path(), {"history", "name.raw", "-q", "-o", "h", "--report", "r.json", "--blocks", "--images", "--depth", "4"});
  ASSERT_NE(run.status, -1) << run.err;
  CheckFolder(dir.path(), "h", {"name.raw", "r.json"});
  EXPECT_TRUE(ReadFile(dir / "name.raw") == dump) << "the dump was changed";
  if (!fs::exists(dir.path() / "r.json")) {
    EXPECT_TRUE(run.status == 2 || run.status == 3) << run.status << ": " << run.err;
    return;
  }
  EXPECT_LE(run.status, 1) << run.err;
  const Json report = ReadJson(dir / "r.json");
  std::set<fs::path> named;
  for (const Json& item : report["files"]) {
    if (item["saved_as"].is_null()) continue;
    const fs::path saved = item["saved_as"].get<std::string>();
    if (item["kind"] == "folder") {
      EXPECT_TRUE(fs::is_directory(saved)) << saved;
      continue;
    }
    named.insert(saved);
    const std::string bytes = ReadFile(saved.string());
    platform::Hasher sha256(platform::HashKind::Sha256);
    sha256.Update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(item["sha256"], sha256.HexDigest()) << saved;
  }
  for (const Json& block : report["blocks"]) {
    if (block["file"].is_null()) continue;
    const fs::path saved = block["file"].get<std::string>();
    named.insert(saved);
    const std::string bytes = ReadFile(saved.string());
    EXPECT_EQ(bytes.size(), block["bytes_in_dump"].get<std::size_t>()) << saved;
    // A block's first bytes lie together in the dump, a page's data at least.
    const std::size_t at = block["dump_offset"].get<std::size_t>(), n = std::min<std::size_t>(bytes.size(), 512);
    EXPECT_TRUE(at + n <= dump.size() && bytes.compare(0, n, dump, at, n) == 0) << saved << " at " << at;
  }
  for (const Json& state : report["states"]) {
    if (state["image"].is_null()) continue;
    const fs::path image = state["image"].get<std::string>();
    named.insert(image);
    EXPECT_EQ(fs::file_size(image), report["image"]["size"].get<std::uintmax_t>()) << image;
  }
  if (!fs::exists(dir.path() / "h")) return;
  std::set<fs::path> made;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "h")) {
    if (entry.is_regular_file()) made.insert(entry.path());
  }
  EXPECT_EQ(made, named) << "the files made are not those the report names";
}

INSTANTIATE_TEST_SUITE_P(Cases, Corpus, ::testing::ValuesIn(LoadCases()), CaseName{});

}  // namespace
}  // namespace quillex::test
