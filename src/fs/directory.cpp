#include "fs/directory.h"

#include <vector>

namespace marrowfen::fs {

ChildIds Directory::live_children() const {
  if (vacant == 0) return children;
  ChildIds live;
  for_each_child([&](InodeId id) { live.push_back(id); });
  return live;
}

void directory_append(Directory& dir, const INode& child, const std::function<INodeRef(InodeId)>& lookup) {
  if (child.type == INodeType::Symlink) dir.has_symlink = true;
  child.slot = static_cast<uint32_t>(dir.children.size());
  dir.children.push_back(child.id);
  if (dir.index) {
    dir.index->insert(&child);
    return;
  }
  if (dir.size() <= Directory::kIndexThreshold) return;
  // Outgrown the inline list: index every child. Listed children are always
  // in the table, since a creation inserts before it lists and a removal
  // unlists before it takes the inode out.
  auto index = std::make_unique<NameIndex>();
  for (uint32_t slot = 0; slot < dir.children.size(); ++slot) {
    InodeId id = dir.children[slot];
    if (id == Directory::kVacant) continue;
    const INode* node = id == child.id ? &child : lookup(id).get();
    if (!node) continue;
    node->slot = slot;
    index->insert(node);
  }
  dir.index = std::move(index);
}

namespace {

// Drops the vacant slots, renumbering the children that the index holds.
void compact(Directory& dir) {
  std::vector<uint32_t> new_slot(dir.children.size());
  ChildIds live;
  for (uint32_t slot = 0; slot < dir.children.size(); ++slot) {
    new_slot[slot] = static_cast<uint32_t>(live.size());
    if (dir.children[slot] != Directory::kVacant) live.push_back(dir.children[slot]);
  }
  dir.index->for_each([&](const INode* node) { node->slot = new_slot[node->slot]; });
  dir.children = std::move(live);
  dir.vacant = 0;
}

}  // namespace

void directory_erase(Directory& dir, InodeId id, const INode* node) {
  if (!dir.index) {
    dir.children.erase_all(id);
    return;
  }
  // With an index the children keep their slots: a removal leaves a hole.
  if (node && node->id == id && node->slot < dir.children.size() && dir.children[node->slot] == id) {
    dir.children[node->slot] = Directory::kVacant;
    ++dir.vacant;
  } else {
    for (InodeId& slot : dir.children)
      if (slot == id) {
        slot = Directory::kVacant;
        ++dir.vacant;
      }
  }
  if (node) dir.index->erase(node);
  if (dir.vacant * 2 > dir.children.size()) compact(dir);
}

}  // namespace marrowfen::fs
