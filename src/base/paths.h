// Paths of the extraction tree. Names come from a damaged image as often as
// not, so every name is made safe before it reaches the file system.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/output.h"
#include "base/platform.h"


namespace quillex {

// The name as created on disk, from a UTF-8 name: characters below U+0020
// and " * / : < > ? \ | become "_", so no name can leave its directory.
std::string SafeName(std::string_view name);

// "NAME (n).EXT": the number goes before the extension, the part after the
// last dot unless that dot is the first character.
std::string NumberedName(std::string_view name, unsigned n);
// The names a run has created, per directory on disk, compared as Windows
// compares them (NameKey), so that no entry of the image overwrites the file
// of another, here or after a copy to Windows. Filled by the directory walk.
struct CreatedNames {
  using Taken = std::unordered_set<std::string>;  // NameKey of each name
  std::unordered_map<std::string, Taken> byDirectory;
};

// The names the run has created in the directory `dir` so far, however the
// path spells it ("_d.raw//A" and "_d.raw/a" are one folder on Windows).
CreatedNames::Taken& NamesIn(CreatedNames& names, const std::string& dir);
// name itself when it is not taken yet, else the first NumberedName from 2
// on that is not.
std::string FreeName(const CreatedNames::Taken& taken, const std::string& name);
void RememberName(CreatedNames::Taken& taken, const std::string& name);

// "_" + entry name + "/" + the mount path without its first character, each
// component read as Windows-1252 and made safe; components "." and ".." are
// dropped, empty ones stay.
std::string UnitDirectory(const std::string& entryName, std::string_view mountPath);

// A path without "." steps, doubled separators or a separator at its end,
// and with each ".." taken back with the step before it (lexically: links
// are not followed). What comes before the first step stays: the root, a
// drive ("C:") or a server ("\\\\host"). `separator` joins the steps.
std::string CleanPath(std::string_view path, char separator = platform::kSeparator);

// Makes sure the directory exists, creating missing parents when asked (in
// a run that only lists, it is taken as made).
// A directory that cannot be made because of its own name (it exists as a
// file, the name is too long or refused) writes "ERROR: cannot create ..."
// and returns false; any other failure throws IoFailure.
bool EnsureDirectory(RunOutput& out, const std::string& path, bool withParents);

// The same report for a file whose own name cannot be created.
void ReportCannotCreate(RunOutput& out, const std::string& path, const platform::Status& status);

// True when a failure lies in the name itself rather than in the disk.
bool IsNameFault(const platform::Status& status);

}  // namespace quillex
