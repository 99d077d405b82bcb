// Little-endian readers of the raw image and of the normal FS image: byte
// order, unaligned offsets, and reads that straddle or pass the end of a
// buffer (they yield zero bytes and never reach memory outside it).
#include <gtest/gtest.h>

#include "support/test_support.h"

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "tool/run_state.h"

namespace quillex {
namespace {

using test::CaseName;

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t k2Pow32 = std::uint64_t{1} << 32;
constexpr std::uint64_t kMax64 = ~std::uint64_t{0};

ZeroedBuffer MemOf(const Bytes& bytes) {
  ZeroedBuffer mem(bytes.size(), "test buffer");
  if (!bytes.empty()) std::memcpy(mem.data(), bytes.data(), bytes.size());
  return mem;
}

// The same bytes in both images, so every reader can be checked on them.
RunState StateWithBoth(const Bytes& bytes) {
  RunState s;
  s.RawImage = MemOf(bytes);
  s.FsImage = FsView::Flat(s.RawImage.view());
  return s;
}

struct NumberCase {
  friend void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes bytes;
  std::uint64_t offset;
  std::uint16_t word;
  std::uint32_t dword;
};

class NumberReaders : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberReaders, ReadLittleEndianWithZerosBeyondTheEnd) {
  const NumberCase& c = GetParam();
  const RunState s = StateWithBoth(c.bytes);
  EXPECT_EQ(FsWord(s, c.offset), c.word);
  EXPECT_EQ(RawDword(s, c.offset), c.dword);
  EXPECT_EQ(FsDword(s, c.offset), c.dword);
  EXPECT_EQ(FsByte(s, c.offset), static_cast<std::uint8_t>(c.word & 0xFF));
}

const Bytes kSix{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kFour{0xAA, 0xBB, 0xCC, 0xDD};

INSTANTIATE_TEST_SUITE_P(
    Offsets, NumberReaders,
    testing::Values(
        NumberCase{"Marker_03_00_Is3", {0x03, 0x00, 0x1A, 0x00}, 0, 3, 0x001A0003},
        NumberCase{"Version_1A_00_Is26", {0x03, 0x00, 0x1A, 0x00}, 2, 26, 26},
        NumberCase{"MapSignature_DF_DA_19_00_Is1694431", {0xDF, 0xDA, 0x19, 0x00}, 0, 0xDADF,
                   1694431},
        NumberCase{"UnalignedOffset1", kSix, 1, 0x3322, 0x55443322},
        NumberCase{"HighBitsNotSignExtended", {0x80, 0x00, 0x00, 0x80}, 0, 0x0080, 0x80000080},
        NumberCase{"AllOnes", {0xFF, 0xFF, 0xFF, 0xFF}, 0, 0xFFFF, 0xFFFFFFFF},
        NumberCase{"DwordStraddlesEndByOne", kSix, 3, 0x5544, 0x00665544},
        NumberCase{"LastByteOnly", kSix, 5, 0x0066, 0x00000066},
        NumberCase{"ExactlyAtTheEnd", kSix, 6, 0, 0},
        NumberCase{"FarPastTheEnd", kSix, 1000, 0, 0},
        NumberCase{"EmptyBuffer", {}, 0, 0, 0},
        NumberCase{"Offset2Pow32Minus2_DoesNotWrapTo0", kFour, k2Pow32 - 2, 0, 0},
        NumberCase{"Offset2Pow32Minus1_DoesNotWrapTo0", kFour, k2Pow32 - 1, 0, 0},
        NumberCase{"Offset2Pow32_IsNotOffset0", kFour, k2Pow32, 0, 0},
        NumberCase{"Offset2Pow32Plus1_IsNotOffset1", kFour, k2Pow32 + 1, 0, 0},
        NumberCase{"Offset2Pow64Minus3_DoesNotWrapTo0", kFour, kMax64 - 2, 0, 0},
        NumberCase{"Offset2Pow64Minus2_DoesNotWrapTo0", kFour, kMax64 - 1, 0, 0},
        NumberCase{"Offset2Pow64Minus1_DoesNotWrapTo0", kFour, kMax64, 0, 0}),
    CaseName());

struct CharsCase {
  friend void PrintTo(const CharsCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes bytes;
  std::uint64_t offset;
  std::size_t count;
  std::string expected;  // built with an explicit length where it holds zero bytes
};

class CharsReader : public testing::TestWithParam<CharsCase> {};

TEST_P(CharsReader, GivesExactlyCountBytesUnchanged) {
  const CharsCase& c = GetParam();
  const RunState s = StateWithBoth(c.bytes);
  const std::string text = FsChars(s, c.offset, c.count);
  EXPECT_EQ(text.size(), c.count);
  EXPECT_EQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CharsReader,
    testing::Values(
        CharsCase{"ZeroByteDoesNotEndText", {0x41, 0x42, 0x00, 0x43}, 0, 4,
                  std::string("AB\0C", 4)},
        CharsCase{"TrailingBlanksKept", Bytes{'P', 'H', 'O', 'N', 'E', '_', 'F', 'S', ' ', ' ', ' '},
                  0, 11, "PHONE_FS   "},
        CharsCase{"EightCharacterNameAtOffset",
                  Bytes{'x', 'R', 'E', 'A', 'D', 'M', 'E', ' ', ' ', 'T', 'X', 'T'}, 1, 8,
                  "README  "},
        CharsCase{"ControlAndHighBytesUnchanged", {0x01, 0x7F, 0x80, 0xE5, 0xFF}, 0, 5,
                  std::string("\x01\x7F\x80\xE5\xFF", 5)},
        CharsCase{"SingleZeroCharacter", {0x41, 0x42, 0x00, 0x43}, 2, 1, std::string(1, '\0')},
        CharsCase{"StraddlingEndPadsWithZeros", {0x41, 0x42}, 1, 3, std::string("B\0\0", 3)},
        CharsCase{"PastEndAllZeros", {0x41, 0x42}, 10, 2, std::string(2, '\0')},
        CharsCase{"Offset2Pow32Minus1_DoesNotWrapTo0", {0x41, 0x42, 0x43}, k2Pow32 - 1, 3,
                  std::string(3, '\0')},
        CharsCase{"Offset2Pow64Minus2_DoesNotWrapTo0", {0x41, 0x42, 0x43}, kMax64 - 1, 4,
                  std::string(4, '\0')},
        CharsCase{"CountZeroIsEmpty", {0x41}, 0, 0, ""}),
    CaseName());

struct BoundsCase {
  friend void PrintTo(const BoundsCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::size_t size;
  std::uint64_t offset;
  std::uint64_t length;
  bool inside;
};

class BoundsCheck : public testing::TestWithParam<BoundsCase> {};

TEST_P(BoundsCheck, TellsWhetherARangeLiesWhollyInside) {
  const BoundsCase& c = GetParam();
  const ZeroedBuffer mem(c.size, "test buffer");
  EXPECT_EQ(InBounds(mem.view(), c.offset, c.length), c.inside);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, BoundsCheck,
    testing::Values(BoundsCase{"WholeBuffer", 10, 0, 10, true},
                    BoundsCase{"EndingAtTheEnd", 10, 8, 2, true},
                    BoundsCase{"OneByteTooMany", 10, 8, 3, false},
                    BoundsCase{"EmptyRangeAtTheEnd", 10, 10, 0, true},
                    BoundsCase{"EmptyRangePastTheEnd", 10, 11, 0, false},
                    BoundsCase{"LengthThatWouldWrap", 10, 2, kMax64, false},
                    BoundsCase{"OffsetThatWouldWrap", 10, kMax64, 2, false}),
    CaseName());

TEST(ByteBuffer, NewBytesAreZero) {
  const ZeroedBuffer mem(4096, "test buffer");
  ASSERT_EQ(mem.size(), 4096u);
  for (std::size_t i = 0; i < mem.size(); ++i) ASSERT_EQ(mem.data()[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace quillex
