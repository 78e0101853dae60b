// Changing a directory's child list, keeping its name index and the
// children's slots in step. Callers hold the directory's inode exclusively.
//
// Both changes come in two steps, so that a creation can have all the memory
// it needs before it changes anything: preparing an append may throw
// std::bad_alloc and changes nothing anyone can see (it may only add
// capacity), and the append that follows cannot fail. A removal never fails
// for want of memory: it only compacts the list when it can get the room.
#pragma once

#include <cstdint>
#include <memory>

#include "base/function_ref.h"
#include "fs/inode.h"

namespace marrowfen::fs {

// What an append needs beyond the room reserved in the directory itself.
struct PreparedAppend {
  // The index of a directory that this append makes outgrow its inline
  // list, already holding every present child.
  std::unique_ptr<NameIndex> new_index;
};

// Reserves room for one more child. `lookup` finds listed children by id
// when the directory is about to get its index.
PreparedAppend prepare_append(Directory& dir, FunctionRef<INodeRef(InodeId)> lookup);

// Appends `child` (already in the table) with the room `prepared` holds.
void directory_append(Directory& dir, const INode& child, PreparedAppend prepared) noexcept;

// What a removal needs to compact the list, if it leaves it half vacant.
struct PreparedErase {
  std::unique_ptr<uint32_t[]> new_slots;  // null: no compacting this time
};

PreparedErase prepare_erase(const Directory& dir) noexcept;

// Deletes every occurrence of `id`; `node` is the inode stored under `id`,
// if known, which lets an indexed directory do it in constant time.
void directory_erase(Directory& dir, InodeId id, const INode* node, PreparedErase prepared) noexcept;

}  // namespace marrowfen::fs
