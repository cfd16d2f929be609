// The reader's side of an HTTP request, without sockets: the head parsed
// from the collected bytes, the decision to hold a body back, the rewritten
// head and body handed to the local connection, the bytes queued after it,
// and the records in the order they are made.
#include "http_proxy/request_machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vostrelin::http_proxy {
namespace {

using Action = ChunkOutcome::Action;

// Records as text lines, in order.
struct RecordLog final : RecordSink {
  std::vector<std::string> lines;
  void begin(std::string_view m, std::string_view p) override { add("begin " + std::string(m) + " " + std::string(p)); }
  void req_headers(std::string_view k, std::string_view h) override { add("req_headers " + std::string(k) + " " + std::string(h)); }
  void req_body(std::string_view k, std::string_view b) override { add("req_body " + std::string(k) + " " + std::string(b)); }
  void res_headers(uint16_t s, std::string_view h) override { add("res_headers " + std::to_string(s) + " " + std::string(h)); }
  void res_body(std::string_view b) override { add("res_body " + std::string(b)); }
  void end(uint16_t s, uint64_t t) override { add("end " + std::to_string(s) + " " + std::to_string(t)); }
  void add(std::string line) { lines.push_back(std::move(line)); }
};

Rule header_rule(RuleAction action, std::string from, std::string to, bool upgrade = false) {
  return {RuleType::HEADER, RuleDataType::PLAIN, action, std::move(from), std::move(to), upgrade};
}
Rule body_rule(std::string from, std::string to) {
  return {RuleType::BODY, RuleDataType::PLAIN, RuleAction::UPDATE, std::move(from), std::move(to), false};
}
Rule json_rule(std::string path, std::string to) {
  return {RuleType::BODY, RuleDataType::JSON, RuleAction::UPDATE, std::move(path), std::move(to), false};
}

// What the reader did with the chunks of one request, as text.
struct Trace {
  std::vector<std::string> actions;  // "wait", "too large", "forward <head>|<body>", "push <bytes>"
  std::vector<std::string> messages;
  std::vector<std::string> records;
  RequestPhase phase;
};

Trace feed(const std::vector<std::string>& chunks, const std::vector<Rule>& rules, size_t max_held = 1 << 20,
           bool recording = true) {
  SessionRules compiled(rules);
  RequestState state;
  state.has_body_rules = compiled.has_body_rules;
  RecordLog log;
  Trace t;
  for (const std::string& chunk : chunks) {
    ChunkOutcome out = advance_request(state, "7", chunk, compiled, recording ? &log : nullptr, max_held);
    switch (out.action) {
      case Action::None: t.actions.push_back("wait"); break;
      case Action::TooLarge: t.actions.push_back("too large"); break;
      case Action::Forward: t.actions.push_back("forward " + out.head + "|" + out.body); break;
      case Action::Push: t.actions.push_back("push " + out.body); break;
    }
    for (std::string& m : out.messages) t.messages.push_back(std::move(m));
    if (out.action == Action::TooLarge) break;
  }
  t.records = log.lines;
  t.phase = state.phase;
  return t;
}

using Lines = std::vector<std::string>;

TEST(HttpRequest, ParseHeaders) {
  struct Case {
    const char* name;
    std::string head;
    bool parses;
    std::string method, path;
    uint64_t content_length;
    bool upgrade;
  };
  const std::string get = "GET /p?q HTTP/1.1\r\n";
  const Case cases[] = {
      {"plain", get + "Host: h\r\n\r\n", true, "GET", "/p?q", 0, false},
      {"any method token", "BREW /pot HTTP/1.1\r\n\r\n", true, "BREW", "/pot", 0, false},
      {"content length", get + "Content-Length: 12\r\n\r\n", true, "GET", "/p?q", 12, false},
      {"plus sign and white space", get + "content-length: +7 \r\n\r\n", true, "GET", "/p?q", 7, false},
      {"unreadable length is 0", get + "Content-Length: 1x\r\n\r\n", true, "GET", "/p?q", 0, false},
      {"overflow is 0", get + "Content-Length: 18446744073709551616\r\n\r\n", true, "GET", "/p?q", 0, false},
      {"largest length", get + "Content-Length: 18446744073709551615\r\n\r\n", true, "GET", "/p?q",
       18446744073709551615u, false},
      {"the last length decides", get + "Content-Length: 5\r\nContent-Length: 9\r\n\r\n", true, "GET", "/p?q", 9,
       false},
      {"a length that is not UTF-8 is passed over", get + "Content-Length: 5\r\nContent-Length: \xff\r\n\r\n",
       true, "GET", "/p?q", 5, false},
      {"an unreadable last length is 0", get + "Content-Length: 5\r\nContent-Length: x\r\n\r\n", true, "GET",
       "/p?q", 0, false},
      {"upgrade in any case, among others", get + "Upgrade: h2c, WebSocket\r\n\r\n", true, "GET", "/p?q", 0, true},
      {"a later upgrade does not undo it", get + "Upgrade: websocket\r\nUpgrade: h2c\r\n\r\n", true, "GET", "/p?q",
       0, true},
      {"other upgrade", get + "Upgrade: h2c\r\n\r\n", true, "GET", "/p?q", 0, false},
      {"partial", get + "Host: h\r\n", false, "", "", 0, false},
      {"invalid", "GET / HTTP/2.0\r\n\r\n", false, "", "", 0, false},
  };
  for (const Case& c : cases) {
    std::optional<ParsedHead> parsed = parse_headers(c.head + "BODY");
    ASSERT_EQ(parsed.has_value(), c.parses) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->method, c.method) << c.name;
    EXPECT_EQ(parsed->path, c.path) << c.name;
    EXPECT_EQ(parsed->header_len, c.head.size()) << c.name;
    EXPECT_EQ(parsed->content_length, c.content_length) << c.name;
    EXPECT_EQ(parsed->is_websocket_upgrade, c.upgrade) << c.name;
  }
}

