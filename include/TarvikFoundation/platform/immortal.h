#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace Platform {

/// Holds a process-wide singleton that is never destroyed: pool and timer threads may
/// still reach it while the process runs its exit handlers, so tearing it down there
/// would hand them freed memory. The operating system reclaims it at exit.
template <class T>
class Immortal {
  public:
    /// Constructs the object in place.
    template <class... Args>
    explicit Immortal(Args&&... args) {
        // Placement construction in our own storage; nothing is allocated.
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    /// The object.
    T* get() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
    /// The object.
    T& operator*() noexcept { return *get(); }
    /// The object's members.
    T* operator->() noexcept { return get(); }

  private:
    alignas(T) std::byte storage_[sizeof(T)];
};

}  // namespace Platform
