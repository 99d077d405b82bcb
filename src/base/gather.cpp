#include "base/gather.h"

#include <span>

namespace quillex {
namespace {

// One call of many MiB is much slower on Linux than the same bytes in 1 MiB
// calls, so a gathered write stops at about this size.
constexpr std::size_t kCallBytes = std::size_t{1} << 20;

constexpr std::array<std::uint8_t, 65536> kZeros{};  // the largest fs_block

}  // namespace

platform::Status GatherWriter::MoveTo(std::uint64_t offset) {
  if (auto st = Flush(); !st.ok()) return st;
  positional_ = true;
  offset_ = offset;
  return {};
}

platform::Status GatherWriter::Add(const std::uint8_t* data, std::size_t size) {
  if (data != nullptr) return AddRun(data, size);
  while (size > 0) {
    const std::size_t n = size < kZeros.size() ? size : kZeros.size();
    if (auto st = AddRun(kZeros.data(), n); !st.ok()) return st;
    size -= n;
  }
  return {};
}

platform::Status GatherWriter::AddRun(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  platform::Piece* last = count_ > 0 ? &pieces_[count_ - 1] : nullptr;
  if (last != nullptr && static_cast<const std::uint8_t*>(last->data) + last->size == data) {
    last->size += size;
  } else {
    if (count_ == pieces_.size()) {
      if (auto st = Flush(); !st.ok()) return st;
    }
    pieces_[count_++] = {data, size};
  }
  bytes_ += size;
  return bytes_ >= kCallBytes ? Flush() : platform::Status{};
}

platform::Status GatherWriter::Flush() {
  if (count_ == 0) return {};
  const std::span<const platform::Piece> pieces(pieces_.data(), count_);
  platform::Status st = positional_ ? platform::WriteAtGathered(file_, offset_, pieces)
                                    : platform::WriteGathered(file_, pieces);
  offset_ += bytes_;
  count_ = 0;
  bytes_ = 0;
  return st;
}

}  // namespace quillex
