// What the service sent for one local connection (or one local UDP socket)
// and the connection has not yet taken, in frame order.
//
// The server reader is the only producer and the connection's own task the
// only consumer, so one slow local peer never holds up the reader while it
// has room: the reader queues and goes on with the next frame. The queue is
// bounded by bytes. A push that takes it past the bound is kept, and the
// reader then waits for the connection to bring it back under the bound;
// a connection that cannot do so within the stall limit is reported as
// stalled, and the reader closes it. That is the only wait one local peer
// can impose on the others, and it is bounded in time.
//
// Each side waits on a timer of its own strand; the other side wakes it by
// posting a cancel to that strand. A wait is registered under the queue's
// lock before the waiter suspends, and the posted cancel cannot run before
// the waiter has suspended (the strand runs one handler at a time), so no
// wake-up is lost. Both waits end when their task is stopped.
#pragma once

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/runtime.h"

namespace vostrelin::frames {

// Bytes one local connection may have waiting before the reader waits.
inline constexpr size_t LOCAL_QUEUE_BYTES = 4 * 1024 * 1024;

// Why a local connection, or a local UDP socket, whose backlog stayed above
// LOCAL_QUEUE_BYTES for the whole stall limit was closed.
inline constexpr std::string_view STALLED_STREAM = "локальная сторона не принимает данные, в очереди больше 4 МиБ";
inline constexpr std::string_view STALLED_DATAGRAMS =
    "локальный UDP-сокет не принимает датаграммы, в очереди больше 4 МиБ";

class LocalQueue {
 public:
  explicit LocalQueue(size_t bound = LOCAL_QUEUE_BYTES) : bound_(bound) {}
  LocalQueue(const LocalQueue&) = delete;
  LocalQueue& operator=(const LocalQueue&) = delete;

  enum class Push {
    Queued,   // the bytes are queued and the queue is back under its bound
    Gone,     // the consumer has ended; the bytes were dropped
    Stalled,  // queued, but the consumer took nothing for the whole stall limit
  };

  // Producer. Queues `bytes` (also empty ones: a datagram of length 0),
  // moving them out, then waits while more than the bound is waiting, at
  // most `stall_limit`. When the consumer has gone, `bytes` are left as
  // they were. The caller keeps `bytes` alive until the push returns.
  awaitable<Push> push(std::string& bytes, std::chrono::milliseconds stall_limit);
  // Producer: nothing more will come. The consumer takes what is queued and
  // then sees the end.
  void close();

  // Consumer. Moves queued items, oldest first, into `out` (at most about
  // `max_bytes`, at least one item), waiting while there are none. False at
  // the end: closed and drained, or the task stopped.
  awaitable<bool> take(std::vector<std::string>& out, size_t max_bytes);
  // Consumer: `n` bytes handed out by take() have been written.
  void written(size_t n);
  // Consumer: it has ended; later pushes drop their bytes and a waiting
  // push returns at once.
  void abandon();

  // Producer: the consumer took nothing for the stall limit and is being
  // closed; what is queued is dropped, as after abandon().
  void stall();
  bool stalled() const;

  // Bytes queued or handed out and not yet written.
  size_t waiting() const;

 private:
  struct Waiter {
    std::shared_ptr<asio::steady_timer> timer;
    bool waiting = false;
  };
  static void wake(Waiter& waiter);

  const size_t bound_;
  mutable std::mutex mutex_;
  // Queued items from head_ on; an empty deque would already cost an
  // allocation for every idle connection.
  std::vector<std::string> items_;
  size_t head_ = 0;
  size_t bytes_ = 0;
  bool closed_ = false;
  bool abandoned_ = false;
  bool stalled_ = false;
  Waiter producer_;
  Waiter consumer_;
};

// The producer's hold: dropping it closes the queue. Kept in a connection
// table's entry, so removing the entry ends the connection's input.
class QueueWriter {
 public:
  QueueWriter() = default;
  explicit QueueWriter(std::shared_ptr<LocalQueue> queue) : queue_(std::move(queue)) {}
  QueueWriter(QueueWriter&&) noexcept = default;
  QueueWriter& operator=(QueueWriter&& other) noexcept {
    if (this != &other) {
      release();
      queue_ = std::move(other.queue_);
    }
    return *this;
  }
  ~QueueWriter() { release(); }

  const std::shared_ptr<LocalQueue>& queue() const { return queue_; }
  explicit operator bool() const { return queue_ != nullptr; }
  void release() {
    if (queue_) std::exchange(queue_, nullptr)->close();
  }

 private:
  std::shared_ptr<LocalQueue> queue_;
};

// The consumer's hold: dropping it abandons the queue.
class QueueReader {
 public:
  explicit QueueReader(std::shared_ptr<LocalQueue> queue) : queue_(std::move(queue)) {}
  QueueReader(QueueReader&&) noexcept = default;
  QueueReader& operator=(QueueReader&&) = delete;
  ~QueueReader() {
    if (queue_) queue_->abandon();
  }
  LocalQueue& operator*() const { return *queue_; }
  LocalQueue* operator->() const { return queue_.get(); }

 private:
  std::shared_ptr<LocalQueue> queue_;
};

}  // namespace vostrelin::frames
