// The tool's two text streams, the console and the log. Every line ends with
// CR LF on every platform; text from the images passes byte for byte.
//
// The texts the stages write here keep their wording exactly, misspellings
// ("exeeded", "fs_segmments", "Skiping", "filesysem", "SecsPetCluster") and
// trailing blanks included: users compare the consoles and logs of their
// dumps with earlier runs, and tools parse them. Change none of them.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/findings.h"
#include "base/platform.h"

namespace quillex {

class TextOut {
 public:
  // Collects everything in memory (tests, and a log not created yet).
  TextOut() = default;
  // Writes to a C stream and flushes at once, as progress must show at once.
  static TextOut ToStream(std::FILE* stream);
  // Keeps nothing: the text of a run that only lists.
  static TextOut Nowhere();

  // Sends the text written from now on to a file, through a buffer.
  void AttachFile(platform::File file, std::string name);

  void Write(std::string_view text);
  void Line(std::string_view text = {});

  // Writes out the buffer and closes the file. Throws IoFailure on failure.
  void Close();
  // Best effort on the way out of a failed run: never throws.
  void CloseQuietly() noexcept;

  // In memory mode: everything written so far.
  const std::string& Text() const { return buffer_; }

 private:
  void Flush();

  std::FILE* stream_ = nullptr;
  bool discard_ = false;
  platform::File file_;
  std::string fileName_;
  std::string buffer_;
};

// What every stage writes to and tells: the run's two streams, owned by the
// program, and the listener of its findings.
struct RunOutput {
  TextOut Console;
  TextOut LogFile;  // created by the NAND loading stage
  Findings* Report = &NoFindings();
  // A run that only looks: no log, image, folder or file is made, while
  // every stage tells its findings as an extraction would.
  bool ListOnly = false;
};

// A warning or error line: on the console, and told to the listener.
void Warn(RunOutput& out, std::string_view line);

// Writes the fatal message as a line (completing an open announcement) and
// stops the run: the dump is refused.
[[noreturn]] void Fatal(TextOut& console, std::string_view line);
// The same for a failure to read the dump or write an output, which the
// texts of the run report as a fatal stop too.
[[noreturn]] void FatalIo(TextOut& console, std::string_view line);

}  // namespace quillex
