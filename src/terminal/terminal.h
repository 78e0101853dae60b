// Terminal: a synchronous terminal that runs one command line at a time and
// answers with the command's output or its error message.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"

namespace marrowfen::terminal {

// Output text on success, message text on failure. Both are strings, so build
// it with Ok{...} or Err{...}.
using CommandResult = Result<std::string, std::string>;

inline CommandResult success(std::string output = {}) { return Ok<std::string>{std::move(output)}; }
inline CommandResult failure(std::string message) { return Err<std::string>{std::move(message)}; }

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Needs exclusive use of the terminal: a command may change its state.
  virtual CommandResult run(std::string_view line) = 0;
};

}  // namespace marrowfen::terminal
