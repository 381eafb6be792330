// Result<T, E>: the value of an operation that can fail with a typed error.
//
// Failures the caller is expected to handle travel as values; exceptions are
// reserved for programming errors. The shape follows std::expected so that a
// later switch to it is mechanical.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace brenvik {

// Wraps an error value so that `return Err(e);` converts into any Result<T, E>.
template <typename E>
struct Err {
  E error;
  explicit Err(E e) : error(std::move(e)) {}
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename U>
    requires std::is_constructible_v<E, U>
  Result(Err<U> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Requires ok().
  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  // Requires !ok().
  E& error() & { assert(!ok()); return std::get<1>(v_); }
  const E& error() const& { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

  T value_or(T fallback) const& { return ok() ? std::get<0>(v_) : std::move(fallback); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that produces nothing but can fail.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <typename U>
    requires std::is_constructible_v<E, U>
  Result(Err<U> err) : e_(std::in_place, std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  const E& error() const& { assert(!ok()); return *e_; }
  E&& error() && { assert(!ok()); return std::move(*e_); }

 private:
  // Optional so that error types without a default value can be used.
  std::optional<E> e_;
};

// The success value of Result<void, E>.
template <typename E>
inline Result<void, E> Ok() { return {}; }

}  // namespace brenvik

// Propagates the error of a Result expression, otherwise yields nothing.
#define BRENVIK_TRY_VOID(expr)                                            \
  do {                                                                    \
    auto&& brenvik_try_r_ = (expr);                                       \
    if (!brenvik_try_r_.ok()) return ::brenvik::Err(std::move(brenvik_try_r_).error()); \
  } while (0)

#define BRENVIK_CONCAT_INNER(a, b) a##b
#define BRENVIK_CONCAT(a, b) BRENVIK_CONCAT_INNER(a, b)
// Declares `lhs` from the value of a Result expression or propagates its error.
#define BRENVIK_TRY(lhs, expr) BRENVIK_TRY_IMPL(BRENVIK_CONCAT(brenvik_try_, __LINE__), lhs, expr)
#define BRENVIK_TRY_IMPL(tmp, lhs, expr)                               \
  auto tmp = (expr);                                                   \
  if (!tmp.ok()) return ::brenvik::Err(std::move(tmp).error());        \
  lhs = std::move(tmp).value()
