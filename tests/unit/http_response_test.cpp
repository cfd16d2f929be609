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

// The reads of one response, then what was recorded and the status the
// trace line gets. A tracker without records must read the same status and
// count the same bytes.
struct TrackerCase {
  const char* name;
  Lines reads;
  Lines records;
  uint16_t status;
};

void expect_tracked(const TrackerCase& c) {
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
  EXPECT_EQ(tracker.total(), total) << c.name;
}

std::string end_of(const Lines& reads, uint16_t status) {
  size_t total = 0;
  for (const std::string& read : reads) total += read.size();
  return "end " + std::to_string(status) + " " + std::to_string(total);
}

TEST(HttpResponse, TrackerRecordsTheHeadOnce) {
  const std::string head = "HTTP/1.1 201 Created\r\nA: b\r\n\r\n";
  const std::string long_status_line = "HTTP/1.1 200 " + std::string(60, 'x') + "\r\n\r\n";
  const std::string no_end(65537, 'h');
  const TrackerCase cases[] = {
      {"head and body in one read", {head + "body"},
       {"res_headers 201 " + head, "res_body body", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"head over several reads, the blank line split", {"HTTP/1.1 201 Cre", "ated\r\nA: b\r\n\r", "\nbo", "dy"},
       {"res_headers 201 " + head, "res_body bo", "res_body dy", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"blank line split two and two", {"HTTP/1.1 201 Created\r\nA: b\r\n", "\r\nbody"},
       {"res_headers 201 " + head, "res_body body", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"blank line split one byte a read", {"HTTP/1.1 201 Created\r\nA: b", "\r", "\n", "\r", "\n", "body"},
       {"res_headers 201 " + head, "res_body body", "end 201 " + std::to_string(head.size() + 4)}, 201},
      {"status line longer than the window", {long_status_line},
       {"res_headers 0 " + long_status_line, "end 0 " + std::to_string(long_status_line.size())}, 0},
      {"ends before the blank line", {"HTTP/1.1 500 E\r\nX: y"},
       {"res_headers 500 HTTP/1.1 500 E\r\nX: y", "end 500 20"}, 500},
      {"no blank line past the limit", {no_end.substr(0, 40000), no_end.substr(40000), "tail"},
       {"res_headers 0 " + no_end, "res_body tail", "end 0 65541"}, 0},
      {"nothing at all", {}, {"end 0 0"}, 0},
  };
  for (const TrackerCase& c : cases) expect_tracked(c);
}

// Interim heads (100 to 199 but 101) are passed over for the status, and
// recorded with the final head as one head; the final head is read with a
// status window of its own.
TEST(HttpResponse, TrackerReadsTheFinalHeadAfterInterimOnes) {
  const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
  const std::string hints = "HTTP/1.1 103 Early Hints\r\nLink: <" + std::string(3000, 'l') + ">; rel=preload\r\n\r\n";
  const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n";
  const std::string processing = "HTTP/1.1 102 Processing\r\n\r\n";
  const std::string created = "HTTP/1.1 201 Created\r\n\r\n";
  const std::string upgrade = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
  const std::string bad_line = "HTTP/1.1  200 OK\r\n\r\n";
  const std::string long_line = "HTTP/1.1 200 " + std::string(60, 'x') + "\r\n\r\n";
  // A status line that ends at the last byte of its head's window.
  const std::string fits = "HTTP/1.1 202 " + std::string(64 - 13 - 2, 'y') + "\r\n\r\n";
  // Interim heads until just past the head limit; the reads cut heads in
  // the middle.
  std::string many;
  while (many.size() <= RESPONSE_HEAD_RECORD_LIMIT) many += go_on;
  const std::string before_limit = many.substr(0, 40001);
  const std::string crossing = many.substr(40001);

  const TrackerCase cases[] = {
      {"100 then 200, separate reads", {go_on, ok + "body"},
       {"res_headers 200 " + go_on + ok, "res_body body", end_of({go_on, ok + "body"}, 200)}, 200},
      {"100 then 200, one read", {go_on + ok + "body"},
       {"res_headers 200 " + go_on + ok, "res_body body", end_of({go_on + ok + "body"}, 200)}, 200},
      {"103 with a long Link header, then 404", {hints + missing + "gone"},
       {"res_headers 404 " + hints + missing, "res_body gone", end_of({hints + missing + "gone"}, 404)}, 404},
      {"100, 102, then 201", {go_on, processing, created + "x"},
       {"res_headers 201 " + go_on + processing + created, "res_body x",
        end_of({go_on, processing, created + "x"}, 201)},
       201},
      {"101 is final; what follows it is body", {upgrade + ok + "frames"},
       {"res_headers 101 " + upgrade, "res_body " + ok + "frames", end_of({upgrade + ok + "frames"}, 101)}, 101},
      {"heads split across reads, blank lines straddling",
       {"HTTP/1.1 1", "00 Continue\r\n\r", "\nHTTP/1.1 2", "00 OK\r\nContent-Length: 4\r\n\r", "\nbo", "dy"},
       {"res_headers 200 " + go_on + ok, "res_body bo", "res_body dy", end_of({go_on, ok, "body"}, 200)}, 200},
      {"interim blank line split one byte a read", {"HTTP/1.1 100 Continue", "\r", "\n", "\r", "\n", ok},
       {"res_headers 200 " + go_on + ok, end_of({go_on, ok}, 200)}, 200},
      {"the final head starts with the interim head's last read", {go_on + "HTTP/1.1 2", "00 OK\r\n\r\n"},
       {"res_headers 200 " + go_on + "HTTP/1.1 200 OK\r\n\r\n", end_of({go_on, "HTTP/1.1 200 OK\r\n\r\n"}, 200)},
       200},
      {"final status line whole within its own window", {go_on + fits + "z"},
       {"res_headers 202 " + go_on + fits, "res_body z", end_of({go_on + fits + "z"}, 202)}, 202},
      {"final status line longer than its window", {go_on + long_line + ok},
       {"res_headers 0 " + go_on + long_line, "res_body " + ok, end_of({go_on + long_line + ok}, 0)}, 0},
      {"bad code after an interim head: final, status 0", {go_on + bad_line + ok},
       {"res_headers 0 " + go_on + bad_line, "res_body " + ok, end_of({go_on + bad_line + ok}, 0)}, 0},
      {"ends after an interim head", {go_on}, {"res_headers 0 " + go_on, end_of({go_on}, 0)}, 0},
      {"ends with the final status line read, its head not ended", {go_on + "HTTP/1.1 500 E\r\nX: y"},
       {"res_headers 500 " + go_on + "HTTP/1.1 500 E\r\nX: y", end_of({go_on + "HTTP/1.1 500 E\r\nX: y"}, 500)},
       500},
      {"ends within the final status line", {go_on + "HTTP/1.1 20"},
       {"res_headers 0 " + go_on + "HTTP/1.1 20", end_of({go_on + "HTTP/1.1 20"}, 0)}, 0},
      {"interim heads count against the head limit", {before_limit, crossing, ok + "body"},
       {"res_headers 0 " + many, "res_body " + ok + "body", end_of({many, ok + "body"}, 0)}, 0},
      {"a final head in the read that crosses the limit is found", {before_limit, crossing + ok + "body"},
       {"res_headers 200 " + many + ok, "res_body body", end_of({many, ok + "body"}, 200)}, 200},
  };
  for (const TrackerCase& c : cases) expect_tracked(c);
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

// HEAD gets the head alone, still with the page's length; any other
// method (methods are case-sensitive) gets the page after it.
TEST(HttpResponse, GatewayTimeoutAnswer) {
  const std::string page =
      "<!DOCTYPE html><html><head><title>504 Gateway Timeout</title></head><body><h1>504 Gateway Timeout</h1>"
      "<p>Локальный сервер не отвечает.</p><p><a href=\"https://vostrelin.example\">Vostrelin</a></p></body></html>";
  const std::string head = "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                           std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* method;
    std::string answer;
  } cases[] = {{"GET", head + page}, {"POST", head + page}, {"HEAD", head}, {"head", head + page}, {"", head + page}};
  for (const Case& c : cases) EXPECT_EQ(gateway_timeout_response(c.method), c.answer) << c.method;
}

}  // namespace
}  // namespace vostrelin::http_proxy
