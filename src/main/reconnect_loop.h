// The second half of the main task: tunnel sessions one after another, each
// outcome reported, a growing delay between attempts, and Ctrl+C, which ends
// the program at any point of the loop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "main/session.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin {

inline constexpr uint32_t MAX_RETRY_DELAY = 30;

// The delay after `delay` seconds: doubled, at most 30.
uint32_t next_retry_delay(uint32_t delay);

// Starts one session; it must call on_connected after a successful
// handshake. Each session runs as a task of its own: Ctrl+C cancels it where
// it waits, and the loop returns without waiting for it to unwind.
using SessionStarter = std::function<awaitable<Result<SessionOutcome>>(std::function<void()> on_connected)>;

// Runs until Ctrl+C and returns 0, or ends the process with status 1 after a
// Fatal outcome. Must run on a single-threaded executor (the main thread's).
awaitable<int> reconnect_loop(SessionStarter start_session);

// The loop over run_session with the start-up values.
awaitable<int> reconnect_loop(SessionSettings settings);

}  // namespace vostrelin
