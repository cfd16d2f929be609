#include "frames/session_tasks.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/experimental/channel_error.hpp>
#include <asio/post.hpp>

#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "support/output.h"

namespace vostrelin::frames {

bool is_stop(const std::error_code& ec) {
  // Channel waits report their cancellation in their own way.
  return ec == asio::error::operation_aborted || ec == asio::experimental::error::channel_cancelled;
}

void TaskHandle::stop() const {
  if (!signal_) return;
  asio::post(strand_, [signal = signal_] { signal->emit(asio::cancellation_type::terminal); });
}

TaskHandle SessionTasks::spawn(const asio::any_io_executor& strand, awaitable<void> task,
                               std::function<void()> on_end) {
  auto signal = std::make_shared<asio::cancellation_signal>();
  uint64_t id;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopped_) return TaskHandle();
    id = next_id_++;
    entries_.emplace(id, Entry{strand, signal});
  }
  std::weak_ptr<SessionTasks> self = weak_from_this();
  auto done = [self, signal, id, on_end = std::move(on_end)](std::exception_ptr e) {
    // Runs on the strand, so no stop request for this task is in progress.
    signal->slot().clear();
    if (std::shared_ptr<SessionTasks> tasks = self.lock()) {
      std::lock_guard<std::mutex> guard(tasks->mutex_);
      tasks->entries_.erase(id);
    }
    if (e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::system_error& err) {
        if (!is_stop(err.code())) write_stderr(std::string("internal error: ") + err.what() + "\n");
      } catch (const std::exception& err) {
        write_stderr(std::string("internal error: ") + err.what() + "\n");
      } catch (...) {
        write_stderr("internal error\n");
      }
    }
    if (on_end) on_end();
  };
  // Started by a post, never inline: a handler that starts a task (the
  // server reader opening a local connection) goes on with its next frame
  // while the task connects on another thread.
  asio::any_io_executor start = asio::require(strand, asio::execution::blocking.never);
  asio::co_spawn(start, std::move(task),
                 asio::bind_cancellation_slot(signal->slot(), asio::bind_executor(strand, std::move(done))));
  return TaskHandle(strand, std::move(signal));
}

TaskHandle SessionTasks::spawn(awaitable<void> task, std::function<void()> on_end) {
  return spawn(worker_strand(), std::move(task), std::move(on_end));
}

void SessionTasks::stop() {
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    for (auto& [id, entry] : entries_) entries.push_back(entry);
  }
  for (Entry& entry : entries) {
    asio::post(entry.strand, [signal = entry.signal] { signal->emit(asio::cancellation_type::terminal); });
  }
}

bool SessionTasks::stopped() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stopped_;
}

size_t SessionTasks::running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

}  // namespace vostrelin::frames
