#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string>) {
  auto path = ctx.fs->get_path_by_inode(ctx.cwd);
  if (!path.ok())
    return failure(
        concat({"pwd: cannot access '", std::to_string(ctx.cwd), "': ", path.error().to_string()}));
  return success(std::move(path).value());
}

}  // namespace marrowfen::terminal
