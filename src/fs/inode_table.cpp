#include "fs/inode_table.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace marrowfen::fs {

InodeTable::InodeTable() {
  // 256 slots to begin with, spread over the shards; they grow as needed.
  for (Shard& s : shards_) s.map.reserve(256 / kShards);
}

INodeRef InodeTable::get(InodeId id) const {
  const Shard& s = shard(id);
  std::shared_lock lock(s.lock);
  auto it = s.map.find(id);
  return it == s.map.end() ? nullptr : it->second;
}

void InodeTable::insert(INodeRef inode) {
  Shard& s = shard(inode->id);
  std::unique_lock lock(s.lock);
  s.map.insert_or_assign(inode->id, std::move(inode));
}

INodeRef InodeTable::remove(InodeId id) {
  Shard& s = shard(id);
  std::unique_lock lock(s.lock);
  auto it = s.map.find(id);
  if (it == s.map.end()) return nullptr;
  INodeRef removed = std::move(it->second);
  s.map.erase(it);
  return removed;
}

std::vector<INodeRef> InodeTable::snapshot() const {
  std::vector<INodeRef> all;
  for (const Shard& s : shards_) {
    std::shared_lock lock(s.lock);
    for (const auto& [id, inode] : s.map) all.push_back(inode);
  }
  std::sort(all.begin(), all.end(), [](const INodeRef& a, const INodeRef& b) { return a->id < b->id; });
  return all;
}

}  // namespace marrowfen::fs
