// The inspector start-up: the switch, the sessions directory, the bind
// warning and the address line, in process and as the program shows them.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "inspector/server.h"
#include "main/inspector_startup.h"
#include "support/env.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin {
namespace {

using namespace test;
using namespace std::chrono_literals;

// Holds a listener on 127.0.0.1 at a port so that nobody else can listen
// there.
struct TakenPort {
  TakenPort() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(a.sin_port);
  }
  ~TakenPort() { ::close(fd); }
  int fd = -1;
  uint16_t port = 0;
};

class InspectorStartupTest : public RuntimeTest {
 protected:
  InspectorStartupTest() {
    home_env.set(dir.path());
    switch_env.unset();
    port_env.set(std::to_string(port));
  }

  TempDir dir;
  ScopedEnv home_env{"HOME"};
  ScopedEnv switch_env{"VOSTRELIN_INSPECTOR"};
  ScopedEnv port_env{"VOSTRELIN_INSPECTOR_PORT"};
  uint16_t port = free_port();
  std::string sessions = dir.path() + "/.vostrelin/sessions";
};

TEST_F(InspectorStartupTest, HttpRecordsAndServes) {
  StderrCapture err;
  InspectorStartup s = start_inspector(ConnectProto::Http);
  EXPECT_EQ(s.sessions_dir, sessions);
  EXPECT_EQ(s.address_line, "Веб-инспектор: http://127.0.0.1:" + std::to_string(port));
  std::string answer = round_trip(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_NE(answer.find("Пока нет сессий."), std::string::npos);
  EXPECT_EQ(err.text(), "");
  // Nothing is created before a session records.
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/.vostrelin"));
}

TEST_F(InspectorStartupTest, SwitchedOffOnlyByExactlyOff) {
  struct Case {
    const char* value;
    bool on;
  } cases[] = {{"off", false}, {"OFF", true}, {"off ", true}, {"0", true}, {"", true}, {"\xff", true}};
  for (const Case& c : cases) {
    uint16_t p = free_port();
    port_env.set(std::to_string(p));
    switch_env.set(c.value);
    StderrCapture err;
    InspectorStartup s = start_inspector(ConnectProto::Http);
    EXPECT_EQ(s.sessions_dir.has_value(), c.on) << c.value;
    EXPECT_EQ(s.address_line.has_value(), c.on) << c.value;
    EXPECT_EQ(err.text(), "") << c.value;
    if (!c.on) {
      // Nobody listens: the port can still be taken.
      EXPECT_TRUE(inspector::bind(p).ok());
    }
  }
}

TEST_F(InspectorStartupTest, TcpAndUdpHaveNeither) {
  TakenPort taken;
  port_env.set(std::to_string(taken.port));
  for (ConnectProto proto : {ConnectProto::Tcp, ConnectProto::Udp}) {
    StderrCapture err;
    InspectorStartup s = start_inspector(proto);
    EXPECT_FALSE(s.sessions_dir);
    EXPECT_FALSE(s.address_line);
    EXPECT_EQ(err.text(), "");
  }
}

TEST_F(InspectorStartupTest, PortTakenStillRecords) {
  TakenPort taken;
  std::string p = std::to_string(taken.port);
  port_env.set(p);
  StderrCapture err;
  InspectorStartup s = start_inspector(ConnectProto::Http);
  EXPECT_EQ(s.sessions_dir, sessions);
  EXPECT_FALSE(s.address_line);
  EXPECT_EQ(err.text(), "Веб-инспектор не поднят (порт " + p + " занят?): не удалось занять порт инспектора 127.0.0.1:" +
                            p + ". Файлы сессий всё равно пишутся в " + sessions + "\n");
}

TEST_F(InspectorStartupTest, BindWarningShowsTheDirectoryAsText) {
  TakenPort taken;
  port_env.set(std::to_string(taken.port));
  home_env.set(dir.path() + "/h\xff");
  StderrCapture err;
  InspectorStartup s = start_inspector(ConnectProto::Http);
  EXPECT_EQ(s.sessions_dir, dir.path() + "/h\xff/.vostrelin/sessions");
  EXPECT_NE(err.text().find("Файлы сессий всё равно пишутся в " + dir.path() + "/h\xEF\xBF\xBD/.vostrelin/sessions\n"),
            std::string::npos)
      << err.text();
}

// The program itself, which after start-up goes on to its sessions; the
// tests wait for the start-up's message and then stop it.
class InspectorStartupProgram : public ::testing::Test {
 protected:
  InspectorStartupProgram() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(home);
    program = install_program(bin);
    write_file(bin + "/vostrelin.key", "token\n");
  }

  Env env() const {
    return {{"HOME", home},
            {"PATH", "/usr/bin:/bin"},
            {"VOSTRELIN_TEST_SERVICE_PORT", std::to_string(service_port)},
            {"VOSTRELIN_TEST_SECOND_MS", "10"}};
  }

  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::string program;
  uint16_t service_port = free_port();  // nobody listens there
};

