// The nine built-in commands of the terminal.
#pragma once

#include "terminal/command_table.h"

namespace marrowfen::terminal {

CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_help(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string_view> args);
CommandResult cmd_echo(TerminalContext& ctx, std::span<const std::string_view> args);

}  // namespace marrowfen::terminal
