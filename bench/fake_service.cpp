#include "fake_service.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace vostrelin::bench {

// ---- the client's frames ---------------------------------------------------

namespace {
enum Kind { MESG = 1, TCPC = 2, HTPC = 3 };
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool ClientFrameParser::feed(const char* p, size_t n) {
  if (!fault.empty()) return false;
  size_t i = 0;
  while (i < n) {
    switch (state_) {
      case State::Tag: {
        tag_[tag_len_++] = p[i++];
        if (tag_len_ < 4) break;
        tag_len_ = 0;
        std::string_view tag(tag_, 4);
        if (tag == "PONG") {
          if (events.pong) events.pong();
        } else if (tag == "MESG" || tag == "TCPC" || tag == "HTPC") {
          kind_ = tag == "MESG" ? MESG : tag == "TCPC" ? TCPC : HTPC;
          state_ = State::Dot;
        } else {
          fault = "unexpected frame tag \"" + std::string(tag) + "\"";
          return false;
        }
        break;
      }
      case State::Dot:
        if (p[i++] != '.') {
          fault = "no \".\" after the frame tag";
          return false;
        }
        id_.clear();
        close_told_ = false;
        state_ = kind_ == MESG ? State::MesgId : kind_ == TCPC ? State::TcpcId : State::HtpcId;
        break;
      case State::MesgId: {
        char c = p[i++];
        if (c == '.') {
          state_ = State::MesgLen;
          length_ = 0;
          digits_ = 0;
        } else {
          id_ += c;
        }
        break;
      }
      case State::MesgLen: {
        char c = p[i++];
        if (c == '.' && digits_ > 0) {
          left_ = length_;
          if (left_ == 0) {
            if (events.data) events.data(id_, p + i, 0, true);
            state_ = State::Tag;
          } else {
            state_ = State::Payload;
          }
        } else if (is_digit(c) && digits_ < 19) {
          length_ = length_ * 10 + static_cast<uint64_t>(c - '0');
          ++digits_;
        } else {
          fault = "bad length field in a data frame";
          return false;
        }
        break;
      }
      case State::Payload: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(left_, n - i));
        left_ -= take;
        if (events.data) events.data(id_, p + i, take, left_ == 0);
        i += take;
        if (left_ == 0) state_ = State::Tag;
        break;
      }
      case State::TcpcId:
        // The id runs until the first byte that is not a digit, which
        // already belongs to the next frame.
        if (is_digit(p[i])) {
          id_ += p[i++];
        } else if (id_.empty()) {
          fault = "TCP close frame without an id";
          return false;
        } else {
          if (events.tcp_close) events.tcp_close(id_);
          state_ = State::Tag;
        }
        break;
      case State::HtpcId: {
        char c = p[i++];
        if (c == '.' && !id_.empty()) {
          if (events.http_close) events.http_close(id_);
          state_ = State::Tag;
        } else if (is_digit(c)) {
          id_ += c;
        } else {
          fault = "bad HTTP close frame";
          return false;
        }
        break;
      }
    }
  }
  if (state_ == State::TcpcId && !close_told_) {
    close_told_ = true;
    if (events.tcp_close_pending) events.tcp_close_pending(id_);
  }
  return true;
}

// ---- the control connection -------------------------------------------------

ControlLink::~ControlLink() { ::close(fd_); }

bool ControlLink::send(std::string_view bytes, std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  return send_all(fd_, bytes, Clock::now() + timeout);
}

bool ControlLink::pump(ClientFrameParser& parser, std::chrono::milliseconds wait) {
  if (closed_) return false;
  if (!wait_readable(fd_, wait)) return true;
  ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  if (n == 0) {
    closed_ = true;
    return false;
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    closed_ = true;
    return false;
  }
  return parser.feed(buffer_.data(), static_cast<size_t>(n));
}

