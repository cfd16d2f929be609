// The program with its inspector crowded by idle clients: more connections
// than the inspector serves at once, under a descriptor limit they would
// otherwise exhaust. The tunnel still reconnects, and the index answers
// while they are all held open, long before an idle head times out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_service.h"
#include "support/loopback.h"
#include "support/process.h"

namespace vostrelin {
namespace {

using namespace test;
using namespace std::chrono_literals;

constexpr const char* PRLIMIT = "/usr/bin/prlimit";
// The program starts with a soft limit a quarter of its hard one, and more
// idle clients come than the hard limit has descriptors.
constexpr int SOFT_LIMIT = 256;
constexpr int HARD_LIMIT = 1024;
constexpr size_t IDLE_CLIENTS = 1100;

// Lets this process hold that many descriptors, or says it cannot.
bool allow_descriptors(rlim_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The soft limit on open files of a process, as /proc shows it.
std::string soft_descriptor_limit(int pid) {
  std::istringstream limits(read_file("/proc/" + std::to_string(pid) + "/limits"));
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::strlen("Max open files")));
    std::string soft;
    fields >> soft;
    return soft;
  }
  return "";
}

TEST(InspectorUnderLoad, IdleClientsStopNeitherTheTunnelNorTheIndex) {
  if (::access(PRLIMIT, X_OK) != 0) GTEST_SKIP() << PRLIMIT << " is not installed";
  if (!allow_descriptors(IDLE_CLIENTS + 256)) GTEST_SKIP() << "this process cannot hold enough descriptors";

  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(home);
  std::string program = install_program(bin);
  write_file(home + "/vostrelin.key", "token\n");

  std::atomic<bool> drop{false};
  std::atomic<int> n{0};
  FakeService service([&](FakeConnection& conn) {
    int k = ++n;
    if (!play_handshake(conn, HandshakeScript{}).completed) return;
    if (k == 1) {
      // Held until the test drops it, with the idle clients in place.
      for (int i = 0; i < 600 && !drop.load(); ++i) std::this_thread::sleep_for(50ms);
      return;
    }
    conn.wait_closed(30s);
  });

  uint16_t inspector_port = free_port();
  Env env{{"HOME", home},
          {"PATH", "/usr/bin:/bin"},
          {"VOSTRELIN_INSPECTOR_PORT", std::to_string(inspector_port)},
          {"VOSTRELIN_TEST_SERVICE_PORT", service.port_text()},
          {"VOSTRELIN_TEST_SECOND_MS", "10"}};
  std::string limits = "--nofile=" + std::to_string(SOFT_LIMIT) + ":" + std::to_string(HARD_LIMIT);
  Process p({PRLIMIT, limits, program, "HTTP", "8080"}, env);
  const std::string session = "Для подключения используйте: demo.tunnel.example\n"
                              "HTTP режим: проброс HTTP трафика на локальный порт 8080 (правил: 0)\n"
                              "Веб-инспектор: http://127.0.0.1:" +
                              std::to_string(inspector_port) + "\n";
  ASSERT_TRUE(p.wait_for_stdout(session, 10s)) << p.out() << p.err();
  // The program has raised its soft limit to the hard one.
  EXPECT_EQ(soft_descriptor_limit(p.pid()), std::to_string(HARD_LIMIT));

  std::vector<std::unique_ptr<LoopbackClient>> idle;
  for (size_t i = 0; i < IDLE_CLIENTS; ++i) idle.push_back(std::make_unique<LoopbackClient>(inspector_port));

  // The service connection drops; the next one needs a descriptor.
  drop = true;
  EXPECT_TRUE(p.wait_for_stdout(session + session, 15s)) << p.out() << p.err();
  EXPECT_TRUE(service.wait_connections(2));

  // The oldest idle connections make room: the index answers with all of
  // them held, where waiting for a place would take the 30-second head
  // time-out.
  LoopbackClient request(inspector_port);
  request.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string index = request.read_to_end(5s);
  EXPECT_TRUE(request.closed());
  EXPECT_EQ(index.substr(0, 17), "HTTP/1.1 200 OK\r\n") << index.substr(0, 200);
  // Those still open are the newest.
  EXPECT_FALSE(idle.back()->readable_within(100ms));
  EXPECT_EQ(idle.front()->read_to_end(5s), "");
  EXPECT_TRUE(idle.front()->closed());
  idle.clear();

  p.signal(SIGINT);
  ASSERT_TRUE(p.wait(10s));
  EXPECT_EQ(p.status(), 0);
  EXPECT_EQ(p.err(), "Соединение с сервером потеряно, переподключаюсь…\nПовтор через 1 сек\n");
}

}  // namespace
}  // namespace vostrelin
