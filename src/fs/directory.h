// Directory: the children of a directory in creation order, each held by a
// counted reference (so a listed child can be read under the directory's
// lock without a lookup in the inode table). Callers hold the directory's
// inode lock: shared to read, exclusive to change.
//
// Up to kInline children sit in the directory itself and are found by
// scanning. A directory that outgrows them moves its list to the heap and
// keeps a NameIndex beside it; a removal then leaves a vacant (null) slot
// behind instead of shifting every later child, and the list is compacted
// once half of it is vacant.
//
// Growth comes in two steps, so that a creation can have all the memory it
// needs before it changes anything: reserve_one() may throw std::bad_alloc
// and changes nothing anyone can see (it may only add capacity), and the
// append() that follows cannot fail. A removal never needs memory.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/ref.h"
#include "fs/inode_id.h"
#include "fs/name_index.h"

namespace marrowfen::fs {

class INode;

class Directory {
 public:
  // Inline children: as many as fit the 64 bytes the directory takes.
  static constexpr uint32_t kInline = 7;

  Directory() noexcept : inline_{} {}
  Directory(Directory&& o) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  // Lets go of every child.
  ~Directory();

  // Live children.
  size_t size() const { return size_ - (spilled() ? big_.vacant : 0); }
  bool empty() const { return size() == 0; }

  // Calls fn(const INode&) for each child, in order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    INode* const* list = slots();
    for (uint32_t i = 0; i < size_; ++i)
      if (list[i]) fn(*list[i]);
  }
  // As for_each, stopping at the first child for which fn returns true;
  // that child, or nullptr.
  template <class Fn>
  INode* find_if(Fn&& fn) const {
    INode* const* list = slots();
    for (uint32_t i = 0; i < size_; ++i)
      if (list[i] && fn(*list[i])) return list[i];
    return nullptr;
  }
  std::vector<InodeId> child_ids() const;

  // The index answers name lookups only while it holds every child under
  // the name it is looked up by: a symlink child is compared by its target's
  // name instead, so a directory holding one is scanned.
  bool indexed() const { return (flags_ & (kSpilled | kHasSymlink)) == kSpilled; }
  // With indexed(): the child named `name`, or nullptr.
  INode* find_indexed(std::string_view name) const;

  // Set, under this directory's exclusive lock, when a removal unlinks it:
  // from then on nothing can be created in it.
  bool unlinked() const { return flags_ & kUnlinked; }
  void mark_unlinked() { flags_ |= kUnlinked; }

  // Room for one more child. Throws std::bad_alloc with the children as
  // they were.
  void reserve_one();
  // Appends `child` (already in the inode table), taking over the
  // reference; needs reserve_one() first.
  void append(Ref<INode> child) noexcept;
  bool contains(const INode& child) const { return position(child) != size_; }
  // Unlists `child` and lets go of it; false if it was not listed.
  bool erase(const INode& child) noexcept;

 private:
  static constexpr uint8_t kSpilled = 1;
  static constexpr uint8_t kHasSymlink = 2;
  static constexpr uint8_t kUnlinked = 4;

  bool spilled() const { return flags_ & kSpilled; }
  INode* const* slots() const { return spilled() ? big_.list : inline_; }
  INode** slots() { return spilled() ? big_.list : inline_; }
  // Where `child` is listed, or size_.
  uint32_t position(const INode& child) const;
  void compact() noexcept;

  uint32_t size_ = 0;  // slots in use, vacant ones included
  uint8_t flags_ = 0;
  union {
    INode* inline_[kInline];
    struct {
      INode** list;
      uint32_t capacity;
      uint32_t vacant;
      NameIndex index;
    } big_;
  };
};
static_assert(sizeof(Directory) == 64);

}  // namespace marrowfen::fs
