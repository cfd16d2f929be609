// The inspector's web server, in process, spoken to with raw loopback
// sockets: routes and their answers byte for byte, the head limits, ids,
// the Host check, and what it reports on standard error.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "inspector/assets.h"
#include "inspector/recorder.h"
#include "inspector/server.h"
#include "support/base64.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin::inspector {
namespace {

using namespace test;
using namespace std::chrono_literals;

struct Answer {
  std::string status_line;
  std::string head;  // the header lines after the status line, blank line included
  std::string body;
};

Answer split(const std::string& raw) {
  Answer a;
  size_t line_end = raw.find("\r\n");
  size_t head_end = raw.find("\r\n\r\n");
  if (line_end == std::string::npos || head_end == std::string::npos) {
    a.status_line = raw;
    return a;
  }
  a.status_line = raw.substr(0, line_end);
  a.head = raw.substr(line_end + 2, head_end + 4 - line_end - 2);
  a.body = raw.substr(head_end + 4);
  return a;
}

std::string expected_head(std::string_view type, size_t length) {
  return "Content-Type: " + std::string(type) + "\r\nContent-Length: " + std::to_string(length) +
         "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
}

const char* const TEXT = "text/plain; charset=utf-8";
const char* const HTML = "text/html; charset=utf-8";

const std::string SESSION_ID = "2025-03-14T09-26-53";

class InspectorServer : public RuntimeTest {
 protected:
  InspectorServer() {
    std::filesystem::create_directory(sessions);
    write_file(sessions + "/" + SESSION_ID + ".jsonl",
               R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"","local_port":8080,"remote_url":"https://x.example"})"
               "\n"
               R"({"t":"begin","req":"1","ts":"2025-03-14T09:26:54+03:00","method":"GET","path":"/hello?a=<b>"})"
               "\n"
               R"({"t":"req_headers","req":"1","kind":"pre","b64":")" +
                   base64_encode("GET /hello HTTP/1.1\r\n\r\n") + "\"}\n");
    start(sessions);
  }

  void start(const std::string& dir, ServeLimits limits = {}) {
    Result<tcp::acceptor> listener = bind(0);
    ASSERT_TRUE(listener.ok()) << listener.error().describe();
    port = listener->local_endpoint().port();
    asio::co_spawn(executor(), serve(std::move(*listener), dir, limits), asio::detached);
  }

  // GET of target with a Host header naming this server.
  Answer get(std::string_view target) {
    return split(round_trip(port, "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(port) + "\r\n\r\n"));
  }

  Answer send(std::string_view request) { return split(round_trip(port, request)); }

  TempDir dir;
  std::string sessions = dir / "sessions";
  uint16_t port = 0;
};

TEST_F(InspectorServer, ErrorAnswers) {
  struct Case {
    std::string request;
    const char* status_line;
    const char* body;
  } cases[] = {
      {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed"},
      {"get / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed"},
      {"POST /s/x HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed"},
      {"POST /s/a%2Fb HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed"},
      {"GET /s/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad session id"},
      {"GET /s/a%2Fb HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad session id"},
      {"GET /s/..%2F..%2Fetc%2Fpasswd HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad session id"},
      {"GET /s/abc/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /s/abc/x/1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /s/abc/r HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /s/../../etc/passwd HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /s/abc/r/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad id"},
      {"GET /s/abc/r/1/2 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad id"},
      {"GET /s/a%2Fb/r/1 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad id"},
      {"GET /s/abc HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Session not found"},
      {"GET /s/abc/r/1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Session not found"},
      {"GET /s/../r/1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Session not found"},
      {"GET /s/" + SESSION_ID + "/r/2 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Request not found"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /S/abc HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET /s HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET http://127.0.0.1/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found"},
      {"GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad Request"},
      {"GET /\x01 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad Request"},
      {"GET / HTTP/1.1\r\nBad Header\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad Request"},
  };
  for (const Case& c : cases) {
    Answer a = send(c.request);
    EXPECT_EQ(a.status_line, c.status_line) << c.request;
    EXPECT_EQ(a.head, expected_head(TEXT, std::strlen(c.body))) << c.request;
    EXPECT_EQ(a.body, c.body) << c.request;
  }
}

TEST_F(InspectorServer, PagesAndLogo) {
  Answer index = get("/");
  EXPECT_EQ(index.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(index.head, expected_head(HTML, index.body.size()));
  EXPECT_NE(index.body.find("<a href=\"/s/" + SESSION_ID + "\">"), std::string::npos);
  EXPECT_EQ(get("/?x=1").body, index.body);

  Answer logo = get("/logo.png?v=2");
  EXPECT_EQ(logo.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(logo.head, expected_head("image/png", logo_png().size()));
  EXPECT_EQ(logo.body, logo_png());

  Answer session = get("/s/" + SESSION_ID + "?q");
  EXPECT_EQ(session.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(session.head, expected_head(HTML, session.body.size()));
  EXPECT_NE(session.body.find("<code>/hello?a=&lt;b&gt;</code>"), std::string::npos);

  Answer request = get("/s/" + SESSION_ID + "/r/1");
  EXPECT_EQ(request.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(request.head, expected_head(HTML, request.body.size()));
  EXPECT_NE(request.body.find("<title>GET /hello?a=&lt;b&gt; — " + SESSION_ID + "</title>"), std::string::npos);
  EXPECT_NE(request.body.find("GET /hello HTTP/1.1\r\n\r\n</pre>"), std::string::npos);

  // Blank lines alone: no method and no target, so GET of "/".
  EXPECT_EQ(send("\r\n\r\n").body, index.body);
  // A body after the head is never read; a second request is never answered.
  Answer pipelined = send("GET /logo.png HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(pipelined.body, logo_png());
}

TEST_F(InspectorServer, RecordedSessionIsBrowsable) {
  RecorderOptions options;
  auto ended = std::make_shared<std::promise<void>>();
  std::future<void> writer_ended = ended->get_future();
  options.on_writer_end = [ended] { ended->set_value(); };
  auto make = [](std::string dir, RecorderOptions options) -> awaitable<Result<std::shared_ptr<Recorder>>> {
    SessionMeta meta{"HTTP", "", "https://rec.example"};
    co_return co_await Recorder::create(std::move(dir), std::move(meta), 8080, std::move(options));
  };
  std::filesystem::remove_all(sessions);  // the recorder makes it anew
  Result<std::shared_ptr<Recorder>> made = run(make(sessions, std::move(options)));
  ASSERT_TRUE(made.ok()) << made.error().describe();
  std::shared_ptr<Recorder> recorder = std::move(made).value();
  recorder->begin("9", "GET", "/items?<x>");
  recorder->req_headers("9", "pre", "GET /items HTTP/1.1\r\nHost: pub.example\r\n\r\n");
  recorder->req_headers("9", "post", "GET /items HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n");
  recorder->res_headers("9", 200, "HTTP/1.1 200 OK\r\n\r\n");
  recorder->res_body("9", "[1,2,3]");
  recorder->end("9", 200, 26);
  std::string id = std::filesystem::path(recorder->path()).stem().string();
  recorder.reset();
  ASSERT_EQ(writer_ended.wait_for(10s), std::future_status::ready);

  std::string index = get("/").body;
  EXPECT_NE(index.find("<a href=\"/s/" + id + "\">" + id + "</a>"), std::string::npos) << index;
  EXPECT_NE(index.find("<td><code>https://rec.example</code></td>\n  <td>1</td>"), std::string::npos) << index;
  std::string session = get("/s/" + id).body;
  EXPECT_NE(session.find("<a href=\"/s/" + id + "/r/9\"><code>/items?&lt;x&gt;</code></a>"), std::string::npos);
  EXPECT_NE(session.find("<td class=\"status status-ok\">200</td>\n  <td>26 Б</td>"), std::string::npos);
  std::string request = get("/s/" + id + "/r/9").body;
  EXPECT_NE(request.find("Host: 127.0.0.1:8080"), std::string::npos);
  EXPECT_NE(request.find("<pre class=\"codeblock\">[1,2,3]</pre>"), std::string::npos);
  EXPECT_EQ(request.find("идентичны"), std::string::npos);
}

TEST_F(InspectorServer, HeaderLineLimit) {
  auto with_lines = [](int n) {
    std::string r = "GET /logo.png HTTP/1.1\r\n";
    for (int i = 0; i < n; ++i) r += "X-" + std::to_string(i) + ": 1\r\n";
    return r + "\r\n";
  };
  EXPECT_EQ(send(with_lines(32)).status_line, "HTTP/1.1 200 OK");
  Answer refused = send(with_lines(33));
  EXPECT_EQ(refused.status_line, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(refused.body, "Bad Request");
}

TEST_F(InspectorServer, SafeIds) {
  EXPECT_EQ(get("/s/" + std::string(64, 'a')).body, "Session not found");
  EXPECT_EQ(get("/s/" + std::string(65, 'a')).body, "Bad session id");
  EXPECT_EQ(get("/s/x/r/" + std::string(64, '9')).body, "Session not found");
  EXPECT_EQ(get("/s/x/r/" + std::string(65, '9')).body, "Bad id");
  EXPECT_EQ(get("/s/\xd0\xb9").body, "Bad session id");

  struct Case {
    std::string id;
    bool safe;
  } cases[] = {
      {"", false},          {"a", true},         {std::string(64, 'Z'), true}, {std::string(65, 'Z'), false},
      {"A-z_0.9", true},    {"..", true},        {"a b", false},               {"a/b", false},
      {"a%2Fb", false},     {"\xd0\xb9", false}, {"a\\b", false},              {std::string("a\0b", 3), false},
      {"a~", false},        {"a+b", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_safe_id(c.id), c.safe) << c.id;
}

TEST_F(InspectorServer, HostHeaderMustNameLoopback) {
  struct Case {
    const char* host_lines;  // header lines, each with its CRLF
    const char* status_line;
  } cases[] = {
      {"", "HTTP/1.1 200 OK"},
      {"Host: 127.0.0.1\r\n", "HTTP/1.1 200 OK"},
      {"Host: 127.0.0.1:4040\r\n", "HTTP/1.1 200 OK"},
      {"Host: localhost:1\r\n", "HTTP/1.1 200 OK"},
      {"host: LocalHost\r\n", "HTTP/1.1 200 OK"},
      {"Host: evil.example\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: evil.example:4040\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: 127.0.0.1.evil.example\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: localhost.evil.example:4040\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: 127.0.0.2:4040\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: localhost:40a\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: [::1]:4040\r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: \r\n", "HTTP/1.1 403 Forbidden"},
      {"Host: localhost\r\nHost: evil.example\r\n", "HTTP/1.1 403 Forbidden"},
  };
  for (const Case& c : cases) {
    for (const char* target : {"/", "/logo.png", "/s/" "2025-03-14T09-26-53/r/1"}) {
      Answer a = send("GET " + std::string(target) + " HTTP/1.1\r\n" + c.host_lines + "\r\n");
      EXPECT_EQ(a.status_line, c.status_line) << c.host_lines << target;
      if (a.status_line == "HTTP/1.1 403 Forbidden") {
        EXPECT_EQ(a.head, expected_head(TEXT, 9));
        EXPECT_EQ(a.body, "Forbidden");
      }
    }
  }
  // Refused before anything else is looked at.
  EXPECT_EQ(send("POST / HTTP/1.1\r\nHost: evil.example\r\n\r\n").status_line, "HTTP/1.1 403 Forbidden");
  EXPECT_TRUE(is_loopback_host("localhost:"));
  EXPECT_FALSE(is_loopback_host("localhost:80:80"));
}

TEST_F(InspectorServer, HeadSizeLimit) {
  LoopbackClient waiting(port);
  waiting.send("GET /" + std::string(65536 - 5, 'a'));
  EXPECT_FALSE(waiting.readable_within(300ms)) << "answered at exactly 65536 bytes";
  waiting.send("a");
  Answer a = split(waiting.read_to_end());
  EXPECT_EQ(a.status_line, "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(a.head, expected_head(TEXT, 17));
  EXPECT_EQ(a.body, "Payload Too Large");

  // A head of exactly 65536 bytes, blank line included, is served.
  std::string head = "GET /logo.png HTTP/1.1\r\nX: ";
  head += std::string(65536 - head.size() - 4, 'x') + "\r\n\r\n";
  ASSERT_EQ(head.size(), 65536u);
  EXPECT_EQ(send(head).status_line, "HTTP/1.1 200 OK");

  // The blank line found across two sends.
  LoopbackClient split_head(port);
  split_head.send("GET /logo.png HTTP/1.1\r\n\r");
  EXPECT_FALSE(split_head.readable_within(100ms));
  split_head.send("\n");
  EXPECT_EQ(split(split_head.read_to_end()).body, logo_png());
}

TEST_F(InspectorServer, SilentEnds) {
  StderrCapture err;
  // Bare LF line ends never show the blank line: the end of the stream
  // gets no answer and no message.
  LoopbackClient lf(port);
  lf.send("GET / HTTP/1.1\nHost: localhost\n\n");
  lf.shutdown_write();
  EXPECT_EQ(lf.read_to_end(), "");
  EXPECT_TRUE(lf.closed());

  LoopbackClient nothing(port);
  nothing.shutdown_write();
  EXPECT_EQ(nothing.read_to_end(), "");

  // A client that sends nothing holds no one else up.
  LoopbackClient idle(port);
  EXPECT_EQ(get("/logo.png").body, logo_png());
  EXPECT_EQ(err.text(), "");
}

// A head that does not come in time closes its connection without an
// answer or a message; one that comes in time is answered as ever.
TEST_F(InspectorServer, SlowHeadsAreClosed) {
  ServeLimits limits;
  limits.head_timeout = 200ms;
  start(sessions, limits);
  StderrCapture err;
  struct Case {
    const char* name;
    std::string sent;
  } cases[] = {
      {"nothing at all", ""},
      {"a request line", "GET / HTTP/1.1\r\n"},
      {"all but the blank line", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"},
  };
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (const Case& c : cases) {
    clients.push_back(std::make_unique<LoopbackClient>(port));
    if (!c.sent.empty()) clients.back()->send(c.sent);
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i]->read_to_end(10s), "") << cases[i].name;
    EXPECT_TRUE(clients[i]->closed()) << cases[i].name;
  }
  // A head sent in pieces, each well within the time, is answered.
  LoopbackClient pieces(port);
  pieces.send("GET /logo.png HTTP/1.1\r\n");
  std::this_thread::sleep_for(50ms);
  pieces.send("\r\n");
  EXPECT_EQ(split(pieces.read_to_end()).body, logo_png());
  EXPECT_EQ(err.text(), "");
}

// How many connections the server in this process has accepted on port and
// not yet closed, at one instant: a child made by fork holds the descriptor
// table as it stood then, and counts in it the sockets with that local port
// and a peer. The child makes only system calls, which are safe in the
// child of a process with threads.
size_t accepted_open(uint16_t port) {
  int result[2];
  if (::pipe2(result, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t child = ::fork();
  if (child == 0) {
    uint32_t open = 0;
    int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    alignas(dirent64) char entries[8192];
    for (ssize_t n; dir >= 0 && (n = ::getdents64(dir, entries, sizeof entries)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
        at += entry->d_reclen;
        int fd = 0;
        const char* c = entry->d_name;
        if (*c < '0' || *c > '9') continue;
        for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
        sockaddr_in local{}, peer{};
        socklen_t local_len = sizeof local, peer_len = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0) {
          ++open;
        }
      }
    }
    bool counted = dir >= 0 && ::write(result[1], &open, sizeof open) == sizeof open;
    ::_exit(counted ? 0 : 1);
  }
  ::close(result[1]);
  uint32_t open = 0;
  ssize_t got = child > 0 ? ::read(result[0], &open, sizeof open) : -1;
  ::close(result[0]);
  if (child > 0) ::waitpid(child, nullptr, 0);
  if (got != sizeof open) throw std::runtime_error("no count of open connections");
  return open;
}

// The most connections accepted and open at once while it lives, sampled
// without pause.
class OpenConnectionsSampler {
 public:
  explicit OpenConnectionsSampler(uint16_t port)
      : thread_([this, port] {
          while (!stop_) most_ = std::max(most_.load(), accepted_open(port));
        }) {}
  ~OpenConnectionsSampler() { most(); }
  size_t most() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    return most_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<size_t> most_{0};
  std::thread thread_;
};

// The whole answer to a GET of the logo (compared here so that a failure
// does not print the image).
bool is_logo_answer(const std::string& raw) {
  Answer a = split(raw);
  return a.status_line == "HTTP/1.1 200 OK" && a.head == expected_head("image/png", logo_png().size()) &&
         a.body == logo_png();
}

// More idle connections than places, each holding its place for the head
// time-out: a request that comes is still answered at once, the oldest idle
// ones having given way, and no more connections are ever open than there
// are places.
TEST_F(InspectorServer, IdleConnectionsGiveWayToARequest) {
  ServeLimits limits;
  limits.max_connections = 4;
  limits.head_timeout = 30s;
  start(sessions, limits);
  StderrCapture err;
  OpenConnectionsSampler sampler(port);
  constexpr size_t IDLE = 10;
  std::vector<std::unique_ptr<LoopbackClient>> idle;
  for (size_t i = 0; i < IDLE; ++i) idle.push_back(std::make_unique<LoopbackClient>(port));

  LoopbackClient request(port);
  request.send("GET /logo.png HTTP/1.1\r\n\r\n");
  // Far sooner than the head time-out, after which an idle place would free.
  EXPECT_TRUE(is_logo_answer(request.read_to_end(3s)));

  // The oldest gave way, closed without an answer; the newest three still
  // wait for their heads.
  for (size_t i = 0; i < IDLE; ++i) {
    if (i < IDLE - 3) {
      EXPECT_EQ(idle[i]->read_to_end(3s), "") << i;
      EXPECT_TRUE(idle[i]->closed()) << i;
    } else {
      EXPECT_FALSE(idle[i]->readable_within(100ms)) << i;
    }
  }
  EXPECT_LE(sampler.most(), limits.max_connections);
  EXPECT_EQ(accepted_open(port), 3u);
  EXPECT_EQ(err.text(), "");
}

// A session page of some megabytes: a connection that asks for it and reads
// nothing is held while it is being answered, its write waiting for the
// peer. Bigger than the most the kernel buffers on the way.
size_t write_big_session(const std::string& sessions) {
  size_t buffered = 0;
  std::istringstream wmem(read_file("/proc/sys/net/ipv4/tcp_wmem")), rmem(read_file("/proc/sys/net/ipv4/tcp_rmem"));
  size_t min = 0, def = 0, max = 0;
  if (wmem >> min >> def >> max) buffered += max;
  if (rmem >> min >> def >> max) buffered += def;
  size_t path = std::max<size_t>(4 << 20, buffered) + (1 << 20);
  write_file(sessions + "/big.jsonl",
             R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"","local_port":8080,"remote_url":"https://x.example"})"
             "\n"
             R"({"t":"begin","req":"1","ts":"2025-03-14T09:26:54+03:00","method":"GET","path":"/)" +
                 std::string(path, 'a') + "\"}\n");
  return path;
}

// The whole answer to a page request, its length as announced.
void expect_whole_page(LoopbackClient& c, size_t at_least) {
  Answer a = split(c.read_to_end(30s));
  EXPECT_EQ(a.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(a.head, expected_head(HTML, a.body.size()));
  EXPECT_GT(a.body.size(), at_least);
}

// Only a connection still reading its head gives way; one being answered
// never does. While every place is held by one being answered, a newcomer
// waits in the backlog until one is done.
TEST_F(InspectorServer, ConnectionsBeingAnsweredKeepTheirPlaces) {
  size_t page = write_big_session(sessions);
  ServeLimits limits;
  limits.max_connections = 2;
  limits.head_timeout = 30s;
  start(sessions, limits);

  // The older connection is being answered, the younger one is idle: the
  // idle one makes room.
  LoopbackClient answered(port);
  answered.send("GET /s/big HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(answered.readable_within(20s));
  LoopbackClient idle(port);
  LoopbackClient request(port);
  request.send("GET /logo.png HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(is_logo_answer(request.read_to_end(3s)));
  EXPECT_EQ(idle.read_to_end(3s), "");
  EXPECT_TRUE(idle.closed());
  expect_whole_page(answered, page);

  std::vector<std::unique_ptr<LoopbackClient>> busy;
  for (size_t i = 0; i < limits.max_connections; ++i) {
    busy.push_back(std::make_unique<LoopbackClient>(port));
    busy.back()->send("GET /s/big HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(busy.back()->readable_within(20s)) << i;
  }
  LoopbackClient waiting(port);
  waiting.send("GET /logo.png HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(waiting.readable_within(300ms));
  // Not accepted: it waits in the backlog, holding no descriptor here.
  EXPECT_EQ(accepted_open(port), limits.max_connections);
  expect_whole_page(*busy.front(), page);
  EXPECT_TRUE(is_logo_answer(waiting.read_to_end(10s)));
  expect_whole_page(*busy.back(), page);
}

// Clients on several threads at once against two places: idle ones that
// close on their own (some while they are being told to give way), heads
// cut off, and requests whose heads come just as a place is being made.
// A request is answered whole or closed unanswered, never cut short, and
// once the clients stop one more is answered at once.
TEST_F(InspectorServer, GivingWayHoldsUnderRaces) {
  ServeLimits limits;
  limits.max_connections = 2;
  limits.head_timeout = 30s;
  start(sessions, limits);
  StderrCapture err;
  const std::string answer = round_trip(port, "GET /logo.png HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(is_logo_answer(answer));

  constexpr int THREADS = 4, ROUNDS = 150;
  std::atomic<int> answered{0}, unanswered{0}, cut_short{0};
  std::vector<std::vector<std::unique_ptr<LoopbackClient>>> kept(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<LoopbackClient>>& idle = kept[static_cast<size_t>(t)];
      for (int round = 0; round < ROUNDS; ++round) {
        switch ((round + t) % 3) {
          case 0:
            idle.push_back(std::make_unique<LoopbackClient>(port));
            if (idle.size() > 3) idle.erase(idle.begin());
            break;
          case 1: {
            LoopbackClient c(port);
            c.send("GET /logo.png HTTP/1.1\r\n\r\n");
            std::string got = c.read_to_end(10s);
            if (got == answer) ++answered;
            else if (got.empty() && c.closed()) ++unanswered;
            else ++cut_short;
            break;
          }
          case 2: {
            LoopbackClient c(port);
            c.send("GET /logo.png HTTP/1.1\r\n");
            break;
          }
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(cut_short.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(answered.load() + unanswered.load(), THREADS * ROUNDS / 3);

  // Twelve idle connections are left for two places.
  LoopbackClient last(port);
  last.send("GET /logo.png HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(last.read_to_end(3s) == answer);
  EXPECT_LE(accepted_open(port), limits.max_connections);
  EXPECT_EQ(err.text(), "");
}

TEST(InspectorLimits, ConnectionBoundStaysWellBelowTheDescriptorLimit) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  struct Case {
    rlim_t soft;
    size_t bound;
  } cases[] = {{1024, MAX_CONNECTIONS}, {4096, MAX_CONNECTIONS}, {512, 128}, {64, 16}, {3, 1}};
  for (const Case& c : cases) {
    if (c.soft > old.rlim_max) continue;
    rlimit lowered = old;
    lowered.rlim_cur = c.soft;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    size_t bound = connection_bound();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(bound, c.bound) << c.soft;
  }
}

TEST_F(InspectorServer, FailuresAreReported) {
  StderrCapture err;
  std::filesystem::create_directory(sessions + "/dir.jsonl");
  LoopbackClient c(port);
  c.send("GET /s/dir HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_to_end(), "");
  EXPECT_TRUE(c.closed());
  ASSERT_TRUE(err.wait_for("inspector: ошибка обработки запроса: Is a directory\n"));

  LoopbackClient detail(port);
  detail.send("GET /s/dir/r/1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(detail.read_to_end(), "");
  EXPECT_EQ(err.text(), "inspector: ошибка обработки запроса: Is a directory\n"
                        "inspector: ошибка обработки запроса: Is a directory\n");

  // Not UTF-8.
  write_file(sessions + "/bin.jsonl", "\xff\n");
  EXPECT_EQ(round_trip(port, "GET /s/bin HTTP/1.1\r\n\r\n"), "");
  ASSERT_TRUE(err.wait_for("inspector: ошибка обработки запроса: stream did not contain valid UTF-8\n"));

  // A peer that resets the connection in the middle of its head.
  LoopbackClient torn(port);
  torn.send("GET / HTTP/1.1\r\nHost: loc");
  std::this_thread::sleep_for(50ms);
  torn.reset();
  EXPECT_TRUE(err.wait_for("inspector: ошибка обработки запроса: Connection reset by peer\n"));
  // The directory still lists, with the row it cannot read.
  EXPECT_NE(get("/").body.find("<a href=\"/s/dir\">dir</a>"), std::string::npos);
}

// Addresses that try to reach a file outside the sessions folder, and a
// link inside it that points outside: nothing of that file is ever shown.
TEST_F(InspectorServer, NothingOutsideTheSessionsFolderIsRead) {
  const std::string secret = R"({"t":"session","ts":"SECRET","proto":"HTTP","hostname":"SECRET","remote_url":"SECRET"})"
                             "\n"
                             R"({"t":"begin","req":"1","ts":"SECRET","method":"GET","path":"/SECRET"})"
                             "\n";
  write_file(dir / "secret.jsonl", secret);
  write_file(dir / "..jsonl", secret);
  std::filesystem::create_symlink(dir / "secret.jsonl", sessions + "/link.jsonl");

  struct Case {
    std::string target;
    const char* status_line;
    const char* body;
  } cases[] = {
      {"/s/../secret", "HTTP/1.1 404 Not Found", "Not Found"},
      {"/s/../secret/r/1", "HTTP/1.1 404 Not Found", "Not Found"},
      {"/s/..%2Fsecret", "HTTP/1.1 400 Bad Request", "Bad session id"},
      {"/s/%2e%2e%2fsecret/r/1", "HTTP/1.1 400 Bad Request", "Bad id"},
      {"/s/..", "HTTP/1.1 404 Not Found", "Session not found"},
      {"/s/../r/1", "HTTP/1.1 404 Not Found", "Session not found"},
      {"/s/.", "HTTP/1.1 404 Not Found", "Session not found"},
      {"/s/" + SESSION_ID + "/r/../../secret", "HTTP/1.1 400 Bad Request", "Bad id"},
      {"/s//secret", "HTTP/1.1 404 Not Found", "Not Found"},
      {"/s/\\..\\secret", "HTTP/1.1 400 Bad Request", "Bad session id"},
  };
  for (const Case& c : cases) {
    Answer a = get(c.target);
    EXPECT_EQ(a.status_line, c.status_line) << c.target;
    EXPECT_EQ(a.body, c.body) << c.target;
  }

  StderrCapture err;
  for (const char* target : {"/s/link", "/s/link/r/1"}) EXPECT_EQ(get(target).status_line, "") << target;
  EXPECT_TRUE(err.wait_for("inspector: ошибка обработки запроса: Too many levels of symbolic links\n"
                           "inspector: ошибка обработки запроса: Too many levels of symbolic links\n"));
  Answer index = get("/");
  EXPECT_NE(index.body.find("<a href=\"/s/link\">link</a>"), std::string::npos);
  EXPECT_EQ(index.body.find("SECRET"), std::string::npos);
}

TEST_F(InspectorServer, AcceptFailuresAreReportedWithoutSpinning) {
  // A full descriptor table makes every accept fail while the connection
  // waits in the backlog. The client's socket is made first; then no new
  // descriptor can be had until the limit is restored.
  StderrCapture err;
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int connected = ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_EQ(connected, 0);

  const std::string line = "inspector: ошибка accept: Too many open files\n";
  ASSERT_TRUE(err.wait_for(line));
  std::string text = err.text();
  size_t lines = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++lines;
  EXPECT_EQ(lines * line.size(), text.size()) << text;
  // Retrying at once would have written thousands of lines by now.
  EXPECT_LT(lines, 50u);

  // The loop goes on: once descriptors are free the waiting connection is
  // served.
  std::string request = "GET /logo.png HTTP/1.1\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::string answer;
  char buf[65536];
  for (ssize_t n; (n = ::recv(client, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  ::close(client);
  EXPECT_EQ(split(answer).body, logo_png());
}

TEST_F(InspectorServer, MissingSessionsDirectoryShowsNoSessions) {
  std::filesystem::remove_all(sessions);
  Answer a = get("/");
  EXPECT_EQ(a.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(a.body.find("Пока нет сессий."), std::string::npos);
  EXPECT_EQ(get("/s/" + SESSION_ID).body, "Session not found");
}

TEST(InspectorRoutes, Table) {
  struct Case {
    const char* path;
    Route::Kind kind;
    const char* session;
    const char* request;
  } cases[] = {
      {"/", Route::Index, "", ""},
      {"/?", Route::Index, "", ""},
      {"/?a/s/b", Route::Index, "", ""},
      {"/logo.png", Route::Logo, "", ""},
      {"/logo.png?v=2", Route::Logo, "", ""},
      {"/logo.png/", Route::NotFound, "", ""},
      {"/s/", Route::Session, "", ""},
      {"/s/abc", Route::Session, "abc", ""},
      {"/s/abc?x=/r/1", Route::Session, "abc", ""},
      {"/s/abc/", Route::NotFound, "", ""},
      {"/s/abc/r", Route::NotFound, "", ""},
      {"/s/abc/x/1", Route::NotFound, "", ""},
      {"/s/abc/r/", Route::Request, "abc", ""},
      {"/s/abc/r/1/2", Route::Request, "abc", "1/2"},
      {"/s//r/1", Route::Request, "", "1"},
      {"/s", Route::NotFound, "", ""},
      {"", Route::NotFound, "", ""},
      {"*", Route::NotFound, "", ""},
      {"//", Route::NotFound, "", ""},
  };
  for (const Case& c : cases) {
    Route r = route_of(c.path);
    EXPECT_EQ(r.kind, c.kind) << c.path;
    EXPECT_EQ(r.session_id, c.session) << c.path;
    EXPECT_EQ(r.request_id, c.request) << c.path;
  }
}

TEST(InspectorResponses, Head) {
  EXPECT_EQ(response_head(200, "text/html; charset=utf-8", 12),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 12\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(response_head(413, "text/plain; charset=utf-8", 17).substr(0, 32), "HTTP/1.1 413 Payload Too Large\r\n");
}

}  // namespace
}  // namespace vostrelin::inspector
