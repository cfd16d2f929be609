// Recording as a user meets it when the sessions folder cannot be written:
// the session says so once and goes on forwarding without a recorder. The
// program runs as an unprivileged user, since root writes anywhere.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/fake_service.h"
#include "support/loopback.h"
#include "support/process.h"

namespace vostrelin {
namespace {

using namespace test;

constexpr int NOBODY = 65534;

TEST(Recording, UnwritableSessionsFolderLeavesTheSessionRunning) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string bin = dir / "bin", home = dir / "home", sessions = home + "/.vostrelin/sessions";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(sessions);
  for (const std::string& d : {bin, home, home + "/.vostrelin"}) ::chmod(d.c_str(), 0755);
  ::chmod(sessions.c_str(), 0555);
  const std::string program = install_program(bin);
  write_file(home + "/vostrelin.key", "token\n");
  ::chmod((home + "/vostrelin.key").c_str(), 0644);

  FakeService service([](FakeConnection& conn) {
    if (play_handshake(conn, HandshakeScript{}).completed) conn.wait_closed(30s);
  });
  const uint16_t inspector_port = free_port();
  Process p({program, "HTTP", "8080"},
            {{"HOME", home},
             {"PATH", "/usr/bin:/bin"},
             {"VOSTRELIN_INSPECTOR_PORT", std::to_string(inspector_port)},
             {"VOSTRELIN_TEST_SERVICE_PORT", service.port_text()}},
            {}, NOBODY);
  const std::string lines = "Для подключения используйте: demo.tunnel.example\n"
                            "HTTP режим: проброс HTTP трафика на локальный порт 8080 (правил: 0)\n"
                            "Веб-инспектор: http://127.0.0.1:" +
                            std::to_string(inspector_port) + "\n";
  ASSERT_TRUE(p.wait_for_stdout(lines, 10s)) << p.out() << p.err();
  EXPECT_EQ(p.err(), "Инспектор: не удалось создать файл сессии: создание файла сессии\n");
  EXPECT_TRUE(std::filesystem::is_empty(sessions));
  p.signal(SIGINT);
  ASSERT_TRUE(p.wait(10s));
  EXPECT_EQ(p.status(), 0);
}

}  // namespace
}  // namespace vostrelin
