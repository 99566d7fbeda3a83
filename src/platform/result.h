// Errors as values: a small [[nodiscard]] result type.
//
//   Result<Handle, uint32_t> r = files.CreateFileW(...);
//   if (!r) return fail(r.error());
//   use(r.value());
//
// No exceptions cross a module boundary; every fallible operation returns a Result and the
// caller decides what a failure means.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quolin {

template <class E>
struct Failure {
  E error;
};

// Wraps an error so that it converts into any Result<T, E>.
template <class E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error) {
  return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success carries nothing.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
  Result(Failure<F> f) : e_(E(std::move(f.error))) {}  // NOLINT

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }

  E& error() & { return *e_; }
  const E& error() const& { return *e_; }
  E&& error() && { return *std::move(e_); }

 private:
  std::optional<E> e_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace quolin
