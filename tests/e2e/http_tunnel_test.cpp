// HTTP mode end to end: the program under test between the fake service
// and a local HTTP service started by the test. Requests relayed byte for
// byte with the rules applied, the head limits, the 504 answer (its head
// alone for HEAD), the trace lines and records (the final status after
// interim heads), ids the service reuses or never opened, a local service
// that stops reading, and large bodies both ways.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"
#include "support/fake_service.h"
#include "support/http_traffic.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/tunnel_frames.h"

namespace vostrelin {
namespace {

using namespace test;

const std::string ADDRESS = "Для подключения используйте: demo.tunnel.example\n";

std::string rule_frame(const std::string& json) { return "RULE." + std::to_string(json.size()) + "." + json; }

std::string rule(const char* type, const char* data, const char* action, const std::string& from,
                 const std::string& to, bool upgrade = false) {
  nlohmann::json j = {{"type", type}, {"dataType", data}, {"action", action}, {"from", from}, {"to", to},
                      {"applyToWebsocketUpgrade", upgrade}};
  return j.dump();
}

// The lines of out that are trace lines.
std::string trace_lines(const std::string& out) {
  std::string lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) break;
    std::string line = out.substr(start, end + 1 - start);
    if (line.find('\t') != std::string::npos) lines += line;
    start = end + 1;
  }
  return lines;
}

// Waits, bounded, until pred() holds.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A local service whose connections wait, unread, until the test lets
// them go.
class Gate {
 public:
  void hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    open_.wait_for(lock, 30s, [&] { return released_; });
  }
  void release() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_ = true;
    open_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable open_;
  bool released_ = false;
};

struct SessionRun {
  std::string out;
  std::string err;
  // Recorded sessions: each request's records as text, in order.
  std::map<std::string, std::vector<std::string>> records;
};

struct Options {
  std::vector<std::string> rules;  // JSON of each rule
  // Recorded sessions: how many "end" records the session file must hold
  // before it is read.
  std::optional<size_t> record_ends;
  Env env;
};

class HttpTunnel : public ::testing::Test {
 protected:
  HttpTunnel() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(home);
    program = install_program(bin);
    write_file(home + "/vostrelin.key", "token-123\n");
  }

  // One tunnel session towards local_port: the handshake, then script on
  // the service's end. When the script returns the service closes the
  // connection, which ends the session; once the client has connected
  // again, Ctrl+C ends the program.
  SessionRun run(uint16_t local_port, const std::function<void(FakeConnection&)>& script,
                 const Options& options = {}) {
    HandshakeScript handshake;
    handshake.rule_writes.clear();
    for (const std::string& json : options.rules) handshake.rule_writes.push_back(rule_frame(json));
    handshake.rule_writes.push_back("RULE.0.");
    std::atomic<int> n{0};
    FakeService service([&](FakeConnection& conn) {
      int k = ++n;
      if (!play_handshake(conn, handshake).completed) return;
      if (k == 1) {
        script(conn);
        return;
      }
      conn.wait_closed(30s);
    });
    Env env{{"HOME", home},
            {"PATH", "/usr/bin:/bin"},
            {"VOSTRELIN_TEST_SERVICE_PORT", service.port_text()},
            {"VOSTRELIN_TEST_SECOND_MS", "10"}};
    if (options.record_ends) {
      env["VOSTRELIN_INSPECTOR_PORT"] = std::to_string(free_port());
    } else {
      env["VOSTRELIN_INSPECTOR"] = "off";
    }
    for (const auto& [name, value] : options.env) env[name] = value;
    Process p({program, "HTTP", std::to_string(local_port)}, env);
    SessionRun result;
    EXPECT_TRUE(service.wait_connections(2, 60s)) << p.out() << p.err();
    // The second session's address line: the first session has ended.
    EXPECT_TRUE(eventually(
        [&] {
          p.wait_for_stdout("\x01", 10ms);
          return count_address(p.out()) >= 2;
        },
        20s))
        << p.out() << p.err();
    if (options.record_ends) result.records = read_records(*options.record_ends);
    p.signal(SIGINT);
    EXPECT_TRUE(p.wait(10s));
    EXPECT_EQ(p.status(), 0);
    result.out = p.out();
    result.err = p.err();
    // What the session wrote, without the reconnect that ended it.
    const std::string lost = "Соединение с сервером потеряно, переподключаюсь…\nПовтор через 1 сек\n";
    if (size_t at = result.err.find(lost); at != std::string::npos) result.err.erase(at, lost.size());
    return result;
  }

  static size_t count_address(const std::string& out) {
    size_t k = 0;
    for (size_t at = out.find(ADDRESS); at != std::string::npos; at = out.find(ADDRESS, at + 1)) ++k;
    return k;
  }

  // The first session file, once it holds `ends` "end" records.
  std::map<std::string, std::vector<std::string>> read_records(size_t ends) {
    std::map<std::string, std::vector<std::string>> records;
    eventually([&] {
      records.clear();
      std::vector<std::filesystem::path> files;
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(home + "/.vostrelin/sessions", ec)) {
        files.push_back(entry.path());
      }
      if (files.empty()) return false;
      // Only the first session has requests; the files of two sessions
      // in the same second do not sort by age.
      std::string text;
      for (const auto& file : files) text += read_file(file.string());
      size_t seen = 0;
      for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        nlohmann::json r = nlohmann::json::parse(text.substr(start, end - start));
        std::string t = r["t"];
        if (t == "session") continue;
        std::string line = t;
        if (r.contains("method")) line += " " + r["method"].get<std::string>() + " " + r["path"].get<std::string>();
        if (r.contains("kind")) line += " " + r["kind"].get<std::string>();
        if (r.contains("status")) line += " " + std::to_string(r["status"].get<int>());
        if (r.contains("total")) line += " " + std::to_string(r["total"].get<uint64_t>());
        if (r.contains("b64")) line += " " + base64_decode(r["b64"].get<std::string>()).value_or("?");
        records[r["req"].get<std::string>()].push_back(line);
        if (t == "end") ++seen;
      }
      return seen >= ends;
    });
    return records;
  }

  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::string program;
};

