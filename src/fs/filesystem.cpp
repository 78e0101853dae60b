#include "fs/filesystem.h"

#include <cstring>
#include <iterator>

#include "base/panic.h"
#include "fs/directory.h"
#include "fs/file_handle.h"

namespace marrowfen::fs {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The one rule for the name of a new inode, whichever way it is created:
// not empty, not "." or "..", and no separator. The last part of a split
// path holds no separator by construction (split_for_creation stopped at
// the last one), so its bytes need no second look.
bool valid_split_name(std::string_view name) { return !name.empty() && name != "." && name != ".."; }
bool valid_name(std::string_view name) {
  for (char c : name)
    if (is_separator(c)) return false;
  return valid_split_name(name);
}

// Resolution looks at an inode's kind, which needs its lock only for a
// symlink; a poisoned lock is refused all the same.
void refuse_poisoned(const INode& node) {
  if (node.is_poisoned()) panic(kPoisonedLockMessage);
}

// The child of `dir` whose (resolved) inode carries `name`, as stored, or
// InodeNotFound. Large directories answer from their index; small ones are
// scanned, a link by the name of what it stands for. A listed link that
// resolves nowhere cannot be the one asked for. Called under dir's lock.
IoResult<INode*> find_child(const FileSystem& fs, const Directory& dir, std::string_view name) {
  if (dir.indexed()) {
    INode* child = dir.find_indexed(name);
    if (!child) return IoError::InodeNotFound;
    return child;
  }
  IoError failure = IoError::InodeNotFound;
  INode* found = dir.find_if([&](const INode& child) {
    refuse_poisoned(child);
    if (child.type != INodeType::Symlink) return child.name == name;
    auto target = fs.resolve(child.id);
    if (target.ok()) return target.value()->name == name;
    if (target.error() == IoError::InodeNotFound) return false;
    failure = target.error();
    return true;
  });
  if (!found || failure != IoError::InodeNotFound) return err(failure);
  return found;
}

IoResult<INodeRef> resolve_from(const FileSystem& fs, INodeRef node, int hops) {
  if (node->type != INodeType::Symlink) return node;
  auto kind = node->read();
  if (hops >= kMaxSymlinkHops) return IoError::MaxRecursionDepthExceeded;
  INodeRef target = fs.lookup(kind.symlink()->target);
  if (!target) return IoError::InodeNotFound;
  return resolve_from(fs, std::move(target), hops + 1);
}

}  // namespace

SplitPath split_for_creation(std::string_view path) {
  for (size_t i = path.size(); i-- > 0;)
    if (is_separator(path[i])) return {path.substr(0, i), path.substr(i + 1)};
  return {std::string_view(), path};
}

FileSystem::FileSystem() : root_(INode::make(0, 0, 0, std::string_view(), INodeType::Directory)) {
  inodes_.insert(root_);
}

std::shared_ptr<FileSystem> FileSystem::create() { return std::shared_ptr<FileSystem>(new FileSystem()); }

IoResult<InodeId> FileSystem::get_inode_raw(InodeId id) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(id));
  return node->id;
}

IoResult<INodeRef> FileSystem::resolve(InodeId id) const {
  INodeRef node = inodes_.get(id);
  if (!node) return IoError::InodeNotFound;
  return follow(std::move(node));
}

IoResult<INodeRef> FileSystem::follow(INodeRef stored) const {
  refuse_poisoned(*stored);
  if (stored->type != INodeType::Symlink) return stored;  // the common case, without a call
  return resolve_from(*this, std::move(stored), 0);
}

IoResult<INodeRef> FileSystem::stored(InodeId id) const {
  INodeRef node = inodes_.get(id);
  if (!node) return IoError::InodeNotFound;
  refuse_poisoned(*node);
  return node;
}

IoResult<INodeRef> FileSystem::entry(const INode& dir, std::string_view name) const {
  if (name.empty() || name == ".") return INodeRef(const_cast<INode*>(&dir));
  if (name == "..") return stored(dir.parent);
  auto kind = dir.read();
  const Directory* list = kind.directory();
  if (!list) return IoError::NotADirectory;
  MF_TRY_ASSIGN(INode * child, find_child(*this, *list, name));
  // Taken while the directory is held, so the child cannot go meanwhile.
  return INodeRef(child);
}

IoResult<InodeId> FileSystem::find_inode_by_name_with_handle(const INode& inode, std::string_view name) const {
  if (name == "..") return inode.parent;  // the id as recorded, without looking it up
  MF_TRY_ASSIGN(INodeRef found, entry(inode, name));
  return found->id;
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

IoResult<INodeRef> FileSystem::walk(std::string_view path) const {
  refuse_poisoned(*root_);
  INodeRef current = root_;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !is_separator(path[end])) ++end;
    std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    // The next inode is held before the current one is let go.
    MF_TRY_ASSIGN(INodeRef stored, entry(*current, component));
    MF_TRY_ASSIGN(current, follow(std::move(stored)));
  }
  return current;
}