TEST(HttpRequest, HeaderLinesUpToTheSlots) {
  auto head_with = [](int lines) {
    std::string h = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < lines; ++i) h += "X-" + std::to_string(i) + ": v\r\n";
    return h + "\r\n";
  };
  EXPECT_TRUE(parse_headers(head_with(64)));
  EXPECT_FALSE(parse_headers(head_with(65)));
  // Such a request waits for more bytes, until the head limit ends it.
  Trace t = feed({head_with(65)}, {});
  EXPECT_EQ(t.actions, Lines{"wait"});
  EXPECT_TRUE(t.records.empty());
}

// Requests forwarded as soon as their head is complete: the header rules
// only, the rest of the chunk as the first body bytes, later chunks queued.
TEST(HttpRequest, ForwardedAtOnce) {
  const std::string post = "POST /u HTTP/1.1\r\nContent-Length: 6\r\n\r\n";
  const std::vector<Rule> no_rules;
  const std::vector<Rule> add_header = {header_rule(RuleAction::CREATE, "", "X-A: 1")};
  const std::vector<Rule> with_body_rule = {body_rule("a", "b")};
  const std::string post_with_a = "POST /u HTTP/1.1\r\nContent-Length: 6\r\nX-A: 1\r\n\r\n";
  const std::string ws = "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nContent-Length: 2\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<Rule> rules;
    Lines actions;
    Lines records;
  } cases[] = {
      {"head split over frames, body with its end", {"POST /u HT", "TP/1.1\r\nContent-Len", "gth: 6\r\n\r\nab", "cdef"},
       no_rules, {"wait", "wait", "forward " + post + "|ab", "push cdef"},
       {"begin POST /u", "req_headers pre " + post, "req_headers post " + post, "req_body pre ab",
        "req_body post ab", "req_body pre cdef", "req_body post cdef"}},
      {"header rule applied and recorded post", {post, "abcdef"}, add_header,
       {"forward " + post_with_a + "|", "push abcdef"},
       {"begin POST /u", "req_headers pre " + post, "req_headers post " + post_with_a, "req_body pre abcdef",
        "req_body post abcdef"}},
      {"no body rule: the body streams", {post + "aaa", "aaa"}, add_header,
       {"forward " + post_with_a + "|aaa", "push aaa"},
       {"begin POST /u", "req_headers pre " + post, "req_headers post " + post_with_a, "req_body pre aaa",
        "req_body post aaa", "req_body pre aaa", "req_body post aaa"}},
      {"content length 0", {"POST /z HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}, with_body_rule,
       {"forward POST /z HTTP/1.1\r\nContent-Length: 0\r\n\r\n|"},
       {"begin POST /z", "req_headers pre POST /z HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "req_headers post POST /z HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}},
      {"no content length (chunked)", {"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n"},
       with_body_rule, {"forward POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n|1\r\na\r\n"},
       {"begin POST /c", "req_headers pre POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
        "req_headers post POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "req_body pre 1\r\na\r\n",
        "req_body post 1\r\na\r\n"}},
      {"websocket upgrade never held back", {ws + "aa"}, with_body_rule, {"forward " + ws + "|aa"},
       {"begin GET /ws", "req_headers pre " + ws, "req_headers post " + ws, "req_body pre aa", "req_body post aa"}},
      {"an empty later chunk is queued, not recorded", {post, ""}, no_rules, {"forward " + post + "|", "push "},
       {"begin POST /u", "req_headers pre " + post, "req_headers post " + post}},
  };
  for (const Case& c : cases) {
    Trace t = feed(c.chunks, c.rules);
    EXPECT_EQ(t.actions, c.actions) << c.name;
    EXPECT_EQ(t.records, c.records) << c.name;
    EXPECT_EQ(t.phase, RequestPhase::Streaming) << c.name;
    // Without a recorder the same happens, unrecorded.
    Trace quiet = feed(c.chunks, c.rules, 1 << 20, false);
    EXPECT_EQ(quiet.actions, c.actions) << c.name;
  }
}

