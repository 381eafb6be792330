// The call frame of every export: argument lifting, result lowering, and the
// boundary that turns expected errors into code 1, conversion failures and
// internal faults into code 2, and never lets an exception reach the host.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "bindings/buffer.h"
#include "bindings/codec.h"
#include "bindings/errors.h"
#include "bindings/handle.h"

namespace brenvik::ffi {

inline constexpr int8_t kCallSuccess = 0;
inline constexpr int8_t kCallError = 1;
inline constexpr int8_t kCallUnexpected = 2;
inline constexpr int8_t kCallCancelled = 3;

// The message of a failed argument conversion.
std::string arg_failure(std::string_view name, std::string_view message);

// Lifts one buffer argument: a string is its bare bytes, checked as UTF-8 with
// the same error as a string inside a record; every other type is read with the
// codec and must fill the buffer exactly.
template <typename T>
LiftResult<T> lift(const ArgBuffer& b, std::string_view name) {
  if (auto broken = check_buffer(b.raw())) return Err(arg_failure(name, *broken));
  if constexpr (std::is_same_v<T, std::string>) {
    if (auto bad = utf8_problem(b.view())) return Err(arg_failure(name, *bad));
    return to_string(b.view());
  } else {
    auto v = read_exact<T>(b.view());
    if (!v.ok()) return Err(arg_failure(name, v.error()));
    return v;
  }
}

LiftResult<bool> lift_bool(int8_t v, std::string_view name);

// The passing form of a result.
template <typename T>
auto lower_return(T&& v) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return static_cast<int8_t>(v ? 1 : 0);
  } else if constexpr (std::is_arithmetic_v<U>) {
    return v;
  } else if constexpr (std::is_same_v<U, std::string>) {
    return buffer_from(std::string_view(v));
  } else if constexpr (requires { v.into_handle(); }) {
    return v.into_handle();
  } else {
    return write_buffer<U>(v);
  }
}

// What one export produced: a value, an expected error, or an unexpected failure.
template <typename R>
class Outcome {
  using Value = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

 public:
  template <typename... V>
  static Outcome success(V&&... v) {
    Outcome o;
    o.state_ = Value{std::forward<V>(v)...};
    return o;
  }
  static Outcome expected(InterfaceError e) {
    Outcome o;
    o.state_ = std::move(e);
    return o;
  }
  static Outcome failed(std::string message) {
    Outcome o;
    o.state_ = std::move(message);
    return o;
  }
  std::variant<Value, InterfaceError, std::string>& state() { return state_; }

 private:
  Outcome() : state_(std::string()) {}
  std::variant<Value, InterfaceError, std::string> state_;
};

void set_status(BrenvikFfiCallStatus* status, int8_t code, ByteView error);

template <typename R>
R zero_result() {
  if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_same_v<R, ByteBuffer>) {
    return null_buffer();
  } else {
    return R{};
  }
}

// Runs one export body. A successful call leaves the status as the host set it.
template <typename R, typename F>
R guarded_call(BrenvikFfiCallStatus* status, F&& body) noexcept {
  try {
    Outcome<R> o = body();
    auto& s = o.state();
    if (s.index() == 0) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return std::move(std::get<0>(s));
      }
    }
    if (s.index() == 1) {
      Bytes lowered = lower_interface_error(std::get<1>(s));
      set_status(status, kCallError, lowered);
    } else {
      set_status(status, kCallUnexpected, as_bytes(std::get<2>(s)));
    }
  } catch (const std::exception& e) {
    try {
      set_status(status, kCallUnexpected, as_bytes(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      set_status(status, kCallUnexpected, as_bytes("Unknown panic!"));
    } catch (...) {
    }
  }
  return zero_result<R>();
}

}  // namespace brenvik::ffi
