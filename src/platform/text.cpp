#include "platform/text.h"

#include <cstdint>

namespace quolin::platform {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_code_point(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Walks UTF-16, handing each code point (or lone surrogate, flagged) to `emit`.
template <class Emit>
void decode_utf16(std::u16string_view units, Emit emit) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (is_high_surrogate(u) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
      char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                    (static_cast<char32_t>(units[i + 1]) - 0xDC00);
      emit(cp, false);
      ++i;
    } else {
      emit(static_cast<char32_t>(u), is_high_surrogate(u) || is_low_surrogate(u));
    }
  }
}

}  // namespace

std::string utf8_from_utf16_lossy(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  decode_utf16(units, [&](char32_t cp, bool lone) { append_code_point(out, lone ? REPLACEMENT : cp); });
  return out;
}

std::string wtf8_from_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  decode_utf16(units, [&](char32_t cp, bool) { append_code_point(out, cp); });
  return out;
}

std::u16string utf16_from_wtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  auto continuation = [&](std::size_t k) { return k < text.size() && (byte(k) & 0xC0) == 0x80; };
  while (i < text.size()) {
    std::uint8_t b = byte(i);
    char32_t cp = REPLACEMENT;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0 && continuation(i + 1)) {
      cp = ((b & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
      len = 2;
      if (cp < 0x80) cp = REPLACEMENT;
    } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
      cp = ((b & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
      len = 3;
      if (cp < 0x800) cp = REPLACEMENT;
    } else if ((b & 0xF8) == 0xF0 && continuation(i + 1) && continuation(i + 2) && continuation(i + 3)) {
      cp = ((b & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6) |
           (byte(i + 3) & 0x3Fu);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = REPLACEMENT;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));  // a lone surrogate comes back as itself
    }
    i += len;
  }
  return out;
}

bool is_valid_utf16(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (is_low_surrogate(units[i])) return false;
    if (is_high_surrogate(units[i])) {
      if (i + 1 == units.size() || !is_low_surrogate(units[i + 1])) return false;
      ++i;
    }
  }
  return true;
}

}  // namespace quolin::platform
