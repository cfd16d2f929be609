// The local services the bench puts behind the tunnel, and reaches
// directly for the counterpart figures: the same objects serve both, so a
// ratio compares only the path in front of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

namespace vostrelin::bench {

// Echoes every byte of each connection until its end of stream, then ends
// its own side. One small-stack thread per connection, so a thousand idle
// connections cost the bench little.
class TcpEchoServer {
 public:
  TcpEchoServer();
  ~TcpEchoServer();
  uint16_t port() const { return port_; }
  size_t accepted() const { return accepted_.load(); }
  size_t open_connections() const { return open_.load(); }

 private:
  void serve(int fd);
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> open_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::set<int> fds_;
  std::vector<unsigned long> workers_;
};

// A small HTTP/1.1 server: one response per connection, then it closes.
// "/big?<n>" answers with an n-byte body; any other path with 1 KiB.
class HttpServer {
 public:
  explicit HttpServer(int threads = 8);
  ~HttpServer();
  uint16_t port() const { return port_; }
  size_t served() const { return served_.load(); }

 private:
  void worker();
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> served_{0};
  std::vector<std::thread> workers_;
};

// UDP: counts datagrams (and echoes them back when `echo`), remembering
// when the last one came.
class UdpServer {
 public:
  explicit UdpServer(bool echo);
  ~UdpServer();
  uint16_t port() const { return port_; }
  uint64_t received() const { return received_.load(); }
  Clock::time_point last_arrival() const;
  void reset();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool echo_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> received_{0};
  std::atomic<int64_t> last_ns_{0};
  std::thread thread_;
};

// Echoes every byte of each connection from one epoll thread, for tens of
// thousands of connections at once; what the peer does not take waits in a
// per-connection buffer and that connection is not read meanwhile.
class ManyEchoServer {
 public:
  ManyEchoServer();
  ~ManyEchoServer();
  uint16_t port() const { return port_; }
  size_t accepted() const { return accepted_.load(); }
  size_t open_connections() const { return open_.load(); }

 private:
  void run();
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> open_{0};
  std::thread thread_;
};

// Local services that misbehave, chosen per connection so that good and
// bad connections share one local port as they do behind a tunnel.
// TCP: the first four bytes decide. "SINK" is read and then nothing more,
// ever; "RSET" gets 256 KiB and then a reset; anything else is echoed
// (those four bytes included).
// HTTP: the path decides. "/sink" has its head read and then nothing more;
// "/reset" gets a head announcing 1 MiB, 64 KiB of it and then a reset;
// any other path has its body (by Content-Length) read and gets 1 KiB.
class FaultServer {
 public:
  enum class Kind { Tcp, Http };
  explicit FaultServer(Kind kind);
  ~FaultServer();
  uint16_t port() const { return port_; }
  size_t sinks() const { return sinks_.load(); }
  size_t resets() const { return resets_.load(); }
  size_t served() const { return served_.load(); }

 private:
  void serve(int fd);
  void serve_tcp(int fd);
  void serve_http(int fd);
  void hold(int fd);
  void reset_after(int fd, const std::string& bytes);
  Kind kind_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> sinks_{0}, resets_{0}, served_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::set<int> fds_;
  std::vector<unsigned long> workers_;
};

inline constexpr size_t HTTP_SMALL_BODY = 1024;

}  // namespace vostrelin::bench
