// src/core/result.h: failures as values for the interpreter-free core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvane {

enum class ErrorKind : uint8_t { Value, Type, Overflow, Recursion, Memory, Panic };

// An error the core reports; the module edge turns it into a Python exception.
struct Error {
  ErrorKind kind;
  std::string message;
};

// A value or an error, shaped like std::expected so it can replace this at C++23.
// There is no default constructor: `return {}` cannot be mistaken for success.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, E> &&
             !std::is_same_v<std::remove_cvref_t<F>, T> &&
             !std::is_same_v<std::remove_cvref_t<F>, Result> &&
             std::is_constructible_v<E, F &&> && !std::is_constructible_v<T, F &&>)
  Result(F&& error) : v_(std::in_place_index<1>, E(std::forward<F>(error))) {}

  // A result of the core passes up through the edge unchanged.
  template <class E2>
    requires(!std::is_same_v<E2, E> && std::is_constructible_v<E, E2 &&>)
  Result(Result<T, E2>&& other)
      : v_(other ? std::variant<T, E>(std::in_place_index<0>, std::move(other).value())
                 : std::variant<T, E>(std::in_place_index<1>, E(std::move(other).error()))) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & noexcept { return *std::get_if<0>(&v_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&v_)); }
  const T& value() const& noexcept { return *std::get_if<0>(&v_); }
  T& operator*() & noexcept { return value(); }
  T* operator->() noexcept { return &value(); }
  E& error() & noexcept { return *std::get_if<1>(&v_); }
  E&& error() && noexcept { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

// Success carries nothing; `Ok()` spells it.
struct Ok {};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result(Ok) noexcept {}
  Result(E error) : error_(std::move(error)) {}
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, E> &&
             !std::is_same_v<std::remove_cvref_t<F>, Result> &&
             !std::is_same_v<std::remove_cvref_t<F>, Ok> &&
             std::is_constructible_v<E, F &&>)
  Result(F&& error) : error_(E(std::forward<F>(error))) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  E& error() & noexcept { return *error_; }
  E&& error() && noexcept { return std::move(*error_); }

 private:
  std::optional<E> error_;  // success constructs no error
};

#define KV_CONCAT_INNER(a, b) a##b
#define KV_CONCAT(a, b) KV_CONCAT_INNER(a, b)

// Return the error of `expr` from the enclosing function if it failed.
#define KV_TRY(expr)                                   \
  do {                                                 \
    auto&& kv_try_result_ = (expr);                    \
    if (!kv_try_result_) return std::move(kv_try_result_).error(); \
  } while (0)

#define KV_ASSIGN_IMPL(tmp, lhs, expr)       \
  auto&& tmp = (expr);                       \
  if (!tmp) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()

// Bind the value of `expr` to `lhs`, or return its error.
#define KV_ASSIGN_OR_RETURN(lhs, expr) \
  KV_ASSIGN_IMPL(KV_CONCAT(kv_assign_result_, __LINE__), lhs, expr)

inline Error value_error(std::string message) {
  return Error{ErrorKind::Value, std::move(message)};
}
inline Error type_error(std::string message) {
  return Error{ErrorKind::Type, std::move(message)};
}
inline Error overflow_error(std::string message) {
  return Error{ErrorKind::Overflow, std::move(message)};
}

}  // namespace korvane
