// One tunnel session against the fake service, in-process: how each way of
// ending becomes an outcome or an error, when on_connected is called, and
// the recording of HTTP sessions.
#include "main/session.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <string>

#include "support/capture.h"
#include "support/fake_service.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin {
namespace {

using namespace test;

const std::string CONNECT_FAILED =
    "Не удалось подключиться к серверу. Проверьте подключение к интернету или обратитесь в техническую поддержку";

class SessionTest : public RuntimeTest {
 protected:
  SessionTest() {
    if (const char* v = std::getenv("HOME")) saved_home_ = v;
    ::setenv("HOME", home.path().c_str(), 1);
    write_file(home / "vostrelin.key", "token-123\n");
  }
  ~SessionTest() override {
    if (saved_home_) ::setenv("HOME", saved_home_->c_str(), 1);
    ::unsetenv("VOSTRELIN_TEST_SERVICE_PORT");
  }

  struct Ended {
    Result<SessionOutcome> result = Error("not run");
    int connected = 0;  // calls of on_connected
    std::string out, err;
  };

  Ended run_one(uint16_t port, ConnectProto proto, std::optional<std::string> sessions_dir = std::nullopt) {
    ::setenv("VOSTRELIN_TEST_SERVICE_PORT", std::to_string(port).c_str(), 1);
    Ended ended;
    CapturedStream out(STDOUT_FILENO);
    CapturedStream err(STDERR_FILENO);
    SessionSettings settings{proto, 8080, 0, "", std::move(sessions_dir), std::nullopt};
    ended.result = run(run_session(std::move(settings), [&ended] { ++ended.connected; }));
    ended.out = out.text();
    ended.err = err.text();
    return ended;
  }

  TempDir home;

