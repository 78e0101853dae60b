// NameIndex: finds a child of a large directory by name in constant time,
// so that filling a directory is not quadratic. It is an open-addressing
// table of positions in the directory's child list (four bytes a slot); the
// names themselves are read from the children the list points to.
//
// A removal leaves a marker in place of the entry, as the list leaves a
// vacant slot, so that it needs no name but the removed child's own; an
// insertion takes the first marker on its way, and the rest go when the
// directory compacts its list and the index is rebuilt. Entries and markers
// together never fill more than half the table, since the table is sized by
// the list's slots, vacant ones included.
//
// The directory that holds it manages its memory: it is a plain value, so
// that it fits in the directory's own storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marrowfen::fs {

class INode;

struct NameIndex {
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr uint32_t kRemoved = UINT32_MAX - 1;

  static uint64_t hash(std::string_view name);

  // A table with room for `entries`, holding every child of `list[0..size)`
  // (vacant slots are null). Throws std::bad_alloc.
  static NameIndex build(INode* const* list, uint32_t size, size_t entries);
  void free() noexcept;
  bool fits(size_t entries) const { return entries <= capacity / 2; }

  // The position of the child named `name`, or kEmpty.
  uint32_t find(std::string_view name, INode* const* list) const;
  // The position of `child` itself, or kEmpty: it compares the list's
  // pointers, not names.
  uint32_t find(const INode& child, INode* const* list) const;
  // Needs room for it (see fits); never allocates.
  void insert(uint32_t pos, std::string_view name) noexcept;
  // Marks the entry of `child` removed: its list position, or kEmpty if it
  // has none.
  uint32_t erase(const INode& child, INode* const* list) noexcept;
  // Empties the table and enters every child of `list[0..size)` again.
  void rebuild(INode* const* list, uint32_t size) noexcept;

  uint32_t* slots;
  uint32_t capacity;  // a power of two
};

}  // namespace marrowfen::fs
