// A volume's older states, packed with quillex-mkraw --history as a flash
// writes them, come back as mcopy extracts each of them: every file version
// an older state held, with its times, and nothing that no state held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/examine.h"
#include "support/mtools_volume.h"
#include "support/test_support.h"

namespace quillex::test {
namespace {

namespace fs = std::filesystem;

struct HistoryCase {
  std::string name;
  FatType bits;
  std::string pageType;
  int olderStates;
  PcLayout pc{};
};
void PrintTo(const HistoryCase& c, std::ostream* os) { *os << c.name; }

class HistoryTest : public testing::TestWithParam<HistoryCase> {};

using FileSet = std::map<std::string, std::vector<std::pair<std::string, fs::file_time_type>>>;

// Every file below `root`, by lower-case relative path (short names come
// back upper case), with its bytes and time.
void AddFiles(const fs::path& root, FileSet& files) {
  if (!fs::exists(root)) return;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string rel = entry.path().lexically_relative(root).generic_string();
    for (char& ch : rel) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    files[rel].emplace_back(ReadFile(entry.path().string()), fs::last_write_time(entry.path()));
  }
}

bool Holds(const FileSet& files, const std::string& rel, const std::string& bytes) {
  const auto at = files.find(rel);
  return at != files.end() && std::any_of(at->second.begin(), at->second.end(),
                                          [&](const auto& version) { return version.first == bytes; });
}

// The older states and the newest one: a list edited in place every time,
// and in turn a diary edited, photos deleted, a note renamed, new files,
// a folder made and a folder deleted with its files. Returns the older
// volumes' files as mcopy extracts them, and the newest's in `newest`.
FileSet MakeStates(const TempDir& work, const HistoryCase& c, std::vector<std::string>& args, FileSet& newest) {
  RandomTreeOptions options;
  options.depth = 1;
  options.filesPerDirectory = 3;
  options.maxFileBytes = 9000;
  const fs::path tree = work.path() / "tree";
  WriteRandomTree(tree, options);
  fs::create_directories(tree / "Album");
  for (const std::uint64_t i : {1u, 2u, 3u}) {
    WriteFile((tree / "Album" / ("IMG_" + std::to_string(i) + ".JPG")).string(), SeededBytes(3000, i));
  }
  WriteFile((tree / "Список покупок.txt").string(), std::string("bread\n"));
  WriteFile((tree / "DIARY.TXT").string(), SeededBytes(5000, 9));
  WriteFile((tree / "NOTE0.TXT").string(), std::string("a note renamed again and again\n"));
  MtoolsVolumeSpec layout;
  layout.bits = c.bits;
  layout.pc = c.pc;
  layout.sizeKiB = c.bits == FatType::Fat12 ? 1536 : 0;
  MtoolsVolume volume = MakeMtoolsVolumeFromTree(layout, tree, work.path() / "v.img");
  FileSet older;
  auto extract = [&](const std::string& image, FileSet& into) {
    const fs::path out = work.path() / ("mcopied-" + image);
    fs::create_directory(out);
    const ProgramOutput copied =
        RunProgramIn(work.path(), {FindProgram("mcopy"), "-s", "-m", "-n", "-i", image, "::/", out.string() + "/"});
    ASSERT_EQ(copied.status, 0) << copied.err;
    AddFiles(out, into);
  };
  auto source = [&](const std::string& name, const std::string& bytes, int step) {
    const fs::path path = work.path() / "src" / std::to_string(step) / name;
    fs::create_directories(path.parent_path());
    WriteFile(path.string(), bytes);
    SetModificationTime(path, "2012-03-" + std::to_string(10 + step) + " 08:0" + std::to_string(step % 10) + ":20");
    return path;
  };
  std::string note = "NOTE0.TXT";
  for (int step = 1; step <= c.olderStates; ++step) {
    const std::string old = "v" + std::to_string(step) + ".img";
    fs::copy_file(volume.image, work.path() / old);
    extract(old, older);
    args.insert(args.end(), {"--history", old});
    std::string list;
    for (int line = 0; line < step; ++line) list += "item " + std::to_string(line) + " of the list, version " + std::to_string(step) + "\n";
    OverwriteInVolume(volume, source("Список покупок.txt", list, step), "::/Список покупок.txt");
    const std::string n = std::to_string(step);
    switch (step % 4) {
      case 1:
        OverwriteInVolume(volume, source("DIARY.TXT", std::string(5000 - 700 * static_cast<std::size_t>(step), 'd') + n, step), "::/DIARY.TXT");
        if (step == 1) DeleteFromVolume(volume, "::/Album/IMG_1.JPG");
        break;
      case 2:
        RenameInVolume(volume, "::/" + note, "::/NOTE" + n + ".TXT");
        note = "NOTE" + n + ".TXT";
        CopyIntoVolume(volume, {source("NEW" + n + ".TXT", "new in state " + n + "\n", step)}, "::/");
        break;
      case 3:
        DeleteFolderFromVolume(volume, step == 3 ? "::/Album" : "::/TRIP" + std::to_string(step - 3));
        CopyIntoVolume(volume, {source("IMG_" + n + ".JPG", std::string(2500 + 100 * static_cast<std::size_t>(step), 'j'), step)}, "::/");
        break;
      default:
        MakeVolumeDirectory(volume, "::/TRIP" + n);
        CopyIntoVolume(volume, {source("PHOTO.JPG", std::string(4000, static_cast<char>('a' + step)), step)}, "::/TRIP" + n);
        DeleteFromVolume(volume, "::/NEW" + std::to_string(step - 2) + ".TXT");
        break;
    }
  }
  fs::copy_file(volume.image, work.path() / "newest.img");
  extract("newest.img", newest);
  args.push_back("/=" + volume.image.string());
  return older;
}

// What a history report and folder hold against the states: every older
// version comes back with its bytes and time (`whole`), and every file
// reported as one was held by a state, and not as the newest holds it.
void CheckHistory(const fs::path& dir, const FileSet& older, const FileSet& newest, bool whole) {
  const Json report = ReadJson((dir / "r.json").string());
  FileSet back;  // the versions saved, by their path below the state's folder
  for (const Json& item : report["files"]) {
    if (item["kind"] != "file" || item["saved_as"].is_null()) continue;
    const std::string verdict = item["verdict"].get<std::string>();
    if (whole) {
      EXPECT_NE(verdict, "inconsistent") << item.dump();
    }
    if (verdict != "older_version" && verdict != "gone") continue;
    const fs::path saved = item["saved_as"].get<std::string>();
    const fs::path top = dir / "older" / std::to_string(item["state"].get<int>());
    std::string rel = saved.lexically_relative(top).generic_string();
    for (char& ch : rel) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string bytes = ReadFile(saved.string());
    EXPECT_TRUE(Holds(older, rel, bytes)) << rel << " is reported as a version no state held";
    EXPECT_FALSE(Holds(newest, rel, bytes)) << rel << " is the newest state's";
    EXPECT_EQ(item["older_version"].get<bool>(), newest.contains(rel)) << rel;
    back[rel].emplace_back(bytes, fs::last_write_time(saved));
  }
  for (const auto& [rel, versions] : older) {
    for (const auto& [bytes, when] : versions) {
      if (!whole) return;
      if (Holds(newest, rel, bytes)) continue;
      const auto got = back.find(rel);
      ASSERT_TRUE(Holds(back, rel, bytes)) << rel << ": a version of " << bytes.size() << " bytes did not come back";
      EXPECT_TRUE(std::any_of(got->second.begin(), got->second.end(),
                              [&](const auto& v) { return v.first == bytes && v.second == when; }))
          << rel << ": not with mcopy's time";
    }
  }
}

TEST_P(HistoryTest, EveryOlderVersionComesBackAndNothingElse) {
  const HistoryCase& c = GetParam();
  QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS();
  TempDir work;
  std::vector<std::string> args = {"-o", "d.raw", "--page-type", c.pageType, "--patch-boot"};
  FileSet newest;
  const FileSet older = MakeStates(work, c, args, newest);
  const ProgramOutput made = RunQuillexMkraw(work.path(), args);
  ASSERT_EQ(made.status, 0) << made.err;
  const ToolRun history =
      RunQuillex(work.path(), {"history", "d.raw", "-o", "older", "--report", "r.json", "--images", "--blocks"});
  // Older states hold deleted entries too, whose walk can warn: the folder
  // deleted in the third change, in the states after it.
  ASSERT_EQ(history.status, c.olderStates < 4 ? 0 : 1) << history.err << history.out;
  CheckHistory(work.path(), older, newest, /*whole=*/true);

  // Each state's image, and each superseded copy written for carving is
  // the block of the newest state that takes it.
  const Json report = ReadJson(work / "r.json");
  const std::uint32_t blockSize = report["fs_block_size"].get<std::uint32_t>();
  EXPECT_GE(report["states"].size(), 1u);
  std::map<int, std::string> images;
  for (const Json& state : report["states"]) images[state["state"].get<int>()] = ReadFile(state["image"].get<std::string>());
  for (const Json& block : report["blocks"]) {
    if (block["kind"] != "superseded" || block["state"].is_null()) continue;
    const std::uint32_t logical = block["logical"].get<std::uint32_t>();
    EXPECT_TRUE(ReadFile(block["file"].get<std::string>()) ==
                images[block["state"].get<int>()].substr((std::size_t{logical} - 1) * blockSize, blockSize))
        << "block " << logical;
  }
}

// Copies no state explains (random stale ones), and the older copies laid
// out block by block so that the map's order is not the order of writing:
// what cannot be trusted is inconsistent, never a version.
TEST_P(HistoryTest, UntrustedCopiesAreNeverVersions) {
  const HistoryCase& c = GetParam();
  QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS();
  TempDir work;
  std::vector<std::string> args = {"-o", "d.raw", "--page-type", c.pageType, "--patch-boot"};
  FileSet newest;
  const FileSet older = MakeStates(work, c, args, newest);
  for (const std::vector<std::string>& layout : {std::vector<std::string>{"--stale", "60", "--seed", "7"},
                                                 std::vector<std::string>{"--history-per-block"}}) {
    SCOPED_TRACE(layout.front());
    std::vector<std::string> with = args;
    with.insert(with.begin(), layout.begin(), layout.end());
    const ProgramOutput made = RunQuillexMkraw(work.path(), with);
    ASSERT_EQ(made.status, 0) << made.err;
    const ToolRun history =
        RunQuillex(work.path(), {"history", "d.raw", "-q", "--force", "-o", "older", "--report", "r.json"});
    ASSERT_LE(history.status, 1) << history.err;
    CheckHistory(work.path(), older, newest, /*whole=*/false);
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, HistoryTest,
                         testing::Values(HistoryCase{"fat12_no_spares_1", FatType::Fat12, "none", 1},
                                         HistoryCase{"fat12_small_pages_3", FatType::Fat12, "18", 3},
                                         HistoryCase{"fat16_large_pages_8", FatType::Fat16, "2", 8},
                                         HistoryCase{"fat16_small_pages_5", FatType::Fat16, "18", 5},
                                         HistoryCase{"fat12_two_fats_2", FatType::Fat12, "18", 2, {false, 0, 2, 0, 0}}),
                         CaseName{});

}  // namespace
}  // namespace quillex::test
