#include "terminal/commands.h"

namespace marrowfen::terminal {

CommandResult cmd_echo(TerminalContext&, std::span<const std::string_view> args) {
  size_t size = args.empty() ? 0 : args.size() - 1;
  for (std::string_view word : args) size += word.size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) out += ' ';
    out += args[i];
  }
  return success(std::move(out));
}

}  // namespace marrowfen::terminal
