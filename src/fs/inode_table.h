// The concurrent table from inode id to inode. It is split into shards, each
// with its own lock, so lookups of different ids do not serialise; a lookup
// hands out shared ownership and holds the shard lock only for the hash probe,
// so no thread ever waits on a guard it holds itself.
#pragma once

#include <array>
#include <unordered_map>
#include <vector>

#include "base/rwlock.h"
#include "fs/inode.h"

namespace marrowfen::fs {

class InodeTable {
 public:
  InodeTable();

  // The inode with this id, or nullptr.
  INodeRef get(InodeId id) const;
  void insert(INodeRef inode);
  // Takes the inode out; the caller drops it outside the shard lock.
  INodeRef remove(InodeId id);
  // Every live inode, ordered by id.
  std::vector<INodeRef> snapshot() const;

 private:
  static constexpr size_t kShards = 16;
  struct Shard {
    mutable RwLock lock;
    std::unordered_map<InodeId, INodeRef> map;
  };
  Shard& shard(InodeId id) { return shards_[id % kShards]; }
  const Shard& shard(InodeId id) const { return shards_[id % kShards]; }

  std::array<Shard, kShards> shards_;
};

}  // namespace marrowfen::fs
