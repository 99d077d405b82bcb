// What the commands of quillex share: paths, the run up to the image,
// exit statuses from the ways a run ends, and the writing of outputs.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

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
// Runs `body` and turns the ways a run can end into exit statuses.
int Guarded(const std::string& dump, const std::function<int()>& body);
// 0 when the listing holds no warning and nothing incomplete, else 1.
int Outcome(const Listing& listing);
// The stages up to the normal FS image.
void BuildImage(RunState& s);

// The pieces one after another, in one gathered write: a report of
// thousands of files is never copied together in memory.
void WriteFile(const std::string& name, std::initializer_list<std::string_view> texts);
void WriteOut(const std::string& text);
// SHA-256 of a whole file, read in large pieces; empty with `failure` set
// when it cannot be read.
std::string HashFile(const std::string& name, std::string& failure);
Json HashNames(HashChoice hashes);

// A report is made with this mark where its files go; WriteReport writes it
// with their texts (made apart, one object a line) in the mark's place.
inline constexpr const char* kFilesPlace = "\x01" "files" "\x01";
void WriteReport(const std::string& name, const std::string& report, const std::string& first,
                 const std::string& second);

}  // namespace quillex::cli