// One request per case, id 1: what the service sends, what the local
// service must read (or that no connection comes), and what the service
// must get back.
TEST_F(HttpTunnel, RequestsRelayedByteForByte) {
  const std::string get = "GET /a?b HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string pad_start = "GET /big HTTP/1.1\r\nX-Pad: ";
  const std::string head_65536 = pad_start + std::string(65536 - pad_start.size() - 4, 'p') + "\r\n\r\n";
  const std::string no_end_65536 = pad_start + std::string(65536 - pad_start.size(), 'p');
  std::string head_65_lines = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 65; ++i) head_65_lines += "X-" + std::to_string(i) + ": v\r\n";
  head_65_lines += "\r\n";
  const std::string ws = "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nContent-Length: 2\r\n\r\n";

  struct Case {
    const char* name;
    std::vector<std::string> rules;
    std::vector<std::string> payloads;      // "MESG." frames for id 1, after its "HTPO."
    std::optional<LocalRequest> local;      // nothing: no local connection
    bool answered;                          // the client closes id 1
    std::string err;
    std::string trace;
  } cases[] = {
      {"one request", {}, {get}, LocalRequest{get, ""}, true, "", "200\tGET\t/a?b\t"},
      {"head split over frames, body bytes with its end",
       {}, {"POST /p HTTP/1.1\r\nContent-Le", "ngth: 5\r\n\r\nab", "cde"},
       LocalRequest{"POST /p HTTP/1.1\r\nContent-Length: 5\r\n\r\n", "abcde"}, true, "", "200\tPOST\t/p\t"},
      {"header rules",
       {rule("HEADER", "PLAIN", "CREATE", "", "X-Tunnel: 1"), rule("HEADER", "PLAIN", "DELETE", "Cookie", "")},
       {"GET / HTTP/1.1\r\nCookie: c=1\r\nHost: h\r\n\r\n"},
       LocalRequest{"GET / HTTP/1.1\r\nHost: h\r\nX-Tunnel: 1\r\n\r\n", ""}, true, "", "200\tGET\t/\t"},
      {"body rules with Content-Length fixed", {rule("BODY", "PLAIN", "UPDATE", "cat", "tiger")},
       {"POST /b HTTP/1.1\r\nContent-Length: 7\r\n\r\na c", "at!!"},
       LocalRequest{"POST /b HTTP/1.1\r\nContent-Length: 9\r\n\r\n", "a tiger!!"}, true, "", "200\tPOST\t/b\t"},
      {"websocket upgrade never held back, protected header kept",
       {rule("BODY", "PLAIN", "UPDATE", "x", "y"), rule("HEADER", "PLAIN", "UPDATE", "Upgrade", "h2c", true)},
       {ws + "xx"}, LocalRequest{ws, "xx"}, true,
       "rule skipped for websocket upgrade: 'upgrade' is a protected header\n", "200\tGET\t/ws\t"},
      {"65536 collected bytes", {}, {head_65536.substr(0, 30000), head_65536.substr(30000)},
       LocalRequest{head_65536, ""}, true, "", "200\tGET\t/big\t"},
      {"65537 collected bytes", {}, {no_end_65536.substr(0, 30000), no_end_65536.substr(30000), "p"}, std::nullopt,
       true, "reqId=1: заголовки не уместились в 65536 байт\n", ""},
      {"more than 64 header lines", {}, {head_65_lines}, std::nullopt, false, "", ""},
  };
  for (const Case& c : cases) {
    std::mutex mutex;
    std::optional<LocalRequest> seen;
    const std::string reply = response(200, std::string("answer to ") + c.name);
    FakeService local([&](FakeConnection& conn) {
      std::optional<LocalRequest> request = read_request(conn);
      {
        std::lock_guard<std::mutex> guard(mutex);
        seen = request;
      }
      if (request) conn.send_now(reply);
    });
    Answers answers;
    SessionRun session = run(local.port(), [&](FakeConnection& conn) {
      conn.send(open_frame("1"));
      for (const std::string& payload : c.payloads) conn.send(mesg("1", payload));
      conn.send("PING.");
      ClientFrames frames(conn);
      std::vector<std::string> ids;
      if (c.answered) ids.push_back("1");
      EXPECT_TRUE(collect(frames, answers, ids, 1)) << c.name;
    }, {c.rules, std::nullopt, {}});
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(local.connections(), c.local ? 1u : 0u) << c.name;
    if (c.local) {
      ASSERT_TRUE(seen) << c.name;
      EXPECT_EQ(seen->head, c.local->head) << c.name;
      EXPECT_EQ(seen->body, c.local->body) << c.name;
    }
    const Answer& answer = answers.by_id["1"];
    EXPECT_EQ(answer.closed, c.answered) << c.name;
    EXPECT_EQ(answer.bytes, c.local ? reply : "") << c.name;
    EXPECT_FALSE(answer.after_close) << c.name;
    EXPECT_EQ(session.err, c.err) << c.name;
    EXPECT_EQ(trace_lines(session.out), c.local ? c.trace + std::to_string(reply.size()) + "\n" : "") << c.name;
  }
}

