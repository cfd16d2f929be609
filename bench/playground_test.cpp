// The playground's own checks: the fake service's reader telling when a
// read leaves a TCP close frame open, and the playground run as a person
// runs it (TCP closes reaching the public side, two HTTP playgrounds with
// inspectors of their own, session files kept after the stop). Everything
// is on 127.0.0.1 and every wait has a time-out.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_service.h"
#include "local_servers.h"
#include "net.h"
#include "support/process.h"

namespace vostrelin::bench {
namespace {

// ---- the reader of the client's frames -----------------------------------------

struct PendingCase {
  const char* name;
  std::vector<std::string> feeds;
  std::string events;  // what the parser reported, in order
};

std::string replay(const std::vector<std::string>& feeds) {
  std::string log;
  ClientFrameParser parser;
  parser.events.tcp_close = [&](std::string_view id) { log += "close(" + std::string(id) + ") "; };
  parser.events.tcp_close_pending = [&](std::string_view id) { log += "pending(" + std::string(id) + ") "; };
  parser.events.pong = [&] { log += "pong "; };
  parser.events.data = [&](std::string_view id, const char*, size_t, bool last) {
    if (last) log += "data(" + std::string(id) + ") ";
  };
  parser.events.http_close = [&](std::string_view id) { log += "htpc(" + std::string(id) + ") "; };
  for (const std::string& f : feeds) {
    EXPECT_TRUE(parser.feed(f.data(), f.size())) << parser.fault;
    log += "| ";
  }
  return log;
}

TEST(PlaygroundFrames, ReadsThatLeaveACloseFrameOpenAreToldOncePerFrame) {
  const PendingCase cases[] = {
      {"close alone, then the answer to a PING", {"TCPC.7", "PONG"}, "pending(7) | close(7) pong | "},
      {"close ended by the next frame in the same read", {"TCPC.7PONG"}, "close(7) pong | "},
      {"digits split over reads: one PING for the frame", {"TCPC.1", "2", "3", "PONG"},
       "pending(1) | | | close(123) pong | "},
      {"read ends right after the tag's dot", {"TCPC.", "45", "PONG"}, "pending() | | close(45) pong | "},
      {"read ends inside the tag", {"TCP", "C.5", "PONG"}, "| pending(5) | close(5) pong | "},
      {"burst of closes in one read: only the last is open", {"TCPC.1TCPC.2TCPC.3", "PONG"},
       "close(1) close(2) pending(3) | close(3) pong | "},
      {"each read leaves a new close open: one each", {"TCPC.1", "TCPC.2", "PONGPONG"},
       "pending(1) | close(1) pending(2) | close(2) pong pong | "},
      {"data after a close ends it, and no PING is asked for",
       {"MESG.1.3.abcTCPC.1MESG.2.0."}, "data(1) close(1) data(2) | "},
      {"the HTTP close frame has its own end", {"HTPC.4.", "MESG.4.2.ok"}, "htpc(4) | data(4) | "},
  };
  for (const PendingCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(replay(c.feeds), c.events);
  }
}

// ---- the playground as a person runs it -------------------------------------------

using test::Process;

// A local service that sends a few bytes on every connection and closes it
// at once, so the close is the last thing the client has to tell.
class SendAndCloseServer {
 public:
  SendAndCloseServer() {
    fd_ = bind_loopback(SOCK_STREAM, port_);
    thread_ = std::thread([this] {
      while (!stopping_) {
        if (!wait_readable(fd_, 50ms)) continue;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        send_all(c, "bye", Clock::now() + 2s);
        ::close(c);
      }
    });
  }
  ~SendAndCloseServer() {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

uint16_t free_port() {
  uint16_t port = 0;
  int fd = bind_loopback(SOCK_STREAM, port);
  ::close(fd);
  return port;
}

// The text after `label` in the playground's output, up to the next blank.
std::string word_after(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return {};
  at += label.size();
  return text.substr(at, text.find_first_of(" )\n", at) - at);
}

// One playground run; whatever it kept of its home goes with the object.
struct Playground {
  std::unique_ptr<Process> process;
  uint16_t public_port = 0;
  std::string home;

  Playground(const std::string& mode, uint16_t local_port, test::Env env = {}) {
    env["PATH"] = "/usr/bin:/bin";
    std::vector<std::string> argv{VOSTRELIN_BENCH_BINARY, "play", mode, std::to_string(local_port), "0"};
    process = std::make_unique<Process>(argv, env);
    if (!process->wait_for_stderr("Ctrl+C ends it", 15s)) return;
    public_port = static_cast<uint16_t>(std::stoul("0" + word_after(process->err(), "public port ")));
    home = word_after(process->err(), "home ");
  }
  ~Playground() {
    process.reset();
    std::error_code ec;
    if (home.rfind(std::filesystem::temp_directory_path().string(), 0) == 0) std::filesystem::remove_all(home, ec);
  }

  // Ctrl+C; true when it ended by itself with status 0.
  bool stop() {
    process->signal(SIGINT);
    return process->wait(10s) && process->status() == 0;
  }
};

// Everything a connection brings until its end of stream; `closed` is false
// when the deadline came first.
std::string read_to_end(int fd, Clock::time_point deadline, bool& closed) {
  std::string got;
  closed = false;
  char buf[4096];
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!wait_readable(fd, std::max(left, 1ms))) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      closed = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string http_exchange(uint16_t port, const std::string& request) {
  int fd = connect_loopback(port);
  if (fd < 0) return {};
  send_all(fd, request, Clock::now() + 5s);
  bool closed = false;
  std::string answer = read_to_end(fd, Clock::now() + 5s, closed);
  ::close(fd);
  return answer;
}

// The local side's close travels as a close frame with no end of its own;
// the public connection still sees its end of stream while the client has
// nothing more to send, for one connection and for a burst of them.
TEST(Playground, TcpLocalCloseReachesThePublicConnection) {
  SendAndCloseServer local;
  Playground play("TCP", local.port());
  ASSERT_NE(play.public_port, 0) << play.process->err();

  for (int burst : {1, 1, 32}) {
    SCOPED_TRACE("burst of " + std::to_string(burst));
    std::vector<int> fds;
    for (int i = 0; i < burst; ++i) {
      int fd = connect_loopback(play.public_port);
      ASSERT_GE(fd, 0);
      fds.push_back(fd);
    }
    const Clock::time_point deadline = Clock::now() + 5s;
    for (int fd : fds) {
      bool closed = false;
      EXPECT_EQ(read_to_end(fd, deadline, closed), "bye");
      EXPECT_TRUE(closed) << "the public connection never saw the local side's close";
      ::close(fd);
    }
    play.process->drain();
  }
  EXPECT_TRUE(play.stop()) << play.process->err();
}

// Two HTTP playgrounds at once, each with the inspector port it was given;
// their session files stay where the start said, after the stop.
TEST(Playground, TwoHttpPlaygroundsKeepInspectorsAndSessionFilesApart) {
  HttpServer local(2);
  const uint16_t inspectors[2] = {free_port(), free_port()};
  std::unique_ptr<Playground> plays[2];
  for (int i = 0; i < 2; ++i) {
    plays[i] = std::make_unique<Playground>("HTTP", local.port(),
                                            test::Env{{"VOSTRELIN_INSPECTOR_PORT", std::to_string(inspectors[i])}});
    ASSERT_NE(plays[i]->public_port, 0) << plays[i]->process->err();
  }
  std::string sessions[2];
  for (int i = 0; i < 2; ++i) {
    Process& p = *plays[i]->process;
    sessions[i] = word_after(p.err(), "session files go to ");
    ASSERT_FALSE(sessions[i].empty()) << p.err();
    ASSERT_TRUE(p.wait_for_stdout("127.0.0.1:" + std::to_string(inspectors[i]), 10s)) << p.out() << p.err();

    const std::string answer =
        http_exchange(plays[i]->public_port, "GET /small HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    const std::string page =
        http_exchange(inspectors[i], "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << "inspector " << inspectors[i] << ": " << page;
  }
  EXPECT_NE(sessions[0], sessions[1]);

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(sessions[i]);
    EXPECT_EQ(sessions[i], plays[i]->home + "/.vostrelin/sessions");
    EXPECT_TRUE(plays[i]->stop()) << plays[i]->process->err();
    EXPECT_NE(plays[i]->process->err().find("session files kept in " + sessions[i]), std::string::npos)
        << plays[i]->process->err();
    std::error_code ec;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sessions[i], ec)) {
      if (entry.path().extension() == ".jsonl" && entry.file_size() > 0) ++files;
    }
    EXPECT_EQ(files, 1u);
  }
}

// A TCP run records nothing, so it leaves no home behind.
TEST(Playground, RunWithoutSessionFilesLeavesNothingBehind) {
  SendAndCloseServer local;
  Playground play("TCP", local.port());
  ASSERT_NE(play.public_port, 0) << play.process->err();
  ASSERT_FALSE(play.home.empty());
  EXPECT_TRUE(std::filesystem::exists(play.home));
  EXPECT_TRUE(play.stop()) << play.process->err();
  EXPECT_FALSE(std::filesystem::exists(play.home)) << play.home;
}

}  // namespace
}  // namespace vostrelin::bench
