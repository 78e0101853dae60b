#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

// Errors name the directory by its inode id, not by the word typed.
CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string_view> args) {
  fs::InodeId target = ctx.cwd;
  if (!args.empty()) {
    auto found = ctx.get_target_inode(args[0]);
    if (!found.ok()) return failure(std::move(found).error());
    target = found.value();
  }
  const std::string id = std::to_string(target);
  auto is_dir = ctx.fs->is_directory_raw(target);
  if (!is_dir.ok()) return failure(concat({"ls: cannot access '", id, "': ", is_dir.error().to_string()}));
  if (!is_dir.value()) return failure(concat({"ls: ", id, ": Not a directory"}));
  auto listing = ctx.fs->ls_raw(target);
  if (!listing.ok()) return failure(concat({"ls: cannot access '", id, "': ", listing.error().to_string()}));

  // Files first, then directories marked with "/", each in creation order.
  std::string out;
  for (const std::string& name : listing.value().files) {
    out += name;
    out += '\n';
  }
  for (const std::string& name : listing.value().directories) {
    out += name;
    out += "/\n";
  }
  return success(std::move(out));
}

}  // namespace marrowfen::terminal
