// Reading session files back: listing, session pages and request details,
// with the broken, torn and out-of-order files a growing journal can hold.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "inspector/reader.h"
#include "inspector/record_lines.h"
#include "support/base64.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin::inspector {
namespace {

using namespace test;

std::string b64(std::string_view bytes) { return base64_encode(bytes); }

const std::string HEADER =
    R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"demo","local_port":8080,"remote_url":"https://x.example"})";

std::string begin(std::string_view req, std::string_view ts, std::string_view method, std::string_view path) {
  return R"({"t":"begin","req":")" + std::string(req) + R"(","ts":")" + std::string(ts) + R"(","method":")" +
         std::string(method) + R"(","path":")" + std::string(path) + "\"}";
}

std::string record(std::string_view t, std::string_view req, std::string_view rest) {
  return R"({"t":")" + std::string(t) + R"(","req":")" + std::string(req) + "\"" + std::string(rest) + "}";
}

std::string file(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

std::vector<std::string> ids(const std::vector<RequestSummary>& rows) {
  std::vector<std::string> out;
  for (const RequestSummary& r : rows) out.push_back(r.id);
  return out;
}

// --- session pages ---------------------------------------------------------

TEST(ReadSession, HeaderAndRequestsInFirstBeginOrder) {
  std::string text = file({
      HEADER,
      begin("5", "t1", "GET", "/a"),
      record("res_headers", "5", R"(,"status":404,"b64":"")"),
      begin("3", "t2", "POST", "/b"),
      record("end", "5", R"(,"status":200,"total":12,"ts":"t3")"),
      begin("5", "t4", "PUT", "/c"),
  });
  SessionContent s = read_session(text);
  EXPECT_EQ(s.header, (SessionHeaderMeta{"2025-03-14T09:26:53+03:00", "HTTP", "demo", "https://x.example"}));
  ASSERT_EQ(ids(s.requests), (std::vector<std::string>{"5", "3"}));
  // The second begin of 5 replaces what a begin gives and keeps the rest.
  EXPECT_EQ(s.requests[0], (RequestSummary{"5", "t4", "t3", "PUT", "/c", 12, 404}));
  EXPECT_EQ(s.requests[1], (RequestSummary{"3", "t2", "", "POST", "/b", 0, 0}));
}

TEST(ReadSession, StatusRules) {
  struct Case {
    const char* name;
    std::vector<std::string> records;
    uint16_t status;
  } cases[] = {
      {"response head wins over end", {record("res_headers", "1", R"(,"status":404)"),
                                       record("end", "1", R"(,"status":200)")}, 404},
      {"end alone", {record("end", "1", R"(,"status":200)")}, 200},
      {"end without status", {record("end", "1", "")}, 0},
      {"later response head replaces", {record("res_headers", "1", R"(,"status":404)"),
                                        record("res_headers", "1", R"(,"status":201)")}, 201},
      {"response head without status resets", {record("res_headers", "1", R"(,"status":404)"),
                                                record("res_headers", "1", "")}, 0},
      {"low 16 bits", {record("end", "1", R"(,"status":65736)")}, 200},
      {"fraction", {record("end", "1", R"(,"status":200.5)")}, 0},
      {"whole double", {record("end", "1", R"(,"status":200.0)")}, 0},
      {"negative", {record("end", "1", R"(,"status":-1)")}, 0},
      {"string", {record("end", "1", R"(,"status":"200")")}, 0},
      {"beyond 64 bits", {record("end", "1", R"(,"status":18446744073709551816)")}, 0},
  };
  for (const Case& c : cases) {
    std::string text = begin("1", "t", "GET", "/") + "\n";
    for (const std::string& r : c.records) text += r + "\n";
    SessionContent s = read_session(text);
    ASSERT_EQ(s.requests.size(), 1u) << c.name;
    EXPECT_EQ(s.requests[0].status, c.status) << c.name;
    std::optional<RequestDetail> d = read_request_detail(text, "1");
    ASSERT_TRUE(d) << c.name;
    EXPECT_EQ(d->status, c.status) << c.name;
  }
}

TEST(ReadSession, ToleratesBrokenAndForeignLines) {
  std::string text = "not json\n"
                     "\n"
                     "\r\n"
                     "[1,2]\n"
                     "{\"t\":5,\"req\":\"9\"}\n"
                     "{\"t\":\"mystery\",\"req\":\"1\"}\n" +
                     record("end", "1", R"(,"status":500,"total":3,"ts":"early")") + "\n" +  // before its begin
                     begin("1", "t1", "GET", "/x") + "\r\n" +
                     R"({"t":"begin","req":"","ts":"t"})" + "\n" +                         // no id
                     R"({"t":"begin","req":2,"ts":"t"})" + "\n" +                          // id no string
                     R"({"t":"begin","req":"7","ts":1,"method":null,"path":["/"]})" + "\n" +  // wrong types
                     record("end", "1", R"(,"total":-5,"ts":7)") + "\n" +
                     begin("10", "t10", "GET", "/nul") + std::string(1, '\0') + "{}\n" +  // NUL and more after a record
                     R"({"t":"begin","req":"8","ts":"t","meth)";  // torn last line
  SessionContent s = read_session(text);
  EXPECT_EQ(s.header, SessionHeaderMeta{});
  ASSERT_EQ(ids(s.requests), (std::vector<std::string>{"1", "7"}));
  EXPECT_EQ(s.requests[0], (RequestSummary{"1", "t1", "", "GET", "/x", 0, 0}));
  EXPECT_EQ(s.requests[1], (RequestSummary{"7", "", "", "", "", 0, 0}));
  EXPECT_EQ(read_request_detail(text, "10"), std::nullopt);
}

