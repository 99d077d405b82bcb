// Shared helpers of the tests: temporary folders, whole files, and running
// the built quillex4 binary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace quillex::test {


// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
void WriteFile(const std::string& path, const std::string& text);
// Whole file as bytes in a string (byte for byte); fails the test if missing.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

struct ToolRun {
  int status = -1;        // exit status, or -1 when the tool did not exit normally
  bool timedOut = false;  // killed after the time limit
  long maxRssKiB = 0;     // peak resident memory of the tool
  std::string out;        // standard output, byte for byte
  std::string err;        // standard error
};

struct RunOptions {
  std::string input;         // written to standard input
  bool holdInput = false;    // keep standard input open after `input` (a user who never presses Enter)
  int timeoutMs = 60000;     // the tool is killed after this long
  std::uint64_t fileSizeLimit = 0;  // RLIMIT_FSIZE in bytes for the tool; 0: none
  bool asNobody = false;     // run as user and group 65534 (root alone can switch)
  // The program and its first arguments, such as {wine, quillex4.exe};
  // empty: the built quillex4.
  std::vector<std::string> command = {};
  // Measure maxRssKiB through /usr/bin/time, which starts the tool from a
  // small process of its own: a child of this process counts, until exec,
  // the pages it shares with it, and a test process under the sanitizers
  // holds tens of MiB.
  bool peakOfToolAlone = false;
};

// The built quillex4 copied, once per test process, into a folder of mode
// 0755 below the system's temporary folder: what RunQuillex4 runs as user
// 65534, who may not be able to enter the build folder.
const std::string& ToolForOtherUsers();

// Runs quillex4 (or options.command) in `dir` with the given arguments (not
// counting the program name).
ToolRun RunQuillex4(const std::filesystem::path& dir, const std::vector<std::string>& args,
                    const RunOptions& options = {});

// Names the instances of a table-driven test after their cases' `name`.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

// Joins lines with CR LF after each one: the tool's line ends.
std::string Lines(const std::vector<std::string>& lines);

// The banner as the tool prints it, with its empty line.
std::string Banner();

}  // namespace quillex::test
