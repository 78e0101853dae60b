#include "terminal/commands.h"

namespace marrowfen::terminal {

CommandResult cmd_help(TerminalContext&, std::span<const std::string_view>) {
  std::string out;
  for (const CommandEntry& entry : COMMANDS()) {
    out += entry.name;
    out += '\n';
  }
  return success(std::move(out));
}

}  // namespace marrowfen::terminal
