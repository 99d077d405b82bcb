// ZeroedBuffer, the tool's byte buffer, and the bounded little-endian readers
// of the two in-memory images. A read past the end of a buffer yields zero bytes and
// never touches memory outside it, so damaged dumps cannot make a reader
// stray.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillex {

// A zero-filled byte buffer. Large buffers come straight from fresh (already
// zero) pages instead of being cleared byte by byte.
class ZeroedBuffer {
 public:
  ZeroedBuffer() = default;
  // Throws IoFailure naming `what` when the memory cannot be had.
  ZeroedBuffer(std::size_t size, const char* what);
  ZeroedBuffer(const ZeroedBuffer&) = delete;
  ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;
  ZeroedBuffer(ZeroedBuffer&& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
    other.bytes_ = nullptr;
    other.size_ = 0;
  }
  ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept {
    if (this != &other) {
      release();
      bytes_ = other.bytes_;
      size_ = other.size_;
      other.bytes_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ~ZeroedBuffer() { release(); }

  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> view() const { return {bytes_, size_}; }
  std::span<std::uint8_t> span() { return {bytes_, size_}; }
  void release();

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

// True when [offset, offset + length) lies wholly inside the buffer.
inline bool InBounds(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                     std::uint64_t length) {
  return offset <= buffer.size() && length <= buffer.size() - offset;
}

// The normal FS image, read where its bytes lie instead of assembled in a
// second buffer: logical fs_block b (block number b + 1) is the fs_block-long
// run of `source` that starts at the offset placed for it. A block with no
// place, and any byte at or past the source's end, reads as zero, as do
// offsets at or past size(). This saves copying the whole image and holding
// it twice in memory.
class FsView {
 public:
  static constexpr std::uint64_t kNoSource = ~std::uint64_t{0};

  FsView() = default;
  // size bytes long, every block without a place yet. blockSize > 0.
  FsView(std::span<const std::uint8_t> source, std::uint64_t blockSize, std::uint64_t size);
  // The source itself as the image: for images that are already assembled.
  static FsView Flat(std::span<const std::uint8_t> bytes);

  // Block b (from 0) reads from source offset `from`; a later place replaces
  // an earlier one. Blocks outside the view are ignored.
  void Place(std::uint64_t block, std::uint64_t from) {
    if (block < places_.size()) places_[static_cast<std::size_t>(block)] = from;
  }

  std::uint64_t size() const { return size_; }

  // True when [offset, offset + length) lies wholly inside the image.
  bool InBounds(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  std::uint8_t Byte(std::uint64_t offset) const {
    if (offset >= size_) return 0;
    const std::uint64_t block = offset / blockSize_;
    return LoadByte(source_, places_[static_cast<std::size_t>(block)], offset % blockSize_);
  }

  // count bytes from offset, one character each; zeros past the end.
  std::string Chars(std::uint64_t offset, std::size_t count) const;

  // Hands the bytes [offset, offset + count) to emit(data, n) in order, in
  // pieces that never cross a block; data is nullptr for a piece of zeros.
  template <typename Emit>
  void ForEachPiece(std::uint64_t offset, std::uint64_t count, Emit&& emit) const {
    while (count > 0) {
      const std::uint64_t inBlock = blockSize_ - offset % blockSize_;
      const std::uint64_t take = count < inBlock ? count : inBlock;
      const std::uint64_t from = SourceOf(offset);
      // The part of the piece the source holds, then zeros.
      const std::uint64_t have =
          from < source_.size() ? std::min<std::uint64_t>(take, source_.size() - from) : 0;
      if (have > 0) emit(source_.data() + from, static_cast<std::size_t>(have));
      if (have < take) emit(nullptr, static_cast<std::size_t>(take - have));
      offset += take;
      count -= take;
    }
  }

 private:
  // The source offset of an image byte, or kNoSource.
  std::uint64_t SourceOf(std::uint64_t offset) const {
    if (offset >= size_) return kNoSource;
    const std::uint64_t from = places_[static_cast<std::size_t>(offset / blockSize_)];
    return from == kNoSource ? kNoSource : from + offset % blockSize_;
  }

  std::span<const std::uint8_t> source_;
  std::uint64_t blockSize_ = 1;
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> places_;
};

}  // namespace quillex
