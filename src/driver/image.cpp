#include "driver/image.h"

#include "driver/errors.h"
#include "driver/platform.h"

namespace quillex {

tMem::tMem(std::size_t size, const char* what)
    : bytes_(platform::AllocateZeroed(size)), size_(size) {
  if (bytes_ == nullptr) {
    size_ = 0;
    throw IoFailure("cannot allocate " + std::to_string(size) + " bytes for the " + what +
                    ": out of memory");
  }
}

void tMem::Release() {
  platform::FreeZeroed(bytes_, size_);
  bytes_ = nullptr;
  size_ = 0;
}

std::string LoadChars(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                      std::size_t count) {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    text[i] = static_cast<char>(LoadByte(buffer, offset, i));
  }
  return text;
}

}  // namespace quillex
