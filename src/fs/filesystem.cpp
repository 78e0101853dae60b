#include "fs/filesystem.h"

#include <algorithm>
#include <charconv>

#include "base/panic.h"
#include "base/utf8.h"
#include "fs/directory.h"
#include "fs/file_handle.h"

namespace marrowfen::fs {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The child of `dir` whose inode carries `name`, or InodeNotFound. Large
// directories answer from their index; small ones are scanned. A listed child
// whose inode is gone (being removed) cannot be the one asked for.
IoResult<InodeId> find_child(const FileSystem& fs, const Directory& dir, std::string_view name) {
  if (dir.indexed()) {
    const INode* child = dir.index->find(name);
    if (!child) return IoError::InodeNotFound;
    return child->id;
  }
  for (InodeId child : dir.children) {
    if (child == Directory::kVacant) continue;
    auto resolved = fs.resolve(child);
    if (!resolved.ok()) {
      if (resolved.error() == IoError::InodeNotFound) continue;
      return err(resolved.error());
    }
    if (resolved.value()->name == name) return child;
  }
  return IoError::InodeNotFound;
}

IoResult<InodeId> resolve_from(const FileSystem& fs, const INodeRef& node, int hops) {
  if (node->type != INodeType::Symlink) return node->id;
  auto kind = node->data.read();
  if (const auto* link = std::get_if<Symlink>(&*kind)) {
    if (hops >= kMaxSymlinkHops) return IoError::MaxRecursionDepthExceeded;
    INodeRef target = fs.lookup(link->target);
    if (!target) return IoError::InodeNotFound;
    return resolve_from(fs, target, hops + 1);
  }
  return node->id;
}

}  // namespace

SplitPath split_for_creation(std::string_view path) {
  for (size_t i = path.size(); i-- > 0;)
    if (is_separator(path[i])) return {path.substr(0, i), path.substr(i + 1)};
  return {std::string_view(), path};
}

FileSystem::FileSystem() {
  inodes_.insert(INodeRef::make(0, 0, 0, std::string_view(), new_directory()));
}

std::shared_ptr<FileSystem> FileSystem::create() {
  return std::shared_ptr<FileSystem>(new FileSystem());
}

namespace {

// Resolution looks at an inode's kind, which needs its lock only for a
// symlink; a poisoned lock is refused all the same.
void refuse_poisoned(const INode& node) {
  if (node.data.is_poisoned()) panic(kPoisonedLockMessage);
}

}  // namespace

IoResult<InodeId> FileSystem::get_inode_raw(InodeId id) const {
  INodeRef node = inodes_.get(id);
  if (!node) return IoError::InodeNotFound;
  refuse_poisoned(*node);
  return resolve_from(*this, node, 0);
}

IoResult<INodeRef> FileSystem::resolve(InodeId id) const {
  INodeRef node = inodes_.get(id);
  if (!node) return IoError::InodeNotFound;
  refuse_poisoned(*node);
  if (node->type != INodeType::Symlink) return node;
  MF_TRY_ASSIGN(InodeId resolved, resolve_from(*this, node, 0));
  if (resolved == id) return node;
  INodeRef target = inodes_.get(resolved);
  if (!target) return IoError::InodeNotFound;
  return target;
}

IoResult<INodeRef> FileSystem::lookup_unresolved(InodeId id) const {
  INodeRef node = inodes_.get(id);
  if (!node) return IoError::InodeNotFound;
  refuse_poisoned(*node);
  return node;
}

IoResult<InodeId> FileSystem::find_inode_by_name_with_handle(const INode& inode,
                                                             std::string_view name) const {
  if (name.empty() || name == ".") return inode.id;
  if (name == "..") return inode.parent;
  auto kind = inode.data.read();
  const auto* dir = std::get_if<Directory>(&*kind);
  if (!dir) return IoError::NotADirectory;
  return find_child(*this, *dir, name);
}

IoResult<InodeId> FileSystem::find_inode_by_name(InodeId parent, std::string_view name) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(parent));
  return find_inode_by_name_with_handle(*node, name);
}

IoResult<bool> FileSystem::is_file_raw(InodeId id) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(id));
  return !node->is_directory();
}

IoResult<bool> FileSystem::is_directory_raw(InodeId id) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(id));
  return node->is_directory();
}

IoResult<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  MF_TRY_ASSIGN(INodeRef current, resolve(0));
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !is_separator(path[end])) ++end;
    std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    InodeId next;
    if (component == "..") {
      next = current->parent;
    } else {
      MF_TRY_ASSIGN(next, find_inode_by_name_with_handle(*current, component));
    }
    // The next guard is taken before the current one is let go.
    MF_TRY_ASSIGN(INodeRef child, resolve(next));
    current = std::move(child);
  }
  return current->id;
}

