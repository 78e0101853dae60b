#include "fs/name_index.h"

#include <cstring>

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

void NameIndex::insert(const INode* child) {
  if ((size_ + 1) * 2 > capacity_) grow();
  size_t mask = capacity_ - 1;
  size_t i = hash(child->name.view()) & mask;
  while (slots_[i]) i = (i + 1) & mask;
  slots_[i] = child;
  ++size_;
}

void NameIndex::erase(const INode* child) {
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

void NameIndex::grow() {
  size_t old_capacity = capacity_;
  std::unique_ptr<const INode*[]> old = std::move(slots_);
  capacity_ = old_capacity ? old_capacity * 2 : 32;
  slots_ = std::make_unique<const INode*[]>(capacity_);
  size_ = 0;
  for (size_t i = 0; i < old_capacity; ++i)
    if (old[i]) insert(old[i]);
}

}  // namespace marrowfen::fs
