#include "terminal/terminal_context.h"

#include "terminal/text.h"

namespace marrowfen::terminal {

Result<fs::InodeId, std::string> TerminalContext::get_target_inode(std::string_view path) const {
  fs::InodeId start = cwd;
  if (path.starts_with('/')) {
    path.remove_prefix(1);
    start = 0;
  }
  // The name is not split further: no stored name holds a "/".
  auto found = fs->find_inode_by_name(start, path);
  if (!found.ok()) return err(concat({path, ": ", found.error().to_string()}));
  return found.value();
}

}  // namespace marrowfen::terminal
