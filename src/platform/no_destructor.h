// Storage for objects that must outlive every thread that may touch them.
#ifndef IOCHURN_PLATFORM_NO_DESTRUCTOR_H_
#define IOCHURN_PLATFORM_NO_DESTRUCTOR_H_

#include <new>

namespace iochurn {

// The object is built in place and its destructor never runs, so threads
// still running while `exit` runs static destructors never touch a
// destroyed object. Any thread may use the object once it is built.
template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(static_cast<Args&&>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return reinterpret_cast<T*>(storage_); }
  T* operator->() { return get(); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_NO_DESTRUCTOR_H_
