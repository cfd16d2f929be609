#include "main/reconnect_loop.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>

#include "main/build_settings.h"
#include "support/output.h"

namespace vostrelin {
namespace {

// What the loop waits for, set by the Ctrl+C listener and by the session,
// all on the main thread. The loop looks at the flags before every wait, so
// an event that comes while it is busy is seen at its next look, and an
// interrupt is always looked at first.
struct LoopState {
  explicit LoopState(const asio::any_io_executor& ex) : wake(ex) {}

  asio::steady_timer wake;  // its waits end early when something happened
  bool interrupted = false;
  uint64_t pass = 0;
  std::optional<Result<SessionOutcome>> outcome;  // of the current pass
  uint32_t delay = 1;

  void notify() { wake.cancel(); }
};

awaitable<void> session_pass(std::shared_ptr<LoopState> state, uint64_t pass, SessionStarter start_session) {
  // The state is shared, so a session abandoned after Ctrl+C that still
  // gets through its handshake touches nothing that is gone.
  std::function<void()> on_connected = [state] { state->delay = 1; };
  Result<SessionOutcome> outcome = co_await start_session(std::move(on_connected));
  if (state->pass == pass) {
    state->outcome.emplace(std::move(outcome));
    state->notify();
  }
}

// Waits until Ctrl+C, the session's outcome or the deadline, whichever is
// first.
awaitable<void> wait_for_event(LoopState& state, asio::steady_timer::time_point deadline) {
  while (!state.interrupted && !state.outcome && asio::steady_timer::clock_type::now() < deadline) {
    state.wake.expires_at(deadline);
    co_await state.wake.async_wait(as_tuple_awaitable);
  }
}

// Lets the main context take in what had already arrived when the session
// ended, so that a Ctrl+C that came with the end is seen before the end is
// reported. An expired timer completes only from a pass of the context's
// event loop, and that pass also reads the interrupt; its handler then runs
// within two further hand-offs of the context's queue.
awaitable<void> take_in_arrived_events(LoopState& state) {
  asio::any_io_executor ex = co_await asio::this_coro::executor;
  asio::steady_timer passed(ex, asio::steady_timer::clock_type::now());
  co_await passed.async_wait(as_tuple_awaitable);
  for (int i = 0; i < 2 && !state.interrupted; ++i) co_await asio::post(ex, use_awaitable);
}

void report_interrupt() { write_stdout("\nЗавершение по Ctrl+C\n"); }

}  // namespace

uint32_t next_retry_delay(uint32_t delay) { return std::min(delay * 2, MAX_RETRY_DELAY); }

awaitable<int> reconnect_loop(SessionStarter start_session) {
  asio::any_io_executor ex = co_await asio::this_coro::executor;
  auto state = std::make_shared<LoopState>(ex);
  // The listener is there before the first session takes its first step;
  // until then Ctrl+C ends the process the default way. One wait serves the
  // whole process, since the first interrupt ends the loop; one that fails
  // to install counts as an interrupt.
  asio::signal_set signals(ex);
  asio::error_code listen_error;
  signals.add(SIGINT, listen_error);
  if (listen_error) {
    state->interrupted = true;
  } else {
    signals.async_wait([state](const asio::error_code&, int) {
      state->interrupted = true;
      state->notify();
    });
  }

  for (;;) {
    state->outcome.reset();
    uint64_t pass = ++state->pass;
    auto cancel = std::make_shared<asio::cancellation_signal>();
    asio::co_spawn(ex, session_pass(state, pass, start_session),
                   asio::bind_cancellation_slot(cancel->slot(), [state, pass, cancel](std::exception_ptr e) {
                     if (!e || state->pass != pass || state->outcome) return;
                     // A session that throws is a failed attempt like any
                     // other: it is reported and retried.
                     try {
                       std::rethrow_exception(e);
                     } catch (const std::exception& err) {
                       state->outcome.emplace(Error(std::string("internal error: ") + err.what()));
                     } catch (...) {
                       state->outcome.emplace(Error("internal error"));
                     }
                     state->notify();
                   }));

    co_await wait_for_event(*state, asio::steady_timer::time_point::max());
    if (!state->interrupted) co_await take_in_arrived_events(*state);
    if (state->interrupted) {
      // Drop the session where it stands.
      cancel->emit(asio::cancellation_type::terminal);
      report_interrupt();
      co_return 0;
    }

    Result<SessionOutcome> outcome = std::move(*state->outcome);
    state->outcome.reset();
    if (!outcome) {
      write_stderr("Не удалось подключиться: " + outcome.error().message() + "\n");
    } else if (outcome->kind == SessionOutcome::Kind::Fatal) {
      write_stderr("Фатальная ошибка, остановка: " + outcome->message + "\n");
      // At once: the runtime is not shut down and nothing else is written.
      std::_Exit(1);
    } else {
      write_stderr("Соединение с сервером потеряно, переподключаюсь…\n");
    }

    uint32_t delay = state->delay;
    write_stderr("Повтор через " + std::to_string(delay) + " сек\n");
    co_await wait_for_event(*state, asio::steady_timer::clock_type::now() + delay * retry_delay_second());
    if (state->interrupted) {
      report_interrupt();
      co_return 0;
    }
    state->delay = next_retry_delay(delay);
  }
}

}  // namespace vostrelin
