// The table of built-in commands, shared by every terminal of the process.
#pragma once

#include <array>
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
  static constexpr size_t kSize = 9;
  explicit CommandTable(const std::array<CommandEntry, kSize>& entries) : entries_(entries) {}

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
  std::array<CommandEntry, kSize> entries_;
};

// Built on first use (safely against concurrent first calls), then only read.
const CommandTable& COMMANDS();

}  // namespace marrowfen::terminal
