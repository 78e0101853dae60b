#include "fs/name_index.h"

#include <cstring>
#include <utility>

#include "fs/inode.h"

namespace marrowfen::fs {

uint64_t NameIndex::hash(std::string_view name) {
  // Eight bytes at a time, each word folded in with a multiply, then a final
  // mix so that the low bits used for slots spread well.
  uint64_t h = 0x9e3779b97f4a7c15ull ^ name.size();
  size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    h = (h ^ word) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, name.data() + i, name.size() - i);
  h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h;
}

const INode* NameIndex::find(std::string_view name) const {
  if (size_ == 0) return nullptr;
  size_t mask = capacity_ - 1;
  for (size_t i = hash(name) & mask;; i = (i + 1) & mask) {
    const INode* entry = slots_[i];
    if (!entry) return nullptr;
    if (entry->name == name) return entry;
  }
}

void NameIndex::grow_to(size_t n) {
  size_t capacity = capacity_ ? capacity_ : 32;
  while (fits(capacity) < n) capacity *= 2;
  // The new table is filled before it replaces the old one.
  auto slots = std::make_unique<const INode*[]>(capacity);
  std::unique_ptr<const INode*[]> old = std::exchange(slots_, std::move(slots));
  size_t old_capacity = std::exchange(capacity_, capacity);
  for (size_t i = 0; i < old_capacity; ++i)
    if (old[i]) place(old[i]);
}

void NameIndex::insert(const INode* child) noexcept {
  place(child);
  ++size_;
}

void NameIndex::place(const INode* child) noexcept {
  size_t mask = capacity_ - 1;
  size_t i = hash(child->name.view()) & mask;
  while (slots_[i]) i = (i + 1) & mask;
  slots_[i] = child;
}

void NameIndex::erase(const INode* child) noexcept {
  if (size_ == 0) return;
  size_t mask = capacity_ - 1;
  size_t i = hash(child->name.view()) & mask;
  while (slots_[i] != child) {
    if (!slots_[i]) return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion keeps every probe run unbroken without markers.
  for (size_t j = (i + 1) & mask; slots_[j]; j = (j + 1) & mask) {
    size_t home = hash(slots_[j]->name.view()) & mask;
    // Move slots_[j] into the hole at i unless its home lies cyclically in (i, j].
    bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = nullptr;
  --size_;
}

}  // namespace marrowfen::fs