bool ControlLink::ping(ClientFrameParser& parser, std::chrono::milliseconds timeout) {
  bool answered = false;
  std::function<void()> outer = parser.events.pong;
  parser.events.pong = [&] { answered = true; };
  bool ok = send("PING.");
  Clock::time_point deadline = Clock::now() + timeout;
  while (ok && !answered && Clock::now() < deadline) ok = pump(parser, 50ms);
  parser.events.pong = outer;
  return answered;
}

// ---- the handshake ----------------------------------------------------------

namespace {

std::string proc_address(const sockaddr_in& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", a.sin_addr.s_addr, ntohs(a.sin_port));
  return text;
}

// Bytes waiting unread in the client's receive queue, from /proc/net/tcp.
std::optional<long> unread_by_client(const std::string& client, const std::string& service) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (local != client || remote != service) continue;
    size_t colon = queues.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return std::stol(queues.substr(colon + 1), nullptr, 16);
  }
  return std::nullopt;
}

// The client reads each handshake reply with a single read, so a reply
// must not share a read with whatever follows it: wait until the client's
// kernel holds nothing unread of ours.
void wait_until_read(int fd) {
  sockaddr_in ours{}, theirs{};
  socklen_t len = sizeof ours;
  bool known = ::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &len) == 0;
  len = sizeof theirs;
  known = known && ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &len) == 0;
  if (known) {
    const std::string client = proc_address(theirs), service = proc_address(ours);
    Clock::time_point deadline = Clock::now() + 1s;
    while (Clock::now() < deadline) {
      int outstanding = 0;
      if (::ioctl(fd, SIOCOUTQ, &outstanding) != 0) break;
      if (outstanding == 0) {
        std::optional<long> unread = unread_by_client(client, service);
        if (!unread || *unread == 0) break;
      }
      std::this_thread::sleep_for(1ms);
    }
  } else {
    std::this_thread::sleep_for(50ms);
  }
  // The client's task may still be between its read and its next step.
  std::this_thread::sleep_for(2ms);
}

std::optional<std::string> next_message(int fd, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0 || !wait_readable(fd, left)) return std::nullopt;
  char buf[4096];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

ServiceListener::ServiceListener() { fd_ = bind_loopback(SOCK_STREAM, port_, 16); }
ServiceListener::~ServiceListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<ControlLink> ServiceListener::accept_session(const std::string& public_address,
                                                              std::chrono::milliseconds timeout,
                                                              std::string& error, std::string_view rules) {
  Clock::time_point deadline = Clock::now() + timeout;
  if (!wait_readable(fd_, timeout)) {
    error = "the client did not connect";
    return nullptr;
  }
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    error = "accept failed";
    return nullptr;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto link = std::make_unique<ControlLink>(fd);

  const auto step = [&](std::string_view expect, std::string_view reply) -> bool {
    std::optional<std::string> message = next_message(fd, deadline);
    if (!message || !starts_with(*message, expect)) {
      error = "handshake stopped before \"" + std::string(expect) + "\"";
      return false;
    }
    if (!send_all(fd, reply, deadline)) {
      error = "could not answer \"" + std::string(expect) + "\"";
      return false;
    }
    wait_until_read(fd);
    return true;
  };
  if (!step("EHLO.", "EHLO.1") || !step("AUTH.", "AUTH.OK") || !step("OPTS.", "OPTS.OK")) return nullptr;
  if (!send_all(fd, rules, deadline)) {
    error = "could not send the rules";
    return nullptr;
  }
  wait_until_read(fd);
  if (!step("CONN", "CONN." + public_address)) return nullptr;
  return link;
}

// ---- background reading -------------------------------------------------------

LinkReader::LinkReader(ControlLink& link, ClientFrameParser& parser) : link_(link), parser_(parser) {
  thread_ = std::thread([this] {
    double start = thread_cpu_seconds();
    while (!stop_.load(std::memory_order_relaxed)) {
      if (!link_.pump(parser_, 20ms)) {
        ended_ = true;
        break;
      }
    }
    cpu_seconds_ = thread_cpu_seconds() - start;
  });
}

LinkReader::~LinkReader() { stop(); }

void LinkReader::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace vostrelin::bench