TEST_F(InspectorStartupProgram, PortTakenIsReportedOnce) {
  TakenPort taken;
  std::string p = std::to_string(taken.port);
  Env e = env();
  e["VOSTRELIN_INSPECTOR_PORT"] = p;
  Process proc({program, "HTTP", "8080"}, e);
  const std::string warning = "Веб-инспектор не поднят (порт " + p + " занят?): не удалось занять порт инспектора 127.0.0.1:" +
                              p + ". Файлы сессий всё равно пишутся в " + home + "/.vostrelin/sessions\n";
  ASSERT_TRUE(proc.wait_for_stderr(warning, 10s)) << proc.err();
  proc.signal(SIGINT);
  proc.wait(5s);
  EXPECT_EQ(proc.err().find(warning), 0u) << proc.err();
  EXPECT_EQ(proc.err().find(warning, 1), std::string::npos) << proc.err();
  EXPECT_EQ(proc.out().find("Веб-инспектор: "), std::string::npos) << proc.out();
}

// A user id that the password database does not know.
std::optional<uid_t> unknown_uid() {
  for (uid_t uid = 4242; uid < 4342; ++uid) {
    if (::getpwuid(uid) == nullptr) return uid;
  }
  return std::nullopt;
}

TEST_F(InspectorStartupProgram, NoHomeDirectoryMeansNoInspector) {
  // No HOME, and run as a user without a password-database entry (inside a
  // user namespace), so that there is no home directory at all.
  std::optional<uid_t> uid = unknown_uid();
  ASSERT_TRUE(uid);
  const char* unshare = "/usr/bin/unshare";
  RunResult probe = run_program({unshare, "--user", "--map-user=" + std::to_string(*uid), "/bin/true"}, {}, 10s);
  if (probe.status != 0) GTEST_SKIP() << "user namespaces are not available here: " << probe.err;

  TakenPort taken;
  Env e = env();
  e.erase("HOME");
  e["VOSTRELIN_INSPECTOR_PORT"] = std::to_string(taken.port);
  Process proc({unshare, "--user", "--map-user=" + std::to_string(*uid), program, "HTTP", "8080"}, e);
  const std::string message = "Инспектор выключен: Не удалось получить домашнюю директорию\n";
  ASSERT_TRUE(proc.wait_for_stderr(message, 10s)) << proc.err();
  proc.signal(SIGINT);
  proc.wait(5s);
  EXPECT_EQ(proc.err().find(message), 0u) << proc.err();
  EXPECT_EQ(proc.err().find(message, 1), std::string::npos) << proc.err();
  // Neither the bind warning (the port is taken) nor any other inspector text.
  EXPECT_EQ(proc.err().find("Веб-инспектор"), std::string::npos) << proc.err();
}

TEST_F(InspectorStartupProgram, TcpAndUdpModesSayNothing) {
  TakenPort taken;
  Env e = env();
  e["VOSTRELIN_INSPECTOR_PORT"] = std::to_string(taken.port);
  e["HOME"] = "";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"TCP", "22"}, {"UDP", "53"}}) {
    Process proc({program, args[0], args[1]}, e);
    proc.wait(1500ms);
    proc.signal(SIGINT);
    proc.wait(5s);
    EXPECT_EQ(proc.err().find("нспектор"), std::string::npos) << proc.err();
  }
}

}  // namespace
}  // namespace vostrelin
