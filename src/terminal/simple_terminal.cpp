#include "terminal/simple_terminal.h"

#include <span>

#include "terminal/command_table.h"
#include "terminal/split_words.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult SimpleTerminal::run(std::string_view line) {
  auto split = split_words(line);
  if (!split.ok()) return failure("The command was not correctly formatted");
  const std::vector<std::string>& words = split.value();
  if (words.empty()) return success();

  CommandHandler handler = COMMANDS().find(words[0]);
  if (!handler) return failure(concat({words[0], ": command not found"}));
  return handler(ctx_, std::span<const std::string>(words).subspan(1));
}

}  // namespace marrowfen::terminal
