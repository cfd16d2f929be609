// The handshake against the fake service, in-process: what the client sends
// byte for byte, how it takes each reply, what it prints, and which failures
// are fatal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "main/client.h"
#include "main/connect.h"
#include "main/handshake_errors.h"
#include "main/key_file.h"
#include "main/rule_frames.h"
#include "support/fake_service.h"
#include "support/process.h"
#include "support/runtime_fixture.h"

namespace vostrelin {
namespace {

using namespace test;
using asio::ip::tcp;

const std::string CONNECT_FAILED =
    "Не удалось подключиться к серверу. Проверьте подключение к интернету или обратитесь в техническую поддержку";
const std::string RECEIVE_FAILED =
    "Ошибка получения данных от сервера. Проверьте подключение к интернету или обратитесь в техническую поддержку";
const std::string SEND_FAILED =
    "Ошибка обмена данными с сервером. Проверьте подключение к интернету или обратитесь в техническую поддержку";
const std::string ADDRESS_LINE = "Для подключения используйте: ";

std::string frame(const std::string& json) { return "RULE." + std::to_string(json.size()) + "." + json; }

const std::string JSON_A = R"({"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"","to":"X-A: 1"})";
const std::string JSON_B = R"(["BODY","JSON","DELETE","$.secret",""])";
const std::string JSON_C = R"(["BODY","PLAIN","UPDATE","foo","bar",true])";
const std::vector<Rule> THREE_RULES = {
    {RuleType::HEADER, RuleDataType::PLAIN, RuleAction::CREATE, "", "X-A: 1", false},
    {RuleType::BODY, RuleDataType::JSON, RuleAction::DELETE, "$.secret", "", false},
    {RuleType::BODY, RuleDataType::PLAIN, RuleAction::UPDATE, "foo", "bar", true},
};

awaitable<Result<Handshake>> connect_and_handshake(ConnectProto proto, std::string hostname, uint16_t port) {
  Result<tcp::socket> socket = co_await connect_to_service();
  if (!socket) co_return std::move(socket).error();
  Client client(std::move(socket).value());
  co_return co_await client.handshake(proto, std::move(hostname), port);
}

