// The arguments of the terminal's rm command.
#pragma once

#include <span>
#include <string>

#include "base/result.h"
#include "terminal/arg_parser.h"

namespace marrowfen::terminal {

struct RmArgs {
  bool recursive = false;
  std::string target;
};

// The declaration behind rm's parser, help and usage texts.
const CommandDecl& rm_command_decl();

// Parses the words after "rm"; otherwise the help, version or error text.
Result<RmArgs, std::string> parse_rm_args(std::span<const std::string_view> words);

}  // namespace marrowfen::terminal
