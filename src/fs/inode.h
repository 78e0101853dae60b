// INode: one entry of the in-memory namespace.
//
// Each kind is allocated at its own size: the fields every inode has (40
// bytes), then the kind's own part (FileNode, DirectoryNode, SymlinkNode).
// An empty file with a short name takes 72 bytes, an empty directory 104.
// The kind never changes after creation, nor do id, parent, depth and name,
// so they are read without a lock; what can change (a file's bytes, a
// directory's children) is read and changed under the inode's own
// reader/writer lock, through the guards of read() and write(). A file's
// lock word is atomic, so that handles can claim it without that lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>
#include <type_traits>
#include <variant>

#include "base/ref.h"
#include "base/rwlock.h"
#include "base/small_vec.h"
#include "fs/directory.h"
#include "fs/inode_id.h"

namespace marrowfen::fs {

// The per-file handle protocol word: 0 unlocked, n > 0 readers, -1 one
// writer, -2 claimed by a removal.
struct FileLock {
  static constexpr int32_t UNLOCKED = 0;
  static constexpr int32_t WRITE_EXCLUSIVE = -1;
  static constexpr int32_t REMOVING = -2;

  FileLock() = default;
  FileLock(const FileLock& o) : flag(o.flag.load(std::memory_order_acquire)) {}
  FileLock& operator=(const FileLock& o) {
    flag.store(o.flag.load(std::memory_order_acquire), std::memory_order_release);
    return *this;
  }

  mutable std::atomic<int32_t> flag{UNLOCKED};
};

// A file's bytes: up to 20 kept inline, more on the heap.
struct FileData {
  SmallVec<uint8_t, 20> data;
};

struct File {
  FileLock lock;
  FileData data;
};

struct Symlink {
  InodeId target;
};

// What create_inode makes: tags 0, 1, 2 as the variant's index.
using INodeKind = std::variant<File, Directory, Symlink>;

inline INodeKind new_file() { return File{}; }
inline INodeKind new_directory() { return INodeKind(std::in_place_type<Directory>); }

enum class INodeType : uint8_t { File = 0, Directory = 1, Symlink = 2 };

class INode;
using INodeRef = Ref<INode>;
template <class Body, INodeType Type>
struct NodeOf;
using FileNode = NodeOf<File, INodeType::File>;
using DirectoryNode = NodeOf<Directory, INodeType::Directory>;
using SymlinkNode = NodeOf<Symlink, INodeType::Symlink>;
class INodeReadGuard;
class INodeWriteGuard;

class INode : public RefCounted {
 public:
  // The new inode, with its kind's part taken from `kind`. Throws
  // std::bad_alloc.
  static INodeRef make(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeKind&& kind);
  // A new empty file or directory.
  static INodeRef make(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeType type);

  bool is_directory() const { return type == INodeType::Directory; }

  // The inode's lock, taken shared or exclusively; a poisoned lock is an
  // internal error. The guards give the kind's part.
  INodeReadGuard read() const;
  INodeWriteGuard write();
  // For debug text: calls fn(const INode* or nullptr), nullptr while a
  // writer holds the lock; never waits, and reads a poisoned inode too.
  template <class Fn>
  void try_inspect(Fn&& fn) const {
    marrowfen::try_inspect(lock_, [&](bool held) { fn(held ? this : nullptr); });
  }
  bool is_poisoned() const { return lock_.is_poisoned(); }

  // The kind's part, without the lock: for the atomic lock word of a file,
  // and for callers that hold a guard already.
  const File* file() const { return body_of<FileNode, File>(); }
  const Directory* directory() const { return body_of<DirectoryNode, Directory>(); }
  const Symlink* symlink() const { return body_of<SymlinkNode, Symlink>(); }

  // Inodes are destroyed through INodeRef; this runs the destructor of the
  // inode's kind and frees its size. (The destructor below is public only
  // because some compilers check it for a delete all the same.)
  static void operator delete(INode* node, std::destroying_delete_t);
  ~INode() = default;

 protected:
  INode(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeType type)
      : id(id), parent(parent), name(name), depth(static_cast<uint8_t>(depth)), type(type) {}

 private:
  template <class Node, class Body>
  const Body* body_of() const {
    return type == Node::kType ? &static_cast<const Node*>(this)->body : nullptr;
  }

  friend class INodeReadGuard;
  friend class INodeWriteGuard;
  mutable RwLock lock_;  // beside the reference count, ahead of the 8-byte fields

 public:
  const InodeId id;
  const InodeId parent;
  const InlineName name;
  const uint8_t depth;  // at most 64
  const INodeType type;
};

// An inode of one kind: the common fields, then the kind's own part, made
// from `body` (or empty).
template <class Body, INodeType Type>
struct NodeOf final : INode {
  static constexpr INodeType kType = Type;
  template <class... B>
  NodeOf(InodeId id, InodeId parent, size_t depth, std::string_view name, B&&... body)
      : INode(id, parent, depth, name, Type), body(std::forward<B>(body)...) {}
  Body body;
};

static_assert(sizeof(INode) == 40);
static_assert(sizeof(FileNode) == 72);
static_assert(sizeof(DirectoryNode) == 104);

// The inode's lock held shared; file(), directory() and symlink() give the
// kind's part, or nullptr for another kind.
class INodeReadGuard {
 public:
  explicit INodeReadGuard(const INode& node) : guard_(node.lock_), node_(&node) {}
  const File* file() const { return node_->file(); }
  const Directory* directory() const { return node_->directory(); }
  const Symlink* symlink() const { return node_->symlink(); }
  void release() { guard_.release(); }

 private:
  SharedGuard guard_;
  const INode* node_;
};

// The inode's lock held exclusively; a Panic unwinding through it poisons it.
class INodeWriteGuard {
 public:
  explicit INodeWriteGuard(INode& node) : guard_(node.lock_), node_(&node) {}
  File* file() const { return const_cast<File*>(node_->file()); }
  Directory* directory() const { return const_cast<Directory*>(node_->directory()); }
  Symlink* symlink() const { return const_cast<Symlink*>(node_->symlink()); }
  void release() { guard_.release(); }

 private:
  ExclusiveGuard guard_;
  INode* node_;
};

inline INodeReadGuard INode::read() const { return INodeReadGuard(*this); }
inline INodeWriteGuard INode::write() { return INodeWriteGuard(*this); }

}  // namespace marrowfen::fs
