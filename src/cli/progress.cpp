#include "cli/progress.h"

#include <cstdio>

#include "base/platform.h"

namespace quillex::cli {

void Progress::Stage(std::string_view name, std::uint64_t total) {
  stage_ = name;
  total_ = total;
  done_ = 0;
  started_ = std::chrono::steady_clock::now();
  Draw();
}

void Progress::Done(std::uint64_t done) {
  done_ = done;
  Draw();
}

std::string Progress::Line(double seconds) const {
  std::string line = stage_;
  if (total_ > 0) {
    const auto percent = static_cast<unsigned>(done_ >= total_ ? 100 : done_ * 100 / total_);
    line += " " + std::to_string(percent) + "%";
  }
  if (files_ > 0) line += ", " + std::to_string(files_) + " files";
  char rate[32];
  const double mib = static_cast<double>(done_) / (1024.0 * 1024.0);
  std::snprintf(rate, sizeof rate, ", %.1f MiB/s", seconds > 0 ? mib / seconds : 0.0);
  return line + rate;
}

void Progress::Draw() {
  if (!on_) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown_ > 0 && now - drawn_ < std::chrono::milliseconds(100)) return;
  drawn_ = now;
  std::string line = Line(std::chrono::duration<double>(now - started_).count());
  // Blanks over what a longer line left; no terminal codes, which a
  // Windows console may not read.
  const std::size_t length = line.size();
  if (length < shown_) line.append(shown_ - length, ' ');
  shown_ = length;
  (void)platform::WriteText(terminal_, "\r" + line);
}

void Progress::Clear() {
  if (!on_ || shown_ == 0) return;
  (void)platform::WriteText(terminal_, "\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

}  // namespace quillex::cli
