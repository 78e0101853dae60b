// The error value of the pool's host work: what was being done, and the
// errno of the system call that failed, if one did.
//
// Contract:
// - `os_error` is an errno, or 0 when no system call failed (a command's exit
//   status, a refusal of ours).
// - `context` is short and says what failed, in the words the caller's
//   message uses ("Failed to read stdout", "/tmp/x: not a directory of ours").
//   It may be empty when the errno says everything.
// - message() is the one way an error becomes text: the context, then ": "
//   and the system's description (os_error.h) when there is an errno.
// - within() puts what the caller was doing in front, so that an error
//   travels up through MF_TRY and gains its outer context on the way.
//
// An Error can be nothing but an error, so it converts to a failed Result
// by itself (`return Error::os(e, "Failed to write to the stdin of the process");`).
//
// The texts are made only where they leave the pool: the binding's
// exceptions, warn() (warning.h), the session's terminal calls and a Panic.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/result.h"

namespace marrowfen {

struct Error {
  using converts_to_error = void;

  // A failure no errno describes.
  static Error text(std::string context) { return Error{0, std::move(context)}; }
  // A failed system call; the context may be empty.
  static Error os(int os_error, std::string context = {}) { return Error{os_error, std::move(context)}; }

  // The context preceded by `outer` and ": " (`outer` alone when there is no
  // context).
  Error within(std::string_view outer) &&;

  // The text of the error, as described above.
  std::string message() const;

  int os_error = 0;
  std::string context;
};

// An error reads as its message: in comparisons with a text and in streams,
// and a list of them (a sweep's problems) as the list of their messages.
inline bool operator==(const Error& error, std::string_view text) { return error.message() == text; }
bool operator==(const std::vector<Error>& errors, const std::vector<std::string>& texts);
inline std::ostream& operator<<(std::ostream& out, const Error& error) { return out << error.message(); }

// The same result with the error turned into its message: for the places
// where an error leaves for a caller that takes texts.
template <class T>
Result<T, std::string> with_message(Result<T, Error>&& result) {
  if (!result) return err(std::move(result).error().message());
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return Ok<T>{std::move(result).value()};
  }
}

}  // namespace marrowfen
