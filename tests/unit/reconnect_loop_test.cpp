// The reconnect loop with stub sessions on a single-threaded context, as on
// the main thread: what it reports for each outcome, the retry delays and
// their reset, and Ctrl+C in a session and in the retry wait. (The fatal
// path ends the process; the end-to-end tests cover it.)
#include "main/reconnect_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/capture.h"

namespace vostrelin {
namespace {

using namespace std::chrono_literals;
using test::CapturedStream;

// What one stub session does.
enum class Step {
  Fail,            // an error with a cause beneath its message
  Connect,         // calls on_connected, then ends: Disconnected
  Interrupt,       // Ctrl+C arrives, then the session waits for ever
  FailAndCtrlC,    // an error; Ctrl+C comes during the retry wait
  EndWithCtrlC,    // Ctrl+C arrives as the session ends: Disconnected
  FailWithCtrlC,   // Ctrl+C arrives as the session fails
  Linger,          // Ctrl+C arrives, then the session ignores being dropped
};

struct Script {
  std::vector<Step> steps;
  size_t next = 0;
  bool abandoned_session_unwound = false;
};

awaitable<Result<SessionOutcome>> stub_session(Script& script, Step step, std::function<void()> on_connected) {
  switch (step) {
    case Step::Fail:
      co_return Error("причина").context("сервер недоступен");
    case Step::Connect:
      on_connected();
      co_return SessionOutcome::disconnected();
    case Step::FailAndCtrlC:
      std::thread([] {
        std::this_thread::sleep_for(50ms);
        ::kill(::getpid(), SIGINT);
      }).detach();
      co_return Error("сервер недоступен");
    case Step::EndWithCtrlC:
      on_connected();
      ::kill(::getpid(), SIGINT);
      co_return SessionOutcome::disconnected();
    case Step::FailWithCtrlC:
      ::kill(::getpid(), SIGINT);
      co_return Error("сервер недоступен");
    case Step::Linger: {
      ::kill(::getpid(), SIGINT);
      co_await asio::this_coro::throw_if_cancelled(false);
      asio::steady_timer forever(co_await asio::this_coro::executor);
      for (;;) {
        forever.expires_after(1h);
        co_await forever.async_wait(as_tuple_awaitable);
      }
    }
    case Step::Interrupt: {
      ::kill(::getpid(), SIGINT);
      struct Unwound {
        bool& flag;
        ~Unwound() { flag = true; }
      } unwound{script.abandoned_session_unwound};
      asio::steady_timer forever(co_await asio::this_coro::executor, 1h);
      co_await forever.async_wait(use_awaitable);
      co_return SessionOutcome::disconnected();
    }
  }
  co_return Error("unreachable");
}

struct LoopRun {
  int status = -1;
  std::string out, err;
};

LoopRun run_loop(Script& script, const char* second_ms) {
  ::setenv("VOSTRELIN_TEST_SECOND_MS", second_ms, 1);
  LoopRun result;
  CapturedStream out(STDOUT_FILENO);
  CapturedStream err(STDERR_FILENO);
  asio::io_context context(1);
  SessionStarter start = [&script](std::function<void()> on_connected) {
    Step step = script.steps.at(script.next++);
    return stub_session(script, step, std::move(on_connected));
  };
  asio::co_spawn(context, reconnect_loop(start), [&](std::exception_ptr, int status) {
    result.status = status;
    context.stop();
  });
  context.run_for(20s);
  result.out = out.text();
  result.err = err.text();
  return result;
}

std::string failed(int delay) {
  return "Не удалось подключиться: сервер недоступен\nПовтор через " + std::to_string(delay) + " сек\n";
}
std::string lost(int delay) {
  return "Соединение с сервером потеряно, переподключаюсь…\nПовтор через " + std::to_string(delay) + " сек\n";
}

TEST(ReconnectLoop, DelaysGrowToThirtyAndResetAfterEveryHandshake) {
  Script script{{Step::Fail, Step::Fail, Step::Fail, Step::Fail, Step::Fail, Step::Fail, Step::Fail, Step::Connect,
                 Step::Fail, Step::Connect, Step::Connect, Step::Fail, Step::Interrupt}};
  LoopRun r = run_loop(script, "2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, failed(1) + failed(2) + failed(4) + failed(8) + failed(16) + failed(30) + failed(30) + lost(1) +
                       failed(2) + lost(1) + lost(1) + failed(2));
  EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
  EXPECT_EQ(script.next, script.steps.size());
}

// Ctrl+C while a session runs: no outcome, no retry message, and the
// session is dropped where it waits.
TEST(ReconnectLoop, CtrlCInTheSessionEndsAtOnce) {
  Script script{{Step::Interrupt}};
  LoopRun r = run_loop(script, "1000");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
  EXPECT_TRUE(script.abandoned_session_unwound);
}

// Ctrl+C that comes as the session ends wins: the session's end is not
// reported, and nothing is waited for.
TEST(ReconnectLoop, CtrlCWinsOverASessionEndingWithIt) {
  Script script{{Step::Fail, Step::EndWithCtrlC}};
  LoopRun r = run_loop(script, "1");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, failed(1));
  EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
  EXPECT_EQ(script.next, 2u);
}

// The same tie with a session that failed: neither the failure nor a retry
// is reported, also on the first pass.
TEST(ReconnectLoop, CtrlCWinsOverASessionFailingWithIt) {
  for (std::vector<Step> steps : {std::vector<Step>{Step::FailWithCtrlC},
                                  std::vector<Step>{Step::Connect, Step::FailWithCtrlC}}) {
    Script script{steps};
    LoopRun r = run_loop(script, "1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, steps.size() == 1 ? "" : lost(1));
    EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
    EXPECT_EQ(script.next, steps.size());
  }
}

// A dropped session that goes on waiting does not hold the loop back.
TEST(ReconnectLoop, CtrlCDoesNotWaitForTheDroppedSession) {
  Script script{{Step::Linger}};
  auto started = std::chrono::steady_clock::now();
  LoopRun r = run_loop(script, "1000");
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
}

// Ctrl+C during the retry wait does not wait for the delay to pass.
TEST(ReconnectLoop, CtrlCInTheRetryWaitEndsAtOnce) {
  Script script{{Step::FailAndCtrlC}};
  // One second of the delay lasts ten minutes here, and the loop gets 20
  // seconds in all.
  LoopRun r = run_loop(script, "600000");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, failed(1));
  EXPECT_EQ(r.out, "\nЗавершение по Ctrl+C\n");
  EXPECT_EQ(script.next, 1u);
}

TEST(ReconnectLoop, RetryDelays) {
  uint32_t delay = 1;
  std::vector<uint32_t> seen;
  for (int i = 0; i < 8; ++i) {
    seen.push_back(delay);
    delay = next_retry_delay(delay);
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 4, 8, 16, 30, 30, 30}));
}

}  // namespace
}  // namespace vostrelin
