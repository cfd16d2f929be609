#include "inspector/recorder.h"
#include "inspector/server.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "inspector/reader.h"
#include "inspector/record_lines.h"
#include "inspector/session_file_writer.h"
#include "support/env.h"
#include "support/base64.h"
#include "support/clock.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin::inspector {
namespace {

using namespace std::chrono_literals;
using test::read_file;
using test::RuntimeTest;
using test::TempDir;
using test::write_file;

const std::string REPLACEMENT = "\xEF\xBF\xBD";

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string> member_names(const Json& record) {
  std::vector<std::string> names;
  for (auto it = record.begin(); it != record.end(); ++it) names.push_back(it.key());
  return names;
}

const std::regex RFC3339_LOCAL(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?[+-]\d\d:\d\d)");

// Standard error redirected into a file that can be read at any moment.
class StderrCapture {
 public:
  StderrCapture() : path_(dir_ / "stderr") {
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  std::string text() const { return read_file(path_); }
  bool wait_for(std::string_view needle) const {
    for (int i = 0; i < 2000; ++i) {
      if (text().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

 private:
  TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

size_t count(const std::string& text, std::string_view needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// A lower limit on the size of files this process writes, undone at the end.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = saved_;
    lower.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_{};
};

// ---------------------------------------------------------------------------
// Lines

TEST(RecordLines, MembersInOrderAndEncodings) {
  struct Case {
    const char* what;
    std::string line;
    std::string expected;
  } cases[] = {
      {"session without host name",
       session_line("2025-03-14T09:26:53.5+03:00", "HTTP", "", 8080, "https://a.example"),
       R"({"t":"session","ts":"2025-03-14T09:26:53.5+03:00","proto":"HTTP","hostname":"","local_port":8080,)"
       R"("remote_url":"https://a.example"})"
       "\n"},
      {"session at the port limits", session_line("ts", "HTTP", "h", 65535, "u"),
       R"({"t":"session","ts":"ts","proto":"HTTP","hostname":"h","local_port":65535,"remote_url":"u"})"
       "\n"},
      {"begin", begin_line("0042", "ts", "GET", "/a/b?c=d"),
       R"({"t":"begin","req":"0042","ts":"ts","method":"GET","path":"/a/b?c=d"})"
       "\n"},
      {"path escaped, solidus and non-ASCII unchanged",
       begin_line("1", "ts", "POST", "/п\"у\\т\x01\t\n\r\b\f\x1f\x7f/"),
       "{\"t\":\"begin\",\"req\":\"1\",\"ts\":\"ts\",\"method\":\"POST\","
       "\"path\":\"/п\\\"у\\\\т\\u0001\\t\\n\\r\\b\\f\\u001f\x7f/\"}\n"},
      {"bytes that are not UTF-8 become U+FFFD", begin_line("a\xff", "ts", "G\xc3", "/\x80x"),
       "{\"t\":\"begin\",\"req\":\"a" + REPLACEMENT + "\",\"ts\":\"ts\",\"method\":\"G" + REPLACEMENT +
           "\",\"path\":\"/" + REPLACEMENT + "x\"}\n"},
      {"empty head", req_headers_line("7", "pre", ""), R"({"t":"req_headers","req":"7","kind":"pre","b64":""})"
                                                       "\n"},
      {"head", req_headers_line("7", "post", "GET / HTTP/1.1\r\n\r\n"),
       R"({"t":"req_headers","req":"7","kind":"post","b64":"R0VUIC8gSFRUUC8xLjENCg0K"})"
       "\n"},
      {"body bytes kept exactly", req_body_line("7", "pre", std::string("\0\xff\n", 3)),
       R"({"t":"req_body","req":"7","kind":"pre","b64":"AP8K"})"
       "\n"},
      {"response head, no status", res_headers_line("7", 0, ""),
       R"({"t":"res_headers","req":"7","status":0,"b64":""})"
       "\n"},
      {"response head", res_headers_line("7", 404, "HTTP/1.1 404"),
       R"({"t":"res_headers","req":"7","status":404,"b64":"SFRUUC8xLjEgNDA0"})"
       "\n"},
      {"response body", res_body_line("7", "ab"), R"({"t":"res_body","req":"7","b64":"YWI="})"
                                                  "\n"},
      {"end without status", end_line("7", 0, 0, "ts"), R"({"t":"end","req":"7","status":0,"total":0,"ts":"ts"})"
                                                        "\n"},
      {"end at the limits", end_line("7", 65535, UINT64_MAX, "ts"),
       R"({"t":"end","req":"7","status":65535,"total":18446744073709551615,"ts":"ts"})"
       "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, c.expected) << c.what;
    Json parsed = Json::parse(c.line);  // valid JSON whatever went in
    EXPECT_EQ(parsed["t"].get<std::string>(), Json::parse(c.expected)["t"].get<std::string>()) << c.what;
  }
}

TEST(RecordLines, LargeBodyRoundTrips) {
  std::string body(5 * 1024 * 1024 + 1, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + (i >> 9));
  Json parsed = Json::parse(res_body_line("9", body));
  EXPECT_EQ(base64_decode(parsed["b64"].get<std::string>()), body);
}

TEST(Base64, AppendKeepsWhatIsThere) {
  std::string out = "x";
  append_base64(out, "abcd");
  append_base64(out, "");
  EXPECT_EQ(out, "xYWJjZA==");
}

// ---------------------------------------------------------------------------
// Session file names

TEST(SessionFileName, LocalTimeAndSuffixes) {
  test::LocalZone zone("<+03>-3");
  const time_t start = 1741933613;  // 2025-03-14 06:26:53 UTC
  struct Case {
    unsigned attempt;
    const char* name;
  } cases[] = {
      {0, "2025-03-14T09-26-53.jsonl"},
      {1, "2025-03-14T09-26-53-02.jsonl"},
      {2, "2025-03-14T09-26-53-03.jsonl"},
      {SESSION_FILE_ATTEMPTS - 1, "2025-03-14T09-26-53-99.jsonl"},
  };
  for (const Case& c : cases) EXPECT_EQ(session_file_name(start, c.attempt), c.name) << c.attempt;
  EXPECT_EQ(session_file_name(1704067200 - 3 * 3600, 0), "2024-01-01T00-00-00.jsonl");
}

// The inspector accepts every name as an id and, sorting ids by descending
// bytes, shows a later file of the same second before the earlier ones and
// after the sessions of the next second.
TEST(SessionFileName, IdsAreSafeAndSortNewestFirst) {
  const time_t start = 1741933613;
  auto id = [](const std::string& name) { return name.substr(0, name.size() - 6); };
  std::string next_second = id(session_file_name(start + 1, 0));
  std::string previous = id(session_file_name(start, 0));
  EXPECT_TRUE(is_safe_id(previous));
  for (unsigned attempt = 1; attempt < SESSION_FILE_ATTEMPTS; ++attempt) {
    std::string current = id(session_file_name(start, attempt));
    EXPECT_TRUE(is_safe_id(current)) << current;
    EXPECT_GT(current, previous);
    EXPECT_LT(current, next_second);
    previous = current;
  }
}

TEST(CreateSessionFile, NeverReopensAnExistingFile) {
  TempDir dir;
  const time_t start = 1741933613;
  write_file(dir / session_file_name(start, 0), "earlier\n");
  write_file(dir / session_file_name(start, 1), "earlier too\n");

  Result<CreatedSessionFile> created = create_session_file(dir.path(), start);
  ASSERT_TRUE(created) << created.error().describe();
  EXPECT_EQ(created->path, dir / session_file_name(start, 2));
  EXPECT_EQ(read_file(dir / session_file_name(start, 0)), "earlier\n");
  EXPECT_EQ(read_file(dir / session_file_name(start, 1)), "earlier too\n");

  // A link under the name is an existing name, not a way elsewhere.
  std::string target = dir / "target";
  write_file(target, "kept");
  ASSERT_EQ(::symlink(target.c_str(), (dir / session_file_name(start + 5, 0)).c_str()), 0);
  Result<CreatedSessionFile> beside = create_session_file(dir.path(), start + 5);
  ASSERT_TRUE(beside);
  EXPECT_EQ(beside->path, dir / session_file_name(start + 5, 1));
  EXPECT_EQ(read_file(target), "kept");
}

TEST(CreateSessionFile, FailsOnceEveryNameIsTaken) {
  TempDir dir;
  const time_t start = 1741933613;
  for (unsigned attempt = 0; attempt < SESSION_FILE_ATTEMPTS; ++attempt) {
    write_file(dir / session_file_name(start, attempt), "x");
  }
  Result<CreatedSessionFile> created = create_session_file(dir.path(), start);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message(), std::strerror(EEXIST));
}

// ---------------------------------------------------------------------------
// The recorder

class RecorderTest : public RuntimeTest {
 protected:
  // A recorder whose writer's end the test can wait for.
  std::shared_ptr<Recorder> make(const std::string& dir, SessionMeta meta = {"HTTP", "", "https://r.example"},
                                 uint16_t port = 8080, size_t queue_limit = RECORDER_QUEUE_LIMIT) {
    Result<std::shared_ptr<Recorder>> made = create(dir, std::move(meta), port, queue_limit);
    if (!made) {
      ADD_FAILURE() << made.error().describe();
      return nullptr;
    }
    return std::move(made).value();
  }

  Result<std::shared_ptr<Recorder>> create(const std::string& dir, SessionMeta meta, uint16_t port,
                                           size_t queue_limit = RECORDER_QUEUE_LIMIT) {
    RecorderOptions options;
    options.queue_limit = queue_limit;
    auto ended = std::make_shared<std::promise<void>>();
    writer_ended_ = ended->get_future();
    options.on_writer_end = [ended] { ended->set_value(); };
    // A task's result comes back through a default-constructed value, which
    // Result has not.
    auto task = [](std::string dir, SessionMeta meta, uint16_t port,
                   RecorderOptions options) -> awaitable<std::optional<Result<std::shared_ptr<Recorder>>>> {
      co_return co_await Recorder::create(std::move(dir), std::move(meta), port, std::move(options));
    };
    return std::move(*run(task(dir, std::move(meta), port, std::move(options))));
  }

  // Lets go of the recorder and waits until its writer has closed the file.
  void finish(std::shared_ptr<Recorder>& recorder) {
    recorder.reset();
    wait_for_writer();
  }

  void wait_for_writer() { ASSERT_EQ(writer_ended_.wait_for(10s), std::future_status::ready); }

  std::future<void> writer_ended_;
};

// A session file reads back line by line as JSON objects whose members are
// those of the format, in its order, with numbers as numbers.
TEST_F(RecorderTest, SessionFileReadsBackInFormatOrder) {
  TempDir home;
  std::string dir = home / ".vostrelin/sessions";
  std::shared_ptr<Recorder> recorder = make(dir, {"HTTP", "", "https://r.example"}, 8080);
  ASSERT_TRUE(recorder);
  std::shared_ptr<Recorder> second_holder = recorder;

  std::string name = std::filesystem::path(recorder->path()).filename().string();
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.jsonl)"))) << name;
  EXPECT_EQ(std::filesystem::path(recorder->path()).parent_path(), dir);

  recorder->begin("01", "POST", "/p\"q");
  recorder->req_headers("01", "pre", "POST /p HTTP/1.1\r\n\r\n");
  recorder->req_body("01", "pre", "");  // no bytes, no record
  recorder->req_body("01", "pre", "abc");
  recorder->req_headers("01", "post", "");
  recorder->res_headers("01", 201, "HTTP/1.1 201 Created\r\n\r\n");
  recorder->res_body("01", "");  // no bytes, no record
  recorder->res_body("01", "done");
  recorder.reset();  // the other holder keeps the writer going
  second_holder->end("01", 201, 4);
  second_holder->res_headers("02", 0, "");
  second_holder->end("02", 0, 0);
  finish(second_holder);

  std::string text = read_file(dir + "/" + name);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  std::vector<std::string> lines = split_lines(text);

  struct Expected {
    std::vector<std::string> members;
    Json values;  // the members to compare, "ts" aside
  } expected[] = {
      {{"t", "ts", "proto", "hostname", "local_port", "remote_url"},
       {{"proto", "HTTP"}, {"hostname", ""}, {"local_port", 8080}, {"remote_url", "https://r.example"}}},
      {{"t", "req", "ts", "method", "path"}, {{"req", "01"}, {"method", "POST"}, {"path", "/p\"q"}}},
      {{"t", "req", "kind", "b64"},
       {{"kind", "pre"}, {"b64", base64_encode("POST /p HTTP/1.1\r\n\r\n")}}},
      {{"t", "req", "kind", "b64"}, {{"t", "req_body"}, {"kind", "pre"}, {"b64", "YWJj"}}},
      {{"t", "req", "kind", "b64"}, {{"t", "req_headers"}, {"kind", "post"}, {"b64", ""}}},
      {{"t", "req", "status", "b64"}, {{"status", 201}, {"b64", base64_encode("HTTP/1.1 201 Created\r\n\r\n")}}},
      {{"t", "req", "b64"}, {{"t", "res_body"}, {"b64", "ZG9uZQ=="}}},
      {{"t", "req", "status", "total", "ts"}, {{"t", "end"}, {"status", 201}, {"total", 4}}},
      {{"t", "req", "status", "b64"}, {{"req", "02"}, {"status", 0}, {"b64", ""}}},
      {{"t", "req", "status", "total", "ts"}, {{"req", "02"}, {"status", 0}, {"total", 0}}},
  };
  const char* kinds[] = {"session",  "begin",       "req_headers", "req_body",    "req_headers",
                         "res_headers", "res_body", "end",         "res_headers", "end"};
  ASSERT_EQ(lines.size(), std::size(expected)) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    Json record = Json::parse(lines[i]);
    EXPECT_EQ(member_names(record), expected[i].members) << lines[i];
    EXPECT_EQ(record["t"], kinds[i]) << lines[i];
    for (auto it = expected[i].values.begin(); it != expected[i].values.end(); ++it) {
      EXPECT_EQ(record[it.key()], it.value()) << lines[i] << " member " << it.key();
    }
    if (record.contains("ts")) {
      EXPECT_TRUE(std::regex_match(record["ts"].get<std::string>(), RFC3339_LOCAL)) << lines[i];
    }
  }
}

TEST_F(RecorderTest, EmitQueuesCompactJson) {
  TempDir dir;
  std::shared_ptr<Recorder> recorder = make(dir.path());
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  Json record = Json::object();
  record["t"] = "note";
  record["x"] = Json::array({1, "a\"b", nullptr});
  record["bad"] = "\xff";
  recorder->emit(record);
  finish(recorder);
  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "{\"t\":\"note\",\"x\":[1,\"a\\\"b\",null],\"bad\":\"" + REPLACEMENT + "\"}");
}

TEST_F(RecorderTest, SessionHeaderHoldsTheMeta) {
  TempDir dir;
  std::shared_ptr<Recorder> recorder = make(dir.path(), {"HTTP", "my.host", "https://my.host.example"}, 65535);
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  finish(recorder);
  std::string text = read_file(path);
  ASSERT_EQ(count(text, "\n"), 1u);
  Json header = Json::parse(text);
  EXPECT_EQ(header["hostname"], "my.host");
  EXPECT_EQ(header["local_port"], 65535);
  EXPECT_EQ(header["remote_url"], "https://my.host.example");
}

TEST_F(RecorderTest, CreatesMissingParents) {
  TempDir home;
  std::string dir = home / "a/b/c/sessions";
  std::shared_ptr<Recorder> recorder = make(dir);
  ASSERT_TRUE(recorder);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  finish(recorder);
}

TEST_F(RecorderTest, SessionsDirectoryThatCannotBeMade) {
  TempDir home;
  write_file(home / "file", "x");
  struct Case {
    std::string dir;
    std::string cause;
  } cases[] = {
      {home / "file", std::strerror(ENOTDIR)},
      {home / "file/sessions", std::strerror(ENOTDIR)},
  };
  for (const Case& c : cases) {
    Result<std::shared_ptr<Recorder>> made = create(c.dir, {"HTTP", "", "u"}, 80);
    ASSERT_FALSE(made) << c.dir;
    EXPECT_EQ(made.error().message(), "создание ~/.vostrelin/sessions") << c.dir;
    ASSERT_EQ(made.error().chain().size(), 2u);
    EXPECT_EQ(made.error().chain()[1], c.cause);
  }
  EXPECT_EQ(read_file(home / "file"), "x");
}

TEST_F(RecorderTest, ReadOnlySessionsDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir home;
  std::string dir = home / "sessions";
  std::filesystem::create_directories(dir);
  ::chmod(dir.c_str(), 0500);
  Result<std::shared_ptr<Recorder>> made = create(dir, {"HTTP", "", "u"}, 80);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().message(), "создание файла сессии");
  EXPECT_EQ(made.error().chain().back(), std::strerror(EACCES));
}

// An earlier journal of the same second stays as it was.
TEST_F(RecorderTest, SameSecondKeepsTheEarlierFile) {
  TempDir dir;
  const time_t now = wall_clock_now().tv_sec;
  for (time_t t = now; t < now + 3; ++t) write_file(dir / session_file_name(t, 0), "earlier\n");
  std::shared_ptr<Recorder> recorder = make(dir.path());
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  finish(recorder);
  for (time_t t = now; t < now + 3; ++t) EXPECT_EQ(read_file(dir / session_file_name(t, 0)), "earlier\n");
  EXPECT_TRUE(path.ends_with("-02.jsonl")) << path;
  EXPECT_TRUE(read_file(path).starts_with("{\"t\":\"session\""));
}

TEST_F(RecorderTest, HeaderWriteErrorIsTheBareError) {
  TempDir dir;
  Result<std::shared_ptr<Recorder>> made = [&] {
    FileSizeLimit limit(10);
    return create(dir.path(), {"HTTP", "", "u"}, 80);
  }();
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().message(), std::strerror(EFBIG));
  EXPECT_EQ(made.error().chain().size(), 1u);
  // The file stays, holding what the system took of the header.
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_file(files[0].string()), "{\"t\":\"sess");
}

