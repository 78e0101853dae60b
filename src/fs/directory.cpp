#include "fs/directory.h"

#include <new>

namespace marrowfen::fs {

ChildIds Directory::live_children() const {
  if (vacant == 0) return children;
  ChildIds live;
  live.reserve(size());
  for_each_child([&](InodeId id) { live.push_back(id); });
  return live;
}

PreparedAppend prepare_append(Directory& dir, FunctionRef<INodeRef(InodeId)> lookup) {
  dir.children.reserve(dir.children.size() + 1);
  if (dir.index) {
    dir.index->reserve(dir.index->size() + 1);
    return {};
  }
  if (dir.size() + 1 <= Directory::kIndexThreshold) return {};
  // About to outgrow the inline list: index every child. Listed children are
  // always in the table, since a creation inserts before it lists and a
  // removal unlists before it takes the inode out. Their slots are set here
  // already; a directory without an index does not read them.
  PreparedAppend prepared{std::make_unique<NameIndex>()};
  prepared.new_index->reserve(dir.size() + 1);
  for (uint32_t slot = 0; slot < dir.children.size(); ++slot) {
    InodeId id = dir.children[slot];
    if (id == Directory::kVacant) continue;
    const INode* node = lookup(id).get();
    if (!node) continue;
    node->slot = slot;
    prepared.new_index->insert(node);
  }
  return prepared;
}

void directory_append(Directory& dir, const INode& child, PreparedAppend prepared) noexcept {
  if (child.type == INodeType::Symlink) dir.has_symlink = true;
  if (prepared.new_index) dir.index = std::move(prepared.new_index);
  child.slot = static_cast<uint32_t>(dir.children.size());
  dir.children.push_back(child.id);  // within the reserved room
  if (dir.index) dir.index->insert(&child);
}

namespace {

// Whether a list with `vacant` holes among `size` slots is worth compacting.
bool needs_compacting(size_t vacant, size_t size) { return vacant * 2 > size; }

// Drops the vacant slots, renumbering the children that the index holds.
void compact(Directory& dir, uint32_t* new_slots) noexcept {
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < dir.children.size(); ++slot) {
    new_slots[slot] = live;
    if (dir.children[slot] != Directory::kVacant) dir.children[live++] = dir.children[slot];
  }
  dir.index->for_each([&](const INode* node) { node->slot = new_slots[node->slot]; });
  dir.children.resize_zeroed(live);  // shrinks: cannot fail
  dir.vacant = 0;
}

}  // namespace

PreparedErase prepare_erase(const Directory& dir) noexcept {
  if (!dir.index || !needs_compacting(dir.vacant + 1, dir.children.size())) return {};
  // Removing must work when memory is short: without room, the holes stay
  // until a later removal compacts them.
  return {std::unique_ptr<uint32_t[]>(new (std::nothrow) uint32_t[dir.children.size()])};
}

void directory_erase(Directory& dir, InodeId id, const INode* node, PreparedErase prepared) noexcept {
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
  if (prepared.new_slots && needs_compacting(dir.vacant, dir.children.size()))
    compact(dir, prepared.new_slots.get());
}

}  // namespace marrowfen::fs
