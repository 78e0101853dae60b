#include "fs/directory.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "fs/inode.h"

namespace marrowfen::fs {

namespace {

// Lets go of a child's reference that a list held.
void release(INode* child) noexcept { (void)Ref<INode>::adopt(child); }

}  // namespace

Directory::Directory(Directory&& o) noexcept : size_(o.size_), flags_(o.flags_) {
  if (spilled()) {
    big_ = o.big_;
  } else {
    std::memcpy(inline_, o.inline_, size_ * sizeof(INode*));
  }
  o.size_ = 0;
  o.flags_ = 0;
}

Directory::~Directory() {
  INode** list = slots();
  for (uint32_t i = 0; i < size_; ++i)
    if (list[i]) release(list[i]);
  if (spilled()) {
    delete[] big_.list;
    big_.index.free();
  }
}

std::vector<InodeId> Directory::child_ids() const {
  std::vector<InodeId> ids;
  ids.reserve(size());
  for_each([&](const INode& child) { ids.push_back(child.id); });
  return ids;
}

INode* Directory::find_indexed(std::string_view name) const {
  uint32_t pos = big_.index.find(name, big_.list);
  return pos == NameIndex::kEmpty ? nullptr : big_.list[pos];
}

void Directory::reserve_one() {
  if (!spilled()) {
    if (size_ < kInline) return;
    // Outgrowing the inline list: the list moves to the heap and gets its
    // index. Both are made before the directory changes.
    constexpr uint32_t kFirstCapacity = 2 * kInline + 2;
    auto list = std::make_unique<INode*[]>(kFirstCapacity);
    std::memcpy(list.get(), inline_, size_ * sizeof(INode*));
    NameIndex index = NameIndex::build(list.get(), size_, size_ + 1);
    big_.list = list.release();
    big_.capacity = kFirstCapacity;
    big_.vacant = 0;
    big_.index = index;
    flags_ |= kSpilled;
    return;
  }
  // When the list or its index is full and a quarter of it is the slots of
  // removed children, dropping those makes the room; growing would keep
  // them (and their markers) for good in a directory that only churns.
  bool full = size_ == big_.capacity || !big_.index.fits(size_ + 1);
  if (full && big_.vacant * 4 >= size_) compact();
  if (size_ == big_.capacity) {
    if (big_.capacity > UINT32_MAX / 2) throw std::bad_alloc();
    uint32_t capacity = big_.capacity * 2;
    INode** list = new INode*[capacity];
    std::memcpy(list, big_.list, size_ * sizeof(INode*));
    delete[] std::exchange(big_.list, list);
    big_.capacity = capacity;
  }
  // Sized by the list's slots: the markers of removed children count too.
  if (!big_.index.fits(size_ + 1)) {
    NameIndex index = NameIndex::build(big_.list, size_, size_ + 1);
    big_.index.free();
    big_.index = index;
  }
}

void Directory::append(Ref<INode> child) noexcept {
  INode* node = child.release();
  if (node->type == INodeType::Symlink) flags_ |= kHasSymlink;
  uint32_t pos = size_++;
  slots()[pos] = node;
  if (spilled()) big_.index.insert(pos, node->name.view());
}

uint32_t Directory::position(const INode& child) const {
  INode* const* list = slots();
  if (spilled()) {
    // The index holds every listed child of a spilled list.
    uint32_t pos = big_.index.find(child, list);
    return pos == NameIndex::kEmpty ? size_ : pos;
  }
  uint32_t pos = 0;
  while (pos < size_ && list[pos] != &child) ++pos;
  return pos;
}

bool Directory::erase(const INode& child) noexcept {
  INode** list = slots();
  if (!spilled()) {
    uint32_t pos = position(child);
    if (pos == size_) return false;
    // Small lists keep their order by shifting.
    std::memmove(list + pos, list + pos + 1, (size_ - pos - 1) * sizeof(INode*));
    --size_;
  } else {
    // With an index the children keep their slots: a removal leaves a hole.
    uint32_t pos = big_.index.erase(child, list);
    if (pos == NameIndex::kEmpty) return false;
    list[pos] = nullptr;
    ++big_.vacant;
    if (big_.vacant * 2 > size_) compact();
  }
  release(const_cast<INode*>(&child));
  return true;
}

void Directory::compact() noexcept {
  uint32_t live = 0;
  for (uint32_t pos = 0; pos < size_; ++pos)
    if (big_.list[pos]) big_.list[live++] = big_.list[pos];
  size_ = live;
  big_.vacant = 0;
  big_.index.rebuild(big_.list, size_);
}

}  // namespace marrowfen::fs
