// Ref<T>: shared ownership through a count kept inside the object, for
// records that are looked up far more often than they are made. One atomic
// increment to share, one decrement to let go; no separate control block.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace marrowfen {

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void add_ref() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last reference.
  bool release_ref() const { return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

 private:
  mutable std::atomic<uint32_t> refs_{0};
};

template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}  // NOLINT: a null reference converts implicitly
  explicit Ref(T* p) : p_(p) {
    if (p_) p_->add_ref();
  }
  Ref(const Ref& o) : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { reset(); }

  template <class... Args>
  static Ref make(Args&&... args) {
    return Ref(new T(std::forward<Args>(args)...));
  }

  // Takes over a reference that the caller already counted.
  static Ref adopt(T* p) {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Gives the reference up without letting go of it: the caller now owns it.
  [[nodiscard]] T* release() { return std::exchange(p_, nullptr); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr); p && p->release_ref()) delete p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(std::nullptr_t) const { return p_ == nullptr; }
  bool operator==(const Ref& o) const { return p_ == o.p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace marrowfen