IoResult<std::string> FileSystem::get_path_by_inode(InodeId id) const {
  std::vector<INodeRef> chain;
  for (InodeId cur = id; cur != 0;) {
    MF_TRY_ASSIGN(INodeRef node, resolve(cur));
    cur = node->parent;
    chain.push_back(std::move(node));
  }
  if (chain.empty()) return std::string("/");
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += '/';
    path += (*it)->name.view();
  }
  return path;
}

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string_view name, INodeKind kind) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string_view::npos)
    return IoError::ResourceAlreadyExists;
  // Taken before anything else can fail: a failed creation still uses up its id.
  InodeId id = next_inode_id_.fetch_add(1, std::memory_order_acq_rel);
  MF_TRY_ASSIGN(INodeRef parent_node, resolve(parent));
  size_t depth = parent_node->depth + 1;
  auto node = INodeRef::make(id, parent, depth, name, std::move(kind));
  // The existence check, the insertion and the append form one step for
  // other creators in this directory. The inode enters the table before it
  // is listed, so every listed child can be looked up. Whatever memory the
  // steps need is had before the first change, so running out of it leaves
  // the tree as it was.
  auto parent_kind = parent_node->data.write();
  auto* dir = std::get_if<Directory>(&*parent_kind);
  if (dir && dir->unlinked) return IoError::InodeNotFound;  // removed a moment ago
  if (dir && find_child(*this, *dir, name).ok()) return IoError::ResourceAlreadyExists;
  if (depth > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
  if (!dir) return IoError::NotADirectory;
  PreparedAppend room = prepare_append(*dir, [this](InodeId child) { return inodes_.get(child); });
  inodes_.insert(node);
  directory_append(*dir, *node, std::move(room));
  return id;
}

IoStatus FileSystem::create_at_path(std::string_view path, INodeKind kind) {
  SplitPath split = split_for_creation(path);
  MF_TRY_ASSIGN(InodeId parent, get_inode_by_path_raw(split.parent));
  MF_TRY(create_inode(parent, split.name, std::move(kind)));
  return {};
}

IoStatus FileSystem::mkdir(std::string_view path) { return create_at_path(path, new_directory()); }
IoStatus FileSystem::touch(std::string_view path) { return create_at_path(path, new_file()); }

IoResult<ChildIds> FileSystem::list_children(InodeId id) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(id));
  auto kind = node->data.read();
  const auto* dir = std::get_if<Directory>(&*kind);
  if (!dir) return IoError::NotADirectory;
  return dir->live_children();
}

IoResult<Listing> FileSystem::ls_raw(InodeId id) const {
  Listing listing;
  MF_TRY(for_each_entry(id, [&](std::string_view name, bool is_dir) {
    (is_dir ? listing.directories : listing.files).emplace_back(name);
    return true;
  }));
  return listing;
}

IoStatus FileSystem::rm(std::string_view path, bool recursive) {
  MF_TRY_ASSIGN(InodeId id, get_inode_by_path_raw(path));
  return rm_raw(id, recursive);
}

IoStatus FileSystem::rm_raw(InodeId id, bool recursive) {
  // Phase 1: inspect. A removal acts on the inode stored under `id` itself:
  // removing a link must neither empty nor claim what it points to.
  ChildIds children;
  {
    MF_TRY_ASSIGN(INodeRef node, lookup_unresolved(id));
    // The root is its own parent; removing it would orphan the whole tree.
    if (node->id == 0) return IoError::ResourceCurrentInUse;
    auto kind = node->data.read();
    if (const auto* dir = std::get_if<Directory>(&*kind)) {
      if (recursive) {
        children = dir->live_children();
      } else if (!dir->empty()) {
        return IoError::DirectoryIsNotEmpty;
      }
    }
  }
  // Phase 2, for each inode of the subtree (children before their parents)
  // and then for `id` itself: the first failure stops the removal, and what
  // went before it stays removed.
  if (!children.empty()) {
    MF_TRY_ASSIGN(std::vector<InodeId> subtree, removal_order(std::move(children)));
    for (InodeId each : subtree) MF_TRY(unlink(each));
  }
  return unlink(id);
}

IoResult<std::vector<InodeId>> FileSystem::removal_order(ChildIds children) const {
  // The whole subtree is listed before anything is unlinked, so running out
  // of memory fails the removal before anything is gone.
  struct Visit {
    InodeId id;
    ChildIds children;
    size_t next = 0;  // the first child not yet listed
  };
  std::vector<Visit> path;  // from the removed directory down to the one being listed
  path.push_back(Visit{0, std::move(children)});  // the directory itself is not listed
  std::vector<InodeId> order;
  while (!path.empty()) {
    Visit& deepest = path.back();
    if (deepest.next == deepest.children.size()) {
      if (path.size() > 1) order.push_back(deepest.id);
      path.pop_back();
      continue;
    }
    InodeId child = deepest.children[deepest.next++];
    MF_TRY_ASSIGN(INodeRef node, lookup_unresolved(child));
    ChildIds grandchildren;
    {
      auto kind = node->data.read();
      if (const auto* dir = std::get_if<Directory>(&*kind)) grandchildren = dir->live_children();
    }
    path.push_back(Visit{child, std::move(grandchildren)});
  }
  return order;
}

