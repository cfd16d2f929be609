#include "http_proxy/body_rules.h"

#include <gtest/gtest.h>

#include <random>

namespace vostrelin::http_proxy {
namespace {

Rule plain(std::string from, std::string to, RuleAction action = RuleAction::UPDATE) {
  return {RuleType::BODY, RuleDataType::PLAIN, action, std::move(from), std::move(to), false};
}

Rule json(RuleAction action, std::string path, std::string to = "") {
  return {RuleType::BODY, RuleDataType::JSON, action, std::move(path), std::move(to), false};
}

const RuleAction CREATE = RuleAction::CREATE;
const RuleAction DELETE = RuleAction::DELETE;
const RuleAction UPDATE = RuleAction::UPDATE;

struct Case {
  const char* name;
  std::string body;
  std::vector<Rule> rules;
  std::string expected;
};

void check_all(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(apply_body_rules(c.body, c.rules), c.expected) << c.name;
}

TEST(BodyRules, Plain) {
  check_all({
      {"every occurrence, whatever the action", "foofoo",
       {plain("foo", "bar", CREATE)}, "barbar"},
      {"delete action", "foofoo", {plain("foo", "bar", DELETE)}, "barbar"},
      {"no overlap, no second pass", "aaaa", {plain("aa", "a")}, "aa"},
      {"inserted text is not searched again", "ab", {plain("a", "aa")}, "aab"},
      {"empty from between characters", "ab", {plain("", "-")}, "-a-b-"},
      {"empty from between multi-byte characters", "пр€", {plain("", "|")}, "|п|р|€|"},
      {"empty from on an empty body", "", {plain("", "-")}, "-"},
      {"empty to deletes", "a-b-c", {plain("-", "")}, "abc"},
      {"not UTF-8", "foo\xFF", {plain("foo", "bar")}, "foo\xFF"},
      {"rules chain", "abc", {plain("a", "b"), plain("bb", "x")}, "xc"},
      {"long pattern", std::string("xx").append(40, 'a').append("b").append(40, 'a').append("b"),
       {plain(std::string(40, 'a').append("b"), "!")}, "xx!!"},
      {"long pattern with overlapping starts", std::string(30, 'a'),
       {plain(std::string(17, 'a'), "X")}, std::string("X").append(13, 'a')},
      {"header rules are not body rules", "foo",
       {{RuleType::HEADER, RuleDataType::PLAIN, UPDATE, "foo", "bar", false}}, "foo"},
  });
}

// Left to right, without overlap: the plainest possible search.
std::string reference_replace(const std::string& text, const std::string& from,
                              const std::string& to) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

TEST(BodyRules, PlainMatchesReferenceSearch) {
  std::mt19937 rng(11);
  auto random_text = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += "ab"[rng() % 2];
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    // Patterns on both sides of the switch to the prefix-table search.
    std::string from = random_text(1 + rng() % 24);
    std::string text = random_text(rng() % 200);
    if (rng() % 2) text = from + text + from + from;
    EXPECT_EQ(replace_text(text, from, "<>").value(), reference_replace(text, from, "<>"))
        << text << " / " << from;
  }
}

TEST(BodyRules, SizeLimit) {
  struct Case {
    std::string text, from, to;
    size_t max;
    std::optional<std::string> expected;
  } cases[] = {
      {"abc", "", "--", 11, "--a--b--c--"},
      {"abc", "", "--", 10, std::nullopt},
      {"abc", "", "", 1, "abc"},
      {"aaaa", "a", "bb", 8, "bbbbbbbb"},
      {"aaaa", "a", "bb", 7, std::nullopt},
      {"xaaaax", "a", "bb", 9, std::nullopt},
      {std::string(40, 'a'), std::string(20, 'a'), std::string(30, 'b'), 60, std::string(60, 'b')},
      {std::string(40, 'a'), std::string(20, 'a'), std::string(30, 'b'), 59, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(replace_text(c.text, c.from, c.to, c.max), c.expected) << c.text << " " << c.max;

  // A rule over the limit is passed over; the rules after it still act.
  const std::vector<Rule> rules = {json(UPDATE, "$[*]", "12345"), plain("", "-"), plain("0", "1")};
  EXPECT_EQ(apply_body_rules("[0,0,0]", rules, 100), "-[-1-2-3-4-5-,-1-2-3-4-5-,-1-2-3-4-5-]-");
  EXPECT_EQ(apply_body_rules("[0,0,0]", rules, 15), "-[-1-,-1-,-1-]-");
  EXPECT_EQ(apply_body_rules("[0,0,0]", rules, 14), "[1,1,1]");

  // An empty from between a million characters, with a long to: refused
  // before anything is built.
  const std::string big(1 << 20, 'a');
  EXPECT_EQ(apply_body_rules(big, std::vector<Rule>{plain("", std::string(300, 'b'))}), big);
}

TEST(BodyRules, JsonActions) {
  check_all({
      {"delete sets to null in place", R"({"user":"u","password":"p"})",
       {json(DELETE, "$.password", "ignored")}, R"({"user":"u","password":null})"},
      {"update with a number", R"({"items":[{"price":1},{"price":2.5},{"name":"x"}]})",
       {json(UPDATE, "$.items[*].price", "0")},
       R"({"items":[{"price":0},{"price":0},{"name":"x"}]})"},
      {"update with a word", R"({"items":[{"price":1}]})", {json(UPDATE, "$.items[*].price", "zero")},
       R"({"items":[{"price":"zero"}]})"},
      {"update with a quoted string", R"({"items":[{"price":1}]})",
       {json(UPDATE, "$.items[*].price", "\"0\"")}, R"({"items":[{"price":"0"}]})"},
      {"create with JSON values", R"({"a":1,"b":2,"c":3,"d":4})",
       {json(CREATE, "$.a", " [true, {\"x\": null}] "), json(CREATE, "$.b", "null"),
        json(CREATE, "$.c", "{}"), json(CREATE, "$.d", "")},
       R"({"a":[true,{"x":null}],"b":null,"c":{},"d":""})"},
      {"broken JSON in to is a string", R"({"a":1,"b":2})",
       {json(UPDATE, "$.a", "[1,"), json(UPDATE, "$.b", "1 2")}, R"({"a":"[1,","b":"1 2"})"},
      {"create never adds a member", "{ \"a\" : 1 }", {json(CREATE, "$.missing", "1")}, R"({"a":1})"},
      {"delete at every depth", R"({"id":1,"x":{"id":2,"y":[{"id":3},{"idx":4}]}})",
       {json(DELETE, "$..id")}, R"({"id":null,"x":{"id":null,"y":[{"id":null},{"idx":4}]}})"},
      {"locations under a replacement are gone", R"({"a":[1,2]})", {json(UPDATE, "$..*", "[]")},
       R"({"a":[]})"},
      {"locations under a replacement lead into the new value", R"({"a":{"a":2}})",
       {json(UPDATE, "$..*", R"({"a":1})")}, R"({"a":{"a":{"a":1}}})"},
      {"the root is never replaced", R"( [1, 2] )", {json(UPDATE, "$", "0")}, "[1,2]"},
      {"the root among other matches", R"({"a":1})", {json(UPDATE, "$..['a']", "0"), json(DELETE, "$")},
       R"({"a":0})"},
      {"a filter", R"([{"n":1},{"n":5},{"n":9}])", {json(DELETE, "$[?(@.n > 2 && @.n < 9)]")},
       R"([{"n":1},null,{"n":9}])"},
      {"a scalar body", "  \"text\"  ", {json(UPDATE, "$.a", "1")}, R"("text")"},
      {"rules work on what the rules before left", R"({"a":"x"})",
       {json(UPDATE, "$.a", R"({"b":"y"})"), json(UPDATE, "$.a.b", "z"), plain("z", "w")},
       R"({"a":{"b":"w"}})"},
  });
}

TEST(BodyRules, JsonPassedOver) {
  const std::string indented = "{\n  \"a\": 1,\n  \"b\": [1, 2]\n}\n";
  check_all({
      {"an unclosed bracket", indented, {json(DELETE, "$.b[0")}, indented},
      {"a path without $", indented, {json(DELETE, "a")}, indented},
      {"an empty path", indented, {json(UPDATE, "", "1")}, indented},
      {"a list in a filter", indented, {json(DELETE, "$[?(@.b[0,1])]")}, indented},
      {"a slice step of 0", indented, {json(DELETE, "$.b[::0]")}, indented},
      {"an infinite number", indented, {json(DELETE, "$[?(@ == 1e999)]")}, indented},
      {"not JSON", "a=1&b=2", {json(DELETE, "$.a")}, "a=1&b=2"},
      {"text after the value", "{} {}", {json(DELETE, "$")}, "{} {}"},
      {"invalid UTF-8 in a string", "{\"a\":\"\xFF\"}", {json(DELETE, "$.a")}, "{\"a\":\"\xFF\"}"},
      {"a lone surrogate escape", R"({"a":"\ud800"})", {json(DELETE, "$.a")}, R"({"a":"\ud800"})"},
      {"a number out of range", R"({"a":1E400})", {json(DELETE, "$.a")}, R"({"a":1E400})"},
      {"plain rules still act on a body that is not JSON", "a=1",
       {json(DELETE, "$.a"), plain("1", "2")}, "a=2"},
      {"a plain rule that breaks the JSON", R"({"a":1})",
       {plain("}", ""), json(DELETE, "$.a")}, R"({"a":1)"},
  });
}

TEST(BodyRules, JsonRewritingForm) {
  check_all({
      {"matching nothing still writes compactly", "{\n  \"a\" : [ 1 , 2 ]\n}",
       {json(DELETE, "$.none")}, R"({"a":[1,2]})"},
      {"a repeated name keeps its first place and last value", R"({"a":1,"b":2,"a":{"c":3}})",
       {json(DELETE, "$.none")}, R"({"a":{"c":3},"b":2})"},
      {"$ changes only the form", R"({ "a" : 1 })", {json(UPDATE, "$", "2")}, R"({"a":1})"},
      {"numbers", R"([1e2, 2461.890376331374, 18446744073709551615, -9223372036854775808, 1.0, -0.0, 0.1, 1e300, 18446744073709551616, 1.5e-7])",
       {json(DELETE, "$.none")},
       "[100.0,2461.890376331374,18446744073709551615,-9223372036854775808,1.0,-0.0,0.1,1e+300,"
       "1.8446744073709552e+19,1.5e-07]"},
      {"string escapes", R"(["\u0008\t\n\f\r\u0001\u001F\"\\\/\u007f\u00e9"])",
       {json(DELETE, "$.none")}, "[\"\\b\\t\\n\\f\\r\\u0001\\u001f\\\"\\\\/\x7f\xC3\xA9\"]"},
      {"replacement values are written the same way", R"({"a":0})",
       {json(UPDATE, "$.a", R"([1E2, "\/"])")}, R"({"a":[100.0,"/"]})"},
  });
}

std::string nested(size_t depth, const char* open, const char* close, const char* inner = "0") {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += open;
  s += inner;
  for (size_t i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(BodyRules, NestingLimit) {
  const std::string deepest = nested(127, "[", "]");
  const std::string too_deep = nested(128, "[", "]");
  const std::string objects = nested(127, "{\"a\":", "}");
  const std::string objects_too_deep = nested(128, "{\"a\":", "}");
  check_all({
      {"127 levels of arrays are read", deepest, {json(DELETE, "$..*[?(@ == 0)]")},
       nested(127, "[", "]", "null")},
      {"128 levels of arrays are not", too_deep, {json(DELETE, "$..*")}, too_deep},
      {"127 levels of objects are read", objects, {json(DELETE, "$..a[?(@ == 0)]")},
       nested(127, "{\"a\":", "}", "null")},
      {"128 levels of objects are not", objects_too_deep, {json(DELETE, "$..a")}, objects_too_deep},
      {"a filter nested as deeply as a body may", R"([{"a":1},{"b":2}])",
       {json(DELETE, "$[?(" + std::string(126, '(') + "@.a" + std::string(126, ')') + ")]")},
       R"([null,{"b":2}])"},
      {"a to of 127 levels is JSON", R"({"x":1})", {json(UPDATE, "$.x", deepest)},
       "{\"x\":" + deepest + "}"},
      {"a to of 128 levels is a string", R"({"x":1})", {json(UPDATE, "$.x", too_deep)},
       "{\"x\":\"" + too_deep + "\"}"},
      // A replacement may nest deeper than a body may; the next JSON rule
      // then cannot read the body and passes over.
      {"a body made too deep", nested(100, "[", "]"),
       {json(UPDATE, "$..*[?(@ == 0)]", nested(100, "[", "]")), json(DELETE, "$..*")},
       nested(200, "[", "]")},
  });
}

TEST(BodyRules, HostileBodies) {
  // An object with many members, some repeated.
  std::string wide = "{";
  for (int i = 0; i < 100000; ++i) {
    wide.append("\"k").append(std::to_string(i)).append("\":").append(std::to_string(i)).append(",");
  }
  wide += "\"k7\":\"last\"}";
  std::string out = apply_body_rules(wide, std::vector<Rule>{json(UPDATE, "$.k99999", "true")});
  EXPECT_NE(out.find("\"k6\":6,\"k7\":\"last\",\"k8\":8,"), std::string::npos);
  EXPECT_NE(out.find("\"k99999\":true}"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), ':'), 100000);

  // Every value replaced, in a wide object, by an object whose members stand
  // in another order: later locations are found again by name.
  std::string many = "{\"o\":{";
  std::string to = "{";
  for (int i = 0; i < 40; ++i) {
    const char* sep = i ? "," : "";
    many.append(sep).append("\"m").append(std::to_string(i)).append("\":{\"x\":0}");
    to.append(sep).append("\"m").append(std::to_string(39 - i)).append("\":5");
  }
  many += "}}";
  to += "}";
  std::string expected = "{\"o\":{";
  for (int i = 0; i < 40; ++i) {
    expected.append(i ? "," : "").append("\"m").append(std::to_string(39 - i)).append("\":").append(to);
  }
  expected += "}}";
  EXPECT_EQ(apply_body_rules(many, std::vector<Rule>{json(UPDATE, "$..*", to)}), expected);

  // Many matches: every element of a long array, and every descendant.
  std::string list = "[";
  for (int i = 0; i < 200000; ++i) list += i ? ",[1]" : "[1]";
  list += "]";
  std::string nulls = "[";
  for (int i = 0; i < 200000; ++i) nulls += i ? ",null" : "null";
  nulls += "]";
  EXPECT_EQ(apply_body_rules(list, std::vector<Rule>{json(DELETE, "$..*")}), nulls);

  // A path that would cost the square of the body leaves it unchanged.
  EXPECT_EQ(apply_body_rules(list, std::vector<Rule>{json(DELETE, "$..[?(@ == $..*)]")}), list);
}

TEST(BodyRules, ReplacementValue) {
  struct Case {
    const char* to;
    Json expected;
  } cases[] = {
      {"42", 42},
      {"\"42\"", "42"},
      {" true ", true},
      {"null", nullptr},
      {"abc", "abc"},
      {"", ""},
      {"[1,", "[1,"},
      {"{\"a\":[1]}", Json::parse("{\"a\":[1]}")},
      {"1 2", "1 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(replacement_value(c.to), c.expected) << c.to;
}

}  // namespace
}  // namespace vostrelin::http_proxy
