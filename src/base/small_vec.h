// SmallVec: a vector of trivially copyable values that keeps up to N of them
// inline and spills to the heap beyond that, and InlineName, a short
// immutable name kept inline. Inodes use them for small file contents and
// for names, so most inodes need no allocation of their own. Growing a
// SmallVec either succeeds or throws std::bad_alloc with the vector as it
// was; reserve() lets a caller allocate first and then change it without any
// failure left possible.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace marrowfen {

template <class T, uint32_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVec() = default;
  SmallVec(const T* data, size_t n) { assign(data, n); }
  explicit SmallVec(std::span<const T> s) { assign(s.data(), s.size()); }
  SmallVec(const SmallVec& o) { assign(o.data(), o.size()); }
  SmallVec(SmallVec&& o) noexcept { steal(o); }
  SmallVec& operator=(const SmallVec& o) {
    if (this != &o) assign(o.data(), o.size());
    return *this;
  }
  SmallVec& operator=(SmallVec&& o) noexcept {
    if (this != &o) {
      free_heap();
      steal(o);
    }
    return *this;
  }
  ~SmallVec() { free_heap(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return cap_; }
  T* data() { return on_heap() ? heap() : reinterpret_cast<T*>(store_); }
  const T* data() const { return on_heap() ? heap() : reinterpret_cast<const T*>(store_); }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }
  std::span<const T> span() const { return {data(), size_}; }

  // Room for `n` elements in all, so that growing to `n` cannot fail.
  void reserve(size_t n) {
    if (n > cap_) grow(n);
  }

  void push_back(T v) {
    if (size_ == cap_) grow(size_ + 1);
    data()[size_++] = v;
  }

  // Grows to `n` elements, filling new ones with zero bytes.
  void resize_zeroed(size_t n) {
    if (n > cap_) grow(n);
    if (n > size_) std::memset(static_cast<void*>(data() + size_), 0, (n - size_) * sizeof(T));
    size_ = static_cast<uint32_t>(n);
  }

  // Drops the elements from `n` on. A heap block left mostly empty is
  // traded for a smaller one (or the inline storage) when memory allows;
  // when it does not, the elements stay where they are. Never throws.
  void shrink(size_t n) noexcept {
    if (n >= size_) return;
    size_ = static_cast<uint32_t>(n);
    if (!on_heap() || n * 4 > cap_) return;
    T* old = heap();
    if (n <= N) {
      if (n) std::memcpy(store_, static_cast<void*>(old), n * sizeof(T));
      cap_ = N;
    } else {
      T* block = static_cast<T*>(::operator new(n * sizeof(T), std::nothrow));
      if (!block) return;
      std::memcpy(static_cast<void*>(block), old, n * sizeof(T));
      set_heap(block);
      cap_ = static_cast<uint32_t>(n);
    }
    ::operator delete(static_cast<void*>(old));
  }

  // Removes every element equal to `v`, keeping the order of the rest.
  void erase_all(const T& v) {
    T* d = data();
    size_t out = 0;
    for (size_t i = 0; i < size_; ++i)
      if (!(d[i] == v)) d[out++] = d[i];
    size_ = static_cast<uint32_t>(out);
  }

  void assign(const T* src, size_t n) {
    if (n > cap_) grow(n, /*keep=*/false);
    if (n) std::memmove(static_cast<void*>(data()), src, n * sizeof(T));
    size_ = static_cast<uint32_t>(n);
  }

 private:
  bool on_heap() const { return cap_ > N; }
  // The heap block's address is kept in the inline storage with memcpy, so
  // the vector needs no more alignment than T itself: a SmallVec of bytes
  // packs into four-byte slots beside other small fields.
  T* heap() const {
    T* p;
    std::memcpy(&p, store_, sizeof p);
    return p;
  }
  void set_heap(T* p) { std::memcpy(store_, &p, sizeof p); }

  // Moves to a heap block of at least `min_cap` elements (doubling, to keep
  // appends amortised), copying the elements only when `keep` is set. The
  // new block is had before anything changes.
  void grow(size_t min_cap, bool keep = true) {
    if (min_cap > UINT32_MAX) throw std::bad_alloc();
    size_t cap = cap_ * size_t{2} > min_cap ? cap_ * size_t{2} : min_cap;
    if (cap > UINT32_MAX) cap = UINT32_MAX;
    T* block = static_cast<T*>(::operator new(cap * sizeof(T)));
    if (keep && size_) std::memcpy(static_cast<void*>(block), data(), size_ * sizeof(T));
    if (!keep) size_ = 0;
    if (on_heap()) ::operator delete(static_cast<void*>(heap()));
    set_heap(block);
    cap_ = static_cast<uint32_t>(cap);
  }

  void free_heap() {
    if (on_heap()) ::operator delete(static_cast<void*>(heap()));
    cap_ = N;
  }

  void steal(SmallVec& o) {
    size_ = o.size_;
    cap_ = o.cap_;
    if (o.on_heap()) {
      set_heap(o.heap());
    } else if (size_) {
      std::memcpy(store_, o.store_, size_ * sizeof(T));
    }
    o.size_ = 0;
    o.cap_ = N;
  }

  static constexpr size_t kStore = N * sizeof(T) > sizeof(T*) ? N * sizeof(T) : sizeof(T*);

  uint32_t size_ = 0;
  uint32_t cap_ = N;
  // Inline: the elements (left uninitialised). On the heap: their address.
  alignas(T) unsigned char store_[kStore];
};

// A UTF-8 name in 13 bytes: up to 12 bytes are kept inline (the common
// case), a longer name on the heap. It never changes once made, and needs no
// alignment, so it packs between the fields around it.
class InlineName {
 public:
  static constexpr size_t kInline = 12;

  explicit InlineName(std::string_view s) {
    if (s.size() <= kInline) {
      if (!s.empty()) std::memcpy(bytes_, s.data(), s.size());
      tag_ = static_cast<uint8_t>(s.size());
      return;
    }
    if (s.size() > UINT32_MAX) throw std::bad_alloc();
    char* heap = new char[s.size()];
    std::memcpy(heap, s.data(), s.size());
    auto len = static_cast<uint32_t>(s.size());
    std::memcpy(bytes_, &heap, sizeof heap);
    std::memcpy(bytes_ + sizeof heap, &len, sizeof len);
    tag_ = kOnHeap;
  }
  InlineName(const InlineName&) = delete;
  InlineName& operator=(const InlineName&) = delete;
  ~InlineName() {
    if (tag_ == kOnHeap) delete[] heap_data();
  }

  std::string_view view() const {
    if (tag_ != kOnHeap) return {bytes_, tag_};
    uint32_t len;
    std::memcpy(&len, bytes_ + sizeof(char*), sizeof len);
    return {heap_data(), len};
  }
  bool operator==(std::string_view s) const { return view() == s; }

 private:
  static constexpr uint8_t kOnHeap = 0xFF;

  char* heap_data() const {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }

  // Inline: the name itself. On the heap: its address, then its length.
  char bytes_[kInline];
  uint8_t tag_;  // the inline length, or kOnHeap
};
static_assert(sizeof(InlineName) == 13 && alignof(InlineName) == 1);

}  // namespace marrowfen
