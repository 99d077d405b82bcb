// Fixed-width upper-case hexadecimal texts of the messages.
#include "base/hex.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace quillex {
namespace {

using test::CaseName;

using HexFn = std::string (*)(std::uint32_t);

struct HexCase {
  friend void PrintTo(const HexCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  HexFn fn;
  std::uint32_t value;
  const char* expected;
};

class HexText : public testing::TestWithParam<HexCase> {};

TEST_P(HexText, GivesFullWidthUpperCaseDigits) {
  const HexCase& c = GetParam();
  EXPECT_EQ(c.fn(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Digits, HexText,
    testing::Values(
        HexCase{"Byte_0", HexByte, 0, "00"},
        HexCase{"Byte_10_LeadingZero", HexByte, 10, "0A"},
        HexCase{"Byte_255", HexByte, 255, "FF"},
        HexCase{"Byte_0xA5_HighNibbleFirst", HexByte, 0xA5, "A5"},
        HexCase{"Byte_Of0x1234_ShowsLow8Bits", HexByte, 0x1234, "34"},
        HexCase{"Byte_Of0xFFFFFF00_ShowsLow8Bits", HexByte, 0xFFFFFF00u, "00"},
        HexCase{"Word_0", HexWord, 0, "0000"},
        HexCase{"Word_2048", HexWord, 2048, "0800"},
        HexCase{"Word_0xABCD_UpperCase", HexWord, 0xABCD, "ABCD"},
        HexCase{"Word_0xFFFF", HexWord, 0xFFFF, "FFFF"},
        HexCase{"Word_26", HexWord, 26, "001A"},
        HexCase{"Word_Of65536_ShowsLow16Bits", HexWord, 0x10000, "0000"},
        HexCase{"Word_Of0x00010012_ShowsLow16Bits", HexWord, 0x00010012, "0012"},
        HexCase{"Word_Of0xDEADBEEF_ShowsLow16Bits", HexWord, 0xDEADBEEFu, "BEEF"},
        HexCase{"Dword_0", HexDword, 0, "00000000"},
        HexCase{"Dword_1", HexDword, 1, "00000001"},
        HexCase{"Dword_MapSignature1", HexDword, 0x0019DADF, "0019DADF"},
        HexCase{"Dword_0x80000000", HexDword, 0x80000000u, "80000000"},
        HexCase{"Dword_0xDEADBEEF", HexDword, 0xDEADBEEFu, "DEADBEEF"},
        HexCase{"Dword_Max", HexDword, 0xFFFFFFFFu, "FFFFFFFF"},
        HexCase{"Dword_EveryDigit", HexDword, 0x1234ABCD, "1234ABCD"}),
    CaseName());

}  // namespace
}  // namespace quillex
