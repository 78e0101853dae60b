// FileSystem: an in-memory tree of inodes addressed by id and by path, shared
// by reference counting between the Python object, file handles and
// terminals. Every operation may run on any thread; there is no global lock.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "fs/error.h"
#include "fs/file_handle_type.h"
#include "fs/inode.h"
#include "fs/inode_table.h"

namespace marrowfen::fs {

class FileHandle;

// Directories deeper than this below the root cannot be created.
inline constexpr size_t kMaxDepth = 64;
// Symlink chains longer than this fail with MaxRecursionDepthExceeded.
inline constexpr int kMaxSymlinkHops = 40;

template <class T>
using IoResult = Result<T, IoError>;
using IoStatus = Result<void, IoError>;

// The names in a directory: entries that are not directories, then those
// that are, each in the directory's creation order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

// A path split at its last slash or backslash: parent path and final name.
struct SplitPath {
  std::string_view parent;
  std::string_view name;
};
SplitPath split_for_creation(std::string_view path);

class FileSystem {
 public:
  // A new filesystem holding only the root (id 0).
  static std::shared_ptr<FileSystem> create();

  IoResult<InodeId> get_inode_raw(InodeId id) const;
  IoResult<InodeId> find_inode_by_name_with_handle(const INode& inode, std::string_view name) const;
  IoResult<InodeId> find_inode_by_name(InodeId parent, std::string_view name) const;
  IoResult<bool> is_file_raw(InodeId id) const;
  IoResult<bool> is_directory_raw(InodeId id) const;
  IoResult<InodeId> get_inode_by_path_raw(std::string_view path) const;
  IoResult<std::string> get_path_by_inode(InodeId id) const;
  IoResult<InodeId> create_inode(InodeId parent, std::string_view name, INodeKind kind);
  IoStatus mkdir(std::string_view path);
  IoStatus touch(std::string_view path);
  IoResult<Listing> ls_raw(InodeId id) const;
  // ls_raw without copying names: calls fn(name, is_directory) for each
  // entry in order. The name is valid for the duration of the call.
  template <class Fn>
  IoStatus for_each_entry(InodeId id, Fn&& fn) const;
  IoStatus rm(std::string_view path, bool recursive);
  IoStatus rm_raw(InodeId id, bool recursive);
  void release_inode_id(InodeId id);

  // Handles take a share of `fs`, so these are static over the shared pointer.
  static IoResult<FileHandle> open(const std::shared_ptr<FileSystem>& fs, std::string_view path,
                                   FileHandleType mode, bool create);
  static IoResult<FileHandle> open_raw(const std::shared_ptr<FileSystem>& fs, InodeId id,
                                       FileHandleType mode);

  // `FileSystem { inodes: {...}, next_inode_id: N }`, entries ordered by id.
  std::string debug_string() const;
  void append_debug(std::string& out) const;

  uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_acquire); }
  // The inode stored under `id` (no symlink resolution), or nullptr.
  INodeRef lookup(InodeId id) const { return inodes_.get(id); }
  // Resolves `id` and looks the result up; nullptr means InodeNotFound.
  IoResult<INodeRef> resolve(InodeId id) const;

 private:
  FileSystem();
  IoStatus create_at_path(std::string_view path, INodeKind kind);
  // The inode stored under `id`, without following a symlink.
  IoResult<INodeRef> lookup_unresolved(InodeId id) const;
  IoResult<ChildIds> list_children(InodeId id) const;
  // What a recursive removal unlinks before the directory itself: the
  // subtrees of its `children`, each inode after its own children.
  IoResult<std::vector<InodeId>> removal_order(ChildIds children) const;
  // Takes one inode out of its parent and the table.
  IoStatus unlink(InodeId id);

  InodeTable inodes_;
  std::atomic<uint64_t> next_inode_id_{1};
};

template <class Fn>
IoStatus FileSystem::for_each_entry(InodeId id, Fn&& fn) const {
  MF_TRY_ASSIGN(ChildIds children, list_children(id));
  for (InodeId child : children) {
    // A listing is no snapshot: a child that vanished meanwhile is skipped.
    auto resolved = resolve(child);
    if (!resolved.ok()) continue;
    const INodeRef& c = resolved.value();
    if (!fn(c->name.view(), c->is_directory())) return {};
  }
  return {};
}

// The debug form of a name: double-quoted, with escapes for `"`, `\` and
// control characters.
void append_debug_quoted(std::string& out, std::string_view s);

}  // namespace marrowfen::fs
