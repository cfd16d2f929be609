// A connected TCP pair on loopback for tests of the code that talks to the
// service: `ours` for the code under test (on a strand of the worker pool),
// `peer` for the test, which drives it with blocking calls bounded by
// time-outs.
#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <string>
#include <string_view>

namespace vostrelin::test {

struct SocketPair {
  asio::ip::tcp::socket ours;
  asio::ip::tcp::socket peer;
};

// `ours` lives on a new strand of the runtime's worker pool.
SocketPair socket_pair();

void peer_write(asio::ip::tcp::socket& peer, std::string_view bytes);

// Reads until `n` bytes have come, the end of the stream or the time-out.
std::string peer_read(asio::ip::tcp::socket& peer, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Reads until the end of the stream; false when it did not come in time.
bool peer_read_to_end(asio::ip::tcp::socket& peer, std::string& out,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Closes so that the other side sees a reset instead of an end of stream.
void peer_reset(asio::ip::tcp::socket& peer);

}  // namespace vostrelin::test
