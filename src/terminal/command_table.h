// The table of built-in commands, shared by every terminal of the process.
//
// Adding a command, in this order:
//   1. src/terminal/cmd_<name>.cpp: `CommandResult cmd_<name>(TerminalContext&,
//      std::span<const std::string_view> args)`, the words after the name in
//      `args`. Output with success(), messages with failure(); texts are
//      built with concat() (terminal/text.h). Commands that share their
//      steps share one table-driven body (cmd_create.cpp: mkdir and touch).
//      A command with options declares them for the argument parser
//      (arg_parser.h, as rm_args.cpp does).
//   2. terminal/commands.h: declare the handler.
//   3. command_table.cpp: add `{"<name>", cmd_<name>}` where `help` should
//      list it (help prints the table in order).
//   4. Tests: a transcript in tests/cpp/terminal/commands_test.cpp (script.h),
//      and the help line in interpreter_test.cpp. A command that parses its
//      own arguments gets a fuzzer too (as rm_args_fuzzer.cpp): its name in
//      tests/fuzz/fuzzers.txt, which says where its files go.
//   5. What users read: the PyTerm section of docs/api.md (the list of
//      commands, their messages), and marrowfen_kit's StrictTerm, which
//      names the arguments each command takes (python/marrowfen_kit/term.py).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "terminal/terminal.h"
#include "terminal/terminal_context.h"

namespace marrowfen::terminal {

// A built-in command: the context (only cd changes it) and the words after
// the command's name. Handlers keep no state of their own.
using CommandHandler = CommandResult (*)(TerminalContext& ctx, std::span<const std::string_view> args);

struct CommandEntry {
  std::string_view name;
  CommandHandler handler;
};

class CommandTable {
 public:
  explicit constexpr CommandTable(std::span<const CommandEntry> entries) : entries_(entries) {}

  // The handler registered under exactly this name (byte for byte), or null.
  CommandHandler find(std::string_view name) const {
    for (const CommandEntry& e : entries_)
      if (e.name == name) return e.handler;
    return nullptr;
  }
  // In insertion order, which is the order help lists them in.
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::span<const CommandEntry> entries_;
};

// Made at compile time, then only read.
const CommandTable& COMMANDS();

}  // namespace marrowfen::terminal
