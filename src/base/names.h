// Names from the image as Unicode. Long names are stored as UTF-16; short
// names, the deleted-entry marker and mount paths are 8-bit, and are read as
// Windows-1252, the code page the phones' users see them in on Windows.
// Inside the tool every name is UTF-8; the platform module converts where the
// system wants another form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillex {

// 8-bit text, byte for byte through Windows-1252, as UTF-8. The five bytes
// the code page leaves undefined (81 8D 8F 90 9D) map to U+0081 ... U+009D.
std::string Cp1252ToUtf8(std::string_view bytes);

// UTF-16 code units as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units);

// UTF-8 as UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// The key two names are compared by, as Windows compares them: each
// character through its simple uppercase mapping ("straße" and "STRASSE"
// differ; "é" and "É" are one).
std::string NameKey(std::string_view utf8);

}  // namespace quillex
