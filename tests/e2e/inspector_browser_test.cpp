// The three inspector pages rendered by a real browser: headless Chromium
// loads each page from the in-process server and the DOM it builds must
// show the recorded session and request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "inspector/server.h"
#include "support/base64.h"
#include "support/env.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin::inspector {
namespace {

using namespace test;
using namespace std::chrono_literals;

constexpr const char* CHROMIUM = "/usr/bin/chromium";

class InspectorInBrowser : public RuntimeTest {
 protected:
  void SetUp() override {
    if (::access(CHROMIUM, X_OK) != 0) {
      GTEST_SKIP() << CHROMIUM << " is not installed (./setup.sh --with-browser installs it); "
                   << "the pages are not checked in a browser";
    }
    std::filesystem::create_directories(sessions);
    std::string pre = "POST /api/items?x=1&y=2 HTTP/1.1\r\nHost: demo.example\r\nContent-Length: 13\r\n\r\n";
    std::string post = "POST /api/items?x=1&y=2 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Length: 13\r\n\r\n";
    std::string response = "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n";
    auto rec = [](std::string_view t, std::string_view rest) {
      return R"({"t":")" + std::string(t) + R"(","req":"17")" + std::string(rest) + "}\n";
    };
    write_file(sessions + "/2025-03-14T09-26-53.jsonl",
               R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"demo","local_port":8080,"remote_url":"https://demo.example"})"
               "\n" +
                   rec("begin", R"(,"ts":"2025-03-14T09:26:54.100+03:00","method":"POST","path":"/api/items?x=1&y=2")") +
                   rec("req_headers", R"(,"kind":"pre","b64":")" + base64_encode(pre) + "\"") +
                   rec("req_headers", R"(,"kind":"post","b64":")" + base64_encode(post) + "\"") +
                   rec("req_body", R"(,"kind":"pre","b64":")" + base64_encode(R"({"name":"<x>"})") + "\"") +
                   rec("req_body", R"(,"kind":"post","b64":")" + base64_encode(R"({"name":"<x>"})") + "\"") +
                   rec("res_headers", R"(,"status":201,"b64":")" + base64_encode(response) + "\"") +
                   rec("res_body", R"(,"b64":")" + base64_encode(std::string("\x89PNG\0\0", 6)) + "\"") +
                   rec("end", R"(,"status":201,"total":61,"ts":"2025-03-14T09:26:54.350+03:00")"));

    Result<tcp::acceptor> listener = bind(0);
    ASSERT_TRUE(listener.ok()) << listener.error().describe();
    port = listener->local_endpoint().port();
    asio::co_spawn(executor(), serve(std::move(*listener), sessions), asio::detached);
  }

  // The DOM that Chromium builds for a page of the server.
  std::string dom(const std::string& path) {
    TempDir profile;
    RunResult r = run_program({CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                               "--no-first-run", "--disable-background-networking", "--disable-component-update",
                               "--disable-sync", "--user-data-dir=" + profile.path(), "--dump-dom",
                               "http://127.0.0.1:" + std::to_string(port) + path},
                              {{"HOME", profile.path()}, {"PATH", "/usr/bin:/bin"}, {"TZ", "UTC"}}, 60s);
    EXPECT_FALSE(r.timed_out) << path;
    EXPECT_EQ(r.status, 0) << path << "\n" << r.err;
    return r.out;
  }

  static bool has(const std::string& dom, std::string_view text) { return dom.find(text) != std::string::npos; }

  TempDir dir;
  std::string sessions = dir / "sessions";
  uint16_t port = 0;
  // Times of day on the session page are the server's local time.
  LocalZone zone{"UTC"};
};

TEST_F(InspectorInBrowser, PagesShowTheRecordedRequest) {
  std::string index = dom("/");
  EXPECT_TRUE(has(index, "<title>Vostrelin inspector</title>")) << index;
  EXPECT_TRUE(has(index, "<a href=\"/s/2025-03-14T09-26-53\">2025-03-14T09-26-53</a>")) << index;
  EXPECT_TRUE(has(index, "<code>https://demo.example</code>")) << index;
  EXPECT_TRUE(has(index, "<img src=\"/logo.png\" alt=\"vostrelin\">")) << index;

  std::string session = dom("/s/2025-03-14T09-26-53");
  EXPECT_TRUE(has(session, "<title>Сессия 2025-03-14T09-26-53</title>")) << session;
  EXPECT_TRUE(has(session, "<a href=\"/s/2025-03-14T09-26-53/r/17\"><code>/api/items?x=1&amp;y=2</code></a>"))
      << session;
  EXPECT_TRUE(has(session, "<td><code>06:26:54</code></td>")) << session;
  EXPECT_TRUE(has(session, "<td class=\"status status-ok\">201</td>")) << session;
  EXPECT_TRUE(has(session, "<td>250 мс</td>")) << session;

  std::string request = dom("/s/2025-03-14T09-26-53/r/17");
  EXPECT_TRUE(has(request, "<h2>POST <code>/api/items?x=1&amp;y=2</code></h2>")) << request;
  // The body was parsed as text, not as markup.
  EXPECT_TRUE(has(request, "{\"name\":\"&lt;x&gt;\"}")) << request;
  EXPECT_FALSE(has(request, "<x>")) << request;
  EXPECT_TRUE(has(request, "Host: 127.0.0.1:8080")) << request;
  EXPECT_TRUE(has(request, "Запрос (post-rules, ушло на локалку)")) << request;
  EXPECT_TRUE(has(request, "89 50 4e 47 00 00")) << request;
}

}  // namespace
}  // namespace vostrelin::inspector
