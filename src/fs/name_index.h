// NameIndex: finds a child of a large directory by name in constant time,
// so that filling a directory is not quadratic. It is an open-addressing
// table of positions in the directory's child list (four bytes a slot, kept
// at most half full); the names themselves are read from the children the
// list points to. The directory that holds it manages its memory: it is a
// plain value, so that it fits in the directory's own storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marrowfen::fs {

class INode;

struct NameIndex {
  static constexpr uint32_t kEmpty = UINT32_MAX;

  static uint64_t hash(std::string_view name);

  // A table with room for `entries`, holding every child of `list[0..size)`
  // (vacant slots are null). Throws std::bad_alloc.
  static NameIndex build(INode* const* list, uint32_t size, size_t entries);
  void free() noexcept;
  bool fits(size_t entries) const { return entries <= capacity / 2; }

  // The position of the child named `name`, or kEmpty.
  uint32_t find(std::string_view name, INode* const* list) const;
  // Needs room for it (see fits); never allocates.
  void insert(uint32_t pos, std::string_view name) noexcept;
  // Takes out the entry of `child` (at list position `pos`), moving later
  // entries of its probe run back so that no run is broken.
  void erase(const INode& child, uint32_t pos, INode* const* list) noexcept;
  // Empties the table and enters every child of `list[0..size)` again.
  void rebuild(INode* const* list, uint32_t size) noexcept;

  uint32_t* slots;
  uint32_t capacity;  // a power of two
};

}  // namespace marrowfen::fs
