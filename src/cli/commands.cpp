#include "cli/commands.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/gather.h"
#include "base/paths.h"
#include "fat/fat.h"
#include "base/platform.h"
#include "cli/report.h"
#include "partition/partition.h"
#include "tool/run.h"

namespace quillex::cli {
namespace {

void Error(const std::string& text) { (void)platform::WriteText(stderr, "quillex: " + text + "\n"); }

std::string BaseName(const std::string& path) {
  std::size_t at = path.size();
  while (at > 0 && !platform::IsSeparator(path[at - 1])) --at;
  return path.substr(at);
}

std::string Folder(const std::string& path) {
  const std::string base = BaseName(path);
  if (base.size() == path.size()) return ".";
  const std::string folder = path.substr(0, path.size() - base.size());
  return folder.size() == 1 ? folder : folder.substr(0, folder.size() - 1);
}

std::string Absolute(const std::string& path) {
  if (path.empty() || platform::IsAbsolute(path)) return path;
  std::string here;
  if (auto st = platform::CurrentDirectory(here); !st.ok()) {
    throw IoFailure("cannot read the working directory: " + st.Reason());
  }
  return here + platform::kSeparator + path;
}

// The run of a command: the stages up to the normal FS image, then, when
// asked, the partitions. The console texts of quillex4 are not shown.
struct Session {
  // The outputs are named after the dump's own name, as quillex4 names
  // them when run in the dump's folder.
  Session(const std::string& dump, HashChoice hashes, Progress* progress) : listing(hashes, progress) {
    state.Console = TextOut::Nowhere();
    state.LogFile = TextOut::Nowhere();  // until an extraction creates the log
    state.EntryName = BaseName(dump);
    state.EntryFile = dump;
    state.Report = &listing;
  }
  RunState state;
  Listing listing;
};

// The folder a command writes its outputs in; one that is there already will do.
void MakeFolder(const std::string& path) {
  if (auto st = platform::MakeDirectory(path); !st.ok() && !(st.error == EEXIST && platform::IsDirectory(path))) {
    throw IoFailure("cannot create " + path + ": " + st.Reason());
  }
}

// Runs `body` and turns the ways a run can end into exit statuses.
int Guarded(const std::string& dump, const std::function<int()>& body) {
  try {
    return body();
  } catch (const FatalStop& stop) {
    Error(dump + ": " + stop.Line);
    return stop.InputOutput ? kExitInputOutput : kExitRefused;
  } catch (const IoFailure& failure) {
    Error(failure.what());
    return kExitInputOutput;
  }
}

int Outcome(const Listing& listing) {
  return listing.warnings.empty() && !listing.anyIncomplete ? kExitDone : kExitWarnings;
}

void BuildImage(RunState& s) {
  LoadRawHeader(s, s);
  LoadSegments(s, s);
  FindMapBlocks(s, s);
  BuildBlockMap(s, s);
  BuildFsImage(s, s);
}

// Every partition walked without writing anything.
void ListOnly(Session& session) {
  session.state.ListOnly = true;
  BuildImage(session.state);
  ProcessMountTable(session.state, session.state, session.state, session.state.NamesCreated);
}

// The pieces one after another, in one gathered write: a report of
// thousands of files is never copied together in memory.
void WriteFile(const std::string& name, std::initializer_list<std::string_view> texts) {
  std::vector<platform::Piece> pieces;
  for (const std::string_view text : texts) pieces.push_back({text.data(), text.size()});
  platform::File file;
  platform::Status st = platform::CreateFile(name, file);
  if (st.ok()) st = platform::WriteGathered(file, pieces);
  if (st.ok()) st = platform::Close(file);
  if (!st.ok()) throw IoFailure("cannot write " + name + ": " + st.Reason());
}

void WriteOut(const std::string& text) {
  if (auto st = platform::WriteText(stdout, text); !st.ok()) {
    throw IoFailure("cannot write to standard output: " + st.Reason());
  }
}

// SHA-256 of a whole file, read in large pieces.
std::string HashFile(const std::string& name, std::string& failure) {
  platform::File file;
  if (auto st = platform::OpenForReading(name, file); !st.ok()) {
    failure = "cannot open " + name + ": " + st.Reason();
    return {};
  }
  platform::Hasher hasher(platform::HashKind::Sha256);
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  while (true) {
    std::size_t got = 0;
    if (auto st = platform::ReadFully(file, buffer.data(), buffer.size(), got); !st.ok()) {
      failure = "cannot read " + name + ": " + st.Reason();
      return {};
    }
    hasher.Update(buffer.data(), got);
    if (got < buffer.size()) break;
  }
  return hasher.HexDigest();
}

// SHA-256 of the normal FS image as written: every block up to the highest
// one, zeros where the map names none.
std::string HashImage(const RawImageState& s) {
  platform::Hasher hasher(platform::HashKind::Sha256);
  s.FsImage.ForEachPiece(0, std::uint64_t{s.MaxBlockNumber} * s.FsBlockSize,
                         [&](const std::uint8_t* data, std::size_t n) { hasher.Update(data, n); });
  return hasher.HexDigest();
}

// Counts the bytes an extraction will write, for the share shown while it
// runs: the same walk, writing nothing.
class Survey : public Findings {
 public:
  void ItemEnd(std::uint32_t written) override { bytes += written; }
  std::uint64_t bytes = 0;
};

std::uint64_t SurveyBytes(const RawImageState& image, const PartitionState& parts) {
  Survey survey;
  RunOutput out;
  out.Console = TextOut::Nowhere();
  out.LogFile = TextOut::Nowhere();
  out.Report = &survey;
  out.ListOnly = true;
  PartitionState copy = parts;
  CreatedNames names;
  ProcessMountTable(out, image, copy, names);
  return survey.bytes;
}

Json HashNames(HashChoice hashes) {
  Json names = Json::array();
  if (hashes.md5) names.push_back("md5");
  if (hashes.sha1) names.push_back("sha1");
  if (hashes.sha256) names.push_back("sha256");
  return names;
}

Json Totals(const Listing& listing) {
  std::uint64_t written = 0;
  std::uint32_t files = 0, folders = 0, deleted = 0, complete = 0, skipped = 0;
  for (const Item& item : listing.items) {
    written += item.written;
    ++(item.found.Directory ? folders : files);
    if (item.found.Deleted) ++deleted;
    if (item.Complete()) ++complete;
    if (!item.skipped.empty()) ++skipped;
  }
  return {{"files", files},
          {"folders", folders},
          {"deleted", deleted},
          {"bytes_written", written},
          {"complete", complete},
          {"not_complete", listing.items.size() - complete},
          {"skipped", skipped},
          {"warnings", listing.warnings.size()}};
}

// The report's files, one object a line: thousands of them read and
// search better so, and are made faster.
std::string ItemsText(const Listing& listing, std::size_t from, std::size_t to) {
  std::string text;
  text.reserve((to - from) * 640);  // about one object's length: grown in place, not copied
  for (std::size_t i = from; i < to; ++i) {
    if (!text.empty()) text += ",\n";
    text += "    " + ItemJson(listing.items[i]).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return text;
}

// The report is made with a mark where the files go; the file is written
// with their texts, which were made apart, in its place.
constexpr const char* kFilesPlace = "\x01" "files" "\x01";

void WriteReport(const std::string& name, const std::string& report, const std::string& first,
                 const std::string& second) {
  const std::string mark = "\"\\u0001files\\u0001\"";
  const std::size_t at = report.find(mark);
  const std::string_view text = report;
  const std::string_view before = text.substr(0, at), after = text.substr(at + mark.size());
  if (first.empty() && second.empty()) {
    WriteFile(name, {before, "[]", after});
  } else {
    WriteFile(name, {before, "[\n", first, !first.empty() && !second.empty() ? ",\n" : "", second, "\n  ]", after});
  }
}

}  // namespace

bool ParseHashes(const std::string& list, HashChoice& hashes) {
  hashes = HashChoice{};
  std::stringstream in(list);
  std::string name;
  bool none = false;
  int count = 0;
  while (std::getline(in, name, ',')) {
    ++count;
    if (name == "md5") {
      hashes.md5 = true;
    } else if (name == "sha1") {
      hashes.sha1 = true;
    } else if (name == "sha256") {
      hashes.sha256 = true;
    } else if (name == "none") {
      none = true;
    } else {
      return false;
    }
  }
  // "none" stands alone.
  return count > 0 && (!none || count == 1);
}

int RunInfo(const Options& options) {
  return Guarded(options.dump, [&] {
    Session session(options.dump, HashChoice{}, nullptr);
    RunState& s = session.state;
    s.ListOnly = true;
    BuildImage(s);
    // A dump whose Mount Table is refused still has its make-up to show.
    auto show = [&] {
      if (options.json) {
        Json info;
        info["dump"] = {{"path", options.dump}, {"size", s.EntrySize}};
        info.update(InfoJson(s, session.listing));
        WriteOut(JsonText(info));
      } else {
        WriteOut("dump: " + options.dump + ", " + std::to_string(s.EntrySize) + " bytes\n" +
                 InfoText(s, session.listing));
      }
    };
    try {
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop&) {
      show();
      throw;
    }
    show();
    return Outcome(session.listing);
  });
}

int RunLs(const Options& options) {
  return Guarded(options.dump, [&] {
    HashChoice hashes;
    hashes.md5 = options.bodyFile;  // the body file's first field
    Session session(options.dump, hashes, nullptr);
    ListOnly(session);
    session.listing.HashFiles(0, session.listing.items.size());
    std::string text;
    if (options.json) {
      Json items = Json::array();
      for (const Item& item : session.listing.items) items.push_back(ItemJson(item));
      text = JsonText(items);
    } else {
      for (const Item& item : session.listing.items) {
        text += options.bodyFile ? BodyLine(item) : ItemLine(item, options.longForm) + "\n";
      }
    }
    WriteOut(text);
    return Outcome(session.listing);
  });
}

int RunCat(const Options& options) {
  return Guarded(options.dump, [&] {
    Session session(options.dump, HashChoice{}, nullptr);
    session.listing.Stream(options.catPath, stdout);
    ListOnly(session);
    if (std::fflush(stdout) != 0) throw IoFailure("cannot write to standard output");
    if (!session.listing.Found()) {
      for (const Item& item : session.listing.items) {
        if (SamePath(options.catPath, item.found.Path)) {
          Error(options.dump + ": " + options.catPath +
                (item.found.Directory ? " is a folder" : " could not be read: " + item.skipped));
          return kExitUsage;
        }
      }
      Error(options.dump + ": no file " + options.catPath + " in the dump");
      return kExitUsage;
    }
    for (const Item& item : session.listing.items) {
      if (!item.found.Directory && SamePath(options.catPath, item.found.Path)) {
        return item.Complete() ? kExitDone : kExitWarnings;
      }
    }
    return kExitDone;
  });
}

int RunExtract(const Options& options) {
  return Guarded(options.dump, [&] {
    const std::string dump = Absolute(options.dump);
    const std::string report = Absolute(options.reportFile);
    const std::string body = Absolute(options.bodyFileName);
    const std::string output = Absolute(options.outputDir.empty() ? Folder(options.dump) : options.outputDir);
    MakeFolder(output);
    if (auto st = platform::ChangeDirectory(output); !st.ok()) {
      throw IoFailure("cannot enter " + output + ": " + st.Reason());
    }

    Progress progress(stderr, !options.quiet && platform::IsTerminal(stderr));
    // Digests only where they are written: the report, and the body file's MD5.
    HashChoice hashes = options.hashes;
    if (report.empty()) hashes = HashChoice{.md5 = !body.empty() && options.hashes.md5};
    Session session(dump, hashes, &progress);
    if (!options.quiet) session.listing.warningsOut = stderr;
    session.listing.keepItems = !report.empty() || !body.empty();
    RunState& s = session.state;

    BuildImage(s);
    // The dump's and the image's digests are made beside the rest of the
    // run, by one thread: two would only take turns with the walk.
    std::string dumpSha, imageSha, hashFailure;
    platform::Worker hasher;
    if (!report.empty()) {
      hasher.Start([&] {
        try {
          dumpSha = HashFile(dump, hashFailure);
          imageSha = HashImage(s);
        } catch (const IoFailure& e) {
          hashFailure = e.what();
        }
      });
    }
    WriteFsImage(s, s);
    session.listing.Stage("extracting", progress.Shown() ? SurveyBytes(s, s) : 0);
    ProcessMountTable(s, s, s, s.NamesCreated);
    s.LogFile.Close();
    progress.Clear();
    hasher.Join();
    if (!hashFailure.empty()) throw IoFailure(hashFailure);

    Listing& listing = session.listing;
    // The files' digests and texts, half on another thread: the half that
    // holds about half of the bytes written.
    std::uint64_t bytes = 0, sofar = 0;
    for (const Item& item : listing.items) bytes += item.written;
    std::size_t half = 0;
    while (half < listing.items.size() && 2 * sofar < bytes) sofar += listing.items[half++].written;
    std::string firstHalf, secondHalf, failure;
    platform::Worker other;
    other.Start([&] {
      try {
        listing.HashFiles(0, half);
        if (!report.empty()) firstHalf = ItemsText(listing, 0, half);
      } catch (const IoFailure& e) {
        failure = e.what();
      }
    });
    listing.HashFiles(half, listing.items.size());
    if (!report.empty()) secondHalf = ItemsText(listing, half, listing.items.size());
    other.Join();
    if (!failure.empty()) throw IoFailure(failure);

    if (!report.empty()) {
      Json j;
      j["tool"] = {{"name", "quillex"}, {"version", QUILLEX_VERSION}};
      j["dump"] = {{"path", dump}, {"size", s.EntrySize}, {"sha256", dumpSha}};
      Json info = InfoJson(s, listing);
      info["image"]["path"] = output + platform::kSeparator + s.EntryName + ".fs";
      info["image"]["sha256"] = imageSha;
      j.update(info);
      j["output"] = output;
      j["log"] = output + platform::kSeparator + s.EntryName + ".log";
      j["hashes"] = HashNames(hashes);
      j["files"] = kFilesPlace;
      j["warnings"] = listing.warnings;
      j["totals"] = Totals(listing);
      WriteReport(report, JsonText(j), firstHalf, secondHalf);
    }
    if (!body.empty()) {
      std::string text;
      for (const Item& item : listing.items) text += BodyLine(item);
      WriteFile(body, {text});
    }
    if (!options.quiet) {
      WriteOut(std::to_string(listing.filesWritten) + " files extracted to " + output + platform::kSeparator + "_" + s.EntryName +
               ", " + std::to_string(listing.warnings.size()) + " warnings\n");
    }
    return Outcome(listing);
  });
}

}  // namespace quillex::cli

namespace quillex::cli {
namespace {

// The path below the extraction folder ("_name.raw"): the unit's folder and
// the path in it. A unit mounted at "/" has an empty folder name, which
// leaves no empty step here.
std::string BelowTop(const std::string& path) {
  std::size_t at = 0;
  while (at < path.size() && !platform::IsSeparator(path[at])) ++at;
  while (at < path.size() && platform::IsSeparator(path[at])) ++at;
  return path.substr(at);
}

// Every folder from `base` down to `path`'s parent.
void MakeParents(RunOutput& out, const std::string& path) {
  const std::size_t last = path.find_last_of(platform::kSeparator);
  if (last != std::string::npos) EnsureDirectory(out, path.substr(0, last), /*withParents=*/true);
}

// Writes a file from the pieces `forEach` hands over (null data: zeros),
// then gives it `times`. False when its name (or its folder) cannot be made;
// any other failure throws.
template <typename ForEach>
bool WritePieces(const std::string& name, ForEach&& forEach, const platform::FileTimes& times) {
  platform::File file;
  platform::Status st = platform::CreateFile(name, file);
  if (!st.ok() && IsNameFault(st)) return false;
  GatherWriter writer(file);
  if (st.ok()) {
    forEach([&](const std::uint8_t* data, std::size_t n) {
      if (st.ok()) st = writer.Add(data, n);
    });
  }
  if (st.ok()) st = writer.Flush();
  if (st.ok()) (void)platform::SetTimes(file, times);
  if (st.ok()) st = platform::Close(file);
  if (!st.ok()) throw IoFailure("cannot write " + name + ": " + st.Reason());
  return true;
}

// Whether any of the fs_blocks that bytes [offset, offset + length) of the
// image lie in is among `replaced` (ascending block numbers, from 1).
bool FromCopies(const std::vector<std::uint32_t>& replaced, std::uint64_t offset, std::uint64_t length,
                std::uint32_t blockSize) {
  if (length == 0 || blockSize == 0) return false;
  const std::uint64_t first = offset / blockSize + 1, last = (offset + length - 1) / blockSize + 1;
  const auto at = std::lower_bound(replaced.begin(), replaced.end(), first);
  return at != replaced.end() && *at <= last;
}

// "00000664-00000005.bin" for a copy of logical block 5 at physical block
// 664, "00000664-free.bin" for a block under a free entry.
std::string BlockFileName(const PhysicalBlock& b) {
  char name[40];
  if (b.Logical != 0) {
    std::snprintf(name, sizeof name, "%08u-%08u.bin", b.Physical, b.Logical);
  } else {
    std::snprintf(name, sizeof name, "%08u-free.bin", b.Physical);
  }
  return name;
}

Json BlockJson(const PhysicalBlock& b, const std::string& file) {
  Json j;
  j["physical"] = b.Physical;
  j["kind"] = b.Logical != 0 ? "superseded" : "free";
  j["logical"] = b.Logical != 0 ? Json(b.Logical) : Json();
  j["snapshot"] = b.Logical != 0 ? Json(b.Snapshot) : Json();
  j["dump_offset"] = b.InDump > 0 ? Json(b.DumpOffset) : Json();
  j["bytes_in_dump"] = b.InDump;
  j["file"] = file.empty() ? Json() : Json(file);
  return j;
}

// The blocks' report entries; with a `place`, each block the dump holds is
// written there too.
Json SaveBlocks(const RawImageState& s, const std::vector<PhysicalBlock>& blocks, const std::string& place,
                RunOutput& out) {
  Json list = Json::array();
  bool made = false;  // the folder, made before its first block
  for (const PhysicalBlock& b : blocks) {
    std::string file;
    if (!place.empty() && b.InDump > 0) {
      if (!made) {
        (void)EnsureDirectory(out, place, /*withParents=*/false);  // a failure shows when the file is made
        made = true;
      }
      file = place + platform::kSeparator + BlockFileName(b);
      const std::uint8_t* data = s.RawImage.data() + b.RawOffset;
      if (!WritePieces(file, [&](const auto& emit) { emit(data, b.InDump); }, {})) {
        throw IoFailure("cannot create " + file);
      }
    }
    list.push_back(BlockJson(b, file));
  }
  return list;
}

// An older file or folder as the report gives it: its item fields, and
// where it came from and went.
Json OlderItemJson(const RawImageState& s, const Item& item, std::uint32_t k, const std::vector<std::uint32_t>& replaced,
                   const std::string& savedAs, bool olderVersion) {
  Json j = ItemJson(item);
  Json clusters = Json::array();
  for (const Item::ClusterPlace& place : item.places) {
    if (FromCopies(replaced, place.offset, place.bytes, s.FsBlockSize)) clusters.push_back(place.cluster);
  }
  j["snapshot"] = k;
  j["saved_as"] = savedAs.empty() ? Json() : Json(savedAs);
  j["clusters_from_copies"] = clusters;
  j["entry_from_copy"] = FromCopies(replaced, item.found.EntryOffset, kDirEntrySize, s.FsBlockSize);
  j["older_version"] = olderVersion;
  return j;
}

// What a history run found and saved, for its report and summary.
struct HistoryFindings {
  Json snapshots = Json::array();
  std::vector<std::string> files;  // one JSON object each
  std::uint32_t filesSaved = 0, foldersSaved = 0, olderVersions = 0, gone = 0, notSaved = 0, warnings = 0;
  std::uint64_t bytesSaved = 0;
  bool anyIncomplete = false;
};

}  // namespace

int RunHistory(const Options& options) {
  return Guarded(options.dump, [&] {
    const std::string dump = Absolute(options.dump);
    const std::string report = Absolute(options.reportFile);
    const std::string folder = Absolute(options.outputDir.empty() ? "_" + BaseName(options.dump) + ".history"
                                                                  : options.outputDir);
    // The files' digests are the report's, and SHA-256 always: it is how a
    // file is told to be in the newest image already.
    HashChoice hashes = report.empty() ? HashChoice{} : options.hashes;
    hashes.sha256 = true;
    Session now(dump, hashes, nullptr);
    RunState& s = now.state;
    s.ListOnly = true;
    BuildImage(s);
    const std::uint32_t depth = std::min(SupersededDepth(s), options.depth);
    const std::vector<PhysicalBlock> blocks = ListPhysicalBlocks(s);
    std::string dumpSha, hashFailure;
    platform::Worker hasher;
    if (!report.empty()) hasher.Start([&] { dumpSha = HashFile(dump, hashFailure); });

    // Snapshot 0: what an extraction gives, by path and content. A Mount
    // Table the newest image refuses leaves it empty.
    std::string refused;
    try {
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop& stop) {
      refused = stop.Line;
    }
    now.listing.HashFiles(0, now.listing.items.size());
    std::set<std::string> present, paths;  // kind and path, with and without the digest
    for (const Item& item : now.listing.items) {
      if (!item.skipped.empty()) continue;
      const std::string kindPath = (item.found.Directory ? "D" : "F") + item.found.Path;
      paths.insert(kindPath);
      present.insert(kindPath + "|" + item.sha256);
    }

    RunOutput out;  // where the folders are made: a run that writes
    out.Console = TextOut::Nowhere();
    out.LogFile = TextOut::Nowhere();
    if (!refused.empty() && !options.quiet) {
      (void)platform::WriteText(stderr, "newest image: " + refused + "\n");
    }
    // The folder is made only when something is to be written in it.
    if (depth > 0 || (options.blocks && !blocks.empty())) MakeFolder(folder);

    const Json blockList = SaveBlocks(s, blocks, options.blocks ? folder + platform::kSeparator + "blocks" : "", out);
    const auto copies = static_cast<std::uint32_t>(
        std::count_if(blocks.begin(), blocks.end(), [](const PhysicalBlock& b) { return b.Logical != 0; }));

    HistoryFindings found;
    const FsView latest = s.FsImage;
    for (std::uint32_t k = 1; k <= depth; ++k) {
      // One snapshot at a time, in place of the image.
      std::vector<std::uint32_t> replaced;
      s.FsImage = BuildSnapshot(s, k, replaced);
      Listing listing(hashes, nullptr);
      listing.keepClusters = !report.empty();
      s.Report = &listing;
      Json snapshot = {{"snapshot", k}, {"replaced_blocks", replaced}, {"image", nullptr}, {"refused", nullptr}};
      if (options.images) {
        const std::string image = folder + platform::kSeparator + BaseName(options.dump) + ".fs." + std::to_string(k);
        if (auto st = WriteImage(s, s.FsImage, image, NoFindings()); !st.ok()) {
          throw IoFailure("cannot write " + image + ": " + st.Reason());
        }
        snapshot["image"] = image;
      }
      // Each snapshot is walked afresh: names are numbered within it, and an
      // older Mount Table that cannot be read ends only this snapshot.
      PartitionState parts;
      CreatedNames names;
      try {
        ProcessMountTable(s, s, parts, names);
      } catch (const FatalStop& stop) {
        snapshot["refused"] = stop.Line;
        listing.warnings.push_back(stop.Line);
      }
      listing.HashFiles(0, listing.items.size());
      const std::string top = folder + platform::kSeparator + std::to_string(k);
      std::uint32_t files = 0, folders = 0;
      std::vector<std::pair<std::string, platform::FileTimes>> madeFolders;
      for (const Item& item : listing.items) {
        if (!item.skipped.empty()) continue;
        const std::string kindPath = (item.found.Directory ? "D" : "F") + item.found.Path;
        if (present.contains(kindPath + "|" + item.sha256)) continue;
        const std::string target = top + platform::kSeparator + BelowTop(item.found.Path);
        const platform::FileTimes times = EntryTimes(s, item.found.EntryOffset);
        MakeParents(out, target);
        bool saved = true;
        if (item.found.Directory) {
          saved = EnsureDirectory(out, target, /*withParents=*/false);
          if (saved) {
            madeFolders.emplace_back(target, times);
            ++folders;
          }
        } else {
          // A name or folder that cannot be made is reported, not saved.
          saved = WritePieces(target, [&](const auto& emit) { listing.ForEachPiece(item, emit); }, times);
          if (saved) {
            ++files;
            found.bytesSaved += item.written;
          }
        }
        const bool olderVersion = paths.contains(kindPath);
        ++(olderVersion ? found.olderVersions : found.gone);
        if (!saved) {
          ++found.notSaved;
          listing.warnings.push_back("cannot save: " + target);
        }
        found.anyIncomplete = found.anyIncomplete || !item.Complete() || !saved;
        // Kept only for a report: the runs of older files can be long.
        if (!report.empty()) {
          const Json j = OlderItemJson(s, item, k, replaced, saved ? target : "", olderVersion);
          found.files.push_back(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
      }
      // Folders take their times last, once nothing more is made in them.
      for (auto f = madeFolders.rbegin(); f != madeFolders.rend(); ++f) (void)platform::SetTimes(f->first, f->second);
      found.filesSaved += files;
      found.foldersSaved += folders;
      found.warnings += static_cast<std::uint32_t>(listing.warnings.size());
      snapshot["files"] = files;
      snapshot["folders"] = folders;
      snapshot["warnings"] = listing.warnings;
      if (!options.quiet) {
        for (const std::string& line : listing.warnings) {
          (void)platform::WriteText(stderr, "snapshot " + std::to_string(k) + ": " + line + "\n");
        }
      }
      found.snapshots.push_back(std::move(snapshot));
      s.Report = &now.listing;
    }
    s.FsImage = latest;
    hasher.Join();
    if (!hashFailure.empty()) throw IoFailure(hashFailure);

    if (!report.empty()) {
      Json j;
      j["tool"] = {{"name", "quillex"}, {"version", QUILLEX_VERSION}};
      j["dump"] = {{"path", dump}, {"size", s.EntrySize}, {"sha256", dumpSha}};
      j.update(InfoJson(s, now.listing));
      j["refused"] = refused.empty() ? Json() : Json(refused);
      j["output"] = folder;
      j["hashes"] = HashNames(hashes);
      j["snapshots"] = found.snapshots;
      j["files"] = kFilesPlace;
      j["blocks"] = blockList;
      j["totals"] = {{"snapshots", depth},
                     {"files", found.filesSaved},
                     {"folders", found.foldersSaved},
                     {"older_versions", found.olderVersions},
                     {"gone", found.gone},
                     {"not_saved", found.notSaved},
                     {"bytes_saved", found.bytesSaved},
                     {"superseded_copies", copies},
                     {"free_blocks", blocks.size() - copies},
                     {"warnings", found.warnings}};
      std::string files;
      for (const std::string& text : found.files) files += (files.empty() ? "    " : ",\n    ") + text;
      WriteReport(report, JsonText(j), files, {});
    }
    if (!options.quiet && depth == 0) WriteOut("no superseded copies: the dump holds no older state\n");
    if (!options.quiet && depth > 0) {
      WriteOut(std::to_string(found.filesSaved) + " older files from " + std::to_string(depth) +
               " snapshot(s) saved to " + folder + "\n");
    }
    if (!options.quiet && !blocks.empty()) {
      WriteOut(std::to_string(copies) + " superseded copies, " + std::to_string(blocks.size() - copies) +
               " free blocks not erased" +
               (options.blocks ? ", written to " + folder + platform::kSeparator + "blocks" : "") + "\n");
    }
    return found.warnings > 0 || found.anyIncomplete || !refused.empty() ? kExitWarnings : kExitDone;
  });
}

}  // namespace quillex::cli
