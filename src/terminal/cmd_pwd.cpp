#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string_view>) {
  // Built in place in the result: a path is short, and copying it again
  // would cost about as much as finding it.
  CommandResult result = success();
  auto found = ctx.fs->path_into(ctx.cwd, result.value());
  if (!found.ok())
    result = failure(concat({"pwd: cannot access '", std::to_string(ctx.cwd), "': ", found.error().to_string()}));
  return result;
}

}  // namespace marrowfen::terminal
