// Text at the Win32 boundary. Inside, text is UTF-8; Windows wants UTF-16.
//
// Paths that came from Windows may hold unpaired surrogates. They travel as WTF-8 (UTF-8 that
// also encodes a lone surrogate as its three-byte form), which converts back to the very same
// UTF-16 units; plain UTF-8 text is a subset of it.
#pragma once

#include <string>
#include <string_view>

namespace quolin::platform {

// UTF-16 to UTF-8; each unpaired surrogate becomes U+FFFD.
std::string utf8_from_utf16_lossy(std::u16string_view units);

// UTF-16 to WTF-8, without loss: wtf16_from_wtf8(wtf8_from_utf16(u)) == u for any u.
std::string wtf8_from_utf16(std::u16string_view units);

// WTF-8 (and so UTF-8) to UTF-16. Bytes that are not WTF-8 become U+FFFD.
std::u16string utf16_from_wtf8(std::string_view text);

// Whether every surrogate in `units` is part of a pair.
bool is_valid_utf16(std::u16string_view units);

// Either slash separates the components of a Windows path.
constexpr bool is_path_separator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace quolin::platform
