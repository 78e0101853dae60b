// A value or an error, for every fallible operation. Expected failures travel
// as values; only internal errors are thrown (see panic.h).
//
// A value converts to a Result implicitly (`return size;`). An error is made
// with err() (`return err("The process is None");`), so that a text, a
// number or anything else that could be a value is never taken for an error
// by accident. The one exception is an error type whose values can be
// nothing else, which says so with `using converts_to_error = void;`
// (the filesystem's IoError: `return IoError::NotAFile;`).
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace marrowfen {

template <class T>
struct Ok {
  T value;
};
template <class E>
struct Err {
  E error;
};
template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return {std::forward<E>(e)};
}

// Error types whose values convert to an error implicitly (see above).
template <class E>
concept ConvertsToError = requires { typename E::converts_to_error; };

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(Ok<T> v) : v_(std::in_place_index<0>, std::move(v.value)) {}
  // err() of anything the error type is made from (a literal for a text).
  template <class F>
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}
  // Plain values convert implicitly when the two types cannot be confused.
  template <class U = T>
    requires(!std::is_same_v<T, E> && std::is_convertible_v<U &&, T> && !std::is_convertible_v<U &&, E>)
  Result(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}
  // The extra parameter keeps the two templates apart for compilers that
  // compare their signatures without the constraints (clang 14 does).
  template <class U = E, int = 0>
    requires(ConvertsToError<E> && !std::is_same_v<T, E> && std::is_convertible_v<U &&, E> &&
             !std::is_convertible_v<U &&, T>)
  Result(U&& e) : v_(std::in_place_index<1>, std::forward<U>(e)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
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
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> e) : e_(std::in_place, std::move(e.error)) {}
  template <class U>
    requires(ConvertsToError<E> && std::is_convertible_v<U &&, E>)
  Result(U&& e) : e_(E(std::forward<U>(e))) {}

  bool ok() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // Only when !ok(): the error of a success is a broken invariant.
  // NOLINTBEGIN(bugprone-unchecked-optional-access)
  E& error() & { return *e_; }
  const E& error() const& { return *e_; }
  E&& error() && { return std::move(*e_); }
  // NOLINTEND(bugprone-unchecked-optional-access)

 private:
  std::optional<E> e_;
};

#define MF_CONCAT_INNER(a, b) a##b
#define MF_CONCAT(a, b) MF_CONCAT_INNER(a, b)

// Evaluates `expr` (a Result); on error returns the error from the enclosing
// function, otherwise declares/assigns `lhs` from the value.
#define MF_TRY_ASSIGN(lhs, expr)                                                 \
  auto MF_CONCAT(mf_result_, __LINE__) = (expr);                                 \
  if (!MF_CONCAT(mf_result_, __LINE__).ok())                                     \
    return ::marrowfen::err(std::move(MF_CONCAT(mf_result_, __LINE__)).error()); \
  lhs = std::move(MF_CONCAT(mf_result_, __LINE__)).value()  // NOLINT(bugprone-macro-parentheses): lhs may declare

// Evaluates `expr` (a Result); on error returns the error.
#define MF_TRY(expr)                                                              \
  do {                                                                            \
    auto mf_result_ = (expr);                                                     \
    if (!mf_result_.ok()) return ::marrowfen::err(std::move(mf_result_).error()); \
  } while (0)

}  // namespace marrowfen
