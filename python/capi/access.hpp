// Access counts: every call on an object of the module takes shared or
// exclusive access for its duration. One atomic counter per object holds -1
// while access is exclusive and n > 0 while n callers share it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace karvel::python {

class AccessCount {
 public:
  // Adds one sharer unless access is exclusive.
  bool try_share() noexcept {
    std::int64_t seen = count_.load(std::memory_order_relaxed);
    do {
      if (seen < 0) return false;
    } while (!count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void unshare() noexcept { count_.fetch_sub(1, std::memory_order_release); }

  // Takes exclusive access when nobody holds any.
  bool try_exclusive() noexcept {
    std::int64_t idle = 0;
    return count_.compare_exchange_strong(idle, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unexclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> count_{0};
};

// karvel's wording of a refused access (its objects' specified messages).
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kBorrowed = "Already borrowed";

// Shared access for one scope. When it cannot be had, the guard is empty and
// RuntimeError `busy` is set.
class SharedAccess {
 public:
  explicit SharedAccess(AccessCount& count, const char* busy = kMutablyBorrowed) noexcept
      : count_(count.try_share() ? &count : nullptr) {
    if (count_ == nullptr) PyErr_SetString(PyExc_RuntimeError, busy);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() {
    if (count_ != nullptr) count_->unshare();
  }
  explicit operator bool() const noexcept { return count_ != nullptr; }

 private:
  AccessCount* count_;
};

// Exclusive access for one scope. When it cannot be had, the guard is empty
// and RuntimeError `busy` is set.
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessCount& count, const char* busy = kBorrowed) noexcept
      : count_(count.try_exclusive() ? &count : nullptr) {
    if (count_ == nullptr) PyErr_SetString(PyExc_RuntimeError, busy);
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() {
    if (count_ != nullptr) count_->unexclusive();
  }
  explicit operator bool() const noexcept { return count_ != nullptr; }

 private:
  AccessCount* count_;
};

}  // namespace karvel::python
