// Running quillex beside quillex4 on the same dump, and the checks its
// outputs must pass: the same image, log and tree as quillex4's, a report
// whose list is the tree on disk, whose digests are those of the standard
// tools, and whose statuses are the console's warnings.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace quillex::test {

using Json = nlohmann::json;

// Runs the built quillex in `dir`.
ToolRun RunQuillex(const std::filesystem::path& dir, const std::vector<std::string>& args,
                   RunOptions options = {});

Json ReadJson(const std::string& path);

// Both folders hold NAME.fs, NAME.log and _NAME with the same bytes, names,
// kinds and modification times.
void ExpectSameOutputs(const std::filesystem::path& a, const std::filesystem::path& b, const std::string& name);

// The report's files and folders, not skipped, are the tree below `output`
// (without the unit folders), and each digest it gives equals the one
// sha256sum, sha1sum and md5sum print for that file.
void ExpectReportIsTheTree(const Json& report, const std::filesystem::path& output);

// Every warning of quillex4's console shows in the report's warnings, in
// order, and in the status of the file it names; every file or folder that
// is not complete has a warning, or a reason to be skipped.
void ExpectStatusesMatchConsole(const Json& report, const std::string& console);

// The items of `ls --json` and of the report are the same, digests aside.
void ExpectListingMatchesReport(const Json& listing, const Json& report);

}  // namespace quillex::test
