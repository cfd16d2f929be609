// The main task: start-up (command line, key-file check, inspector), then
// the reconnect loop. Runs on the main thread.
#pragma once

#include <string>
#include <vector>

#include "support/runtime.h"

namespace vostrelin {

// Returns the process's exit status.
awaitable<int> main_task(std::vector<std::string> args);

}  // namespace vostrelin
