#include "fs/name_index.h"

#include <cstring>
#include <new>

#include "fs/inode.h"

namespace marrowfen::fs {

namespace {

uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint32_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint64_t mix(uint64_t h) {
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ull;
  h ^= h >> 32;
  return h;
}

}  // namespace

uint64_t NameIndex::hash(std::string_view name) {
  // Fixed-size loads only (overlapping ones for the tail), so that short
  // names, the common case, cost a few multiplies and no call.
  const char* p = name.data();
  size_t n = name.size();
  uint64_t h = 0x9e3779b97f4a7c15ull ^ n;
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) h = (h ^ load64(p + i)) * 0xff51afd7ed558ccdull;
    h ^= load64(p + n - 8);
  } else if (n >= 4) {
    h ^= (uint64_t{load32(p)} << 32) | load32(p + n - 4);
  } else if (n > 0) {
    h ^= (uint64_t{static_cast<uint8_t>(p[0])} << 16) | (uint64_t{static_cast<uint8_t>(p[n / 2])} << 8) |
         static_cast<uint8_t>(p[n - 1]);
  }
  return mix(h * 0xc4ceb9fe1a85ec53ull);
}

NameIndex NameIndex::build(INode* const* list, uint32_t size, size_t entries) {
  uint32_t capacity = 32;
  while (capacity / 2 < entries) capacity *= 2;
  NameIndex index{new uint32_t[capacity], capacity};
  index.rebuild(list, size);
  return index;
}

void NameIndex::free() noexcept {
  delete[] slots;
  slots = nullptr;
  capacity = 0;
}

uint32_t NameIndex::find(std::string_view name, INode* const* list) const {
  uint32_t mask = capacity - 1;
  for (uint32_t i = static_cast<uint32_t>(hash(name)) & mask;; i = (i + 1) & mask) {
    uint32_t pos = slots[i];
    if (pos == kEmpty) return kEmpty;
    if (pos != kRemoved && list[pos]->name == name) return pos;
  }
}

uint32_t NameIndex::find(const INode& child, INode* const* list) const {
  uint32_t mask = capacity - 1;
  for (uint32_t i = static_cast<uint32_t>(hash(child.name.view())) & mask;; i = (i + 1) & mask) {
    uint32_t pos = slots[i];
    if (pos == kEmpty) return kEmpty;
    if (pos != kRemoved && list[pos] == &child) return pos;
  }
}

void NameIndex::insert(uint32_t pos, std::string_view name) noexcept {
  // The first marker on the way is taken: a name removed and made again
  // and again must not lengthen its probe run each time.
  uint32_t mask = capacity - 1;
  uint32_t i = static_cast<uint32_t>(hash(name)) & mask;
  while (slots[i] != kEmpty && slots[i] != kRemoved) i = (i + 1) & mask;
  slots[i] = pos;
}

uint32_t NameIndex::erase(const INode& child, INode* const* list) noexcept {
  uint32_t mask = capacity - 1;
  for (uint32_t i = static_cast<uint32_t>(hash(child.name.view())) & mask;; i = (i + 1) & mask) {
    uint32_t pos = slots[i];
    if (pos == kEmpty) return kEmpty;
    if (pos != kRemoved && list[pos] == &child) {
      slots[i] = kRemoved;
      return pos;
    }
  }
}

void NameIndex::rebuild(INode* const* list, uint32_t size) noexcept {
  std::memset(slots, 0xFF, capacity * sizeof *slots);  // every slot kEmpty
  for (uint32_t pos = 0; pos < size; ++pos)
    if (list[pos]) insert(pos, list[pos]->name.view());
}

}  // namespace marrowfen::fs
