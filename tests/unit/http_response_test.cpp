// The tunnel's reading of a local response (status, head recorded once,
// body records), the trace line and the 504 answer, without sockets.
#include "http_proxy/response.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http_proxy/trace.h"
#include "support/capture.h"

namespace vostrelin::http_proxy {
namespace {

using Lines = std::vector<std::string>;

struct RecordLog final : RecordSink {
  Lines lines;
  void begin(std::string_view, std::string_view) override { lines.push_back("begin"); }
  void req_headers(std::string_view, std::string_view) override { lines.push_back("req_headers"); }
  void req_body(std::string_view, std::string_view) override { lines.push_back("req_body"); }
  void res_headers(uint16_t s, std::string_view h) override {
    lines.push_back("res_headers " + std::to_string(s) + " " + std::string(h));
  }
  void res_body(std::string_view b) override { lines.push_back("res_body " + std::string(b)); }
  void end(uint16_t s, uint64_t t) override { lines.push_back("end " + std::to_string(s) + " " + std::to_string(t)); }
};

TEST(HttpResponse, ParseStatusCode) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<uint16_t> code;
  } cases[] = {
      {"ordinary", "HTTP/1.1 200 OK\r\n", 200},
      {"no reason", "HTTP/1.1 204\r\n", 204},
      {"bare LF", "HTTP/1.0 404 Not Found\n", 404},
      {"CR alone ends the line", "HTTP/1.1 301 Moved\rX", 301},
      {"plus sign", "HTTP/1.1 +302 Found\r\n", 302},
      {"zero", "HTTP/1.1 0 Zero\r\n", 0},
      {"largest", "HTTP/1.1 65535 X\r\n", 65535},
      {"too large", "HTTP/1.1 65536 X\r\n", std::nullopt},
      {"any protocol text", "ICY 200 OK\r\n", 200},
      {"two spaces", "HTTP/1.1  200 OK\r\n", std::nullopt},
      {"letters", "HTTP/1.1 2OO OK\r\n", std::nullopt},
      {"no space", "HTTP/1.1\r\n", std::nullopt},
      {"no line end yet", "HTTP/1.1 200 OK", std::nullopt},
      {"empty", "", std::nullopt},
      {"not UTF-8", "HTTP/1.1 200 \xff\r\n", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_status_code(c.bytes), c.code) << c.name;
}

// Each case: the reads of one response, then what was recorded and the
// status and total the trace line gets.
TEST(HttpResponse, TrackerRecordsTheHeadOnce) {
  const std::string head = "HTTP/1.1 201 Created\r\nA: b\r\n\r\n";
  const std::string long_status_line = "HTTP/1.1 200 " + std::string(60, 'x') + "\r\n\r\n";
  const std::string no_end(65537, 'h');
  struct Case {
    const char* name;
    Lines reads;
    Lines records;
    uint16_t status;
  } cases[] = {
      {"head and body in one read", {head + "body"},
       {"res_headers 201 " + head, "res_body body", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"head over several reads, the blank line split", {"HTTP/1.1 201 Cre", "ated\r\nA: b\r\n\r", "\nbo", "dy"},
       {"res_headers 201 " + head, "res_body bo", "res_body dy", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"status line longer than the window", {long_status_line},
       {"res_headers 0 " + long_status_line, "end 0 " + std::to_string(long_status_line.size())}, 0},
      {"ends before the blank line", {"HTTP/1.1 500 E\r\nX: y"},
       {"res_headers 500 HTTP/1.1 500 E\r\nX: y", "end 500 20"}, 500},
      {"no blank line past the limit", {no_end.substr(0, 40000), no_end.substr(40000), "tail"},
       {"res_headers 0 " + no_end, "res_body tail", "end 0 65541"}, 0},
      {"nothing at all", {}, {"end 0 0"}, 0},
  };
  for (const Case& c : cases) {
    RecordLog log;
    ResponseTracker tracker(&log);
    for (const std::string& read : c.reads) tracker.take(read);
    tracker.finish();
    EXPECT_EQ(log.lines, c.records) << c.name;
    EXPECT_EQ(tracker.status(), c.status) << c.name;

    ResponseTracker quiet(nullptr);
    uint64_t total = 0;
    for (const std::string& read : c.reads) {
      quiet.take(read);
      total += read.size();
    }
    quiet.finish();
    EXPECT_EQ(quiet.status(), c.status) << c.name;
    EXPECT_EQ(quiet.total(), total) << c.name;
  }
}

TEST(HttpResponse, StatusReadOnceTheWindowHoldsTheLineEnd) {
  ResponseTracker tracker(nullptr);
  tracker.take("HTTP/1.1 4");
  EXPECT_EQ(tracker.status(), 0);
  tracker.take("04 Not Found\r\n");
  EXPECT_EQ(tracker.status(), 404);
  tracker.take("HTTP/1.1 200 OK\r\n");  // only the start of the response counts
  EXPECT_EQ(tracker.status(), 404);
}

TEST(HttpResponse, TraceLine) {
  struct Case {
    uint16_t status;
    const char* colour;
    const char* text;
  } cases[] = {
      {0, "\x1b[90m", "---"}, {101, "\x1b[32m", "101"}, {299, "\x1b[32m", "299"}, {300, "\x1b[33m", "300"},
      {399, "\x1b[33m", "399"}, {400, "\x1b[31m", "400"}, {504, "\x1b[31m", "504"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trace_line(c.status, "GET", "/a b", 12, false), std::string(c.text) + "\tGET\t/a b\t12\n");
    EXPECT_EQ(trace_line(c.status, "GET", "/a b", 12, true),
              std::string(c.colour) + c.text + "\tGET\x1b[0m\t/a b\t12\n");
  }
  EXPECT_EQ(trace_line(200, "", "", 18446744073709551615u, false), "200\t\t\t18446744073709551615\n");
}

// Colour goes to a terminal only, decided at each line: the same process
// writes a plain line into a file and a coloured one into a terminal.
TEST(HttpResponse, PrintTraceColoursOnlyATerminal) {
  {
    test::CapturedStream out(STDOUT_FILENO);
    print_trace(504, "GET", "/", 3);
    EXPECT_EQ(out.text(), "504\tGET\t/\t3\n");
  }
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(terminal, STDOUT_FILENO);
  print_trace(504, "GET", "/", 3);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(terminal);
  std::string seen;
  char buffer[256];
  pollfd p{master, POLLIN, 0};
  while (seen.find('\n') == std::string::npos && ::poll(&p, 1, 2000) > 0) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  // The terminal turns "\n" into "\r\n" on its way out.
  EXPECT_EQ(seen, "\x1b[31m504\tGET\x1b[0m\t/\t3\r\n");
}

TEST(HttpResponse, GatewayTimeoutAnswer) {
  const std::string page =
      "<!DOCTYPE html><html><head><title>504 Gateway Timeout</title></head><body><h1>504 Gateway Timeout</h1>"
      "<p>Локальный сервер не отвечает.</p><p><a href=\"https://vostrelin.example\">Vostrelin</a></p></body></html>";
  EXPECT_EQ(gateway_timeout_response(),
            "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
}

}  // namespace
}  // namespace vostrelin::http_proxy
