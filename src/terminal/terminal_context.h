// TerminalContext: the state every command handler works on, a current
// directory over a shared filesystem.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/result.h"
#include "fs/filesystem.h"

namespace marrowfen::terminal {

struct TerminalContext {
  // A plain id: it is not updated if the directory is removed meanwhile.
  fs::InodeId cwd = 0;
  std::shared_ptr<fs::FileSystem> fs;

  // Resolves a command's path argument one level deep: a leading "/" starts
  // at the root instead of `cwd`, and the rest is one name ("", ".", ".." or
  // a child). Fails with "<name>: <IoError message>".
  Result<fs::InodeId, std::string> get_target_inode(std::string_view path) const;
};

}  // namespace marrowfen::terminal
