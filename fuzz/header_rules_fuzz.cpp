// Fuzz target for the header rules and the Content-Length helpers: a head
// and up to four rules of any kind, on a plain request and on a WebSocket
// upgrade.
//
// A head no rule touches (no HEADER rules, or not valid UTF-8) comes back
// byte for byte; apply_header_rules gives the head rewrite_header_lines
// gives; warnings come only for an upgrade; after a DELETE rule alone no
// header line has its name; set_content_length always leaves a length that
// extract_content_length reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "http_proxy/header_rules.h"
#include "support/text.h"

namespace {

using namespace vostrelin;

// The lines before the last CR LF CR LF, split at CR LF.
std::vector<std::string_view> header_lines(std::string_view head) {
  std::vector<std::string_view> lines;
  std::string_view rest = head.substr(0, head.rfind("\r\n\r\n"));
  for (;;) {
    size_t at = rest.find("\r\n");
    lines.push_back(rest.substr(0, at));
    if (at == std::string_view::npos) return lines;
    rest.remove_prefix(at + 2);
  }
}

bool has_key(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(line[i]) != lower(name[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::vector<Rule> rules(fdp.ConsumeIntegralInRange<size_t>(0, 4));
  bool any_header_rule = false;
  for (Rule& r : rules) {
    r.type = fdp.ConsumeIntegralInRange(0, 4) == 0 ? RuleType::BODY : RuleType::HEADER;
    r.action = static_cast<RuleAction>(fdp.ConsumeIntegralInRange(0, 2));
    r.from = fdp.ConsumeRandomLengthString(32);
    r.to = fdp.ConsumeRandomLengthString(32);
    r.applyToWebsocketUpgrade = fdp.ConsumeBool();
    any_header_rule = any_header_rule || r.type == RuleType::HEADER;
  }
  uint64_t length = fdp.ConsumeIntegral<uint64_t>();
  std::string head = fdp.ConsumeRemainingBytesAsString();

  for (bool upgrade : {false, true}) {
    http_proxy::HeaderRewrite rewrite = http_proxy::rewrite_header_lines(head, rules, upgrade);
    if (!upgrade) {
      FUZZ_CHECK(rewrite.warnings.empty());
      FUZZ_CHECK(http_proxy::apply_header_rules(head, rules, false) == rewrite.head);
    }
    if (!any_header_rule || !is_valid_utf8(head)) FUZZ_CHECK(rewrite.head == head && rewrite.warnings.empty());
    for (const std::string& w : rewrite.warnings) FUZZ_CHECK(!w.empty() && w.back() == '\n');
  }

  if (rules.size() == 1 && rules[0].type == RuleType::HEADER && rules[0].action == RuleAction::DELETE &&
      is_valid_utf8(head) && rules[0].from.find("\r\n") == std::string::npos) {
    std::string out = http_proxy::rewrite_header_lines(head, rules, false).head;
    for (std::string_view line : header_lines(out)) FUZZ_CHECK(!has_key(line, rules[0].from));
  }

  std::string with_length = http_proxy::set_content_length(head, length);
  if (is_valid_utf8(head)) {
    FUZZ_CHECK(http_proxy::extract_content_length(with_length) == length);
  } else {
    FUZZ_CHECK(with_length == head && !http_proxy::extract_content_length(head));
  }
  return 0;
}
