// A runtime for tests that run coroutines: run(task) drives one coroutine on
// the worker threads and returns its result, failing the test when it takes
// longer than the time-out.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "support/runtime.h"

namespace vostrelin::test {

class RuntimeTest : public ::testing::Test {
 protected:
  RuntimeTest() : runtime_(std::move(Runtime::build()).value()) {}

  template <class T>
  T run(awaitable<T> task, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::future<T> f = asio::co_spawn(worker_executor(), std::move(task), asio::use_future);
    if (f.wait_for(timeout) != std::future_status::ready) {
      ADD_FAILURE() << "task did not finish in time";
      std::abort();
    }
    return f.get();
  }

  asio::any_io_executor executor() { return worker_executor(); }

 private:
  std::unique_ptr<Runtime> runtime_;
};

}  // namespace vostrelin::test
