// The concurrent table from inode id to inode. Ids are handed out in order
// and never reused, so the table is an array indexed by id rather than a
// hash map: split into shards by the low bits of the id, each a list of
// fixed-size chunks under its own lock. A lookup holds the shard lock only
// to take a reference on the inode, so lookups of different shards never
// meet, and no thread ever waits on a reference it holds itself.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "base/rwlock.h"
#include "fs/inode.h"

namespace marrowfen::fs {

class InodeTable {
 public:
  InodeTable() = default;
  InodeTable(const InodeTable&) = delete;
  InodeTable& operator=(const InodeTable&) = delete;
  ~InodeTable();

  // The inode with this id, or nullptr.
  INodeRef get(InodeId id) const;
  void insert(const INodeRef& inode);
  // Takes the inode out; the caller drops it outside the shard lock.
  INodeRef remove(InodeId id);
  // Every live inode, ordered by id.
  std::vector<INodeRef> snapshot() const;

 private:
  static constexpr size_t kShardBits = 4;
  static constexpr size_t kShards = size_t{1} << kShardBits;
  static constexpr size_t kChunkBits = 10;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
  // A chunk goes as soon as its last inode does: ids are never reused, so
  // a long-lived filesystem holds only the chunks of ids still alive.
  struct Chunk {
    std::array<INode*, kChunkSize> slots{};
  };

  struct alignas(64) Shard {
    mutable RwLock lock;
    std::vector<std::unique_ptr<Chunk>> chunks;
    // Inodes per chunk, kept apart from the chunks: a removal then touches
    // one cache line of a chunk, not two.
    std::vector<uint32_t> live;
  };

  // Where an id lives: its shard, chunk and slot.
  struct Place {
    size_t shard, chunk, slot;
  };
  static Place place(InodeId id) {
    uint64_t row = id >> kShardBits;
    return {static_cast<size_t>(id & (kShards - 1)), static_cast<size_t>(row >> kChunkBits),
            static_cast<size_t>(row & (kChunkSize - 1))};
  }

  std::array<Shard, kShards> shards_;
};

}  // namespace marrowfen::fs
