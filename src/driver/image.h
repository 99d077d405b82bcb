// tMem, the tool's byte buffer, and the bounded little-endian readers of the
// two in-memory images. A read past the end of a buffer yields zero bytes and
// never touches memory outside it, so damaged dumps cannot make a reader
// stray.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quillex {

// A zero-filled byte buffer. Large buffers come straight from fresh (already
// zero) pages instead of being cleared byte by byte.
class tMem {
 public:
  tMem() = default;
  // Throws IoFailure naming `what` when the memory cannot be had.
  tMem(std::size_t size, const char* what);
  tMem(const tMem&) = delete;
  tMem& operator=(const tMem&) = delete;
  tMem(tMem&& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
    other.bytes_ = nullptr;
    other.size_ = 0;
  }
  tMem& operator=(tMem&& other) noexcept {
    if (this != &other) {
      Release();
      bytes_ = other.bytes_;
      size_ = other.size_;
      other.bytes_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ~tMem() { Release(); }

  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> view() const { return {bytes_, size_}; }
  std::span<std::uint8_t> span() { return {bytes_, size_}; }
  void Release();

 private:
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// Byte i after an offset; zero beyond the end. The sum is never formed, so
// no offset, however large, can wrap back into the buffer.
inline std::uint8_t LoadByte(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                             std::uint64_t i = 0) {
  return offset < buffer.size() && i < buffer.size() - offset
             ? buffer[static_cast<std::size_t>(offset + i)]
             : std::uint8_t{0};
}

inline std::uint16_t LoadWord(std::span<const std::uint8_t> buffer, std::uint64_t offset) {
  return static_cast<std::uint16_t>(LoadByte(buffer, offset) | LoadByte(buffer, offset, 1) << 8);
}

inline std::uint32_t LoadDword(std::span<const std::uint8_t> buffer, std::uint64_t offset) {
  return static_cast<std::uint32_t>(LoadByte(buffer, offset)) |
         static_cast<std::uint32_t>(LoadByte(buffer, offset, 1)) << 8 |
         static_cast<std::uint32_t>(LoadByte(buffer, offset, 2)) << 16 |
         static_cast<std::uint32_t>(LoadByte(buffer, offset, 3)) << 24;
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
