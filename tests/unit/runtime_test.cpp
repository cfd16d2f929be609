#include "support/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace vostrelin
