#include "local_servers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vostrelin::bench {

// ---- TCP echo ------------------------------------------------------------------

TcpEchoServer::TcpEchoServer() {
  listen_fd_ = bind_loopback(SOCK_STREAM, port_);
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      if (!wait_readable(listen_fd_, 50ms)) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      ++open_;
      std::lock_guard<std::mutex> lock(mutex_);
      fds_.insert(fd);
      workers_.push_back(spawn_small_thread([this, fd] { serve(fd); }));
    }
  });
}

void TcpEchoServer::serve(int fd) {
  std::vector<char> buf(256 * 1024);
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    if (!send_all(fd, buf.data(), static_cast<size_t>(n), Clock::now() + 30s)) break;
  }
  ::shutdown(fd, SHUT_WR);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.erase(fd);
  }
  ::close(fd);
  --open_;
}

TcpEchoServer::~TcpEchoServer() {
  stopping_ = true;
  acceptor_.join();
  std::vector<unsigned long> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (unsigned long t : workers) join_thread(t);
  ::close(listen_fd_);
}

// ---- HTTP ----------------------------------------------------------------------

HttpServer::HttpServer(int threads) {
  listen_fd_ = bind_loopback(SOCK_STREAM, port_);
  ::fcntl(listen_fd_, F_SETFL, O_NONBLOCK);
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { worker(); });
}

HttpServer::~HttpServer() {
  stopping_ = true;
  for (std::thread& t : workers_) t.join();
  ::close(listen_fd_);
}

namespace {
std::string response_head(uint64_t body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(body) +
         "\r\nConnection: close\r\n\r\n";
}
}  // namespace

void HttpServer::worker() {
  const std::string small = response_head(HTTP_SMALL_BODY) + std::string(HTTP_SMALL_BODY, 'x');
  std::vector<char> big(1 << 20, 'y');
  std::string request;
  char buf[16384];
  while (!stopping_) {
    if (!wait_readable(listen_fd_, 50ms)) continue;
    // Several workers wait on one listener; the losers of a race see
    // EAGAIN from the non-blocking listener and wait again.
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    request.clear();
    bool complete = false;
    while (request.size() < 65536) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
      if (request.find("\r\n\r\n") != std::string::npos) {
        complete = true;
        break;
      }
    }
    if (complete) {
      Clock::time_point deadline = Clock::now() + 60s;
      size_t sp = request.find(' ');
      std::string path = sp == std::string::npos ? "" : request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
      if (path.rfind("/big?", 0) == 0) {
        uint64_t left = std::strtoull(path.c_str() + 5, nullptr, 10);
        bool ok = send_all(fd, response_head(left), deadline);
        while (ok && left > 0) {
          size_t n = static_cast<size_t>(std::min<uint64_t>(left, big.size()));
          ok = send_all(fd, big.data(), n, deadline);
          left -= n;
        }
      } else {
        send_all(fd, small, deadline);
      }
      ++served_;
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  }
}

// ---- UDP -----------------------------------------------------------------------

UdpServer::UdpServer(bool echo) : echo_(echo) {
  fd_ = bind_loopback(SOCK_DGRAM, port_);
  large_buffers(fd_, 8 << 20);
  thread_ = std::thread([this] {
    char buf[65536];
    while (!stopping_) {
      if (!wait_readable(fd_, 50ms)) continue;
      for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        received_.fetch_add(1, std::memory_order_relaxed);
        last_ns_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        if (echo_) ::sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  });
}

UdpServer::~UdpServer() {
  stopping_ = true;
  thread_.join();
  ::close(fd_);
}

Clock::time_point UdpServer::last_arrival() const {
  return Clock::time_point(Clock::duration(last_ns_.load()));
}

void UdpServer::reset() {
  received_ = 0;
  last_ns_ = 0;
}

}  // namespace vostrelin::bench
