// An asynchronous mutex: lock() suspends the task, not the thread. Built on
// a one-slot channel: holding the lock is having a token in the slot, and
// releasing it hands the slot to the next waiter in order.
#pragma once

#include <asio/experimental/concurrent_channel.hpp>

#include <utility>

#include "support/runtime.h"

namespace vostrelin {

class AsyncMutex {
 public:
  explicit AsyncMutex(const asio::any_io_executor& executor) : slot_(executor, 1) {}
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  // Releases the lock when it goes.
  class [[nodiscard]] Guard {
   public:
    Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
    Guard& operator=(Guard&& other) noexcept {
      if (this != &other) {
        release();
        mutex_ = std::exchange(other.mutex_, nullptr);
      }
      return *this;
    }
    ~Guard() { release(); }

    void release() {
      if (mutex_ != nullptr) std::exchange(mutex_, nullptr)->unlock();
    }

   private:
    friend class AsyncMutex;
    explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
    AsyncMutex* mutex_;
  };

  awaitable<Guard> lock() {
    co_await slot_.async_send(asio::error_code{}, true, use_awaitable);
    co_return Guard(this);
  }

 private:
  // A stopping runtime has abandoned the waiters the slot would go to.
  void unlock() {
    if (!runtime_stopping()) slot_.try_receive([](asio::error_code, bool) {});
  }

  asio::experimental::concurrent_channel<void(asio::error_code, bool)> slot_;
};

// A value that is only reached with the lock held.
template <class T>
class Locked {
 public:
  template <class... Args>
  explicit Locked(const asio::any_io_executor& executor, Args&&... args)
      : mutex_(executor), value_(std::forward<Args>(args)...) {}

  // The guard keeps the lock; the reference is valid while it lives.
  struct Access {
    AsyncMutex::Guard guard;
    T& value;
    T* operator->() { return &value; }
    T& operator*() { return value; }
  };

  awaitable<Access> lock() {
    AsyncMutex::Guard guard = co_await mutex_.lock();
    co_return Access{std::move(guard), value_};
  }

  // For the one holder that knows nobody else can reach the value any more.
  T& unguarded() { return value_; }

 private:
  AsyncMutex mutex_;
  T value_;
};

}  // namespace vostrelin