// A failed write is reported once; the writer ends and every later record
// is dropped without a word.
TEST_F(RecorderTest, WriteErrorReportedOnceThenSilence) {
  TempDir dir;
  StderrCapture err;
  std::shared_ptr<Recorder> recorder = make(dir.path());
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  const size_t header = read_file(path).size();
  ASSERT_GT(header, 0u);
  std::string first = begin_line("1", "ts", "GET", "/first");

  FileSizeLimit limit(header + first.size() + 20);
  recorder->emit(Json::parse(first));
  for (int i = 0; i < 50; ++i) recorder->begin(std::to_string(i + 2), "GET", "/later");
  wait_for_writer();
  for (int i = 0; i < 50; ++i) recorder->begin("after", "GET", "/after-end");
  recorder.reset();

  EXPECT_EQ(err.text(), std::string("inspector: ошибка записи события: ") + std::strerror(EFBIG) + "\n");
  std::string text = read_file(path);
  EXPECT_EQ(text.size(), header + first.size() + 20);
  EXPECT_EQ(text.substr(header, first.size()), first);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

// Many threads record at once: every line arrives whole, each thread's in
// the order of its calls.
TEST_F(RecorderTest, ConcurrentProducersNeverMixLines) {
  TempDir dir;
  std::shared_ptr<Recorder> recorder = make(dir.path());
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  constexpr int THREADS = 8, CALLS = 1500;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([recorder, t] {
      std::string body(static_cast<size_t>(100 + t * 997), static_cast<char>('a' + t));
      for (int i = 0; i < CALLS; ++i) {
        std::string id = std::to_string(t);
        id += ':';
        id += std::to_string(i);
        if (i % 3 == 0) {
          recorder->req_body(id, "pre", body);
        } else {
          recorder->begin(id, "GET", "/path");
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  finish(recorder);

  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 1u + THREADS * CALLS);
  std::vector<int> next(THREADS, 0);
  for (size_t i = 1; i < lines.size(); ++i) {
    Json record = Json::parse(lines[i]);
    std::string id = record["req"].get<std::string>();
    int t = std::stoi(id.substr(0, id.find(':')));
    int call = std::stoi(id.substr(id.find(':') + 1));
    ASSERT_EQ(call, next[t]++) << lines[i];
    if (record["t"] == "req_body") {
      EXPECT_EQ(base64_decode(record["b64"].get<std::string>())->size(), static_cast<size_t>(100 + t * 997));
    }
  }
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(next[t], CALLS);
}

// While the disk lags, lines beyond the queue's limit are dropped at once
// and the writer reports it once; once it catches up, lines go through
// again.
TEST_F(RecorderTest, QueueLimitDropsWhileTheDiskLags) {
  TempDir dir;
  StderrCapture err;
  std::shared_ptr<Recorder> recorder = make(dir.path(), {"HTTP", "", "u"}, 80, 4096);
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();

  // Hold every blocking thread, so the writer's writes wait behind.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  for (int i = 0; i < 256; ++i) asio::post(blocking_executor(), [released] { released.wait(); });

  constexpr int SENT = 200;
  for (int i = 0; i < SENT; ++i) recorder->begin(std::to_string(i), "GET", "/during-the-stall");
  release.set_value();
  ASSERT_TRUE(err.wait_for("\n"));
  // The writer reports at its first write after the drops, perhaps before
  // the rest of the backlog is written: keep recording until a line gets
  // through again.
  bool through = false;
  for (int i = 0; i < 500 && !through; ++i) {
    recorder->begin("later", "GET", "/after");
    std::this_thread::sleep_for(10ms);
    through = read_file(path).find("\"req\":\"later\"") != std::string::npos;
  }
  EXPECT_TRUE(through);
  finish(recorder);

  EXPECT_EQ(err.text(), "inspector: запись на диск не успевает, часть событий сессии пропущена\n");
  std::vector<std::string> lines = split_lines(read_file(path));
  // What was kept is the start of what was sent, then later lines only.
  size_t kept = 0;
  while (kept + 1 < lines.size() && Json::parse(lines[kept + 1])["req"] != "later") {
    EXPECT_EQ(Json::parse(lines[kept + 1])["req"], std::to_string(kept));
    ++kept;
  }
  EXPECT_GE(kept, 1u);
  EXPECT_LT(kept, static_cast<size_t>(SENT));
  for (size_t i = kept + 1; i < lines.size(); ++i) EXPECT_EQ(Json::parse(lines[i])["req"], "later");
}

// A body bigger than the whole limit is still recorded when nothing else
// waits, all of its pieces.
TEST_F(RecorderTest, LargeLineGoesThroughAnEmptyQueue) {
  TempDir dir;
  std::shared_ptr<Recorder> recorder = make(dir.path(), {"HTTP", "", "u"}, 80, 1024);
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  std::string body(100000, 'z');
  recorder->res_body("1", body);
  finish(recorder);
  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(base64_decode(Json::parse(lines[1])["b64"].get<std::string>()), body);

  recorder = make(dir.path() + "/2", {"HTTP", "", "u"}, 80, 1024);
  ASSERT_TRUE(recorder);
  path = recorder->path();
  body.assign(2 * RECORD_PIECE_BYTES + 1, 'y');
  recorder->res_body("1", body);
  finish(recorder);
  lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 4u);
  std::string pieces;
  for (size_t i = 1; i < lines.size(); ++i) pieces += *base64_decode(Json::parse(lines[i])["b64"].get<std::string>());
  EXPECT_EQ(pieces, body);
}

// A body is recorded in pieces, so that no line grows with it, and the
// pieces read back as the whole body.
TEST_F(RecorderTest, LargeBodyIsRecordedInPiecesThatReadBackWhole) {
  TempDir dir;
  std::shared_ptr<Recorder> recorder = make(dir.path(), {"HTTP", "", "u"}, 80);
  ASSERT_TRUE(recorder);
  std::string path = recorder->path();
  std::string body(2 * RECORD_PIECE_BYTES + 5, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 + i / 7);
  recorder->begin("1", "POST", "/upload");
  recorder->req_body("1", "pre", body);
  recorder->res_body("1", body);
  finish(recorder);

  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 8u);
  for (size_t i = 2; i < lines.size(); ++i) {
    Json record = Json::parse(lines[i]);
    EXPECT_EQ(record["t"], i < 5 ? "req_body" : "res_body");
    EXPECT_EQ(base64_decode(record["b64"].get<std::string>())->size(), i % 3 == 1 ? 5 : RECORD_PIECE_BYTES);
  }
  Result<std::optional<RequestDetail>> detail = load_request_detail_now(path, "1");
  ASSERT_TRUE(detail.ok());
  ASSERT_TRUE(detail->has_value());
  EXPECT_EQ((*detail)->req_body_pre, body);
  EXPECT_EQ((*detail)->res_body, body);
}

}  // namespace
}  // namespace vostrelin::inspector

