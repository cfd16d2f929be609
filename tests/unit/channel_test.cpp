#include "support/channel.h"

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <future>
#include <vector>

#include "support/runtime_fixture.h"

namespace vostrelin {
namespace {

using test::RuntimeTest;
using namespace asio::experimental::awaitable_operators;

class ChannelTest : public RuntimeTest {};

// Many producers on many threads; the receiver sees every item of each
// producer in that producer's order, then the end once they are all gone.
TEST_F(ChannelTest, EndComesAfterEveryItem) {
  constexpr int PRODUCERS = 16, ITEMS = 2000;
  auto [tx, rx] = make_channel<std::pair<int, int>>(executor(), 256);
  for (int p = 0; p < PRODUCERS; ++p) {
    asio::co_spawn(
        executor(),
        [tx = tx, p]() mutable -> awaitable<void> {
          for (int i = 0; i < ITEMS; ++i) co_await tx.send({p, i});
        },
        asio::detached);
  }
  tx.reset();
  auto consume = [](Receiver<std::pair<int, int>> rx) -> awaitable<int> {
    std::vector<int> next(PRODUCERS, 0);
    int total = 0;
    while (std::optional<std::pair<int, int>> item = co_await rx.receive()) {
      EXPECT_EQ(item->second, next[item->first]++);
      ++total;
    }
    co_return total;
  };
  EXPECT_EQ(run(consume(std::move(rx))), PRODUCERS * ITEMS);
}

TEST_F(ChannelTest, TryReceiveDrainsAndSeesTheEnd) {
  auto [tx, rx] = make_channel<int>(executor(), UNBOUNDED);
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(tx.try_send(i));
  tx.reset();
  int expected = 0;
  while (std::optional<int> v = rx.try_receive()) EXPECT_EQ(*v, expected++);
  EXPECT_EQ(expected, 100000);
  EXPECT_TRUE(rx.finished());
}

// Once the receiver is gone, sends fail, including those already waiting
// for room in a full channel.
TEST_F(ChannelTest, SendsFailOnceReceiverIsGone) {
  auto [tx, rx] = make_channel<int>(executor(), 2);
  std::atomic<int> failed{0};
  for (int p = 0; p < 4; ++p) {
    asio::co_spawn(
        executor(),
        [tx = tx, &failed]() mutable -> awaitable<void> {
          for (int i = 0; i < 100; ++i) {
            if (!co_await tx.send(i)) {
              ++failed;
              co_return;
            }
          }
        },
        asio::detached);
  }
  auto take_some = [](Receiver<int> rx) -> awaitable<void> {
    for (int i = 0; i < 10; ++i) co_await rx.receive();
  };
  run(take_some(std::move(rx)));
  for (int i = 0; i < 500 && failed < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(failed.load(), 4);
  EXPECT_FALSE(tx.try_send(1));
}

// Cancelling a task that waits to receive leaves the wait alone: the channel
// keeps taking items, and the waiting receive gets the next one.
TEST_F(ChannelTest, CancelledTaskLeavesItsReceiveUsable) {
  auto [tx, rx] = make_channel<int>(executor(), 4);
  auto strand = asio::make_strand(executor());
  asio::cancellation_signal cancel;
  std::promise<std::optional<int>> got;
  auto wait_once = [](Receiver<int> rx, std::promise<std::optional<int>>& got) -> awaitable<void> {
    got.set_value(co_await rx.receive());
  };
  asio::co_spawn(strand, wait_once(std::move(rx), got), asio::bind_cancellation_slot(cancel.slot(), asio::detached));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  asio::post(strand, [&] { cancel.emit(asio::cancellation_type::terminal); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(tx.try_send(7));
  std::future<std::optional<int>> value = got.get_future();
  ASSERT_EQ(value.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(value.get(), std::optional<int>(7));
}

// Stopping the runtime (after Ctrl+C) destroys suspended tasks in no set
// order: a receiver waiting on a channel whose senders go with their tasks
// must not bring the process down.
TEST(RuntimeStop, TasksHoldingChannelsGoQuietly) {
  std::unique_ptr<Runtime> runtime = std::move(Runtime::build()).value();
  asio::any_io_executor ex = worker_executor();
  auto [tx, rx] = make_channel<int>(ex, 4);
  auto [unbounded_tx, unbounded_rx] = make_channel<int>(ex, UNBOUNDED);
  std::atomic<int> started{0};

  asio::co_spawn(
      ex,
      [](Receiver<int> rx, Receiver<int> unbounded_rx, std::atomic<int>& started) -> awaitable<void> {
        ++started;
        co_await (rx.receive() && unbounded_rx.receive());
      }(std::move(rx), std::move(unbounded_rx), started),
      asio::detached);
  for (int i = 0; i < 8; ++i) {
    asio::co_spawn(
        ex,
        [](Sender<int> tx, Sender<int> unbounded_tx, std::atomic<int>& started) -> awaitable<void> {
          ++started;
          asio::steady_timer forever(co_await asio::this_coro::executor, std::chrono::hours(1));
          co_await forever.async_wait(use_awaitable);
          co_await tx.send(1);
          unbounded_tx.try_send(1);
        }(tx, unbounded_tx, started),
        asio::detached);
  }
  tx.reset();
  unbounded_tx.reset();
  for (int i = 0; i < 2000 && started < 9; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(started.load(), 9);
  runtime.reset();
}

// Work on the blocking pool hands back any result type, errors included,
// and resumes the caller on its own executor.
TEST_F(ChannelTest, BlockingWorkReturnsResults) {
  auto task = []() -> awaitable<std::pair<std::string, bool>> {
    auto home = co_await asio::this_coro::executor;
    Result<std::string> ok = co_await run_blocking([] { return Result<std::string>(std::string("done")); });
    Result<std::string> failed = co_await run_blocking([] { return Result<std::string>(Error("no")); });
    bool same_executor = (co_await asio::this_coro::executor) == home;
    co_return std::make_pair(ok.value() + "/" + failed.error().message(), same_executor);
  };
  auto [text, same] = run(task());
  EXPECT_EQ(text, "done/no");
  EXPECT_TRUE(same);
}

}  // namespace
}  // namespace vostrelin
