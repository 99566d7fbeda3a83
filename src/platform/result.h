// Errors as values: a small [[nodiscard]] result type.
//
//   Result<UniqueHandle, LogError> r = open(...);
//   if (!r) return fail(r.error());
//   use(r.value());
//
// No exceptions cross a module boundary; every fallible operation returns a Result and the
// caller decides what a failure means. A failure is made only by fail(...), so a bare
// `return x;` is always a success. Reading the side a result does not hold (value() of a
// failure, error() of a success) is a bug: it says so on stderr and aborts, in every build.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quolin {

template <class E>
class Failure;

template <class E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error);

// An error on its way into a Result<T, E>; only fail(...) makes one.
template <class E>
class Failure {
 public:
  E error;

 private:
  explicit Failure(E e) : error(std::move(e)) {}
  template <class F>
  friend Failure<std::decay_t<F>> fail(F&& error);
};

// Wraps an error so that it converts into any Result<T, E> whose E can be made from it.
template <class E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error) {
  return Failure<std::decay_t<E>>(std::forward<E>(error));
}

namespace detail {
[[noreturn]] inline void wrong_side(const char* what) {
  std::fputs(what, stderr);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  std::abort();
}
}  // namespace detail

template <class T, class E>
class [[nodiscard]] Result {
  // With one type on both sides `return x;` could be read either way.
  static_assert(!std::is_same_v<std::decay_t<T>, std::decay_t<E>>, "a result's value and error need distinct types");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return holding_value(), *std::get_if<0>(&v_); }
  const T& value() const& { return holding_value(), *std::get_if<0>(&v_); }
  T&& value() && { return holding_value(), std::move(*std::get_if<0>(&v_)); }

  E& error() & { return holding_error(), *std::get_if<1>(&v_); }
  const E& error() const& { return holding_error(), *std::get_if<1>(&v_); }
  E&& error() && { return holding_error(), std::move(*std::get_if<1>(&v_)); }

 private:
  void holding_value() const {
    if (!ok()) detail::wrong_side("Result::value() called on a failure");
  }
  void holding_error() const {
    if (ok()) detail::wrong_side("Result::error() called on a success");
  }

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

  E& error() & { return holding_error(), *e_; }
  const E& error() const& { return holding_error(), *e_; }
  E&& error() && { return holding_error(), *std::move(e_); }

 private:
  void holding_error() const {
    if (ok()) detail::wrong_side("Result::error() called on a success");
  }

  std::optional<E> e_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace quolin
