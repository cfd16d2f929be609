#include "main/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/env.h"
#include "support/process.h"

namespace vostrelin {
namespace {

using test::TempDir;
using test::write_file;

const std::string NOT_FOUND_HEAD = "Файл vostrelin.key не найден\n\nИскали в:\n";
const std::string NOT_FOUND_TAIL =
    "\n\nЕщё нет токена? Получите бесплатно на https://vostrelin.example/signup";

// A tree with an executable directory and a home directory, each possibly
// holding a key file.
struct KeyTree {
  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::string exe = bin + "/vostrelin";
  KeyTree() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(home + "/.vostrelin");
  }
  Result<std::string> locate() { return locate_key_file_among(exe, home); }
};

TEST(LocateKeyFile, TriesCandidatesInOrder) {
  KeyTree t;
  write_file(t.home + "/.vostrelin/vostrelin.key", "x");
  EXPECT_EQ(t.locate().value(), t.home + "/.vostrelin/vostrelin.key");
  write_file(t.home + "/vostrelin.key", "x");
  EXPECT_EQ(t.locate().value(), t.home + "/vostrelin.key");
  write_file(t.bin + "/vostrelin.key", "x");
  EXPECT_EQ(t.locate().value(), t.bin + "/vostrelin.key");
}

TEST(LocateKeyFile, DirectoryCountsDanglingLinkDoesNot) {
  KeyTree t;
  ASSERT_EQ(::symlink((t.dir / "nowhere").c_str(), (t.bin + "/vostrelin.key").c_str()), 0);
  std::filesystem::create_directory(t.home + "/vostrelin.key");
  EXPECT_EQ(t.locate().value(), t.home + "/vostrelin.key");
}

TEST(LocateKeyFile, NotFoundListsEveryCandidate) {
  KeyTree t;
  Result<std::string> r = t.locate();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), NOT_FOUND_HEAD + "  " + t.bin + "/vostrelin.key\n  " + t.home +
                                     "/vostrelin.key\n  " + t.home + "/.vostrelin/vostrelin.key" +
                                     NOT_FOUND_TAIL);
}

TEST(LocateKeyFile, NothingKnown) {
  Result<std::string> r = locate_key_file_among(std::nullopt, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), NOT_FOUND_HEAD + NOT_FOUND_TAIL);
  // An executable at the root still has a parent; a bare name has none.
  EXPECT_EQ(locate_key_file_among(std::string("vostrelin"), std::nullopt).error().message(),
            NOT_FOUND_HEAD + NOT_FOUND_TAIL);
}

TEST(LocateKeyFile, HomeWithTrailingSlashAndInvalidUtf8) {
  Result<std::string> r = locate_key_file_among(std::nullopt, std::string("/nonexistent/h\xff/"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), NOT_FOUND_HEAD +
                                     "  /nonexistent/h\xEF\xBF\xBD/vostrelin.key\n"
                                     "  /nonexistent/h\xEF\xBF\xBD/.vostrelin/vostrelin.key" +
                                     NOT_FOUND_TAIL);
}

TEST(LocateKeyFile, UnsearchableDirectoryOnlyMovesOn) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can search any directory";
  KeyTree t;
  write_file(t.home + "/.vostrelin/vostrelin.key", "x");
  ::chmod(t.bin.c_str(), 0);
  EXPECT_EQ(t.locate().value(), t.home + "/.vostrelin/vostrelin.key");
}

TEST(JoinPath, AddsOneSlash) {
  EXPECT_EQ(join_path("/home/u", "vostrelin.key"), "/home/u/vostrelin.key");
  EXPECT_EQ(join_path("/home/u/", "vostrelin.key"), "/home/u/vostrelin.key");
  EXPECT_EQ(join_path("/", "vostrelin.key"), "/vostrelin.key");
}

TEST(InspectorPort, DigitRuleOrDefault) {
  test::ScopedEnv g("VOSTRELIN_INSPECTOR_PORT");
  struct Case {
    const char* value;
    uint16_t port;
  } cases[] = {{"5000", 5000}, {"+5000", 5000}, {"05000", 5000}, {"65535", 65535},
               {" 5000", 4040}, {"5000 ", 4040}, {"65536", 4040}, {"-1", 4040},
               {"abc", 4040},   {"", 4040},      {"0", 4040},     {"+0", 4040},
               {"00", 4040},    {"\xff", 4040}};
  for (const Case& c : cases) {
    g.set(c.value);
    EXPECT_EQ(inspector_port(), c.port) << "'" << c.value << "'";
  }
  g.unset();
  EXPECT_EQ(inspector_port(), 4040);
}

TEST(HomeDir, EnvironmentThenPasswordDatabase) {
  test::ScopedEnv g("HOME");
  g.set("/some/home");
  EXPECT_EQ(home_dir(), "/some/home");
  EXPECT_EQ(sessions_dir().value(), "/some/home/.vostrelin/sessions");
  g.set("/some/home/");
  EXPECT_EQ(sessions_dir().value(), "/some/home/.vostrelin/sessions");
  g.set("");
  std::optional<std::string> from_db = home_dir();
  g.unset();
  EXPECT_EQ(home_dir(), from_db);
}

}  // namespace
}  // namespace vostrelin
