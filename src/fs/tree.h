// The indented text rendering of a directory subtree.
#pragma once

#include <string>
#include <string_view>

#include "fs/filesystem.h"

namespace marrowfen::fs {

// Renders the directory at `path`: at each level its subdirectories first
// ("name/", followed at once by their contents indented two more blanks),
// then the other entries, every line prefixed with `indent`. The directory
// itself is not printed. A failure at any depth fails the whole rendering.
IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path, std::string_view indent);

}  // namespace marrowfen::fs
