#include "http_proxy/header_rules.h"

#include <gtest/gtest.h>

namespace vostrelin::http_proxy {
namespace {

Rule header(RuleAction action, std::string from, std::string to, bool upgrade = false) {
  return {RuleType::HEADER, RuleDataType::PLAIN, action, std::move(from), std::move(to), upgrade};
}

const RuleAction CREATE = RuleAction::CREATE;
const RuleAction DELETE = RuleAction::DELETE;
const RuleAction UPDATE = RuleAction::UPDATE;

std::string warning(std::string_view name) {
  return "rule skipped for websocket upgrade: '" + std::string(name) + "' is a protected header\n";
}

TEST(HeaderRules, RewriteTable) {
  struct Case {
    const char* name;
    std::string head;
    std::vector<Rule> rules;
    bool upgrade;
    std::string expected;
    std::vector<std::string> warnings;
  };
  const std::string get = "GET / HTTP/1.1\r\nHost: example\r\n";
  const std::string end = "\r\n";
  const std::string plain = get + end;
  const std::string upgrade =
      "GET /ws HTTP/1.1\r\nHost: example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: k\r\n\r\n";
  const Case cases[] = {
      {"no header rules", plain,
       {{RuleType::BODY, RuleDataType::PLAIN, CREATE, "Host", "X: 1", true}}, false, plain, {}},
      {"rules that match nothing", plain,
       {header(DELETE, "X-None", ""), header(UPDATE, "X-None", "1")}, false, plain, {}},
      {"update every letter case", get + "x-token: 1\r\nX-TOKEN:2\r\n" + end,
       {header(UPDATE, "X-Token", "abc")}, false,
       get + "X-Token: abc\r\nX-Token: abc\r\n" + end, {}},
      {"update keeps the rule's letter case and adds one blank", get + "X-A:  1\r\n" + end,
       {header(UPDATE, "x-A", "")}, false, get + "x-A: \r\n" + end, {}},
      {"update without a line adds nothing", plain, {header(UPDATE, "X-Token", "abc")}, false,
       plain, {}},
      {"delete needs the colon right after the name",
       get + "Accept: text/html\r\nAccept-Encoding: gzip\r\nAccept : text/html\r\n" + end,
       {header(DELETE, "accept", "")}, false,
       get + "Accept-Encoding: gzip\r\nAccept : text/html\r\n" + end, {}},
      {"delete of a name prefix removes nothing", get + "Content-Length: 5\r\n" + end,
       {header(DELETE, "Content", "")}, false, get + "Content-Length: 5\r\n" + end, {}},
      {"delete with a leading blank matches nothing", plain, {header(DELETE, " host", "")}, false,
       plain, {}},
      {"two identical creates", plain, {header(CREATE, "", "X-A: 1"), header(CREATE, "", "X-A: 1")},
       false, get + "X-A: 1\r\nX-A: 1\r\n" + end, {}},
      {"create then delete", plain, {header(CREATE, "", "X-A: 1"), header(DELETE, "x-a", "")}, false,
       plain, {}},
      {"create keeps an existing header of that name", plain, {header(CREATE, "", "Host: other")},
       false, get + "Host: other\r\n" + end, {}},
      {"create on a bare request line", "GET / HTTP/1.1\r\n\r\n", {header(CREATE, "", "X-A: 1")},
       false, "GET / HTTP/1.1\r\nX-A: 1\r\n\r\n", {}},
      {"create without an end of head", "GET / HTTP/1.1", {header(CREATE, "", "X-A: 1")}, false,
       "GET / HTTP/1.1\r\nX-A: 1", {}},
      {"create goes before the last end of head", "GET / HTTP/1.1\r\n\r\nA: 1\r\n\r\n",
       {header(CREATE, "", "X-A: 1")}, false, "GET / HTTP/1.1\r\n\r\nA: 1\r\nX-A: 1\r\n\r\n", {}},
      {"create is verbatim", plain, {header(CREATE, "", "no colon\r\nX-B: 2")}, false,
       get + "no colon\r\nX-B: 2\r\n" + end, {}},
      {"a lone line feed does not end a line", get + "A: 1\nB: 2\r\n" + end,
       {header(DELETE, "B", ""), header(UPDATE, "a", "3")}, false, get + "a: 3\r\n" + end, {}},
      {"the request line is matched like a header line",
       "GET http://x/ HTTP/1.1\r\nHost: x\r\n\r\n", {header(DELETE, "GET http", "")}, false,
       "Host: x\r\n\r\n", {}},
      {"the tail after the end of head is kept", plain + "body", {header(CREATE, "", "X: 1")}, false,
       get + "X: 1\r\n" + end + "body", {}},
      {"non-header rules in between", plain,
       {header(CREATE, "", "X-A: 1"), {RuleType::BODY, RuleDataType::JSON, DELETE, "x-a", "", false},
        header(UPDATE, "x-a", "2")},
       false, get + "x-a: 2\r\n" + end, {}},

      // WebSocket upgrades
      {"upgrade: a rule without the flag is passed over silently", upgrade,
       {header(DELETE, "Host", ""), header(CREATE, "", "X-A: 1")}, true, upgrade, {}},
      {"upgrade: a protected name is refused with a warning", upgrade,
       {header(DELETE, "Host", "", true)}, true, upgrade, {warning("host")}},
      {"upgrade: the name is lowered for the warning", upgrade,
       {header(UPDATE, "SEC-WEBSOCKET-KEY", "x", true)}, true, upgrade,
       {warning("sec-websocket-key")}},
      {"upgrade: a created name is trimmed and lowered", upgrade,
       {header(CREATE, "", "Upgrade : h2c", true), header(CREATE, "", "  Upgrade: h2c", true),
        header(CREATE, "", "\xC2\xA0" "Connection\xE3\x80\x80: x", true)},
       true, upgrade, {warning("upgrade"), warning("upgrade"), warning("connection")}},
      {"upgrade: other names are rewritten", upgrade,
       {header(CREATE, "", "X-Debug: 1", true), header(DELETE, "connection", "", false),
        header(UPDATE, "upgrade ", "x", true)},
       true,
       "GET /ws HTTP/1.1\r\nHost: example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Key: k\r\nX-Debug: 1\r\n\r\n",
       {}},
      {"not an upgrade: protected names are ordinary", upgrade,
       {header(DELETE, "Host", ""), header(UPDATE, "upgrade", "h2c", true)}, false,
       "GET /ws HTTP/1.1\r\nupgrade: h2c\r\nConnection: Upgrade\r\nSec-WebSocket-Key: k\r\n\r\n",
       {}},

      // A head that is not UTF-8 passes through, rules and warnings alike.
      {"not UTF-8", "GET /\xFF HTTP/1.1\r\nHost: x\r\n\r\n",
       {header(CREATE, "", "X-A: 1"), header(DELETE, "host", "", true)}, true,
       "GET /\xFF HTTP/1.1\r\nHost: x\r\n\r\n", {}},
  };
  for (const Case& c : cases) {
    HeaderRewrite r = rewrite_header_lines(c.head, c.rules, c.upgrade);
    EXPECT_EQ(r.head, c.expected) << c.name;
    EXPECT_EQ(r.warnings, c.warnings) << c.name;
    EXPECT_EQ(apply_header_rules(c.head, c.rules, c.upgrade), c.expected) << c.name;
  }
}

TEST(HeaderRules, ProtectedNames) {
  for (std::string_view name : PROTECTED_UPGRADE_HEADERS) {
    std::string head = "GET / HTTP/1.1\r\n" + std::string(name) + ": v\r\n\r\n";
    HeaderRewrite refused = rewrite_header_lines(head, {{header(DELETE, std::string(name), "", true)}}, true);
    EXPECT_EQ(refused.head, head) << name;
    EXPECT_EQ(refused.warnings, std::vector<std::string>{warning(name)}) << name;
    HeaderRewrite applied = rewrite_header_lines(head, {{header(DELETE, std::string(name), "", true)}}, false);
    EXPECT_EQ(applied.head, "GET / HTTP/1.1\r\n\r\n") << name;
  }
  // Only these eight.
  HeaderRewrite other = rewrite_header_lines("GET / HTTP/1.1\r\n\r\n",
                                             {{header(CREATE, "", "Sec-WebSocket-Other: 1", true)}}, true);
  EXPECT_TRUE(other.warnings.empty());
}

TEST(ContentLength, Extract) {
  struct Case {
    std::string head;
    std::optional<uint64_t> expected;
  } cases[] = {
      {"POST / HTTP/1.1\r\ncontent-length:12\r\n\r\n", 12},
      {"POST / HTTP/1.1\r\nContent-Length:  +12 \t\r\n\r\n", 12},
      {"POST / HTTP/1.1\r\nCONTENT-LENGTH: 0012\r\n\r\n", 12},
      {"POST / HTTP/1.1\r\nContent-Length:\xC2\xA0" "7\xE3\x80\x80\r\n\r\n", 7},
      {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n", UINT64_MAX},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n", 5},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3", 3},
      {"POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: 1 2\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: ++1\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: x\r\nContent-Length: 7\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length : 5\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\n Content-Length: 5\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nX: 1\nContent-Length: 5\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\n\r\n", std::nullopt},
      {"POST /\xFF HTTP/1.1\r\nContent-Length: 5\r\n\r\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(extract_content_length(c.head), c.expected) << c.head;
}

TEST(ContentLength, Set) {
  struct Case {
    std::string head;
    size_t length;
    std::string expected;
  } cases[] = {
      {"POST / HTTP/1.1\r\ncontent-length: 3\r\nContent-Length: 4\r\n\r\n", 10,
       "POST / HTTP/1.1\r\nContent-Length: 10\r\nContent-Length: 4\r\n\r\n"},
      {"POST / HTTP/1.1\r\nHost: x\r\n\r\n", 10,
       "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n"},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", 0, "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", SIZE_MAX,
       "POST / HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n"},
      // Found by neither reading nor writing: a second line is added.
      {"POST / HTTP/1.1\r\nContent-Length : 3\r\n\r\n", 5,
       "POST / HTTP/1.1\r\nContent-Length : 3\r\nContent-Length: 5\r\n\r\n"},
      {"POST / HTTP/1.1", 5, "POST / HTTP/1.1\r\nContent-Length: 5"},
      {"POST /\xFF HTTP/1.1\r\nContent-Length: 3\r\n\r\n", 5,
       "POST /\xFF HTTP/1.1\r\nContent-Length: 3\r\n\r\n"},
  };
  for (const Case& c : cases) {
    std::string out = set_content_length(c.head, c.length);
    EXPECT_EQ(out, c.expected) << c.head;
  }
}

}  // namespace
}  // namespace vostrelin::http_proxy
