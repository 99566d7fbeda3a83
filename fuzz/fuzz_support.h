// What every fuzz target shares: a checked property that stops the run with a message, and a
// reader that carves typed values out of the fuzz bytes. Text is checked with the service's own
// converters and checker, which the Text tests prove.
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

}  // namespace quolin::fuzz
