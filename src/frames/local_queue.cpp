#include "frames/local_queue.h"

#include <asio/post.hpp>

#include <algorithm>

namespace vostrelin::frames {

void LocalQueue::wake(Waiter& waiter) {
  if (!waiter.waiting) return;
  waiter.waiting = false;
  asio::post(waiter.timer->get_executor(), [timer = waiter.timer] { timer->cancel(); });
}

awaitable<LocalQueue::Push> LocalQueue::push(std::string& bytes, std::chrono::milliseconds stall_limit) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (abandoned_) co_return Push::Gone;
    bytes_ += bytes.size();
    // Taken items leave the front in bulk, so the vector keeps no long
    // run of them while the consumer never quite catches up.
    if (head_ > 64 && head_ * 2 > items_.size()) {
      items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    items_.push_back(std::move(bytes));
    wake(consumer_);
    if (bytes_ <= bound_) co_return Push::Queued;
  }
  auto deadline = asio::steady_timer::clock_type::now() + stall_limit;
  asio::any_io_executor executor = co_await asio::this_coro::executor;
  for (;;) {
    std::shared_ptr<asio::steady_timer> timer;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (abandoned_) co_return Push::Gone;
      if (bytes_ <= bound_) co_return Push::Queued;
      if (asio::steady_timer::clock_type::now() >= deadline) co_return Push::Stalled;
      if (!producer_.timer) producer_.timer = std::make_shared<asio::steady_timer>(executor);
      producer_.waiting = true;
      timer = producer_.timer;
    }
    timer->expires_at(deadline);
    co_await timer->async_wait(as_tuple_awaitable);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      producer_.waiting = false;
    }
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) co_return Push::Gone;
  }
}

void LocalQueue::close() {
  std::lock_guard<std::mutex> guard(mutex_);
  closed_ = true;
  wake(consumer_);
}

awaitable<bool> LocalQueue::take(std::vector<std::string>& out, size_t max_bytes) {
  asio::any_io_executor executor = co_await asio::this_coro::executor;
  for (;;) {
    std::shared_ptr<asio::steady_timer> timer;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (head_ < items_.size()) {
        size_t taken = 0;
        do {
          taken += items_[head_].size();
          out.push_back(std::move(items_[head_]));
          ++head_;
        } while (head_ < items_.size() && taken + items_[head_].size() <= max_bytes);
        if (head_ == items_.size()) {
          items_.clear();
          head_ = 0;
        }
        co_return true;
      }
      if (closed_) co_return false;
      if (!consumer_.timer) consumer_.timer = std::make_shared<asio::steady_timer>(executor);
      consumer_.waiting = true;
      timer = consumer_.timer;
    }
    timer->expires_at(asio::steady_timer::time_point::max());
    co_await timer->async_wait(as_tuple_awaitable);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      consumer_.waiting = false;
    }
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) co_return false;
  }
}

void LocalQueue::written(size_t n) {
  std::lock_guard<std::mutex> guard(mutex_);
  bytes_ -= std::min(n, bytes_);
  if (bytes_ <= bound_) wake(producer_);
}

void LocalQueue::abandon() {
  std::lock_guard<std::mutex> guard(mutex_);
  abandoned_ = true;
  std::vector<std::string>().swap(items_);
  head_ = 0;
  bytes_ = 0;
  wake(producer_);
}

void LocalQueue::stall() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stalled_ = true;
  }
  abandon();
}

bool LocalQueue::stalled() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stalled_;
}

size_t LocalQueue::waiting() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bytes_;
}

}  // namespace vostrelin::frames
