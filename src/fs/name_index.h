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
  // Room for `n` entries in all, so that inserting up to that many cannot
  // fail. Throws std::bad_alloc with the index unchanged.
  void reserve(size_t n) {
    if (n > fits(capacity_)) grow_to(n);
  }
  // Needs room reserved for it (see reserve); never allocates.
  void insert(const INode* child) noexcept;
  void erase(const INode* child) noexcept;
  size_t size() const { return size_; }

  // Calls fn(const INode*) for every entry, in no particular order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t i = 0; i < capacity_; ++i)
      if (slots_[i]) fn(slots_[i]);
  }

 private:
  static uint64_t hash(std::string_view name);
  // Most entries a table of `capacity` slots holds: it stays half empty, so
  // probe runs stay short.
  static size_t fits(size_t capacity) { return capacity / 2; }
  void place(const INode* child) noexcept;
  void grow_to(size_t n);

  std::unique_ptr<const INode*[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t size_ = 0;
};

}  // namespace marrowfen::fs