// Bodies held back for the body rules, rewritten whole with their
// Content-Length set to the new length.
TEST(HttpRequest, HeldBackForTheBodyRules) {
  const std::vector<Rule> a_to_bb = {body_rule("a", "bb"), header_rule(RuleAction::CREATE, "", "X-R: 1")};
  const std::string head3 = "POST /b HTTP/1.1\r\nContent-Length: 3\r\n\r\n";
  const std::string out5 = "POST /b HTTP/1.1\r\nContent-Length: 5\r\nX-R: 1\r\n\r\n";
  const std::string json_head = "PUT /j HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 13\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<Rule> rules;
    Lines actions;
    Lines records;
  } cases[] = {
      {"body over two frames", {head3 + "a", "ba", "later"}, a_to_bb, {"wait", "forward " + out5 + "|bbbbb", "push later"},
       {"begin POST /b", "req_headers pre " + head3, "req_body pre aba", "req_headers post " + out5,
        "req_body post bbbbb", "req_body pre later", "req_body post later"}},
      {"body in the head's chunk", {head3 + "aba"}, a_to_bb, {"forward " + out5 + "|bbbbb"},
       {"begin POST /b", "req_headers pre " + head3, "req_body pre aba", "req_headers post " + out5,
        "req_body post bbbbb"}},
      {"bytes beyond the declared length are part of the body", {head3 + "xyzw"}, a_to_bb,
       {"forward POST /b HTTP/1.1\r\nContent-Length: 4\r\nX-R: 1\r\n\r\n|xyzw"},
       {"begin POST /b", "req_headers pre " + head3, "req_body pre xyzw",
        "req_headers post POST /b HTTP/1.1\r\nContent-Length: 4\r\nX-R: 1\r\n\r\n", "req_body post xyzw"}},
      {"JSON path compiled once for the session", {json_head + "{\"k\":\"v\",\"n\":1}"}, {json_rule("$.k", "\"w\"")},
       {"forward PUT /j HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n|{\"k\":\"w\",\"n\":1}"},
       {"begin PUT /j", "req_headers pre " + json_head, "req_body pre {\"k\":\"v\",\"n\":1}",
        "req_headers post PUT /j HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n",
        "req_body post {\"k\":\"w\",\"n\":1}"}},
      // The last length decides to hold back; the first decides when the
      // body is complete and is the one set.
      {"first length 0, last 3", {"POST /d HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 3\r\n\r\na"}, a_to_bb,
       {"forward POST /d HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\nX-R: 1\r\n\r\n|bb"},
       {"begin POST /d", "req_headers pre POST /d HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 3\r\n\r\n",
        "req_body pre a",
        "req_headers post POST /d HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\nX-R: 1\r\n\r\n",
        "req_body post bb"}},
      {"first length 3, last 0: not held", {"POST /e HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 0\r\n\r\na"},
       a_to_bb, {"forward POST /e HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 0\r\nX-R: 1\r\n\r\n|a"},
       {"begin POST /e", "req_headers pre POST /e HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 0\r\n\r\n",
        "req_headers post POST /e HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 0\r\nX-R: 1\r\n\r\n",
        "req_body pre a", "req_body post a"}},
  };
  for (const Case& c : cases) {
    Trace t = feed(c.chunks, c.rules);
    EXPECT_EQ(t.actions, c.actions) << c.name;
    EXPECT_EQ(t.records, c.records) << c.name;
    EXPECT_TRUE(t.messages.empty()) << c.name;
  }
}

