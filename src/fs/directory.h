// Changing a directory's child list, keeping its name index and the
// children's slots in step. Callers hold the directory's inode exclusively.
#pragma once

#include <functional>

#include "fs/inode.h"

namespace marrowfen::fs {

// Appends `child` (already in the table). `lookup` finds listed children by
// id when the directory builds its index.
void directory_append(Directory& dir, const INode& child, const std::function<INodeRef(InodeId)>& lookup);

// Deletes every occurrence of `id`; `node` is the inode stored under `id`,
// if known, which lets an indexed directory do it in constant time.
void directory_erase(Directory& dir, InodeId id, const INode* node);

}  // namespace marrowfen::fs
