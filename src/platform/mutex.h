// A mutex the lock annotations can see, and its scoped hold.
#ifndef IOCHURN_PLATFORM_MUTEX_H_
#define IOCHURN_PLATFORM_MUTEX_H_

#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "platform/thread_annotations.h"

namespace iochurn {

// Thinly wraps std::mutex, which is trivially destructible here: a Mutex
// in static storage stays usable while exit() runs static destructors.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // True when the mutex was free and is now held.
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};
static_assert(std::is_trivially_destructible_v<std::mutex>);

// Holds a Mutex for the scope it lives in.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_->lock();
  }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* mutex_;
};

// A condition variable that waits on a held Mutex. Has a destructor: keep
// it in never-destroyed storage where threads may outlive exit().
using CondVar = std::condition_variable_any;

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_MUTEX_H_