namespace vostrelin::inspector {
namespace {

// The runtime stopping (Ctrl+C) under tasks that still hold the recorder
// ends its writer where it stands, without harm.
TEST(RecorderShutdown, RuntimeStopsUnderALiveRecorder) {
  TempDir dir;
  std::unique_ptr<Runtime> runtime = std::move(Runtime::build()).value();
  auto task = [](std::string dir) -> awaitable<std::optional<Result<std::shared_ptr<Recorder>>>> {
    SessionMeta meta{"HTTP", "", "u"};
    co_return co_await Recorder::create(std::move(dir), std::move(meta), 80);
  };
  std::future<std::optional<Result<std::shared_ptr<Recorder>>>> made =
      asio::co_spawn(worker_executor(), task(dir.path()), asio::use_future);
  ASSERT_EQ(made.wait_for(10s), std::future_status::ready);
  std::shared_ptr<Recorder> recorder = std::move(*made.get()).value();
  // Holders that never end by themselves, as a forwarder's tasks may.
  for (int h = 0; h < 4; ++h) {
    asio::co_spawn(
        worker_executor(),
        [recorder, h]() -> awaitable<void> {
          asio::steady_timer forever(co_await asio::this_coro::executor, std::chrono::hours(1));
          for (int i = 0; i < 200; ++i) recorder->res_body(std::to_string(h), std::string(1000, 'x'));
          co_await forever.async_wait(use_awaitable);
        },
        asio::detached);
  }
  recorder.reset();
  std::this_thread::sleep_for(20ms);
  runtime.reset();
}

}  // namespace
}  // namespace vostrelin::inspector
