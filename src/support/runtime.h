// The asynchronous runtime: worker loops for every spawned task, a pool of
// blocking threads for file operations and name resolution, and the helpers
// tasks use to reach them. One Runtime exists per process (tests build their
// own); it registers itself so that tasks can find its executors.
#pragma once

#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <vector>

#include "support/error.h"

namespace vostrelin {

using asio::awaitable;
using asio::use_awaitable;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// Worker loops, each run by a thread of its own, at most (fewer on a
// machine with fewer CPUs). worker_executor() hands them out in turn, so a
// task and the strands it makes stay on one loop.
inline constexpr unsigned WORKER_THREADS = 6;

class Runtime {
 public:
  // Starts the worker threads and the blocking pool. Fails when the threads
  // cannot be created.
  static Result<std::unique_ptr<Runtime>> build();

  // Stops every task where it stands and joins the threads.
  ~Runtime();

  asio::any_io_executor workers();
  asio::any_io_executor workers_apart_from(const asio::any_io_executor& busy);
  asio::any_io_executor blocking() { return blocking_->get_executor(); }

  void shutdown();

 private:
  Runtime(unsigned worker_threads, unsigned blocking_threads);

  struct Worker;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<unsigned> next_worker_{0};
  // Destroyed before the worker loops are taken down (see ~Runtime).
  std::optional<asio::thread_pool> blocking_;
  bool stopped_ = false;
};

// The executors of the process's runtime. Only valid while it exists.
asio::any_io_executor worker_executor();
// An executor that runs one handler at a time, for a task and the sockets
// and timers it owns: one worker loop. A loop has one thread, so it needs
// no strand over it (a strand would cost a hand-off per step and a heap
// copy per executor held).
asio::any_io_executor worker_strand();
// The same, on a loop other than the one `busy` runs on (where there is
// more than one): for a task whose steps would hold up the tasks there.
asio::any_io_executor worker_strand_apart_from(const asio::any_io_executor& busy);
asio::any_io_executor blocking_executor();

// True from the moment the runtime begins to stop. The tasks still alive
// are then destroyed where they stand, in no set order, and the channels'
// waiting operations are abandoned before that: whatever a destructor would
// hand to another task must be left alone.
bool runtime_stopping();

// Ends the calling task with operation_aborted when it has been cancelled.
// A cancelled task runs on until its next co_await, and an operation that
// had already completed still resumes it with its result: a step the user
// would see (a line on the terminal) comes after this check, not before.
inline awaitable<void> leave_if_cancelled() {
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) {
    throw std::system_error(asio::error::operation_aborted);
  }
}

// Runs f() on the blocking pool and resumes the caller on its own executor.
// The result travels in an optional, so types without a default
// constructor (Result<T>) pass through too. Callers name the function
// object in a statement of its own and move it in: a lambda temporary
// inside co_await is destroyed twice (src/support/README.md).
template <class F>
awaitable<std::invoke_result_t<F>> run_blocking(F f) {
  using R = std::invoke_result_t<F>;
  using Carried = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;
  // Each step is a statement of its own, for the same reason.
  auto call = [f = std::move(f)]() mutable -> awaitable<Carried> {
    if constexpr (std::is_void_v<R>) {
      f();
      co_return true;
    } else {
      co_return Carried(f());
    }
  };
  // The call cannot be interrupted, and a cancellation emitted on the
  // caller's thread must not reach the task on the blocking pool while it
  // runs there (a cancellation state belongs to one thread at a time): the
  // task gets no cancellation slot, and a cancelled caller ends at its next
  // wait once the call has returned.
  auto token = asio::bind_cancellation_slot(asio::cancellation_slot(), use_awaitable);
  auto spawned = asio::co_spawn(blocking_executor(), std::move(call), std::move(token));
  Carried result = co_await std::move(spawned);
  if constexpr (!std::is_void_v<R>) co_return std::move(*result);
}

}  // namespace vostrelin
