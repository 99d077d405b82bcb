// tMem, the tool's byte buffer, and the bounded little-endian readers of the
// two in-memory images. A read past the end of a buffer yields zero bytes and
// never touches memory outside it, so damaged dumps cannot make a reader
// stray.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

namespace quillex {

// A zero-filled byte buffer. calloc lets large buffers come straight from
// fresh (already zero) pages instead of being cleared byte by byte.
class tMem {
 public:
  tMem() = default;
  // Throws IoFailure naming `what` when the memory cannot be had.
  tMem(std::size_t size, const char* what);

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> view() const { return {bytes_.get(), size_}; }
  std::span<std::uint8_t> span() { return {bytes_.get(), size_}; }
  void Release() {
    bytes_.reset();
    size_ = 0;
  }

 private:
  struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t[], FreeDeleter> bytes_;
  std::size_t size_ = 0;
};

// Byte at an offset; zero beyond the end.
inline std::uint8_t LoadByte(std::span<const std::uint8_t> buffer, std::uint64_t offset) {
  return offset < buffer.size() ? buffer[static_cast<std::size_t>(offset)] : std::uint8_t{0};
}

inline std::uint16_t LoadWord(std::span<const std::uint8_t> buffer, std::uint64_t offset) {
  return static_cast<std::uint16_t>(LoadByte(buffer, offset) |
                                    LoadByte(buffer, offset + 1) << 8);
}

inline std::uint32_t LoadDword(std::span<const std::uint8_t> buffer, std::uint64_t offset) {
  return static_cast<std::uint32_t>(LoadWord(buffer, offset)) |
         static_cast<std::uint32_t>(LoadWord(buffer, offset + 2)) << 16;
}

// count bytes from offset, one character each, zero bytes and blanks kept.
std::string LoadChars(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                      std::size_t count);

// True when [offset, offset + length) lies wholly inside the buffer.
inline bool InBounds(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                     std::uint64_t length) {
  return offset <= buffer.size() && length <= buffer.size() - offset;
}

}  // namespace quillex
