#include "terminal/simple_terminal.h"

#include "terminal/command_table.h"
#include "terminal/split_words.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult SimpleTerminal::run(std::string_view line) {
  Words split;
  if (split_words_into(line, split)) return failure("The command was not correctly formatted");
  std::span<const std::string_view> words = split.span();
  if (words.empty()) return success();

  CommandHandler handler = COMMANDS().find(words[0]);
  if (!handler) return failure(concat({words[0], ": command not found"}));
  return handler(ctx_, words.subspan(1));
}

}  // namespace marrowfen::terminal
