#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace tolvane {

// Reference count embedded in an immutable record (rule 1 of memory/record_memory.hpp). Records
// are built once and never changed, so any number of threads may hold and copy references to
// them.
class RefCounted {
 public:
  void add_refs(std::uint64_t n = 1) const noexcept {
    refs_.fetch_add(n, std::memory_order_relaxed);
  }
  // True when the caller dropped the last reference and must destroy the record.
  bool drop_ref() const noexcept { return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  // The same for `n` references at once.
  bool drop_refs(std::uint64_t n) const noexcept {
    return refs_.fetch_sub(n, std::memory_order_acq_rel) == n;
  }
  // The count as it stands, which only a holder of every reference can rely on.
  std::uint64_t refs() const noexcept { return refs_.load(std::memory_order_acquire); }

 protected:
  RefCounted() = default;
  RefCounted(const RefCounted&) : refs_(1) {}
  RefCounted& operator=(const RefCounted&) = delete;

 private:
  mutable std::atomic<std::uint64_t> refs_{1};
};

// Owning pointer to an immutable, reference-counted record. Copying it copies the pointer: the
// record's content is never changed, so this is indistinguishable from a deep copy. The record
// type provides `destroy(const T*)`, called when the last reference goes.
template <class T>
class SharedRef {
 public:
  SharedRef() noexcept = default;
  SharedRef(const SharedRef& o) noexcept : p_(o.p_) {
    if (p_) p_->add_refs();
  }
  SharedRef(SharedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  SharedRef& operator=(SharedRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~SharedRef() {
    if (p_ && p_->drop_ref()) T::destroy(p_);
  }

  // Takes over a reference the caller already owns.
  static SharedRef adopt(const T* p) noexcept {
    SharedRef r;
    r.p_ = p;
    return r;
  }
  // Adds a reference to a record someone else keeps alive.
  static SharedRef share(const T* p) noexcept {
    if (p) p->add_refs();
    return adopt(p);
  }
  // Gives up the reference without dropping it: the caller owns it now.
  const T* release() noexcept { return std::exchange(p_, nullptr); }
  const T* get() const noexcept { return p_; }
  const T& operator*() const noexcept { return *p_; }
  const T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  const T* p_ = nullptr;
};

}  // namespace tolvane
