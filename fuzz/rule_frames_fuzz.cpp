// Fuzz target for the rule frames of the handshake and the rule reader.
//
// As raw bytes the input goes to try_parse_rule_frame and parse_rule: a
// frame taken says how long it is and reads the same from exactly those
// bytes, and what a shorter front was (an error, a frame) the whole front
// still is. As a recipe it builds a rule, writes it as the service may (an
// object with its keys in any order and unknown members among them, or an
// array; enumerations as names or one-member objects; white space between
// tokens), frames it and checks that every cut of the frame waits for more
// and the whole frame, followed by the end frame, gives the rule back.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "main/rule_frames.h"
#include "support/json_text.h"
#include "support/text.h"

namespace {

using namespace vostrelin;

using FrameResult = Result<std::optional<RuleFrame>>;

bool same(const FrameResult& a, const FrameResult& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error().describe() == b.error().describe();
  if (a.value().has_value() != b.value().has_value()) return false;
  if (!a.value()) return true;
  return a.value()->length == b.value()->length && a.value()->rule == b.value()->rule;
}

void check_raw(std::string_view bytes) {
  FrameResult whole = try_parse_rule_frame(bytes);
  if (whole.ok() && whole.value()) {
    size_t length = whole.value()->length;
    FUZZ_CHECK(length >= 7 && length <= bytes.size() && length <= MAX_RULE_FRAME_BYTES);
    FUZZ_CHECK(same(try_parse_rule_frame(bytes.substr(0, length)), whole));
  }
  size_t step = bytes.size() <= 128 ? 1 : bytes.size() / 64;
  for (size_t k = 0; k < bytes.size(); k += step) {
    FrameResult part = try_parse_rule_frame(bytes.substr(0, k));
    if (!part.ok()) {
      FUZZ_CHECK(!whole.ok());
    } else if (part.value()) {
      FUZZ_CHECK(same(part, whole));
    }
  }
  // The reader alone, on anything.
  Result<Rule> rule = parse_rule(bytes);
  if (!rule.ok()) FUZZ_CHECK(!rule.error().message().empty());
}

constexpr std::array<std::string_view, 2> TYPES = {"HEADER", "BODY"};
constexpr std::array<std::string_view, 2> DATA_TYPES = {"PLAIN", "JSON"};
constexpr std::array<std::string_view, 3> ACTIONS = {"CREATE", "DELETE", "UPDATE"};

std::string space(FuzzedDataProvider& fdp) {
  static constexpr std::string_view WS[] = {"", "", " ", "\n", "\t", "\r\n  "};
  return std::string(WS[fdp.ConsumeIntegralInRange<size_t>(0, std::size(WS) - 1)]);
}

std::string variant(FuzzedDataProvider& fdp, std::string_view name) {
  if (fdp.ConsumeBool()) return json_string(name);
  return "{" + space(fdp) + json_string(name) + space(fdp) + ":" + space(fdp) + "null" + space(fdp) + "}";
}

// Text that JSON can carry as it is: invalid UTF-8 becomes U+FFFD first.
std::string text(FuzzedDataProvider& fdp) { return utf8_lossy(fdp.ConsumeRandomLengthString(200)); }

// A member the reader must skip, whatever it holds.
std::string unknown_value(FuzzedDataProvider& fdp) {
  static constexpr std::string_view VALUES[] = {
      "null", "true", "-1.5e+300", "\"x\\\"\\u00e9\"", "[]", "{}", "[[[{\"type\":[1,{}]}]]]",
      "{\"from\":\"no\",\"to\":{\"a\":[true,false,null]}}"};
  return std::string(VALUES[fdp.ConsumeIntegralInRange<size_t>(0, std::size(VALUES) - 1)]);
}

struct Written {
  Rule rule;
  std::string json;
};

Written write_rule(FuzzedDataProvider& fdp) {
  Written w;
  Rule& r = w.rule;
  size_t type = fdp.ConsumeIntegralInRange<size_t>(0, 1);
  size_t data_type = fdp.ConsumeIntegralInRange<size_t>(0, 1);
  size_t action = fdp.ConsumeIntegralInRange<size_t>(0, 2);
  r.type = static_cast<RuleType>(type);
  r.dataType = static_cast<RuleDataType>(data_type);
  r.action = static_cast<RuleAction>(action);
  r.from = text(fdp);
  r.to = text(fdp);
  bool with_flag = fdp.ConsumeBool();
  r.applyToWebsocketUpgrade = with_flag && fdp.ConsumeBool();

  std::vector<std::string> values = {variant(fdp, TYPES[type]), variant(fdp, DATA_TYPES[data_type]),
                                     variant(fdp, ACTIONS[action]), json_string(r.from), json_string(r.to)};
  if (with_flag) values.push_back(r.applyToWebsocketUpgrade ? "true" : "false");

  std::string& out = w.json;
  out = space(fdp);
  if (fdp.ConsumeBool()) {
    out += "[";
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out += ",";
      out += space(fdp) + values[i] + space(fdp);
    }
    out += "]";
  } else {
    static constexpr std::string_view KEYS[] = {"type", "dataType", "action", "from", "to",
                                                "applyToWebsocketUpgrade"};
    std::vector<std::string> members;
    for (size_t i = 0; i < values.size(); ++i) members.push_back(json_string(KEYS[i]) + ":" + values[i]);
    size_t unknown = fdp.ConsumeIntegralInRange<size_t>(0, 3);
    for (size_t i = 0; i < unknown; ++i) {
      members.push_back(json_string(utf8_lossy(fdp.ConsumeRandomLengthString(8)) + "_") + space(fdp) + ":" +
                        space(fdp) + unknown_value(fdp));
    }
    // Any order.
    for (size_t i = members.size(); i > 1; --i) {
      std::swap(members[i - 1], members[fdp.ConsumeIntegralInRange<size_t>(0, i - 1)]);
    }
    out += "{";
    for (size_t i = 0; i < members.size(); ++i) {
      if (i > 0) out += ",";
      out += space(fdp) + members[i] + space(fdp);
    }
    out += "}";
  }
  out += space(fdp);
  return w;
}

void check_round_trip(FuzzedDataProvider& fdp) {
  Written w = write_rule(fdp);
  Result<Rule> read = parse_rule(w.json);
  FUZZ_CHECK(read.ok());
  FUZZ_CHECK(read.value() == w.rule);

  std::string frame = "RULE." + std::to_string(w.json.size()) + "." + w.json;
  std::string stream = frame + "RULE.0.";
  size_t step = frame.size() <= 256 ? 1 : frame.size() / 128;
  for (size_t k = 0; k < frame.size(); k += step) {
    FrameResult part = try_parse_rule_frame(std::string_view(stream).substr(0, k));
    FUZZ_CHECK(part.ok() && !part.value());
  }
  FrameResult got = try_parse_rule_frame(stream);
  FUZZ_CHECK(got.ok() && got.value() && !got.value()->is_end());
  FUZZ_CHECK(got.value()->length == frame.size() && *got.value()->rule == w.rule);
  FrameResult end = try_parse_rule_frame(std::string_view(stream).substr(frame.size()));
  FUZZ_CHECK(end.ok() && end.value() && end.value()->is_end() && end.value()->length == 7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_raw(std::string_view(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider fdp(data, size);
  check_round_trip(fdp);
  return 0;
}
