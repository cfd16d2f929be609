// Moving bytes between a local connection and the tunnel: the writing side
// drains the connection's queue into its socket, the reading side reads the
// socket once it is readable into the calling thread's buffer, from which
// the bytes are copied once, into the frame for the service. An idle
// connection holds no read buffer of its own.
#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <system_error>

#include "frames/local_queue.h"
#include "support/runtime.h"

namespace vostrelin::frames {

// Bytes one read from a local TCP connection takes at most.
inline constexpr size_t LOCAL_READ_BYTES = 32768;
// Bytes one UDP datagram may hold.
inline constexpr size_t DATAGRAM_BYTES = 65535;

// The calling thread's read buffer, at least `size` bytes. Its bytes are
// valid until the caller next suspends; copy them out before any co_await.
std::span<char> thread_read_buffer(size_t size);

// The error of a write that accepted no bytes ("write zero").
std::error_code write_zero_error();

// Writes what `queue` hands out to `socket`, in order, until the queue ends
// (it is closed and drained, or the task is stopped): then success. After
// every item written whole, `item_written(its size)` runs, also for an
// empty item. The first write error is returned; the rest of the queue is
// left to the caller. The socket is in non-blocking mode.
awaitable<std::error_code> write_queue(LocalQueue& queue, asio::ip::tcp::socket& socket,
                                       const std::function<void(size_t)>& item_written);

// Waits until `socket` has bytes, its end or an error, then reads once, at
// most LOCAL_READ_BYTES, into the calling thread's buffer and hands the
// bytes to take(bytes) before anything else can run on this thread; take
// copies what it keeps. Returns the read's error (eof at the end) or
// success. Pass `take` as a named object: g++ 12 mishandles a lambda
// temporary inside a co_await expression (support/README.md).
template <class Take>
awaitable<asio::error_code> read_local(asio::ip::tcp::socket& socket, Take& take) {
  for (;;) {
    std::span<char> buffer = thread_read_buffer(LOCAL_READ_BYTES);
    asio::error_code ec;
    size_t n = socket.read_some(asio::buffer(buffer.data(), buffer.size()), ec);
    if (ec != asio::error::would_block) {
      if (!ec) take(std::string_view(buffer.data(), n));
      co_return ec;
    }
    auto [waited] = co_await socket.async_wait(asio::ip::tcp::socket::wait_read, as_tuple_awaitable);
    if (waited) co_return waited;
  }
}

}  // namespace vostrelin::frames
