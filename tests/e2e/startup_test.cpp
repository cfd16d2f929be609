// The program's start-up as a user meets it: usage, argument errors and the
// key-file check, byte for byte on standard error, with exit status 1.
#include <gtest/gtest.h>

#include <filesystem>

#include "main/command_line.h"
#include "support/process.h"

namespace vostrelin {
namespace {

using namespace test;

class Startup : public ::testing::Test {
 protected:
  Startup() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(home);
    program = install_program(bin);
  }

  RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return run_program(std::move(args), env);
  }

  std::string usage() const {
    std::string text;
    for (const std::string& line : usage_lines(program)) text += line;
    return text;
  }

  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::string program;
  Env env{{"HOME", home}, {"PATH", "/usr/bin:/bin"}};
};

TEST_F(Startup, UsageWhenArgumentsAreMissing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"HTTP"}, {"TCP"}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage());
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Startup, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"FTP", "0"}, "Поддерживаемые протоколы: HTTP, TCP и UDP\n"},
      {{" HTTP", "80"}, "Поддерживаемые протоколы: HTTP, TCP и UDP\n"},
      {{"HTTP", "65536"}, "Укажите <локальный порт> в диапазоне 1..=65535\n"},
      {{"HTTP", " 80"}, "Укажите <локальный порт> в диапазоне 1..=65535\n"},
      {{"tcp", "22", "abc"}, "Укажите <внешний порт> в диапазоне 1..=65535\n"},
      {{"UDP", "22", "70000"}, "Укажите <внешний порт> в диапазоне 1..=65535\n"},
  };
  for (const Case& c : cases) {
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Startup, MissingKeyFileStopsEveryMode) {
  const std::string expected = "Файл vostrelin.key не найден\n\nИскали в:\n  " + bin +
                               "/vostrelin.key\n  " + home + "/vostrelin.key\n  " + home +
                               "/.vostrelin/vostrelin.key\n\nЕщё нет токена? Получите бесплатно на "
                               "https://vostrelin.example/signup\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"HTTP", "8080"}, {"TCP", "22", "abc", "x"}, {"udp", "53"}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
  }
  // Nothing was created on the way: no inspector, no session files.
  EXPECT_FALSE(std::filesystem::exists(home + "/.vostrelin"));
}

TEST_F(Startup, EmptyHomeFallsBackToPasswordDatabase) {
  env["HOME"] = "";
  RunResult r = run({"HTTP", "8080"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("  " + bin + "/vostrelin.key\n"), std::string::npos) << r.err;
  // The password database's home replaces the empty one, so there are three
  // candidates, not one.
  EXPECT_NE(r.err.find("/.vostrelin/vostrelin.key\n\n"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vostrelin
