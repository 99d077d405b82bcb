#include "cli/commands.h"
#include "cli/command_parts.h"

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
  if (path.empty()) return path;
  if (platform::IsAbsolute(path)) return CleanPath(path);
  std::string here;
  if (auto st = platform::CurrentDirectory(here); !st.ok()) {
    throw IoFailure("cannot read the working directory: " + st.Reason());
  }
  return CleanPath(here + platform::kSeparator + path);
}

void MakeFolder(const std::string& path) {
  if (auto st = platform::MakeDirectory(path); !st.ok() && !(st.error == EEXIST && platform::IsDirectory(path))) {
    throw IoFailure("cannot create " + path + ": " + st.Reason());
  }
}

void CheckDump(const std::string& given) {
  if (platform::IsDirectory(given)) throw IoFailure(given + ": is a directory");
  platform::File file;
  if (auto st = platform::OpenForReading(given, file); !st.ok()) {
    throw IoFailure("cannot open " + given + ": " + st.Reason());
  }
  (void)platform::Close(file);
}

void ClaimOutputs(const std::vector<std::string>& paths, bool force, bool quiet) {
  std::string there;
  for (const std::string& path : paths) {
    if (!path.empty() && platform::Exists(path)) there += (there.empty() ? "" : ", ") + path;
  }
  if (there.empty()) return;
  if (!force) throw IoFailure("an earlier run's outputs are there: " + there + " (--force replaces them)");
  for (const std::string& path : paths) {
    if (path.empty()) continue;
    if (auto st = platform::RemoveAll(path); !st.ok()) throw IoFailure("cannot remove " + path + ": " + st.Reason());
  }
  if (!quiet) Error("--force: removed " + there);
}

PendingFile::PendingFile(std::string path) : path_(std::move(path)) {
  if (path_.empty()) return;
  if (auto st = platform::CreateFile(path_ + ".partial", file_); !st.ok()) {
    throw IoFailure("cannot write " + path_ + ": " + st.Reason());
  }
}

PendingFile::~PendingFile() {
  if (path_.empty() || done_) return;
  (void)platform::Close(file_);
  (void)platform::RemoveAll(path_ + ".partial");
}

void PendingFile::Write(std::initializer_list<std::string_view> texts) {
  std::vector<platform::Piece> pieces;
  for (const std::string_view text : texts) pieces.push_back({text.data(), text.size()});
  platform::Status st = platform::WriteGathered(file_, pieces);
  const platform::Status closed = platform::Close(file_);
  if (st.ok()) st = closed;
  if (st.ok()) st = platform::Rename(path_ + ".partial", path_);
  if (!st.ok()) throw IoFailure("cannot write " + path_ + ": " + st.Reason());
  done_ = true;
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

void EndLog(RunState& s, const std::string& line) {
  try {
    s.LogFile.Line(line);
  } catch (const IoFailure&) {
    // A disk too full for the line too: the log keeps what it has.
  }
  s.LogFile.CloseQuietly();
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

namespace {

// Every partition walked without writing anything.
void ListOnly(Session& session) {
  session.state.ListOnly = true;
  BuildImage(session.state);
  ProcessMountTable(session.state, session.state, session.state, session.state.NamesCreated);
}

}  // namespace

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

namespace {

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

}  // namespace

Json HashNames(HashChoice hashes) {
  Json names = Json::array();
  if (hashes.md5) names.push_back("md5");
  if (hashes.sha1) names.push_back("sha1");
  if (hashes.sha256) names.push_back("sha256");
  return names;
}

namespace {

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

}  // namespace

// The report is made with a mark where the files go; the file is written
// with their texts, which were made apart, in its place.
void WriteReport(PendingFile& file, const std::string& report, const std::string& first, const std::string& second) {
  const std::string mark = "\"\\u0001files\\u0001\"";
  const std::size_t at = report.find(mark);
  const std::string_view text = report;
  const std::string_view before = text.substr(0, at), after = text.substr(at + mark.size());
  if (first.empty() && second.empty()) {
    file.Write({before, "[]", after});
  } else {
    file.Write({before, "[\n", first, !first.empty() && !second.empty() ? ",\n" : "", second, "\n  ]", after});
  }
}

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
    CheckDump(options.dump);
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
    CheckDump(options.dump);
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
    CheckDump(options.dump);
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
    // Nothing is made before the dump is open and every output can be made.
    CheckDump(options.dump);
    const std::string dump = Absolute(options.dump);
    const std::string report = Absolute(options.reportFile);
    const std::string body = Absolute(options.bodyFileName);
    const std::string output = Absolute(options.outputDir.empty() ? Folder(options.dump) : options.outputDir);
    const std::string at = output + platform::kSeparator, name = BaseName(options.dump);
    ClaimOutputs({at + name + ".fs", at + name + ".log", at + "_" + name, report, body}, options.force, options.quiet);
    MakeFolder(output);
    PendingFile reportFile(report), bodyFile(body);
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

    // The log keeps what was written, and ends with the input/output
    // failure that ended the run (a refused dump's log is quillex4's).
    try {
      BuildImage(s);
    } catch (const FatalStop& stop) {
      if (stop.InputOutput) EndLog(s, stop.Line);
      throw;
    }
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
    try {
      try {
        WriteFsImage(s, s);
      } catch (const FatalStop& stop) {
        // A partial image would look whole: it goes.
        (void)platform::RemoveAll(name + ".fs");
        throw FatalStop{stop.InputOutput, stop.Line + " (the partial " + at + name + ".fs was removed)"};
      }
      session.listing.Stage("extracting", progress.Shown() ? SurveyBytes(s, s) : 0);
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop& stop) {
      if (stop.InputOutput) EndLog(s, stop.Line);
      throw;
    } catch (const IoFailure& failure) {
      EndLog(s, std::string("I/O failure: ") + failure.what());
      throw;
    }
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
      WriteReport(reportFile, JsonText(j), firstHalf, secondHalf);
    }
    if (!body.empty()) {
      std::string text;
      for (const Item& item : listing.items) text += BodyLine(item);
      bodyFile.Write({text});
    }
    if (!options.quiet) {
      WriteOut(std::to_string(listing.filesWritten) + " files extracted to " + output + platform::kSeparator + "_" + s.EntryName +
               ", " + std::to_string(listing.warnings.size()) + " warnings\n");
    }
    return Outcome(listing);
  });
}

}  // namespace quillex::cli
