#include "support/examine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

namespace quillex::test {
namespace {

namespace fs = std::filesystem;

// Path text of the report with doubled separators made single.
std::string Normal(const std::string& path) { return fs::path(path).lexically_normal().generic_string(); }

// path -> digest, as `TOOL -z` prints them for every file below `top`.
std::map<std::string, std::string> Digests(const fs::path& dir, const std::string& tool, const std::string& top) {
  RunOptions options;
  options.command = {"/bin/bash", "-c", "find \"$1\" -type f -print0 | sort -z | xargs -0 -r " + tool + " -z", "-"};
  const ToolRun run = RunQuillex4(dir, {top}, options);
  EXPECT_EQ(run.status, 0) << tool << ": " << run.err;
  std::map<std::string, std::string> digests;
  std::size_t from = 0;
  while (from < run.out.size()) {
    const std::size_t end = run.out.find('\0', from);
    const std::string line = run.out.substr(from, end - from);
    const std::size_t gap = line.find("  ");
    if (gap != std::string::npos) digests[Normal(line.substr(gap + 2))] = line.substr(0, gap);
    from = end == std::string::npos ? run.out.size() : end + 1;
  }
  return digests;
}

// Every entry below `root`: relative path -> "d" or the file's bytes.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).generic_string();
    tree[rel] = entry.is_directory() ? std::string("d") : ReadFile(entry.path().string());
  }
  return tree;
}

}  // namespace

ToolRun RunQuillex(const fs::path& dir, const std::vector<std::string>& args, RunOptions options) {
  options.command = {QUILLEX_PATH};
  return RunQuillex4(dir, args, options);
}

