// SimpleTerminal: the simulated terminal over an in-memory filesystem. Its
// only state is its context; the current directory starts at the root.
#pragma once

#include <memory>
#include <string_view>

#include "fs/filesystem.h"
#include "terminal/terminal.h"
#include "terminal/terminal_context.h"

namespace marrowfen::terminal {

class SimpleTerminal final : public Terminal {
 public:
  explicit SimpleTerminal(std::shared_ptr<fs::FileSystem> fs) : ctx_{0, std::move(fs)} {}

  // Splits the line, looks the first word up in COMMANDS and runs it with
  // the remaining words. Never throws for bad input.
  CommandResult run(std::string_view line) override;

  const TerminalContext& context() const { return ctx_; }

 private:
  TerminalContext ctx_;
};

}  // namespace marrowfen::terminal
