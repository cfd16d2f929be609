#include "http_proxy/request_machine.h"

#include <array>

#include "http_proxy/header_rules.h"
#include "support/http_head.h"
#include "support/text.h"

namespace vostrelin::http_proxy {
namespace {

using Action = ChunkOutcome::Action;

// The header rules on head; their warnings become the outcome's messages.
std::string rewrite_head(std::string_view head, const SessionRules& rules, bool is_websocket_upgrade,
                         ChunkOutcome& out) {
  HeaderRewrite rewrite = rewrite_header_lines(head, rules.list, is_websocket_upgrade);
  for (std::string& warning : rewrite.warnings) out.messages.push_back(std::move(warning));
  return std::move(rewrite.head);
}

// The request goes to the local service as it came, with the header rules
// only; what follows streams through.
ChunkOutcome forward_at_once(RequestState& state, std::string_view head, std::string body,
                             bool is_websocket_upgrade, const SessionRules& rules, RecordSink* records,
                             ChunkOutcome out = {}) {
  out.head = rewrite_head(head, rules, is_websocket_upgrade, out);
  if (records != nullptr) {
    records->req_headers("post", out.head);
    if (!body.empty()) {
      records->req_body("pre", body);
      records->req_body("post", body);
    }
  }
  out.action = Action::Forward;
  out.body = std::move(body);
  state.phase = RequestPhase::Streaming;
  return out;
}

// A body too long to hold back: forwarded unrewritten, and the user told.
ChunkOutcome forward_unheld(RequestState& state, std::string_view id, std::string_view head, std::string body,
                            const SessionRules& rules, RecordSink* records, size_t max_held_body) {
  ChunkOutcome out;
  out.messages.push_back("reqId=" + std::string(id) + ": тело запроса больше " + std::to_string(max_held_body) +
                         " байт, передаю его без правил для тела\n");
  state.head_buf.clear();
  state.body_buf.clear();
  state.declared_length.reset();
  return forward_at_once(state, head, std::move(body), false, rules, records, std::move(out));
}

}  // namespace

std::optional<ParsedHead> parse_headers(std::string_view bytes) {
  std::array<HttpHeaderField, REQUEST_HEAD_SLOTS> slots;
  HttpRequestHead head = parse_request_head(bytes, slots);
  if (head.status != HttpHeadStatus::Complete) return std::nullopt;
  ParsedHead parsed;
  parsed.method = std::string(head.method.value_or(""));
  parsed.path = std::string(head.target.value_or(""));
  parsed.header_len = head.length;
  for (const HttpHeaderField& field : head.headers) {
    if (ascii_iequals(field.name, "content-length")) {
      if (!is_valid_utf8(field.value)) continue;
      parsed.content_length =
          parse_unsigned(trim_unicode_whitespace(field.value), UINT64_MAX).value_or(0);
    } else if (ascii_iequals(field.name, "upgrade")) {
      if (is_valid_utf8(field.value) && ascii_lowered(field.value).find("websocket") != std::string::npos) {
        parsed.is_websocket_upgrade = true;
      }
    }
  }
  return parsed;
}

ChunkOutcome finalize_buffered_request(RequestState& state, const SessionRules& rules, RecordSink* records) {
  ChunkOutcome out;
  std::string body = std::move(state.body_buf);
  state.body_buf.clear();
  if (records != nullptr && !body.empty()) records->req_body("pre", body);
  std::string new_body = rules.body.apply(std::move(body));
  out.head = set_content_length(rewrite_head(state.head_buf, rules, false, out), new_body.size());
  state.head_buf.clear();
  state.declared_length.reset();
  if (records != nullptr) {
    records->req_headers("post", out.head);
    if (!new_body.empty()) records->req_body("post", new_body);
  }
  out.action = Action::Forward;
  out.body = std::move(new_body);
  state.phase = RequestPhase::Streaming;
  return out;
}

ChunkOutcome advance_request(RequestState& state, std::string_view id, std::string payload,
                             const SessionRules& rules, RecordSink* records, size_t max_held_body) {
  switch (state.phase) {
    case RequestPhase::ReadingHeaders: {
      state.head_buf += payload;
      if (state.head_buf.size() > MAX_HEAD_BYTES) {
        ChunkOutcome out;
        out.action = Action::TooLarge;
        out.messages.push_back("reqId=" + std::string(id) + ": заголовки не уместились в " +
                               std::to_string(MAX_HEAD_BYTES) + " байт\n");
        return out;
      }
      // A head ends with a line feed: without one in the new bytes it
      // cannot have become complete.
      if (payload.find('\n') == std::string::npos) return {};
      std::optional<ParsedHead> parsed = parse_headers(state.head_buf);
      if (!parsed) return {};
      state.method = std::move(parsed->method);
      state.path = std::move(parsed->path);
      std::string head = state.head_buf.substr(0, parsed->header_len);
      std::string rest = state.head_buf.substr(parsed->header_len);
      std::string().swap(state.head_buf);
      if (records != nullptr) {
        records->begin(state.method, state.path);
        records->req_headers("pre", head);
      }
      bool hold_back = !parsed->is_websocket_upgrade && parsed->content_length > 0 && state.has_body_rules;
      if (!hold_back) return forward_at_once(state, head, std::move(rest), parsed->is_websocket_upgrade, rules, records);
      if (parsed->content_length > max_held_body) {
        return forward_unheld(state, id, head, std::move(rest), rules, records, max_held_body);
      }
      state.body_buf = std::move(rest);
      state.declared_length = extract_content_length(head);
      state.head_buf = std::move(head);
      state.phase = RequestPhase::BufferingBody;
      if (state.declared_length && *state.declared_length > state.body_buf.size()) return {};
      return finalize_buffered_request(state, rules, records);
    }
    case RequestPhase::BufferingBody: {
      state.body_buf += payload;
      if (state.declared_length && *state.declared_length > state.body_buf.size()) {
        if (state.body_buf.size() <= max_held_body) return {};
        std::string head = std::move(state.head_buf);
        std::string body = std::move(state.body_buf);
        return forward_unheld(state, id, head, std::move(body), rules, records, max_held_body);
      }
      return finalize_buffered_request(state, rules, records);
    }
    case RequestPhase::Streaming: {
      if (records != nullptr && !payload.empty()) {
        records->req_body("pre", payload);
        records->req_body("post", payload);
      }
      ChunkOutcome out;
      out.action = Action::Push;
      out.body = std::move(payload);
      return out;
    }
  }
  return {};
}

}  // namespace vostrelin::http_proxy