IoResult<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  MF_TRY_ASSIGN(INodeRef node, walk(path));
  return node->id;
}

IoResult<std::string> FileSystem::get_path_by_inode(InodeId id) const {
  std::string path;
  MF_TRY(path_into(id, path));
  return path;
}

IoStatus FileSystem::path_into(InodeId id, std::string& out) const {
  // The names come from the leaf up, so the path is built from its end: at
  // the back of a buffer on the stack, then, should it not fit, in front of
  // it in `out`.
  char buffer[256];
  char* const end = std::end(buffer);
  char* start = end;
  out.clear();
  for (InodeId cur = id; cur != 0;) {
    INodeRef node = inodes_.get(cur);
    if (!node) return IoError::InodeNotFound;
    if (node->type == INodeType::Symlink || node->is_poisoned()) {
      MF_TRY_ASSIGN(node, follow(std::move(node)));
    }
    std::string_view name = node->name.view();
    if (out.empty() && static_cast<size_t>(start - buffer) > name.size()) {
      start -= name.size();
      std::memcpy(start, name.data(), name.size());
      *--start = '/';
    } else {
      out.insert(0, name);
      out.insert(0, 1, '/');
    }
    cur = node->parent;
  }
  if (start == end && out.empty()) {
    out = "/";
  } else {
    out.append(start, end);
  }
  return {};
}

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string_view name, INodeKind kind) {
  if (!valid_name(name)) return IoError::ResourceAlreadyExists;
  InodeId id = take_id();
  MF_TRY_ASSIGN(INodeRef parent_node, resolve(parent));
  INodeRef node = INode::make(id, parent, parent_node->depth + 1, name, std::move(kind));
  MF_TRY(link_new(*parent_node, node));
  return id;
}

