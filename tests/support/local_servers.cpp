#include "support/local_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace vostrelin::test {
namespace {

int listen_loopback(int type, uint16_t& port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 128) != 0)) {
    ::close(fd);
    throw std::runtime_error("bind or listen failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

LocalTcpServer::LocalTcpServer(Handler handler) : handler_(std::move(handler)) {
  listen_fd_ = listen_loopback(SOCK_STREAM, port_);
  acceptor_ = std::thread([this] {
    for (;;) {
      pollfd p{listen_fd_, POLLIN, 0};
      int ready = ::poll(&p, 1, 50);
      if (stopping_) return;
      if (ready <= 0) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      ++accepted_;
      open_fds_.insert(fd);
      workers_.emplace_back([this, fd] {
        handler_(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        open_fds_.erase(fd);
        ::close(fd);
      });
    }
  });
}

LocalTcpServer::~LocalTcpServer() {
  stopping_ = true;
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  ::close(listen_fd_);
}

void write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void echo_connection(int fd) {
  char chunk[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    write_all(fd, std::string(chunk, static_cast<size_t>(n)));
  }
  ::shutdown(fd, SHUT_WR);
}

std::string read_until_eof(int fd) {
  std::string all;
  char chunk[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return all;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return all;
    all.append(chunk, static_cast<size_t>(n));
  }
}

LocalUdpEcho::LocalUdpEcho() {
  fd_ = listen_loopback(SOCK_DGRAM, port_);
  thread_ = std::thread([this] {
    std::string buffer(65536, '\0');
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        uint16_t source = ntohs(from.sin_port);
        if (std::find(sources_.begin(), sources_.end(), source) == sources_.end()) sources_.push_back(source);
      }
      ++count_;
      ::sendto(fd_, buffer.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });
}

LocalUdpEcho::~LocalUdpEcho() {
  stopping_ = true;
  thread_.join();
  ::close(fd_);
}

std::vector<uint16_t> LocalUdpEcho::sources() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_;
}

}  // namespace vostrelin::test
