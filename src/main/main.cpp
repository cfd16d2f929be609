// Process entry: raises the descriptor limit, builds the runtime, runs the
// main task on this thread and shuts the runtime down when it returns.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "main/main_task.h"
#include "support/output.h"
#include "support/runtime.h"

namespace {

// Every socket and file takes a descriptor, and the soft limit is often far
// below the hard one (1024 against hundreds of thousands). Raised, a burst
// of local connections cannot leave the tunnel without one for the
// service. A hard limit without end cannot be the soft one; the kernel's own
// ceiling can.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "r")) {
    unsigned long ceiling = 0;
    if (std::fscanf(f, "%lu", &ceiling) == 1 && ceiling > limit.rlim_cur) {
      raised.rlim_cur = std::min<rlim_t>(ceiling, limit.rlim_max);
      ::setrlimit(RLIMIT_NOFILE, &raised);
    }
    std::fclose(f);
  }
}

// Frame buffers of tens of KiB are made on one thread and freed on another
// at the rate of the traffic. Spread over an arena per thread, such frees
// leave every arena holding memory another thread would have used; two
// arenas keep the process's memory flat across many sessions.
void keep_freed_memory() { ::mallopt(M_ARENA_MAX, 2); }

}  // namespace

int main(int argc, char** argv) {
  using namespace vostrelin;

  // A write to a closed peer or pipe must fail with an error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  keep_freed_memory();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  Result<std::unique_ptr<Runtime>> runtime = Runtime::build();
  if (!runtime) {
    write_stderr("Failed building the Runtime: " + runtime.error().message() + "\n");
    return 101;
  }

  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);

  asio::io_context main_context(1);
  int status = 0;
  bool done = false;
  asio::co_spawn(main_context, main_task(std::move(args)), [&](std::exception_ptr e, int s) {
    status = s;
    done = true;
    if (e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& ex) {
        write_stderr(std::string("internal error: ") + ex.what() + "\n");
        status = 1;
      }
    }
  });
  while (!done && main_context.run_one() > 0) {
  }
  // A session dropped by Ctrl+C unwinds here: everything it waited on was
  // cancelled. Until it has, its pending operations on the worker pool would
  // resume it on this context, so the context must outlive them. One stuck
  // in a name lookup is not waited for: the process ends without tearing
  // anything down.
  main_context.run_for(std::chrono::seconds(2));
  if (!main_context.stopped()) std::_Exit(status);
  (*runtime)->shutdown();
  return status;
}
