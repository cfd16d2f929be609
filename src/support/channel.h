// A multi-producer, single-consumer queue between tasks, with the semantics
// the forwarders and the recorder rely on:
//   - the receiver sees the end only when every sender is gone, and only
//     after every item sent before that (closing a channel outright would
//     drop what is still queued);
//   - a bounded channel makes send() wait while it is full; try_send() never
//     waits;
//   - once the receiver is gone every send fails, also sends that were
//     already waiting.
// Senders are copied freely; the last copy to go queues an end marker
// behind the data.
#pragma once

#include <asio/bind_cancellation_slot.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "support/runtime.h"

namespace vostrelin {

inline constexpr size_t UNBOUNDED = std::numeric_limits<size_t>::max();

namespace channel_detail {

template <class T>
struct Shared {
  // An empty optional is the end marker.
  using Impl = asio::experimental::concurrent_channel<void(asio::error_code, std::optional<T>)>;
  Shared(const asio::any_io_executor& executor, size_t capacity) : channel(executor, capacity) {}
  Impl channel;
  std::atomic<bool> receiver_gone{false};
};

template <class T>
struct SenderCore {
  std::shared_ptr<Shared<T>> shared;
  explicit SenderCore(std::shared_ptr<Shared<T>> s) : shared(std::move(s)) {}
  ~SenderCore() {
    // Nobody receives any more, and a stopping runtime has already
    // abandoned the receiver's wait, which a send would still try to wake.
    if (runtime_stopping()) return;
    if (shared->channel.try_send(asio::error_code{}, std::optional<T>())) return;
    if (!shared->channel.is_open()) return;
    // Full: wait for room behind the data.
    auto s = shared;
    asio::co_spawn(
        s->channel.get_executor(),
        [s]() -> awaitable<void> {
          co_await s->channel.async_send(asio::error_code{}, std::optional<T>(), as_tuple_awaitable);
        },
        asio::detached);
  }
};

}  // namespace channel_detail

template <class T>
class Receiver;

template <class T>
class Sender {
 public:
  Sender() = default;

  // Waits while the channel is full. False when the receiver is gone.
  awaitable<bool> send(T value) {
    auto& shared = *core_->shared;
    if (shared.receiver_gone.load(std::memory_order_acquire)) co_return false;
    auto [ec] = co_await shared.channel.async_send(asio::error_code{}, std::optional<T>(std::move(value)),
                                                   as_tuple_awaitable);
    co_return !ec && !shared.receiver_gone.load(std::memory_order_acquire);
  }

  // Never waits. False when the channel is full or the receiver is gone.
  bool try_send(T value) {
    auto& shared = *core_->shared;
    if (shared.receiver_gone.load(std::memory_order_acquire)) return false;
    return shared.channel.try_send(asio::error_code{}, std::optional<T>(std::move(value)));
  }

  bool receiver_gone() const { return core_->shared->receiver_gone.load(std::memory_order_acquire); }
  explicit operator bool() const { return core_ != nullptr; }
  void reset() { core_.reset(); }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(const asio::any_io_executor&, size_t);
  explicit Sender(std::shared_ptr<channel_detail::SenderCore<T>> core) : core_(std::move(core)) {}
  std::shared_ptr<channel_detail::SenderCore<T>> core_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(Receiver&& other) noexcept
      : shared_(std::move(other.shared_)), finished_(std::exchange(other.finished_, true)) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      shared_ = std::move(other.shared_);
      finished_ = std::exchange(other.finished_, true);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // The next item, or nothing once every sender is gone and the queue is
  // drained. The wait is not cancelled with the calling task: in this Asio a
  // cancelled receive on an empty buffered channel leaves the channel
  // refusing every later send. A task that waits here ends when its senders
  // are gone, or at its next co_await once it has been cancelled.
  awaitable<std::optional<T>> receive() {
    if (finished_) co_return std::nullopt;
    auto [ec, item] = co_await shared_->channel.async_receive(
        asio::bind_cancellation_slot(asio::cancellation_slot(), as_tuple_awaitable));
    if (ec || !item) {
      finished_ = true;
      co_return std::nullopt;
    }
    co_return std::move(item);
  }

  // An item already queued, without waiting.
  std::optional<T> try_receive() {
    if (finished_) return std::nullopt;
    std::optional<T> out;
    bool got = shared_->channel.try_receive([&](asio::error_code ec, std::optional<T> item) {
      if (ec || !item) {
        finished_ = true;
      } else {
        out = std::move(item);
      }
    });
    if (!got) return std::nullopt;
    return out;
  }

  // True once the end has been seen.
  bool finished() const { return finished_; }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(const asio::any_io_executor&, size_t);
  explicit Receiver(std::shared_ptr<channel_detail::Shared<T>> shared) : shared_(std::move(shared)) {}

  void release() {
    if (!shared_) return;
    auto shared = std::move(shared_);
    shared->receiver_gone.store(true, std::memory_order_release);
    if (runtime_stopping()) return;
    if (finished_) {
      shared->channel.close();
      return;
    }
    // Senders may be waiting for room: drain up to the end marker so each of
    // them wakes (and fails), then close.
    asio::co_spawn(
        shared->channel.get_executor(),
        [shared]() -> awaitable<void> {
          for (;;) {
            auto [ec, item] = co_await shared->channel.async_receive(as_tuple_awaitable);
            if (ec || !item) break;
          }
          shared->channel.close();
        },
        asio::detached);
  }

  std::shared_ptr<channel_detail::Shared<T>> shared_;
  bool finished_ = false;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(const asio::any_io_executor& executor, size_t capacity) {
  auto shared = std::make_shared<channel_detail::Shared<T>>(executor, capacity);
  auto core = std::make_shared<channel_detail::SenderCore<T>>(shared);
  return {Sender<T>(std::move(core)), Receiver<T>(std::move(shared))};
}

}  // namespace vostrelin