TEST(ReadSession, LastSessionRecordWins) {
  std::string text = file({HEADER, R"({"t":"session","ts":"x"})"});
  EXPECT_EQ(read_session(text).header, (SessionHeaderMeta{"x", "", "", ""}));
  // Also when it cannot be read.
  text = file({HEADER, R"({"t":"session","ts":null})"});
  EXPECT_EQ(read_session(text).header, SessionHeaderMeta{});
  // A session record with a name twice, parsed into a value, keeps the last.
  text = file({R"({"t":"session","ts":"a","ts":"b"})"});
  EXPECT_EQ(read_session(text).header.ts, "b");
}

TEST(ReadSession, LineEnds) {
  std::vector<std::string> got;
  auto collect = [&](std::string_view text) {
    got.clear();
    for_each_line(text, [&](std::string_view l) { got.emplace_back(l); });
    return got;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(collect(""), V{});
  EXPECT_EQ(collect("a"), V{"a"});
  EXPECT_EQ(collect("a\n"), V{"a"});
  EXPECT_EQ(collect("a\r\nb\r"), (V{"a", "b\r"}));
  EXPECT_EQ(collect("a\r\r\n\n"), (V{"a\r", ""}));
  EXPECT_EQ(collect("x\ry\n"), V{"x\ry"});
}

// --- request details -------------------------------------------------------

TEST(ReadRequestDetail, CollectsEveryRecordOfTheRequest) {
  std::string text = file({
      HEADER,
      begin("1", "2025-01-01T00:00:00+00:00", "POST", "/api"),
      begin("2", "t", "GET", "/other"),
      record("req_headers", "1", R"(,"kind":"pre","b64":")" + b64("PRE1") + "\""),
      record("req_headers", "1", R"(,"kind":"pre","b64":")" + b64("PRE2") + "\""),
      record("req_headers", "1", R"(,"kind":"post","b64":")" + b64("POST") + "\""),
      record("req_headers", "1", R"(,"kind":"PRE","b64":")" + b64("dropped") + "\""),
      record("req_body", "1", R"(,"kind":"pre","b64":")" + b64("abc") + "\""),
      record("req_body", "2", R"(,"kind":"pre","b64":")" + b64("zzz") + "\""),
      record("req_body", "1", R"(,"kind":"pre","b64":")" + b64("def") + "\""),
      record("req_body", "1", R"(,"kind":"post","b64":")" + b64("ABC") + "\""),
      record("req_body", "1", R"(,"kind":"PRE","b64":")" + b64("dropped") + "\""),
      record("res_headers", "1", R"(,"status":201,"b64":")" + b64("HTTP/1.1 201 Created\r\n\r\n") + "\""),
      record("res_body", "1", R"(,"b64":")" + b64("he") + "\""),
      record("res_body", "1", R"(,"b64":")" + b64("llo") + "\""),
      record("end", "1", R"(,"status":500,"total":30,"ts":"2025-01-01T00:00:01+00:00")"),
  });
  std::optional<RequestDetail> d = read_request_detail(text, "1");
  ASSERT_TRUE(d);
  RequestDetail want;
  want.id = "1";
  want.started = "2025-01-01T00:00:00+00:00";
  want.ended = "2025-01-01T00:00:01+00:00";
  want.method = "POST";
  want.path = "/api";
  want.req_headers_pre = "PRE2";
  want.req_headers_post = "POST";
  want.req_body_pre = "abcdef";
  want.req_body_post = "ABC";
  want.res_headers = "HTTP/1.1 201 Created\r\n\r\n";
  want.res_body = "hello";
  want.total = 30;
  want.status = 201;
  EXPECT_EQ(*d, want);
}