// The records of a held-back request and of its response, as the session
// file holds them.
TEST_F(HttpTunnel, RecordsBeforeAndAfterTheRules) {
  const std::string head = "POST /r HTTP/1.1\r\nContent-Length: 3\r\n\r\n";
  const std::string rewritten = "POST /r HTTP/1.1\r\nContent-Length: 5\r\nX-R: 1\r\n\r\n";
  const std::string reply_head = "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\n";
  FakeService local([&](FakeConnection& conn) {
    if (!read_request(conn)) return;
    conn.send(reply_head);
    conn.send_now("ok");
  });
  Options options;
  options.rules = {rule("BODY", "PLAIN", "UPDATE", "a", "bb"), rule("HEADER", "PLAIN", "CREATE", "", "X-R: 1")};
  options.record_ends = 1;
  Answers answers;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    conn.send(open_frame("1"));
    conn.send(mesg("1", head + "a"));
    conn.send(mesg("1", "ba"));
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, {"1"}));
    conn.send(close_frame("1"));
  }, options);
  EXPECT_EQ(answers.by_id["1"].bytes, reply_head + "ok");
  const std::string total = std::to_string(reply_head.size() + 2);
  EXPECT_EQ(session.records["1"], (std::vector<std::string>{
                                      "begin POST /r",
                                      "req_headers pre " + head,
                                      "req_body pre aba",
                                      "req_headers post " + rewritten,
                                      "req_body post bbbbb",
                                      "res_headers 201 " + reply_head,
                                      "res_body ok",
                                      "end 201 " + total,
                                  }));
  EXPECT_EQ(trace_lines(session.out), "201\tPOST\t/r\t" + total + "\n");
}

