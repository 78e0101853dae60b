#include "fs/inode_table.h"

#include <mutex>
#include <shared_mutex>

namespace marrowfen::fs {

InodeTable::~InodeTable() {
  for (Shard& s : shards_)
    for (auto& chunk : s.chunks)
      if (chunk)
        for (INode* node : *chunk)
          if (node && node->release_ref()) delete node;
}

INodeRef InodeTable::get(InodeId id) const {
  Place p = place(id);
  const Shard& s = shards_[p.shard];
  std::shared_lock lock(s.lock);
  if (p.chunk >= s.chunks.size() || !s.chunks[p.chunk]) return nullptr;
  return INodeRef((*s.chunks[p.chunk])[p.slot]);
}

void InodeTable::insert(INodeRef inode) {
  Place p = place(inode->id);
  Shard& s = shards_[p.shard];
  std::unique_lock lock(s.lock);
  if (p.chunk >= s.chunks.size()) s.chunks.resize(p.chunk + 1);
  if (!s.chunks[p.chunk]) s.chunks[p.chunk] = std::make_unique<Chunk>();
  INode*& slot = (*s.chunks[p.chunk])[p.slot];
  INode* previous = slot;
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
  INode* node = std::exchange((*s.chunks[p.chunk])[p.slot], nullptr);
  lock.unlock();
  if (!node) return nullptr;
  INodeRef removed(node);  // hands the table's reference to the caller
  node->release_ref();
  return removed;
}

std::vector<INodeRef> InodeTable::snapshot(InodeId end) const {
  std::vector<INodeRef> all;
  for (InodeId id = 0; id < end; ++id)
    if (INodeRef node = get(id)) all.push_back(std::move(node));
  return all;
}

}  // namespace marrowfen::fs