// A body longer than may be held back reaches the local service whole,
// unrewritten, with one message naming the request.
TEST(HttpRequest, BodyOverTheHoldBackBound) {
  const std::vector<Rule> rules = {body_rule("a", "b")};
  const std::string message = "reqId=7: тело запроса больше 8 байт, передаю его без правил для тела\n";
  const std::string big = "POST /big HTTP/1.1\r\nContent-Length: 20\r\n\r\n";
  const std::string lying = "POST /l HTTP/1.1\r\nContent-Length: 100\r\nContent-Length: 4\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines actions;
    Lines records;
  } cases[] = {
      {"declared longer than the bound", {big + "aaaa", "aaaa"}, {"forward " + big + "|aaaa", "push aaaa"},
       {"begin POST /big", "req_headers pre " + big, "req_headers post " + big, "req_body pre aaaa",
        "req_body post aaaa", "req_body pre aaaa", "req_body post aaaa"}},
      {"grows past the bound while held", {lying + "aaaaa", "aaaa", "aa"},
       {"wait", "forward " + lying + "|aaaaaaaaa", "push aa"},
       {"begin POST /l", "req_headers pre " + lying, "req_headers post " + lying, "req_body pre aaaaaaaaa",
        "req_body post aaaaaaaaa", "req_body pre aa", "req_body post aa"}},
  };
  for (const Case& c : cases) {
    Trace t = feed(c.chunks, rules, 8);
    EXPECT_EQ(t.actions, c.actions) << c.name;
    EXPECT_EQ(t.records, c.records) << c.name;
    EXPECT_EQ(t.messages, Lines{message}) << c.name;
  }
}

TEST(HttpRequest, HeadLimit) {
  const std::string message = "reqId=7: заголовки не уместились в 65536 байт\n";
  const std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
  const std::string pad_to_limit(65536 - start.size(), 'p');
  const std::string short_head = "POST / HTTP/1.1\r\nContent-Length: 70000\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines actions;
    Lines messages;
  } cases[] = {
      {"65536 bytes collected wait", {start, pad_to_limit}, {"wait", "wait"}, {}},
      {"65537 end the request", {start, pad_to_limit, "x"}, {"wait", "wait", "too large"}, {message}},
      {"in one chunk", {start + pad_to_limit + "x"}, {"too large"}, {message}},
      {"a short head whose body brings the count past the limit",
       {short_head + std::string(65537 - short_head.size(), 'b')}, {"too large"}, {message}},
  };
  for (const Case& c : cases) {
    Trace t = feed(c.chunks, {});
    EXPECT_EQ(t.actions, c.actions) << c.name;
    EXPECT_EQ(t.messages, c.messages) << c.name;
    EXPECT_TRUE(t.records.empty()) << c.name;
  }
}

TEST(HttpRequest, ProtectedHeaderWarningOnUpgrade) {
  const std::string ws = "GET /ws HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  Trace t = feed({ws}, {header_rule(RuleAction::UPDATE, "Host", "other", true)});
  EXPECT_EQ(t.actions, Lines{"forward " + ws + "|"});
  EXPECT_EQ(t.messages, Lines{"rule skipped for websocket upgrade: 'host' is a protected header\n"});
}

}  // namespace
}  // namespace vostrelin::http_proxy
