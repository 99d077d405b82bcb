#include "base/names.h"

#include <algorithm>
#include <iterator>

namespace quillex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 80 to 9F; the rest of the code page is Latin-1. The
// five holes keep their C1 control code points.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The length of the valid UTF-8 sequence at text[i] and its code point;
// 0 when none starts there.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& c) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = c << 6 | (next & 0x3Fu);
  }
  if (c < least || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) return 0;
  return length;
}

// Ranges of characters that share one uppercase offset, for a search by
// halves: about 200 entries, so a name costs a few comparisons per
// character beyond ASCII.
struct CaseRange {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint32_t step;
};

constexpr CaseRange kCaseRanges[] = {
#include "base/case_table.inc"
};

char32_t SimpleUpper(char32_t c) {
  const auto* end = std::end(kCaseRanges);
  // The last range that starts at or before c.
  const auto* it = std::upper_bound(std::begin(kCaseRanges), end, c,
                                    [](char32_t value, const CaseRange& r) { return value < r.first; });
  if (it == std::begin(kCaseRanges)) return c;
  const CaseRange& r = *(it - 1);
  if (c > r.last || (c - r.first) % r.step != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + r.delta);
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : char32_t{b});
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t c = units[i];
    if (IsHighSurrogate(c) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(text, i, c);
    if (length == 0) {
      out += static_cast<char16_t>(kReplacement);
      ++i;
    } else if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += length;
  }
  return out;
}

std::string NameKey(std::string_view utf8) {
  std::string key;
  key.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const char byte = utf8[i];
    if (static_cast<unsigned char>(byte) < 0x80) {  // most names are ASCII
      key += byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(utf8, i, c);
    if (length <= 1) {
      // ASCII other than a-z, or a stray byte: two names differ by it as
      // they stand.
      key += byte;
      ++i;
      continue;
    }
    AppendUtf8(key, SimpleUpper(c));
    i += length;
  }
  return key;
}

}  // namespace quillex
