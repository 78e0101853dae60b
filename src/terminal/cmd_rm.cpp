#include "terminal/commands.h"
#include "terminal/rm_args.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string_view> args) {
  if (args.empty()) return failure("rm: missing argument");
  auto parsed = parse_rm_args(args);
  // Help and version texts are not arguments either: they come back as errors.
  if (!parsed.ok()) return failure(concat({"rm: ", parsed.error()}));
  const RmArgs& rm = parsed.value();

  // The empty name resolves to the current directory itself.
  auto target = ctx.get_target_inode(rm.target);
  if (!target.ok()) return failure(std::move(target).error());
  auto removed = ctx.fs->rm_raw(target.value(), rm.recursive);
  if (!removed.ok()) return failure(concat({"rm: cannot remove '", rm.target, "': ", removed.error().to_string()}));
  return success();
}

}  // namespace marrowfen::terminal
