// Fuzz target for the body rules: a list of up to four rules of any kind
// (PLAIN and JSON, each action, HEADER rules that must be passed over) and a
// body, applied with the real limit and with a small one.
//
// A body nothing can act on comes back unchanged; a PLAIN rule gives what a
// plain left-to-right search and replace gives (an empty `from` puts `to`
// around every UTF-8 character); no result is larger than the limit unless
// the body already was; a body that reads as JSON still does after JSON
// rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "http_proxy/body_rules.h"
#include "support/json_read.h"
#include "support/text.h"

namespace {

using namespace vostrelin;

// Replacement as the rule defines it, written the obvious way.
std::string naive_replace(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  if (from.empty()) {
    for (size_t i = 0; i < text.size();) {
      auto lead = static_cast<unsigned char>(text[i]);
      size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      out.append(to).append(text.substr(i, n));
      i += n;
    }
    return out.append(to);
  }
  size_t done = 0;
  for (size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, done)) {
    out.append(text.substr(done, at - done)).append(to);
    done = at + from.size();
  }
  return out.append(text.substr(done));
}

Rule rule_from(FuzzedDataProvider& fdp) {
  Rule r;
  r.type = fdp.ConsumeIntegralInRange(0, 4) == 0 ? RuleType::HEADER : RuleType::BODY;
  r.dataType = fdp.ConsumeBool() ? RuleDataType::PLAIN : RuleDataType::JSON;
  r.action = static_cast<RuleAction>(fdp.ConsumeIntegralInRange(0, 2));
  r.from = fdp.ConsumeRandomLengthString(48);
  r.to = fdp.ConsumeRandomLengthString(48);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::vector<Rule> rules(fdp.ConsumeIntegralInRange<size_t>(0, 4));
  for (Rule& r : rules) r = rule_from(fdp);
  size_t small_limit = fdp.ConsumeIntegralInRange<size_t>(0, 4096);
  std::string body = fdp.ConsumeRemainingBytesAsString();

  std::string out = http_proxy::apply_body_rules(body, rules);
  FUZZ_CHECK(out.size() <= http_proxy::MAX_REWRITTEN_BODY);

  std::string limited = http_proxy::apply_body_rules(body, rules, small_limit);
  FUZZ_CHECK(limited.size() <= std::max(small_limit, body.size()));

  bool any_body_rule = false;
  bool all_json = true;
  for (const Rule& r : rules) {
    if (r.type != RuleType::BODY) continue;
    any_body_rule = true;
    all_json = all_json && r.dataType == RuleDataType::JSON;
  }
  if (!any_body_rule) FUZZ_CHECK(out == body && limited == body);
  if (any_body_rule && all_json && read_json(body)) FUZZ_CHECK(read_json(out).has_value());

  for (const Rule& r : rules) {
    if (r.type != RuleType::BODY || r.dataType != RuleDataType::PLAIN) continue;
    std::optional<std::string> replaced = http_proxy::replace_text(body, r.from, r.to);
    std::string want = naive_replace(body, r.from, r.to);
    FUZZ_CHECK(replaced && *replaced == want);
    std::optional<std::string> capped = http_proxy::replace_text(body, r.from, r.to, small_limit);
    FUZZ_CHECK(capped ? *capped == want : want.size() > small_limit);
    // One PLAIN rule alone on a UTF-8 body does just that.
    Rule only = r;
    std::string single = http_proxy::apply_body_rules(body, std::span<const Rule>(&only, 1));
    FUZZ_CHECK(single == (is_valid_utf8(body) ? want : body));
  }
  return 0;
}
