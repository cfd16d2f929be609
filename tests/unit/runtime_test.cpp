#include "support/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "support/runtime_fixture.h"

namespace vostrelin {
namespace {

using test::RuntimeTest;

class RunBlockingTest : public RuntimeTest {};

// The function runs on another thread and its captures and result survive
// the trip, results that cannot be default-constructed included.
TEST_F(RunBlockingTest, CarriesResultsBack) {
  auto task = []() -> awaitable<std::string> {
    std::string text = "a text well beyond the small-string buffer";
    std::thread::id caller = std::this_thread::get_id();
    std::string joined;
    for (int i = 0; i < 200; ++i) {
      auto fn = [text, caller]() -> Result<std::string> {
        if (std::this_thread::get_id() == caller) return Error("ran on the caller's thread");
        return text + "!";
      };
      Result<std::string> r = co_await run_blocking(std::move(fn));
      if (!r) co_return r.error().message();
      joined = r.value();
    }
    std::atomic<int> calls{0};
    auto count = [&calls]() { ++calls; };
    co_await run_blocking(std::move(count));
    co_return joined + std::to_string(calls.load());
  };
  EXPECT_EQ(run(task()), "a text well beyond the small-string buffer!1");
}

// A caller on a thread of its own, cancelled there just after it has handed
// its function to the blocking pool (as Ctrl+C drops a session that is
// resolving the service's name): the function still runs, to its end, and
// the caller goes on until its next wait, where it ends.
TEST_F(RunBlockingTest, CallerCancelledWhileTheFunctionRuns) {
  asio::io_context caller_context;
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> finished{false};
    bool resumed = false, ended_cancelled = false;
    auto caller = [&]() -> awaitable<void> {
      auto fn = [&finished] { finished = true; };
      co_await run_blocking(std::move(fn));
      resumed = true;
      asio::steady_timer next(co_await asio::this_coro::executor, std::chrono::seconds(10));
      co_await next.async_wait(use_awaitable);
    };
    asio::cancellation_signal cancel;
    asio::co_spawn(caller_context, caller,
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) {
                     try {
                       if (e) std::rethrow_exception(e);
                     } catch (const std::system_error& err) {
                       ended_cancelled = err.code() == asio::error::operation_aborted;
                     }
                   }));
    // Runs once the caller waits for the blocking pool.
    asio::post(caller_context, [&cancel] { cancel.emit(asio::cancellation_type::terminal); });
    caller_context.restart();
    caller_context.run();
    ASSERT_TRUE(finished) << round;
    ASSERT_TRUE(resumed) << round;
    ASSERT_TRUE(ended_cancelled) << round;
  }
}

const asio::execution_context* loop_of(const asio::any_io_executor& ex) {
  return &asio::query(ex, asio::execution::context);
}

// A task kept apart from a busy loop goes to another one, and the others
// keep even shares, the busy one being skipped by a turn and not by
// doubling its neighbour's share. With a single loop there is nowhere
// else to go.
TEST_F(RuntimeTest, WorkerApartFromABusyLoopKeepsTheOthersEven) {
  std::map<const asio::execution_context*, int> loops;
  for (int i = 0; i < 64; ++i) ++loops[loop_of(worker_strand())];
  if (loops.size() == 1) {
    asio::any_io_executor only = worker_strand();
    EXPECT_EQ(loop_of(worker_strand_apart_from(only)), loop_of(only));
    return;
  }
  asio::any_io_executor busy = worker_strand();
  std::map<const asio::execution_context*, int> shares;
  const int rounds = 60 * static_cast<int>(loops.size() - 1);
  for (int i = 0; i < rounds; ++i) ++shares[loop_of(worker_strand_apart_from(busy))];
  EXPECT_EQ(shares.count(loop_of(busy)), 0u);
  EXPECT_EQ(shares.size(), loops.size() - 1);
  for (const auto& [loop, n] : shares) {
    EXPECT_GE(n, 50);
    EXPECT_LE(n, 70);
  }
}

}  // namespace
}  // namespace vostrelin
