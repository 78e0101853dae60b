#include "terminal/command_table.h"

#include "terminal/commands.h"

namespace marrowfen::terminal {

namespace {

// In the order help lists them.
constexpr CommandEntry kCommands[] = {
    {"cd", cmd_cd},       {"ls", cmd_ls},     {"pwd", cmd_pwd}, {"cat", cmd_cat},   {"mkdir", cmd_mkdir},
    {"touch", cmd_touch}, {"help", cmd_help}, {"rm", cmd_rm},   {"echo", cmd_echo},
};

}  // namespace

const CommandTable& COMMANDS() {
  // Made at compile time: no first-use guard on the path of every command.
  static constexpr CommandTable table(kCommands);
  return table;
}

}  // namespace marrowfen::terminal
