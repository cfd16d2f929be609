#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/process.h"

namespace vostrelin::test {
namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

LoopbackClient::LoopbackClient(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in a = loopback(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
  }
}

LoopbackClient::~LoopbackClient() {
  if (fd_ >= 0) ::close(fd_);
}

void LoopbackClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("send failed");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void LoopbackClient::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

void LoopbackClient::reset() {
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd_);
  fd_ = -1;
}

std::string LoopbackClient::read_to_end(std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (!closed_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closed_ = true;
    }
  }
  return out;
}

bool LoopbackClient::readable_within(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

std::string round_trip(uint16_t port, std::string_view request) {
  LoopbackClient c(port);
  c.send(request);
  return c.read_to_end();
}

uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(a.sin_port);
}

StderrCapture::StderrCapture() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vostrelin-stderr-XXXXXX").string();
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

StderrCapture::~StderrCapture() {
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  ::unlink(path_.c_str());
}

std::string StderrCapture::text() const { return read_file(path_); }

bool StderrCapture::wait_for(std::string_view needle, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (text().find(needle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace vostrelin::test
