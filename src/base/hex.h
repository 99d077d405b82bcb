// Fixed-width upper-case hexadecimal texts, as every message of the tool
// shows its numbers. No prefix: the "$" belongs to the message literals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillex {

// Two digits of the low 8 bits.
std::string HexByte(std::uint32_t value);
// Four digits of the low 16 bits.
std::string HexWord(std::uint32_t value);
// Eight digits.
std::string HexDword(std::uint32_t value);
// Lower-case digits of each byte in turn, as digests are written.
std::string LowerHex(const std::uint8_t* bytes, std::size_t count);

}  // namespace quillex