IoStatus FileSystem::unlink(InodeId id) {
  // The parent's lock is taken before the inode's (parent before child, as
  // everywhere), and both are held from the last check to the unlinking, so
  // no creation can slip into a directory that is being unlinked and no
  // handle can open a file being removed. It needs no memory of its own.
  MF_TRY_ASSIGN(INodeRef node, lookup_unresolved(id));
  MF_TRY_ASSIGN(INodeRef parent, resolve(node->parent));
  {
    auto parent_kind = parent->data.write();
    auto kind = node->data.write();
    // Cannot happen: a parent is always a directory.
    auto* parent_dir = std::get_if<Directory>(&*parent_kind);
    if (!parent_dir) return IoError::NotADirectory;
    if (auto* dir = std::get_if<Directory>(&*kind)) {
      if (!dir->empty()) return IoError::DirectoryIsNotEmpty;
      dir->unlinked = true;
    } else if (const auto* file = std::get_if<File>(&*kind)) {
      // Claiming the lock word keeps any new handle from opening the file.
      int32_t expected = FileLock::UNLOCKED;
      if (!file->lock.flag.compare_exchange_strong(expected, FileLock::REMOVING,
                                                   std::memory_order_acq_rel))
        return IoError::ResourceCurrentInUse;
    }
    // The index forgets the child before it leaves the table.
    directory_erase(*parent_dir, id, node.get(), prepare_erase(*parent_dir));
  }
  node.reset();
  release_inode_id(id);
  return {};
}

void FileSystem::release_inode_id(InodeId id) {
  INodeRef removed = inodes_.remove(id);
  // `removed` is dropped here, outside the table's lock.
}

IoResult<FileHandle> FileSystem::open(const std::shared_ptr<FileSystem>& fs, std::string_view path,
                                      FileHandleType mode, bool create) {
  SplitPath split = split_for_creation(path);
  MF_TRY_ASSIGN(InodeId parent, fs->get_inode_by_path_raw(split.parent));
  auto found = fs->find_inode_by_name(parent, split.name);
  if (found.ok()) return FileHandle::create(fs, found.value(), mode);
  if (!create || found.error() != IoError::InodeNotFound) return err(found.error());
  MF_TRY_ASSIGN(InodeId id, fs->create_inode(parent, split.name, new_file()));
  return FileHandle::create(fs, id, mode);
}

IoResult<FileHandle> FileSystem::open_raw(const std::shared_ptr<FileSystem>& fs, InodeId id,
                                          FileHandleType mode) {
  MF_TRY_ASSIGN(InodeId resolved, fs->get_inode_raw(id));
  MF_TRY_ASSIGN(bool is_file, fs->is_file_raw(resolved));
  if (!is_file) return IoError::NotAFile;
  return FileHandle::create(fs, resolved, mode);
}

namespace {

template <class T>
void append_number(std::string& out, T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

template <class Range>
void append_list(std::string& out, const Range& values) {
  out += '[';
  bool first = true;
  for (auto v : values) {
    if (!first) out += ", ";
    first = false;
    append_number(out, v);
  }
  out += ']';
}

void append_kind(std::string& out, const INodeKind& kind) {
  if (const auto* file = std::get_if<File>(&kind)) {
    out += "File { data: FileData { data: ";
    append_list(out, file->data.data);
    out += " }, lock: FileLock { flag: ";
    append_number(out, file->lock.flag.load(std::memory_order_acquire));
    out += " } }";
  } else if (const auto* dir = std::get_if<Directory>(&kind)) {
    out += "Directory { children: ";
    append_list(out, dir->live_children());
    out += " }";
  } else {
    out += "Symlink { target: ";
    append_number(out, std::get<Symlink>(kind).target);
    out += " }";
  }
}

}  // namespace

void append_debug_quoted(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < s.size();) {
    Utf8Step step = decode_utf8_step(s, i);
    if (!step.valid) {  // names are UTF-8; keep any stray byte as it is
      out.append(s.substr(i, step.length));
      i += step.length;
      continue;
    }
    char32_t cp = step.code_point;
    size_t len = step.length;
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          out += "\\u{";
          if (cp >= 0x10) out += kHex[cp >> 4];
          out += kHex[cp & 0xF];
          out += '}';
        } else {
          out.append(s.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
}

void FileSystem::append_debug(std::string& out) const {
  out += "FileSystem { inodes: {";
  bool first = true;
  for (const INodeRef& node : inodes_.snapshot()) {
    if (!first) out += ", ";
    first = false;
    append_number(out, node->id);
    out += ": INode { id: ";
    append_number(out, node->id);
    out += ", parent: ";
    append_number(out, node->parent);
    out += ", depth: ";
    append_number(out, node->depth);
    out += ", name: ";
    append_debug_quoted(out, node->name.view());
    out += ", data: RwLock { data: ";
    node->data.try_inspect([&](const INodeKind* kind) {
      if (kind) {
        append_kind(out, *kind);
      } else {
        out += "<locked>";
      }
    });
    out += node->data.is_poisoned() ? ", poisoned: true, .. } }" : ", poisoned: false, .. } }";
  }
  out += "}, next_inode_id: ";
  append_number(out, next_inode_id());
  out += " }";
}

std::string FileSystem::debug_string() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace marrowfen::fs
