// What the tests share about bytes: the byte-vector type, little-endian
// stores and loads at an offset, and the FAT type of a test volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillex::test {

using Bytes = std::vector<std::uint8_t>;

enum class FatType { Fat12, Fat16 };

// Stores the low `width` bytes of value at `at`, least significant first;
// throws std::out_of_range when the buffer does not hold them.
inline void PutLe(Bytes& b, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void Put16(Bytes& b, std::size_t at, std::uint32_t value) { PutLe(b, at, value, 2); }
inline void Put32(Bytes& b, std::size_t at, std::uint32_t value) { PutLe(b, at, value, 4); }

// The little-endian value of `width` bytes (at most 4) at `at`; bytes past
// the end read 0.
inline std::uint32_t Le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    if (at + i < b.size()) value |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
  }
  return value;
}

}  // namespace quillex::test
