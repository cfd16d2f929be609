#include "support/json_read.h"

#include <gtest/gtest.h>

namespace vostrelin {
namespace {

std::string nested(size_t depth, const char* open, const char* close) {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += open;
  s += "1";
  for (size_t i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(JsonRead, AcceptsOneValue) {
  struct Case {
    std::string text;
    const char* compact;  // nullptr: rejected
  } cases[] = {
      {" \t\r\n{\"a\" : [1, 2.5, \"x\", true, false, null]} \n", R"({"a":[1,2.5,"x",true,false,null]})"},
      {"0", "0"},
      {"-0", "0"},
      {"\"\"", "\"\""},
      {"\"\\u00e9\\ud83d\\ude00\"", "\"é😀\""},
      {"[]", "[]"},
      {"", nullptr},
      {" ", nullptr},
      {"1 2", nullptr},
      {"{} {}", nullptr},
      {"[1,]", nullptr},
      {"{\"a\":1,}", nullptr},
      {"01", nullptr},
      {"NaN", nullptr},
      {"1E400", nullptr},
      {"-1E400", nullptr},
      {"\"\xFF\"", nullptr},
      {"\"\xC0\xAF\"", nullptr},
      {"\"\\ud800\"", nullptr},
      {"\"a\nb\"", nullptr},
      {"[1] x", nullptr},
      {"// c\n1", nullptr},
      {"\xEF\xBB\xBF{}", nullptr},
      {"\xC2\xA0{}", nullptr},
      // The library itself takes a NUL byte for the end of its input.
      {std::string("{}\0", 3), nullptr},
      {std::string("[1]\0garbage", 11), nullptr},
      {std::string("\0", 1), nullptr},
  };
  for (const Case& c : cases) {
    std::optional<Json> v = read_json(c.text);
    if (c.compact == nullptr) {
      EXPECT_FALSE(v.has_value()) << c.text;
    } else {
      ASSERT_TRUE(v.has_value()) << c.text;
      EXPECT_EQ(json_text(*v), c.compact) << c.text;
    }
  }
}

TEST(JsonRead, DepthLimit) {
  for (const char* open : {"[", "{\"k\":"}) {
    const char* close = open[0] == '[' ? "]" : "}";
    EXPECT_TRUE(read_json(nested(127, open, close)).has_value()) << open;
    EXPECT_FALSE(read_json(nested(128, open, close)).has_value()) << open;
    EXPECT_TRUE(read_json(nested(3, open, close), 3).has_value()) << open;
    EXPECT_FALSE(read_json(nested(4, open, close), 3).has_value()) << open;
    // Far too deep: refused without exhausting the stack.
    EXPECT_FALSE(read_json(nested(1000000, open, close)).has_value()) << open;
  }
  // Mixed, and depth counts nesting, not the number of containers.
  const std::string mixed = nested(63, "{\"a\":[", "]}");
  EXPECT_TRUE(read_json(std::string("[").append(mixed).append(",").append(nested(126, "[", "]")).append("]")).has_value());
  EXPECT_FALSE(read_json(std::string("[[").append(mixed).append("]]")).has_value());
}

TEST(JsonRead, ValueLimit) {
  struct Case {
    std::string text;
    size_t values;  // as many as the text holds
  } cases[] = {
      {"1", 1},
      {"[]", 1},
      {"[1,2,3]", 4},
      {R"({"a":"x","b":[null,true],"c":{}})", 6},
      {R"({"a":1,"a":2})", 3},  // a repeated name still costs a value
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(read_json(c.text, JSON_MAX_DEPTH, c.values).has_value()) << c.text;
    EXPECT_FALSE(read_json(c.text, JSON_MAX_DEPTH, c.values - 1).has_value()) << c.text;
  }
  std::string many = "[0";
  for (int i = 0; i < 100000; ++i) many += ",0";
  many += "]";
  EXPECT_FALSE(read_json(many, JSON_MAX_DEPTH, 1000).has_value());
  EXPECT_TRUE(read_json(many).has_value());
}

TEST(JsonRead, RepeatedNamesKeepFirstPlaceLastValue) {
  struct Case {
    std::string text;
    std::string compact;
  } cases[] = {
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"a":[1,2],"b":2,"a":{"c":[3]}})", R"({"a":{"c":[3]},"b":2})"},
      {R"({"a":{"x":1,"x":2},"a":{"y":3,"y":4}})", R"({"a":{"y":4}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_text(*read_json(c.text)), c.compact) << c.text;

  // The same past the size where names are looked up through an index.
  std::string text = "{";
  std::string compact = "{";
  for (int i = 0; i < 40; ++i) {
    text += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    compact += (i ? ",\"m" : "\"m") + std::to_string(i) + "\":" + std::to_string(i == 3 || i == 30 ? -i : i);
  }
  text += "\"m3\":-3,\"m30\":-30}";
  compact += "}";
  EXPECT_EQ(json_text(*read_json(text)), compact);
}

}  // namespace
}  // namespace vostrelin
