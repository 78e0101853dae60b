#include "fs/tree.h"

namespace marrowfen::fs {

namespace {

IoStatus render_into(const FileSystem& fs, std::string& path, std::string& indent, std::string& out) {
  MF_TRY_ASSIGN(InodeId id, fs.get_inode_by_path_raw(path));
  MF_TRY_ASSIGN(Listing listing, fs.ls_raw(id));
  // Each subdirectory is looked up again by its full path; child paths are
  // plain concatenations ("/" + "/" + name), which resolution tolerates.
  size_t path_len = path.size(), indent_len = indent.size();
  for (const std::string& dir : listing.directories) {
    out.append(indent).append(dir).append("/\n");
    path.append("/").append(dir);
    indent.append("  ");
    MF_TRY(render_into(fs, path, indent, out));
    path.resize(path_len);
    indent.resize(indent_len);
  }
  for (const std::string& file : listing.files) out.append(indent).append(file).append("\n");
  return {};
}

}  // namespace

IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path, std::string_view indent) {
  std::string p(path), i(indent), out;
  MF_TRY(render_into(fs, p, i, out));
  return out;
}

}  // namespace marrowfen::fs
