// Local services for the forwarders to reach: a TCP server that runs a
// function per accepted connection on a thread of its own, and a UDP echo
// server that remembers where each datagram came from. Both listen on
// 127.0.0.1 at a port of the system's choosing and stop with the object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vostrelin::test {

class LocalTcpServer {
 public:
  // Runs handler(fd) for each connection; the fd is closed after it returns.
  using Handler = std::function<void(int fd)>;
  explicit LocalTcpServer(Handler handler);
  ~LocalTcpServer();
  LocalTcpServer(const LocalTcpServer&) = delete;
  LocalTcpServer& operator=(const LocalTcpServer&) = delete;

  uint16_t port() const { return port_; }
  size_t accepted() const { return accepted_.load(); }

 private:
  Handler handler_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<size_t> accepted_{0};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::set<int> open_fds_;
  std::vector<std::thread> workers_;
};

// Echoes every byte until the peer's end of stream, then ends its own side.
void echo_connection(int fd);
// Everything the peer sends until its end of stream (bounded wait).
std::string read_until_eof(int fd);
void write_all(int fd, const std::string& bytes);

class LocalUdpEcho {
 public:
  LocalUdpEcho();
  ~LocalUdpEcho();
  LocalUdpEcho(const LocalUdpEcho&) = delete;
  LocalUdpEcho& operator=(const LocalUdpEcho&) = delete;

  uint16_t port() const { return port_; }
  // The source ports datagrams came from, in order of first appearance.
  std::vector<uint16_t> sources() const;
  size_t datagrams() const { return count_.load(); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> count_{0};
  mutable std::mutex mutex_;
  std::vector<uint16_t> sources_;
  std::thread thread_;
};

}  // namespace vostrelin::test