TEST(ReadRequestDetail, FoundOrNot) {
  std::string only_body = file({record("res_body", "4", R"(,"b64":")" + b64("x") + "\"")});
  std::optional<RequestDetail> d = read_request_detail(only_body, "4");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->id, "");
  EXPECT_EQ(d->method, "");
  EXPECT_EQ(d->res_body, "x");

  // A record of an unknown kind, or with a "t" that is no string, still
  // makes the request found.
  EXPECT_TRUE(read_request_detail(file({R"({"t":"odd","req":"4"})"}), "4"));
  EXPECT_TRUE(read_request_detail(file({R"({"req":"4"})"}), "4"));

  std::string numbers = file({R"({"t":"begin","req":7,"ts":"t"})"});
  EXPECT_FALSE(read_request_detail(numbers, "7"));
  EXPECT_FALSE(read_request_detail(file({begin("07", "t", "GET", "/")}), "7"));
  EXPECT_FALSE(read_request_detail("", "1"));
  // The end record before the begin record still counts.
  std::optional<RequestDetail> early =
      read_request_detail(file({record("end", "1", R"(,"total":9,"ts":"e")"), begin("1", "s", "GET", "/")}), "1");
  ASSERT_TRUE(early);
  EXPECT_EQ(early->ended, "e");
  EXPECT_EQ(early->total, 9u);
  EXPECT_EQ(early->started, "s");
}

TEST(ReadRequestDetail, InvalidBase64GivesNoBytes) {
  std::string text = file({
      record("req_headers", "1", R"(,"kind":"pre","b64":")" + b64("HEAD") + "\""),
      record("req_headers", "1", R"(,"kind":"pre","b64":"TWF=")"),  // trailing bits
      record("req_body", "1", R"(,"kind":"pre","b64":")" + b64("ab") + "\""),
      record("req_body", "1", R"(,"kind":"pre","b64":"YWJj\n")"),
      record("req_body", "1", R"(,"kind":"pre","b64":5)"),
      record("res_headers", "1", R"(,"status":200)"),
  });
  std::optional<RequestDetail> d = read_request_detail(text, "1");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->req_headers_pre, "");
  EXPECT_EQ(d->req_body_pre, "ab");
  EXPECT_EQ(d->res_headers, "");
  EXPECT_EQ(d->status, 200);
  EXPECT_EQ(decode_b64(Json::parse(R"({"b64":"YQ=="})")), "a");
  EXPECT_EQ(decode_b64(Json::parse(R"(["YQ=="])")), "");
}

