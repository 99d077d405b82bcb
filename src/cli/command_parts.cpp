// What the commands of quillex share: paths, the run up to the image,
// exit statuses, and the writing of outputs.
#include "cli/command_parts.h"

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/paths.h"
#include "base/platform.h"

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
    return stop.InputOutput() ? kExitInputOutput : kExitRefused;
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

Json HashNames(HashChoice hashes) {
  Json names = Json::array();
  if (hashes.md5) names.push_back("md5");
  if (hashes.sha1) names.push_back("sha1");
  if (hashes.sha256) names.push_back("sha256");
  return names;
}


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

}  // namespace quillex::cli
