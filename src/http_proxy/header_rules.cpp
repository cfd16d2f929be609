// Header rules and Content-Length. A head is cut at its last CR LF CR LF:
// the text before it is split into lines at every CR LF (a lone LF is part
// of a line), the rest is kept as the tail. Joining the lines with CR LF and
// adding the tail gives the head back byte for byte, so a head no rule
// touches leaves unchanged.
#include "http_proxy/header_rules.h"

#include <algorithm>

#include "support/output.h"
#include "support/text.h"

namespace vostrelin::http_proxy {
namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::string_view CONTENT_LENGTH = "content-length";

struct HeadLines {
  std::vector<std::string> lines;
  std::string_view tail;
};

std::vector<std::string> split_crlf(std::string_view text) {
  std::vector<std::string> lines;
  for (;;) {
    size_t at = text.find(CRLF);
    if (at == std::string_view::npos) {
      lines.emplace_back(text);
      return lines;
    }
    lines.emplace_back(text.substr(0, at));
    text.remove_prefix(at + CRLF.size());
  }
}

HeadLines split_head(std::string_view head) {
  size_t end = head.rfind(HEAD_END);
  if (end == std::string_view::npos) return {split_crlf(head), {}};
  return {split_crlf(head.substr(0, end)), head.substr(end)};
}

std::string join_head(const HeadLines& head) {
  size_t size = head.tail.size();
  for (const std::string& line : head.lines) size += line.size() + CRLF.size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < head.lines.size(); ++i) {
    if (i > 0) out += CRLF;
    out += head.lines[i];
  }
  out += head.tail;
  return out;
}

// Whether the line, lowered in ASCII, begins with the name lowered in ASCII
// and a colon right after it.
bool line_has_key(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (ascii_lower(line[i]) != ascii_lower(name[i])) return false;
  }
  return true;
}

// The header name a rule acts on, in lower case: for CREATE the part of the
// new line before its first colon, trimmed; otherwise `from` itself.
std::string rule_header_name(const Rule& rule) {
  if (rule.action == RuleAction::CREATE) {
    std::string_view to = rule.to;
    return ascii_lowered(trim_unicode_whitespace(to.substr(0, to.find(':'))));
  }
  return ascii_lowered(rule.from);
}

bool is_protected_upgrade_header(std::string_view name) {
  return std::find(PROTECTED_UPGRADE_HEADERS.begin(), PROTECTED_UPGRADE_HEADERS.end(), name) !=
         PROTECTED_UPGRADE_HEADERS.end();
}

void apply_rule(const Rule& rule, std::vector<std::string>& lines) {
  switch (rule.action) {
    case RuleAction::CREATE:
      lines.push_back(rule.to);
      break;
    case RuleAction::DELETE:
      std::erase_if(lines, [&](const std::string& line) { return line_has_key(line, rule.from); });
      break;
    case RuleAction::UPDATE:
      for (std::string& line : lines) {
        if (line_has_key(line, rule.from)) line = rule.from + ": " + rule.to;
      }
      break;
  }
}

}  // namespace

HeaderRewrite rewrite_header_lines(std::string_view head, std::span<const Rule> rules,
                                   bool is_websocket_upgrade) {
  HeaderRewrite out;
  if (!is_valid_utf8(head)) {
    out.head = head;
    return out;
  }
  HeadLines split = split_head(head);
  for (const Rule& rule : rules) {
    if (rule.type != RuleType::HEADER) continue;
    if (is_websocket_upgrade) {
      if (!rule.applyToWebsocketUpgrade) continue;
      std::string name = rule_header_name(rule);
      if (is_protected_upgrade_header(name)) {
        out.warnings.push_back("rule skipped for websocket upgrade: '" + name +
                               "' is a protected header\n");
        continue;
      }
    }
    apply_rule(rule, split.lines);
  }
  out.head = join_head(split);
  return out;
}

std::string apply_header_rules(std::string_view head, std::span<const Rule> rules,
                               bool is_websocket_upgrade) {
  HeaderRewrite rewrite = rewrite_header_lines(head, rules, is_websocket_upgrade);
  for (const std::string& warning : rewrite.warnings) write_stderr(warning);
  return std::move(rewrite.head);
}

std::optional<uint64_t> extract_content_length(std::string_view head) {
  if (!is_valid_utf8(head)) return std::nullopt;
  for (std::string_view rest = head;;) {
    size_t at = rest.find(CRLF);
    std::string_view line = rest.substr(0, at);
    if (line_has_key(line, CONTENT_LENGTH)) {
      return parse_unsigned(trim_unicode_whitespace(line.substr(CONTENT_LENGTH.size() + 1)),
                            UINT64_MAX);
    }
    if (at == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(at + CRLF.size());
  }
}

std::string set_content_length(std::string head, size_t length) {
  if (!is_valid_utf8(head)) return head;
  HeadLines split = split_head(head);
  std::string line = "Content-Length: " + std::to_string(length);
  auto found = std::find_if(split.lines.begin(), split.lines.end(),
                            [](const std::string& l) { return line_has_key(l, CONTENT_LENGTH); });
  if (found != split.lines.end()) {
    *found = std::move(line);
  } else {
    split.lines.push_back(std::move(line));
  }
  return join_head(split);
}

}  // namespace vostrelin::http_proxy
