// The tasks of one forwarding session, so that the session can stop all of
// them when it ends: the server writer and reader, the UDP sweep and every
// local reader. Without this a session would leave tasks behind (the UDP
// sweep never ends by itself, a local reader waits for its local peer), each
// holding sockets and buffers for the rest of the process.
//
// Stopping is a terminal cancellation of each task where it waits: the
// pending operation completes with an error for which is_stop() is true,
// and the task's next co_await throws, which unwinds it. A task stopped this
// way must report nothing. A wait to receive from a channel is the one wait
// that is not cancelled (see Receiver::receive); it ends when the channel's
// senders, tasks of the same session, are gone. Every task runs on an
// executor that runs one handler at a time (a worker loop, or a strand it
// shares with the tasks of the same socket), to which the stop request is
// posted, so the request never races with the task's own steps.
#pragma once

#include <asio/cancellation_signal.hpp>
#include <asio/strand.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "support/runtime.h"

namespace vostrelin::frames {

// Stops one task of the session (a local connection the service closed, a
// UDP id the sweep removed). Stopping a task that has already ended does
// nothing.
class TaskHandle {
 public:
  TaskHandle() = default;
  void stop() const;
  explicit operator bool() const { return signal_ != nullptr; }

 private:
  friend class SessionTasks;
  TaskHandle(asio::any_io_executor strand, std::shared_ptr<asio::cancellation_signal> signal)
      : strand_(std::move(strand)), signal_(std::move(signal)) {}
  asio::any_io_executor strand_;
  std::shared_ptr<asio::cancellation_signal> signal_;
};

class SessionTasks : public std::enable_shared_from_this<SessionTasks> {
 public:
  static std::shared_ptr<SessionTasks> create() { return std::shared_ptr<SessionTasks>(new SessionTasks()); }

  // Starts `task` on `strand`, which must be a strand (or an executor that
  // runs one handler at a time). `on_end` runs on the strand when the task
  // has ended, however it ended. An empty handle, and the task is never
  // started, once stop() has been called.
  TaskHandle spawn(const asio::any_io_executor& strand, awaitable<void> task, std::function<void()> on_end = {});

  // The same on a worker loop (worker_strand()).
  TaskHandle spawn(awaitable<void> task, std::function<void()> on_end = {});

  // Stops every task still running and every task started later. Does not
  // wait for them to unwind.
  void stop();

  bool stopped() const;
  // Tasks started and not yet ended.
  size_t running() const;

 private:
  SessionTasks() = default;

  struct Entry {
    asio::any_io_executor strand;
    std::shared_ptr<asio::cancellation_signal> signal;
  };

  mutable std::mutex mutex_;
  bool stopped_ = false;
  uint64_t next_id_ = 0;
  std::unordered_map<uint64_t, Entry> entries_;
};

// True for the error a stopped task's operations complete with.
bool is_stop(const std::error_code& ec);

}  // namespace vostrelin::frames
