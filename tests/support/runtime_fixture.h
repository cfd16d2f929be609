// A runtime for tests that run coroutines: run(task) drives one coroutine on
// the worker threads and returns its result, failing the test when it takes
// longer than the time-out.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <type_traits>

#include "support/runtime.h"

namespace vostrelin::test {

class RuntimeTest : public ::testing::Test {
 protected:
  RuntimeTest() : runtime_(std::move(Runtime::build()).value()) {}

  template <class T>
  T run(awaitable<T> task, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    // co_spawn wants a default-constructible result; Result<T> is not, so
    // the value travels in an optional.
    using Carried = std::conditional_t<std::is_void_v<T>, bool, std::optional<T>>;
    auto carry = [](awaitable<T> t) -> awaitable<Carried> {
      if constexpr (std::is_void_v<T>) {
        co_await std::move(t);
        co_return true;
      } else {
        co_return Carried(co_await std::move(t));
      }
    };
    std::future<Carried> f = asio::co_spawn(worker_executor(), carry(std::move(task)), asio::use_future);
    if (f.wait_for(timeout) != std::future_status::ready) {
      ADD_FAILURE() << "task did not finish in time";
      std::abort();
    }
    if constexpr (std::is_void_v<T>) {
      f.get();
    } else {
      return std::move(*f.get());
    }
  }

  asio::any_io_executor executor() { return worker_executor(); }

 private:
  std::unique_ptr<Runtime> runtime_;
};

}  // namespace vostrelin::test
