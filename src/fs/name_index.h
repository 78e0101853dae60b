// NameIndex: finds a child of a large directory by name in constant time,
// so that filling a directory is not quadratic. It maps names to the child
// inodes themselves; an entry lives exactly as long as the child is listed
// in its parent, and the child inode stays alive that long (a removal
// unlists it before the inode leaves the table).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace marrowfen::fs {

struct INode;

class NameIndex {
 public:
  NameIndex() = default;
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;

  const INode* find(std::string_view name) const;
  void insert(const INode* child);
  void erase(const INode* child);
  size_t size() const { return size_; }

  // Calls fn(const INode*) for every entry, in no particular order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t i = 0; i < capacity_; ++i)
      if (slots_[i]) fn(slots_[i]);
  }

 private:
  static uint64_t hash(std::string_view name);
  void grow();

  std::unique_ptr<const INode*[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t size_ = 0;
};

}  // namespace marrowfen::fs
