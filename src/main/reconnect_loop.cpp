#include "main/reconnect_loop.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/channel.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>
#include <variant>

#include "support/build_settings.h"
#include "support/output.h"

namespace vostrelin {
namespace {

using namespace asio::experimental::awaitable_operators;

// Carries the end of one session from its task to the loop. A session ends
// once, so one slot is room enough and the send never has to wait.
using SessionEnd = asio::experimental::channel<void(asio::error_code, std::optional<Result<SessionOutcome>>)>;

// One session as a task of its own, so that the loop can leave a session
// that Ctrl+C drops without waiting for it to unwind (a name lookup on the
// blocking pool cannot be stopped). The task keeps its channel alive.
awaitable<void> session_task(SessionStarter start_session, std::function<void()> on_connected,
                             std::shared_ptr<SessionEnd> ended) {
  std::optional<Result<SessionOutcome>> outcome;
  try {
    awaitable<Result<SessionOutcome>> session = start_session(std::move(on_connected));
    outcome.emplace(co_await std::move(session));
  } catch (const std::exception& err) {
    // A session that throws is a failed attempt like any other: it is
    // reported and retried.
    outcome.emplace(Error(std::string("internal error: ") + err.what()));
  } catch (...) {
    outcome.emplace(Error("internal error"));
  }
  ended->try_send(asio::error_code{}, std::move(outcome));
}

// Waits for Ctrl+C and records it in `interrupted`, also when the other side
// of a race won first: the loop asks `interrupted`, never which side won, so
// an interrupt that completed together with the other side is not lost. A
// listener that fails counts as an interrupt; one that is cancelled leaves
// any later SIGINT to the next wait.
awaitable<void> ctrl_c(asio::signal_set& signals, bool& interrupted) {
  if (interrupted) co_return;
  auto [ec, signal] = co_await signals.async_wait(as_tuple_awaitable);
  if (ec != asio::error::operation_aborted) interrupted = true;
}

// The session's end, handed on only after the event loop has read its
// descriptors once more. A timer completes only in a pass of the reactor
// whose poll began after the timer was set, and a pass runs what it read
// from descriptors, Asio's signal pipe among them, before its expired
// timers. So a Ctrl+C that came before the session ended has completed the
// wait in ctrl_c() by the time this returns, and wins.
awaitable<std::optional<Result<SessionOutcome>>> session_end(SessionEnd& ended) {
  auto [ec, outcome] = co_await ended.async_receive(as_tuple_awaitable);
  if (ec) co_return std::nullopt;
  asio::steady_timer passed(co_await asio::this_coro::executor, asio::steady_timer::clock_type::now());
  co_await passed.async_wait(as_tuple_awaitable);
  co_return std::move(outcome);
}

void report_interrupt() { write_stdout("\nЗавершение по Ctrl+C\n"); }

}  // namespace

uint32_t next_retry_delay(uint32_t delay) { return std::min(delay * 2, MAX_RETRY_DELAY); }

awaitable<int> reconnect_loop(SessionStarter start_session) {
  asio::any_io_executor ex = co_await asio::this_coro::executor;
  // The listener is there before the first session takes its first step;
  // until then Ctrl+C ends the process the default way. A SIGINT that comes
  // while nobody waits is kept for the next wait.
  asio::signal_set signals(ex);
  asio::error_code listen_error;
  signals.add(SIGINT, listen_error);
  bool interrupted = static_cast<bool>(listen_error);
  // Shared with every session's on_connected, since a session dropped by
  // Ctrl+C may still be unwinding after the loop has returned.
  auto delay = std::make_shared<uint32_t>(1);

  for (;;) {
    auto ended = std::make_shared<SessionEnd>(ex, 1);
    // Owned by the task's completion handler: the task's cancellation slot
    // lives in it until the task has ended.
    auto drop = std::make_shared<asio::cancellation_signal>();
    std::function<void()> on_connected = [delay] { *delay = 1; };
    asio::co_spawn(ex, session_task(start_session, std::move(on_connected), ended),
                   asio::bind_cancellation_slot(drop->slot(), [drop](std::exception_ptr) {}));

    auto race = ctrl_c(signals, interrupted) || session_end(*ended);
    std::variant<std::monostate, std::optional<Result<SessionOutcome>>> first = co_await std::move(race);
    if (interrupted) {
      // Drop the session where it stands.
      drop->emit(asio::cancellation_type::terminal);
      report_interrupt();
      co_return 0;
    }

    Result<SessionOutcome> outcome = std::move(*std::get<1>(first));
    if (!outcome) {
      write_stderr("Не удалось подключиться: " + outcome.error().message() + "\n");
    } else if (outcome->kind == SessionOutcome::Kind::Fatal) {
      write_stderr("Фатальная ошибка, остановка: " + outcome->message + "\n");
      // At once: the runtime is not shut down and nothing else is written.
      std::_Exit(1);
    } else {
      write_stderr("Соединение с сервером потеряно, переподключаюсь…\n");
    }

    uint32_t waited = *delay;
    write_stderr("Повтор через " + std::to_string(waited) + " сек\n");
    asio::steady_timer retry(ex, waited * retry_delay_second());
    auto wait = ctrl_c(signals, interrupted) || retry.async_wait(as_tuple_awaitable);
    co_await std::move(wait);
    if (interrupted) {
      report_interrupt();
      co_return 0;
    }
    *delay = next_retry_delay(waited);
  }
}

awaitable<int> reconnect_loop(SessionSettings settings) {
  SessionStarter start = [settings = std::move(settings)](std::function<void()> on_connected) {
    return run_session(settings, std::move(on_connected));
  };
  co_return co_await reconnect_loop(std::move(start));
}

}  // namespace vostrelin