// Keeps an environment variable as it was before the test.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) value_ = v;
  }
  ~SavedEnv() {
    if (value_) {
      ::setenv(name_, value_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> value_;
};

class HandshakeTest : public RuntimeTest {
 protected:
  HandshakeTest() {
    ::setenv("HOME", home.path().c_str(), 1);
    write_file(key_path, "token-123\n");
  }

  void SetUp() override {
    // The lookup tries the directory of the running program first.
    std::string beside = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vostrelin.key";
    ASSERT_FALSE(std::filesystem::exists(beside)) << beside << " would shadow the test's key file";
  }

  struct Outcome {
    Result<Handshake> result;
    std::string out;  // standard output during the handshake
    HandshakeLog log;
  };

  Outcome play(const HandshakeScript& script, ConnectProto proto = ConnectProto::Http, std::string hostname = "",
               uint16_t port = 0) {
    return play_with([&](FakeConnection& c) { return play_handshake(c, script); }, proto, std::move(hostname),
                     port);
  }

  Outcome play_with(std::function<HandshakeLog(FakeConnection&)> script, ConnectProto proto = ConnectProto::Http,
                    std::string hostname = "", uint16_t port = 0) {
    HandshakeLog log;
    FakeService service([&](FakeConnection& c) { log = script(c); });
    ::setenv("VOSTRELIN_TEST_SERVICE_PORT", service.port_text().c_str(), 1);
    testing::internal::CaptureStdout();
    Result<Handshake> result = run(connect_and_handshake(proto, std::move(hostname), port));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(service.wait_handled(1));
    return Outcome{std::move(result), std::move(out), std::move(log)};
  }

  SavedEnv saved_home{"HOME"};
  SavedEnv saved_port{"VOSTRELIN_TEST_SERVICE_PORT"};
  TempDir home;
  std::string key_path = home / "vostrelin.key";
};

const std::vector<std::string> ALL_MESSAGES = {"EHLO.1", "AUTH.token-123", "OPTS.HTTP", "CONN"};

HandshakeScript with(std::function<void(HandshakeScript&)> change) {
  HandshakeScript s;
  change(s);
  return s;
}

TEST_F(HandshakeTest, Replies) {
  const std::string opts_failed = "Ошибка настройки подключения";
  const std::string ehlo_format = "Неверный формат ответа EHLO";
  const std::string version_format = "Неверный формат версии";
  const std::string incompatible = "Несовместимые версии. Требуется обновление приложения";
  const std::string auth_failed = "Ошибка авторизации";
  const std::string conn_format = "Неверный формат ответа на подключение";
  const std::string rules_cut = "сервер закрыл соединение до завершения передачи правил";
  struct Case {
    const char* name;
    HandshakeScript script;
    size_t sent;                   // messages the client sends, of ALL_MESSAGES
    std::optional<std::string> address;  // on success
    std::string error = {};        // outermost message on failure
    bool fatal = false;
    size_t chain = 1;
  } cases[] = {
      {"plain", {}, 4, "demo.tunnel.example"},
      {"EHLO trimmed", with([](auto& s) { s.ehlo = " EHLO.1\r\n"; }), 4, "demo.tunnel.example"},
      {"EHLO 01", with([](auto& s) { s.ehlo = "EHLO.01"; }), 4, "demo.tunnel.example"},
      {"EHLO +1", with([](auto& s) { s.ehlo = "EHLO.+1"; }), 4, "demo.tunnel.example"},
      {"EHLO space before digit", with([](auto& s) { s.ehlo = "EHLO. 1"; }), 1, {}, version_format, false, 2},
      {"EHLO 1.0", with([](auto& s) { s.ehlo = "EHLO.1.0"; }), 1, {}, version_format, false, 2},
      {"EHLO empty version", with([](auto& s) { s.ehlo = "EHLO."; }), 1, {}, version_format, false, 2},
      {"EHLO -1", with([](auto& s) { s.ehlo = "EHLO.-1"; }), 1, {}, version_format, false, 2},
      {"EHLO above 32 bits", with([](auto& s) { s.ehlo = "EHLO.4294967297"; }), 1, {}, version_format, false, 2},
      {"EHLO 2", with([](auto& s) { s.ehlo = "EHLO.2"; }), 1, {}, incompatible, true},
      {"EHLO 32-bit maximum", with([](auto& s) { s.ehlo = "EHLO.4294967295"; }), 1, {}, incompatible, true},
      {"HELO", with([](auto& s) { s.ehlo = "HELO.1"; }), 1, {}, ehlo_format},
      {"EHLO without dot", with([](auto& s) { s.ehlo = "EHLO"; }), 1, {}, ehlo_format},
      {"EHLO lower case", with([](auto& s) { s.ehlo = "ehlo.1"; }), 1, {}, ehlo_format},
      {"closed instead of EHLO", with([](auto& s) { s.ehlo.reset(); }), 1, {}, ehlo_format},
      {"reset instead of EHLO", with([](auto& s) { s.ehlo.reset(); s.reset = true; }), 1, {}, RECEIVE_FAILED, false, 2},
      {"ERRR to EHLO", with([](auto& s) { s.ehlo = "ERRR.сервер перегружен"; }), 1, {}, "сервер перегружен"},
      {"ERRR with white space", with([](auto& s) { s.ehlo = " \r\n ERRR.  отказано \r\n"; }), 1, {}, "  отказано"},
      {"AUTH ERRR token invalid", with([](auto& s) { s.auth = "ERRR.Токен не валиден"; }), 2, {}, "Токен не валиден",
       true},
      {"AUTH ERRR upper case", with([](auto& s) { s.auth = "ERRR.ТОКЕН НЕ ВАЛИДЕН"; }), 2, {}, "ТОКЕН НЕ ВАЛИДЕН",
       true},
      {"AUTH ERRR expired", with([](auto& s) { s.auth = "ERRR.ИСТЕКЛО ВРЕМЯ ЖИЗНИ токена"; }), 2, {},
       "ИСТЕКЛО ВРЕМЯ ЖИЗНИ токена", true},
      {"AUTH ERRR alone", with([](auto& s) { s.auth = "ERRR."; }), 2, {}, ""},
      {"AUTH.OK with line feed", with([](auto& s) { s.auth = "AUTH.OK\n"; }), 4, "demo.tunnel.example"},
      {"AUTH.OK with dot", with([](auto& s) { s.auth = "AUTH.OK."; }), 2, {}, auth_failed, true},
      {"AUTH.OK lower case", with([](auto& s) { s.auth = "auth.ok"; }), 2, {}, auth_failed, true},
      {"closed instead of AUTH", with([](auto& s) { s.auth.reset(); }), 2, {}, auth_failed, true},
      {"OPTS.OK glued to rules", with([](auto& s) { s.opts = "OPTS.OKRULE.0."; s.rule_writes = {}; }), 3, {},
       opts_failed},
      {"OPTS refused", with([](auto& s) { s.opts = "OPTS.NO"; }), 3, {}, opts_failed},
      {"OPTS ERRR expired", with([](auto& s) { s.opts = "ERRR.Истекло время жизни токена"; }), 3, {},
       "Истекло время жизни токена", true},
      {"closed instead of OPTS", with([](auto& s) { s.opts.reset(); }), 3, {}, opts_failed},
      {"no rules", with([](auto& s) { s.rule_writes = {"RULE.0."}; }), 4, "demo.tunnel.example"},
      {"closed before the rules", with([](auto& s) { s.rule_writes = {}; s.close_after_rules = true; }), 3, {},
       rules_cut},
      {"closed after two rules",
       with([](auto& s) { s.rule_writes = {frame(JSON_A), frame(JSON_B)}; s.close_after_rules = true; }), 3, {},
       rules_cut},
      {"reset during the rules",
       with([](auto& s) { s.rule_writes = {frame(JSON_A)}; s.close_after_rules = true; s.reset = true; }), 3, {},
       "Ошибка чтения RULE от сервера", false, 2},
      // Sixteen bytes of the foreign frame cut the fatal text short.
      {"ERRR among the rules", with([](auto& s) { s.rule_writes = {"ERRR.Токен не валиден"}; }), 3, {},
       "Неожиданный кадр вместо RULE: ERRR.Токен "},
      {"ERRR cut inside a letter", with([](auto& s) { s.rule_writes = {"ERRR.неверный токен"}; }), 3, {},
       "Неожиданный кадр вместо RULE: ERRR.невер\xEF\xBF\xBD"},
      // The quote is taken from the front of what is left once the rules
      // before it in the same read have been taken.
      {"ERRR after a rule in the same read",
       with([](auto& s) { s.rule_writes = {frame(JSON_A) + "ERRR.сервер занят"}; }), 3, {},
       "Неожиданный кадр вместо RULE: ERRR.серве\xEF\xBF\xBD"},
      {"bad size after a rule in the same read",
       with([](auto& s) { s.rule_writes = {frame(JSON_A) + "RULE.-1."}; }), 3, {}, "размер RULE не число", false, 2},
      // A foreign frame is fatal only when its quoted bytes hold a fatal text.
      {"foreign frame quoting the key file name",
       with([](auto& s) { s.rule_writes = {"VOSTRELIN.KEY is gone"}; }), 3, {},
       "Неожиданный кадр вместо RULE: VOSTRELIN.KEY is", true},
      {"foreign frame cutting the key file name",
       with([](auto& s) { s.rule_writes = {"ERRR.vostrelin.key"}; }), 3, {},
       "Неожиданный кадр вместо RULE: ERRR.vostrelin.k"},
      {"bad rule JSON", with([](auto& s) { s.rule_writes = {frame(R"({"type":"HEADER"})")}; }), 3, {},
       "невалидный JSON правила", false, 2},
      {"bad rule size", with([](auto& s) { s.rule_writes = {"RULE.1a."}; }), 3, {}, "размер RULE не число", false, 2},
      {"CONN. alone", with([](auto& s) { s.conn = "CONN."; }), 4, ""},
      {"CONN trimmed", with([](auto& s) { s.conn = "CONN.a.tunnel.example:443 \r\n"; }), 4, "a.tunnel.example:443"},
      {"CONN without dot", with([](auto& s) { s.conn = "CONN"; }), 4, {}, conn_format},
      {"CONN ERRR", with([](auto& s) { s.conn = "ERRR.нет свободных адресов"; }), 4, {}, "нет свободных адресов"},
      {"closed instead of CONN", with([](auto& s) { s.conn.reset(); }), 4, {}, conn_format},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = play(c.script);
    std::vector<std::string> sent(ALL_MESSAGES.begin(), ALL_MESSAGES.begin() + c.sent);
    EXPECT_EQ(o.log.messages, sent);
    if (c.address) {
      ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
      EXPECT_EQ(o.result->public_address, *c.address);
      EXPECT_EQ(o.out, ADDRESS_LINE + *c.address + "\n");
      EXPECT_TRUE(o.log.completed);
      continue;
    }
    ASSERT_FALSE(o.result.ok());
    EXPECT_EQ(o.result.error().message(), c.error) << o.result.error().describe();
    EXPECT_EQ(o.result.error().chain().size(), c.chain) << o.result.error().describe();
    EXPECT_EQ(is_fatal_handshake_error(o.result.error().message()), c.fatal);
    EXPECT_EQ(o.out, "");
  }
}

// Whatever the service sends is printed with its control characters made
// visible; the address itself is kept as it came, for the session file.
TEST_F(HandshakeTest, ServiceTextsCannotDriveTheTerminal) {
  struct Case {
    const char* name;
    HandshakeScript script;
    std::string out;    // standard output on success
    std::string error;  // outermost message on failure
  } cases[] = {
      {"address that retitles the window and clears the screen",
       with([](auto& s) { s.conn = "CONN.a.example\x1b]0;pwned\x07\x1b[2J"; }),
       ADDRESS_LINE + "a.example\\x1b]0;pwned\\x07\\x1b[2J\n", ""},
      {"address with a C1 control", with([](auto& s) { s.conn = "CONN.a.example\xC2\x9B" "2J"; }),
       ADDRESS_LINE + "a.example\\xc2\\x9b2J\n", ""},
      {"address without controls, as it came", with([](auto& s) { s.conn = "CONN.туннель.пример/ё\\x1b"; }),
       ADDRESS_LINE + "туннель.пример/ё\\x1b\n", ""},
      {"error that overwrites the line above",
       with([](auto& s) { s.auth = "ERRR.\x1b[1A\x1b[2K\rDone: all good"; }), "",
       "\\x1b[1A\\x1b[2K\\x0dDone: all good"},
      {"error in reply to CONN", with([](auto& s) { s.conn = "ERRR.\x1b[31mнет адресов\x1b[0m"; }), "",
       "\\x1b[31mнет адресов\\x1b[0m"},
      {"unexpected frame among the rules",
       with([](auto& s) { s.rule_writes = {"ERRR.\x1b[2J\x1b]0;x\x07zzzz"}; }), "",
       "Неожиданный кадр вместо RULE: ERRR.\\x1b[2J\\x1b]0;x\\x07z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = play(c.script);
    EXPECT_EQ(o.out, c.out);
    if (c.error.empty()) {
      ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
      EXPECT_EQ(o.result->public_address, c.script.conn->substr(5));
    } else {
      ASSERT_FALSE(o.result.ok());
      EXPECT_EQ(o.result.error().message(), c.error);
    }
  }
}

// However the frames are cut or glued, the same rules come out in order
// and the client asks for the address once the end frame is in.
TEST_F(HandshakeTest, RuleFramesSplitAndGlued) {
  const std::string all = frame(JSON_A) + frame(JSON_B) + frame(JSON_C) + "RULE.0.";
  const std::string a = frame(JSON_A);
  struct Case {
    const char* name;
    std::vector<std::string> writes;
  } cases[] = {
      {"one write each", {frame(JSON_A), frame(JSON_B), frame(JSON_C), "RULE.0."}},
      {"all in one write", {all}},
      {"cut inside the tag", {"RU", "LE.", all.substr(5)}},
      {"cut inside the size", {a.substr(0, 6), all.substr(6)}},
      {"cut right after the dot", {a.substr(0, a.find('.', 5) + 1), all.substr(a.find('.', 5) + 1)}},
      {"cut inside the JSON", {a.substr(0, 30), a.substr(30, 20), all.substr(50)}},
      {"cut inside the end frame", {all.substr(0, all.size() - 3), all.substr(all.size() - 3)}},
      {"end frame 00", {a + frame(JSON_B) + frame(JSON_C) + "RULE.00."}},
      {"end frame +0", {a + frame(JSON_B) + frame(JSON_C), "RULE.+0."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeScript script;
    script.rule_writes = c.writes;
    Outcome o = play(script);
    ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
    EXPECT_EQ(o.result->rules, THREE_RULES);
    EXPECT_EQ(o.log.messages, ALL_MESSAGES);
  }
}

TEST_F(HandshakeTest, BytesAfterTheEndFrameAreDropped) {
  HandshakeScript script;
  script.rule_writes = {frame(JSON_A) + "RULE.0.CONN.stale.example"};
  script.conn = "CONN.fresh.example";
  Outcome o = play(script);
  ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
  EXPECT_EQ(o.result->public_address, "fresh.example");
  EXPECT_EQ(o.result->rules, std::vector<Rule>{THREE_RULES[0]});
}

TEST_F(HandshakeTest, RuleListLimit) {
  // Frames of 1 MiB each: sixteen fit, the seventeenth is refused.
  const std::string json = JSON_B + std::string((size_t{1} << 20) - 20 - JSON_B.size(), ' ');
  const std::string big = frame(json);
  ASSERT_LT(big.size(), MAX_RULE_FRAME_BYTES);
  std::string sixteen;
  for (int i = 0; i < 16; ++i) sixteen += big;
  ASSERT_LE(sixteen.size(), MAX_RULE_LIST_BYTES);

  HandshakeScript fits;
  fits.rule_writes = {sixteen + "RULE.0."};
  Outcome ok = play(fits);
  ASSERT_TRUE(ok.result.ok()) << ok.result.error().describe();
  EXPECT_EQ(ok.result->rules.size(), 16u);

  HandshakeScript too_many;
  too_many.rule_writes = {sixteen + big};
  too_many.close_after_rules = true;
  Outcome refused = play(too_many);
  ASSERT_FALSE(refused.result.ok());
  EXPECT_EQ(refused.result.error().message(), "слишком много правил от сервера: больше 16 МиБ");
}

TEST_F(HandshakeTest, OptionsMessages) {
  struct Case {
    ConnectProto proto;
    std::string hostname;
    uint16_t port;
    std::string message;
  } cases[] = {
      {ConnectProto::Http, "", 0, "OPTS.HTTP"},
      {ConnectProto::Http, "my-app", 0, "OPTS.HTTP.my-app"},
      {ConnectProto::Http, "тест.рф", 0, "OPTS.HTTP.тест.рф"},
      {ConnectProto::Tcp, "", 0, "OPTS.TCP"},
      {ConnectProto::Tcp, "", 443, "OPTS.TCP.443"},
      {ConnectProto::Udp, "", 0, "OPTS.UDP"},
      {ConnectProto::Udp, "", 65535, "OPTS.UDP.65535"},
      {ConnectProto::Udp, "", 7, "OPTS.UDP.7"},
  };
  for (const Case& c : cases) {
    Outcome o = play({}, c.proto, c.hostname, c.port);
    ASSERT_TRUE(o.result.ok()) << c.message << ": " << o.result.error().describe();
    ASSERT_EQ(o.log.messages.size(), 4u) << c.message;
    EXPECT_EQ(o.log.messages[2], c.message);
  }
}

TEST_F(HandshakeTest, KeyFile) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nothing: no key file
    std::string auth;                    // the AUTH message, when the handshake gets there
    std::string error = {};
    bool fatal = false;
  } cases[] = {
      {"token and line feed", "token-123\n", "AUTH.token-123"},
      {"white space around and inside", " \t a b \r\n", "AUTH.a b"},
      {"Unicode white space", "\xC2\xA0tok\xE3\x80\x80", "AUTH.tok"},
      {"empty", "", "AUTH."},
      {"not UTF-8", "tok\xFF", "", "Не удалось прочитать файл ключа"},
      {"larger than 1 MiB", std::string((size_t{1} << 20) + 1, 'a'), "", "Не удалось прочитать файл ключа"},
      {"missing", std::nullopt, "", "Файл vostrelin.key не найден", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(key_path);
    if (c.content) write_file(key_path, *c.content);
    Outcome o = play({});
    if (c.error.empty()) {
      ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
      ASSERT_GE(o.log.messages.size(), 2u);
      EXPECT_EQ(o.log.messages[1], c.auth);
      continue;
    }
    ASSERT_FALSE(o.result.ok());
    EXPECT_EQ(o.result.error().message().substr(0, c.error.size()), c.error);
    EXPECT_EQ(is_fatal_handshake_error(o.result.error().message()), c.fatal);
    // Nothing is sent before the key file has been read.
    EXPECT_TRUE(o.log.messages.empty());
    EXPECT_TRUE(o.log.client_closed);
  }

  // A directory where the key file should be is found, but cannot be read.
  std::filesystem::remove(key_path);
  std::filesystem::create_directory(key_path);
  Outcome o = play({});
  ASSERT_FALSE(o.result.ok());
  EXPECT_EQ(o.result.error().message(), "Не удалось прочитать файл ключа");
  EXPECT_EQ(o.result.error().chain().size(), 2u);
  EXPECT_FALSE(is_fatal_handshake_error(o.result.error().message()));

  // A named pipe in its place would block the session for ever on open or
  // read; it fails like any other key file that cannot be read.
  std::filesystem::remove(key_path);
  ASSERT_EQ(::mkfifo(key_path.c_str(), 0600), 0);
  o = play({});
  ASSERT_FALSE(o.result.ok());
  EXPECT_EQ(o.result.error().message(), "Не удалось прочитать файл ключа");
  EXPECT_TRUE(o.log.messages.empty());
}

// A reply is one read of at most 1024 bytes: the rest stays on the
// connection and is taken as the next reply.
TEST_F(HandshakeTest, LongReplyIsJudgedOnItsFirst1024Bytes) {
  Outcome o = play_with([](FakeConnection& c) {
    HandshakeLog log;
    std::optional<std::string> m = c.read_some();
    log.messages.push_back(m.value_or(""));
    c.send_now("EHLO.1" + std::string(1018, ' ') + "AUTH.OK");
    log.messages.push_back(c.read_some().value_or(""));  // AUTH, answered already
    log.messages.push_back(c.read_some().value_or(""));
    c.send("OPTS.OK");
    c.send("RULE.0.");
    log.messages.push_back(c.read_some().value_or(""));
    c.send("CONN.x");
    log.completed = true;
    return log;
  });
  ASSERT_TRUE(o.result.ok()) << o.result.error().describe();
  EXPECT_EQ(o.log.messages, ALL_MESSAGES);
  EXPECT_EQ(o.result->public_address, "x");
}

TEST_F(HandshakeTest, ReceivePacketDecodesAndTrims) {
  struct Case {
    std::string bytes;
    std::optional<std::string> text;  // nothing: an error with this message
    std::string error = {};
  } cases[] = {
      {"\xC2\xA0 hello \xE2\x80\xA8", "hello"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"ERRR", "ERRR"},
      {"ERRR.", std::nullopt, ""},
      {"\tERRR.Ошибка\r\n", std::nullopt, "Ошибка"},
      {"ERRR.\xFF", std::nullopt, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    FakeService service([&](FakeConnection& conn) {
      conn.send(c.bytes);
      conn.wait_closed();
    });
    ::setenv("VOSTRELIN_TEST_SERVICE_PORT", service.port_text().c_str(), 1);
    Result<std::string> r = run([]() -> awaitable<Result<std::string>> {
      Result<tcp::socket> socket = co_await connect_to_service();
      if (!socket) co_return std::move(socket).error();
      Client client(std::move(socket).value());
      co_return co_await client.receive_packet();
    }());
    if (c.text) {
      ASSERT_TRUE(r.ok()) << c.bytes;
      EXPECT_EQ(r.value(), *c.text);
    } else {
      ASSERT_FALSE(r.ok()) << c.bytes;
      EXPECT_EQ(r.error().message(), c.error);
      EXPECT_EQ(r.error().chain().size(), 1u);
    }
  }
}

TEST_F(HandshakeTest, UnreachableService) {
  // A port that was free a moment ago and has no listener now.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  ::setenv("VOSTRELIN_TEST_SERVICE_PORT", std::to_string(ntohs(addr.sin_port)).c_str(), 1);
  std::filesystem::remove(key_path);

  Result<Handshake> r = run(connect_and_handshake(ConnectProto::Tcp, "", 0));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), CONNECT_FAILED);
  ASSERT_EQ(r.error().chain().size(), 2u);
  EXPECT_FALSE(is_fatal_handshake_error(r.error().message()));
}

// A service that resets the connection before the first message: the
// write of "EHLO.1" fails.
TEST_F(HandshakeTest, ResetBeforeTheFirstMessage) {
  FakeService service([](FakeConnection& c) { c.reset_on_close(); });
  ::setenv("VOSTRELIN_TEST_SERVICE_PORT", service.port_text().c_str(), 1);
  // The reset may come so soon that it fails the connect itself; then the
  // next attempt is tried (the write is what this test is about).
  Result<tcp::socket> socket = run(connect_to_service());
  size_t attempts = 1;
  for (; !socket.ok() && attempts < 20; ++attempts) socket = run(connect_to_service());
  ASSERT_TRUE(socket.ok()) << socket.error().describe();
  ASSERT_TRUE(service.wait_handled(attempts));
  // The reset has reached the client's socket before it writes (a fixed
  // pause is not always enough on a loaded machine).
  pollfd reset{socket.value().native_handle(), POLLIN, 0};
  for (int i = 0; i < 500 && (reset.revents & (POLLERR | POLLHUP)) == 0; ++i) ::poll(&reset, 1, 10);
  ASSERT_NE(reset.revents & (POLLERR | POLLHUP), 0);
  Result<Handshake> r = run([](tcp::socket s) -> awaitable<Result<Handshake>> {
    Client client(std::move(s));
    co_return co_await client.handshake(ConnectProto::Http, "", 0);
  }(std::move(socket).value()));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), SEND_FAILED);
  EXPECT_EQ(r.error().chain().size(), 2u);
  EXPECT_FALSE(is_fatal_handshake_error(r.error().message()));
}

TEST_F(HandshakeTest, StreamIsTakenBackAfterTheHandshake) {
  HandshakeLog log;
  std::string after;
  FakeService service([&](FakeConnection& c) {
    log = play_handshake(c, {});
    c.send("PING");
    after = c.read_some().value_or("(nothing)");
  });
  ::setenv("VOSTRELIN_TEST_SERVICE_PORT", service.port_text().c_str(), 1);
  testing::internal::CaptureStdout();
  std::string got = run([]() -> awaitable<std::string> {
    Result<tcp::socket> socket = co_await connect_to_service();
    if (!socket) co_return socket.error().describe();
    Client client(std::move(socket).value());
    Result<Handshake> h = co_await client.handshake(ConnectProto::Tcp, "", 0);
    if (!h) co_return h.error().describe();
    tcp::socket stream = client.take_stream();
    std::array<char, 16> buf{};
    auto [ec, n] = co_await stream.async_read_some(asio::buffer(buf), as_tuple_awaitable);
    if (ec) co_return ec.message();
    co_await asio::async_write(stream, asio::buffer(std::string_view("PONG")), use_awaitable);
    co_return std::string(buf.data(), n);
  }());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(got, "PING");
  ASSERT_TRUE(service.wait_handled(1));
  EXPECT_EQ(after, "PONG");
}

TEST(FatalHandshakeError, Classification) {
  struct Case {
    std::string message;
    bool fatal;
  } cases[] = {
      {"Ошибка авторизации", true},
      {"Ошибка авторизации: подробности от сервера", true},
      {"ОШИБКА АВТОРИЗАЦИИ", true},
      {"Несовместимые версии. Требуется обновление приложения", true},
      {"НЕСОВМЕСТИМЫЕ ВЕРСИИ", true},
      {"Токен не валиден", true},
      {"ваш ТОКЕН НЕ ВАЛИДЕН, получите новый", true},
      {"Истекло Время Жизни токена", true},
      {"Файл vostrelin.key не найден\n\nИскали в:\n  /home/u/vostrelin.key", true},
      {"Файл VOSTRELIN.KEY не найден", true},
      {"vostrelin.\u212AEY", true},  // KELVIN SIGN lower-cases to k
      {"Неверный формат ответа EHLO", false},
      {"Неверный формат версии", false},
      {"Ошибка настройки подключения", false},
      {"Неверный формат ответа на подключение", false},
      {"Не удалось прочитать файл ключа", false},
      {CONNECT_FAILED, false},
      {RECEIVE_FAILED, false},
      {"сервер закрыл соединение до завершения передачи правил", false},
      {"Неожиданный кадр вместо RULE: ERRR.Токен ", false},
      {"", false},
      {"vostrelin key", false},
      {"тoкен не валиден", false},  // a Latin o
      {"ошибка  авторизации", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_fatal_handshake_error(c.message), c.fatal) << c.message;
}

}  // namespace
}  // namespace vostrelin
