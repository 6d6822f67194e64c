// An object built on first use and never destroyed: safe to use from any
// thread, also while the process exits, when static objects are already gone.
#ifndef QUORVALMIST_PLATFORM_NO_DESTRUCTOR_H_
#define QUORVALMIST_PLATFORM_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace quorvalmist {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *get(); }
  T* operator->() { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_NO_DESTRUCTOR_H_
