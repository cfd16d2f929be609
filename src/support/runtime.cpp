#include "support/runtime.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace vostrelin {
namespace {

Runtime* g_runtime = nullptr;
std::atomic<bool> g_stopping{false};

// Times every loop is taken down at the end (see ~Runtime).
constexpr int SHUTDOWN_PASSES = 8;

}  // namespace

// One worker: an event loop run by a thread of its own. A task's steps
// (a socket's completions, its strand's handlers) stay on the thread of the
// loop it was started on, and a post from that thread to its own loop wakes
// nobody; only hand-offs to a task of another loop cross threads.
struct Runtime::Worker {
  // Shutting down (destroying what is queued, closing the loop's sockets)
  // is done for every loop before any is destroyed: a task of one loop may
  // hold a socket or a channel of another.
  struct Context : asio::io_context {
    Context() : asio::io_context(1) {}
    void shut_down() { shutdown(); }
  };

  Worker() : thread([this] { context.run(); }) {
    // The loop's descriptors (its poller, wake-up and timer) are made now,
    // not when its first socket or timer comes, so the process's count of
    // descriptors stays put while tasks come and go.
    asio::steady_timer make_reactor(context);
  }
  ~Worker() {
    context.stop();
    if (thread.joinable()) thread.join();
  }

  Context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  std::thread thread;
};

Runtime::Runtime(unsigned worker_threads, unsigned blocking_threads) {
  blocking_.emplace(blocking_threads);
  for (unsigned i = 0; i < worker_threads; ++i) workers_.push_back(std::make_unique<Worker>());
  g_runtime = this;
  g_stopping.store(false);
}

asio::any_io_executor Runtime::workers() {
  // New tasks and strands go to the loops in turn.
  unsigned i = next_worker_.fetch_add(1, std::memory_order_relaxed);
  return workers_[i % workers_.size()]->context.get_executor();
}

asio::any_io_executor Runtime::workers_apart_from(const asio::any_io_executor& busy) {
  unsigned i = next_worker_.fetch_add(1, std::memory_order_relaxed);
  const asio::execution_context* taken = &asio::query(busy, asio::execution::context);
  // Skipped by taking the next turn, so the loops keep even shares (again
  // if a task started elsewhere took the turn in between).
  while (workers_.size() > 1 && &workers_[i % workers_.size()]->context == taken) {
    i = next_worker_.fetch_add(1, std::memory_order_relaxed);
  }
  return workers_[i % workers_.size()]->context.get_executor();
}

Result<std::unique_ptr<Runtime>> Runtime::build() {
  unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  // The relay's work is a chain of short steps and hand-offs, each far
  // cheaper than waking a sleeping thread for it. One shared pool with a
  // thread per CPU woke a thread for nearly every step; a few loops, each
  // keeping its tasks' steps to itself, wake one only where a hand-off
  // crosses to another loop, and still run the service connection and the
  // local connections side by side.
  unsigned workers = std::min(cpus, WORKER_THREADS);
  // Blocking work is short file I/O and resolution; a few threads more than
  // CPUs keep one slow disk from starving the rest.
  unsigned blocking = std::max(4u, cpus);
  try {
    return std::unique_ptr<Runtime>(new Runtime(workers, blocking));
  } catch (const std::system_error& e) {
    return Error(e.code().message());
  } catch (const std::exception& e) {
    return Error(e.what());
  }
}

void Runtime::shutdown() {
  if (stopped_) return;
  stopped_ = true;
  g_stopping.store(true);
  for (auto& worker : workers_) worker->context.stop();
  blocking_->stop();
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  blocking_->join();
}

Runtime::~Runtime() {
  shutdown();
  // What is still queued is destroyed now, without running. Destroying a
  // task can queue more on any loop (a coroutine's frames are let go on its
  // own loop, a closed channel cancels its waiters on theirs), and a
  // destroyed task may still hold a channel, socket or timer of another
  // loop, so every loop is taken down, pass after pass, while all of them
  // still exist; the blocking pool goes first, its waiting callers go back
  // to the loops. The chains are short: a few passes leave nothing.
  blocking_.reset();
  for (int pass = 0; pass < SHUTDOWN_PASSES; ++pass) {
    for (auto& worker : workers_) worker->context.shut_down();
  }
  if (g_runtime == this) g_runtime = nullptr;
}

asio::any_io_executor worker_executor() { return g_runtime->workers(); }
asio::any_io_executor worker_strand() { return g_runtime->workers(); }
asio::any_io_executor worker_strand_apart_from(const asio::any_io_executor& busy) {
  return g_runtime->workers_apart_from(busy);
}
asio::any_io_executor blocking_executor() { return g_runtime->blocking(); }
bool runtime_stopping() { return g_stopping.load(std::memory_order_acquire); }

}  // namespace vostrelin
