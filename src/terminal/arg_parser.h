// A small declarative command-line parser: a command declares its boolean
// flags and its positional arguments, and gets either their values or the
// text to show instead (help, version or an error with usage). Every command
// has "-h/--help" and "-V/--version" besides its own flags.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace marrowfen::terminal {

struct FlagSpec {
  char short_name;             // '\0' when the flag has only a long name
  std::string_view long_name;  // without the leading dashes
  std::string_view help;       // empty: no help text
};

struct PositionalSpec {
  std::string_view value_name;  // shown as <VALUE_NAME>
  bool required;
  std::string_view help;
};

struct CommandSpec {
  std::string_view name;
  std::string_view version;
  std::string_view about;
  std::span<const FlagSpec> flags;
  std::span<const PositionalSpec> positionals;
};

struct ParsedArgs {
  std::vector<bool> flags;                              // by index in CommandSpec::flags
  std::vector<std::optional<std::string>> positionals;  // by index in CommandSpec::positionals
};

// Why parsing produced a text instead of arguments.
struct ParserExit {
  enum class Kind { Help, Version, Error };
  Kind kind;
  std::string text;  // ends with a newline
};

// Reads `words` left to right: "--" ends the options, "--name" is a long
// option, "-abc" a cluster of short flags, anything else (a lone "-" too) a
// positional.
Result<ParsedArgs, ParserExit> parse_args(const CommandSpec& spec,
                                          std::span<const std::string> words);

// The text that "--help" shows.
std::string help_text(const CommandSpec& spec);

}  // namespace marrowfen::terminal
