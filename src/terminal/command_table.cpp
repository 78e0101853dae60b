#include "terminal/command_table.h"

#include "terminal/commands.h"

namespace marrowfen::terminal {

namespace {

// In the order help lists them.
constexpr CommandEntry kCommands[] = {
    {"cd", cmd_cd},
    {"ls", cmd_ls},
    {"pwd", cmd_pwd},
    {"cat", cmd_cat},
    {"mkdir", cmd_mkdir},
    {"touch", cmd_touch},
    {"help", cmd_help},
    {"rm", cmd_rm},
    {"echo", cmd_echo},
};

}  // namespace

const CommandTable& COMMANDS() {
  // A function-local static: one thread builds it, concurrent first callers wait.
  static const CommandTable table(kCommands);
  return table;
}

}  // namespace marrowfen::terminal
