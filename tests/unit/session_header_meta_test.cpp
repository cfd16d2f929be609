// Reading the session header from a line of text and from a parsed value.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "inspector/session_header_meta.h"

namespace vostrelin::inspector {
namespace {

struct Case {
  std::string text;
  std::optional<SessionHeaderMeta> from_text;
};

const SessionHeaderMeta FULL{"2025-03-14T09:26:53+03:00", "HTTP", "demo", "https://x.example"};

TEST(SessionHeaderMeta, FromText) {
  const Case cases[] = {
      // What the recorder writes reads back whole.
      {R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"demo","local_port":8080,"remote_url":"https://x.example"})",
       FULL},
      {R"({"ts":"a"})", SessionHeaderMeta{"a", "", "", ""}},
      {R"({"remote_url":"u","ts":"a"})", SessionHeaderMeta{"a", "", "", "u"}},
      {R"({"t":1,"t":2,"local_port":"x","other":null})", SessionHeaderMeta{}},
      {" \t{\"proto\":\"HTTP\"}\r\n ", SessionHeaderMeta{"", "HTTP", "", ""}},
      {R"({"ts":"\u0061\n"})", SessionHeaderMeta{"a\n", "", "", ""}},
      {R"({"t\u0073":"a"})", SessionHeaderMeta{"a", "", "", ""}},
      {R"({"TS":"a"})", SessionHeaderMeta{}},
      {R"({"x":{"ts":1,"ts":2}})", SessionHeaderMeta{}},
      {R"(["a","b"])", SessionHeaderMeta{"a", "b", "", ""}},
      {R"(["a","b","c","d"])", SessionHeaderMeta{"a", "b", "c", "d"}},
      {R"([])", SessionHeaderMeta{}},
      {R"({})", SessionHeaderMeta{}},

      {R"({"ts":"a","ts":"b"})", std::nullopt},
      {R"({"hostname":"a","proto":"x","hostname":"a"})", std::nullopt},
      {R"({"hostname":null})", std::nullopt},
      {R"({"hostname":5})", std::nullopt},
      {R"({"ts":["a"]})", std::nullopt},
      {R"(["a","b","c","d","e"])", std::nullopt},
      {R"(["a",1])", std::nullopt},
      {R"("ts")", std::nullopt},
      {"7", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {R"({"ts":"a"} x)", std::nullopt},
      {R"({"ts":"a"}{})", std::nullopt},
      {R"({"ts":"a")", std::nullopt},
      {"\xEF\xBB\xBF{\"ts\":\"a\"}", std::nullopt},
      {"{\"ts\":\"a\"}\f", std::nullopt},
      {"{\"ts\":\"\xff\"}", std::nullopt},
      // A NUL byte is no JSON white space, wherever it stands.
      {std::string("{\"ts\":\"a\"}\0", 11), std::nullopt},
      {std::string("{\"ts\":\"a\"}\0{\"ts\":\"b\"}", 21), std::nullopt},
      {std::string("\0{\"ts\":\"a\"}", 11), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(read_session_header(std::string_view(c.text)), c.from_text) << c.text;
}

TEST(SessionHeaderMeta, FromParsedValueKeepsTheLastRepeatedName) {
  Json value = Json::parse(R"({"t":"session","ts":"a","ts":"b","proto":"HTTP"})");
  EXPECT_EQ(read_session_header(value), (SessionHeaderMeta{"b", "HTTP", "", ""}));
  EXPECT_EQ(read_session_header(Json::parse(R"({"remote_url":false})")), std::nullopt);
  EXPECT_EQ(read_session_header(Json::parse("12")), std::nullopt);
  EXPECT_EQ(read_session_header(Json::parse(R"(["a","b","c"])")), (SessionHeaderMeta{"a", "b", "c", ""}));
}

// Objects with very many members: read whole, and a repeated name is still
// found however far apart its two occurrences stand.
TEST(SessionHeaderMeta, WideObjects) {
  std::string members;
  for (int i = 0; i < 50000; ++i) members += ",\"m" + std::to_string(i) + "\":" + std::to_string(i);
  const std::string wide = "{\"t\":\"session\",\"ts\":\"a\"" + members + ",\"remote_url\":\"u\"}";
  EXPECT_EQ(read_session_header(std::string_view(wide)), (SessionHeaderMeta{"a", "", "", "u"}));
  const std::string repeated = "{\"ts\":\"a\"" + members + ",\"ts\":\"b\"}";
  EXPECT_EQ(read_session_header(std::string_view(repeated)), std::nullopt);
  std::optional<Json> line = parse_json_line(repeated);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 50001u);
  EXPECT_EQ(read_session_header(*line), (SessionHeaderMeta{"b", "", "", ""}));
}

TEST(SessionHeaderMeta, JsonLines) {
  EXPECT_TRUE(parse_json_line(R"({"a":1})"));
  EXPECT_TRUE(parse_json_line(" [1] \r"));
  EXPECT_FALSE(parse_json_line(""));
  EXPECT_FALSE(parse_json_line(R"({"a":1)"));
  EXPECT_FALSE(parse_json_line("\xEF\xBB\xBF{}"));
  EXPECT_FALSE(parse_json_line("[1E400]"));
  EXPECT_FALSE(parse_json_line(std::string("{\"a\":1}\0", 8)));
  EXPECT_FALSE(parse_json_line(std::string("[1]\0garbage", 11)));
  // A record is a flat object: a line nested deeper than any record is
  // refused at once, however deep it goes.
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_json_line(nested(SESSION_LINE_MAX_DEPTH)));
  EXPECT_FALSE(parse_json_line(nested(SESSION_LINE_MAX_DEPTH + 1)));
  EXPECT_FALSE(parse_json_line(nested(1000000)));
  EXPECT_FALSE(parse_json_line("{\"t\":\"session\",\"x\":" + nested(1000000) + "}"));
  // So is one with more values than any record holds; the array itself is
  // one of them.
  std::string many = "[0";
  for (size_t zeros = 1; zeros < SESSION_LINE_MAX_VALUES - 1; ++zeros) many += ",0";
  EXPECT_TRUE(parse_json_line(many + "]"));
  EXPECT_FALSE(parse_json_line(many + ",0]"));
}

}  // namespace
}  // namespace vostrelin::inspector
