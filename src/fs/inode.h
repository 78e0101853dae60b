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

#include "base/rwlock.h"
#include "base/small_vec.h"

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

struct Directory {
  SmallVec<InodeId, 8> children;
};

struct Symlink {
  InodeId target;
};

// Tags 0, 1, 2 as the variant's index.
using INodeKind = std::variant<File, Directory, Symlink>;

inline INodeKind new_file() { return File{}; }
inline INodeKind new_directory() { return Directory{}; }

struct INode {
  INode(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeKind kind)
      : id(id), parent(parent), depth(depth), name(name), data(std::move(kind)) {}

  const InodeId id;
  const InodeId parent;
  const size_t depth;
  const InlineName name;
  RwLocked<INodeKind> data;
};

// A read guard of the table: shared ownership keeps the inode alive and
// readable without holding any table lock.
using INodeRef = std::shared_ptr<INode>;

}  // namespace marrowfen::fs
