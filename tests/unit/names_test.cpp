// Names from the image as Unicode: the 8-bit code page, UTF-16 and UTF-8
// conversions, and the key names are compared by.
#include "base/names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

namespace quillex {
namespace {

using namespace std::string_view_literals;

TEST(Cp1252ToUtf8, BytesMapThroughTheCodePage) {
  const struct {
    std::string_view bytes;
    std::string_view utf8;
  } cases[] = {
      {"PHOTO.JPG"sv, "PHOTO.JPG"sv},
      {"\x00\x01\x1F\x7F"sv, "\x00\x01\x1F\x7F"sv},  // controls stay controls
      {"\x80"sv, "€"sv},
      {"\x81\x8D\x8F\x90\x9D"sv, "\u0081\u008D\u008F\u0090\u009D"sv},  // the undefined five
      {"\x8A\x8C\x99\x9F"sv, "ŠŒ™Ÿ"sv},
      {"\xA0\xE5HORT.JPG"sv, "\u00A0åHORT.JPG"sv},
      {"\xFF"sv, "ÿ"sv},
  };
  for (const auto& c : cases) EXPECT_EQ(Cp1252ToUtf8(c.bytes), c.utf8) << "bytes \"" << c.bytes << "\"";
}

TEST(Cp1252ToUtf8, EveryByteIsOneCharacterOfItsOwn) {
  std::set<std::u16string> seen;
  for (int b = 0; b < 256; ++b) {
    const std::u16string unit = Utf8ToUtf16(Cp1252ToUtf8(std::string(1, static_cast<char>(b))));
    ASSERT_EQ(unit.size(), 1u) << "byte " << b;
    EXPECT_NE(unit[0], 0xFFFD) << "byte " << b;
    EXPECT_TRUE(seen.insert(unit).second) << "byte " << b << " shares its character";
  }
}

TEST(Utf16ToUtf8, PairsJoinAndLoneSurrogatesAreReplaced) {
  const struct {
    std::u16string_view units;
    std::string_view utf8;
  } cases[] = {
      {u"Фото 1.jpg", "Фото 1.jpg"},
      {u"\u00E9\u4E2D\u03A9", "é中Ω"},
      {u"\u007F\u0080\u07FF\u0800\uFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {u"a\0b"sv, "a\0b"sv},
      {u"\xD83D\xDE00.jpg", "\xF0\x9F\x98\x80.jpg"},                  // U+1F600
      {u"\xD800\xDC00\xDBFF\xDFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},  // U+10000, U+10FFFF
      {u"a\xD800", "a\uFFFD"},                                      // high at the end
      {u"\xD800" u"A", "\uFFFDA"},                                    // high before no low
      {u"\xDC00" u"b", "\uFFFDb"},                                    // low alone
      {u"\xDC00\xD800", "\uFFFD\uFFFD"},                            // the wrong order
      {u"\xD800\xD800\xDC00", "\uFFFD\xF0\x90\x80\x80"},            // a high, then a pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.units), c.utf8) << "UTF-8 \"" << c.utf8 << "\"";
  }
}

TEST(Utf8ToUtf16, ValidSequencesConvertAndEveryBadByteIsReplaced) {
  const struct {
    std::string_view utf8;
    std::u16string_view units;
  } cases[] = {
      {"IMG Мама.jpg", u"IMG Мама.jpg"},
      {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", u"\u0080\u07FF\u0800\uFFFF"},  // each length's ends
      {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"日本\xF0\x9F\x98\x80", u"日本\xD83D\xDE00"},
      {"\xFF" "a", u"\uFFFDa"},
      {"\x80\xBF", u"\uFFFD\uFFFD"},          // continuation bytes alone
      {"a\xC3", u"a\uFFFD"},                  // cut short at the end
      {"\xC3" "A", u"\uFFFDA"},               // cut short by another character
      {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong "/"
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong, three bytes
      {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong, four bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a high surrogate as UTF-8
      {"\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},            // a low surrogate
      {"\xED\xA0\xBD\xED\xB8\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // a pair, each half apart
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xED\x9F\xBF", u"\uD7FF"},  // just below the surrogates
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Utf8ToUtf16(c.utf8) == c.units) << "UTF-8 \"" << c.utf8 << "\"";
  }
}

TEST(NameKey, EachCharacterTakesItsSimpleUppercase) {
  const struct {
    std::string_view name;
    std::string_view key;
  } cases[] = {
      {"", ""},
      {"abc.jpg", "ABC.JPG"},
      {"a1_!~ @[`{", "A1_!~ @[`{"},
      {"Мама.jpg", "МАМА.JPG"},  // so "МАМА.JPG" collides with it
      {"straße", "STRAßE"},      // and "STRASSE" does not
      {"ﬁle", "ﬁLE"},
      {"éя", "ÉЯ"},
      {"ωσς", "ΩΣΣ"},
      {"ǆǅǄ", "ǄǄǄ"},  // the title case too
      {"ÿµ", "ŸΜ"},
      {"ıſ", "IS"},
      {"āĀăĂžĳŀ", "ĀĀĂĂŽĲĿ"},  // alternate lower and upper, both alignments
      {"ａｚ", "ＡＺ"},
      {"աֆ", "ԱՖ"},   // Armenian
      {"ⴀⴥ", "ႠჅ"},   // Georgian
      {"ꭰᏸ", "ᎠᏰ"},   // Cherokee
      {"ⓐ", "Ⓐ"},
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80"},  // Deseret, beyond the BMP
      {"ᾳᾀ", "ᾼᾈ"},  // the iota subscript, one character to one
      {"ᾈΐ", "ᾈΐ"},  // no simple uppercase
      {"照片 2008.JPG", "照片 2008.JPG"},
      {"\xFF" "a\xC3", "\xFF" "A\xC3"},  // bytes that are no UTF-8 stay
  };
  for (const auto& c : cases) EXPECT_EQ(NameKey(c.name), c.key) << "name \"" << c.name << "\"";
}

}  // namespace
}  // namespace quillex
