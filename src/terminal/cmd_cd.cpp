#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string_view> args) {
  if (args.empty()) return failure("cd: missing argument");
  std::string_view word = args[0];
  auto target = ctx.get_target_inode(word);
  if (!target.ok()) return failure(concat({"cd: cannot access '", word, "': ", target.error()}));
  auto is_dir = ctx.fs->is_directory_raw(target.value());
  if (!is_dir.ok()) return failure(concat({"cd: cannot access '", word, "': ", is_dir.error().to_string()}));
  if (!is_dir.value()) return failure(concat({"cd: ", word, ": Not a directory"}));
  ctx.cwd = target.value();
  return success();
}

}  // namespace marrowfen::terminal
