#include "driver/image.h"

#include "driver/errors.h"

namespace quillex {

tMem::tMem(std::size_t size, const char* what) : size_(size) {
  // calloc(0) may return null legitimately; ask for one byte so null means failure.
  bytes_.reset(static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1)));
  if (!bytes_) {
    throw IoFailure("cannot allocate " + std::to_string(size) + " bytes for the " + what +
                    ": out of memory");
  }
}

std::string LoadChars(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                      std::size_t count) {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    text[i] = static_cast<char>(LoadByte(buffer, offset + i));
  }
  return text;
}

}  // namespace quillex
