#include "local_servers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

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
  char buf[16384];
  // Each worker is an event loop of its own over the shared listener (woken
  // alone for a new connection) and the connections it accepted, so that a
  // request waiting for its head holds up no other.
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event listen_event{};
  listen_event.events = EPOLLIN | EPOLLEXCLUSIVE;
  listen_event.data.fd = listen_fd_;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd_, &listen_event);
  std::unordered_map<int, std::string> requests;
  auto finish = [&](int fd) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    requests.erase(fd);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  };
  // A "/big?" response is sent to the end before the worker goes on: the
  // runs that ask for one open one connection at a time.
  auto answer = [&](int fd, const std::string& request) {
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
  };
  epoll_event events[64];
  while (!stopping_) {
    int ready = ::epoll_wait(ep, events, 64, 50);
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      if (fd == listen_fd_) {
        for (;;) {
          int conn = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (conn < 0) break;
          epoll_event e{};
          e.events = EPOLLIN;
          e.data.fd = conn;
          ::epoll_ctl(ep, EPOLL_CTL_ADD, conn, &e);
          requests[conn];
        }
        continue;
      }
      std::string& request = requests[fd];
      bool done = false;
      for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
          request.append(buf, static_cast<size_t>(n));
          if (request.find("\r\n\r\n") != std::string::npos) {
            answer(fd, request);
            done = true;
            break;
          }
          if (request.size() >= 65536) {
            done = true;
            break;
          }
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        done = true;  // end of stream or an error before a whole head
        break;
      }
      if (done) finish(fd);
    }
  }
  for (auto& [fd, request] : requests) ::close(fd);
  ::close(ep);
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

// ---- many echoed connections ----------------------------------------------------

namespace vostrelin::bench {

namespace {
struct EchoConnection {
  int fd;
  std::string waiting;  // read but not yet taken back by the peer
};
}  // namespace

ManyEchoServer::ManyEchoServer() {
  listen_fd_ = bind_loopback(SOCK_STREAM, port_, 4096);
  ::fcntl(listen_fd_, F_SETFL, O_NONBLOCK);
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the listener
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev);
  thread_ = std::thread([this] { run(); });
}

ManyEchoServer::~ManyEchoServer() {
  stopping_ = true;
  thread_.join();
  ::close(epoll_fd_);
  ::close(listen_fd_);
}

void ManyEchoServer::run() {
  std::set<EchoConnection*> all;
  std::vector<epoll_event> events(1024);
  std::vector<char> buf(64 * 1024);
  const auto drop = [&](EchoConnection* c) {
    ::close(c->fd);
    all.erase(c);
    delete c;
    --open_;
  };
  while (!stopping_) {
    int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), 50);
    for (int i = 0; i < n; ++i) {
      auto* c = static_cast<EchoConnection*>(events[static_cast<size_t>(i)].data.ptr);
      if (c == nullptr) {
        for (;;) {
          int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd < 0) break;
          ++accepted_;
          ++open_;
          auto* added = new EchoConnection{fd, {}};
          all.insert(added);
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.ptr = added;
          ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
        }
        continue;
      }
      bool alive = true;
      if (!c->waiting.empty()) {
        ssize_t w = ::send(c->fd, c->waiting.data(), c->waiting.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno != EAGAIN) alive = false;
        if (w > 0) c->waiting.erase(0, static_cast<size_t>(w));
      } else {
        ssize_t r = ::recv(c->fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN)) {
          alive = false;
        } else if (r > 0) {
          ssize_t w = ::send(c->fd, buf.data(), static_cast<size_t>(r), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (w < 0 && errno != EAGAIN) alive = false;
          size_t done = w > 0 ? static_cast<size_t>(w) : 0;
          if (done < static_cast<size_t>(r)) c->waiting.assign(buf.data() + done, static_cast<size_t>(r) - done);
        }
      }
      if (!alive) {
        drop(c);
        continue;
      }
      epoll_event ev{};
      ev.events = c->waiting.empty() ? EPOLLIN : EPOLLOUT;
      ev.data.ptr = c;
      ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c->fd, &ev);
    }
  }
  for (EchoConnection* c : std::vector<EchoConnection*>(all.begin(), all.end())) drop(c);
}

// ---- misbehaving local services ---------------------------------------------------

FaultServer::FaultServer(Kind kind) : kind_(kind) {
  listen_fd_ = bind_loopback(SOCK_STREAM, port_);
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      if (!wait_readable(listen_fd_, 50ms)) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      fds_.insert(fd);
      workers_.push_back(spawn_small_thread([this, fd] { serve(fd); }));
    }
  });
}

FaultServer::~FaultServer() {
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

void FaultServer::serve(int fd) {
  if (kind_ == Kind::Tcp) serve_tcp(fd);
  else serve_http(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.erase(fd);
  }
  ::close(fd);
}

void FaultServer::hold(int fd) {
  ++sinks_;
  // Reads nothing more; the connection stays until its peer or the server
  // ends it.
  while (!stopping_) {
    pollfd pf{fd, POLLRDHUP, 0};
    if (::poll(&pf, 1, 50) > 0 && (pf.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
  }
}

void FaultServer::reset_after(int fd, const std::string& bytes) {
  ++resets_;
  send_all(fd, bytes, Clock::now() + 10s);
  linger hard{1, 0};  // close with a reset, not a clean end
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void FaultServer::serve_tcp(int fd) {
  char first[4];
  size_t got = 0;
  while (got < 4) {
    ssize_t n = ::recv(fd, first + got, 4 - got, 0);
    if (n <= 0) return;
    got += static_cast<size_t>(n);
  }
  std::string_view tag(first, 4);
  if (tag == "SINK") return hold(fd);
  if (tag == "RSET") return reset_after(fd, std::string(256 * 1024, 'r'));
  ++served_;
  if (!send_all(fd, first, 4, Clock::now() + 30s)) return;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    if (!send_all(fd, buf.data(), static_cast<size_t>(n), Clock::now() + 30s)) break;
  }
  ::shutdown(fd, SHUT_WR);
}

void FaultServer::serve_http(int fd) {
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string request;
  char buf[16384];
  size_t head_end = std::string::npos;
  while (head_end == std::string::npos && request.size() < 65536) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
    head_end = request.find("\r\n\r\n");
  }
  if (head_end == std::string::npos) return;
  size_t sp = request.find(' ');
  std::string path = sp == std::string::npos ? "" : request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
  if (path == "/sink") return hold(fd);
  if (path == "/reset") {
    return reset_after(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\nConnection: close\r\n\r\n" +
                               std::string(64 * 1024, 'r'));
  }
  uint64_t body = 0;
  size_t cl = request.find("Content-Length: ");
  if (cl != std::string::npos && cl < head_end) body = std::strtoull(request.c_str() + cl + 16, nullptr, 10);
  uint64_t have = request.size() - head_end - 4;
  while (have < body) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    have += static_cast<uint64_t>(n);
  }
  ++served_;
  send_all(fd,
           "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(HTTP_SMALL_BODY) + "\r\nConnection: close\r\n\r\n" +
               std::string(HTTP_SMALL_BODY, 'x'),
           Clock::now() + 10s);
  ::shutdown(fd, SHUT_WR);
}

}  // namespace vostrelin::bench
