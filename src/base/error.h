// The system's one error kind, and the result type every fallible operation returns.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace halden {

// An error value. Either the system's own failure (domain "Halden", code 1, a
// fixed user-facing sentence as its description) or a platform error that keeps
// the domain, code and description its library gave it (errno text, libsndfile,
// libcurl, the JSON parser, ...). The description is what the user sees.
class Error {
 public:
  static constexpr std::string_view haldenDomain = "Halden";
  static constexpr std::string_view posixDomain = "POSIX";

  Error(std::string domain, int code, std::string description)
      : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

  // A platform error from an errno value; the description is strerror's text.
  static Error fromErrno(int errnoValue);

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& description() const { return description_; }

  // True for errors made by failure(), false for platform errors.
  bool isFailure() const { return domain_ == haldenDomain && code_ == 1; }

  bool operator==(const Error&) const = default;

 private:
  std::string domain_;
  int code_;
  std::string description_;
};

// The system's own failure: domain "Halden", code 1, `message` as description.
inline Error failure(std::string message) {
  return Error(std::string(Error::haldenDomain), 1, std::move(message));
}

// Either a value of T or an Error. Errors are values across every layer; code
// that calls a throwing library catches at the call and returns an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // REQUIRES: !ok().
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  void value() const { assert(ok()); }

  // REQUIRES: !ok().
  const Error& error() const& { return *error_; }
  Error&& error() && { return *std::move(error_); }

 private:
  std::optional<Error> error_;
};

// Success of a Result<void>.
inline Result<void> success() { return {}; }

}  // namespace halden

// Evaluates a Result-returning expression; on failure returns its error from the
// enclosing function, otherwise yields the value. (A GNU statement expression,
// supported by GCC and Clang.) Not for coroutines: use HALDEN_CO_TRY there.
#define HALDEN_TRY(expr)                                   \
  ({                                                       \
    auto&& haldenTryResult_ = (expr);                      \
    if (!haldenTryResult_.ok())                            \
      return std::move(haldenTryResult_).error();          \
    std::move(haldenTryResult_).value();                   \
  })

// In a coroutine returning Task<Result<...>>: evaluates `expr` (which may
// contain co_await) and co_returns its error on failure.
//   HALDEN_CO_TRY(auto bytes, co_await readChunk());
#define HALDEN_CO_TRY_CONCAT_(a, b) a##b
#define HALDEN_CO_TRY_NAME_(line) HALDEN_CO_TRY_CONCAT_(haldenCoTry_, line)
#define HALDEN_CO_TRY(declaration, expr)                                   \
  auto HALDEN_CO_TRY_NAME_(__LINE__) = (expr);                             \
  if (!HALDEN_CO_TRY_NAME_(__LINE__).ok())                                 \
    co_return std::move(HALDEN_CO_TRY_NAME_(__LINE__)).error();            \
  declaration = std::move(HALDEN_CO_TRY_NAME_(__LINE__)).value()

// In a coroutine: evaluates a Result<void>-yielding `expr` (which may contain
// co_await) and co_returns its error on failure.
#define HALDEN_CO_CHECK(expr)                                              \
  if (auto HALDEN_CO_TRY_NAME_(__LINE__) = (expr);                         \
      !HALDEN_CO_TRY_NAME_(__LINE__).ok())                                 \
  co_return std::move(HALDEN_CO_TRY_NAME_(__LINE__)).error()
