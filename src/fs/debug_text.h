// The debug text of the filesystem (FileSystem::append_debug, defined in
// debug_text.cpp) and the form it gives names.
#pragma once

#include <string>
#include <string_view>

namespace marrowfen::fs {

// The debug form of a name: double-quoted, with escapes for `"`, `\` and
// control characters.
void append_debug_quoted(std::string& out, std::string_view s);

}  // namespace marrowfen::fs
