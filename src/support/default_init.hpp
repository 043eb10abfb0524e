// An allocator whose containers leave new elements of trivial types
// uninitialised (resize neither zeroes nor fills), for buffers that are
// written in full right after they grow.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace karvel {

template <class T>
struct DefaultInit : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = DefaultInit<U>;
  };

  DefaultInit() = default;
  template <class U>
  DefaultInit(const DefaultInit<U>&) noexcept {}

  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(place)) U;
    } else {
      ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
  }
};

// A vector whose growth leaves the new values unwritten.
template <class T>
using UninitVector = std::vector<T, DefaultInit<T>>;

}  // namespace karvel
