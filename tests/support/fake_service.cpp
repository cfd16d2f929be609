#include "support/fake_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace vostrelin::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// "0100007F:1F90" as /proc/net/tcp writes an IPv4 address and port.
std::string proc_address(const sockaddr_in& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", a.sin_addr.s_addr, ntohs(a.sin_port));
  return text;
}

// How many bytes wait unread in the receive queue of the socket whose
// local address is `local` and whose peer is `remote`; nothing when that
// socket cannot be found or is no longer connected.
std::optional<long> unread_bytes(const std::string& local, const std::string& remote) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, loc, rem, state, queues;
    fields >> slot >> loc >> rem >> state >> queues;
    if (loc != local || rem != remote) continue;
    if (state != "01") return std::nullopt;  // not ESTABLISHED
    size_t colon = queues.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return std::stol(queues.substr(colon + 1), nullptr, 16);
  }
  return std::nullopt;
}

}  // namespace

// ---- FakeConnection -----------------------------------------------------

FakeConnection::FakeConnection(int fd) : fd_(fd) {}

void FakeConnection::send_now(std::string_view bytes) {
  ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  (void)n;  // a client that has gone shows up at the next read
}

void FakeConnection::send(std::string_view bytes) {
  send_now(bytes);
  wait_until_read();
}

// The reply has been read once our side holds nothing unacknowledged (the
// client's kernel has it) and the client's receive queue is empty again.
void FakeConnection::wait_until_read() {
  sockaddr_in ours{}, theirs{};
  socklen_t len = sizeof ours;
  bool known = ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ours), &len) == 0;
  len = sizeof theirs;
  known = known && ::getpeername(fd_, reinterpret_cast<sockaddr*>(&theirs), &len) == 0;
  if (!known) {
    std::this_thread::sleep_for(50ms);
    return;
  }
  const std::string client = proc_address(theirs), service = proc_address(ours);
  Clock::time_point deadline = Clock::now() + 1s;
  while (Clock::now() < deadline) {
    int outstanding = 0;
    if (::ioctl(fd_, SIOCOUTQ, &outstanding) != 0) return;
    if (outstanding == 0) {
      std::optional<long> unread = unread_bytes(client, service);
      if (!unread || *unread == 0) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  // The client's task may still be on its way from the read to its next
  // step; give it a moment before anything else is written.
  std::this_thread::sleep_for(2ms);
}

bool FakeConnection::fill(Clock::time_point deadline) {
  if (eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  int ready = ::poll(&p, 1, remaining_ms(deadline));
  if (ready <= 0) return false;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  pending_.append(chunk, static_cast<size_t>(n));
  received_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> FakeConnection::read_some(std::chrono::milliseconds timeout) {
  if (pending_.empty() && !fill(Clock::now() + timeout)) {
    if (eof_) return std::string();
    return std::nullopt;
  }
  return std::exchange(pending_, std::string());
}

bool FakeConnection::expect(std::string_view expected, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (pending_.size() < expected.size()) {
    if (!fill(deadline)) break;
  }
  size_t take = std::min(pending_.size(), expected.size());
  bool same = pending_.size() >= expected.size() && std::string_view(pending_).substr(0, take) == expected;
  pending_.erase(0, take);
  return same;
}

bool FakeConnection::wait_closed(std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (!eof_) {
    if (!fill(deadline) && !eof_) return false;
  }
  return true;
}

void FakeConnection::close() { ::shutdown(fd_, SHUT_RDWR); }

void FakeConnection::reset_on_close() {
  linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// ---- FakeService --------------------------------------------------------

FakeService::FakeService(Handler handler) : handler_(std::move(handler)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("bind or listen failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("pipe failed");
  }
  acceptor_ = std::thread([this] { accept_loop(); });
}

FakeService::~FakeService() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  char wake = 0;
  ssize_t n = ::write(wake_pipe_[1], &wake, 1);
  (void)n;
  acceptor_.join();
  // No new worker starts once the acceptor has ended.
  for (std::thread& t : workers_) t.join();
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

bool FakeService::wait_connections(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return accepted_.load() >= n; });
}

bool FakeService::wait_handled(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return handled_ >= n; });
}

void FakeService::accept_loop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    ++accepted_;
    changed_.notify_all();
    open_fds_.insert(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeService::serve(int fd) {
  {
    FakeConnection connection(fd);
    try {
      handler_(connection);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "fake service: handler failed: %s\n", e.what());
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  open_fds_.erase(fd);
  ::close(fd);
  ++handled_;
  changed_.notify_all();
}

// ---- the handshake --------------------------------------------------------

HandshakeLog play_handshake(FakeConnection& connection, const HandshakeScript& script) {
  HandshakeLog log;
  // The client sends its next message only after reading the last reply,
  // so each read holds one whole message.
  const auto next_message = [&]() -> bool {
    std::optional<std::string> message = connection.read_some();
    if (!message) return false;
    if (message->empty()) {
      log.client_closed = true;
      return false;
    }
    log.messages.push_back(std::move(*message));
    return true;
  };
  const auto answer = [&](const std::optional<std::string>& reply) -> bool {
    if (!reply) {
      if (script.reset) connection.reset_on_close();
      return false;
    }
    connection.send(*reply);
    return true;
  };

  if (!next_message() || !answer(script.ehlo)) return log;
  if (!next_message() || !answer(script.auth)) return log;
  if (!next_message() || !answer(script.opts)) return log;
  for (const std::string& piece : script.rule_writes) connection.send(piece);
  if (script.close_after_rules) {
    if (script.reset) connection.reset_on_close();
    return log;
  }
  if (!next_message() || !answer(script.conn)) return log;
  log.completed = true;
  return log;
}

}  // namespace vostrelin::test