 private:
  std::optional<std::string> saved_home_;
};

TEST_F(SessionTest, EachEndBecomesItsOutcome) {
  struct Case {
    const char* name;
    std::optional<HandshakeScript> script;  // none: nothing listens
    std::optional<std::string> error;       // outermost message of an error result
    std::optional<std::string> fatal;       // message of a Fatal outcome
    int connected;
  };
  HandshakeScript refused;
  refused.auth = "AUTH.NO";
  HandshakeScript service_error;
  service_error.auth = "ERRR.временная ошибка";
  HandshakeScript fatal_text;
  fatal_text.ehlo = "ERRR.Токен НЕ валиден";
  HandshakeScript bad_options;
  bad_options.opts = "OPTS.NO";
  const Case cases[] = {
      {"nothing listens", std::nullopt, CONNECT_FAILED, std::nullopt, 0},
      {"authorization refused", refused, std::nullopt, "Ошибка авторизации", 0},
      {"a service error that may pass", service_error, "временная ошибка", std::nullopt, 0},
      {"a service error that will not", fatal_text, std::nullopt, "Токен НЕ валиден", 0},
      {"options refused", bad_options, "Ошибка настройки подключения", std::nullopt, 0},
      {"closed right after the address", HandshakeScript{}, std::nullopt, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    std::optional<FakeService> service;
    if (c.script) service.emplace([&](FakeConnection& conn) { play_handshake(conn, *c.script); });
    Ended ended = run_one(service ? service->port() : free_port(), ConnectProto::Tcp);
    EXPECT_EQ(ended.connected, c.connected) << c.name;
    if (c.error) {
      ASSERT_FALSE(ended.result) << c.name;
      EXPECT_EQ(ended.result.error().message(), *c.error) << c.name;
      continue;
    }
    ASSERT_TRUE(ended.result) << c.name << ": " << ended.result.error().describe();
    if (c.fatal) {
      EXPECT_EQ(ended.result->kind, SessionOutcome::Kind::Fatal) << c.name;
      EXPECT_EQ(ended.result->message, *c.fatal) << c.name;
    } else {
      EXPECT_EQ(ended.result->kind, SessionOutcome::Kind::Disconnected) << c.name;
      EXPECT_EQ(ended.out,
                "Для подключения используйте: demo.tunnel.example\n"
                "TCP режим: проброс TCP трафика на локальный порт 8080\nПередано байт: 0\nПринято байт: 0\n")
          << c.name;
    }
    EXPECT_EQ(ended.err, "") << c.name;
  }
}

// The key file is looked for again by every session: gone since start-up,
// the session is fatal; still there, the session reads it.
TEST_F(SessionTest, KeyFileGoneSinceStartUpIsFatal) {
  FakeService service([](FakeConnection& conn) { play_handshake(conn, HandshakeScript{}); });
  std::filesystem::remove(home / "vostrelin.key");
  Ended ended = run_one(service.port(), ConnectProto::Udp);
  ASSERT_TRUE(ended.result);
  EXPECT_EQ(ended.result->kind, SessionOutcome::Kind::Fatal);
  EXPECT_EQ(ended.result->message.rfind("Файл vostrelin.key не найден", 0), 0u) << ended.result->message;
  EXPECT_EQ(ended.connected, 0);
}

TEST_F(SessionTest, HttpSessionIsRecordedWhenItCanBe) {
  FakeService service([](FakeConnection& conn) { play_handshake(conn, HandshakeScript{}); });
  const std::string mode_line = "HTTP режим: проброс HTTP трафика на локальный порт 8080 (правил: 0)\n";

  std::string sessions = home / "sessions";
  Ended recorded = run_one(service.port(), ConnectProto::Http, sessions);
  ASSERT_TRUE(recorded.result);
  EXPECT_EQ(recorded.err, "");
  EXPECT_NE(recorded.out.find(mode_line), std::string::npos) << recorded.out;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(sessions)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  // The writer ends shortly after the session lets go of the recorder.
  std::string header;
  for (int i = 0; i < 500 && header.empty(); ++i) {
    header = read_file(files[0]);
    if (header.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_NE(header.find("\"remote_url\":\"demo.tunnel.example\""), std::string::npos) << header;

  // A sessions directory that cannot be made: reported, and the session
  // forwards without recording.
  write_file(home / "file", "x");
  Ended unrecorded = run_one(service.port(), ConnectProto::Http, home / "file/sessions");
  ASSERT_TRUE(unrecorded.result);
  EXPECT_EQ(unrecorded.result->kind, SessionOutcome::Kind::Disconnected);
  EXPECT_EQ(unrecorded.connected, 1);
  EXPECT_EQ(unrecorded.err.rfind("Инспектор: не удалось создать файл сессии: ", 0), 0u) << unrecorded.err;
  EXPECT_EQ(std::count(unrecorded.err.begin(), unrecorded.err.end(), '\n'), 1) << unrecorded.err;
  EXPECT_NE(unrecorded.out.find(mode_line), std::string::npos) << unrecorded.out;
}

// Ctrl+C drops the session where it waits, on the main thread's context. A
// reply that has already come in when the drop happens still resumes the
// session once; it must then end without a line of its own, since the
// program's last line has been written.
TEST_F(SessionTest, DroppedWithTheAddressAlreadyInItPrintsNothing) {
  std::atomic<bool> asked{false}, release{false}, replied{false};
  FakeService service([&](FakeConnection& conn) {
    HandshakeScript script;
    script.conn.reset();  // the reply to "CONN" is sent below, when the test says
    HandshakeLog log = play_handshake(conn, script);
    if (log.messages.empty() || log.messages.back() != "CONN") return;
    asked = true;
    for (int i = 0; i < 1000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    conn.send_now("CONN.demo.tunnel.example");
    replied = true;
    conn.wait_closed();
  });
  ::setenv("VOSTRELIN_TEST_SERVICE_PORT", service.port_text().c_str(), 1);
  auto out = std::make_optional<CapturedStream>(STDOUT_FILENO);
  auto err = std::make_optional<CapturedStream>(STDERR_FILENO);
  asio::io_context main_context(1);
  asio::cancellation_signal drop;
  int connected = 0;
  std::atomic<bool> ended{false};
  bool returned = false;
  auto session = [&]() -> awaitable<void> {
    SessionSettings settings{ConnectProto::Tcp, 8080, 0, "", std::nullopt, std::nullopt};
    Result<SessionOutcome> result = co_await run_session(std::move(settings), [&] { ++connected; });
    returned = true;
  };
  asio::co_spawn(main_context, session,
                 asio::bind_cancellation_slot(drop.slot(), [&](std::exception_ptr) { ended = true; }));
  // The session goes as far as its wait for the reply to "CONN".
  for (int i = 0; i < 1000 && !asked; ++i) main_context.run_for(std::chrono::milliseconds(10));
  main_context.run_for(std::chrono::milliseconds(50));
  // The reply arrives while the main thread is busy elsewhere; only then
  // is the session dropped.
  release = true;
  for (int i = 0; i < 1000 && !replied; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  drop.emit(asio::cancellation_type::terminal);
  for (int i = 0; i < 1000 && !ended; ++i) main_context.run_for(std::chrono::milliseconds(10));
  const std::string out_text = out->text(), err_text = err->text();
  out.reset();
  err.reset();
  ASSERT_TRUE(asked.load());
  ASSERT_TRUE(replied.load());
  ASSERT_TRUE(ended.load());
  EXPECT_FALSE(returned);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(out_text, "");
  EXPECT_EQ(err_text, "");
}

}  // namespace
}  // namespace vostrelin
