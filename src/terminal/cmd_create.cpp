// mkdir and touch: the same steps, creating a directory or an empty file.
#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

namespace {

struct CreateCommand {
  std::string_view name;     // "mkdir"
  std::string_view creates;  // "directory", as in "cannot create directory"
  fs::INodeKind (*new_kind)();
};

CommandResult create_entry(const CreateCommand& cmd, TerminalContext& ctx, std::span<const std::string_view> args) {
  if (args.empty()) return failure(concat({cmd.name, ": missing argument"}));
  std::string_view word = args[0];

  // The parent part reaches one level like any argument; with nothing before
  // the last separator ("x" or "/x") the entry goes into the current directory.
  fs::SplitPath split = fs::split_for_creation(word);
  fs::InodeId parent = ctx.cwd;
  if (!split.parent.empty()) {
    auto found = ctx.get_target_inode(split.parent);
    if (!found.ok()) return failure(std::move(found).error());
    parent = found.value();
  }

  const std::string id = std::to_string(parent);
  auto is_dir = ctx.fs->is_directory_raw(parent);
  if (!is_dir.ok()) return failure(concat({cmd.name, ": cannot access '", id, "': ", is_dir.error().to_string()}));
  if (!is_dir.value()) return failure(concat({cmd.name, ": ", id, ": Not a directory"}));

  auto created = ctx.fs->create_inode(parent, split.name, cmd.new_kind());
  if (!created.ok())
    return failure(concat({cmd.name, ": cannot create ", cmd.creates, " '", word, "': ", created.error().to_string()}));
  return success();
}

constexpr CreateCommand kMkdir{"mkdir", "directory", fs::new_directory};
constexpr CreateCommand kTouch{"touch", "file", fs::new_file};

}  // namespace

CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string_view> args) {
  return create_entry(kMkdir, ctx, args);
}

CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string_view> args) {
  return create_entry(kTouch, ctx, args);
}

}  // namespace marrowfen::terminal
