// One owner for every handle, token and environment block.
//
//   UniqueHandle process(api, info.hProcess);
//   // closed exactly once, on every path, when `process` goes out of scope, unless it was
//   // moved on or handed back with release()
//
// The traits name the raw type, its "none" values and the close call. Closing goes through
// the platform interface the owner was made with, so a fake platform sees (and counts) every
// close. Copy is deleted; a move empties the source.
#pragma once

#include <cstdint>
#include <utility>

namespace quolin::platform {

// An opaque Windows handle (HANDLE). Both null and INVALID_HANDLE_VALUE mean "no handle".
using Handle = void*;

inline Handle invalid_handle_value() {
  return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
}

inline bool is_valid_handle(Handle h) { return h != nullptr && h != invalid_handle_value(); }

// Traits shape:
//   struct Traits {
//     using Api = ...;            // interface that owns the close call
//     using pointer = ...;        // raw value type
//     static bool is_valid(pointer);
//     static void close(Api&, pointer);  // result ignored by design
//   };
template <class Traits>
class Owned {
 public:
  using Api = typename Traits::Api;
  using pointer = typename Traits::pointer;

  // Holds nothing; needs no platform until it is given something to own.
  Owned() noexcept = default;
  explicit Owned(Api& api) noexcept : api_(&api) {}
  Owned(Api& api, pointer p) noexcept : api_(&api), p_(p) {}

  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  Owned(Owned&& other) noexcept : api_(other.api_), p_(std::exchange(other.p_, pointer{})) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = other.api_;
      p_ = std::exchange(other.p_, pointer{});
    }
    return *this;
  }

  ~Owned() { reset(); }

  pointer get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return Traits::is_valid(p_); }

  // Hands the raw value to the caller, who then owns it.
  [[nodiscard]] pointer release() noexcept { return std::exchange(p_, pointer{}); }

  void reset() noexcept {
    pointer p = std::exchange(p_, pointer{});
    if (Traits::is_valid(p)) Traits::close(*api_, p);
  }

 private:
  Api* api_ = nullptr;
  pointer p_{};
};

// The close call shared by every group of the platform layer that hands out kernel handles.
class HandleCloser {
 public:
  // CloseHandle; its result is ignored everywhere, by design.
  virtual void CloseHandle(Handle h) = 0;

 protected:
  ~HandleCloser() = default;
};

struct KernelHandleTraits {
  using Api = HandleCloser;
  using pointer = Handle;
  static bool is_valid(pointer h) { return is_valid_handle(h); }
  static void close(Api& api, pointer h) { api.CloseHandle(h); }
};

// A process, thread, token or file handle, closed with CloseHandle.
using UniqueHandle = Owned<KernelHandleTraits>;

}  // namespace quolin::platform