IoStatus FileSystem::link_new(INode& parent, const INodeRef& node) {
  // The new inode is made before this, so its memory is had already. The existence check, the insertion and the append form one step for
  // other creators in this directory. The inode enters the table before it
  // is listed, so every listed child can be looked up. Whatever memory the
  // steps need is had before the first change, so running out of it leaves
  // the tree as it was.
  auto parent_kind = parent.write();
  Directory* dir = parent_kind.directory();
  if (dir && dir->unlinked()) return IoError::InodeNotFound;  // removed a moment ago
  if (dir && find_child(*this, *dir, node->name.view()).ok()) return IoError::ResourceAlreadyExists;
  if (node->depth > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
  if (!dir) return IoError::NotADirectory;
  dir->reserve_one();
  inodes_.insert(node);
  dir->append(node);
  return {};
}

IoResult<INodeRef> FileSystem::create_child(INode& parent, std::string_view name, INodeType type) {
  if (!valid_split_name(name)) return IoError::ResourceAlreadyExists;
  INodeRef node = INode::make(take_id(), parent.id, parent.depth + 1, name, type);
  MF_TRY(link_new(parent, node));
  return node;
}

IoStatus FileSystem::create_at_path(std::string_view path, INodeType type) {
  SplitPath split = split_for_creation(path);
  MF_TRY_ASSIGN(INodeRef parent, walk(split.parent));
  MF_TRY(create_child(*parent, split.name, type));
  return {};
}

IoStatus FileSystem::mkdir(std::string_view path) { return create_at_path(path, INodeType::Directory); }
IoStatus FileSystem::touch(std::string_view path) { return create_at_path(path, INodeType::File); }

IoResult<Listing> FileSystem::ls_raw(InodeId id) const {
  Listing listing;
  MF_TRY(for_each_entry(id, [&](std::string_view name, bool is_dir) {
    (is_dir ? listing.directories : listing.files).emplace_back(name);
    return true;
  }));
  return listing;
}

IoStatus FileSystem::rm(std::string_view path, bool recursive) {
  // The last step is taken apart from the walk, so that the parent is at
  // hand for the unlinking.
  SplitPath split = split_for_creation(path);
  MF_TRY_ASSIGN(INodeRef parent, walk(split.parent));
  MF_TRY_ASSIGN(INodeRef stored, entry(*parent, split.name));
  MF_TRY_ASSIGN(INodeRef node, follow(std::move(stored)));
  return remove(node, recursive, parent.get());
}

IoStatus FileSystem::rm_raw(InodeId id, bool recursive) {
  // A removal acts on the inode stored under `id` itself: removing a link
  // must neither empty nor claim what it points to.
  MF_TRY_ASSIGN(INodeRef node, stored(id));
  return remove(node, recursive, nullptr);
}

IoStatus FileSystem::remove(const INodeRef& node, bool recursive, const INode* parent) {
  // The root is its own parent; removing it would orphan the whole tree.
  if (node->id == 0) return IoError::ResourceCurrentInUse;
  // Phase 1: inspect. A recursive removal lists the whole subtree, children
  // before their parents, before it unlinks anything, so that running out
  // of memory fails it before anything is gone.
  struct Step {
    INodeRef node;
    const INode* parent;
  };
  std::vector<Step> order;
  if (node->is_directory()) {
    auto kind = node->read();
    const Directory* dir = kind.directory();
    if (!recursive && !dir->empty()) return IoError::DirectoryIsNotEmpty;
    if (recursive && !dir->empty()) {
      kind.release();
      struct Visit {
        INodeRef node;
        std::vector<INodeRef> children;
        size_t next = 0;  // the first child not yet listed
      };
      auto children_of = [](const INode& n) {
        std::vector<INodeRef> children;
        if (!n.is_directory()) return children;  // only a child list needs the lock
        auto k = n.read();
        const Directory* d = k.directory();
        children.reserve(d->size());
        d->for_each([&](const INode& c) { children.emplace_back(const_cast<INode*>(&c)); });
        return children;
      };
      std::vector<Visit> path;  // from the removed directory down to the one being listed
      path.push_back(Visit{node, children_of(*node)});
      while (!path.empty()) {
        Visit& deepest = path.back();
        if (deepest.next == deepest.children.size()) {
          INodeRef done = std::move(deepest.node);
          path.pop_back();
          if (!path.empty()) order.push_back(Step{std::move(done), path.back().node.get()});
          continue;
        }
        INodeRef child = deepest.children[deepest.next++];
        refuse_poisoned(*child);
        std::vector<INodeRef> grandchildren = children_of(*child);
        path.push_back(Visit{std::move(child), std::move(grandchildren)});
      }
    }
  }
  // Phase 2, for each inode of the subtree and then for `node` itself: the
  // first failure stops the removal, and what went before it stays removed.
  for (const Step& step : order) MF_TRY(unlink(step.node, step.parent));
  return unlink(node, parent);
}

IoStatus FileSystem::unlink(const INodeRef& node, const INode* parent_hint) {
  // The parent's lock is taken before the inode's (parent before child, as
  // everywhere), and both are held from the last check to the unlinking, so
  // no creation can slip into a directory that is being unlinked and no
  // handle can open a file being removed. It needs no memory of its own.
  INodeRef parent;
  if (parent_hint && parent_hint->id == node->parent) {
    parent = INodeRef(const_cast<INode*>(parent_hint));
  } else {
    MF_TRY_ASSIGN(parent, resolve(node->parent));
  }
  {
    auto parent_kind = parent->write();
    auto kind = node->write();
    // Cannot happen: a parent is always a directory.
    Directory* parent_dir = parent_kind.directory();
    if (!parent_dir) return IoError::NotADirectory;
    // An inode another removal has unlinked meanwhile is gone.
    if (Directory* dir = kind.directory()) {
      if (dir->unlinked()) return IoError::InodeNotFound;
      if (!dir->empty()) return IoError::DirectoryIsNotEmpty;
      dir->mark_unlinked();
    } else if (const File* file = kind.file()) {
      // Claiming the lock word keeps any new handle from opening the file.
      int32_t expected = FileLock::UNLOCKED;
      if (!file->lock.flag.compare_exchange_strong(expected, FileLock::REMOVING, std::memory_order_acq_rel))
        return parent_dir->contains(*node) ? IoError::ResourceCurrentInUse : IoError::InodeNotFound;
    }
    if (!parent_dir->erase(*node) && node->type == INodeType::Symlink) return IoError::InodeNotFound;
  }
  release_inode_id(node->id);
  return {};
}

void FileSystem::release_inode_id(InodeId id) {
  INodeRef removed = inodes_.remove(id);
  // `removed` is dropped here, outside the table's lock.
}

IoResult<FileHandle> FileSystem::open(const std::shared_ptr<FileSystem>& fs, std::string_view path, FileHandleType mode,
                                      bool create) {
  SplitPath split = split_for_creation(path);
  MF_TRY_ASSIGN(INodeRef parent, fs->walk(split.parent));
  auto stored = fs->entry(*parent, split.name);
  if (stored.ok()) {
    InodeId id = stored.value()->id;
    MF_TRY_ASSIGN(INodeRef node, fs->follow(std::move(stored).value()));
    return FileHandle::open_node(fs, id, std::move(node), mode);
  }
  if (!create || stored.error() != IoError::InodeNotFound) return err(stored.error());
  MF_TRY_ASSIGN(INodeRef node, fs->create_child(*parent, split.name, INodeType::File));
  InodeId id = node->id;
  return FileHandle::open_node(fs, id, std::move(node), mode);
}

IoResult<FileHandle> FileSystem::open_raw(const std::shared_ptr<FileSystem>& fs, InodeId id, FileHandleType mode) {
  MF_TRY_ASSIGN(INodeRef node, fs->resolve(id));
  InodeId resolved = node->id;
  return FileHandle::open_node(fs, resolved, std::move(node), mode);
}

}  // namespace marrowfen::fs
