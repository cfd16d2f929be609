// The request-head tokenizer: each case is parsed whole and then grown one
// byte at a time, where every shorter prefix must be Partial (or already
// Invalid, for invalid heads) and never Complete.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/http_head.h"

namespace vostrelin {
namespace {

using S = HttpHeadStatus;

struct Case {
  const char* name;
  std::string bytes;
  S status;
  size_t length = 0;  // Complete only; 0: the whole input
  const char* method = nullptr;
  const char* target = nullptr;
  std::vector<std::pair<std::string, std::string>> headers = {};
};

std::string show(S s) { return s == S::Complete ? "Complete" : s == S::Partial ? "Partial" : "Invalid"; }

void check(const Case& c, size_t slot_count) {
  std::vector<HttpHeaderField> slots(slot_count);
  HttpRequestHead head = parse_request_head(c.bytes, slots);
  ASSERT_EQ(show(head.status), show(c.status)) << c.name;
  const size_t length = c.length != 0 ? c.length : c.bytes.size();
  if (c.status == S::Complete) {
    EXPECT_EQ(head.length, length) << c.name;
  }
  if (c.method != nullptr) {
    ASSERT_TRUE(head.method) << c.name;
    EXPECT_EQ(*head.method, c.method) << c.name;
  }
  if (c.target != nullptr) {
    ASSERT_TRUE(head.target) << c.name;
    EXPECT_EQ(*head.target, c.target) << c.name;
  }
  if (c.status == S::Complete) {
    ASSERT_EQ(head.headers.size(), c.headers.size()) << c.name;
    for (size_t i = 0; i < c.headers.size(); ++i) {
      EXPECT_EQ(head.headers[i].name, c.headers[i].first) << c.name;
      EXPECT_EQ(head.headers[i].value, c.headers[i].second) << c.name;
    }
  }

  // Byte by byte: the first prefix that is not Partial must give the whole
  // input's verdict (Complete only once the whole head is there).
  for (size_t n = 0; n < c.bytes.size(); ++n) {
    HttpRequestHead part = parse_request_head(std::string_view(c.bytes).substr(0, n), slots);
    if (part.status == S::Partial) continue;
    EXPECT_EQ(show(part.status), show(c.status)) << c.name << " after " << n << " bytes";
    if (part.status == S::Complete) {
      EXPECT_EQ(part.length, length) << c.name;
    }
    break;
  }
}

std::string lines(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
  return s;
}

std::vector<std::pair<std::string, std::string>> fields(int count) {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < count; ++i) out.emplace_back("X-" + std::to_string(i), "v");
  return out;
}

TEST(HttpHead, Table) {
  const std::string simple = "GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n";
  const Case cases[] = {
      {"simple", simple, S::Complete, 0, "GET", "/a?b=1", {{"Host", "x"}}},
      {"body after the head is not counted", simple + "BODY", S::Complete, simple.size(), "GET", "/a?b=1",
       {{"Host", "x"}}},
      {"no headers", "GET / HTTP/1.0\r\n\r\n", S::Complete, 0, "GET", "/"},
      {"bare LF line ends", "GET / HTTP/1.1\nA: 1\n\n", S::Complete, 0, "GET", "/", {{"A", "1"}}},
      {"mixed line ends", "GET / HTTP/1.1\r\nA: 1\n\r\n", S::Complete, 0, "GET", "/", {{"A", "1"}}},
      {"leading empty lines skipped", "\r\n\nGET / HTTP/1.1\r\n\r\n", S::Complete, 0, "GET", "/"},
      {"any method token", "PROPFIND /x HTTP/1.1\r\n\r\n", S::Complete, 0, "PROPFIND", "/x"},
      {"lower-case method", "get / HTTP/1.1\r\n\r\n", S::Complete, 0, "get", "/"},
      {"odd token method", "F!#$%&'*+-.^_`|~0 / HTTP/1.1\r\n\r\n", S::Complete, 0, "F!#$%&'*+-.^_`|~0", "/"},
      {"runs of spaces", "GET   /x   HTTP/1.1\r\n\r\n", S::Complete, 0, "GET", "/x"},
      {"absolute target", "GET http://h/p HTTP/1.1\r\n\r\n", S::Complete, 0, "GET", "http://h/p"},
      {"obs-text in target and value", "GET /\xd0\xb9 HTTP/1.1\r\nA: \xff\xfe\r\n\r\n", S::Complete, 0, "GET",
       "/\xd0\xb9", {{"A", "\xff\xfe"}}},
      {"value white space trimmed", "GET / HTTP/1.1\r\nA:  \t v w \t \r\nB:\r\n\r\n", S::Complete, 0, "GET", "/",
       {{"A", "v w"}, {"B", ""}}},
      {"any minor version", "GET / HTTP/1.9\r\n\r\n", S::Complete, 0, "GET", "/"},

      {"empty", "", S::Partial},
      {"only empty lines", "\r\n\r\n", S::Partial},
      {"cut in the method", "GE", S::Partial},
      {"cut after the target", "GET /x", S::Partial, 0, "GET"},
      {"cut in the version", "GET /x HTTP/1", S::Partial, 0, "GET", "/x"},
      {"cut before the blank line", "GET / HTTP/1.1\r\nA: 1\r\n", S::Partial, 0, "GET", "/"},
      {"cut after CR", "GET / HTTP/1.1\r\nA: 1\r\n\r", S::Partial, 0, "GET", "/"},

      {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", S::Invalid},
      {"HTTP/1.10", "GET / HTTP/1.10\r\n\r\n", S::Invalid},
      {"lower-case protocol", "GET / http/1.1\r\n\r\n", S::Invalid},
      {"no version", "GET /\r\n\r\n", S::Invalid},
      {"leading space", " GET / HTTP/1.1\r\n\r\n", S::Invalid},
      {"NUL in method", std::string("G\0T / HTTP/1.1\r\n\r\n", 18), S::Invalid},
      {"control byte in target", "GET /\x01 HTTP/1.1\r\n\r\n", S::Invalid},
      {"DEL in target", "GET /\x7f HTTP/1.1\r\n\r\n", S::Invalid},
      {"space after version", "GET / HTTP/1.1 \r\n\r\n", S::Invalid},
      {"CR without LF", "GET / HTTP/1.1\rA: 1\r\n\r\n", S::Invalid},
      {"CR without LF in empty lines", "\rGET / HTTP/1.1\r\n\r\n", S::Invalid},
      {"space before colon", "GET / HTTP/1.1\r\nA : 1\r\n\r\n", S::Invalid},
      {"empty name", "GET / HTTP/1.1\r\n: 1\r\n\r\n", S::Invalid},
      {"no colon", "GET / HTTP/1.1\r\nAB\r\n\r\n", S::Invalid},
      {"folded line", "GET / HTTP/1.1\r\nA: 1\r\n 2\r\n\r\n", S::Invalid},
      {"control byte in value", "GET / HTTP/1.1\r\nA: 1\x01\r\n\r\n", S::Invalid},
      {"NUL in value", std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 23), S::Invalid},
      {"CR inside value", "GET / HTTP/1.1\r\nA: 1\r2\r\n\r\n", S::Invalid},
  };
  for (const Case& c : cases) check(c, 32);
}

TEST(HttpHead, SlotCountLimitsHeaderLines) {
  std::string head32 = "GET / HTTP/1.1\r\n" + lines(32) + "\r\n";
  std::string head33 = "GET / HTTP/1.1\r\n" + lines(33) + "\r\n";
  check({"32 lines in 32 slots", head32, S::Complete, 0, "GET", "/", fields(32)}, 32);
  check({"33 lines in 32 slots", head33, S::Invalid}, 32);
  check({"33 lines in 64 slots", head33, S::Complete, 0, "GET", "/", fields(33)}, 64);
  check({"one line, no slots", "GET / HTTP/1.1\r\nA: 1\r\n\r\n", S::Invalid}, 0);
  check({"no lines, no slots", "GET / HTTP/1.1\r\n\r\n", S::Complete, 18, "GET", "/"}, 0);

  // The 33rd line is refused as soon as it begins, before its end arrives.
  std::vector<HttpHeaderField> slots(32);
  EXPECT_EQ(show(parse_request_head("GET / HTTP/1.1\r\n" + lines(32) + "X", slots).status), "Invalid");
  EXPECT_EQ(show(parse_request_head("GET / HTTP/1.1\r\n" + lines(32) + "\r", slots).status), "Partial");
}

TEST(HttpHead, PartialHeadKeepsWhatWasRead) {
  std::array<HttpHeaderField, 4> slots;
  HttpRequestHead head = parse_request_head("\r\n\r\nPOST /p HTTP/1.1\r\nHost: a\r\nX-", slots);
  EXPECT_EQ(show(head.status), "Partial");
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.target, "/p");
  ASSERT_EQ(head.headers.size(), 1u);
  EXPECT_EQ(head.headers[0].value, "a");

  head = parse_request_head("\r\n\r\n", slots);
  EXPECT_FALSE(head.method);
  EXPECT_FALSE(head.target);
}

TEST(HttpHead, FindHeaderIgnoresCase) {
  std::array<HttpHeaderField, 4> slots;
  HttpRequestHead head = parse_request_head("GET / HTTP/1.1\r\nhOsT: a\r\nHost: b\r\n\r\n", slots);
  EXPECT_EQ(find_header(head.headers, "Host"), "a");
  EXPECT_EQ(find_header(head.headers, "Hos"), std::nullopt);
  EXPECT_TRUE(ascii_iequals("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(ascii_iequals("a\xc0", "a\xe0"));
}

}  // namespace
}  // namespace vostrelin
