#include "base/hex.h"

namespace quillex {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

std::string Hex(std::uint32_t value, int digits) {
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

}  // namespace

std::string HexByte(std::uint32_t value) { return Hex(value, 2); }
std::string HexWord(std::uint32_t value) { return Hex(value, 4); }
std::string HexDword(std::uint32_t value) { return Hex(value, 8); }

std::string LowerHex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kLower[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    text += kLower[bytes[i] >> 4];
    text += kLower[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace quillex