// Nothing listens at the local port: the client answers with its own 504
// page, in one "MESG." frame, then closes the request; later bytes of the
// request are recorded and dropped.
TEST_F(HttpTunnel, NothingListeningIsAnsweredWith504) {
  const uint16_t port = free_port();
  Options options;
  options.record_ends = 1;
  std::vector<ClientFrame> got;
  SessionRun session = run(port, [&](FakeConnection& conn) {
    conn.send(open_frame("1"));
    conn.send(mesg("1", "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
    ClientFrames frames(conn);
    for (int i = 0; i < 2; ++i) {
      if (std::optional<ClientFrame> f = frames.next()) got.push_back(*f);
    }
    conn.send(mesg("1", "0\r\n\r\n"));
    conn.send("PING.");
    std::optional<ClientFrame> pong = frames.next();
    EXPECT_TRUE(pong && pong->tag == "PONG");
    conn.send(close_frame("1"));
  }, options);
  ASSERT_EQ(got.size(), 2u);
  // The page comes out of the client whole; its text is checked on its own.
  const std::string page_start = "HTTP/1.1 504 Gateway Timeout\r\n";
  EXPECT_EQ(got[0].tag, "MESG");
  EXPECT_EQ(got[0].payload.substr(0, page_start.size()), page_start);
  const size_t head_size = got[0].payload.find("\r\n\r\n") + 4;
  EXPECT_NE(got[0].payload.find("Content-Length: " + std::to_string(got[0].payload.size() - head_size) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(got[1].tag, "HTPC");
  EXPECT_EQ(got[1].id, "1");
  EXPECT_EQ(trace_lines(session.out), "504\tPOST\t/x\t" + std::to_string(got[0].payload.size()) + "\n");
  EXPECT_EQ(session.err, "reqId=1: не удалось подключиться к :" + std::to_string(port) + " — Connection refused\n");
  const std::vector<std::string>& r = session.records["1"];
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0], "begin POST /x");
  EXPECT_EQ(r[3], "res_headers 504 " + got[0].payload.substr(0, head_size));
  EXPECT_EQ(r[4], "res_body " + got[0].payload.substr(head_size));
  EXPECT_EQ(r[5], "end 504 " + std::to_string(got[0].payload.size()));
  EXPECT_EQ(r[6], "req_body pre 0\r\n\r\n");
  EXPECT_EQ(r[7], "req_body post 0\r\n\r\n");
}

// A HEAD request with nothing listening gets the 504 head alone, with the
// page's Content-Length; a GET beside it gets head and page. The trace
// line and the records count what was sent.
TEST_F(HttpTunnel, HeadIsAnsweredWithThe504HeadAlone) {
  Options options;
  options.record_ends = 2;
  Answers answers;
  SessionRun session = run(free_port(), [&](FakeConnection& conn) {
    conn.send(open_frame("1"));
    conn.send(mesg("1", "GET /g HTTP/1.1\r\nHost: h\r\n\r\n"));
    conn.send(open_frame("2"));
    conn.send(mesg("2", "HEAD /h HTTP/1.1\r\nHost: h\r\n\r\n"));
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, {"1", "2"}));
    conn.send(close_frame("1"));
    conn.send(close_frame("2"));
  }, options);
  const std::string& full = answers.by_id["1"].bytes;
  const size_t head_size = full.find("\r\n\r\n") + 4;
  ASSERT_GT(full.size(), head_size);
  const std::string head = full.substr(0, head_size);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(full.size() - head_size) + "\r\n"), std::string::npos);
  EXPECT_EQ(answers.by_id["2"].bytes, head);
  EXPECT_EQ(answers.by_id["2"].frames, 1u);
  EXPECT_TRUE(answers.by_id["2"].closed);
  const std::string traces = trace_lines(session.out);
  EXPECT_NE(traces.find("504\tGET\t/g\t" + std::to_string(full.size()) + "\n"), std::string::npos) << traces;
  EXPECT_NE(traces.find("504\tHEAD\t/h\t" + std::to_string(head.size()) + "\n"), std::string::npos) << traces;
  const std::string head_request = "HEAD /h HTTP/1.1\r\nHost: h\r\n\r\n";
  EXPECT_EQ(session.records["2"], (std::vector<std::string>{
                                      "begin HEAD /h",
                                      "req_headers pre " + head_request,
                                      "req_headers post " + head_request,
                                      "res_headers 504 " + head,
                                      "end 504 " + std::to_string(head.size()),
                                  }));
  EXPECT_EQ(session.records["1"].size(), 6u);
}

