#include "rules/rule.h"

#include <gtest/gtest.h>

#include <string>

namespace vostrelin {
namespace {

const Rule HEADER_RULE{RuleType::HEADER, RuleDataType::PLAIN, RuleAction::CREATE, "", "X-Tunnel: 1", false};

std::string describe(const Rule& r) {
  return std::to_string(static_cast<int>(r.type)) + "/" + std::to_string(static_cast<int>(r.dataType)) +
         "/" + std::to_string(static_cast<int>(r.action)) + " from=[" + r.from + "] to=[" + r.to +
         "] ws=" + (r.applyToWebsocketUpgrade ? "1" : "0");
}

TEST(ParseRule, AcceptedForms) {
  struct Case {
    const char* name;
    std::string json;
    Rule rule;
  } cases[] = {
      {"object", R"({"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"","to":"X-Tunnel: 1"})",
       HEADER_RULE},
      {"reversed, unknown nested member",
       R"({"to":"X-Tunnel: 1","note":[1,{"a":[null,true,"\u0041",{}],"b":[]},-2.5e3,1E400],"from":"",)"
       R"("action":"CREATE","dataType":"PLAIN","type":"HEADER"})",
       HEADER_RULE},
      {"unknown key twice", R"({"x":1,"x":2,"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"",)"
                            R"("to":"X-Tunnel: 1"})",
       HEADER_RULE},
      {"white space everywhere",
       " \t\r\n{ \"type\" : { \"HEADER\" : null } ,\n\"dataType\":{\"PLAIN\":null},\"action\":\"CREATE\","
       "\"from\":\"\",\"to\":\"X-Tunnel: 1\" } \n\t\r ",
       HEADER_RULE},
      {"flag true",
       R"({"type":"HEADER","dataType":"PLAIN","action":"UPDATE","from":"Host","to":"a","applyToWebsocketUpgrade":true})",
       {RuleType::HEADER, RuleDataType::PLAIN, RuleAction::UPDATE, "Host", "a", true}},
      {"flag false",
       R"({"applyToWebsocketUpgrade":false,"type":"BODY","dataType":"PLAIN","action":"DELETE","from":"a","to":"b"})",
       {RuleType::BODY, RuleDataType::PLAIN, RuleAction::DELETE, "a", "b", false}},
      {"array of five", R"(["BODY","JSON","DELETE","$.user.password",""])",
       {RuleType::BODY, RuleDataType::JSON, RuleAction::DELETE, "$.user.password", "", false}},
      {"array of six", R"(["BODY","JSON","DELETE","$.a","",true])",
       {RuleType::BODY, RuleDataType::JSON, RuleAction::DELETE, "$.a", "", true}},
      {"array with variant objects", R"([{"BODY":null},"JSON",{"UPDATE":null},"a","b"])",
       {RuleType::BODY, RuleDataType::JSON, RuleAction::UPDATE, "a", "b", false}},
      {"escapes decoded",
       R"(["HEADER","PLAIN","CREATE","a\"b\\\/\b\f\n\r\t","\u00e9\u0416\ud83d\ude00\u0000"])",
       {RuleType::HEADER, RuleDataType::PLAIN, RuleAction::CREATE, "a\"b\\/\b\f\n\r\t",
        std::string("é\xD0\x96\xF0\x9F\x98\x80\0", 9), false}},
      {"escaped key and variant", R"({"typ\u0065":"HE\u0041DER","dataType":"PLAIN","action":"CREATE","from":"",)"
                                  R"("to":"X-Tunnel: 1"})",
       HEADER_RULE},
      {"raw UTF-8 text", R"(["BODY","PLAIN","CREATE","привет","мир 🌍"])",
       {RuleType::BODY, RuleDataType::PLAIN, RuleAction::CREATE, "привет", "мир 🌍", false}},
  };
  for (const Case& c : cases) {
    Result<Rule> r = parse_rule(c.json);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().describe();
    EXPECT_EQ(r.value(), c.rule) << c.name << ": " << describe(r.value());
  }
}

// An unknown member may nest deeper than any recursive reader could go.
TEST(ParseRule, DeeplyNestedUnknownMember) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += i % 2 ? "{\"k\":" : "[";
  deep += "0";
  for (int i = 200000 - 1; i >= 0; --i) deep += i % 2 ? "}" : "]";
  std::string json = R"({"deep":)" + deep + R"(,"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"",)"
                     R"("to":"X-Tunnel: 1"})";
  Result<Rule> r = parse_rule(json);
  ASSERT_TRUE(r.ok()) << r.error().describe();
  EXPECT_EQ(r.value(), HEADER_RULE);

  // The same nesting left open is a syntax fault, not a crash.
  RuleReading open = read_rule(R"({"deep":)" + deep.substr(0, deep.size() / 2));
  EXPECT_FALSE(open.rule);
  EXPECT_EQ(open.fault, RuleFault::Syntax);
}

