#include "support/runtime.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace vostrelin {
namespace {

Runtime* g_runtime = nullptr;
std::atomic<bool> g_stopping{false};

}  // namespace

Runtime::Runtime(unsigned worker_threads, unsigned blocking_threads)
    : workers_(worker_threads), blocking_(blocking_threads) {
  g_runtime = this;
  g_stopping.store(false);
}

Result<std::unique_ptr<Runtime>> Runtime::build() {
  unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  // The relay's work is a chain of hand-offs between the service socket and
  // the local sockets, each far cheaper than waking an idle thread for it:
  // with a thread per CPU most hand-offs went to a sleeping thread and cost
  // a futex wake and a migration. Two threads keep the two directions of a
  // stream running side by side and are seldom both asleep.
  unsigned workers = std::min(cpus, WORKER_THREADS);
  // Blocking work is short file I/O and resolution; a few threads more than
  // CPUs keep one slow disk from starving the rest.
  unsigned blocking = std::max(4u, cpus);
  try {
    return std::unique_ptr<Runtime>(new Runtime(workers, blocking));
  } catch (const std::system_error& e) {
    return Error(e.code().message());
  } catch (const std::exception& e) {
    return Error(e.what());
  }
}

void Runtime::shutdown() {
  if (stopped_) return;
  stopped_ = true;
  g_stopping.store(true);
  workers_.stop();
  blocking_.stop();
  workers_.join();
  blocking_.join();
}

Runtime::~Runtime() {
  shutdown();
  if (g_runtime == this) g_runtime = nullptr;
}

asio::any_io_executor worker_executor() { return g_runtime->workers(); }
asio::any_io_executor blocking_executor() { return g_runtime->blocking(); }
bool runtime_stopping() { return g_stopping.load(std::memory_order_acquire); }

}  // namespace vostrelin