// An upload answered "100 Continue" first: the bytes go back as the local
// service sent them, while the trace line and the records carry the final
// status, and the interim head is recorded with the final one.
TEST_F(HttpTunnel, StatusOfTheFinalHeadAfter100Continue) {
  const std::string request = "POST /upload HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
  const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string final_head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
  for (bool recording : {true, false}) {
    SCOPED_TRACE(recording ? "recording" : "not recording");
    FakeService local([&](FakeConnection& conn) {
      if (!read_request(conn)) return;
      // Apart, so that the client reads the interim head on its own.
      conn.send(go_on);
      conn.send_now(final_head + "done");
    });
    Options options;
    if (recording) options.record_ends = 1;
    Answers answers;
    SessionRun session = run(local.port(), [&](FakeConnection& conn) {
      conn.send(open_frame("1"));
      conn.send(mesg("1", request + "data"));
      ClientFrames frames(conn);
      EXPECT_TRUE(collect(frames, answers, {"1"}));
      conn.send(close_frame("1"));
    }, options);
    const std::string total = std::to_string(go_on.size() + final_head.size() + 4);
    EXPECT_EQ(answers.by_id["1"].bytes, go_on + final_head + "done");
    EXPECT_EQ(trace_lines(session.out), "200\tPOST\t/upload\t" + total + "\n");
    EXPECT_EQ(session.err, "");
    if (!recording) continue;
    EXPECT_EQ(session.records["1"], (std::vector<std::string>{
                                        "begin POST /upload",
                                        "req_headers pre " + request,
                                        "req_headers post " + request,
                                        "req_body pre data",
                                        "req_body post data",
                                        "res_headers 200 " + go_on + final_head,
                                        "res_body done",
                                        "end 200 " + total,
                                    }));
  }
}

// A local service that closes without a byte: status "---", 0 bytes, an
// "end" record and the close, but no response frame.
TEST_F(HttpTunnel, LocalServiceClosingWithoutAnswer) {
  FakeService local([&](FakeConnection& conn) { read_request(conn); });
  Options options;
  options.record_ends = 1;
  Answers answers;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    conn.send(open_frame("1"));
    conn.send(mesg("1", "GET /q HTTP/1.1\r\n\r\n"));
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, {"1"}));
  }, options);
  EXPECT_EQ(answers.by_id["1"].frames, 0u);
  EXPECT_EQ(trace_lines(session.out), "---\tGET\t/q\t0\n");
  EXPECT_EQ(session.records["1"], (std::vector<std::string>{"begin GET /q", "req_headers pre GET /q HTTP/1.1\r\n\r\n",
                                                            "req_headers post GET /q HTTP/1.1\r\n\r\n", "end 0 0"}));
  EXPECT_EQ(session.err, "");
}

