// INode and INodeKind: one entry of the in-memory namespace. Everything that
// can change after creation lives in `data`, behind the inode's own
// reader/writer lock; a file's lock word is atomic so that handles can claim
// it while holding that lock only shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "base/ref.h"
#include "base/rwlock.h"
#include "base/small_vec.h"
#include "fs/name_index.h"

namespace marrowfen::fs {

using InodeId = uint64_t;

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

struct FileData {
  SmallVec<uint8_t, 32> data;
};

struct File {
  FileData data;
  FileLock lock;
};

using ChildIds = SmallVec<InodeId, 8>;

// A directory's children, in creation order. Small directories are scanned;
// once a directory outgrows its inline list it keeps a NameIndex beside the
// list, and a removal then leaves a vacant slot behind (compacted once half
// the list is vacant) instead of shifting every later child.
struct Directory {
  static constexpr InodeId kVacant = ~InodeId{0};
  static constexpr size_t kIndexThreshold = 8;

  Directory() = default;
  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;
  Directory(const Directory& o) : children(o.live_children()) {}

  size_t size() const { return children.size() - vacant; }
  bool empty() const { return size() == 0; }
  // The ids of the children, in order, without vacant slots.
  ChildIds live_children() const;
  template <class Fn>
  void for_each_child(Fn&& fn) const {
    for (InodeId id : children)
      if (id != kVacant) fn(id);
  }
  // The index answers name lookups only while it holds every child under
  // its own name; a symlink child is compared by its target's name instead.
  bool indexed() const { return index && !has_symlink; }

  ChildIds children;
  std::unique_ptr<NameIndex> index;
  uint32_t vacant = 0;
  bool has_symlink = false;
  // Set, under this directory's exclusive lock, when a removal unlinks it:
  // from then on nothing can be created in it.
  bool unlinked = false;
};

struct Symlink {
  InodeId target;
};

// Tags 0, 1, 2 as the variant's index.
using INodeKind = std::variant<File, Directory, Symlink>;

inline INodeKind new_file() { return File{}; }
inline INodeKind new_directory() { return Directory{}; }

// Which variant an inode holds; it never changes after creation, so it can
// be read without the inode's lock.
enum class INodeType : uint8_t { File = 0, Directory = 1, Symlink = 2 };

struct INode : RefCounted {
  INode(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeKind kind)
      : id(id),
        parent(parent),
        name(name),
        depth(static_cast<uint8_t>(depth)),
        type(static_cast<INodeType>(kind.index())),
        data(std::move(kind)) {}

  bool is_directory() const { return type == INodeType::Directory; }

  // Fields are ordered so that the small ones fill the gaps of the large.
  // Position in the parent's child list; kept up to date under the parent's
  // exclusive lock once the parent has an index.
  mutable uint32_t slot = 0;
  const InodeId id;
  const InodeId parent;
  const InlineName name;
  const uint8_t depth;  // at most 64
  const INodeType type;
  RwLocked<INodeKind> data;
};

// A read guard of the table: shared ownership keeps the inode alive and
// readable without holding any table lock.
using INodeRef = Ref<INode>;

}  // namespace marrowfen::fs
