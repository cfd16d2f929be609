// The queue between the server reader and one local connection: order kept
// across two strands, the byte bound and the reader's wait at it, the stall
// limit, a consumer that goes away, and the end after close().
#include "frames/local_queue.h"

#include <gtest/gtest.h>

#include <asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "support/runtime_fixture.h"

namespace vostrelin::frames {
namespace {

using namespace std::chrono_literals;
using Push = LocalQueue::Push;

class LocalQueueTest : public test::RuntimeTest {
 protected:
  // Runs `task` on a strand of its own and returns its future.
  template <class T>
  std::future<T> start(awaitable<T> task) {
    return asio::co_spawn(asio::make_strand(executor()), std::move(task), asio::use_future);
  }
};

awaitable<std::string> drain(std::shared_ptr<LocalQueue> queue, size_t max_bytes) {
  std::string all;
  std::vector<std::string> batch;
  for (;;) {
    batch.clear();
    if (!co_await queue->take(batch, max_bytes)) co_return all;
    for (const std::string& item : batch) {
      all += item;
      queue->written(item.size());
    }
  }
}

TEST_F(LocalQueueTest, ItemsArriveInOrderAcrossStrandsPastTheBound) {
  auto queue = std::make_shared<LocalQueue>(64 * 1024);
  std::future<std::string> consumer = start(drain(queue, 16 * 1024));
  auto produce = [](std::shared_ptr<LocalQueue> q) -> awaitable<int> {
    int waits_ended = 0;
    for (int i = 0; i < 20000; ++i) {
      std::string item = std::to_string(i) + ",";
      item.resize(1000, '.');
      Push pushed = co_await q->push(item, 10s);
      if (pushed != Push::Queued) co_return -1;
      ++waits_ended;
    }
    q->close();
    co_return waits_ended;
  };
  std::future<int> producer = start(produce(queue));
  ASSERT_EQ(producer.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(producer.get(), 20000);
  ASSERT_EQ(consumer.wait_for(20s), std::future_status::ready);
  std::string all = consumer.get();
  ASSERT_EQ(all.size(), 20000u * 1000);
  for (int i = 0; i < 20000; i += 997) {
    EXPECT_EQ(all.substr(size_t(i) * 1000, std::to_string(i).size() + 1), std::to_string(i) + ",");
  }
}
}  // namespace
}  // namespace vostrelin::frames

namespace vostrelin::frames {
namespace {

// The reader's wait at the bound: over the bound it waits; the consumer
// taking something ends the wait; a consumer that takes nothing makes the
// push stalled after the limit; a consumer that goes makes it gone at once.
TEST_F(LocalQueueTest, PushPastTheBoundWaitsForTheConsumer) {
  enum class Then { Drain, Nothing, Abandon };
  struct Case {
    const char* name;
    Then then;
    Push expected;
  } cases[] = {
      {"consumer takes", Then::Drain, Push::Queued},
      {"consumer takes nothing", Then::Nothing, Push::Stalled},
      {"consumer gone", Then::Abandon, Push::Gone},
  };
  for (const Case& c : cases) {
    auto queue = std::make_shared<LocalQueue>(10);
    auto push = [](std::shared_ptr<LocalQueue> q, std::string bytes) -> awaitable<Push> {
      co_return co_await q->push(bytes, 300ms);
    };
    EXPECT_EQ(start(push(queue, "0123456789")).get(), Push::Queued) << c.name;  // at the bound
    std::future<Push> over = start(push(queue, "x"));
    EXPECT_EQ(over.wait_for(50ms), std::future_status::timeout) << c.name;
    if (c.then == Then::Drain) {
      auto take_one = [](std::shared_ptr<LocalQueue> q) -> awaitable<size_t> {
        std::vector<std::string> batch;
        co_await q->take(batch, 1);
        q->written(batch.at(0).size());
        co_return batch.size();
      };
      EXPECT_EQ(start(take_one(queue)).get(), 1u) << c.name;
    } else if (c.then == Then::Abandon) {
      queue->abandon();
    }
    ASSERT_EQ(over.wait_for(5s), std::future_status::ready) << c.name;
    EXPECT_EQ(over.get(), c.expected) << c.name;
  }
}

TEST_F(LocalQueueTest, ConsumerTakesWhatIsQueuedThenSeesTheEnd) {
  auto queue = std::make_shared<LocalQueue>();
  std::future<std::string> consumer = start(drain(queue, 1 << 20));
  {
    QueueWriter writer(queue);
    auto push = [](std::shared_ptr<LocalQueue> q) -> awaitable<void> {
      for (std::string item : {"a", "", "bc"}) co_await q->push(item, 1s);
    };
    start(push(queue)).get();
  }  // dropping the writer closes the queue
  ASSERT_EQ(consumer.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(consumer.get(), "abc");
  // After the consumer has gone, bytes are not taken.
  queue->abandon();
  std::string late = "late";
  auto push = [](std::shared_ptr<LocalQueue> q, std::string& bytes) -> awaitable<Push> {
    co_return co_await q->push(bytes, 1s);
  };
  EXPECT_EQ(start(push(queue, late)).get(), Push::Gone);
  EXPECT_EQ(late, "late");
  EXPECT_EQ(queue->waiting(), 0u);
}

}  // namespace
}  // namespace vostrelin::frames