// A second Open of an id in use starts a fresh request; the first one's
// response still comes back, under the same id, followed by its close.
// Close and Data for ids never opened change nothing.
TEST_F(HttpTunnel, ReusedAndUnknownIds) {
  Gate first_answer;
  std::atomic<int> served{0};
  FakeService local([&](FakeConnection& conn) {
    std::optional<LocalRequest> request = read_request(conn);
    if (!request) return;
    ++served;
    if (request->head.find("/first") != std::string::npos) first_answer.hold();
    conn.send_now(response(200, request->head.substr(0, request->head.find(' ', 4))));
  });
  std::vector<std::string> answers_for_5;
  size_t pongs = 0;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    conn.send(close_frame("9"));
    conn.send(mesg("8", "GET /never HTTP/1.1\r\n\r\n"));
    conn.send(open_frame("5"));
    conn.send(mesg("5", "GET /first HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(eventually([&] { return served == 1; }));
    conn.send(open_frame("5"));
    conn.send(mesg("5", "GET /second HTTP/1.1\r\n\r\n"));
    ClientFrames frames(conn);
    std::string current;
    // The second answer first, then the first once it is let go.
    bool let_go = false;
    while (answers_for_5.size() < 2) {
      if (!let_go && answers_for_5.size() == 1 && served == 2) {
        let_go = true;
        first_answer.release();
        conn.send("PING.");
      }
      std::optional<ClientFrame> f = frames.next();
      if (!f) break;
      if (f->tag == "PONG") {
        ++pongs;
      } else if (f->id != "5") {
        ADD_FAILURE() << "frame for id " << f->id;
      } else if (f->tag == "MESG") {
        current += f->payload;
      } else {
        answers_for_5.push_back(std::exchange(current, std::string()));
      }
    }
    // Everything the client sent is read before the service closes, or
    // the close would reset the connection.
    while (pongs == 0) {
      std::optional<ClientFrame> f = frames.next();
      if (!f) break;
      if (f->tag == "PONG") ++pongs;
    }
  });
  EXPECT_EQ(pongs, 1u);
  first_answer.release();
  EXPECT_EQ(answers_for_5, (std::vector<std::string>{response(200, "GET /second"), response(200, "GET /first")}));
  EXPECT_EQ(local.connections(), 2u);
  EXPECT_EQ(session.err, "");
}

// A local service that answers each request with its request line, except
// a request for /stuck, whose connection it never reads again until the
// gate opens.
void answer_unless_stuck(FakeConnection& conn, Gate& stuck) {
  std::string bytes;
  while (bytes.find("\r\n\r\n") == std::string::npos) {
    if (bytes.find("/stuck") != std::string::npos) {
      stuck.hold();
      return;
    }
    std::optional<std::string> more = conn.read_some(10s);
    if (!more || more->empty()) return;
    bytes += *more;
  }
  if (bytes.find("/stuck") != std::string::npos) {
    stuck.hold();
    return;
  }
  conn.send_now(response(200, bytes.substr(0, bytes.find(" HTTP"))));
}

// A local service that accepts a request and never reads it holds up no
// other request and no PING.
TEST_F(HttpTunnel, StuckLocalServiceHoldsUpNothingElse) {
  constexpr int OTHERS = 100;
  Gate stuck;
  FakeService local([&](FakeConnection& conn) { answer_unless_stuck(conn, stuck); });
  Answers answers;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    // More than the local connection's buffers take, less than the queue.
    const std::string body(2 << 20, 'u');
    conn.send(open_frame("1"));
    conn.send_now(
        mesg("1", "POST /stuck HTTP/1.1\r\nContent-Length: " + std::to_string(body.size() * 2) + "\r\n\r\n"));
    conn.send_now(mesg("1", body));
    conn.send_now(mesg("1", body));
    std::vector<std::string> ids;
    std::string burst;
    for (int i = 0; i < OTHERS; ++i) {
      std::string id = std::to_string(100 + i);
      ids.push_back(id);
      burst += open_frame(id) + mesg(id, "GET /r" + id + " HTTP/1.1\r\n\r\n");
      if (i % 10 == 9) burst += "PING.";
    }
    conn.send_now(burst);
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, ids, OTHERS / 10));
    for (const std::string& id : ids) EXPECT_EQ(answers.by_id[id].bytes, response(200, "GET /r" + id)) << id;
    EXPECT_FALSE(answers.by_id["1"].closed);
  });
  EXPECT_EQ(session.err, "");
  stuck.release();
  EXPECT_EQ(answers.pongs, static_cast<size_t>(OTHERS / 10));
}