TEST(ReadRequestDetail, ReadsBackWhatTheRecorderWrites) {
  const std::string head("GET /\xff HTTP/1.1\r\nX: \x01\"\\\r\n\r\n");
  const std::string body("\0\x80\xfe binary", 10);
  std::string text = session_line("2025-03-14T09:26:53.5+03:00", "HTTP", "my \"host\"", 8080, "https://u/\x7f") +
                     begin_line("0042", "2025-03-14T09:26:54+03:00", "PATCH", "/p?q=\"<&>\"\\\n") +
                     req_headers_line("0042", "pre", head) + req_headers_line("0042", "post", head + "Y") +
                     req_body_line("0042", "pre", body) + req_body_line("0042", "post", body) +
                     req_body_line("0042", "post", body) + res_headers_line("0042", 0, "") +
                     res_body_line("0042", body) + end_line("0042", 0, 18446744073709551615ull, "2025-03-14T09:26:55Z");

  EXPECT_EQ(read_session_header(std::string_view(text).substr(0, text.find('\n'))),
            (SessionHeaderMeta{"2025-03-14T09:26:53.5+03:00", "HTTP", "my \"host\"", "https://u/\x7f"}));
  SessionContent s = read_session(text);
  EXPECT_EQ(s.header.hostname, "my \"host\"");
  ASSERT_EQ(s.requests.size(), 1u);
  EXPECT_EQ(s.requests[0], (RequestSummary{"0042", "2025-03-14T09:26:54+03:00", "2025-03-14T09:26:55Z", "PATCH",
                                           "/p?q=\"<&>\"\\\n", 18446744073709551615ull, 0}));

  std::optional<RequestDetail> d = read_request_detail(text, "0042");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->req_headers_pre, head);
  EXPECT_EQ(d->req_headers_post, head + "Y");
  EXPECT_EQ(d->req_body_pre, body);
  EXPECT_EQ(d->req_body_post, body + body);
  EXPECT_EQ(d->res_headers, "");
  EXPECT_EQ(d->res_body, body);
  EXPECT_FALSE(read_request_detail(text, "42"));
}

// --- files -----------------------------------------------------------------

class SessionFiles : public RuntimeTest {
 protected:
  std::string put(const std::string& name, std::string_view content) {
    std::string path = dir / name;
    write_file(path, content);
    return path;
  }

  std::vector<SessionSummary> list() {
    Result<std::vector<SessionSummary>> r = run(list_sessions(dir.path()));
    EXPECT_TRUE(r.ok());
    return r.ok() ? *r : std::vector<SessionSummary>{};
  }

  static std::vector<std::string> ids_of(const std::vector<SessionSummary>& rows) {
    std::vector<std::string> out;
    for (const SessionSummary& r : rows) out.push_back(r.id);
    return out;
  }

  TempDir dir;
};

TEST_F(SessionFiles, ListingKeepsJsonlFilesNewestFirst) {
  for (const char* name : {"a.jsonl", "b.JSONL", ".jsonl", "notes.txt", "2024-01-01T10-00-00.jsonl",
                           "2024-01-02T09-00-00.jsonl", "my session.jsonl", "x.jsonl.bak", "x.", "..jsonl",
                           "\xff.jsonl", "ab.jsonl"}) {
    put(name, HEADER + "\n");
  }
  EXPECT_EQ(ids_of(list()), (std::vector<std::string>{"my session", "ab", "a", "2024-01-02T09-00-00",
                                                      "2024-01-01T10-00-00", "."}));
}

