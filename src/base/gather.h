// Output in gathered writes: the pieces of a file are collected and go out
// in calls of about 1 MiB, pieces that lie back to back in memory joined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/platform.h"

namespace quillex {

class GatherWriter {
 public:
  // Writes at the file position until MoveTo is called.
  explicit GatherWriter(platform::File& file) : file_(file) {}
  GatherWriter(const GatherWriter&) = delete;
  GatherWriter& operator=(const GatherWriter&) = delete;

  // Further pieces go to the file from this offset on.
  platform::Status MoveTo(std::uint64_t offset);
  // size bytes from data, or size zero bytes when data is null.
  platform::Status Add(const std::uint8_t* data, std::size_t size);
  // Writes what is collected; call before closing the file.
  platform::Status Flush();

 private:
  platform::Status AddRun(const std::uint8_t* data, std::size_t size);

  platform::File& file_;
  bool positional_ = false;
  std::uint64_t offset_ = 0;
  std::array<platform::Piece, platform::kMaxPieces> pieces_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace quillex