// A request whose local service takes nothing while more than the queue's
// bound waits is closed, with a message; the tunnel goes on.
TEST_F(HttpTunnel, StuckLocalServiceIsClosedAtTheQueueBound) {
  Gate stuck;
  FakeService local([&](FakeConnection& conn) { answer_unless_stuck(conn, stuck); });
  Options options;
  options.env["VOSTRELIN_TEST_STALL_MS"] = "200";
  Answers answers;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    const std::string chunk(1 << 20, 'u');
    conn.send(open_frame("1"));
    conn.send_now(mesg("1", "POST /stuck HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n"));
    // Far more than the connection's buffers and the queue together take.
    for (int i = 0; i < 32; ++i) conn.send_now(mesg("1", chunk));
    conn.send(open_frame("2"));
    conn.send_now(mesg("2", "GET /after HTTP/1.1\r\n\r\n"));
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, {"1", "2"}));
    stuck.release();
  }, options);
  stuck.release();
  EXPECT_EQ(answers.by_id["1"].bytes, "");
  EXPECT_FALSE(answers.by_id["1"].after_close);
  EXPECT_EQ(answers.by_id["2"].bytes, response(200, "GET /after"));
  EXPECT_EQ(session.err,
            "reqId=1: ошибка записи в local: локальная сторона не принимает данные, в очереди больше 4 МиБ\n");
  EXPECT_NE(trace_lines(session.out).find("---\tPOST\t/stuck\t0\n"), std::string::npos) << session.out;
}

// 64 MiB up and 64 MiB down arrive intact, streamed through the tunnel.
TEST_F(HttpTunnel, LargeBodiesBothWays) {
  constexpr size_t SIZE = size_t{64} << 20;
  std::string pattern(SIZE, '\0');
  for (size_t i = 0; i < SIZE; ++i) pattern[i] = static_cast<char>((i * 7919) >> 5);
  const uint64_t expected = digest(pattern);
  FakeService local([&](FakeConnection& conn) {
    std::optional<LocalRequest> request = read_request(conn, 60s);
    if (!request) return;
    if (request->head.rfind("PUT", 0) == 0) {
      conn.send_now(response(200, std::to_string(request->body.size()) + " " + std::to_string(digest(request->body))));
    } else {
      conn.send_now("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(SIZE) + "\r\n\r\n");
      for (size_t at = 0; at < SIZE; at += 1 << 20) conn.send_now(std::string_view(pattern).substr(at, 1 << 20));
    }
  });
  Answers answers;
  SessionRun session = run(local.port(), [&](FakeConnection& conn) {
    conn.send(open_frame("1"));
    conn.send_now(mesg("1", "PUT /up HTTP/1.1\r\nContent-Length: " + std::to_string(SIZE) + "\r\n\r\n"));
    for (size_t at = 0; at < SIZE; at += 1 << 20) {
      conn.send_now(mesg("1", std::string_view(pattern).substr(at, 1 << 20)));
    }
    conn.send(open_frame("2"));
    conn.send_now(mesg("2", "GET /down HTTP/1.1\r\n\r\n"));
    ClientFrames frames(conn);
    EXPECT_TRUE(collect(frames, answers, {"1", "2"}, 0, 60s));
  });
  EXPECT_EQ(session.err, "");
  EXPECT_EQ(answers.by_id["1"].bytes, response(200, std::to_string(SIZE) + " " + std::to_string(expected)));
  const std::string& down = answers.by_id["2"].bytes;
  const std::string down_head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(SIZE) + "\r\n\r\n";
  ASSERT_EQ(down.size(), down_head.size() + SIZE);
  EXPECT_EQ(down.substr(0, down_head.size()), down_head);
  EXPECT_EQ(digest(std::string_view(down).substr(down_head.size())), expected);
  // Each read of the local connection goes out as one frame of at most 32768 bytes.
  EXPECT_GE(answers.by_id["2"].frames, SIZE / 32768);
}

}  // namespace
}  // namespace vostrelin
