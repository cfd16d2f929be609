// What the server reader does with the bytes of one request, without any
// socket: collect the head, parse it, hold the body back for the body rules
// when they apply, rewrite and record the request, and say what is to be
// sent to the local service. The forwarder acts on the outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http_proxy/body_rules.h"
#include "http_proxy/records.h"
#include "http_proxy/request_table.h"
#include "rules/rule.h"

namespace vostrelin::http_proxy {

// Bytes a request may collect before its head is complete.
inline constexpr size_t MAX_HEAD_BYTES = 65536;
// Bytes of body held back for the body rules at most. A longer body is
// forwarded as it comes, without the body rules.
inline constexpr size_t MAX_HELD_BODY_BYTES = size_t{16} << 20;

// The rules of one session, compiled when it starts.
struct SessionRules {
  SessionRules() = default;
  explicit SessionRules(std::vector<Rule> rules)
      : list(std::move(rules)), body(list), has_body_rules(has_body_rule(list)) {}

  std::vector<Rule> list;
  BodyRules body;
  bool has_body_rules = false;  // at least one BODY rule, whether or not it can act

 private:
  static bool has_body_rule(std::span<const Rule> rules) {
    for (const Rule& rule : rules) {
      if (rule.type == RuleType::BODY) return true;
    }
    return false;
  }
};

struct ParsedHead {
  std::string method;
  std::string path;
  size_t header_len = 0;        // the head through its blank line
  uint64_t content_length = 0;  // the last readable Content-Length; 0 when none
  bool is_websocket_upgrade = false;
};

// The request head at the start of bytes, or nothing while it is partial,
// when it is invalid or has more than REQUEST_HEAD_SLOTS header lines.
std::optional<ParsedHead> parse_headers(std::string_view bytes);

struct ChunkOutcome {
  enum class Action {
    None,      // wait for more bytes
    TooLarge,  // the head did not fit: remove the request, close it towards the service
    Forward,   // start the local connection: write head, then body
    Push,      // queue body for the local connection
  };
  Action action = Action::None;
  std::string head;
  std::string body;
  // Lines for standard error, each ending in "\n".
  std::vector<std::string> messages;
};

// Takes the payload of one "MESG." frame for the request and moves the
// request on by its phase. Records go to records when it is given.
ChunkOutcome advance_request(RequestState& state, std::string_view id, std::string payload,
                             const SessionRules& rules, RecordSink* records,
                             size_t max_held_body = MAX_HELD_BODY_BYTES);

// The held-back request complete: the body rules on its body, the header
// rules on its head and its Content-Length set to the new body's length.
ChunkOutcome finalize_buffered_request(RequestState& state, const SessionRules& rules, RecordSink* records);

}  // namespace vostrelin::http_proxy
