// FileSystem: an in-memory tree of inodes addressed by id and by path, shared
// by reference counting between the Python object, file handles and
// terminals. Every operation may run on any thread; there is no global lock.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/panic.h"
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

// A path split at its last slash or backslash: parent path and final name,
// which holds no separator.
struct SplitPath {
  std::string_view parent;
  std::string_view name;
};
SplitPath split_for_creation(std::string_view path);

class FileSystem {
 public:
  // A new filesystem holding only the root (id 0).
  static std::shared_ptr<FileSystem> create();

  // Looking inodes up, by id: the terminal and the binding work with ids.
  // Every one of these is made of the four private steps below.
  //
  // What `id` stands for: a symlink's target, anything else itself.
  IoResult<InodeId> get_inode_raw(InodeId id) const;
  // The entry `name` of `inode` as stored: "" and "." are the inode itself,
  // ".." its parent's id as recorded; the terminal's step through a path.
  IoResult<InodeId> find_inode_by_name_with_handle(const INode& inode, std::string_view name) const;
  // The same from the inode `parent` stands for.
  IoResult<InodeId> find_inode_by_name(InodeId parent, std::string_view name) const;
  IoResult<bool> is_file_raw(InodeId id) const;
  IoResult<bool> is_directory_raw(InodeId id) const;
  // The inode a path names, from the root whatever the caller's directory.
  IoResult<InodeId> get_inode_by_path_raw(std::string_view path) const;
  IoResult<std::string> get_path_by_inode(InodeId id) const;
  // get_path_by_inode into `out` (emptied first).
  IoStatus path_into(InodeId id, std::string& out) const;
  IoResult<InodeId> create_inode(InodeId parent, std::string_view name, INodeKind kind);
  IoStatus mkdir(std::string_view path);
  IoStatus touch(std::string_view path);
  IoResult<Listing> ls_raw(InodeId id) const;
  // ls_raw without copying names: calls fn(name, is_directory) for each
  // entry in order, until it returns false. It runs under the directory's
  // shared lock, so it must not change the filesystem; the name is valid
  // for the duration of the call.
  template <class Fn>
  IoStatus for_each_entry(InodeId id, Fn&& fn) const;
  IoStatus rm(std::string_view path, bool recursive);
  IoStatus rm_raw(InodeId id, bool recursive);
  // Takes the inode out of the table. Its parent must have unlisted it
  // already (rm_raw does both): a listed child stays listed.
  void release_inode_id(InodeId id);

  // Handles take a share of `fs`, so these are static over the shared pointer.
  static IoResult<FileHandle> open(const std::shared_ptr<FileSystem>& fs, std::string_view path, FileHandleType mode,
                                   bool create);
  static IoResult<FileHandle> open_raw(const std::shared_ptr<FileSystem>& fs, InodeId id, FileHandleType mode);

  // `FileSystem { inodes: {...}, next_inode_id: N }`, entries ordered by id
  // (fs/debug_text.cpp).
  std::string debug_string() const;
  void append_debug(std::string& out) const;

  uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_acquire); }
  // Looking inodes up, held: for file handles, the inode `id` stands for
  // (get_inode_raw's answer, without a second lookup).
  IoResult<INodeRef> resolve(InodeId id) const;
  // For inspection (tests, fuzzers): the inode stored under `id` as it is,
  // a symlink not followed, a poisoned lock not refused; nullptr if none.
  INodeRef lookup(InodeId id) const { return inodes_.get(id); }

 private:
  FileSystem();
  // The steps every lookup is made of; `stored` and `follow` refuse an inode
  // whose lock is poisoned.
  //
  // By id: the inode stored under `id`, a symlink not followed (a removal
  // acts on the link itself).
  IoResult<INodeRef> stored(InodeId id) const;
  // What a stored inode stands for: a symlink's target, anything else itself.
  IoResult<INodeRef> follow(INodeRef stored) const;
  // By name: the entry `name` of `dir`, as stored ("" and "." are `dir`,
  // ".." its parent).
  IoResult<INodeRef> entry(const INode& dir, std::string_view name) const;
  // By path: the inode a path names from the root, each step followed.
  IoResult<INodeRef> walk(std::string_view path) const;
  // Taken before anything else can fail: a failed creation still uses up its id.
  InodeId take_id() { return next_inode_id_.fetch_add(1, std::memory_order_acq_rel); }
  // create_inode's last steps: lists `node`, made as a child of `parent`
  // (looked up already), if nothing stands in the way.
  IoStatus link_new(INode& parent, const INodeRef& node);
  // A new empty file or directory in `parent`, named by the last part of a
  // split path (SplitPath::name).
  IoResult<INodeRef> create_child(INode& parent, std::string_view name, INodeType type);
  IoStatus create_at_path(std::string_view path, INodeType type);
  // rm_raw from the inode on; `parent` is its parent when the caller has it.
  IoStatus remove(const INodeRef& node, bool recursive, const INode* parent);
  // Takes one inode out of its parent and the table.
  IoStatus unlink(const INodeRef& node, const INode* parent);

  InodeTable inodes_;
  std::atomic<uint64_t> next_inode_id_{1};
  // Every path starts here. The root is never removed.
  INodeRef root_;
};

template <class Fn>
IoStatus FileSystem::for_each_entry(InodeId id, Fn&& fn) const {
  MF_TRY_ASSIGN(INodeRef node, resolve(id));
  auto kind = node->read();
  const Directory* dir = kind.directory();
  // Spelt with Kind:: in templates: GCC 12 fails on the enumerators that
  // `using enum` brings into IoError.
  if (!dir) return IoError::Kind::NotADirectory;
  dir->find_if([&](const INode& child) {
    if (child.is_poisoned()) panic(kPoisonedLockMessage);
    if (child.type != INodeType::Symlink) return !fn(child.name.view(), child.is_directory());
    // A link is listed as what it stands for; a broken one is skipped.
    auto target = resolve(child.id);
    if (!target.ok()) return false;
    return !fn(target.value()->name.view(), target.value()->is_directory());
  });
  return {};
}

}  // namespace marrowfen::fs
