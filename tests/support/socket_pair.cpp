#include "support/socket_pair.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include "support/runtime.h"

namespace vostrelin::test {

using asio::ip::tcp;

SocketPair socket_pair() {
  asio::any_io_executor ex = worker_executor();
  tcp::acceptor acceptor(ex, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket ours(asio::make_strand(ex));
  ours.connect(acceptor.local_endpoint());
  tcp::socket peer = acceptor.accept();
  ours.set_option(tcp::no_delay(true));
  peer.set_option(tcp::no_delay(true));
  return {std::move(ours), std::move(peer)};
}

void peer_write(tcp::socket& peer, std::string_view bytes) { asio::write(peer, asio::buffer(bytes)); }

namespace {

// One read of what is there, waiting at most until the deadline: the bytes,
// or "" at the end of the stream; false on time-out.
bool read_some(tcp::socket& peer, std::string& out, std::chrono::steady_clock::time_point deadline, bool& eof) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd fd{peer.native_handle(), POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
  char buf[65536];
  ssize_t n = ::recv(peer.native_handle(), buf, sizeof buf, 0);
  if (n <= 0) {
    eof = true;
    return true;
  }
  out.append(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace

std::string peer_read(tcp::socket& peer, size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  bool eof = false;
  while (out.size() < n && !eof && read_some(peer, out, deadline, eof)) {
  }
  return out;
}

bool peer_read_to_end(tcp::socket& peer, std::string& out, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool eof = false;
  while (!eof) {
    if (!read_some(peer, out, deadline, eof)) return false;
  }
  return true;
}

void peer_reset(tcp::socket& peer) {
  peer.set_option(asio::socket_base::linger(true, 0));
  peer.close();
}

}  // namespace vostrelin::test
