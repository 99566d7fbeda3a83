// What every fuzz target shares: a checked property that stops the run with a message, a reader
// that carves typed values out of the fuzz bytes, and UTF-8 and UTF-16 checkers written apart
// from the service's own.
//
//   extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
//     quolin::fuzz::Input in(data, size);
//     std::uint32_t code = in.next<std::uint32_t>();
//     FUZZ_CHECK(some_property(code));
//     return 0;
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Stops the run when a property does not hold; libFuzzer then keeps the input as a finding.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) ::quolin::fuzz::property_failed(__FILE__, __LINE__, #condition); \
  } while (false)

namespace quolin::fuzz {

[[noreturn]] inline void property_failed(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}

// Reads the fuzz bytes from the front; past the end every value is zero and every run empty.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t left() const { return size_ - at_; }

  std::uint8_t u8() {
    if (at_ >= size_) return 0;
    return data_[at_++];
  }
  // The next sizeof(T) bytes as an unsigned little-endian value.
  template <typename T>
  T next() {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(u8()) << (8 * i));
    return v;
  }
  // The remaining bytes as little-endian UTF-16 units (an odd last byte is dropped).
  std::u16string rest_as_utf16() {
    std::u16string out;
    while (left() >= 2) {
      std::uint16_t lo = u8();
      std::uint16_t hi = u8();
      out.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    at_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto c = static_cast<std::uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

inline bool is_valid_utf16(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

}  // namespace quolin::fuzz