TEST_F(SessionFiles, ListingReadsHeaderAndCountsBeginMarkers) {
  put("1-full.jsonl", file({HEADER, begin("1", "t", "GET", "/"), begin("1", "t", "GET", "/"),
                            begin("1", "t", "GET", "/"), R"({"t": "begin","req":"2"})",
                            R"(not json, both markers: "t":"begin" "t": "begin")"}) +
                          R"({"t":"begin","req":"3","ts":")");  // still being written
  put("2-not-json.jsonl", file({"garbage", HEADER}));
  put("3-empty-first.jsonl", file({"", HEADER}));
  put("4-begin-first.jsonl", file({begin("1", "T0", "GET", "/")}));
  put("5-empty.jsonl", "");
  put("6-not-utf8.jsonl", file({HEADER, begin("1", "t", "GET", "/\xff")}));
  put("7-crlf.jsonl", HEADER + "\r\n" + begin("1", "t", "GET", "/") + "\r\n");
  std::filesystem::create_directory(dir / "8-directory.jsonl");
  ASSERT_EQ(::mkfifo((dir / "9-fifo.jsonl").c_str(), 0600), 0);
  // A link to a session file elsewhere is not followed.
  TempDir elsewhere;
  write_file(elsewhere / "secret.jsonl", file({HEADER, begin("1", "t", "GET", "/")}));
  std::filesystem::create_symlink(elsewhere / "secret.jsonl", dir / "10-link.jsonl");

  const SessionHeaderMeta h{"2025-03-14T09:26:53+03:00", "HTTP", "demo", "https://x.example"};
  auto row = [](std::string id, const SessionHeaderMeta& m, uint64_t n) {
    return SessionSummary{std::move(id), m.ts, m.proto, m.hostname, m.remote_url, n};
  };
  std::vector<SessionSummary> want = {
      row("9-fifo", {}, 0),
      row("8-directory", {}, 0),
      row("7-crlf", h, 1),
      row("6-not-utf8", {}, 0),
      row("5-empty", {}, 0),
      row("4-begin-first", {"T0", "", "", ""}, 1),
      row("3-empty-first", {}, 0),
      row("2-not-json", {}, 0),
      row("10-link", {}, 0),
      row("1-full", h, 6),
  };
  EXPECT_EQ(list(), want);
}

TEST_F(SessionFiles, MissingDirectoryListsNothing) {
  Result<std::vector<SessionSummary>> r = run(list_sessions(dir / "nope"));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  put("file", "x");
  r = run(list_sessions(dir / "file"));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
}

TEST_F(SessionFiles, LoadingMatchesTheTextReaders) {
  std::string text = file({HEADER, begin("1", "t", "GET", "/a"), begin("2", "t", "GET", "/b"),
                           record("res_body", "2", R"(,"b64":")" + b64("body") + "\"")}) +
                     "{\"t\":\"end\",\"req\":\"2\",\"sta";
  std::string path = put("s.jsonl", text);
  Result<SessionContent> s = run(load_session(path));
  ASSERT_TRUE(s.ok());
  SessionContent expected = read_session(text);
  EXPECT_EQ(s->header, expected.header);
  EXPECT_EQ(s->requests, expected.requests);
  EXPECT_EQ(s->requests.size(), 2u);

  Result<std::optional<RequestDetail>> d = run(load_request_detail(path, "2"));
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d->has_value());
  EXPECT_EQ(**d, *read_request_detail(text, "2"));
  Result<std::optional<RequestDetail>> none = run(load_request_detail(path, "3"));
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
}

TEST_F(SessionFiles, LinesAcrossReadPieces) {
  // A body line longer than one read, and a CR LF split between two reads.
  std::string big(200000, 'x');
  std::string line1 = record("res_body", "1", R"(,"b64":")" + b64(big) + "\"");
  std::string pad = std::string(65536 - 1, ' ');  // the CR lands on the last byte of the first read
  std::string text = pad + "\r\n" + line1 + "\n" + begin("1", "t", "GET", "/") + "\r\n";
  std::string path = put("big.jsonl", text);
  Result<std::optional<RequestDetail>> d = run(load_request_detail(path, "1"));
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d->has_value());
  EXPECT_EQ((*d)->res_body, big);
  EXPECT_EQ((*d)->method, "GET");

  std::vector<std::string> lines;
  ASSERT_TRUE(for_each_file_line(path, [&](std::string_view l) { lines.emplace_back(l); }).ok());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], pad);
  EXPECT_EQ(lines[1], line1);
}

