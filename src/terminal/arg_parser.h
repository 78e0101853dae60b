// A small declarative command-line parser: a command declares its boolean
// flags and its positional arguments, and gets either their values or the
// text to show instead. Every command
// has "-h/--help" and "-V/--version" besides its own flags.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace marrowfen::terminal {

struct FlagDecl {
  char short_name;             // '\0' when the flag has only a long name
  std::string_view long_name;  // without the leading dashes
  std::string_view help;       // empty: no help text
};

struct PositionalDecl {
  std::string_view value_name;  // shown as <VALUE_NAME>
  bool required;
  std::string_view help;
};

struct CommandDecl {
  std::string_view name;
  std::string_view version;
  std::string_view about;
  std::span<const FlagDecl> flags;
  std::span<const PositionalDecl> positionals;
};

struct ParsedArgs {
  std::vector<bool> flags;                              // by index in CommandDecl::flags
  std::vector<std::optional<std::string>> positionals;  // by index in CommandDecl::positionals
};

// Reads `words` left to right: "--" ends the options, "--name" is a long
// option, "-abc" a cluster of short flags, anything else (a lone "-" too) a
// positional. Instead of arguments it may produce a text ending in a newline:
// the help, the version, or an error with its usage line.
Result<ParsedArgs, std::string> parse_args(const CommandDecl& decl, std::span<const std::string_view> words);

// The text that "--help" shows.
std::string help_text(const CommandDecl& decl);

}  // namespace marrowfen::terminal