TEST(ParseRule, Faults) {
  // The five required members, for cases that change one of them.
  const std::string rest = R"("dataType":"PLAIN","action":"CREATE","from":"","to":"x")";
  using enum RuleFault;
  struct Case {
    const char* name;
    std::string json;
    RuleFault fault;
    std::string named;  // what the message must name, where it names something
  } cases[] = {
      {"dataType and to missing", R"({"type":"HEADER","action":"CREATE","from":""})", MissingField, "`dataType`"},
      {"empty object", "{}", MissingField, "`type`"},
      {"capital T", R"({"Type":"HEADER",)" + rest + "}", MissingField, "`type`"},
      {"type missing after the others", R"({"dataType":"PLAIN","action":"CREATE","from":"","to":""})", MissingField,
       "`type`"},
      {"from twice, equal values", R"({"type":"HEADER",)" + rest + R"(,"from":""})", DuplicateField, "`from`"},
      // The repeated key fails before its value is read: the value here is
      // not even valid JSON.
      {"repeat seen before its value", R"({"type":"HEADER","type":)", DuplicateField, "`type`"},
      {"escaped repeat", R"({"type":"HEADER","typ\u0065":"BODY",)" + rest + "}", DuplicateField, "`type`"},
      {"flag twice", R"({"applyToWebsocketUpgrade":true,"applyToWebsocketUpgrade":true,"type":"HEADER",)" + rest + "}",
       DuplicateField, "`applyToWebsocketUpgrade`"},
      {"lower-case variant", R"({"type":"header",)" + rest + "}", UnknownVariant, "`header`"},
      {"mixed-case action", R"(["HEADER","PLAIN","Update","",""])", UnknownVariant, "`Update`"},
      {"mixed-case action on a later line", "[\"HEADER\",\n \"PLAIN\",\n \"Create\",\"\",\"\"]", UnknownVariant,
       "`Create`"},
      {"unknown data type", R"(["BODY","XML","CREATE","",""])", UnknownVariant, "`XML`"},
      {"number as data type", R"({"type":"HEADER","dataType":1,"action":"CREATE","from":"","to":""})", BadValue, ""},
      {"null as type", R"(["HEADER",null,"CREATE","",""])", BadValue, ""},
      {"array as action", R"(["HEADER","PLAIN",["CREATE"],"",""])", BadValue, ""},
      {"variant object with two members", R"([{"HEADER":null,"BODY":null},"PLAIN","CREATE","",""])", BadValue, ""},
      {"variant object with value 1", R"([{"HEADER":1},"PLAIN","CREATE","",""])", BadValue, ""},
      {"variant object with an object value", R"([{"HEADER":{}},"PLAIN","CREATE","",""])", BadValue, ""},
      {"variant object with unknown name", R"([{"FOOTER":null},"PLAIN","CREATE","",""])", UnknownVariant,
       "`FOOTER`"},
      {"empty variant object", R"([{},"PLAIN","CREATE","",""])", BadValue, ""},
      {"variant object keyed by a number", R"([{1:null},"PLAIN","CREATE","",""])", Syntax, ""},
      {"variant object for from", R"(["HEADER","PLAIN","CREATE",{"CREATE":null},""])", BadValue, ""},
      {"flag null", R"(["HEADER","PLAIN","CREATE","","",null])", BadValue, ""},
      {"flag as text", R"(["HEADER","PLAIN","CREATE","","","true"])", BadValue, ""},
      {"flag as number", R"(["HEADER","PLAIN","CREATE","","",1])", BadValue, ""},
      {"from a number", R"(["HEADER","PLAIN","CREATE",5,""])", BadValue, ""},
      {"to a float", R"(["HEADER","PLAIN","CREATE","",2.5])", BadValue, ""},
      {"to an object", R"({"to":{},"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":""})", BadValue, ""},
      {"from null", R"(["HEADER","PLAIN","CREATE",null,""])", BadValue, ""},
      {"from a huge number", R"(["HEADER","PLAIN","CREATE",1E400,""])", BadValue, ""},
      {"array of four", R"(["HEADER","PLAIN","CREATE",""])", Length, "4"},
      {"empty array", "[]", Length, "0"},
      {"array of seven", R"(["HEADER","PLAIN","CREATE","","",false,1])", Length, ""},
      {"array of seven, the last an array", R"(["HEADER","PLAIN","CREATE","","",false,[]])", Length, ""},
      {"trailing comma in array", R"(["HEADER","PLAIN","CREATE","","",])", Syntax, ""},
      {"trailing comma in object", R"({"type":"HEADER",)" + rest + ",}", Syntax, ""},
      {"top-level string", R"("HEADER")", NotARule, ""},
      {"top-level number", "42", NotARule, ""},
      {"top-level huge number", "1E400", NotARule, ""},
      {"top-level true", "true", NotARule, ""},
      {"top-level null", "null", NotARule, ""},
      {"text after the value", R"({"type":"HEADER",)" + rest + "}x", Syntax, ""},
      {"text after white space", R"(["HEADER","PLAIN","CREATE","",""]  x)", Syntax, ""},
      {"two values", R"(["HEADER","PLAIN","CREATE","",""] [])", Syntax, ""},
      {"NUL after the value", R"(["HEADER","PLAIN","CREATE","",""])" + std::string(1, '\0') + "x", Syntax, ""},
      {"empty text", "", Syntax, ""},
      {"white space only", " \n ", Syntax, ""},
      {"byte order mark", "\xEF\xBB\xBF[\"HEADER\",\"PLAIN\",\"CREATE\",\"\",\"\"]", Syntax, ""},
      {"form feed is no JSON white space", "\f[\"HEADER\",\"PLAIN\",\"CREATE\",\"\",\"\"]", Syntax, ""},
      {"invalid UTF-8 in a string", "[\"HEADER\",\"PLAIN\",\"CREATE\",\"\xC3\x28\",\"\"]", Syntax, ""},
      {"invalid UTF-8 in a skipped member", "{\"\xFF\":1}", Syntax, ""},
      {"raw control character", "[\"HEADER\",\"PLAIN\",\"CREATE\",\"a\tb\",\"\"]", Syntax, ""},
      {"lone leading surrogate", R"(["HEADER","PLAIN","CREATE","\ud800",""])", Syntax, ""},
      {"lone trailing surrogate", R"(["HEADER","PLAIN","CREATE","\udc00",""])", Syntax, ""},
      {"unknown escape", R"(["HEADER","PLAIN","CREATE","\x",""])", Syntax, ""},
      {"short unicode escape", R"(["HEADER","PLAIN","CREATE","\u12",""])", Syntax, ""},
      {"unterminated string", R"(["HEADER","PLAIN","CREATE","abc)", Syntax, ""},
      {"broken skipped member", R"({"x":[1,}, "type":"HEADER"})", Syntax, ""},
      {"skipped number with no digits", R"({"x":-})", Syntax, ""},
      {"skipped leading zero", R"({"x":01})", Syntax, ""},
      {"skipped leading zero, huge", R"({"x":01E400})", Syntax, ""},
      {"skipped bad literal", R"({"x":nul})", Syntax, ""},
      {"key not a string", R"({type:"HEADER"})", Syntax, ""},
      {"missing colon", R"({"type" "HEADER"})", Syntax, ""},
      {"cut off object", R"({"type":"HEADER")", Syntax, ""},
  };
  for (const Case& c : cases) {
    RuleReading r = read_rule(c.json);
    EXPECT_FALSE(r.rule) << c.name;
    EXPECT_EQ(r.fault, c.fault) << c.name << ": " << r.message;
    EXPECT_NE(r.message.find(c.named), std::string::npos) << c.name << ": " << r.message;
    EXPECT_FALSE(parse_rule(c.json).ok()) << c.name;
  }
}

// A number too large for a double is still valid JSON in a skipped member,
// in a string it is only text.
TEST(ParseRule, HugeNumbers) {
  const std::string members = R"("type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"")";
  struct Case {
    const char* name;
    std::string json;
    std::string to;
  } cases[] = {
      {"huge skipped numbers", R"({"x":[1E400,-1e999,)" + std::string(400, '9') + R"(],)" + members + R"(,"to":"t"})",
       "t"},
      {"huge number in a string", R"({)" + members + R"(,"y":1E400,"to":"1E400 \"1E400\""})", "1E400 \"1E400\""},
  };
  for (const Case& c : cases) {
    Result<Rule> r = parse_rule(c.json);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().describe();
    EXPECT_EQ(r.value().to, c.to) << c.name;
  }
}

}  // namespace
}  // namespace vostrelin