// Lines that would cost far more to read than any line the recorder
// writes are skipped as broken, and the rest of the file reads as before.
// Each of them would otherwise be a begin record (or the header).
TEST_F(SessionFiles, DeepAndOversizedLinesAreSkipped) {
  const std::string deep =
      R"({"t":"begin","req":"8","ts":"t","x":)" + std::string(1000000, '[') + std::string(1000000, ']') + "}";
  const std::string huge = begin("9", "t", "GET", "/" + std::string(MAX_SESSION_LINE_BYTES, 'p'));
  const std::string huge_header = R"({"t":"session","ts":"T","pad":")" + std::string(MAX_SESSION_LINE_BYTES, ' ') + "\"}";
  const std::string middle = file({begin("1", "t1", "GET", "/a"), deep, begin("2", "t2", "GET", "/b"),
                                   record("end", "2", R"(,"status":204,"total":0,"ts":"t3")")});
  const SessionHeaderMeta h{"2025-03-14T09:26:53+03:00", "HTTP", "demo", "https://x.example"};
  struct Case {
    const char* name;
    std::string text;
    SessionHeaderMeta header;
    uint64_t markers;  // begin markers the index counts: the deep line's too
  } cases[] = {
      {"an oversized line in the middle and one without its LF at the end",
       file({HEADER, huge}) + middle + huge, h, 3},
      {"an oversized first line", file({huge_header}) + middle, {}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir sessions;
    std::string path = sessions / "s.jsonl";
    write_file(path, c.text);

    Result<SessionContent> s = load_session_now(path);
    ASSERT_TRUE(s.ok()) << s.error().describe();
    EXPECT_EQ(s->header, c.header);
    ASSERT_EQ(ids(s->requests), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(s->requests[1], (RequestSummary{"2", "t2", "t3", "GET", "/b", 0, 204}));
    SessionContent in_memory = read_session(c.text);
    EXPECT_EQ(in_memory.header, c.header);
    EXPECT_EQ(in_memory.requests, s->requests);

    Result<std::optional<RequestDetail>> skipped = load_request_detail_now(path, "9");
    ASSERT_TRUE(skipped.ok());
    EXPECT_FALSE(skipped->has_value());
    EXPECT_FALSE(read_request_detail(c.text, "8").has_value());
    EXPECT_FALSE(read_request_detail(c.text, "9").has_value());
    EXPECT_EQ(read_request_detail(c.text, "2")->status, 204);

    Result<std::vector<SessionSummary>> listed = list_sessions_now(sessions.path());
    ASSERT_TRUE(listed.ok());
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ((*listed)[0], (SessionSummary{"s", c.header.ts, c.header.proto, c.header.hostname,
                                            c.header.remote_url, c.markers}));
  }
}

TEST_F(SessionFiles, UnreadableFilesAreErrors) {
  struct Case {
    const char* name;
    std::string path;
    const char* message;
  } cases[] = {
      {"missing", dir / "missing.jsonl", "No such file or directory"},
      {"directory", dir / "d.jsonl", "Is a directory"},
      {"not UTF-8", put("bad.jsonl", HEADER + "\n\xc3\x28\n"), "stream did not contain valid UTF-8"},
      {"fifo", dir / "f.jsonl", "not a regular file"},
      {"link to a file elsewhere", dir / "link.jsonl", "Too many levels of symbolic links"},
  };
  TempDir elsewhere;
  write_file(elsewhere / "secret.jsonl", file({HEADER, begin("1", "t", "GET", "/")}));
  std::filesystem::create_symlink(elsewhere / "secret.jsonl", dir / "link.jsonl");
  std::filesystem::create_directory(dir / "d.jsonl");
  ASSERT_EQ(::mkfifo((dir / "f.jsonl").c_str(), 0600), 0);
  for (const Case& c : cases) {
    Result<SessionContent> s = run(load_session(c.path));
    ASSERT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.error().message(), c.message) << c.name;
    Result<std::optional<RequestDetail>> d = run(load_request_detail(c.path, "1"));
    ASSERT_FALSE(d.ok()) << c.name;
    EXPECT_EQ(d.error().message(), c.message) << c.name;
  }
}

}  // namespace
}  // namespace vostrelin::inspector
