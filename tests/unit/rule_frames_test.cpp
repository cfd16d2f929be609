#include "main/rule_frames.h"

#include <gtest/gtest.h>

#include <string>

namespace vostrelin {
namespace {

const std::string JSON = R"(["HEADER","PLAIN","CREATE","","X-Tunnel: 1"])";
const Rule RULE{RuleType::HEADER, RuleDataType::PLAIN, RuleAction::CREATE, "", "X-Tunnel: 1", false};

std::string frame(const std::string& json) { return "RULE." + std::to_string(json.size()) + "." + json; }

enum class Outcome { NeedMore, Rule, End, Failed };

struct Seen {
  Outcome outcome = Outcome::NeedMore;
  size_t length = 0;
  std::string message;  // outermost, for Failed
  size_t chain = 0;     // messages in the error's chain
};

Seen parse(std::string_view bytes) {
  Result<std::optional<RuleFrame>> r = try_parse_rule_frame(bytes);
  Seen seen;
  if (!r.ok()) {
    seen.outcome = Outcome::Failed;
    seen.message = r.error().message();
    seen.chain = r.error().chain().size();
  } else if (r.value().has_value()) {
    const RuleFrame& f = *r.value();
    seen.outcome = f.is_end() ? Outcome::End : Outcome::Rule;
    seen.length = f.length;
    if (!f.is_end()) {
      EXPECT_EQ(*f.rule, RULE) << bytes;
    }
  }
  return seen;
}

// Feeds the bytes one more at a time, as reads would deliver them, and
// returns the first outcome that is not "need more" with the number of
// bytes it took to reach it (0 when every prefix needs more).
std::pair<Seen, size_t> first_outcome(std::string_view bytes) {
  for (size_t n = 0; n <= bytes.size(); ++n) {
    Seen s = parse(bytes.substr(0, n));
    if (s.outcome != Outcome::NeedMore) return {s, n};
  }
  return {Seen{}, 0};
}

TEST(RuleFrameParser, Fronts) {
  const std::string not_number = "размер RULE не число";
  const std::string bad_json = "невалидный JSON правила";
  struct Case {
    const char* name;
    std::string bytes;
    Outcome outcome;
    size_t length = 0;        // for Rule and End
    std::string message = {};  // for Failed
    size_t chain = 0;         // for Failed
  } cases[] = {
      {"end frame", "RULE.0.", Outcome::End, 7},
      {"end frame 00", "RULE.00.", Outcome::End, 8},
      {"end frame +0", "RULE.+0.", Outcome::End, 8},
      {"end frame, more behind it", "RULE.0.CONN.x", Outcome::End, 7},
      {"rule frame", frame(JSON), Outcome::Rule, frame(JSON).size()},
      {"rule frame, next frame behind it", frame(JSON) + "RULE.0.", Outcome::Rule, frame(JSON).size()},
      {"leading zeros", "RULE." + std::string(40, '0') + std::to_string(JSON.size()) + "." + JSON,
       Outcome::Rule, frame(JSON).size() + 40},
      {"plus sign", "RULE.+" + std::to_string(JSON.size()) + "." + JSON, Outcome::Rule,
       frame(JSON).size() + 1},
      {"size counts trailing white space", frame(JSON + "  \r\n"), Outcome::Rule, frame(JSON).size() + 4},
      {"nothing", "", Outcome::NeedMore},
      {"tag cut short", "RULE", Outcome::NeedMore},
      {"tag alone", "RULE.", Outcome::NeedMore},
      {"size without its dot", "RULE.123456789012345678901234567890", Outcome::NeedMore},
      {"junk size without its dot", "RULE.abc", Outcome::NeedMore},
      {"JSON not all here", frame(JSON).substr(0, frame(JSON).size() - 1), Outcome::NeedMore},
      {"other tag", "RULX.", Outcome::Failed, 0, "Неожиданный кадр вместо RULE: RULX.", 1},
      {"lower-case tag", "rule.0.", Outcome::Failed, 0, "Неожиданный кадр вместо RULE: rule.0.", 1},
      {"error frame", "ERRR.неверный токен", Outcome::Failed, 0,
       "Неожиданный кадр вместо RULE: ERRR.невер\xEF\xBF\xBD", 1},
      {"error frame quoted to 16 bytes", "ERRR.abcdefghijklmnopqrstuvwxyz", Outcome::Failed, 0,
       "Неожиданный кадр вместо RULE: ERRR.abcdefghijk", 1},
      {"negative size", "RULE.-1.", Outcome::Failed, 0, not_number, 2},
      {"letter in size", "RULE.1a.", Outcome::Failed, 0, not_number, 2},
      {"plus alone", "RULE.+.", Outcome::Failed, 0, not_number, 2},
      {"empty size", "RULE..", Outcome::Failed, 0, not_number, 2},
      {"two signs", "RULE.++1.", Outcome::Failed, 0, not_number, 2},
      {"space in size", "RULE. 1.", Outcome::Failed, 0, not_number, 2},
      {"size above 64 bits", "RULE.18446744073709551616.", Outcome::Failed, 0, not_number, 2},
      {"size not UTF-8", "RULE.1\xFF.", Outcome::Failed, 0, "неверный размер RULE", 2},
      {"size that takes in the next frame", "RULE." + std::to_string(JSON.size() + 7) + "." + JSON + "RULE.0.",
       Outcome::Failed, 0, bad_json, 2},
      {"size one short", "RULE." + std::to_string(JSON.size() - 1) + "." + JSON, Outcome::Failed, 0, bad_json, 2},
      {"JSON not a rule", frame("[1]"), Outcome::Failed, 0, bad_json, 2},
      {"size beyond any frame", "RULE.18446744073709551615.", Outcome::Failed, 0,
       "слишком большой кадр RULE: больше 4 МиБ", 1},
      {"size above the frame limit", "RULE.4194304.", Outcome::Failed, 0, "слишком большой кадр RULE: больше 4 МиБ",
       1},
  };
  for (const Case& c : cases) {
    Seen whole = parse(c.bytes);
    EXPECT_EQ(whole.outcome, c.outcome) << c.name << ": " << whole.message;
    if (c.outcome == Outcome::Rule || c.outcome == Outcome::End) {
      EXPECT_EQ(whole.length, c.length) << c.name;
    }
    if (c.outcome == Outcome::Failed) {
      EXPECT_EQ(whole.message, c.message) << c.name;
      EXPECT_EQ(whole.chain, c.chain) << c.name;
    }

    // Byte by byte the same verdict comes, and no earlier than the bytes
    // that decide it: the tag once five bytes are here, the size once its
    // dot is here, the rule once all of its JSON is here.
    auto [seen, at] = first_outcome(c.bytes);
    EXPECT_EQ(seen.outcome, c.outcome) << c.name << " (byte by byte)";
    if (c.outcome == Outcome::Rule || c.outcome == Outcome::End) {
      EXPECT_EQ(at, c.length) << c.name;
    }
    if (c.outcome == Outcome::Failed && c.message.rfind("Неожиданный", 0) == 0) {
      EXPECT_EQ(at, 5u) << c.name;
    }
    if (c.outcome == Outcome::Failed && (c.message == not_number || c.message == "неверный размер RULE")) {
      EXPECT_EQ(at, c.bytes.find('.', 5) + 1) << c.name;
    }
  }
}

// Fewer than 16 bytes of a foreign frame quote what has arrived, with a
// U+FFFD where the cut falls inside a character.
TEST(RuleFrameParser, QuotesWhatHasArrived) {
  EXPECT_EQ(parse("ERRR.").message, "Неожиданный кадр вместо RULE: ERRR.");
  EXPECT_EQ(parse("ERRR.\xD0").message, "Неожиданный кадр вместо RULE: ERRR.\xEF\xBF\xBD");
  EXPECT_EQ(parse("PING\xFF").message, "Неожиданный кадр вместо RULE: PING\xEF\xBF\xBD");
}

TEST(RuleFrameParser, FrameLimit) {
  // The largest frame allowed is read; one byte more is refused as soon as
  // its size field is complete.
  std::string head = "RULE.4194292.";
  size_t json_size = MAX_RULE_FRAME_BYTES - head.size();
  ASSERT_EQ(std::to_string(json_size), "4194291");
  head = "RULE." + std::to_string(json_size) + ".";
  ASSERT_EQ(head.size() + json_size, MAX_RULE_FRAME_BYTES);
  std::string largest = head + JSON + std::string(json_size - JSON.size(), ' ');
  Seen s = parse(largest);
  EXPECT_EQ(s.outcome, Outcome::Rule) << s.message;
  EXPECT_EQ(s.length, MAX_RULE_FRAME_BYTES);
  EXPECT_EQ(parse("RULE." + std::to_string(json_size + 1) + ".").outcome, Outcome::Failed);

  // A size field that never ends is refused once it fills the limit.
  std::string zeros = "RULE." + std::string(MAX_RULE_FRAME_BYTES - 6, '0');
  EXPECT_EQ(parse(zeros).outcome, Outcome::NeedMore);
  EXPECT_EQ(parse(zeros + "0").message, "слишком большой кадр RULE: больше 4 МиБ");
  // Ended just in time, it is an end frame like any other.
  Seen end = parse(zeros + ".");
  EXPECT_EQ(end.outcome, Outcome::End);
  EXPECT_EQ(end.length, MAX_RULE_FRAME_BYTES);
}

}  // namespace
}  // namespace vostrelin
