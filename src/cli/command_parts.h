// What the commands of quillex share: paths, the run up to the image,
// exit statuses from the ways a run ends, and the writing of outputs.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform.h"
#include "cli/commands.h"
#include "cli/listing.h"
#include "cli/report.h"
#include "tool/run.h"

namespace quillex::cli {

// "quillex: TEXT" on standard error.
void Error(const std::string& text);
// The last name of a path, and the folder it lies in ("." for none).
std::string BaseName(const std::string& path);
std::string Folder(const std::string& path);
// The path from the working directory on, when it is not absolute already.
std::string Absolute(const std::string& path);

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
void MakeFolder(const std::string& path);

// The dump as given, opened once before anything is made: a folder, or a
// file that cannot be opened, ends the run naming the path as given.
void CheckDump(const std::string& given);

// The outputs of an earlier run where this one would make its own (`paths`
// that exist): an error naming them, unless `force`, which removes them
// first and says so on standard error (`quiet`: not). Runs are never mixed.
void ClaimOutputs(const std::vector<std::string>& paths, bool force, bool quiet);

// An output file written whole or not at all: created as PATH.partial when
// the run starts, so that a place that cannot be written ends the run
// before the work; renamed to PATH once written; removed if the run ends
// first. An empty path is no file.
class PendingFile {
 public:
  explicit PendingFile(std::string path);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  bool empty() const { return path_.empty(); }
  const std::string& path() const { return path_; }
  // The pieces one after another, in one gathered write: a report of
  // thousands of files is never copied together in memory. Throws IoFailure.
  void Write(std::initializer_list<std::string_view> texts);

 private:
  std::string path_;
  platform::File file_;
  bool done_ = false;
};
// Runs `body` and turns the ways a run can end into exit statuses.
int Guarded(const std::string& dump, const std::function<int()>& body);
// Ends the run's log with the line that ended the run, and closes it.
void EndLog(RunState& s, const std::string& line);
// 0 when the listing holds no warning and nothing incomplete, else 1.
int Outcome(const Listing& listing);
// The stages up to the normal FS image.
void BuildImage(RunState& s);

void WriteOut(const std::string& text);
// SHA-256 of a whole file, read in large pieces; empty with `failure` set
// when it cannot be read.
std::string HashFile(const std::string& name, std::string& failure);
Json HashNames(HashChoice hashes);

// A report is made with this mark where its files go; WriteReport writes it
// with their texts (made apart, one object a line) in the mark's place.
inline constexpr const char* kFilesPlace = "\x01" "files" "\x01";
void WriteReport(PendingFile& file, const std::string& report, const std::string& first, const std::string& second);

}  // namespace quillex::cli
