#include "main/rule.h"

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
  Result<Rule> open = parse_rule(R"({"deep":)" + deep.substr(0, deep.size() / 2));
  ASSERT_FALSE(open.ok());
  EXPECT_NE(open.error().message().find("EOF while parsing"), std::string::npos);
}

TEST(ParseRule, Faults) {
  // The five required members, for cases that change one of them.
  const std::string rest = R"("dataType":"PLAIN","action":"CREATE","from":"","to":"x")";
  struct Case {
    const char* name;
    std::string json;
    std::string fault;  // what the message starts with
  } cases[] = {
      {"dataType and to missing", R"({"type":"HEADER","action":"CREATE","from":""})", "missing field `dataType`"},
      {"empty object", "{}", "missing field `type`"},
      {"capital T", R"({"Type":"HEADER",)" + rest + "}", "missing field `type`"},
      {"from twice, equal values", R"({"type":"HEADER",)" + rest + R"(,"from":""})", "duplicate field `from`"},
      // The repeated key fails before its value is read: the value here is
      // not even valid JSON.
      {"repeat seen before its value", R"({"type":"HEADER","type":)", "duplicate field `type`"},
      {"escaped repeat", R"({"type":"HEADER","typ\u0065":"BODY",)" + rest + "}", "duplicate field `type`"},
      {"lower-case variant", R"({"type":"header",)" + rest + "}",
       "unknown variant `header`, expected `HEADER` or `BODY`"},
      {"mixed-case action", R"(["HEADER","PLAIN","Update","",""])",
       "unknown variant `Update`, expected one of `CREATE`, `DELETE`, `UPDATE`"},
      {"unknown data type", R"(["BODY","XML","CREATE","",""])", "unknown variant `XML`, expected `PLAIN` or `JSON`"},
      {"number as data type", R"({"type":"HEADER","dataType":1,"action":"CREATE","from":"","to":""})",
       "expected value"},
      {"null as type", R"(["HEADER",null,"CREATE","",""])", "expected value"},
      {"array as action", R"(["HEADER","PLAIN",["CREATE"],"",""])", "expected value"},
      {"variant object with two members", R"([{"HEADER":null,"BODY":null},"PLAIN","CREATE","",""])",
       "expected `}`"},
      {"variant object with value 1", R"([{"HEADER":1},"PLAIN","CREATE","",""])", "invalid type: integer 1"},
      {"variant object with unknown name", R"([{"FOOTER":null},"PLAIN","CREATE","",""])",
       "unknown variant `FOOTER`"},
      {"empty variant object", R"([{},"PLAIN","CREATE","",""])", "invalid type: empty map"},
      {"variant object keyed by a number", R"([{1:null},"PLAIN","CREATE","",""])",
       "invalid type: integer 1, expected variant identifier"},
      {"flag null", R"(["HEADER","PLAIN","CREATE","","",null])", "invalid type: null, expected a boolean"},
      {"flag as text", R"(["HEADER","PLAIN","CREATE","","","true"])",
       "invalid type: string \"true\", expected a boolean"},
      {"flag as number", R"(["HEADER","PLAIN","CREATE","","",1])", "invalid type: integer 1, expected a boolean"},
      {"from a number", R"(["HEADER","PLAIN","CREATE",5,""])", "invalid type: integer 5, expected a string"},
      {"to a float", R"(["HEADER","PLAIN","CREATE","",2.5])", "invalid type: floating point 2.5, expected a string"},
      {"to an object", R"({"to":{},"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":""})",
       "invalid type: map, expected a string"},
      {"from null", R"(["HEADER","PLAIN","CREATE",null,""])", "invalid type: null, expected a string"},
      {"array of four", R"(["HEADER","PLAIN","CREATE",""])", "invalid length 4, expected struct Rule with 6 elements"},
      {"empty array", "[]", "invalid length 0"},
      {"array of seven", R"(["HEADER","PLAIN","CREATE","","",false,1])", "trailing characters"},
      {"trailing comma in array", R"(["HEADER","PLAIN","CREATE","","",])", "trailing comma"},
      {"trailing comma in object", R"({"type":"HEADER",)" + rest + ",}", "trailing comma"},
      {"top-level string", R"("HEADER")", "invalid type: string \"HEADER\", expected struct Rule"},
      {"top-level number", "42", "invalid type: integer 42, expected struct Rule"},
      {"top-level true", "true", "invalid type: boolean true, expected struct Rule"},
      {"top-level null", "null", "invalid type: null, expected struct Rule"},
      {"text after the value", R"({"type":"HEADER",)" + rest + "}x", "trailing characters"},
      {"two values", R"(["HEADER","PLAIN","CREATE","",""] [])", "trailing characters"},
      {"empty text", "", "EOF while parsing a value"},
      {"white space only", " \n ", "EOF while parsing a value"},
      {"byte order mark", "\xEF\xBB\xBF[\"HEADER\",\"PLAIN\",\"CREATE\",\"\",\"\"]", "expected value"},
      {"form feed is no JSON white space", "\f[\"HEADER\",\"PLAIN\",\"CREATE\",\"\",\"\"]", "expected value"},
      {"invalid UTF-8 in a string", "[\"HEADER\",\"PLAIN\",\"CREATE\",\"\xC3\x28\",\"\"]", "invalid unicode"},
      {"invalid UTF-8 in a skipped member", "{\"\xFF\":1}", "invalid unicode"},
      {"raw control character", "[\"HEADER\",\"PLAIN\",\"CREATE\",\"a\tb\",\"\"]", "control character"},
      {"lone leading surrogate", R"(["HEADER","PLAIN","CREATE","\ud800",""])", "lone leading surrogate"},
      {"lone trailing surrogate", R"(["HEADER","PLAIN","CREATE","\udc00",""])", "lone trailing surrogate"},
      {"unknown escape", R"(["HEADER","PLAIN","CREATE","\x",""])", "invalid escape"},
      {"short unicode escape", R"(["HEADER","PLAIN","CREATE","\u12",""])", "invalid escape"},
      {"unterminated string", R"(["HEADER","PLAIN","CREATE","abc)", "EOF while parsing a string"},
      {"broken skipped member", R"({"x":[1,}, "type":"HEADER"})", "expected value"},
      {"skipped number with no digits", R"({"x":-})", "invalid number"},
      {"skipped leading zero", R"({"x":01})", "expected `,` or `}`"},
      {"skipped bad literal", R"({"x":nul})", "expected ident"},
      {"key not a string", R"({type:"HEADER"})", "key must be a string"},
      {"missing colon", R"({"type" "HEADER"})", "expected `:`"},
      {"cut off object", R"({"type":"HEADER")", "EOF while parsing an object"},
  };
  for (const Case& c : cases) {
    Result<Rule> r = parse_rule(c.json);
    ASSERT_FALSE(r.ok()) << c.name;
    const std::string& message = r.error().message();
    EXPECT_EQ(message.substr(0, c.fault.size()), c.fault) << c.name << ": " << message;
    EXPECT_NE(message.find(" at line "), std::string::npos) << c.name << ": " << message;
  }
}

TEST(ParseRule, FaultPositions) {
  struct Case {
    std::string json;
    std::string message;
  } cases[] = {
      {R"({"from":"","from":"")", "duplicate field `from` at line 1 column 12"},
      {"[\"HEADER\",\n \"PLAIN\",\n \"Create\",\"\",\"\"]",
       "unknown variant `Create`, expected one of `CREATE`, `DELETE`, `UPDATE` at line 3 column 2"},
      {R"(["HEADER","PLAIN","CREATE","",""]  x)", "trailing characters at line 1 column 36"},
      {R"({"type":"HEADER"})", "missing field `dataType` at line 1 column 17"},
  };
  for (const Case& c : cases) {
    Result<Rule> r = parse_rule(c.json);
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().message(), c.message);
  }
}

}  // namespace
}  // namespace vostrelin
