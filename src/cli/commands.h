// The commands of quillex, each returning the exit status it documents:
// 0 done with nothing lost, 1 done with warnings, 2 the dump refused,
// 3 an input/output failure, 64 a wrong command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/listing.h"

namespace quillex::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitWarnings = 1;
inline constexpr int kExitRefused = 2;
inline constexpr int kExitInputOutput = 3;
inline constexpr int kExitUsage = 64;

struct Options {
  std::string dump;
  bool json = false;
  bool longForm = false;
  bool bodyFile = false;  // ls: the body file instead of the listing
  std::string outputDir;
  std::string reportFile;
  std::string bodyFileName;
  HashChoice hashes{.md5 = false, .sha1 = false, .sha256 = true};
  bool quiet = false;
  bool force = false;  // extract, history: an earlier run's outputs are replaced
  std::string catPath;
  std::uint32_t depth = 16;  // history: the most older states walked
  bool images = false;       // history: each state's image written too
  bool blocks = false;       // history: each listed physical block written too
};

// "sha256", "sha1,md5", "none": false when a name is not one of them.
bool ParseHashes(const std::string& list, HashChoice& hashes);

int RunInfo(const Options& options);
int RunLs(const Options& options);
int RunExtract(const Options& options);
int RunCat(const Options& options);
int RunHistory(const Options& options);

// The whole program, on its command line as UTF-8 (args[0] its name).
int RunQuillex(const std::vector<std::string>& args);

}  // namespace quillex::cli
