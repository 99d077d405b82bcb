// quillex extract: quillex4's outputs, byte for byte, with a report and a
// body file made from the same walk.
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
      if (stop.InputOutput()) EndLog(s, stop.Line);
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
        throw FatalStop{stop.What, stop.Line + " (the partial " + at + name + ".fs was removed)"};
      }
      session.listing.Stage("extracting", progress.Shown() ? SurveyBytes(s, s) : 0);
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop& stop) {
      if (stop.InputOutput()) EndLog(s, stop.Line);
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