Json ReadJson(const std::string& path) {
  const std::string text = ReadFile(path);
  Json json = Json::parse(text, nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << path << " is not JSON";
  return json;
}

void ExpectSameOutputs(const fs::path& a, const fs::path& b, const std::string& name) {
  for (const std::string& file : {name + ".fs", name + ".log"}) {
    EXPECT_EQ(fs::exists(a / file), fs::exists(b / file)) << file;
    if (fs::exists(a / file) && fs::exists(b / file)) {
      EXPECT_TRUE(ReadFile((a / file).string()) == ReadFile((b / file).string())) << file << " differs";
    }
  }
  const auto treeA = Tree(a / ("_" + name));
  const auto treeB = Tree(b / ("_" + name));
  EXPECT_EQ(treeA.size(), treeB.size());
  for (const auto& [path, content] : treeA) {
    const auto other = treeB.find(path);
    if (other == treeB.end()) {
      ADD_FAILURE() << path << " is missing";
      continue;
    }
    EXPECT_TRUE(content == other->second) << path << " differs";
    // An entry without a valid time leaves the time of the run.
    const auto timeA = fs::last_write_time(a / ("_" + name) / path);
    const auto timeB = fs::last_write_time(b / ("_" + name) / path);
    const auto recent = fs::file_time_type::clock::now() - std::chrono::hours(1);
    if (timeA < recent || timeB < recent) {
      EXPECT_EQ(timeA, timeB) << path << ": modification times differ";
    }
  }
}

void ExpectReportIsTheTree(const Json& report, const fs::path& output) {
  std::set<std::string> listed;
  std::map<std::string, const Json*> files;
  for (const Json& item : report["files"]) {
    if (item.contains("skipped")) continue;
    const std::string path = Normal(item["path"].get<std::string>());
    EXPECT_TRUE(listed.insert(path).second) << path << " listed twice";
    if (item["kind"] == "file") files[path] = &item;
  }
  // The unit folders, and the folders above them, are made by the run
  // itself, not from an entry.
  std::set<std::string> unitFolders;
  for (const Json& unit : report["units"]) {
    if (unit["path"].is_null()) continue;
    for (fs::path p = fs::path(Normal(unit["path"].get<std::string>())); !p.empty(); p = p.parent_path()) {
      unitFolders.insert(p.generic_string());
      if (p == p.parent_path()) break;
    }
  }
  for (const std::string& path : listed) unitFolders.erase(path);  // a file in a unit folder's place
  std::set<std::string> onDisk;
  const std::string top = "_" + fs::path(report["dump"]["path"].get<std::string>()).filename().string();
  if (fs::exists(output / top)) {
    for (const auto& entry : fs::recursive_directory_iterator(output / top)) {
      const std::string rel = Normal(entry.path().lexically_relative(output).generic_string());
      if (!unitFolders.contains(rel)) onDisk.insert(rel);
    }
  }
  EXPECT_EQ(listed, onDisk) << "the report's list is not the tree on disk";

  const std::vector<std::string> hashes = report["hashes"].get<std::vector<std::string>>();
  for (const std::string& hash : hashes) {
    const auto digests = Digests(output, "/usr/bin/" + hash + "sum", top);
    for (const auto& [path, item] : files) {
      const auto onDiskDigest = digests.find(path);
      ASSERT_NE(onDiskDigest, digests.end()) << path << " has no " << hash << "sum";
      EXPECT_EQ((*item)[hash].get<std::string>(), onDiskDigest->second) << hash << " of " << path;
    }
  }
}

void ExpectStatusesMatchConsole(const Json& report, const std::string& console) {
  std::map<std::string, const Json*> byPath;
  for (const Json& item : report["files"]) byPath[item["path"].get<std::string>()] = &item;
  auto item = [&](const std::string& path) -> const Json& {
    static const Json kNone = Json::object();
    const auto it = byPath.find(path);
    return it == byPath.end() ? kNone : *it->second;
  };
  auto has = [](const Json& i, const std::string& status) {
    return i.contains("status") && std::find(i["status"].begin(), i["status"].end(), status) != i["status"].end();
  };

  std::vector<std::string> warnings;
  std::set<std::string> warned;  // paths named by a warning
  std::size_t from = 0;
  while (from < console.size()) {
    const std::size_t end = console.find("\r\n", from);
    if (end == std::string::npos) break;
    std::string line = console.substr(from, end - from);
    from = end + 2;
    auto isWarning = [](const std::string& l) {
      return l.starts_with("WARNING: ") || l.starts_with("ERROR: ") || l.starts_with("Found lost cluster ") ||
             l.starts_with("        Partition type not");
    };
    // Three warnings complete an announcement the console left open.
    if (!isWarning(line)) {
      for (const char* start : {"ERROR: entry file", "ERROR: fs_block", "        Partition type not"}) {
        if (const std::size_t at = line.find(start); at != std::string::npos) line = line.substr(at);
      }
    }
    const bool warning = isWarning(line);
    if (!warning) continue;
    warnings.push_back(line);
    const std::size_t colon = line.find(": ", line.find(' ') + 1);
    if (line.starts_with("Found lost cluster ")) {
      const std::string path = line.substr(line.find(" in file: ") + 10);
      const auto cluster = static_cast<unsigned>(std::stoul(line.substr(19, 4), nullptr, 16));
      const Json& i = item(path);
      EXPECT_TRUE(has(i, "lost_clusters") &&
                  std::find(i["lost_clusters"].begin(), i["lost_clusters"].end(), cluster) != i["lost_clusters"].end())
          << line;
      warned.insert(path);
    } else if (line.starts_with("WARNING: file shorter than its size")) {
      const std::string path = line.substr(line.find("bytes): ") + 8);
      EXPECT_TRUE(has(item(path), "short")) << line;
      warned.insert(path);
    } else if (line.starts_with("WARNING: name in use, saved as: ")) {
      const std::string path = line.substr(32);
      EXPECT_TRUE(has(item(path), "renamed")) << line;
      warned.insert(path);
    } else if (line.starts_with("WARNING: loop in cluster chain at $")) {
      const std::string path = line.substr(colon + 2);
      const auto cluster = static_cast<unsigned>(std::stoul(line.substr(35, 4), nullptr, 16));
      EXPECT_TRUE(has(item(path), "chain_loop") && item(path)["loop_at"] == cluster) << line;
      warned.insert(path);
    } else if (line.find(", skipped: ") != std::string::npos) {
      const std::string path = line.substr(line.find(", skipped: ") + 11);
      EXPECT_TRUE(has(item(path), "skipped")) << line;
      warned.insert(path);
    } else if (line.starts_with("ERROR: cannot create ")) {
      // The path is followed by ": reason"; units' folders are no items.
      for (const auto& [path, i] : byPath) {
        if (line.starts_with("ERROR: cannot create " + path + ": ")) {
          EXPECT_TRUE(has(*i, "skipped")) << line;
          warned.insert(path);
        }
      }
    }
  }
  EXPECT_EQ(report["warnings"].get<std::vector<std::string>>(), warnings);
  for (const Json& i : report["files"]) {
    const std::string path = i["path"].get<std::string>();
    // A folder whose cluster is lost ends quietly on the console: the
    // report is where that shows.
    const bool quietFolder = i["kind"] == "folder" && i["status"] == Json::array({"lost_clusters"});
    if (!has(i, "complete") && !i.contains("skipped") && !quietFolder) {
      EXPECT_TRUE(warned.contains(path)) << path << " is not complete, and no warning names it";
    }
    if (has(i, "complete")) {
      EXPECT_FALSE(warned.contains(path)) << path << " is complete, yet a warning names it";
    }
  }
}

void ExpectListingMatchesReport(const Json& listing, const Json& report) {
  Json files = report["files"];
  for (Json& item : files) {
    for (const char* hash : {"md5", "sha1", "sha256"}) item.erase(hash);
  }
  ASSERT_EQ(listing.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(listing[i], files[i]);
}

}  // namespace quillex::test
