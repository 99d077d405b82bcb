#include "base/buffers.h"

#include "base/errors.h"
#include "base/platform.h"

namespace quillex {

ZeroedBuffer::ZeroedBuffer(std::size_t size, const char* what)
    : bytes_(platform::AllocateZeroed(size)), size_(size) {
  if (bytes_ == nullptr) {
    size_ = 0;
    throw IoFailure("cannot allocate " + std::to_string(size) + " bytes for the " + what +
                    ": out of memory");
  }
}

void ZeroedBuffer::release() {
  platform::FreeZeroed(bytes_, size_);
  bytes_ = nullptr;
  size_ = 0;
}

FsView::FsView(std::span<const std::uint8_t> source, std::uint64_t blockSize, std::uint64_t size)
    : source_(source),
      blockSize_(blockSize),
      size_(size),
      places_(static_cast<std::size_t>((size + blockSize - 1) / blockSize), kNoSource) {}

FsView FsView::Flat(std::span<const std::uint8_t> bytes) {
  // One block as long as the bytes, placed at their start.
  FsView view(bytes, bytes.empty() ? 1 : bytes.size(), bytes.size());
  view.Place(0, 0);
  return view;
}

std::string FsView::Chars(std::uint64_t offset, std::size_t count) const {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count && offset <= ~std::uint64_t{0} - i; ++i) {
    text[i] = static_cast<char>(Byte(offset + i));
  }
  return text;
}


}  // namespace quillex
