// The one-line progress display on standard error: stage, share done,
// files, MiB/s, redrawn at most ten times a second, and wiped before any
// other text reaches the terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quillex::cli {

class Progress {
 public:
  // Shows nothing unless `on`.
  Progress(std::FILE* terminal, bool on) : terminal_(terminal), on_(on) {}

  bool Shown() const { return on_; }
  void Stage(std::string_view name, std::uint64_t total);
  // Work of the stage done so far (bytes), or more of it.
  void Done(std::uint64_t done);
  void More(std::uint64_t bytes) { Done(done_ + bytes); }
  void File() { ++files_; }
  // Wipes the line, so that other text can be written.
  void Clear();

  // The line as it would be drawn now (for tests).
  std::string Line(double seconds) const;

 private:
  void Draw();

  std::FILE* terminal_;
  bool on_;
  std::string stage_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t files_ = 0;
  std::size_t shown_ = 0;  // characters of the line on screen
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace quillex::cli
