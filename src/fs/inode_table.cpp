#include "fs/inode_table.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace marrowfen::fs {

InodeTable::~InodeTable() {
  for (Shard& s : shards_)
    for (auto& chunk : s.chunks)
      if (chunk)
        for (INode* node : chunk->slots)
          if (node && node->release_ref()) delete node;
}

INodeRef InodeTable::get(InodeId id) const {
  Place p = place(id);
  const Shard& s = shards_[p.shard];
  std::shared_lock lock(s.lock);
  if (p.chunk >= s.chunks.size() || !s.chunks[p.chunk]) return nullptr;
  return INodeRef(s.chunks[p.chunk]->slots[p.slot]);
}

void InodeTable::insert(const INodeRef& inode) {
  Place p = place(inode->id);
  Shard& s = shards_[p.shard];
  std::unique_lock lock(s.lock);
  // Everything that can fail for want of memory comes first.
  if (p.chunk >= s.chunks.size()) {
    s.live.resize(p.chunk + 1);
    s.chunks.resize(p.chunk + 1);
  }
  if (!s.chunks[p.chunk]) s.chunks[p.chunk] = std::make_unique<Chunk>();
  INode*& slot = s.chunks[p.chunk]->slots[p.slot];
  INode* previous = slot;
  if (!previous) ++s.live[p.chunk];
  inode->add_ref();  // the table's own reference
  slot = inode.get();
  lock.unlock();
  if (previous && previous->release_ref()) delete previous;
}

INodeRef InodeTable::remove(InodeId id) {
  Place p = place(id);
  Shard& s = shards_[p.shard];
  std::unique_lock lock(s.lock);
  if (p.chunk >= s.chunks.size() || !s.chunks[p.chunk]) return nullptr;
  std::unique_ptr<Chunk>& chunk = s.chunks[p.chunk];
  INode* node = std::exchange(chunk->slots[p.slot], nullptr);
  if (node && --s.live[p.chunk] == 0) chunk.reset();
  lock.unlock();
  if (!node) return nullptr;
  INodeRef removed(node);  // hands the table's reference to the caller
  node->release_ref();
  return removed;
}

std::vector<INodeRef> InodeTable::snapshot() const {
  std::vector<INodeRef> all;
  for (const Shard& s : shards_) {
    std::shared_lock lock(s.lock);
    for (const auto& chunk : s.chunks)
      if (chunk)
        for (INode* node : chunk->slots)
          if (node) all.emplace_back(node);
  }
  std::sort(all.begin(), all.end(), [](const INodeRef& a, const INodeRef& b) { return a->id < b->id; });
  return all;
}

}  // namespace marrowfen::fs
