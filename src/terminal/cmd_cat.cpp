#include <span>

#include "base/utf8.h"
#include "fs/file_handle.h"
#include "terminal/commands.h"
#include "terminal/text.h"

namespace marrowfen::terminal {

namespace {

// The whole file: the length is where a seek to the end lands.
fs::IoResult<std::string> read_all(fs::FileHandle& handle) {
  MF_TRY(handle.seek(fs::SeekOrigin::End, 0));
  std::string bytes(handle.offset(), '\0');
  MF_TRY(handle.seek(fs::SeekOrigin::Start, 0));
  auto buffer = std::span(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  MF_TRY_ASSIGN(size_t n, handle.read(buffer));
  bytes.resize(n);
  return bytes;
}

}  // namespace

CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string_view> args) {
  if (args.empty()) return failure("cat: missing argument");
  std::string_view word = args[0];
  auto cannot_access = [&word](const fs::IoError& e) {
    return failure(concat({"cat: cannot access '", word, "': ", e.to_string()}));
  };

  auto target = ctx.get_target_inode(word);
  if (!target.ok()) return failure(std::move(target).error());
  auto is_file = ctx.fs->is_file_raw(target.value());
  if (!is_file.ok()) return cannot_access(is_file.error());
  if (!is_file.value()) return failure(concat({"cat: ", word, ": Is a directory"}));

  const fs::FileHandleType read_only(fs::FileHandleType::READ);
  auto handle = fs::FileSystem::open_raw(ctx.fs, target.value(), read_only);
  if (!handle.ok()) return cannot_access(handle.error());
  // The handle is closed whether or not the read worked.
  auto bytes = read_all(handle.value());
  auto closed = handle.value().close();
  if (!bytes.ok()) return cannot_access(bytes.error());
  if (!closed.ok()) return cannot_access(closed.error());
  return success(utf8_lossy(std::move(bytes).value()));
}

}  // namespace marrowfen::terminal
